// Shortest distance between two line segments in 3-D, in single precision, written once over a
// lane type (kernels/common/lanes/lanes.h): the scalar function and the four-lane edge test are the same steps.
#pragma once

#include "kernels/common/lanes/lanes.h"
#include "kernels/common/shared/tolerance.h"
#include "kernels/common/shared/vector_math.h"

namespace cellprox {

// Distance between segment p0-p1 and segment q0-q1 (each point: three floats). Never negative.
float dist3D_Segment_to_Segment(const float* p0, const float* p1, const float* q0,
                                const float* q1);

// The second segment q0-q1, prepared once for many first segments: its start, its direction
// v = q1 - q0, c = v.v, and whether it is a single point. F is float, or double for the same
// steps in double precision.
template <class F>
struct SecondSegment {
    F q0[3];
    F v[3];
    F c;
    decltype(less(F(), F())) is_point;
};

template <class F = float>
inline SecondSegment<F> second_segment(const float* q0, const float* q1) {
    SecondSegment<F> q;
    for (int k = 0; k < 3; ++k) {
        q.q0[k] = F(q0[k]);
        q.v[k] = F(q1[k]) - F(q0[k]);
    }
    q.c = dot(q.v, q.v);
    q.is_point = q0[0] == q1[0] && q0[1] == q1[1] && q0[2] == q1[2];
    return q;
}

inline SecondSegment<Float4> broadcast(const SecondSegment<float>& q) {
    SecondSegment<Float4> wide;
    for (int k = 0; k < 3; ++k) {
        wide.q0[k] = broadcast<Float4>(q.q0[k]);
        wide.v[k] = broadcast<Float4>(q.v[k]);
    }
    wide.c = broadcast<Float4>(q.c);
    wide.is_point = mask4(q.is_point);
    return wide;
}

namespace segment_steps {

// Once the second segment's parameter is clamped to an end (or the second segment is a point),
// the first segment's parameter for it, where `mask` holds: 0, the far end, or numerator / a.
template <class F, class M>
inline void clamp_first_parameter(M mask, F numerator, F a, F* sN, F* sD) {
    if (!any(mask)) return;
    const F zero = broadcast<F>(0.0f);
    const M below = less(numerator, zero);
    const M beyond = and_not(below, greater(numerator, a));
    const M inside = and_not(below | beyond, mask);
    *sN = select(mask & below, zero, *sN);
    *sN = select(mask & beyond, *sD, *sN);
    *sN = select(inside, numerator, *sN);
    *sD = select(inside, a, *sD);
}

}  // namespace segment_steps

// How the steps tell a parallel pair from a skew one, and a parameter from zero. The raw kernels
// compare D and the numerators with a fixed `eps` (their contract, whatever the segments'
// size); the package compares them with the quantities they are measured against.
template <class F>
struct FixedTolerance {
    F eps;
    auto parallel(F D, F, F) const { return less(D, eps); }
    auto negligible(F numerator, F) const { return less(magnitude(numerator), eps); }
};

// D and the numerators grow as the fourth power of the segments' length, so a fixed tolerance
// takes short segments for parallel and zeroes their parameters. Measured against a * c and
// against the denominator instead, every comparison sees homogeneous quantities: the steps
// decide a scene scaled by a power of two as they decide the scene itself. `<=` so that a
// segment of zero length (a * c = 0, D = 0) is parallel and 0 / 0 gives 0.
template <class F>
struct RelativeTolerance {
    F tiny;
    auto parallel(F D, F a, F c) const { return !greater(D, tiny * (a * c)); }
    auto negligible(F numerator, F denominator) const {
        return !greater(magnitude(numerator), tiny * denominator);
    }
};

// What the steps leave besides the offset: the products whose difference D tells how far from
// parallel the two segments are (D = a * c - b * b), for callers that bound its rounding.
template <class F>
struct SegmentShape {
    F a, b, c, D;
};

// The offset dP between the chosen points of each lane's first segment p0-p1 and of the second
// segment. Closest points of the two infinite lines, clamped to the segments: s is the parameter
// on the first segment, t on the second, each kept as numerator / denominator until the end so
// that clamping never divides. `tolerance` is FixedTolerance or RelativeTolerance.
template <class F, class Tolerance>
inline void segment_offset(const F* p0, const F* p1, const SecondSegment<F>& q, const Tolerance& tolerance,
                           F* dP, SegmentShape<F>* shape = nullptr) {
    using segment_steps::clamp_first_parameter;
    const F zero = broadcast<F>(0.0f);
    F u[3], w[3];
    for (int k = 0; k < 3; ++k) {
        u[k] = p1[k] - p0[k];
        w[k] = p0[k] - q.q0[k];
    }
    const F* v = q.v;
    const F a = dot(u, u);
    const F b = dot(u, v);
    const F c = q.c;
    const F d = dot(u, w);
    const F e = dot(v, w);
    const F D = a * c - b * b;

    // Parallel (or a segment of zero length): start from the first segment's start point;
    // sD = 1 keeps the division below harmless. Otherwise the lines' closest points, with the
    // first segment's parameter clamped to its start or its end.
    const auto parallel = tolerance.parallel(D, a, c);
    F sN = select(parallel, zero, b * e - c * d);
    F tN = select(parallel, e, a * e - b * d);
    F sD = select(parallel, broadcast<F>(1.0f), D);
    F tD = select(parallel, c, D);
    const auto start = and_not(parallel, less(sN, zero));
    const auto end = and_not(parallel | start, greater(sN, sD));
    sN = select(start, zero, select(end, sD, sN));
    tN = select(start, e, select(end, e + b, tN));
    tD = select(start | end, c, tD);

    // The second segment's parameter clamped to its ends, and the first one's recomputed for
    // that end. A second segment that is a single point is never projected onto the first by
    // the parallel branch: that happens here, or the distance would be measured from p0 instead
    // of from the first segment's nearest point. Segments of non-zero length are not affected.
    const F minus_d = -d;
    const auto before = less(tN, zero);
    const auto after = and_not(before, greater(tN, tD));
    const auto neither = and_not(before | after, q.is_point);
    tN = select(before, zero, select(after, tD, tN));
    clamp_first_parameter(before | neither, minus_d, a, &sN, &sD);
    clamp_first_parameter(after, minus_d + b, a, &sN, &sD);

    // Numerators that are zero or vanishingly small give exactly 0, also over a zero denominator.
    const F sc = select(tolerance.negligible(sN, sD), zero, sN / sD);
    const F tc = select(tolerance.negligible(tN, tD), zero, tN / tD);

    for (int k = 0; k < 3; ++k) dP[k] = (w[k] + u[k] * sc) - v[k] * tc;
    if (shape != nullptr) *shape = SegmentShape<F>{a, b, c, D};
}

// The distance of each lane's first segment p0-p1 to the second segment.
template <class F>
inline F segment_distance(const F* p0, const F* p1, const SecondSegment<F>& q) {
    F dP[3];
    segment_offset(p0, p1, q, FixedTolerance<F>{broadcast<F>(EPS)}, dP);
    return square_root(dot(dP, dP));
}

}  // namespace cellprox
