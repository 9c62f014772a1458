// The baseline's broad phase: the module's box pass, then its direct pair pass.
#include "bb_intersections.h"

namespace cellprox_baseline {

int32_t get_bb_intersections(const BroadPhaseArrays& arrays, int32_t cell_count) {
    if (cell_count <= 0) return 0;
    widen_boxes(arrays.bbox, 0, cell_count);
    return cellprox::link_overlapping_boxes_direct(arrays, cell_count);
}

}  // namespace cellprox_baseline
