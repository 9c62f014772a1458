// The broad phase of the baseline: the module's box pass and its direct pair pass (the
// quadratic one, with its 30-slot scans), on the calling thread.
#pragma once

#include <cstdint>

#include "kernels/deliverable/broad/bb_intersections.h"
#include "strided_view.h"

namespace cellprox_baseline {

using cellprox::BroadPhaseArrays;
using cellprox::widen_boxes;

// The whole kernel: the box pass, then the pair pass, both plain loops on the calling thread.
// The caller guarantees that every view holds cell_count rows of the extents the module checks.
int32_t get_bb_intersections(const BroadPhaseArrays& arrays, int32_t cell_count);

}  // namespace cellprox_baseline
