// Conservative pruning of the narrow phase: before the pair loops of a link, drop the vertices or
// edges of each cell that lie provably farther than the threshold from the other cell's bounding
// box. A dropped element cannot take part in a passing pair, so the link's result is unchanged.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "kernels/lanes/lanes.h"

namespace cellprox {

// Bounds of a cell's vertices; `usable` is false when a coordinate is NaN (no safe bound).
struct VertexBounds {
    float lo[3];
    float hi[3];
    bool usable;
};

inline VertexBounds vertex_bounds(const float* vertices, int32_t v_count) {
    VertexBounds b{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}, true};
    for (int32_t i = 0; i < v_count; ++i) {
        const float* v = vertices + 3 * static_cast<ptrdiff_t>(i);
        for (int axis = 0; axis < 3; ++axis) {
            if (std::isnan(v[axis])) b.usable = false;
            b.lo[axis] = v[axis] < b.lo[axis] ? v[axis] : b.lo[axis];
            b.hi[axis] = v[axis] > b.hi[axis] ? v[axis] : b.hi[axis];
        }
    }
    return b;
}

// How far beyond the threshold an element must lie to be dropped. The computed distances carry
// rounding errors: relative ones from the square root and the sums (a few units in the last
// place), and absolute ones from the segment distance, whose closest points are formed as
// p0 + s * (p1 - p0) from coordinates of size up to `magnitude` (a few units in the last place
// of the largest coordinate). The margin covers both a thousandfold, and costs nothing in
// practice: elements near the threshold are kept.
inline float pruning_limit(float threshold, const VertexBounds& a, const VertexBounds& b) {
    double magnitude = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        for (float bound : {a.lo[axis], a.hi[axis], b.lo[axis], b.hi[axis]}) {
            const double size = std::fabs(double(bound));
            magnitude = size > magnitude ? size : magnitude;
        }
    }
    return static_cast<float>(double(threshold) * (1.0 + 1e-4) + magnitude * 1e-4);
}

// A cell's bounds widened by the pruning limit, as lanes (x, y, z, unused). Widening in single
// precision moves a bound by at most an ulp of the larger of bound and limit, far inside the
// margin of pruning_limit, so the tests below stay conservative.
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

inline WideBox widened(const VertexBounds& b, float limit) {
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
