// Double-precision lane types for the hull rule's searches: `Double2` (two lanes of SSE2, the
// baseline of every deliverable) and its mask `Mask2`. The wider `Double4` (AVX2) lives in
// double_lanes_avx2.h, included only by the one translation unit built for AVX2, so that no
// inline function compiled for AVX2 can stand in for one of these where the processor lacks it.
//
// Both types offer the same free functions under the same names; an algorithm written once as a
// template over them computes every lane with the same operations in the same order, so its
// results do not depend on the width chosen at run time.
#pragma once

#include <emmintrin.h>

#include "kernels/common/lanes/lanes.h"

namespace cellprox {

struct Mask2 {
    __m128d bits;   // all ones in a lane where the mask holds
};

struct Double2 {
    static constexpr int width = 2;
    __m128d v;
};

inline Double2 load(const double* p, Double2) { return Double2{_mm_loadu_pd(p)}; }
inline void store(double* p, Double2 a) { _mm_storeu_pd(p, a.v); }
inline Double2 broadcast(double value, Double2) { return Double2{_mm_set1_pd(value)}; }
// first, first + 1: lane numbers, which count vertices exactly in double.
inline Double2 counting(double first, Double2) { return Double2{_mm_set_pd(first + 1.0, first)}; }

inline Double2 operator+(Double2 a, Double2 b) { return Double2{_mm_add_pd(a.v, b.v)}; }
inline Double2 operator-(Double2 a, Double2 b) { return Double2{_mm_sub_pd(a.v, b.v)}; }
inline Double2 operator*(Double2 a, Double2 b) { return Double2{_mm_mul_pd(a.v, b.v)}; }
inline Double2 min(Double2 a, Double2 b) { return Double2{_mm_min_pd(a.v, b.v)}; }
inline Double2 max(Double2 a, Double2 b) { return Double2{_mm_max_pd(a.v, b.v)}; }

inline Mask2 greater(Double2 a, Double2 b) { return Mask2{_mm_cmpgt_pd(a.v, b.v)}; }
inline Mask2 equal(Double2 a, Double2 b) { return Mask2{_mm_cmpeq_pd(a.v, b.v)}; }
inline Mask2 operator|(Mask2 a, Mask2 b) { return Mask2{_mm_or_pd(a.bits, b.bits)}; }
inline Mask2 operator&(Mask2 a, Mask2 b) { return Mask2{_mm_and_pd(a.bits, b.bits)}; }
// Bit k set where lane k holds.
inline int lanes_set(Mask2 m) { return _mm_movemask_pd(m.bits); }
inline Double2 select(Mask2 mask, Double2 if_true, Double2 if_false) {
    return Double2{_mm_or_pd(_mm_and_pd(mask.bits, if_true.v), _mm_andnot_pd(mask.bits, if_false.v))};
}

// The first two and the last two lanes of four floats, exactly in double.
inline Double2 widen_low(Float4 a) { return Double2{_mm_cvtps_pd(a.v)}; }
inline Double2 widen_high(Float4 a) { return Double2{_mm_cvtps_pd(_mm_movehl_ps(a.v, a.v))}; }

// The lanes exchanged in neighbouring pairs (0 <-> 1), and the first lane's value.
inline Double2 swap_neighbours(Double2 a) { return Double2{_mm_shuffle_pd(a.v, a.v, 1)}; }
inline double first_lane(Double2 a) { return _mm_cvtsd_f64(a.v); }

}  // namespace cellprox
