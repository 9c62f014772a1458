// The edge test of the exact rule: b's edges near a's bounds as columns, each of a's edges near
// b's bounds measured against them four at a time in float, and what the float pass cannot
// decide measured again in double.
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

#include "kernels/distance/segment_batch.h"
#include "kernels/distance/segment_distance.h"
#include "kernels/exact/exact_packing.h"
#include "kernels/lanes/lanes.h"

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
    segment_offset(p0, p1, q, RelativeTolerance<Float4>{broadcast<Float4>(kFloatSegmentTiny)}, dP, &shape);
    Float4 w[3], w1[3], u[3];
    for (int k = 0; k < 3; ++k) {
        w[k] = p0[k] - q.q0[k];
        w1[k] = p1[k] - q.q0[k];
        u[k] = p1[k] - p0[k];
    }
    const Float4 room = broadcast<Float4>(float(kFastPassRoom));
    const Float4 one = broadcast<Float4>(1.0f);
    const Float4 length = square_root(dot(dP, dP));
    const Float4 spread = abs_sum(w) + abs_sum(u) + abs_sum(q.v);
    // Far from parallel: D holds well above its own rounding (a few units of 2^-24 of a*c + b*b),
    // so the double steps take the same branch and land on the closest points. That bound holds
    // while a, c and D are far above the subnormal floats, whose absolute steps of 2^-149 it
    // does not cover; below them (segments shorter than about 2^-50, or pairs shorter than about
    // 2^-25 or nearly parallel) the double steps decide: the limits only cost time there.
    const Float4 normal = broadcast<Float4>(0x1p-100f);
    const Mask4 conditioned =
        greater(shape.D, (shape.a * shape.c + shape.b * shape.b) * broadcast<Float4>(0x1p-19f) + normal) &
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
                            broadcast<Float4>(0x1p-120f);
    const Float4 reach = broadcast<Float4>(threshold.above) + spread * broadcast<Float4>(0x1p-40f);
    const Mask4 far = greater(separation - rounding, length * (one + room) * reach);
    return {0, lanes_set(!(close | far | apart))};
}

// The pairs the float pass left undecided, each measured in double.
bool undecided_edges_close(const ExactSpace& space, const float* const* column, double threshold) {
    for (size_t k = 0; k < space.undecided.size(); ++k) {
        const UndecidedLanes& open = space.undecided[k];
        const float* q0 = space.points.data() + 4 * space.edges[2 * static_cast<size_t>(open.first)];
        const float* q1 = space.points.data() + 4 * space.edges[2 * static_cast<size_t>(open.first) + 1];
        for (int lane = 0; lane < 4; ++lane) {
            if (!(open.lanes >> lane & 1)) continue;
            const int32_t j = open.group + lane;
            const float p0[3] = {column[P0][j], column[P0 + 1][j], column[P0 + 2][j]};
            const float p1[3] = {column[P1][j], column[P1 + 1][j], column[P1 + 2][j]};
            if (exact_segment_distance(p0, p1, q0, q1) < threshold) return true;
        }
    }
    return false;
}

// b's valid edges near a's bounds, packed as columns. Returns how many, or -1 when memory runs out.
int32_t pack_neighbor_edges(const ExactCell& b, const WideBox& box_a, ExactSpace& space, float** column) {
    const int32_t room = padded(b.e_count);
    if (!space.codes.resize(static_cast<size_t>(b.v_count)) ||
        !space.columns.resize(EDGE_COLUMNS * static_cast<size_t>(room))) {
        return -1;
    }
    for (int c = 0; c < EDGE_COLUMNS; ++c) column[c] = space.columns.data() + c * static_cast<ptrdiff_t>(room);
    for (int32_t j = 0; j < b.v_count; ++j) {
        space.codes[static_cast<size_t>(j)] = static_cast<uint8_t>(outcode(point_lanes(b.vertices + 3 * j), box_a));
    }
    // The surviving edges' numbers first (without a branch: which survive is as good as
    // unpredictable), then only those packed.
    if (!space.near.resize(static_cast<size_t>(b.e_count))) return -1;
    int32_t* survivors = space.near.data();
    int32_t kept = 0;
    for (int32_t j = 0; j < b.e_count; ++j) {
        const int32_t first = b.edges[2 * j], second = b.edges[2 * j + 1];
        if (!valid_edge(b, first, second)) continue;   // rare: well predicted
        survivors[kept] = j;
        // An edge whose ends lie beyond a's bounds on one side is farther than the limit.
        kept += (space.codes[static_cast<size_t>(first)] & space.codes[static_cast<size_t>(second)]) == 0;
    }
    for (int32_t n = 0; n < kept; ++n) {
        const int32_t* edge = b.edges + 2 * survivors[n];
        put_segment(column, n, b.vertices + 3 * edge[0], b.vertices + 3 * edge[1]);
    }
    return kept;
}

}  // namespace

Closeness exact_edges_close(const ExactCell& a, const SearchBox& bounds_a, const ExactCell& b,
                            const SearchBox& bounds_b, const ExactThreshold& threshold, float limit,
                            ExactSpace& space) {
    if (a.e_count == 0 || b.e_count == 0) return Closeness::apart;
    if (!pack_points(a, space) || !pack_edges(a, space)) return Closeness::out_of_memory;
    if (space.edge_count == 0) return Closeness::apart;
    float* column[EDGE_COLUMNS];
    const int32_t kept = pack_neighbor_edges(b, widened(bounds_a, limit), space, column);
    if (kept < 0) return Closeness::out_of_memory;
    if (kept == 0) return Closeness::apart;
    const SegmentBatch batch = padded_batch(column, kept);

    // a's edges near b's bounds, each against the columns.
    const WideBox box_b = widened(bounds_b, limit);
    if (!space.codes.resize(static_cast<size_t>(a.v_count))) return Closeness::out_of_memory;
    for (int32_t i = 0; i < a.v_count; ++i) space.codes[static_cast<size_t>(i)] = static_cast<uint8_t>(outcode(packed_point(space, i), box_b));
    space.undecided.clear();
    const Float4 cull = broadcast<Float4>(limit);
    for (int32_t i = 0; i < space.edge_count; ++i) {
        const int32_t first = space.edges[2 * static_cast<size_t>(i)], second = space.edges[2 * static_cast<size_t>(i) + 1];
        if ((space.codes[static_cast<size_t>(first)] & space.codes[static_cast<size_t>(second)]) != 0) continue;
        const float* q0 = space.points.data() + 4 * first;
        const float* q1 = space.points.data() + 4 * second;
        if (!threshold.fast) {
            for (int32_t j = 0; j < kept; ++j) {
                const float p0[3] = {column[P0][j], column[P0 + 1][j], column[P0 + 2][j]};
                const float p1[3] = {column[P1][j], column[P1 + 1][j], column[P1 + 2][j]};
                if (exact_segment_distance(p0, p1, q0, q1) < threshold.value) return Closeness::close;
            }
            continue;
        }
        const SecondSegment<Float4> q = broadcast(second_segment(q0, q1));
        Float4 q_lo[3], q_hi[3];
        for (int k = 0; k < 3; ++k) {
            q_lo[k] = broadcast<Float4>(q0[k] < q1[k] ? q0[k] : q1[k]);
            q_hi[k] = broadcast<Float4>(q0[k] > q1[k] ? q0[k] : q1[k]);
        }
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
    }
    return undecided_edges_close(space, column, threshold.value) ? Closeness::close : Closeness::apart;
}

}  // namespace cellprox
