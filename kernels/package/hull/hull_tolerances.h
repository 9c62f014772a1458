// The hull rule's tolerances, each value spelt once: how accurately the distance search works and
// when it stops, and the slack that keeps the first verdicts' bounds (the diagonal slabs, the
// vertex boxes) on the safe side of the distance through their own rounding.
#pragma once

namespace cellprox {

struct HullTolerances {
    // Relative accuracy of the search's result against the size of the two cells and their gap,
    // and the length below which the origin counts as reached (touching hulls).
    static constexpr double ACCURACY = 1e-13;
    static constexpr double CONTACT = 1e-14;
    // How far a lower bound must pass the limit before it ends the search, against the size of
    // the pair: beyond what the search's rounding can move a bound above the gap or the result
    // below it (its accuracy a hundred times over, and CONTACT's zero). A bound closer than that
    // lets the search go on to the value it would give any limit, so that a pair's result, where
    // it is at most the limit, does not depend on the limit.
    static constexpr double PROOF_MARGIN = 128 * ACCURACY;
    // The limit's own share of that margin, so that a bound returned above the limit stays above
    // it through the rounding of its division.
    static constexpr double LIMIT_SHARE = 0x1p-40;
    // Steps never needed by polytopes of the sizes cells have; a guard, not a tuning knob.
    static constexpr int MAX_STEPS = 128;

    // Each of a vertex's four diagonal sums is two roundings of double precision away from the
    // exact sum of its three floats; the slabs move out by this much of their largest magnitude.
    static constexpr double SLAB_ROUNDING = 0x1p-50;
    // 1 / sqrt 3: a diagonal's unit against a unit length.
    static constexpr double INVERSE_SQRT3 = 0.57735026918962576451;
    // The slabs' reach for a threshold is larger than threshold * sqrt 3 by this much of itself
    // (far beyond the relative rounding of the product, of sqrt 3 and of the gap's subtraction),
    // and by SLAB_REACH_FLOOR (four of the smallest doubles) beyond the absolute rounding of a
    // product too small for full precision.
    static constexpr double SLAB_REACH_SHARE = 0x1p-40;
    static constexpr double SLAB_REACH_FLOOR = 0x1p-1072;
    // A slab gap's lower bound of the distance lies this much of itself below gap / sqrt 3: half
    // of SLAB_REACH_SHARE, which leaves room for the rounding of the constant, the product and
    // the subtraction.
    static constexpr double SLAB_BOUND_SHARE = 0x1p-41;
};

}  // namespace cellprox
