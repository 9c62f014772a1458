// Conservative pruning, for both closeness rules: before the pair loops of two cells, drop the
// vertices or edges of each cell that lie provably farther than the threshold from the other
// cell's box. A dropped element cannot take part in a passing pair, so no decision changes.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "kernels/common/lanes/lanes.h"
#include "kernels/common/shared/vertex_box.h"

namespace cellprox {

// The box of a cell's vertices. A NaN coordinate leaves no safe bound: the box is then marked
// unusable (a NaN lower bound, which no comparison lets through) rather than carried as a flag,
// so that one box type serves the narrow phase's table and the package's tree alike.
inline VertexBox vertex_bounds(const float* vertices, int32_t v_count) {
    VertexBox b{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}};
    bool usable = true;
    for (int32_t i = 0; i < v_count; ++i) {
        const float* v = vertices + 3 * static_cast<ptrdiff_t>(i);
        for (int axis = 0; axis < 3; ++axis) {
            if (std::isnan(v[axis])) usable = false;
            b.lo[axis] = v[axis] < b.lo[axis] ? v[axis] : b.lo[axis];
            b.hi[axis] = v[axis] > b.hi[axis] ? v[axis] : b.hi[axis];
        }
    }
    if (!usable) b.lo[0] = NAN;
    return b;
}

inline bool bounds_usable(const VertexBox& b) { return !std::isnan(b.lo[0]); }

// The next float up from a finite f, by its bits rather than std::nextafter: the raw kernels'
// module links the C library alone, and nextafterf lives in the math library.
inline float next_float_up(float f) {
    if (f == 0.0f) return FLT_TRUE_MIN;
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    bits = f > 0.0f ? bits + 1 : bits - 1;
    std::memcpy(&f, &bits, sizeof bits);
    return f;
}

// The float no greater (or no less) than x; the float range's end when beyond it.
inline float float_below(double x) {
    if (!(x < double(FLT_MAX))) return FLT_MAX;
    const float f = static_cast<float>(x);
    return double(f) > x ? -next_float_up(-f) : f;
}

inline float float_above(double x) {
    if (!(x < double(FLT_MAX))) return INFINITY;
    const float f = static_cast<float>(x);
    return double(f) < x ? next_float_up(f) : f;
}

// How far beyond the threshold a rule's pruning must reach: the computed distances may fall
// short of the true ones by a relative error (of the threshold) and by an absolute one that
// grows with the coordinates (of the largest bound, `magnitude`), and the widened bounds are
// themselves rounded to float. Each rule names its own margins beside its threshold.
struct PruningMargins {
    double relative;   // of the threshold
    double absolute;   // of the largest coordinate
    double floor;      // below any rounding step of the widened bounds
};

// The largest magnitude of any bound of the two boxes.
inline double largest_magnitude(const VertexBox& a, const VertexBox& b) {
    double magnitude = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        for (float bound : {a.lo[axis], a.hi[axis], b.lo[axis], b.hi[axis]}) {
            const double size = std::fabs(double(bound));
            magnitude = size > magnitude ? size : magnitude;
        }
    }
    return magnitude;
}

// The distance beyond which an element of one cell is dropped against the other's box, rounded
// up to float so that the rounding only ever widens it.
inline float pruning_limit(double threshold, const VertexBox& a, const VertexBox& b,
                           const PruningMargins& margins) {
    return float_above(threshold * (1.0 + margins.relative) + largest_magnitude(a, b) * margins.absolute +
                       margins.floor);
}

// A cell's bounds widened by the pruning limit, as lanes (x, y, z, unused). Widening in single
// precision moves a bound by at most an ulp of the larger of bound and limit, inside every
// rule's margins, so the tests below stay conservative.
struct WideBox {
    Float4 lo;
    Float4 hi;
};

// Bounds given as lanes (x, y, z, 0).
inline WideBox widened(Float4 lo, Float4 hi, float limit) {
    const Float4 by = lanes4(limit, limit, limit, INFINITY);  // the unused lane: never outside
    return WideBox{lo - by, hi + by};
}

inline Float4 point_lanes(const float* p) { return lanes4(p[0], p[1], p[2], 0.0f); }

inline WideBox widened(const VertexBox& b, float limit) {
    return widened(point_lanes(b.lo), point_lanes(b.hi), limit);
}

// Where a point lies against a widened box: bit k (k < 3) when it is below the box on axis k,
// bit 4 + k when above, 0 inside. A vertex outside lies farther than the limit from the other
// cell; so does an edge whose two ends are outside on the same side (every point of it is). A
// NaN coordinate gives 0: kept, as it must be.
inline int outcode(Float4 point, const WideBox& box) {
    return lanes_set(less(point, box.lo)) | lanes_set(greater(point, box.hi)) << 4;
}

}  // namespace cellprox
