// Owns the simplex of the hull rule's GJK search (hull_distance.cpp): the points of A - B it keeps,
// the point of a simplex nearest the origin with the smallest face that holds it, and the
// weights that give that point from the simplex's corners.
#pragma once

#include <cstdint>

#include "kernels/shared/double_vector.h"

namespace cellprox {

// A point of the simplex: a vertex of A - B, and the numbers of the vertices of A and B whose
// difference it is.
struct Corner {
    Vec3d w;
    int32_t i;
    int32_t j;
};

// A point of the simplex closest to the origin, its squared length, and the simplex points (bit k:
// point k) whose hull holds it in its relative interior.
struct Closest {
    Vec3d point;
    double length2;
    unsigned used;
};

// The nearest point of the simplex c[0 .. count-1] whose last point is the newest. Only faces that
// hold the newest point are searched: the others belonged to the previous simplex, whose nearest
// point was the current bound, and a face that cannot lower the bound ends the search anyway.
Closest nearest_on_simplex(const Corner* c, int count);

// Keeps the points flagged in `used`, in order; returns how many remain.
int keep_used(Corner* c, int count, unsigned used);

// The weights on the corners of a final simplex that give its nearest point (which lies in its
// relative interior), found again only when the two hulls' points are asked for.
void nearest_weights(const Corner* c, int count, double weight[4]);

}  // namespace cellprox
