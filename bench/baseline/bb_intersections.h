// The direct pair pass of the broad phase. The box pass, the overlap test and the table types
// are the module's own, unchanged; the pair pass is the quadratic one, with its 30-slot scans.
#pragma once

#include <cstdint>

#include "kernels/bb_intersections.h"
#include "strided_view.h"

namespace cellprox_baseline {

using cellprox::BoxView;
using cellprox::BroadPhaseArrays;
using cellprox::check_bb_intersections;
using cellprox::MAX_CELL_LINKS;
using cellprox::widen_boxes;

// The pair pass over boxes already widened; returns the number of links recorded.
int32_t link_overlapping_boxes(const BroadPhaseArrays& arrays, int32_t cell_count);

// The whole kernel: the box pass, then the pair pass, both plain loops on the calling thread.
// The caller guarantees that every view holds cell_count rows of the extents the module checks.
int32_t get_bb_intersections(const BroadPhaseArrays& arrays, int32_t cell_count);

}  // namespace cellprox_baseline
