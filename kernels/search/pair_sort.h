// Sorting pairs of cells by their first cell, then their second: a counting pass over the first
// cells (linear), then each cell's short run sorted. std::sort allocates nothing, so the modules
// stay free of the newer C++ runtime that a buffered sort would tie them to.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels/shared/plain_buffer.h"

namespace cellprox {

// Pair is any plain struct with int32_t members `first` (0 .. cell_count - 1) and `second`.
// False, with nothing changed, when memory runs out.
template <typename Pair>
bool sort_pairs(PlainBuffer<Pair>& pairs, int32_t cell_count) {
    PlainBuffer<size_t> offsets;
    PlainBuffer<Pair> sorted;
    if (!offsets.resize(static_cast<size_t>(cell_count) + 1) || !sorted.resize(pairs.size())) return false;
    std::fill(offsets.data(), offsets.data() + offsets.size(), size_t(0));
    for (size_t k = 0; k < pairs.size(); ++k) ++offsets[static_cast<size_t>(pairs[k].first) + 1];
    for (size_t i = 1; i < offsets.size(); ++i) offsets[i] += offsets[i - 1];
    for (size_t k = 0; k < pairs.size(); ++k) sorted[offsets[static_cast<size_t>(pairs[k].first)]++] = pairs[k];
    size_t start = 0;
    for (size_t i = 0; i < static_cast<size_t>(cell_count); ++i) {
        const size_t end = offsets[i];   // each offset has moved on to the start of the next run
        std::sort(sorted.data() + start, sorted.data() + end,
                  [](const Pair& a, const Pair& b) { return a.second < b.second; });
        start = end;
    }
    if (!pairs.empty()) std::memcpy(pairs.data(), sorted.data(), pairs.size() * sizeof(Pair));
    return true;
}

}  // namespace cellprox
