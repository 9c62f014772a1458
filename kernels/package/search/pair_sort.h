// Sorting pairs of cells by their first cell, then their second: two stable counting passes,
// by the second cell and then by the first (linear, no comparisons: the pairs' order within a
// cell's run would otherwise cost a short sort per cell, each branching at random).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels/common/shared/plain_buffer.h"

namespace cellprox {

namespace pair_sort_detail {

// Moves `from` into `to` in the order of each pair's cell `Pair::*cell`, keeping the order of
// pairs of one cell. `offsets` has cell_count + 1 entries.
template <typename Pair>
void scatter_by(const Pair* from, Pair* to, size_t count, int32_t Pair::*cell, size_t* offsets,
                int32_t cell_count) {
    std::fill(offsets, offsets + static_cast<size_t>(cell_count) + 1, size_t(0));
    for (size_t k = 0; k < count; ++k) ++offsets[static_cast<size_t>(from[k].*cell) + 1];
    for (size_t i = 1; i <= static_cast<size_t>(cell_count); ++i) offsets[i] += offsets[i - 1];
    for (size_t k = 0; k < count; ++k) to[offsets[static_cast<size_t>(from[k].*cell)]++] = from[k];
}

}  // namespace pair_sort_detail

// Pair is any plain struct with int32_t members `first` and `second` (0 .. cell_count - 1).
// False, with nothing changed, when memory runs out.
template <typename Pair>
bool sort_pairs(PlainBuffer<Pair>& pairs, int32_t cell_count) {
    PlainBuffer<size_t> offsets;
    PlainBuffer<Pair> by_second;
    if (!offsets.resize(static_cast<size_t>(cell_count) + 1) || !by_second.resize(pairs.size())) return false;
    pair_sort_detail::scatter_by(pairs.data(), by_second.data(), pairs.size(), &Pair::second, offsets.data(),
                                 cell_count);
    pair_sort_detail::scatter_by(by_second.data(), pairs.data(), pairs.size(), &Pair::first, offsets.data(),
                                 cell_count);
    return true;
}

}  // namespace cellprox
