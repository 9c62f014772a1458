// Conservative pruning of the narrow phase: before the pair loops of a link, drop the vertices or
// edges of each cell that lie provably farther than the threshold from the other cell's bounding
// box. A dropped element cannot take part in a passing pair, so the link's result is unchanged.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <xmmintrin.h>
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

// Whether the box [lo, hi] lies farther than `limit` from `bounds`: a lower bound of the distance
// between any point of one and any point of the other, compared through its square. Single
// precision is enough: its relative rounding (below 1e-6) is far inside the margin of
// pruning_limit. Any NaN on the way makes the answer "no"; an overflow to infinity means far.
inline bool farther_than(const float* lo, const float* hi, const VertexBounds& bounds, float limit) {
    float squared = 0.0f;
    for (int axis = 0; axis < 3; ++axis) {
        const float below = bounds.lo[axis] - hi[axis];
        const float above = lo[axis] - bounds.hi[axis];
        const float gap = below > above ? below : above;
        if (gap > 0.0f) squared += gap * gap;
    }
    return squared > limit * limit;
}

// farther_than for four points at once (x, y, z of each in a lane): bit k of the result is set
// when point k is farther than `limit` from `bounds`. As conservative as the scalar test: a NaN
// lane is never far.
inline int farther_than_4(__m128 x, __m128 y, __m128 z, const VertexBounds& bounds, float limit) {
    const __m128 zero = _mm_setzero_ps();
    auto gap = [&](__m128 v, int axis) {
        const __m128 below = _mm_sub_ps(_mm_set1_ps(bounds.lo[axis]), v);
        const __m128 above = _mm_sub_ps(v, _mm_set1_ps(bounds.hi[axis]));
        const __m128 g = _mm_max_ps(_mm_max_ps(below, above), zero);
        return _mm_mul_ps(g, g);
    };
    const __m128 squared = _mm_add_ps(_mm_add_ps(gap(x, 0), gap(y, 1)), gap(z, 2));
    return _mm_movemask_ps(_mm_cmpgt_ps(squared, _mm_set1_ps(limit * limit)));
}

}  // namespace cellprox
