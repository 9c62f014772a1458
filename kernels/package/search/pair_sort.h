// Sorting pairs of cells by their first cell, then their second, on a team. The pairs are
// dealt into buckets of consecutive first cells (one counting pass and one scatter, each piece
// of the input on its own), then each bucket is sorted on its own by a least-significant-digit
// radix sort of (first, second): linear, no comparisons, and each bucket small enough to stay
// in cache. Pairs are distinct, so the sorted order is the only one: the pieces, the buckets
// and the threads that run them cannot show in it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels/common/shared/plain_buffer.h"
#include "platform/loops/thread_team.h"

namespace cellprox {

namespace pair_sort_detail {

constexpr size_t PIECE = 65536;         // input pairs to a piece of the counting and the scatter
constexpr int32_t BUCKETS = 256;        // at most, each a run of first cells
constexpr int DIGIT_BITS = 11;

inline int bits_for(uint64_t largest) {
    int bits = 0;
    while (bits < 64 && (largest >> bits) != 0) ++bits;
    return bits;
}

// One bucket's pairs (from .. from + count), sorted by (first - base, second) into `to` or back
// into `from`; returns where they ended.
template <typename Pair>
Pair* radix_sort(Pair* from, Pair* to, size_t count, int32_t base, int key_bits, int second_bits) {
    size_t counts[size_t(1) << DIGIT_BITS];
    for (int shift = 0; shift < key_bits; shift += DIGIT_BITS) {
        const auto digit = [&](const Pair& pair) {
            const uint64_t key = (uint64_t(uint32_t(pair.first - base)) << second_bits) | uint32_t(pair.second);
            return static_cast<size_t>((key >> shift) & ((uint64_t(1) << DIGIT_BITS) - 1));
        };
        std::fill(counts, counts + (size_t(1) << DIGIT_BITS), size_t(0));
        for (size_t k = 0; k < count; ++k) ++counts[digit(from[k])];
        size_t sum = 0;
        for (size_t& c : counts) {
            const size_t here = c;
            c = sum;
            sum += here;
        }
        for (size_t k = 0; k < count; ++k) to[counts[digit(from[k])]++] = from[k];
        std::swap(from, to);
    }
    return from;
}

}  // namespace pair_sort_detail

// Pair is any plain struct with int32_t members `first` and `second` (0 .. cell_count - 1), no
// two pairs alike. Runs on up to `workers` threads. False, with nothing changed, when memory
// runs out.
template <typename Pair, PageAdvice ADVICE>
bool sort_pairs(PlainBuffer<Pair, ADVICE>& pairs, int32_t cell_count, int32_t workers = 1) {
    using namespace pair_sort_detail;
    const size_t m = pairs.size();
    if (m < 2 || cell_count < 1) return true;
    const int32_t width = std::max<int32_t>(1, static_cast<int32_t>((int64_t(cell_count) + BUCKETS - 1) / BUCKETS));
    const int32_t buckets = static_cast<int32_t>((int64_t(cell_count) + width - 1) / width);
    const int32_t pieces = static_cast<int32_t>((m + PIECE - 1) / PIECE);
    PlainBuffer<size_t> places;    // piece p's first place in bucket b: places[p * buckets + b]
    PlainBuffer<size_t> starts;    // bucket b's first place
    PlainBuffer<Pair, ADVICE> dealt;
    if (!places.resize(size_t(pieces) * size_t(buckets)) || !starts.resize(size_t(buckets) + 1) ||
        !dealt.resize(m)) {
        return false;
    }
    Pair* const input = pairs.data();
    auto count = [&](int32_t p) {
        size_t* mine = places.data() + size_t(p) * size_t(buckets);
        std::fill(mine, mine + buckets, size_t(0));
        const size_t last = std::min(m, (size_t(p) + 1) * PIECE);
        for (size_t k = size_t(p) * PIECE; k < last; ++k) ++mine[input[k].first / width];
    };
    for_each_piece(workers, pieces, count);
    size_t sum = 0;
    for (int32_t b = 0; b < buckets; ++b) {
        starts[size_t(b)] = sum;
        for (int32_t p = 0; p < pieces; ++p) {
            size_t& place = places[size_t(p) * size_t(buckets) + size_t(b)];
            const size_t here = place;
            place = sum;
            sum += here;
        }
    }
    starts[size_t(buckets)] = sum;
    auto deal = [&](int32_t p) {
        size_t* mine = places.data() + size_t(p) * size_t(buckets);
        const size_t last = std::min(m, (size_t(p) + 1) * PIECE);
        for (size_t k = size_t(p) * PIECE; k < last; ++k) dealt[mine[input[k].first / width]++] = input[k];
    };
    for_each_piece(workers, pieces, deal);
    const int second_bits = bits_for(uint64_t(cell_count - 1));
    const int key_bits = second_bits + bits_for(uint64_t(width - 1));
    auto sort_bucket = [&](int32_t b) {
        const size_t first = starts[size_t(b)], size = starts[size_t(b) + 1] - first;
        Pair* sorted = radix_sort(dealt.data() + first, input + first, size, b * width, key_bits, second_bits);
        if (sorted != input + first) std::memcpy(input + first, sorted, size * sizeof(Pair));
    };
    for_each_piece(workers, buckets, sort_bucket);
    return true;
}

}  // namespace cellprox
