// Owns the hull rule's measuring of a candidate pair for the package's search: the slabs' verdict
// first, then the distance search started along the line between the boxes' centres, and the
// gap it reports kept above the bounds whose verdicts left other pairs out.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "kernels/package/hull/hull_distance.h"
#include "kernels/package/hull/hull_slabs.h"
#include "kernels/common/shared/plain_buffer.h"
#include "kernels/common/shared/vertex_box.h"

namespace cellprox {

// What the hull rule reads of the scene, per cell at each position of the search's order, and
// the thread's own workspace. A plain struct: each thread copies the search's and points `work`
// at a workspace of its own.
struct HullMeasurer {
    const DiagonalSlabs* slabs = nullptr;   // each cell's diagonal slabs
    double slab_reach = 0.0;                // slab_reach(threshold)
    // Whether it shares a vertex with any other cell (vertex_sharing.h); null: a pair looks for
    // a shared vertex when its boxes meet (two cells can only share a vertex then).
    const uint8_t* sharing = nullptr;
    const VertexBox* boxes = nullptr;       // its vertex box
    const int32_t* order = nullptr;         // its number in the caller's arrays (null: positions are those numbers)
    double threshold = 0.0;                 // at most this far apart
    bool witnesses = false;                 // also a point of each hull that realises the gap
    HullWorkspace* work = nullptr;

    using Workspace = HullWorkspace;

    // Points `work` at the thread's workspace with room for cells of up to `largest` vertices;
    // false when memory runs out.
    bool attach(HullWorkspace& workspace, int32_t largest) {
        work = &workspace;
        return workspace.reserve(largest);
    }
};

// The widest gap between two vertex boxes along any axis, by boxes_within's own subtractions
// (kernels/package/search/box_tree.h): a pair the search leaves out at a threshold has one above it.
inline double boxes_gap(const VertexBox& a, const VertexBox& b) {
    double gap = -HUGE_VAL;
    for (int axis = 0; axis < 3; ++axis) {
        gap = std::max(gap, std::max(double(a.lo[axis]) - double(b.hi[axis]), double(b.lo[axis]) - double(a.hi[axis])));
    }
    return gap;
}

// The hull rule for the cells at positions p and q (a and b their vertices): when they are close,
// their gap (and, with witnesses, a point of each hull that realises it, the first cell's in the
// caller's order first) go to `details` and `detail` says where; otherwise `detail` is left as
// it is, and `apart_by` (when not null) receives a lower bound of their distance above the
// threshold, as proven (to the search's rounding). False when memory runs out. Inline, in the
// search's loop: most candidates end at the slabs, and the others pay no call of their own
// beside the distance's.
inline bool measure_hulls(const HullMeasurer& rule, int32_t p, int32_t q, HullPoints a, HullPoints b,
                          StreamBuffer<double>& details, int64_t& detail, double* apart_by = nullptr) {
    size_t first = static_cast<size_t>(p), second = static_cast<size_t>(q);
    if (slabs_apart(rule.slabs[first], rule.slabs[second], rule.slab_reach)) {
        if (apart_by != nullptr) *apart_by = slab_bound(slabs_gap(rule.slabs[first], rule.slabs[second]));
        return true;
    }
    // The search meets a pair's cells in the tree's order, which depends on every other cell of
    // the scene, and the hull search's last bits depend on which cell it starts from. Measured
    // from the cell first in the caller's order, a pair has the same gap and witnesses in any
    // scene that holds both cells: a tile of a larger scene, a subset, a scene in another order.
    if (rule.order != nullptr && rule.order[first] > rule.order[second]) {
        std::swap(first, second);
        std::swap(a, b);
    }
    // The search starts along the line between the boxes' centres, which for most pairs beyond
    // the threshold proves them so at the first step.
    const VertexBox& box_a = rule.boxes[first];
    const VertexBox& box_b = rule.boxes[second];
    double toward_a[3];
    for (int axis = 0; axis < 3; ++axis) {
        toward_a[axis] = 0.5 * ((double(box_a.lo[axis]) + box_a.hi[axis]) - (double(box_b.lo[axis]) + box_b.hi[axis]));
    }
    const double threshold = rule.threshold;
    // Looking for a shared vertex changes no result, only what it costs: a cell that may share
    // none skips it.
    if (rule.sharing != nullptr) {
        a.may_share = rule.sharing[first] != 0;
        b.may_share = rule.sharing[second] != 0;
    } else {
        a.may_share = b.may_share = boxes_gap(box_a, box_b) <= 0.0;    // the boxes meet
    }
    b.span = (double(box_b.hi[0]) - box_b.lo[0]) + (double(box_b.hi[1]) - box_b.lo[1]) +
             (double(box_b.hi[2]) - box_b.lo[2]);
    double gap;
    double points[6];
    if (rule.witnesses) {
        gap = hull_distance_witnesses(a, b, threshold, *rule.work, toward_a, points, points + 3);
    } else {
        gap = hull_distance(a, b, threshold, *rule.work, toward_a);
    }
    if (!(gap <= threshold)) {
        if (apart_by != nullptr) *apart_by = gap;
        return true;
    }
    // The search's gap lies within its accuracy of the true one, on either side; the slabs' and
    // the boxes' gaps are lower bounds whose verdicts leave pairs out before any search. A gap
    // reported below them could keep a pair at a threshold where a smaller one leaves it out:
    // never below them, a pair is kept exactly when its gap is at most the threshold.
    const double slab_gap = slab_bound(slabs_gap(rule.slabs[first], rule.slabs[second]));
    gap = std::max(gap, std::max(slab_gap, boxes_gap(box_a, box_b)));
    if (!(gap <= threshold)) {
        if (apart_by != nullptr) *apart_by = gap;
        return true;
    }
    detail = static_cast<int64_t>(details.size());
    if (!details.push_back(gap)) return false;
    // The first cell in the caller's order was measured first: its witness comes first.
    return !rule.witnesses || details.append(points, 6);
}

}  // namespace cellprox
