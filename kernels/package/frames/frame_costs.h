// Whether tracking pays: what the tracker's frames cost lately against what its fresh searches
// cost, and the pauses of searching afresh where tracking costs more (cells that move fast
// against the threshold). Which work a frame takes never changes its answer, only its time.
#pragma once

#include <cstdint>

namespace cellprox {

enum class FrameWork { fresh, rebuilt, relisted, reused };

// What frames cost lately, tracked and searched afresh, in seconds (negative: none yet).
struct FrameCosts {
    double fresh = -1.0;
    double tracked = -1.0;
    int64_t tracked_frames = 0;        // tracked frames since tracking was last weighed
    bool started = false;              // the list of this stint of tracking is made
    int64_t paused_until = 0;          // frames before this one are searched afresh
    int64_t pause = 8;
};

// Whether frame `frame` of `cells` cells is searched afresh because tracking costs more than
// that, as the frames lately measured say, or a pause for that reason lasts.
bool paused(const FrameCosts& costs, int64_t frame, int32_t cells);

// Whether that frame begins such a pause.
bool starts_pause(const FrameCosts& costs, int64_t frame, int32_t cells);

// The costs after frame `frame`, of `work`, took `seconds`; `pause` when it began a pause.
void keep_cost(FrameCosts& costs, int64_t frame, int32_t cells, FrameWork work, double seconds, bool pause);

}  // namespace cellprox
