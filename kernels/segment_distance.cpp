#include "kernels/segment_distance.h"

#include "kernels/tolerance.h"
#include "kernels/vector_math.h"

namespace cellprox {

namespace {

// Once the second segment's parameter is clamped to an end, the first segment's parameter for
// that end: 0, the far end, or numerator / a.
inline void clamp_first_parameter(float numerator, float a, float* sN, float* sD) {
    if (numerator < 0.0f) {
        *sN = 0.0f;
    } else if (numerator > a) {
        *sN = *sD;
    } else {
        *sN = numerator;
        *sD = a;
    }
}

}  // namespace

// Closest points of the two infinite lines, clamped to the segments: s is the parameter on the
// first segment, t on the second, each kept as numerator / denominator until the end so that
// clamping never divides.
float dist3D_Segment_to_Segment(const float* p0, const float* p1, const float* q0,
                                const float* q1) {
    float u[3], v[3], w[3];
    sub_v3(p1, p0, u);
    sub_v3(q1, q0, v);
    sub_v3(p0, q0, w);
    const float a = dotprod(u, u);
    const float b = dotprod(u, v);
    const float c = dotprod(v, v);
    const float d = dotprod(u, w);
    const float e = dotprod(v, w);
    const float D = a * c - b * b;
    float sN, sD = D;
    float tN, tD = D;

    if (D < EPS) {
        // Parallel (or a segment of zero length): start from the first segment's start point;
        // sD = 1 keeps the division below harmless.
        sN = 0.0f;
        sD = 1.0f;
        tN = e;
        tD = c;
    } else {
        sN = b * e - c * d;
        tN = a * e - b * d;
        if (sN < 0.0f) {
            sN = 0.0f;
            tN = e;
            tD = c;
        } else if (sN > sD) {
            sN = sD;
            tN = e + b;
            tD = c;
        }
    }

    if (tN < 0.0f) {
        tN = 0.0f;
        clamp_first_parameter(-d, a, &sN, &sD);
    } else if (tN > tD) {
        tN = tD;
        clamp_first_parameter(-d + b, a, &sN, &sD);
    } else if (q0[0] == q1[0] && q0[1] == q1[1] && q0[2] == q1[2]) {
        // The second segment is a single point, which the parallel branch never projects onto
        // the first segment: do it here, or the distance is measured from p0 instead of from
        // the first segment's nearest point. Segments of non-zero length never come here.
        clamp_first_parameter(-d, a, &sN, &sD);
    }

    // Numerators that are zero or vanishingly small give exactly 0, also over a zero denominator.
    const float sc = absf(sN) < EPS ? 0.0f : sN / sD;
    const float tc = absf(tN) < EPS ? 0.0f : tN / tD;

    float dP[3];
    mult_v3_f(u, sc);
    mult_v3_f(v, tc);
    add_v3(w, u, dP);
    sub_v3(dP, v, dP);
    return square_root(dotprod(dP, dP));
}

}  // namespace cellprox
