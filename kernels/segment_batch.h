// The edge test of one segment against a batch of segments, four lanes at a time (SSE2, the
// baseline of every deliverable). Each lane follows dist3D_Segment_to_Segment step by step: the
// same products and sums in the same order, every branch taken as a blend, so that its
// decisions equal those of the scalar loop.
#pragma once

#include <cstdint>
#include <emmintrin.h>

#include "kernels/segment_distance.h"
#include "kernels/tolerance.h"
#include "kernels/vertex_batch.h"

namespace cellprox {

// First segments p0-p1 stored as six arrays of `count` elements.
struct SegmentBatch {
    const float* p0[3];
    const float* p1[3];
    int32_t count;
};

namespace segment_lanes {

inline __m128 select(__m128 mask, __m128 if_true, __m128 if_false) {
    return _mm_or_ps(_mm_and_ps(mask, if_true), _mm_andnot_ps(mask, if_false));
}

inline __m128 dot(const __m128* a, const __m128* b) {
    return _mm_add_ps(_mm_add_ps(_mm_mul_ps(a[0], b[0]), _mm_mul_ps(a[1], b[1])),
                      _mm_mul_ps(a[2], b[2]));
}

// The parameter on the first segment for one end (or the point) of the second: 0, the end, or
// the projection `numerator / a`, as the scalar steps choose.
inline void project(__m128 mask, __m128 numerator, __m128 a, __m128* sN, __m128* sD) {
    const __m128 zero = _mm_setzero_ps();
    const __m128 below = _mm_cmplt_ps(numerator, zero);
    const __m128 beyond = _mm_andnot_ps(below, _mm_cmpgt_ps(numerator, a));
    const __m128 inside = _mm_andnot_ps(_mm_or_ps(below, beyond), mask);
    *sN = select(_mm_and_ps(mask, below), zero, *sN);
    *sN = select(_mm_and_ps(mask, beyond), *sD, *sN);
    *sN = select(inside, numerator, *sN);
    *sD = select(inside, a, *sD);
}

}  // namespace segment_lanes

// Whether some segment of the batch (as first segment) lies strictly closer than `threshold` to
// the segment q0-q1 (as second segment).
inline bool any_segment_within(const float* q0, const float* q1, const SegmentBatch& batch,
                               float threshold) {
    using namespace segment_lanes;
    const __m128 zero = _mm_setzero_ps();
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 eps = _mm_set1_ps(EPS);
    const __m128 sign = _mm_set1_ps(-0.0f);
    const __m128 limit = _mm_set1_ps(threshold);
    __m128 v[3], q[3];
    for (int k = 0; k < 3; ++k) {
        v[k] = _mm_set1_ps(q1[k] - q0[k]);
        q[k] = _mm_set1_ps(q0[k]);
    }
    const __m128 c = dot(v, v);
    const bool point = q0[0] == q1[0] && q0[1] == q1[1] && q0[2] == q1[2];
    const __m128 second_is_point = point ? _mm_castsi128_ps(_mm_set1_epi32(-1)) : zero;

    int32_t j = 0;
    for (; j + 4 <= batch.count; j += 4) {
        __m128 u[3], w[3];
        for (int k = 0; k < 3; ++k) {
            const __m128 p0 = _mm_loadu_ps(batch.p0[k] + j);
            u[k] = _mm_sub_ps(_mm_loadu_ps(batch.p1[k] + j), p0);
            w[k] = _mm_sub_ps(p0, q[k]);
        }
        const __m128 a = dot(u, u);
        const __m128 b = dot(u, v);
        const __m128 d = dot(u, w);
        const __m128 e = dot(v, w);
        const __m128 D = _mm_sub_ps(_mm_mul_ps(a, c), _mm_mul_ps(b, b));

        const __m128 parallel = _mm_cmplt_ps(D, eps);
        __m128 sN = select(parallel, zero, _mm_sub_ps(_mm_mul_ps(b, e), _mm_mul_ps(c, d)));
        __m128 tN = select(parallel, e, _mm_sub_ps(_mm_mul_ps(a, e), _mm_mul_ps(b, d)));
        __m128 sD = select(parallel, one, D);
        __m128 tD = select(parallel, c, D);
        const __m128 start = _mm_andnot_ps(parallel, _mm_cmplt_ps(sN, zero));
        const __m128 end = _mm_andnot_ps(_mm_or_ps(parallel, start), _mm_cmpgt_ps(sN, sD));
        sN = select(start, zero, select(end, sD, sN));
        tN = select(start, e, select(end, _mm_add_ps(e, b), tN));
        tD = select(_mm_or_ps(start, end), c, tD);

        const __m128 minus_d = _mm_xor_ps(d, sign);
        const __m128 before = _mm_cmplt_ps(tN, zero);
        const __m128 after = _mm_andnot_ps(before, _mm_cmpgt_ps(tN, tD));
        const __m128 neither = _mm_andnot_ps(_mm_or_ps(before, after), second_is_point);
        tN = select(before, zero, select(after, tD, tN));
        project(_mm_or_ps(before, neither), minus_d, a, &sN, &sD);
        project(after, _mm_add_ps(minus_d, b), a, &sN, &sD);

        const __m128 sc = select(_mm_cmplt_ps(_mm_andnot_ps(sign, sN), eps), zero, _mm_div_ps(sN, sD));
        const __m128 tc = select(_mm_cmplt_ps(_mm_andnot_ps(sign, tN), eps), zero, _mm_div_ps(tN, tD));
        __m128 dP[3];
        for (int k = 0; k < 3; ++k) {
            dP[k] = _mm_sub_ps(_mm_add_ps(w[k], _mm_mul_ps(u[k], sc)), _mm_mul_ps(v[k], tc));
        }
        if (_mm_movemask_ps(_mm_cmplt_ps(square_root_4(dot(dP, dP)), limit)) != 0) return true;
    }
    for (; j < batch.count; ++j) {
        const float p0[3] = {batch.p0[0][j], batch.p0[1][j], batch.p0[2][j]};
        const float p1[3] = {batch.p1[0][j], batch.p1[1][j], batch.p1[2][j]};
        if (dist3D_Segment_to_Segment(p0, p1, q0, q1) < threshold) return true;
    }
    return false;
}

}  // namespace cellprox
