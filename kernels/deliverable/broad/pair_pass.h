// The pair pass of the broad phase: which cells each row of the link tables records, in which
// order, and what becomes of a pair when a row is full. Owns the link table format and the row
// rule; the boxes come from the box pass (kernels/deliverable/broad/box_pass.h), and the grid
// (kernels/deliverable/broad/box_grid.h) only narrows down which cells a row has to look at.
#pragma once

#include <cstdint>

#include "kernels/common/shared/strided_view.h"
#include "platform/loops/loop_frame.h"

namespace cellprox {

constexpr int32_t MAX_CELL_LINKS = 30;  // capacity of one row of `links`

// The four arrays of one call: bbox [cell][corner][axis] float32, links [cell][slot] int32,
// link_starts [cell] int32, link_count [cell] uint8. The pair pass reads corners 0 and 1 of
// bbox and slots 0 to 29 of links.
struct BroadPhaseArrays {
    StridedView bbox;
    StridedView links;
    StridedView link_starts;
    StridedView link_count;
};

// The pair pass over boxes already widened; returns the number of links recorded. It gives the
// tables of the direct pass below, visiting far fewer pairs; with too little memory for its
// index, or with tables that share memory, it runs the direct pass. Given a `team`, it searches
// the cells' candidates on it with the interpreter lock released; the rows are always decided
// on the calling thread, in order.
int32_t link_overlapping_boxes(const BroadPhaseArrays& arrays, int32_t cell_count,
                               const LoopFrame* team = nullptr);

// The pair pass as plainly written: for each row in turn, every other cell in ascending order,
// each lower row scanned for the row's own number (all 30 slots) before the overlap test, until
// the row holds 30 links.
int32_t link_overlapping_boxes_direct(const BroadPhaseArrays& arrays, int32_t cell_count);

}  // namespace cellprox
