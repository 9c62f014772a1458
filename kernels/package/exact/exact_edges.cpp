// The edge test of the exact rule: b's edges near a's bounds as columns, each of a's edges near
// b's bounds measured against them four at a time in float, and what the float pass cannot
// decide measured again in double, from either segment.
//
// The float pass proves both ways. The segment distance's steps end with parameters s and t in
// [0, 1] and the offset dP = w + s u - t v between two points of the segments (w, u, v the
// differences of the end points). Whatever s and t are, the true distance is at most the true
// length of that offset, and the float dP differs from it by at most 4 units of 2^-24 times
// |w| + |u| + |v| (one rounding in each difference, product and sum): a float length below the
// threshold by more than that proves the pair close. For the other way, any direction n gives
// a lower bound: the gap between the two segments' projections onto n. With n = dP it is the
// distance itself when the steps found the closest points, and a smaller bound when rounding
// misled them (nearly parallel segments, short ones against long ones): such pairs, and those
// near the threshold, are measured in double. A pair proven close is taken only when the two
// segments are far from parallel, where the double steps find the closest points too.
#include <cmath>

#include "kernels/common/distance/segment_batch.h"
#include "kernels/common/distance/segment_distance.h"
#include "kernels/package/exact/exact_cells.h"
#include "kernels/common/lanes/lanes.h"

namespace cellprox {

namespace {

inline Float4 abs_sum(const Float4* x) { return magnitude(x[0]) + magnitude(x[1]) + magnitude(x[2]); }

// The float pass over four of b's edges against one of a's: which lanes are proven close, and
// which are left undecided (neither proven close nor proven apart).
struct LaneVerdict {
    int close;
    int open;
};

LaneVerdict judge_lanes(const Float4* p0, const Float4* p1, const SecondSegment<Float4>& q, Mask4 apart,
                        const ExactThreshold& threshold) {
    Float4 dP[3];
    SegmentShape<Float4> shape;
    segment_offset(p0, p1, q, RelativeTolerance<Float4>{broadcast<Float4>(FLOAT_SEGMENT_TINY)}, dP, &shape);
    Float4 w[3], w1[3], u[3];
    for (int k = 0; k < 3; ++k) {
        w[k] = p0[k] - q.q0[k];
        w1[k] = p1[k] - q.q0[k];
        u[k] = p1[k] - p0[k];
    }
    const Float4 room = broadcast<Float4>(float(FAST_PASS_ROOM));
    const Float4 one = broadcast<Float4>(1.0f);
    const Float4 length = square_root(dot(dP, dP));
    const Float4 spread = abs_sum(w) + abs_sum(u) + abs_sum(q.v);
    // Far from parallel: D holds well above its own rounding (a few units of 2^-24 of a*c + b*b),
    // so the double steps take the same branch and land on the closest points. That bound holds
    // while a, c and D are far above the subnormal floats, whose absolute steps of 2^-149 it
    // does not cover; below them (segments shorter than about 2^-50, or pairs shorter than about
    // 2^-25 or nearly parallel) the double steps decide: the limits only cost time there.
    const Float4 normal = broadcast<Float4>(NORMAL_FLOOR);
    const Mask4 conditioned =
        greater(shape.D, (shape.a * shape.c + shape.b * shape.b) * broadcast<Float4>(PARALLEL_RATIO) + normal) &
        greater(shape.a, normal) & greater(shape.c, normal);
    const Mask4 close = conditioned & less(length * (one + room) + spread * room,
                                           broadcast<Float4>(threshold.below));
    const int proven_close = lanes_set(and_not(apart, close));
    if (proven_close != 0) return {proven_close, 0};   // the pair is close: the rest can wait
    // The projections onto dP: the first segment's nearer end against the second's farther one.
    const Float4 zero = broadcast<Float4>(0.0f);
    const Float4 separation = minimum(dot(dP, w), dot(dP, w1)) - maximum(dot(dP, q.v), zero);
    // Relative rounding of the three dot products, and their steps below the normal floats.
    const Float4 rounding = abs_sum(dP) * (abs_sum(w) + abs_sum(w1) + abs_sum(q.v)) * room +
                            broadcast<Float4>(PROJECTION_FLOOR);
    const Float4 reach = broadcast<Float4>(threshold.above) + spread * broadcast<Float4>(SPREAD_REACH);
    const Mask4 far = greater(separation - rounding, length * (one + room) * reach);
    return {0, lanes_set(!(close | far | apart))};
}

// The float pass over one of a's edges, q0-q1, against b's edges four at a time, after the
// lanes whose bounds lie farther than the pruning limit along some axis are culled.
struct ExactEdgeVerdict {
    const ExactThreshold& threshold;

    Closeness edge(int32_t i, const float* q0, const float* q1, const SegmentBatch& batch, float limit,
                   CloseSpace& space) const {
        if (!threshold.fast) {
            for (int32_t j = 0; j < batch.count; ++j) {
                const FirstSegment p = first_of(batch, j);
                if (exact_segments_close(p.p0, p.p1, q0, q1, threshold.value)) return Closeness::close;
            }
            return Closeness::apart;
        }
        const SecondSegment<Float4> q = broadcast(second_segment(q0, q1));
        Float4 q_lo[3], q_hi[3];
        for (int k = 0; k < 3; ++k) {
            q_lo[k] = broadcast<Float4>(q0[k] < q1[k] ? q0[k] : q1[k]);
            q_hi[k] = broadcast<Float4>(q0[k] > q1[k] ? q0[k] : q1[k]);
        }
        const Float4 cull = broadcast<Float4>(limit);
        for (int32_t j = 0; j < batch.count; j += 4) {
            const Mask4 apart = segment_lanes::apart(batch, j, q_lo, q_hi, cull);
            if (lanes_set(apart) == 0xF) continue;
            Float4 p0[3], p1[3];
            for (int k = 0; k < 3; ++k) {
                p0[k] = Float4::load(batch.p0[k] + j);
                p1[k] = Float4::load(batch.p1[k] + j);
            }
            const LaneVerdict verdict = judge_lanes(p0, p1, q, apart, threshold);
            if (verdict.close != 0) return Closeness::close;
            if (verdict.open != 0 && !space.undecided.push_back({i, j, verdict.open})) return Closeness::out_of_memory;
        }
        return Closeness::apart;
    }

    // The pairs the float pass left undecided, each measured in double.
    Closeness undecided_edges(const SegmentBatch& batch, const CloseSpace& space) const {
        for (size_t k = 0; k < space.undecided.size(); ++k) {
            const UndecidedLanes& open = space.undecided[k];
            const float* q0 = packed_point_at(space, space.edges[2 * static_cast<size_t>(open.first)]);
            const float* q1 = packed_point_at(space, space.edges[2 * static_cast<size_t>(open.first) + 1]);
            for (int lane = 0; lane < 4; ++lane) {
                if (!(open.lanes >> lane & 1)) continue;
                const FirstSegment p = first_of(batch, open.group + lane);
                if (exact_segments_close(p.p0, p.p1, q0, q1, threshold.value)) return Closeness::close;
            }
        }
        return Closeness::apart;
    }
};

}  // namespace

Closeness exact_edges_close(const CellView& a, const VertexBox& bounds_a, const CellView& b,
                            const VertexBox& bounds_b, const ExactThreshold& threshold, float limit,
                            CloseSpace& space) {
    return edges_close_pruned(a, bounds_a, b, bounds_b, limit, space, ExactEdgeVerdict{threshold});
}

}  // namespace cellprox
