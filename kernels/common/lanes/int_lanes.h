// `Int4`, four int32 lanes of SSE2, for the broad phase's cell numbers: comparisons give the
// `Mask4` of lanes.h, so float and integer tests combine in one mask; counting lanes, a lane sum,
// and storing the lanes a mask selects first (left packing).
#pragma once

#include <cstdint>
#include <emmintrin.h>
#ifdef __SSSE3__
#include <tmmintrin.h>
#endif

#include "kernels/common/lanes/lanes.h"

namespace cellprox {

struct Int4 {
    __m128i v;
    static Int4 load(const int32_t* p) { return Int4{_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))}; }
    static Int4 all(int32_t value) { return Int4{_mm_set1_epi32(value)}; }
    // 0, 1, 2, 3: each lane's own number.
    static Int4 lane_numbers() { return Int4{_mm_setr_epi32(0, 1, 2, 3)}; }
};

inline Int4 operator+(Int4 a, Int4 b) { return Int4{_mm_add_epi32(a.v, b.v)}; }

inline Mask4 less(Int4 a, Int4 b) { return Mask4{_mm_castsi128_ps(_mm_cmplt_epi32(a.v, b.v))}; }
inline Mask4 greater(Int4 a, Int4 b) { return Mask4{_mm_castsi128_ps(_mm_cmpgt_epi32(a.v, b.v))}; }
inline Mask4 equal(Int4 a, Int4 b) { return Mask4{_mm_castsi128_ps(_mm_cmpeq_epi32(a.v, b.v))}; }

// `counts` plus one in the lanes where the mask holds (a mask lane is -1 there).
inline Int4 count_where(Int4 counts, Mask4 m) { return Int4{_mm_sub_epi32(counts.v, _mm_castps_si128(m.bits))}; }

// The sum of the four lanes.
inline int32_t lane_sum(Int4 a) {
    __m128i sum = _mm_add_epi32(a.v, _mm_shuffle_epi32(a.v, 0x4E));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xB1));
    return _mm_cvtsi128_si32(sum);
}

// For each mask of four lanes (bit k: lane k): the lanes that hold, in order, then the others;
// and how many hold.
struct SetLanes {
    uint8_t lane[4];
    int32_t count;
};
constexpr SetLanes SET_LANES[16] = {
    {{0, 1, 2, 3}, 0}, {{0, 1, 2, 3}, 1}, {{1, 0, 2, 3}, 1}, {{0, 1, 2, 3}, 2},
    {{2, 0, 1, 3}, 1}, {{0, 2, 1, 3}, 2}, {{1, 2, 0, 3}, 2}, {{0, 1, 2, 3}, 3},
    {{3, 0, 1, 2}, 1}, {{0, 3, 1, 2}, 2}, {{1, 3, 0, 2}, 2}, {{0, 1, 3, 2}, 3},
    {{2, 3, 0, 1}, 2}, {{0, 2, 3, 1}, 3}, {{1, 2, 3, 0}, 3}, {{0, 1, 2, 3}, 4},
};

#ifdef __SSSE3__
// The orders of SET_LANES as byte shuffles of four 32-bit lanes: one shuffle stores the four
// lanes where a plain SSE2 build stores them one by one.
struct ByteOrder {
    alignas(16) uint8_t byte[16];
};
constexpr ByteOrder byte_order(int bits) {
    ByteOrder order{};
    for (int k = 0; k < 16; ++k) order.byte[k] = uint8_t(4 * SET_LANES[bits].lane[k / 4] + k % 4);
    return order;
}
constexpr ByteOrder SET_LANE_BYTES[16] = {
    byte_order(0),  byte_order(1),  byte_order(2),  byte_order(3),  byte_order(4),  byte_order(5),
    byte_order(6),  byte_order(7),  byte_order(8),  byte_order(9),  byte_order(10), byte_order(11),
    byte_order(12), byte_order(13), byte_order(14), byte_order(15),
};
#endif

// Writes all four lanes of `values` to out[0..3], those of mask `bits` first, in order, and
// returns how many those are: the caller advances by that count, with no branch on the mask.
inline int32_t store_set_lanes_first(int32_t* out, Int4 values, int bits) {
#ifdef __SSSE3__
    const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(SET_LANE_BYTES[bits].byte));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(values.v, order));
#else
    alignas(16) int32_t lane[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lane), values.v);
    for (int k = 0; k < 4; ++k) out[k] = lane[SET_LANES[bits].lane[k]];
#endif
    return SET_LANES[bits].count;
}

}  // namespace cellprox
