// The threshold of the package's vertices-and-edges rule, and every bound of its fast pass.
//
// The rule is decided as double arithmetic on the cells' float coordinates decides it: a pair
// is close when its distance, computed in double, is strictly below the threshold. Most pairs
// are far from that boundary, and a float computation with a proven error bound tells them
// apart four at a time; only pairs inside the bound are measured again in double.
#pragma once

#include <cmath>

#include "kernels/common/distance/link_filter.h"
#include "kernels/common/shared/tolerance.h"

namespace cellprox {

// Relative room left around the threshold by the float pass, far beyond its rounding errors
// (a few units of 2^-24): a float distance this far below the threshold is below it in double
// too, one this far above is above it.
constexpr double FAST_PASS_ROOM = 0x1p-20;

// The segment steps' relative tolerance in double (RelativeTolerance in segment_distance.h): D
// at most this fraction of a * c is parallel, a parameter at most this is zero. At segments of
// unit length it is the raw kernels' EPS. The float pass needs only parameters in [0, 1], which
// any tolerance gives: it takes float's own epsilon, whose products stay normal floats.
constexpr double SEGMENT_TINY = DOUBLE_EPSILON;
constexpr float FLOAT_SEGMENT_TINY = 0x1p-24f;

// The float edge pass (exact_edges.cpp). Segments are far from parallel, so that the double
// steps take the float steps' branch, when D exceeds this fraction of a * c + b * b (D's own
// rounding is a few units of 2^-24 of that) ...
constexpr float PARALLEL_RATIO = 0x1p-19f;
// ... and D, a and c exceed this, far above the subnormal floats whose absolute steps of 2^-149
// the relative bounds do not cover.
constexpr float NORMAL_FLOOR = 0x1p-100f;
// The absolute rounding of the projections' dot products below the normal floats.
constexpr float PROJECTION_FLOOR = 0x1p-120f;
// How much the lower bound's reach grows with the segments' spread, beyond the threshold.
constexpr float SPREAD_REACH = 0x1p-40f;

// The float pass works where squares of distances near the threshold are normal floats and
// squares of coordinates up to the threshold cannot overflow: 2^-50 to 2^60, far beyond any
// scene's useful range. Outside it every pair is measured in double.
constexpr double FAST_PASS_LOWEST = 0x1p-50;
constexpr double FAST_PASS_HIGHEST = 0x1p60;

struct ExactThreshold {
    double value;        // strict: a pair exactly at the threshold is not close
    bool fast;           // whether the float pass may decide; otherwise every pair is measured in double
    float below;         // a float distance below this is close
    float above;         // a float distance above this is not
    float squared_below; // the same for squared vertex distances
    float squared_above;

    // How far beyond the threshold an element must lie from the other cell's box to be dropped
    // unmeasured: the threshold and its room, plus rounding the widened bounds to float, which
    // moves them by at most half a unit in the last place of the largest coordinate (2^-24 of
    // it, taken four times), and the smallest normal float for bounds near zero.
    static constexpr PruningMargins PRUNING{FAST_PASS_ROOM, 0x1p-22, 0x1p-126};
};

inline ExactThreshold exact_threshold(double value) {
    ExactThreshold t{};
    t.value = value;
    t.fast = value >= FAST_PASS_LOWEST && value <= FAST_PASS_HIGHEST;
    if (t.fast) {
        t.below = float_below(value * (1.0 - FAST_PASS_ROOM));
        t.above = float_above(value * (1.0 + FAST_PASS_ROOM));
        t.squared_below = float_below(value * value * (1.0 - 2.0 * FAST_PASS_ROOM));
        t.squared_above = float_above(value * value * (1.0 + 2.0 * FAST_PASS_ROOM));
    }
    return t;
}

}  // namespace cellprox
