// One pass over the frame's vertices, a fixed number of cells a piece, so that the pieces (and
// the maxima they keep) do not depend on the team.
#include "kernels/package/frames/frame_motion.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

constexpr int32_t MOTION_PIECE = 8192;

struct PieceMaxima {
    double step;
    double shift[2];
    double scale;
    int32_t leapt;
};

// The two largest of `top` and `value`, largest first.
void keep_top_two(double (&top)[2], double value) {
    if (value > top[0]) {
        top[1] = top[0];
        top[0] = value;
    } else if (value > top[1]) {
        top[1] = value;
    }
}

// The farthest any of `count` vertices lies from the same vertex of `then`, in double: the
// differences of floats are exact there, so only the square root and its sum round.
double farthest_move(const float* now, const float* then, int64_t count) {
    double farthest2 = 0.0;
    for (int64_t v = 0; v < count; ++v) {
        double squared = 0.0;
        for (int axis = 0; axis < 3; ++axis) {
            const double d = double(now[3 * v + axis]) - double(then[3 * v + axis]);
            squared += d * d;
        }
        farthest2 = std::max(farthest2, squared);
    }
    return std::sqrt(farthest2);
}

}  // namespace

double box_shift(const VertexBox& now, const VertexBox& then) {
    double shift = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        shift = std::max(shift, std::fabs(double(now.lo[axis]) - double(then.lo[axis])));
        shift = std::max(shift, std::fabs(double(now.hi[axis]) - double(then.hi[axis])));
    }
    return shift;
}

bool measure_motion(const MotionInputs& inputs, int32_t workers, FrameMotion& motion) {
    const SceneCells& cells = *inputs.cells;
    const size_t n = static_cast<size_t>(cells.count);
    const int32_t pieces = static_cast<int32_t>((n + MOTION_PIECE - 1) / MOTION_PIECE);
    PlainBuffer<PieceMaxima> maxima;
    if (!motion.boxes.resize(n) || !motion.drift.resize(n) || !motion.moved.resize(n) || !motion.shift_of.resize(n) ||
        !motion.slabs.resize(inputs.slabs ? n : 0) || !maxima.resize(static_cast<size_t>(pieces))) {
        return false;
    }
    auto piece = [&](int32_t k) {
        PieceMaxima top{0.0, {0.0, 0.0}, 0.0, 0};
        const int32_t last = std::min(cells.count, (k + 1) * MOTION_PIECE);
        for (int32_t i = k * MOTION_PIECE; i < last; ++i) {
            const size_t c = static_cast<size_t>(i);
            const int64_t first = cells.vertex_starts[i], count = cells.vertex_starts[i + 1] - first;
            const float* xyz = cells.xyz + 3 * first;
            const VertexBox box = vertex_box(cells, i);
            motion.boxes[c] = box;
            if (inputs.slabs) motion.slabs[c] = diagonal_slabs(xyz, static_cast<int32_t>(count));
            motion.drift[c] = 0.0;
            motion.moved[c] = 0;
            motion.shift_of[c] = 0.0;
            if (count == 0) continue;
            for (int axis = 0; axis < 3; ++axis) {
                top.scale = std::max(top.scale, std::max(std::fabs(double(box.lo[axis])), std::fabs(double(box.hi[axis]))));
            }
            if (inputs.previous != nullptr) {
                const float* before = inputs.previous + 3 * first;
                // Bits, not values: -0 for 0 is a move too, and the hull rule's gaps may differ by it.
                motion.moved[c] = std::memcmp(xyz, before, static_cast<size_t>(3 * count) * sizeof(float)) != 0;
                if (motion.moved[c]) {
                    motion.drift[c] = farthest_move(xyz, before, count);
                    const double step = box_shift(box, inputs.previous_boxes[c]);
                    if (step > inputs.leap) {
                        ++top.leapt;
                    } else {
                        top.step = std::max(top.step, step);
                    }
                }
            }
            if (inputs.reference_boxes != nullptr) {
                const double shift = box_shift(box, inputs.reference_boxes[c]);
                motion.shift_of[c] = shift;
                keep_top_two(top.shift, shift);
            }
        }
        maxima[static_cast<size_t>(k)] = top;
    };
    for_each_piece(workers, pieces, piece);
    motion.step = motion.scale = 0.0;
    motion.shift[0] = motion.shift[1] = 0.0;
    motion.leapt = 0;
    for (size_t k = 0; k < maxima.size(); ++k) {
        motion.step = std::max(motion.step, maxima[k].step);
        motion.scale = std::max(motion.scale, maxima[k].scale);
        keep_top_two(motion.shift, maxima[k].shift[0]);
        keep_top_two(motion.shift, maxima[k].shift[1]);
        motion.leapt += maxima[k].leapt;
    }
    return true;
}

}  // namespace cellprox
