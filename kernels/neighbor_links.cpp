#include "kernels/neighbor_links.h"

#include <cstdlib>

#include "kernels/cell.h"
#include "kernels/cell_geometry.h"
#include "kernels/link_filter.h"
#include "kernels/segment_batch.h"
#include "kernels/segment_distance.h"
#include "kernels/vector_math.h"
#include "kernels/vertex_batch.h"

namespace cellprox {

namespace {

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

// A cell's vertices as x[], y[], z[], padded to a multiple of four with points at infinity,
// packed once for all its links.
struct PackedVertices {
    const float* x = nullptr;
    const float* y = nullptr;
    const float* z = nullptr;
    int32_t count = -1;  // -1: not packed yet; packing failed for want of memory: x stays null
};

PackedVertices pack_vertices(const CellGeometry& cell, PackedElements& space, int32_t padding) {
    PackedVertices packed;
    packed.count = cell.v_count;
    const int32_t padded = (cell.v_count + padding - 1) / padding * padding;
    float* out = space.reserve(3 * static_cast<int64_t>(padded));
    if (out == nullptr) return packed;
    float* axis[3] = {out, out + padded, out + 2 * static_cast<ptrdiff_t>(padded)};
    for (int32_t i = 0; i < padded; ++i) {
        for (int k = 0; k < 3; ++k) {
            axis[k][i] = i < cell.v_count ? cell.vertices[3 * static_cast<ptrdiff_t>(i) + k] : INFINITY;
        }
    }
    packed.x = axis[0];
    packed.y = axis[1];
    packed.z = axis[2];
    return packed;
}

// The vertex test with pruning: four of a's vertices at a time are checked against b's bounds,
// and each one near them is measured against all of b's vertices, four at a time.
bool vertices_close_pruned(const CellGeometry& a, const PackedVertices& a_vertices,
                           const VertexBounds& bounds_a, const CellGeometry& b,
                           const VertexBounds& bounds_b, float threshold, PackedElements& space) {
    const PackedVertices b_vertices = pack_vertices(b, space, 1);
    if (a_vertices.x == nullptr || b_vertices.x == nullptr) return vertices_close(a, b, threshold);
    const float limit = pruning_limit(threshold, bounds_a, bounds_b);
    const VertexBatch batch{b_vertices.x, b_vertices.y, b_vertices.z, b_vertices.count};
    for (int32_t i = 0; i < a_vertices.count; i += 4) {
        const int far = farther_than_4(_mm_loadu_ps(a_vertices.x + i), _mm_loadu_ps(a_vertices.y + i),
                                       _mm_loadu_ps(a_vertices.z + i), bounds_b, limit);
        for (int lane = 0; lane < 4 && i + lane < a_vertices.count; ++lane) {
            if (far & (1 << lane)) continue;
            const float point[3] = {a_vertices.x[i + lane], a_vertices.y[i + lane], a_vertices.z[i + lane]};
            if (any_vertex_within(point, batch, threshold)) return true;
        }
    }
    return false;
}

// A cell's valid edges, packed once for all its links: per edge its two end points and its
// bounds (12 floats: q0, q1, lower, upper).
struct PackedEdges {
    const float* data = nullptr;
    int32_t count = -1;  // -1: not packed yet; packing failed for want of memory: data stays null
};

PackedEdges pack_edges(const CellGeometry& a, PackedElements& space) {
    PackedEdges packed;
    float* out = space.reserve(12 * static_cast<int64_t>(a.e_count));
    packed.count = 0;
    if (out == nullptr) return packed;
    for (int32_t i = 0; i < a.e_count; ++i) {
        const float *q0, *q1;
        if (!edge_points(a, i, &q0, &q1)) continue;
        float* edge = out + 12 * static_cast<ptrdiff_t>(packed.count++);
        for (int k = 0; k < 3; ++k) {
            edge[k] = q0[k];
            edge[3 + k] = q1[k];
        }
        segment_bounds(q0, q1, edge + 6, edge + 9);
    }
    packed.data = out;
    return packed;
}

// The edge test with pruning: b's edges near a's bounds are packed as six arrays (p0 and p1,
// x, y, z), and each of a's edges near b's bounds is measured against four of them at a time.
bool edges_close_pruned(const CellGeometry& a, const PackedEdges& a_edges,
                        const VertexBounds& bounds_a, const CellGeometry& b,
                        const VertexBounds& bounds_b, float threshold, PackedElements& packed) {
    float* space = packed.reserve(6 * static_cast<int64_t>(b.e_count));
    if (space == nullptr || a_edges.data == nullptr) return edges_close(a, b, threshold);
    const float limit = pruning_limit(threshold, bounds_a, bounds_b);
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
    for (int32_t i = 0; i < a_edges.count; ++i) {
        const float* edge = a_edges.data + 12 * static_cast<ptrdiff_t>(i);
        if (farther_than(edge + 6, edge + 9, bounds_b, limit)) continue;
        if (any_segment_within(edge, edge + 3, batch, threshold)) return true;
    }
    return false;
}

// Whether the two cells come closer than the threshold: vertex against vertex in one
// collection, edge against edge across collections (the neighbour's edge first).
// What a cell_a keeps packed for all its links.
struct PackedCell {
    PackedVertices vertices;
    PackedEdges edges;
    PackedElements vertex_space;
    PackedElements edge_space;
};

bool cells_close(const Cell& cell_a, const CellGeometry& a, const VertexBounds& bounds_a,
                 PackedCell& packed_a, const Cell& cell_b, const VertexBounds& bounds_b,
                 float threshold, PackedElements& packed) {
    // No distance is below a threshold of 0 or less (or NaN): nothing to measure.
    if (!(threshold > 0.0f)) return false;
    const CellGeometry b = geometry_of(cell_b);
    const bool same = cell_a.coll_index == cell_b.coll_index;
    if (!bounds_a.usable || !bounds_b.usable) {
        return same ? vertices_close(a, b, threshold) : edges_close(a, b, threshold);
    }
    if (same) {
        if (packed_a.vertices.count < 0) packed_a.vertices = pack_vertices(a, packed_a.vertex_space, 4);
        return vertices_close_pruned(a, packed_a.vertices, bounds_a, b, bounds_b, threshold, packed);
    }
    if (packed_a.edges.count < 0) packed_a.edges = pack_edges(a, packed_a.edge_space);
    return edges_close_pruned(a, packed_a.edges, bounds_a, b, bounds_b, threshold, packed);
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

// The loops are bound by memory latency: each link reads a neighbour's record, bounds, vertices
// and edges from wherever the caller put them. Ask for them a little ahead: the record two links
// ahead, and the arrays of the next link's neighbour (whose record has arrived by then).
inline bool valid_neighbor(const LoopContext& loop, int32_t other) {
    return other >= 0 && other < loop.query->cell_count;
}

inline void prefetch(const void* address) {
    _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
}

void prefetch_arrays(const Cell& cell);

void prefetch_link(const LoopContext& loop, const Cell& cell_a, int32_t k) {
    const char* cells = loop.query->cells;
    if (k + 2 < cell_a.n_count) {
        const int32_t ahead = cell_a.cell_links[k + 2];
        if (valid_neighbor(loop, ahead)) prefetch(cells + static_cast<ptrdiff_t>(ahead) * sizeof(Cell));
    }
    if (k + 1 < cell_a.n_count) {
        const int32_t next = cell_a.cell_links[k + 1];
        if (!valid_neighbor(loop, next)) return;
        prefetch_arrays(read_cell(cells, next));
        if (loop.bounds != nullptr) prefetch(loop.bounds + next);
    }
}

// The first line of a cell's vertex and edge arrays (the rest follows in sequence).
void prefetch_arrays(const Cell& cell) {
    if (cell.vertices != nullptr) prefetch(cell.vertices);
    if (cell.edges != nullptr) prefetch(cell.edges);
}

void cell_block(int32_t begin, int32_t end, void* context) {
    const LoopContext& loop = *static_cast<LoopContext*>(context);
    const NeighborQuery& query = *loop.query;
    PackedElements packed;
    PackedCell packed_a;
    for (int32_t cell_idx = begin; cell_idx < end; ++cell_idx) {
        const Cell cell_a = read_cell(query.cells, cell_idx);
        packed_a.vertices = PackedVertices{};
        packed_a.edges = PackedEdges{};
        if (!query.direct_loops && cell_idx + 1 < end) {
            const Cell next = read_cell(query.cells, cell_idx + 1);
            prefetch_arrays(next);
            if (next.cell_links != nullptr) prefetch(next.cell_links);
        }
        if (cell_a.n_count <= 0 || cell_a.cell_links == nullptr) continue;
        const CellGeometry a = geometry_of(cell_a);
        const VertexBounds bounds_a = bounds_of(loop, cell_idx, cell_a);
        for (int32_t k = 0; k < cell_a.n_count; ++k) {
            if (!query.direct_loops) prefetch_link(loop, cell_a, k);
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
                    : cells_close(cell_a, a, bounds_a, packed_a, cell_b,
                                  bounds_of(loop, other_cell_idx, cell_b), query.distance_threshold,
                                  packed);
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
