// Tracking is tried, weighed after a few frames by a running mean of their seconds against the
// fresh searches', and where it costs more the frames are searched afresh for a pause; tracking
// is tried again after it, the pause doubling each time tracking does not pay (the cells may move
// more calmly later).
#include "kernels/package/frames/frame_costs.h"

#include <algorithm>

namespace cellprox {

namespace {

// Tracking is weighed against searching afresh after this many tracked frames, by a running mean
// that keeps this share of its past each frame; a pause of searching afresh lasts this many
// frames at first, doubling up to the longest.
constexpr int64_t COST_FRAMES = 6;
constexpr double COST_MEMORY = 0.75;
constexpr int64_t FIRST_PAUSE = 8;
constexpr int64_t LONGEST_PAUSE = 256;
// Below this many cells a frame takes too little time either way for its clock to tell.
constexpr int32_t COST_CELLS = 4096;

// Whether tracking was weighed and cost more than searching afresh.
bool weighed(const FrameCosts& costs, int32_t cells) {
    return cells >= COST_CELLS && costs.tracked_frames >= COST_FRAMES && costs.fresh >= 0.0;
}

// A frame's seconds into the running means of its kind. The list's first making in a stint of
// tracking is left out: it is paid once, and would weigh on the first few frames as if paid
// again and again.
void add_cost(FrameCosts& costs, FrameWork work, double seconds) {
    if (work == FrameWork::fresh) {
        costs.fresh = costs.fresh < 0.0 ? seconds : 0.5 * (costs.fresh + seconds);
        return;
    }
    if (costs.tracked < 0.0 && work == FrameWork::rebuilt && !costs.started) {
        costs.started = true;
        return;
    }
    ++costs.tracked_frames;
    const double weight = std::max(1.0 - COST_MEMORY, 1.0 / static_cast<double>(costs.tracked_frames));
    costs.tracked = costs.tracked < 0.0 ? seconds : (1.0 - weight) * costs.tracked + weight * seconds;
}

}  // namespace

bool paused(const FrameCosts& costs, int64_t frame, int32_t cells) {
    return frame < costs.paused_until || starts_pause(costs, frame, cells);
}

bool starts_pause(const FrameCosts& costs, int64_t frame, int32_t cells) {
    return frame >= costs.paused_until && weighed(costs, cells) && costs.tracked > costs.fresh;
}

void keep_cost(FrameCosts& costs, int64_t frame, int32_t cells, FrameWork work, double seconds, bool pause) {
    if (pause) {
        costs.paused_until = frame + costs.pause;
        costs.pause = std::min(LONGEST_PAUSE, 2 * costs.pause);
        costs.tracked_frames = 0;
        costs.tracked = -1.0;
        costs.started = false;
    } else if (weighed(costs, cells) && !(costs.tracked > costs.fresh)) {
        costs.pause = FIRST_PAUSE;    // tracking pays again
    }
    add_cost(costs, work, seconds);
}

}  // namespace cellprox
