// What the narrow phase's loops may read of a cell (its vertices and its valid edges), and the
// plain closeness tests over them.
#pragma once

#include <cstdint>

#include "kernels/common/distance/close_plumbing.h"
#include "kernels/common/distance/segment_distance.h"
#include "kernels/common/shared/cell.h"
#include "kernels/common/shared/vector_math.h"

namespace cellprox {

// A null array with a positive count counts as empty, so a half-built record cannot send the
// loops through a null address.
inline CellView geometry_of(const Cell& cell) {
    return CellView{cell.vertices, cell.edges, cell.vertices ? cell.v_count : 0, cell.edges ? cell.e_count : 0,
                    cell.coll_index};
}

// The plain closeness tests, stopping at the first pair strictly closer than the threshold:
// vertex against vertex for cells of one collection, edge against edge for cells of different
// collections, with the neighbour's edge (b) as the first segment.
inline bool vertices_close(const CellView& a, const CellView& b, float threshold) {
    return any_vertex_pair(a, b, [threshold](const float* p, const float* q) { return distance_between(p, q) < threshold; });
}

inline bool edges_close(const CellView& a, const CellView& b, float threshold) {
    return any_edge_pair(a, b, [threshold](const float* p0, const float* p1, const float* q0, const float* q1) {
        return dist3D_Segment_to_Segment(p0, p1, q0, q1) < threshold;
    });
}

}  // namespace cellprox
