// Sorting the few dozen cells a row collects. Their order is unpredictable, so a comparison sort
// spends most of its time on mispredicted branches; ranking every number against all the
// others, four at a time, has no branch to mispredict.
#pragma once

#include <cstdint>

#include "kernels/common/lanes/int_lanes.h"

namespace cellprox {

// Numbers `in` may hold beyond `count` when ranked: up to the next multiple of 4.
constexpr int32_t RANK_SORT_PADDING = 3;

// Writes the `count` distinct numbers of `in` (all below INT32_MAX) to `out` in ascending
// order: each goes to the place given by how many are smaller. Quadratic: for a few dozen.
inline void rank_sort_distinct(int32_t* in, int32_t count, int32_t* out) {
    const int32_t padded = (count + 3) / 4 * 4;
    for (int32_t k = count; k < padded; ++k) in[k] = INT32_MAX;  // smaller than none
    for (int32_t k = 0; k < count; ++k) {
        const Int4 value = Int4::all(in[k]);
        Int4 smaller = Int4::all(0);
        for (int32_t l = 0; l < padded; l += 4) smaller = count_where(smaller, less(Int4::load(in + l), value));
        out[lane_sum(smaller)] = in[k];
    }
}

}  // namespace cellprox
