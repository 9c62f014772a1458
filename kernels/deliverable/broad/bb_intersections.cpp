// The broad-phase kernel: the box pass on the loop frame, then the pair pass.
#include "kernels/deliverable/broad/bb_intersections.h"

namespace cellprox {

namespace {

struct BoxPass {
    const StridedView* bbox;
};

void box_pass_block(int32_t begin, int32_t end, void* context) {
    widen_boxes(*static_cast<BoxPass*>(context)->bbox, begin, end);
}

}  // namespace

int32_t get_bb_intersections(const BroadPhaseArrays& arrays, int32_t cell_count,
                             const LoopFrame& frame) {
    {
        InterpreterReleased unlocked(frame);
        BoxPass pass{&arrays.bbox};
        frame.parallel_for(cell_count, true, box_pass_block, &pass);
    }
#ifdef CELLPROX_PARALLEL_PAIR_SEARCH
    return link_overlapping_boxes(arrays, cell_count, &frame);
#else
    return link_overlapping_boxes(arrays, cell_count);
#endif
}

}  // namespace cellprox
