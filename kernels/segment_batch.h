// The edge test of one segment against a batch of segments, four lanes at a time: the segment
// distance's own steps over Float4, so that its decisions equal those of the scalar loop.
#pragma once

#include <cstdint>

#include "kernels/lanes.h"
#include "kernels/segment_distance.h"

namespace cellprox {

// First segments p0-p1 stored as six arrays of `count` elements.
struct SegmentBatch {
    const float* p0[3];
    const float* p1[3];
    int32_t count;
};

// Whether some segment of the batch (as first segment) lies strictly closer than `threshold` to
// the segment q0-q1 (as second segment).
inline bool any_segment_within(const float* q0, const float* q1, const SegmentBatch& batch,
                               float threshold) {
    const SecondSegment<float> second = second_segment(q0, q1);
    const SecondSegment<Float4> second4 = broadcast(second);
    const Float4 limit = broadcast<Float4>(threshold);
    int32_t j = 0;
    for (; j + 4 <= batch.count; j += 4) {
        Float4 p0[3], p1[3];
        for (int k = 0; k < 3; ++k) {
            p0[k] = Float4::load(batch.p0[k] + j);
            p1[k] = Float4::load(batch.p1[k] + j);
        }
        if (lanes_set(less(segment_distance(p0, p1, second4), limit)) != 0) return true;
    }
    for (; j < batch.count; ++j) {
        const float p0[3] = {batch.p0[0][j], batch.p0[1][j], batch.p0[2][j]};
        const float p1[3] = {batch.p1[0][j], batch.p1[1][j], batch.p1[2][j]};
        if (segment_distance(p0, p1, second) < threshold) return true;
    }
    return false;
}

}  // namespace cellprox
