// The boxes of the broad phase: the box pass that turns each cell's eight corner points into a
// widened box in the caller's own array, and the overlap test that compares two such boxes.
// Owns the box layout: corner 0 holds the lower bounds, corner 1 the upper bounds.
#pragma once

#include <cstdint>

#include "kernels/common/shared/strided_view.h"

namespace cellprox {

constexpr double BOX_MARGIN = 0.002;  // added on each side of every axis
constexpr float BOX_LOWER_SEED = 100000.0f;
constexpr float BOX_UPPER_SEED = -100000.0f;

// One cell's box as a [corner][axis] float32 view.
struct BoxView {
    const char* data;
    ptrdiff_t corner_stride;
    ptrdiff_t axis_stride;
};

// Cell `cell` of a bbox view [cell][corner][axis].
inline BoxView box_of(const StridedView& bbox, int32_t cell) {
    return BoxView{element(bbox, cell), bbox.strides[1], bbox.strides[2]};
}

// A box kept as 6 contiguous floats: lower x, y, z, then upper x, y, z.
inline BoxView packed_box(const float* box) {
    return BoxView{reinterpret_cast<const char*>(box), 3 * sizeof(float), sizeof(float)};
}

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

}  // namespace cellprox
