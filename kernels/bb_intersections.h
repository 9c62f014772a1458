// Broad phase: widen each cell's bounding box in place and record every pair of overlapping
// boxes in the caller's link tables.
#pragma once

#include <cstdint>

#include "kernels/strided_view.h"
#include "platform/loop_frame.h"

namespace cellprox {

constexpr int32_t MAX_CELL_LINKS = 30;  // capacity of one row of `links`
constexpr double BOX_MARGIN = 0.002;    // added on each side of every axis
constexpr float BOX_LOWER_SEED = 100000.0f;
constexpr float BOX_UPPER_SEED = -100000.0f;

// The four arrays of one call: bbox [cell][corner][axis] float32, links [cell][slot] int32,
// link_starts [cell] int32, link_count [cell] uint8.
struct BroadPhaseArrays {
    StridedView bbox;
    StridedView links;
    StridedView link_starts;
    StridedView link_count;
};

// One cell's box as a [corner][axis] float32 view: corner 0 holds the lower bounds, corner 1 the
// upper bounds once the box pass has run.
struct BoxView {
    const char* data;
    ptrdiff_t corner_stride;
    ptrdiff_t axis_stride;
};

inline float minf2(float a, float b) { return a < b ? a : b; }
inline float maxf2(float a, float b) { return a > b ? a : b; }

// True when the two boxes overlap strictly on all three axes (touching boxes do not); a NaN
// bound overlaps nothing. Inline: the pair pass calls it for every candidate.
inline bool check_bb_intersections(const BoxView& bb_1, const BoxView& bb_2) {
    auto bound = [](const BoxView& box, int corner, int axis) {
        return load<float>(box.data + corner * box.corner_stride + axis * box.axis_stride);
    };
    for (int axis = 0; axis < 3; ++axis) {
        if (!(bound(bb_1, 1, axis) > bound(bb_2, 0, axis))) return false;
        if (!(bound(bb_2, 1, axis) > bound(bb_1, 0, axis))) return false;
    }
    return true;
}

// The box pass: corners 0 and 1 of cells begin .. end-1 become the widened bounds of all eight.
void widen_boxes(const StridedView& bbox, int32_t begin, int32_t end);

// The pair pass over boxes already widened; returns the number of links recorded. It gives the
// tables of the direct algorithm below, visiting far fewer pairs; with too little memory for its
// index it runs the direct algorithm.
int32_t link_overlapping_boxes(const BroadPhaseArrays& arrays, int32_t cell_count);

// The pair pass as plainly written: every row tests every other cell in ascending order (with a
// 30-slot scan of each lower row) until it holds 30 links.
int32_t link_overlapping_boxes_direct(const BroadPhaseArrays& arrays, int32_t cell_count);

// The whole kernel: the box pass with the interpreter lock released, then the pair pass.
// The caller guarantees that every view holds cell_count rows of the extents above.
int32_t get_bb_intersections(const BroadPhaseArrays& arrays, int32_t cell_count,
                             const LoopFrame& frame);

}  // namespace cellprox
