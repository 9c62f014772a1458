// Every pair of boxes within a distance of each other along all three axes.
#pragma once

#include <cstdint>

#include "kernels/hull_buffer.h"

namespace cellprox {

// A cell's vertex bounds, in double precision (exact for float vertices).
struct HullBox {
    double lower[3];
    double upper[3];
};

struct HullPair {
    int32_t first;    // first < second
    int32_t second;
};

// Whether the gap between boxes a and b is at most `threshold` along every axis: the boxes,
// each widened by threshold / 2 on every side, overlap or touch.
inline bool boxes_within(const HullBox& a, const HullBox& b, double threshold) {
    for (int axis = 0; axis < 3; ++axis) {
        if (!(a.lower[axis] - b.upper[axis] <= threshold)) return false;
        if (!(b.lower[axis] - a.upper[axis] <= threshold)) return false;
    }
    return true;
}

// Appends every pair (i < j) of the `count` boxes that are within `threshold` of each other, each
// pair once, in no particular order. Memory grows with the boxes and the pairs only. Returns false
// when memory runs out (`pairs` then holds part of the pairs).
bool candidate_pairs(const HullBox* boxes, int32_t count, double threshold,
                     HullBuffer<HullPair>& pairs);

}  // namespace cellprox
