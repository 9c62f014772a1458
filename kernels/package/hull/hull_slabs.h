// Owns the hull rule's cheapest verdict: a cell's extent along the four diagonals of the axes.
//
// The candidates are pairs whose vertex boxes come within the threshold along all three axes. In
// crowded scenes of rounded cells (Voronoi cells, convex pieces) many of them are diagonal
// neighbours whose boxes meet at a corner while the cells do not: the extents along the
// diagonals (1, 1, 1), (1, 1, -1), (1, -1, 1) and (-1, 1, 1), found once per cell, prove most of
// those apart for a few comparisons, where the distance search would place both cells first.
#pragma once

#include <cstdint>

#include "kernels/package/hull/hull_tolerances.h"

namespace cellprox {

// The lowest and highest of x + y + z, x + y - z, x - y + z and -x + y + z over a cell's
// vertices, moved outward by a bound of their rounding: the cell's hull lies between them.
struct DiagonalSlabs {
    double low[4];
    double high[4];
};

// The slabs of `count` finite vertices of three floats each (none: empty slabs, low above high).
DiagonalSlabs diagonal_slabs(const float* xyz, int32_t count);

// The reach to pass to slabs_apart for a threshold: how far apart two slabs must be, in the
// slabs' own units (sqrt 3 of a unit length each), to prove the hulls farther apart than
// `threshold`, rounding included. Infinite for thresholds that large.
double slab_reach(double threshold);

// The widest gap between two cells' slabs along any diagonal, in the slabs' units: negative where
// they overlap along all four. The same subtractions as slabs_apart's, so that it passes a reach
// exactly when slabs_apart says so.
inline double slabs_gap(const DiagonalSlabs& a, const DiagonalSlabs& b) {
    double gap[4];
    for (int k = 0; k < 4; ++k) {
        const double ahead = a.low[k] - b.high[k], behind = b.low[k] - a.high[k];
        gap[k] = ahead > behind ? ahead : behind;
    }
    const double low = gap[0] > gap[1] ? gap[0] : gap[1], high = gap[2] > gap[3] ? gap[2] : gap[3];
    return low > high ? low : high;
}

// A lower bound of the hulls' distance from their slabs' gap. It lies a little below the gap
// over sqrt 3, so below the distance, and above every threshold whose slab_reach the gap passes:
// a pair the slabs prove apart at one threshold never reports a gap at most that threshold when
// a larger one lets the search measure it. The gap times 1/sqrt 3, less 2^-41 of itself:
// slab_reach's 2^-40 of the threshold leaves room for that and for the rounding of the constant,
// the product and the subtraction; for gaps too small for full precision, its four smallest doubles
// leave room for a rounding of half of one each. (The constants: hull_tolerances.h.)
inline double slab_bound(double gap) {
    const double bound = gap * HullTolerances::INVERSE_SQRT3;
    return bound - HullTolerances::SLAB_BOUND_SHARE * bound;
}

// Whether the slabs alone prove the two cells' hulls farther apart than the threshold whose
// slab_reach is `reach`: along some diagonal one cell ends more than `reach` before the other
// begins. False says nothing.
inline bool slabs_apart(const DiagonalSlabs& a, const DiagonalSlabs& b, double reach) {
    bool apart = false;
    for (int k = 0; k < 4; ++k) apart |= (a.low[k] - b.high[k] > reach) | (b.low[k] - a.high[k] > reach);
    return apart;
}

}  // namespace cellprox
