// The narrow phase as plain loops, the reference the fast loops are held to.
#include "kernels/deliverable/narrow/direct_link_distances.h"

#include "kernels/deliverable/narrow/cell_geometry.h"
#include "kernels/common/shared/vector_math.h"

namespace cellprox {

void compute_link_distances_direct(const NeighborQuery& query, float* link_distances) {
    if (query.n_links > 0) mark_unset(link_distances, 0, query.n_links);
    for (int32_t cell_idx = 0; cell_idx < query.cell_count; ++cell_idx) {
        const Cell cell_a = read_cell(query.cells, cell_idx);
        if (!has_links(cell_a)) continue;
        const CellView a = geometry_of(cell_a);
        for (int32_t k = 0; k < cell_a.n_count; ++k) {
            int64_t slot;
            int32_t other;
            if (!link_target(query, cell_a, k, &slot, &other)) continue;
            const Cell cell_b = read_cell(query.cells, other);
            const CellView b = geometry_of(cell_b);
            const bool close = cell_a.coll_index == cell_b.coll_index
                                   ? vertices_close(a, b, query.distance_threshold)
                                   : edges_close(a, b, query.distance_threshold);
            if (close) link_distances[slot] = distance_between(cell_a.origin, cell_b.origin);
        }
    }
}

}  // namespace cellprox
