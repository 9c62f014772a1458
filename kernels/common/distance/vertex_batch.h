// The vertex test of one vertex against a batch of vertices, four lanes at a time (SSE, the
// baseline of every deliverable). Each lane computes exactly what distance_between computes, in
// the same order, so the decisions equal those of the scalar loop.
#pragma once

#include <cstdint>

#include "kernels/common/lanes/lanes.h"
#include "kernels/common/shared/vector_math.h"

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
    const Float4 px = broadcast<Float4>(point[0]);
    const Float4 py = broadcast<Float4>(point[1]);
    const Float4 pz = broadcast<Float4>(point[2]);
    const Float4 limit = broadcast<Float4>(threshold);
    int32_t k = 0;
    for (; k + 4 <= batch.count; k += 4) {
        const Float4 dx = px - Float4::load(batch.x + k);
        const Float4 dy = py - Float4::load(batch.y + k);
        const Float4 dz = pz - Float4::load(batch.z + k);
        const Float4 s = (dx * dx + dy * dy) + dz * dz;
        if (any(less(square_root(s), limit))) return true;
    }
    for (; k < batch.count; ++k) {
        const float other[3] = {batch.x[k], batch.y[k], batch.z[k]};
        if (distance_between(point, other) < threshold) return true;
    }
    return false;
}

}  // namespace cellprox
