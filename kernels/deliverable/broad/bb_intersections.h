// Broad phase: widen each cell's bounding box in place and record every pair of overlapping
// boxes in the caller's link tables. The kernel runs its two parts in turn: the box pass
// (kernels/deliverable/broad/box_pass.h) and the pair pass (kernels/deliverable/broad/pair_pass.h).
#pragma once

#include <cstdint>

#include "kernels/deliverable/broad/box_pass.h"
#include "kernels/deliverable/broad/pair_pass.h"
#include "platform/loops/loop_frame.h"

namespace cellprox {

// The whole kernel: the box pass with the interpreter lock released, then the pair pass.
// The caller guarantees that every view holds cell_count rows of the extents the pair pass
// names.
int32_t get_bb_intersections(const BroadPhaseArrays& arrays, int32_t cell_count,
                             const LoopFrame& frame);

}  // namespace cellprox
