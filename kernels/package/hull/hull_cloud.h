// Owns how the hull rule's search holds two cells: each placed in double precision relative to a
// common base, one axis per array; a cloud's box; and the table of the first cell's vertices
// that finds a vertex the two cells share.
#pragma once

#include <cstdint>

#include "kernels/package/hull/hull_distance.h"
#include "kernels/common/shared/double_vector.h"

namespace cellprox {

inline int32_t padded_count(int32_t count) { return (count + HULL_CLOUD_BLOCK - 1) & ~(HULL_CLOUD_BLOCK - 1); }

// Internal linkage, as double_vector.h's arithmetic: the AVX2 build of the search uses it.
static inline Vec3d vertex(const HullCloud& cloud, int32_t i) { return {cloud.x[i], cloud.y[i], cloud.z[i]}; }

// One cell's vertices relative to a common base point, one axis per array. The base and the
// vertices are floats, so each difference is exact in double for any two coordinates within 2^29
// of each other in magnitude: far from the origin nothing of the cell's shape is lost. Four
// vertices at a time while twelve floats remain to be read; rounded up to the cloud block by
// repeating the last vertex.
HullCloud place(HullPoints cell, Vec3d base, double* x, double* y, double* z);

// The box of a cloud, in its own coordinates.
Box3d cloud_box(const HullCloud& cloud);

// Vertices that two cells share exactly put their hulls at distance 0 without a search. Cells
// cut from one piece (a fracture, cuts by planes) share the vertices of their common faces, and
// for them the search would otherwise take its most steps: the origin lies on the boundary of
// the Minkowski difference. The first cell's vertices go into a hash table by value (so that
// -0 and 0 match), once for all the pairs that share the cell, in the table of the workspace's
// placed cell `placed` (0 or 1). The table has eight slots a vertex, so that a vertex of the
// second cell mostly finds its slot empty at once: most pairs share nothing, and that answer
// should cost one load a vertex.
void index_vertices(HullPoints a, HullWorkspace& work, int placed);

// A vertex of b that a has too, as (number in a, number in b), or {-1, -1}. Only b's vertices
// inside a's box (`to` holds b's, `box_a` a's box, both relative to the same base) can be a's, so
// only those are looked up: mostly a few, where a pair that shares nothing would look up all.
struct SharedVertex {
    int32_t i;
    int32_t j;
};

SharedVertex shared_vertex(HullPoints a, HullPoints b, const HullCloud& to, const Box3d& box_a, HullWorkspace& work,
                           int placed);

}  // namespace cellprox
