// What the narrow phase's loops may read of a cell: its vertices and its valid edges.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/cell.h"

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

}  // namespace cellprox
