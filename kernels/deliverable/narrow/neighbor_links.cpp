// The narrow phase's loops: the fill, the cells' bounds, each cell's links, prefetching.
#include "kernels/deliverable/narrow/neighbor_links.h"

#include "kernels/common/distance/link_filter.h"
#include "kernels/common/lanes/lanes.h"
#include "kernels/deliverable/narrow/cell_geometry.h"
#include "kernels/deliverable/narrow/cell_order.h"
#include "kernels/deliverable/narrow/close_cells.h"
#include "kernels/common/shared/cell.h"
#include "kernels/common/shared/plain_buffer.h"
#include "kernels/common/shared/vector_math.h"

namespace cellprox {

namespace {

// Room for every cell's vertex bounds for one call; without it (no memory, or no cells) the
// loops compute bounds link by link.
using CellBoundsTable = PlainBuffer<VertexBox, PageAdvice::none>;

struct LoopContext {
    const NeighborQuery* query;
    float* link_distances;
    VertexBox* bounds;  // of every cell, or null when there was no memory for them
    const int32_t* order;  // the cells in the order to visit them, or null: in their own order
};

inline int32_t cell_at(const LoopContext& loop, int32_t position) {
    return loop.order != nullptr ? loop.order[position] : position;
}

VertexBox bounds_of(const LoopContext& loop, int32_t cell_idx, const Cell& cell) {
    if (loop.bounds != nullptr) return loop.bounds[cell_idx];
    const CellView geometry = geometry_of(cell);
    return vertex_bounds(geometry.vertices, geometry.v_count);
}

// Every cell's bounds once, in cell order, rather than once per link naming it.
void bounds_block(int32_t begin, int32_t end, void* context) {
    const LoopContext& loop = *static_cast<LoopContext*>(context);
    for (int32_t cell_idx = begin; cell_idx < end; ++cell_idx) {
        const CellView geometry = geometry_of(read_cell(loop.query->cells, cell_idx));
        loop.bounds[cell_idx] = vertex_bounds(geometry.vertices, geometry.v_count);
    }
}

void fill_block(int32_t begin, int32_t end, void* context) {
    mark_unset(static_cast<LoopContext*>(context)->link_distances, begin, end);
}

// The loops are bound by memory latency: each link reads a neighbour's record, bounds, vertices
// and edges from wherever the caller put them. Ask for them a little ahead: the record two links
// ahead, and the arrays of the next link's neighbour (whose record has arrived by then).
inline bool valid_neighbor(const LoopContext& loop, int32_t other) {
    return other >= 0 && other < loop.query->cell_count;
}

void prefetch_arrays(const Cell& cell);

void prefetch_link(const LoopContext& loop, const Cell& cell_a, int32_t k) {
    const char* cells = loop.query->cells;
    if (k + 2 < cell_a.n_count) {
        const int32_t ahead = cell_a.cell_links[k + 2];
        if (valid_neighbor(loop, ahead)) prefetch_line(cells + static_cast<ptrdiff_t>(ahead) * sizeof(Cell));
    }
    if (k + 1 < cell_a.n_count) {
        const int32_t next = cell_a.cell_links[k + 1];
        if (!valid_neighbor(loop, next)) return;
        prefetch_arrays(read_cell(cells, next));
        if (loop.bounds != nullptr) prefetch_line(loop.bounds + next);
    }
}

// The first line of a cell's vertex and edge arrays (the rest follows in sequence).
void prefetch_arrays(const Cell& cell) {
    if (cell.vertices != nullptr) prefetch_line(cell.vertices);
    if (cell.edges != nullptr) prefetch_line(cell.edges);
}

void cell_block(int32_t begin, int32_t end, void* context) {
    const LoopContext& loop = *static_cast<LoopContext*>(context);
    const NeighborQuery& query = *loop.query;
    CloseSpace space;
    for (int32_t position = begin; position < end; ++position) {
        const int32_t cell_idx = cell_at(loop, position);
        const Cell cell_a = read_cell(query.cells, cell_idx);
        start_cell(space);
        if (position + 1 < end) {
            const Cell next = read_cell(query.cells, cell_at(loop, position + 1));
            prefetch_arrays(next);
            if (next.cell_links != nullptr) prefetch_line(next.cell_links);
        }
        if (!has_links(cell_a)) continue;
        const VertexBox bounds_a = bounds_of(loop, cell_idx, cell_a);
        for (int32_t k = 0; k < cell_a.n_count; ++k) {
            prefetch_link(loop, cell_a, k);
            int64_t slot;
            int32_t other;
            if (!link_target(query, cell_a, k, &slot, &other)) continue;
            const Cell cell_b = read_cell(query.cells, other);
            if (cells_close(cell_a, bounds_a, cell_b, bounds_of(loop, other, cell_b),
                            query.distance_threshold, space)) {
                loop.link_distances[slot] = distance_between(cell_a.origin, cell_b.origin);
            }
        }
    }
}

}  // namespace

void compute_link_distances(const NeighborQuery& query, float* link_distances,
                            const LoopFrame& frame) {
    CellBoundsTable bounds;
    bounds.resize(static_cast<size_t>(query.cell_count > 0 ? query.cell_count : 0));
    LoopContext context{&query, link_distances, bounds.data(), nullptr};
    InterpreterReleased unlocked(frame);
    frame.parallel_for(query.n_links, false, fill_block, &context);
    if (bounds.data() != nullptr) frame.parallel_for(query.cell_count, false, bounds_block, &context);
    const CellOrder order(LOOP_ORDER_IS_FREE ? bounds.data() : nullptr, query.cell_count);
    context.order = order.cells();
    frame.parallel_for(query.cell_count, true, cell_block, &context);
}

void store_link_distances(const float* link_distances, int32_t n_links, const StridedView& output) {
    const ptrdiff_t n = n_links < output.shape[0] ? n_links : output.shape[0];
    for (ptrdiff_t s = 0; s < n; ++s) store<float>(element(output, s), link_distances[s]);
}

}  // namespace cellprox
