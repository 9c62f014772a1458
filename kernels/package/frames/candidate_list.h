// The tracker's candidate list: every pair of cells whose vertex boxes come within a reach (the
// threshold and a skin) along every axis, sorted, so that frame after frame the pairs to measure
// are read in order and the close ones come out sorted.
#pragma once

#include <cstdint>

#include "kernels/common/shared/plain_buffer.h"
#include "kernels/common/shared/vertex_box.h"
#include "kernels/package/search/close_pairs.h"
#include "platform/loops/work_watch.h"

namespace cellprox {

struct TrackedPair {
    int32_t first;    // first < second, the caller's cell numbers
    int32_t second;
};

inline bool operator<(const TrackedPair& a, const TrackedPair& b) {
    return a.first < b.first || (a.first == b.first && a.second < b.second);
}
inline bool operator==(const TrackedPair& a, const TrackedPair& b) { return a.first == b.first && a.second == b.second; }

// Lists into `pairs` every pair of the `count` boxes within `reach` of each other along every
// axis (boxes_within's rule), sorted by first cell, then second; on up to `workers` threads, the
// same list for any count. `watch` is asked between blocks of cells (done counted from
// `done_before`, of `total`). ok, out_of_memory or stopped.
ProximityStatus list_candidates(const VertexBox* boxes, int32_t count, double reach, int32_t workers,
                                const WorkWatch* watch, int64_t done_before, int64_t total,
                                StreamBuffer<TrackedPair>& pairs);

}  // namespace cellprox
