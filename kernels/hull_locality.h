// Cells renumbered along a space-filling curve, so that cells near each other in space are near
// each other in memory: the hull rule reads two cells per candidate, and in a caller's order
// (often random) the second would come from anywhere in a large scene.
#pragma once

#include <cstdint>

#include "kernels/hull_buffer.h"
#include "kernels/hull_candidates.h"

namespace cellprox {

struct HullLocalCells {
    HullBuffer<float> xyz;
    HullBuffer<int64_t> starts;
    HullBuffer<HullBox> boxes;
    HullBuffer<int32_t> original;   // original[i]: the caller's number of cell i
};

// `count` cells (vertices `xyz` from `starts`, boxes `boxes`) in the order of their boxes' centres
// along a Morton curve. False when memory runs out.
bool arrange_locally(const float* xyz, const int64_t* starts, const HullBox* boxes, int32_t count,
                     HullLocalCells& arranged);

}  // namespace cellprox
