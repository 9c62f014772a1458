// `Double4`, four double lanes of AVX2, with the free functions of `Double2` (double_lanes.h).
// Include it only from a translation unit compiled for AVX2 and called after the processor has
// been asked (platform/cpu_features.h): its inline functions must not be shared with code that
// runs anywhere.
#pragma once

#include <immintrin.h>

namespace cellprox {

struct Mask4d {
    __m256d bits;
};

struct Double4 {
    static constexpr int width = 4;
    __m256d v;
};

inline Double4 load(const double* p, Double4) { return Double4{_mm256_loadu_pd(p)}; }
inline void store(double* p, Double4 a) { _mm256_storeu_pd(p, a.v); }
inline Double4 broadcast(double value, Double4) { return Double4{_mm256_set1_pd(value)}; }
inline Double4 counting(double first, Double4) {
    return Double4{_mm256_set_pd(first + 3.0, first + 2.0, first + 1.0, first)};
}

inline Double4 operator+(Double4 a, Double4 b) { return Double4{_mm256_add_pd(a.v, b.v)}; }
inline Double4 operator-(Double4 a, Double4 b) { return Double4{_mm256_sub_pd(a.v, b.v)}; }
inline Double4 operator*(Double4 a, Double4 b) { return Double4{_mm256_mul_pd(a.v, b.v)}; }
inline Double4 min(Double4 a, Double4 b) { return Double4{_mm256_min_pd(a.v, b.v)}; }
inline Double4 max(Double4 a, Double4 b) { return Double4{_mm256_max_pd(a.v, b.v)}; }

inline Mask4d greater(Double4 a, Double4 b) { return Mask4d{_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
inline Mask4d equal(Double4 a, Double4 b) { return Mask4d{_mm256_cmp_pd(a.v, b.v, _CMP_EQ_OQ)}; }
inline Mask4d operator|(Mask4d a, Mask4d b) { return Mask4d{_mm256_or_pd(a.bits, b.bits)}; }
inline Mask4d operator&(Mask4d a, Mask4d b) { return Mask4d{_mm256_and_pd(a.bits, b.bits)}; }
inline Double4 select(Mask4d mask, Double4 if_true, Double4 if_false) {
    return Double4{_mm256_blendv_pd(if_false.v, if_true.v, mask.bits)};
}

// The lanes exchanged in neighbouring pairs (0 <-> 1, 2 <-> 3), the two halves exchanged
// (0 1 <-> 2 3), and the first lane's value.
inline Double4 swap_neighbours(Double4 a) { return Double4{_mm256_permute_pd(a.v, 0x5)}; }
inline Double4 swap_halves(Double4 a) { return Double4{_mm256_permute2f128_pd(a.v, a.v, 0x01)}; }
inline double first_lane(Double4 a) { return _mm_cvtsd_f64(_mm256_castpd256_pd128(a.v)); }

}  // namespace cellprox
