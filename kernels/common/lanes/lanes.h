// The lane types the narrow phase's arithmetic is written over: plain `float` (one lane, its
// masks `bool`) and `Float4` (four lanes of SSE, its masks `Mask4`). An algorithm written once
// as a template over them computes, lane by lane, the same operations in the same order as the
// scalar instantiation, so the two cannot drift apart; every branch is a `select`. With
// int_lanes.h, double_lanes.h and double_lanes_avx2.h these are the kernels' only SIMD code: the
// folder below every other kernel folder, with the one prefetch helper.
#pragma once

#include <cmath>
#include <cstdint>
#include <emmintrin.h>
#include <xmmintrin.h>

namespace cellprox {

// ---- One lane: float (or double, for the same steps in double precision) and bool.

inline bool less(float a, float b) { return a < b; }
inline bool greater(float a, float b) { return a > b; }
inline bool and_not(bool a, bool b) { return !a && b; }
inline float select(bool mask, float if_true, float if_false) { return mask ? if_true : if_false; }
inline float magnitude(float a) { return a < 0.0f ? -a : a; }   // as absf (vector_math.h)
inline bool any(bool mask) { return mask; }
template <class F> inline F broadcast(float value);
template <> inline float broadcast<float>(float value) { return value; }

inline bool less(double a, double b) { return a < b; }
inline bool greater(double a, double b) { return a > b; }
inline double select(bool mask, double if_true, double if_false) { return mask ? if_true : if_false; }
inline double magnitude(double a) { return a < 0.0 ? -a : a; }
template <> inline double broadcast<double>(float value) { return value; }
inline double square_root(double x) { return std::sqrt(x); }

// ---- Four lanes: SSE.

struct Mask4 {
    __m128 bits;  // all ones in a lane where the mask holds
};

struct Float4 {
    __m128 v;
    static Float4 load(const float* p) { return Float4{_mm_loadu_ps(p)}; }
    void store(float* p) const { _mm_storeu_ps(p, v); }
};

// Lanes 0 to 3 given one by one.
inline Float4 lanes4(float lane0, float lane1, float lane2, float lane3) {
    return Float4{_mm_set_ps(lane3, lane2, lane1, lane0)};
}

template <> inline Float4 broadcast<Float4>(float value) { return Float4{_mm_set1_ps(value)}; }

inline Float4 operator+(Float4 a, Float4 b) { return Float4{_mm_add_ps(a.v, b.v)}; }
inline Float4 operator-(Float4 a, Float4 b) { return Float4{_mm_sub_ps(a.v, b.v)}; }
inline Float4 operator*(Float4 a, Float4 b) { return Float4{_mm_mul_ps(a.v, b.v)}; }
inline Float4 operator/(Float4 a, Float4 b) { return Float4{_mm_div_ps(a.v, b.v)}; }
inline Float4 operator-(Float4 a) { return Float4{_mm_xor_ps(a.v, _mm_set1_ps(-0.0f))}; }

inline Mask4 less(Float4 a, Float4 b) { return Mask4{_mm_cmplt_ps(a.v, b.v)}; }
inline Mask4 greater(Float4 a, Float4 b) { return Mask4{_mm_cmpgt_ps(a.v, b.v)}; }
inline Mask4 operator|(Mask4 a, Mask4 b) { return Mask4{_mm_or_ps(a.bits, b.bits)}; }
inline Mask4 operator&(Mask4 a, Mask4 b) { return Mask4{_mm_and_ps(a.bits, b.bits)}; }
inline Mask4 and_not(Mask4 a, Mask4 b) { return Mask4{_mm_andnot_ps(a.bits, b.bits)}; }
// Where the mask does not hold: with a comparison, also the lanes where it was unordered (NaN).
inline Mask4 operator!(Mask4 a) { return Mask4{_mm_xor_ps(a.bits, _mm_castsi128_ps(_mm_set1_epi32(-1)))}; }
inline Mask4 mask4(bool holds) {
    return Mask4{holds ? _mm_castsi128_ps(_mm_set1_epi32(-1)) : _mm_setzero_ps()};
}
// Bit k set where lane k holds.
inline int lanes_set(Mask4 m) { return _mm_movemask_ps(m.bits); }
inline bool any(Mask4 m) { return lanes_set(m) != 0; }

// Four points stored x, y, z one after another (12 floats from p), as one lane type per axis.
inline void load_points(const float* p, Float4& x, Float4& y, Float4& z) {
    const __m128 a = _mm_loadu_ps(p);        // x0 y0 z0 x1
    const __m128 b = _mm_loadu_ps(p + 4);    // y1 z1 x2 y2
    const __m128 c = _mm_loadu_ps(p + 8);    // z2 x3 y3 z3
    const __m128 x01_y01 = _mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 3, 0));   // x0 x1 y1 y1
    const __m128 x23_y23 = _mm_shuffle_ps(b, c, _MM_SHUFFLE(2, 1, 3, 2));   // x2 y2 x3 y3
    x.v = _mm_shuffle_ps(x01_y01, x23_y23, _MM_SHUFFLE(2, 0, 1, 0));        // x0 x1 x2 x3
    const __m128 y0_z0 = _mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 0, 2, 1));     // y0 z0 y1 z1
    y.v = _mm_shuffle_ps(y0_z0, x23_y23, _MM_SHUFFLE(3, 1, 2, 0));          // y0 y1 y2 y3
    const __m128 z01 = _mm_shuffle_ps(y0_z0, y0_z0, _MM_SHUFFLE(3, 3, 3, 1));   // z0 z1 . .
    const __m128 z23 = _mm_shuffle_ps(c, c, _MM_SHUFFLE(3, 3, 3, 0));       // z2 z3 . .
    z.v = _mm_movelh_ps(z01, z23);                                          // z0 z1 z2 z3
}

inline Float4 select(Mask4 mask, Float4 if_true, Float4 if_false) {
    return Float4{_mm_or_ps(_mm_and_ps(mask.bits, if_true.v), _mm_andnot_ps(mask.bits, if_false.v))};
}

// Lane by lane minimum and maximum; where a lane of `a` is NaN, the lane of `b`.
inline Float4 minimum(Float4 a, Float4 b) { return Float4{_mm_min_ps(a.v, b.v)}; }
inline Float4 maximum(Float4 a, Float4 b) { return Float4{_mm_max_ps(a.v, b.v)}; }

// The sign bit cleared: for -0.0 this gives +0.0 where absf keeps -0.0; both compare alike.
inline Float4 magnitude(Float4 a) { return Float4{_mm_andnot_ps(_mm_set1_ps(-0.0f), a.v)}; }

// square_root lane by lane, as the deliverable computes it (see vector_math.h).
inline Float4 square_root(Float4 s) {
#ifdef CELLPROX_APPROXIMATE_SQRT
    const __m128 r = _mm_rsqrt_ps(s.v);
    const __m128 sr = _mm_mul_ps(s.v, r);
    const __m128 refined = _mm_mul_ps(_mm_mul_ps(sr, _mm_set1_ps(-0.5f)),
                                      _mm_sub_ps(_mm_mul_ps(sr, r), _mm_set1_ps(3.0f)));
    const __m128 tiny = _mm_cmplt_ps(magnitude(s).v, _mm_set1_ps(1.17549435e-38f));
    return Float4{_mm_andnot_ps(tiny, refined)};
#else
    return Float4{_mm_sqrt_ps(s.v)};
#endif
}

// ---- Memory.

// Asks for the cache line holding `address`, for a read soon.
inline void prefetch_line(const void* address) { _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0); }

// ---- Points over either lane type.

template <class F>
inline F dot(const F* A, const F* B) {
    return A[0] * B[0] + A[1] * B[1] + A[2] * B[2];
}

}  // namespace cellprox
