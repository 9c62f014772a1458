// Conservative pruning of the narrow phase: before the pair loops of a link, drop the vertices or
// edges of each cell that lie provably farther than the threshold from the other cell's bounding
// box. A dropped element cannot take part in a passing pair, so the link's result is unchanged.
#pragma once

#include <cmath>
#include <cstdint>
#include <initializer_list>

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
inline double pruning_limit(float threshold, const VertexBounds& a, const VertexBounds& b) {
    double magnitude = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        for (float bound : {a.lo[axis], a.hi[axis], b.lo[axis], b.hi[axis]}) {
            const double size = std::fabs(double(bound));
            magnitude = size > magnitude ? size : magnitude;
        }
    }
    return double(threshold) * (1.0 + 1e-4) + magnitude * 1e-4;
}

// Whether the box [lo, hi] lies farther than `limit` from `bounds`: a lower bound of the distance
// between any point of one and any point of the other, in double precision. Any NaN or infinity
// on the way makes the answer "no".
inline bool farther_than(const float* lo, const float* hi, const VertexBounds& bounds, double limit) {
    double squared = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        const double below = double(bounds.lo[axis]) - double(hi[axis]);
        const double above = double(lo[axis]) - double(bounds.hi[axis]);
        const double gap = below > above ? below : above;
        if (gap > 0.0) squared += gap * gap;
    }
    return squared > limit * limit;
}

}  // namespace cellprox
