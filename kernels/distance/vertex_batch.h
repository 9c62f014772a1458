// The vertex test of one vertex against a batch of vertices, four lanes at a time (SSE, the
// baseline of every deliverable). Each lane computes exactly what distance_between computes, in
// the same order, so the decisions equal those of the scalar loop.
#pragma once

#include <cstdint>
#include <xmmintrin.h>

#include "kernels/lanes/lanes.h"
#include "kernels/shared/vector_math.h"

namespace cellprox {

// Vertices stored as three arrays x[], y[], z[] of `count` elements.
struct VertexBatch {
    const float* x;
    const float* y;
    const float* z;
    int32_t count;
};

// Whether some vertex of the batch lies strictly closer than `threshold` to `point`.
inline bool any_vertex_within(const float* point, const VertexBatch& batch, float threshold) {
    const __m128 px = _mm_set1_ps(point[0]);
    const __m128 py = _mm_set1_ps(point[1]);
    const __m128 pz = _mm_set1_ps(point[2]);
    const __m128 limit = _mm_set1_ps(threshold);
    int32_t k = 0;
    for (; k + 4 <= batch.count; k += 4) {
        const __m128 dx = _mm_sub_ps(px, _mm_loadu_ps(batch.x + k));
        const __m128 dy = _mm_sub_ps(py, _mm_loadu_ps(batch.y + k));
        const __m128 dz = _mm_sub_ps(pz, _mm_loadu_ps(batch.z + k));
        const __m128 s = _mm_add_ps(_mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy)),
                                    _mm_mul_ps(dz, dz));
        if (_mm_movemask_ps(_mm_cmplt_ps(square_root(Float4{s}).v, limit)) != 0) return true;
    }
    for (; k < batch.count; ++k) {
        const float other[3] = {batch.x[k], batch.y[k], batch.z[k]};
        if (distance_between(point, other) < threshold) return true;
    }
    return false;
}

}  // namespace cellprox
