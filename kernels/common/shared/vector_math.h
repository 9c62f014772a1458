// The named single-precision helpers over points (a point is the address of three floats x, y,
// z), and the square root every distance is taken with, as each deliverable computes it.
#pragma once

#include <cmath>

#ifdef CELLPROX_APPROXIMATE_SQRT
#include "kernels/common/lanes/root_estimate.h"
#endif

namespace cellprox {

inline void sub_v3(const float* A, const float* B, float* output) {
    output[0] = A[0] - B[0];
    output[1] = A[1] - B[1];
    output[2] = A[2] - B[2];
}

inline void add_v3(const float* A, const float* B, float* output) {
    output[0] = A[0] + B[0];
    output[1] = A[1] + B[1];
    output[2] = A[2] + B[2];
}

inline void mult_v3_f(float* A, float value) {
    A[0] *= value;
    A[1] *= value;
    A[2] *= value;
}

inline float dotprod(const float* A, const float* B) {
    return A[0] * B[0] + A[1] * B[1] + A[2] * B[2];
}

inline float absf(float a) { return a < 0.0f ? -a : a; }

// The square root of every distance. The darwin deliverable approximates it as its toolchain
// did: sqrt(x) = x * rsqrt(x), from the processor's estimate r of 1/sqrt(x) (about 12 bits)
// refined by one Newton step, 0.5 * s * (3 - s * r) with s = x * r. Below the smallest normal
// float the estimate is unreliable, and the result is 0.
#ifdef CELLPROX_APPROXIMATE_SQRT
inline float square_root(float x) {
    if (absf(x) < 1.17549435e-38f) return 0.0f;
    const float r = reciprocal_root_estimate(x);
    const float s = x * r;
    return (s * -0.5f) * (s * r - 3.0f);
}
#else
inline float square_root(float x) { return std::sqrt(x); }
#endif

inline float distance_between(const float* A, const float* B) {
    const float dx = A[0] - B[0];
    const float dy = A[1] - B[1];
    const float dz = A[2] - B[2];
    return square_root(dx * dx + dy * dy + dz * dz);
}

}  // namespace cellprox
