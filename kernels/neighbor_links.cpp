#include "kernels/neighbor_links.h"

#include <cstdlib>

#include "kernels/cell.h"
#include "kernels/link_filter.h"
#include "kernels/segment_batch.h"
#include "kernels/segment_distance.h"
#include "kernels/vector_math.h"
#include "kernels/vertex_batch.h"

namespace cellprox {

namespace {

// What the loops may read of a cell. A null array with a positive count counts as empty, so a
// half-built record cannot send the loops through a null address.
struct CellGeometry {
    const float* vertices;
    const int32_t* edges;
    int32_t v_count;
    int32_t e_count;
};

CellGeometry geometry_of(const Cell& cell) {
    return CellGeometry{cell.vertices, cell.edges, cell.vertices ? cell.v_count : 0,
                        cell.edges ? cell.e_count : 0};
}

inline bool valid_vertex(int32_t vertex, int32_t v_count) {
    return vertex >= 0 && vertex < v_count;
}

// Both end points of edge k, or false when the edge names a vertex the cell does not have.
inline bool edge_points(const CellGeometry& cell, int32_t k, const float** from, const float** to) {
    const int32_t first = cell.edges[2 * static_cast<ptrdiff_t>(k)];
    const int32_t second = cell.edges[2 * static_cast<ptrdiff_t>(k) + 1];
    if (!valid_vertex(first, cell.v_count) || !valid_vertex(second, cell.v_count)) return false;
    *from = cell.vertices + 3 * static_cast<ptrdiff_t>(first);
    *to = cell.vertices + 3 * static_cast<ptrdiff_t>(second);
    return true;
}

bool vertices_close(const CellGeometry& a, const CellGeometry& b, float threshold) {
    for (int32_t i = 0; i < a.v_count; ++i) {
        const float* vertex_a = a.vertices + 3 * static_cast<ptrdiff_t>(i);
        for (int32_t j = 0; j < b.v_count; ++j) {
            if (distance_between(vertex_a, b.vertices + 3 * static_cast<ptrdiff_t>(j)) < threshold) {
                return true;
            }
        }
    }
    return false;
}

// The neighbour's edge is the first segment, the current cell's edge the second.
bool edges_close(const CellGeometry& a, const CellGeometry& b, float threshold) {
    for (int32_t i = 0; i < a.e_count; ++i) {
        const float *q0, *q1;
        if (!edge_points(a, i, &q0, &q1)) continue;
        for (int32_t j = 0; j < b.e_count; ++j) {
            const float *p0, *p1;
            if (!edge_points(b, j, &p0, &p1)) continue;
            if (dist3D_Segment_to_Segment(p0, p1, q0, q1) < threshold) return true;
        }
    }
    return false;
}

// Per-thread working memory of the cell loop: the neighbour's elements that survive pruning,
// packed. Grows as needed and is freed when the loop's block ends.
class PackedElements {
public:
    PackedElements() = default;
    ~PackedElements() { std::free(data_); }
    PackedElements(const PackedElements&) = delete;
    PackedElements& operator=(const PackedElements&) = delete;

    // Room for n floats, or null when memory is short (the caller then works unpacked).
    float* reserve(int64_t n) {
        if (n <= capacity_) return data_;
        float* grown = static_cast<float*>(std::realloc(data_, static_cast<size_t>(n) * sizeof(float)));
        if (grown == nullptr) return nullptr;
        data_ = grown;
        capacity_ = n;
        return data_;
    }

private:
    float* data_ = nullptr;
    int64_t capacity_ = 0;
};

inline void segment_bounds(const float* from, const float* to, float* lo, float* hi) {
    for (int axis = 0; axis < 3; ++axis) {
        lo[axis] = from[axis] < to[axis] ? from[axis] : to[axis];
        hi[axis] = from[axis] > to[axis] ? from[axis] : to[axis];
    }
}

// The vertex test with pruning: b's vertices near a's bounds are packed as x[], y[], z[] and
// tested four at a time against each of a's vertices near b's bounds.
bool vertices_close_pruned(const CellGeometry& a, const VertexBounds& bounds_a,
                           const CellGeometry& b, const VertexBounds& bounds_b, float threshold,
                           PackedElements& packed) {
    float* space = packed.reserve(3 * static_cast<int64_t>(b.v_count));
    if (space == nullptr) return vertices_close(a, b, threshold);
    const double limit = pruning_limit(threshold, bounds_a, bounds_b);
    float* x = space;
    float* y = space + b.v_count;
    float* z = space + 2 * static_cast<ptrdiff_t>(b.v_count);
    int32_t kept = 0;
    for (int32_t j = 0; j < b.v_count; ++j) {
        const float* v = b.vertices + 3 * static_cast<ptrdiff_t>(j);
        if (farther_than(v, v, bounds_a, limit)) continue;
        x[kept] = v[0];
        y[kept] = v[1];
        z[kept] = v[2];
        ++kept;
    }
    if (kept == 0) return false;
    const VertexBatch batch{x, y, z, kept};
    for (int32_t i = 0; i < a.v_count; ++i) {
        const float* v = a.vertices + 3 * static_cast<ptrdiff_t>(i);
        if (farther_than(v, v, bounds_b, limit)) continue;
        if (any_vertex_within(v, batch, threshold)) return true;
    }
    return false;
}

// The edge test with pruning: b's edges near a's bounds are packed as six arrays (p0 and p1,
// x, y, z), and each of a's edges near b's bounds is measured against four of them at a time.
bool edges_close_pruned(const CellGeometry& a, const VertexBounds& bounds_a,
                        const CellGeometry& b, const VertexBounds& bounds_b, float threshold,
                        PackedElements& packed) {
    float* space = packed.reserve(6 * static_cast<int64_t>(b.e_count));
    if (space == nullptr) return edges_close(a, b, threshold);
    const double limit = pruning_limit(threshold, bounds_a, bounds_b);
    float* column[6];
    for (int k = 0; k < 6; ++k) column[k] = space + k * static_cast<ptrdiff_t>(b.e_count);
    int32_t kept = 0;
    float lo[3], hi[3];
    for (int32_t j = 0; j < b.e_count; ++j) {
        const float *p0, *p1;
        if (!edge_points(b, j, &p0, &p1)) continue;
        segment_bounds(p0, p1, lo, hi);
        if (farther_than(lo, hi, bounds_a, limit)) continue;
        for (int k = 0; k < 3; ++k) {
            column[k][kept] = p0[k];
            column[3 + k][kept] = p1[k];
        }
        ++kept;
    }
    if (kept == 0) return false;
    const SegmentBatch batch{{column[0], column[1], column[2]}, {column[3], column[4], column[5]}, kept};
    for (int32_t i = 0; i < a.e_count; ++i) {
        const float *q0, *q1;
        if (!edge_points(a, i, &q0, &q1)) continue;
        segment_bounds(q0, q1, lo, hi);
        if (farther_than(lo, hi, bounds_b, limit)) continue;
        if (any_segment_within(q0, q1, batch, threshold)) return true;
    }
    return false;
}

// Whether the two cells come closer than the threshold: vertex against vertex in one
// collection, edge against edge across collections (the neighbour's edge first).
bool cells_close(const Cell& cell_a, const CellGeometry& a, const VertexBounds& bounds_a,
                 const Cell& cell_b, const VertexBounds& bounds_b, float threshold,
                 PackedElements& packed) {
    // No distance is below a threshold of 0 or less (or NaN): nothing to measure.
    if (!(threshold > 0.0f)) return false;
    const CellGeometry b = geometry_of(cell_b);
    const bool same = cell_a.coll_index == cell_b.coll_index;
    if (!bounds_a.usable || !bounds_b.usable) {
        return same ? vertices_close(a, b, threshold) : edges_close(a, b, threshold);
    }
    return same ? vertices_close_pruned(a, bounds_a, b, bounds_b, threshold, packed)
                : edges_close_pruned(a, bounds_a, b, bounds_b, threshold, packed);
}

// Room for every cell's vertex bounds for one call; null when there is no memory for it (the
// loops then compute bounds link by link).
struct CellBoundsTable {
    explicit CellBoundsTable(int32_t cell_count)
        : data(cell_count > 0 ? static_cast<VertexBounds*>(std::malloc(
                                    static_cast<size_t>(cell_count) * sizeof(VertexBounds)))
                              : nullptr) {}
    ~CellBoundsTable() { std::free(data); }
    CellBoundsTable(const CellBoundsTable&) = delete;
    CellBoundsTable& operator=(const CellBoundsTable&) = delete;
    VertexBounds* data;
};

struct LoopContext {
    const NeighborQuery* query;
    float* link_distances;
    VertexBounds* bounds;  // of every cell, or null when there was no memory for them
};

VertexBounds bounds_of(const LoopContext& loop, int32_t cell_idx, const Cell& cell) {
    if (loop.bounds != nullptr) return loop.bounds[cell_idx];
    const CellGeometry geometry = geometry_of(cell);
    return vertex_bounds(geometry.vertices, geometry.v_count);
}

// Every cell's bounds once, in cell order, rather than once per link naming it.
void bounds_block(int32_t begin, int32_t end, void* context) {
    const LoopContext& loop = *static_cast<LoopContext*>(context);
    for (int32_t cell_idx = begin; cell_idx < end; ++cell_idx) {
        const CellGeometry geometry = geometry_of(read_cell(loop.query->cells, cell_idx));
        loop.bounds[cell_idx] = vertex_bounds(geometry.vertices, geometry.v_count);
    }
}

void fill_block(int32_t begin, int32_t end, void* context) {
    float* link_distances = static_cast<LoopContext*>(context)->link_distances;
    for (int32_t s = begin; s < end; ++s) link_distances[s] = -1.0f;
}

void cell_block(int32_t begin, int32_t end, void* context) {
    const LoopContext& loop = *static_cast<LoopContext*>(context);
    const NeighborQuery& query = *loop.query;
    PackedElements packed;
    for (int32_t cell_idx = begin; cell_idx < end; ++cell_idx) {
        const Cell cell_a = read_cell(query.cells, cell_idx);
        if (cell_a.n_count <= 0 || cell_a.cell_links == nullptr) continue;
        const CellGeometry a = geometry_of(cell_a);
        const VertexBounds bounds_a = bounds_of(loop, cell_idx, cell_a);
        for (int32_t k = 0; k < cell_a.n_count; ++k) {
            // A slot outside the result is never written, whatever the record says.
            const int64_t cell_n_idx = static_cast<int64_t>(cell_a.links_start) + k;
            if (cell_n_idx < 0 || cell_n_idx >= query.n_links) continue;
            const int32_t other_cell_idx = cell_a.cell_links[k];
            if (other_cell_idx >= query.cell_count || other_cell_idx < 0) continue;
            const Cell cell_b = read_cell(query.cells, other_cell_idx);
            const bool close =
                query.direct_loops
                    ? (cell_a.coll_index == cell_b.coll_index
                           ? vertices_close(a, geometry_of(cell_b), query.distance_threshold)
                           : edges_close(a, geometry_of(cell_b), query.distance_threshold))
                    : cells_close(cell_a, a, bounds_a, cell_b, bounds_of(loop, other_cell_idx, cell_b),
                                  query.distance_threshold, packed);
            if (close) {
                loop.link_distances[cell_n_idx] = distance_between(cell_a.origin, cell_b.origin);
            }
        }
    }
}

}  // namespace

void compute_link_distances(const NeighborQuery& query, float* link_distances,
                            const LoopFrame& frame) {
    const CellBoundsTable bounds(query.direct_loops ? 0 : query.cell_count);
    LoopContext context{&query, link_distances, bounds.data};
    InterpreterReleased unlocked(frame);
    frame.parallel_for(query.n_links, false, fill_block, &context);
    if (bounds.data != nullptr) frame.parallel_for(query.cell_count, false, bounds_block, &context);
    frame.parallel_for(query.cell_count, true, cell_block, &context);
}

void store_link_distances(const float* link_distances, int32_t n_links, const StridedView& output) {
    const ptrdiff_t n = n_links < output.shape[0] ? n_links : output.shape[0];
    for (ptrdiff_t s = 0; s < n; ++s) store<float>(element(output, s), link_distances[s]);
}

}  // namespace cellprox
