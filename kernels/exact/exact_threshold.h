// The threshold of the package's vertices-and-edges rule, and the float bounds of its fast pass.
//
// The rule is decided as double arithmetic on the cells' float coordinates decides it: a pair
// is close when its distance, computed in double, is strictly below the threshold. Most pairs
// are far from that boundary, and a float computation with a proven error bound tells them
// apart four at a time; only pairs inside the bound are measured again in double.
#pragma once

#include <cfloat>
#include <cmath>

namespace cellprox {

// Relative room left around the threshold by the float pass, far beyond its rounding errors
// (a few units of 2^-24): a float distance this far below the threshold is below it in double
// too, one this far above is above it.
constexpr double kFastPassRoom = 0x1p-20;

// The segment steps' relative tolerance in double (RelativeTolerance in segment_distance.h): D
// at most this fraction of a * c is parallel, a parameter at most this is zero. At segments of
// unit length it is the raw kernels' EPS. The float pass needs only parameters in [0, 1], which
// any tolerance gives: it takes float's own epsilon, whose products stay normal floats.
constexpr double kSegmentTiny = 0x1p-52;
constexpr float kFloatSegmentTiny = 0x1p-24f;

struct ExactThreshold {
    double value;        // strict: a pair exactly at the threshold is not close
    bool fast;           // whether the float pass may decide; otherwise every pair is measured in double
    float below;         // a float distance below this is close
    float above;         // a float distance above this is not
    float squared_below; // the same for squared vertex distances
    float squared_above;
};

// The float no greater (or no less) than x; the float range's end when beyond it.
inline float float_below(double x) {
    if (!(x < double(FLT_MAX))) return FLT_MAX;
    float f = static_cast<float>(x);
    return double(f) > x ? std::nextafter(f, -INFINITY) : f;
}

inline float float_above(double x) {
    if (!(x < double(FLT_MAX))) return INFINITY;
    float f = static_cast<float>(x);
    return double(f) < x ? std::nextafter(f, INFINITY) : f;
}

// The float pass works where squares of distances near the threshold are normal floats and
// squares of coordinates up to the threshold cannot overflow: 2^-50 to 2^60, far beyond any
// scene's useful range. Outside it every pair is measured in double.
inline ExactThreshold exact_threshold(double value) {
    ExactThreshold t{};
    t.value = value;
    t.fast = value >= 0x1p-50 && value <= 0x1p60;
    if (t.fast) {
        t.below = float_below(value * (1.0 - kFastPassRoom));
        t.above = float_above(value * (1.0 + kFastPassRoom));
        t.squared_below = float_below(value * value * (1.0 - 2.0 * kFastPassRoom));
        t.squared_above = float_above(value * value * (1.0 + 2.0 * kFastPassRoom));
    }
    return t;
}

// How far beyond the threshold an element must lie from the other cell's bounds to be dropped
// unmeasured: the threshold plus room for rounding the widened bounds in float, which moves
// them by at most half a unit in the last place of the largest coordinate, `magnitude`.
inline float exact_pruning_limit(const ExactThreshold& t, double magnitude) {
    return float_above(t.value * (1.0 + kFastPassRoom) + magnitude * 0x1p-22 + 0x1p-126);
}

}  // namespace cellprox
