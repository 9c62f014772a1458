#include "kernels/close_cells.h"

#include <cmath>
#include <cstdlib>

#include "kernels/cell_geometry.h"
#include "kernels/segment_batch.h"
#include "kernels/vertex_batch.h"

namespace cellprox {

PackedElements::~PackedElements() { std::free(data_); }

float* PackedElements::reserve(int64_t n) {
    if (n <= capacity_) return data_;
    float* grown = static_cast<float*>(std::realloc(data_, static_cast<size_t>(n) * sizeof(float)));
    if (grown == nullptr) return nullptr;
    data_ = grown;
    capacity_ = n;
    return data_;
}

namespace {

inline void segment_bounds(const float* from, const float* to, float* lo, float* hi) {
    for (int axis = 0; axis < 3; ++axis) {
        lo[axis] = from[axis] < to[axis] ? from[axis] : to[axis];
        hi[axis] = from[axis] > to[axis] ? from[axis] : to[axis];
    }
}

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

}  // namespace

bool cells_close(const Cell& cell_a, const VertexBounds& bounds_a, const Cell& cell_b,
                 const VertexBounds& bounds_b, float threshold, CloseCellSpace& space) {
    // No distance is below a threshold of 0 or less (or NaN): nothing to measure.
    if (!(threshold > 0.0f)) return false;
    const CellGeometry a = geometry_of(cell_a);
    const CellGeometry b = geometry_of(cell_b);
    const bool same = cell_a.coll_index == cell_b.coll_index;
    if (!bounds_a.usable || !bounds_b.usable) {
        return same ? vertices_close(a, b, threshold) : edges_close(a, b, threshold);
    }
    if (same) {
        if (space.vertices.count < 0) space.vertices = pack_vertices(a, space.vertex_space, 4);
        return vertices_close_pruned(a, space.vertices, bounds_a, b, bounds_b, threshold,
                                     space.neighbor_space);
    }
    if (space.edges.count < 0) space.edges = pack_edges(a, space.edge_space);
    return edges_close_pruned(a, space.edges, bounds_a, b, bounds_b, threshold, space.neighbor_space);
}

}  // namespace cellprox
