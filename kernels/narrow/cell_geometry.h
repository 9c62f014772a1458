// What the narrow phase's loops may read of a cell (its vertices and its valid edges), and the
// plain closeness tests over them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/distance/segment_distance.h"
#include "kernels/shared/cell.h"
#include "kernels/shared/vector_math.h"

namespace cellprox {

// A null array with a positive count counts as empty, so a half-built record cannot send the
// loops through a null address.
struct CellGeometry {
    const float* vertices;
    const int32_t* edges;
    int32_t v_count;
    int32_t e_count;
};

inline CellGeometry geometry_of(const Cell& cell) {
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

// The plain closeness tests, stopping at the first pair strictly closer than the threshold:
// vertex against vertex for cells of one collection, edge against edge for cells of different
// collections, with the neighbour's edge (b) as the first segment.
inline bool vertices_close(const CellGeometry& a, const CellGeometry& b, float threshold) {
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

inline bool edges_close(const CellGeometry& a, const CellGeometry& b, float threshold) {
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

}  // namespace cellprox
