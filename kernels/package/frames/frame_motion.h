// What a frame's cells did since the frame before and since the candidate list was made: each
// cell's box (and, for the hull rule, its slabs) as the search measures them, how far its
// vertices drifted, whether it moved at all. The tracker decides from this which verdicts of the
// last frame still stand and whether the candidate list still holds every pair it must.
#pragma once

#include <cstdint>

#include "kernels/common/shared/plain_buffer.h"
#include "kernels/common/shared/vertex_box.h"
#include "kernels/package/hull/hull_slabs.h"
#include "kernels/package/search/close_pairs.h"

namespace cellprox {

// What a frame is compared with: the vertices of the frame before (the same rows as `cells`)
// and their boxes, and each cell's reference box (its box when the list last listed its
// pairs); null where there is none yet.
struct MotionInputs {
    const SceneCells* cells;
    const float* previous;
    const VertexBox* previous_boxes;
    const VertexBox* reference_boxes;
    bool slabs;                         // the hull rule's slabs wanted too
    double leap;                        // a box that moved more than this since the previous frame leapt
};

struct FrameMotion {
    PlainBuffer<VertexBox> boxes;       // this frame's vertex boxes
    PlainBuffer<DiagonalSlabs> slabs;   // with MotionInputs::slabs
    PlainBuffer<double> drift;          // per cell: the farthest any vertex moved since the frame before
    PlainBuffer<uint8_t> moved;         // per cell: 1 when some coordinate differs from the previous frame
    PlainBuffer<double> shift_of;       // per cell: the farthest its box bounds moved from its reference box
    double step = 0.0;                  // the farthest a box bound moved since the previous frame, of the cells that did not leap
    double shift[2] = {0.0, 0.0};       // the two farthest any cell's box bounds moved from their reference
    int32_t leapt = 0;                  // cells whose box bounds moved more than `leap` since the previous frame
    double scale = 0.0;                 // the largest magnitude of a coordinate this frame
};

// Measures `motion` on up to `workers` threads (the same answer for any count). A cell without
// vertices neither moves nor drifts. False when memory runs out.
bool measure_motion(const MotionInputs& inputs, int32_t workers, FrameMotion& motion);

// The farthest any bound of box `now` lies from the same bound of `then`, along any axis.
double box_shift(const VertexBox& now, const VertexBox& then);

}  // namespace cellprox
