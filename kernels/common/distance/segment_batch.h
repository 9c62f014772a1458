// The edge test of one segment against a batch of segments, four lanes at a time: the segment
// distance's own steps over Float4, so that its decisions equal those of the scalar loop.
#pragma once

#include <cmath>
#include <cstdint>

#include "kernels/common/distance/segment_distance.h"
#include "kernels/common/lanes/lanes.h"

namespace cellprox {

// First segments p0-p1 stored as six arrays of `count` elements. With `lo` and `hi` (each
// segment's bounds, three more arrays each) the test skips four segments at once when each lies
// farther than a culling distance from the second segment along some axis.
struct SegmentBatch {
    const float* p0[3];
    const float* p1[3];
    int32_t count;
    const float* lo[3] = {nullptr, nullptr, nullptr};
    const float* hi[3] = {nullptr, nullptr, nullptr};
};

// Segments packed as twelve columns of `room` floats: p0, p1, lower and upper bounds, each x, y, z.
enum EdgeColumn { P0 = 0, P1 = 3, LO = 6, HI = 9, EDGE_COLUMNS = 12 };

// Writes segment p0-p1 as element n of the columns.
inline void put_segment(float* const* column, int32_t n, const float* p0, const float* p1) {
    for (int k = 0; k < 3; ++k) {
        column[P0 + k][n] = p0[k];
        column[P1 + k][n] = p1[k];
        column[LO + k][n] = p0[k] < p1[k] ? p0[k] : p1[k];
        column[HI + k][n] = p0[k] > p1[k] ? p0[k] : p1[k];
    }
}

// The batch of the first `kept` segments of the columns, padded to whole groups of four with
// segments at infinity: never close, and always culled.
inline SegmentBatch padded_batch(float* const* column, int32_t kept) {
    const int32_t padded = (kept + 3) / 4 * 4;
    for (int32_t j = kept; j < padded; ++j) {
        for (int c = 0; c < EDGE_COLUMNS; ++c) column[c][j] = INFINITY;
    }
    return SegmentBatch{{column[P0], column[P0 + 1], column[P0 + 2]},
                        {column[P1], column[P1 + 1], column[P1 + 2]},
                        padded,
                        {column[LO], column[LO + 1], column[LO + 2]},
                        {column[HI], column[HI + 1], column[HI + 2]}};
}

// Segment j of a batch, as points of three floats.
struct FirstSegment {
    float p0[3];
    float p1[3];
};

inline FirstSegment first_of(const SegmentBatch& batch, int32_t j) {
    return {{batch.p0[0][j], batch.p0[1][j], batch.p0[2][j]}, {batch.p1[0][j], batch.p1[1][j], batch.p1[2][j]}};
}

namespace segment_lanes {

// Lane k holds where segment k's bounds lie farther than `limit` from [q_lo, q_hi] on some axis.
inline Mask4 apart(const SegmentBatch& batch, int32_t j, const Float4* q_lo, const Float4* q_hi,
                   Float4 limit) {
    Mask4 far = mask4(false);
    for (int k = 0; k < 3; ++k) {
        const Float4 below = q_lo[k] - Float4::load(batch.hi[k] + j);
        const Float4 above = Float4::load(batch.lo[k] + j) - q_hi[k];
        far = far | greater(below, limit) | greater(above, limit);
    }
    return far;
}

}  // namespace segment_lanes

// Whether some segment of the batch (as first segment) lies strictly closer than `threshold` to
// the segment q0-q1 (as second segment). `cull_limit` (with the batch's bounds) must be a
// distance beyond which no computed segment distance can fall below the threshold.
inline bool any_segment_within(const float* q0, const float* q1, const SegmentBatch& batch,
                               float threshold, float cull_limit = 0.0f) {
    const SecondSegment<float> second = second_segment(q0, q1);
    const SecondSegment<Float4> second4 = broadcast(second);
    const Float4 limit = broadcast<Float4>(threshold);
    const bool cull = batch.lo[0] != nullptr;
    Float4 q_lo[3], q_hi[3];
    for (int k = 0; k < 3; ++k) {
        q_lo[k] = broadcast<Float4>(q0[k] < q1[k] ? q0[k] : q1[k]);
        q_hi[k] = broadcast<Float4>(q0[k] > q1[k] ? q0[k] : q1[k]);
    }
    const Float4 cull4 = broadcast<Float4>(cull_limit);
    int32_t j = 0;
    for (; j + 4 <= batch.count; j += 4) {
        if (cull && lanes_set(segment_lanes::apart(batch, j, q_lo, q_hi, cull4)) == 0xF) continue;
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
