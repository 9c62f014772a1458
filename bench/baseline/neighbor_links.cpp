#include "neighbor_links.h"

#include "cell.h"
#include "kernels/cell_geometry.h"
#include "segment_distance.h"
#include "vector_math.h"

namespace cellprox_baseline {

namespace {

using cellprox::CellGeometry;
using cellprox::edges_close;
using cellprox::geometry_of;
using cellprox::vertices_close;

struct LoopContext {
    const NeighborQuery* query;
    float* link_distances;
};

void fill_block(int32_t begin, int32_t end, void* context) {
    float* link_distances = static_cast<LoopContext*>(context)->link_distances;
    for (int32_t s = begin; s < end; ++s) link_distances[s] = -1.0f;
}

void cell_block(int32_t begin, int32_t end, void* context) {
    const LoopContext& loop = *static_cast<LoopContext*>(context);
    const NeighborQuery& query = *loop.query;
    for (int32_t cell_idx = begin; cell_idx < end; ++cell_idx) {
        const Cell cell_a = read_cell(query.cells, cell_idx);
        if (cell_a.n_count <= 0 || cell_a.cell_links == nullptr) continue;
        const CellGeometry a = geometry_of(cell_a);
        for (int32_t k = 0; k < cell_a.n_count; ++k) {
            // A slot outside the result is never written, whatever the record says.
            const int64_t cell_n_idx = static_cast<int64_t>(cell_a.links_start) + k;
            if (cell_n_idx < 0 || cell_n_idx >= query.n_links) continue;
            const int32_t other_cell_idx = cell_a.cell_links[k];
            if (other_cell_idx >= query.cell_count || other_cell_idx < 0) continue;
            const Cell cell_b = read_cell(query.cells, other_cell_idx);
            const CellGeometry b = geometry_of(cell_b);
            const bool close = cell_a.coll_index == cell_b.coll_index
                                   ? vertices_close(a, b, query.distance_threshold)
                                   : edges_close(a, b, query.distance_threshold);
            if (close) {
                loop.link_distances[cell_n_idx] = distance_between(cell_a.origin, cell_b.origin);
            }
        }
    }
}

}  // namespace

void compute_link_distances(const NeighborQuery& query, float* link_distances) {
    LoopContext context{&query, link_distances};
    if (query.n_links > 0) fill_block(0, query.n_links, &context);
    if (query.cell_count > 0) cell_block(0, query.cell_count, &context);
}

}  // namespace cellprox_baseline
