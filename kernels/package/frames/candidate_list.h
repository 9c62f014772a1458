// The tracker's candidate list: every pair of cells whose vertex boxes come within a reach (the
// threshold and a skin) along every axis, sorted, so that frame after frame the pairs to measure
// are read in order and the close ones come out sorted.
#pragma once

#include <cstdint>

#include "kernels/common/shared/plain_buffer.h"
#include "kernels/common/shared/vertex_box.h"
#include "kernels/package/search/box_tree.h"
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

// Lists into `pairs` every pair of the tree's `count` boxes within `reach` of each other along
// every axis (boxes_within's rule), sorted by first cell, then second; on up to `workers`
// threads, the same list for any count. `watch` is asked between blocks of cells (done counted
// from `done_before`, of `total`). ok, out_of_memory or stopped.
ProximityStatus list_candidates(const BoxTree& tree, int32_t count, double reach, int32_t workers,
                                const WorkWatch* watch, int64_t done_before, int64_t total,
                                StreamBuffer<TrackedPair>& pairs);

// A list made again for a few cells only: the cells that escaped (their boxes moved too far from
// their reference boxes) take their boxes now as their references and are listed anew against
// every other cell's reference; every other pair stays as it was. The tree holds the reference
// boxes of the frame it was built in; the cells renewed since (escaping ones included) are
// looked at one by one.
struct Relisting {
    const BoxTree* tree;
    const VertexBox* reference;      // per cell, the escaping cells' renewed already
    const uint8_t* renewed;          // per cell: 1 when its reference is not its box in the tree
    const int32_t* renewed_cells;    // those cells
    size_t renewed_count;
    const uint8_t* escaping;         // per cell: 1 for the cells listed anew now
    const int32_t* escaped;          // those cells
    size_t escaped_count;
    double reach;
};

// `list` as `old` with the escaping cells' pairs listed anew, sorted. ok or out_of_memory.
ProximityStatus relist_pairs(const Relisting& relisting, const StreamBuffer<TrackedPair>& old,
                             StreamBuffer<TrackedPair>& list);

}  // namespace cellprox
