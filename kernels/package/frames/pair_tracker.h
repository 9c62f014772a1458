// The tracker: a search for close cells kept from frame to frame. Each frame's answer is the one a
// fresh search (close_pairs.h) gives on that frame's cells, bit for bit; what it saves is the work
// whose result cannot have changed.
//
// The candidate list holds every pair of cells whose reference boxes come within the threshold
// plus a skin; a cell's reference box is its box in the frame its pairs were last listed. While
// no two cells' boxes together moved more than the skin from their references, every pair whose
// boxes now come within the threshold is on the list, and only the list's pairs are judged
// (pair_verdicts.h). The few cells whose boxes moved more than half the skin are listed anew
// (their boxes now their references); when they become many, the whole list is made again from
// the frame at hand. Either way the pairs on both lists keep their proofs. When most cells moved
// beyond any skin at once (a teleport), the frame is searched afresh and the list waits for the
// next frame; where the cells move so that tracking costs more than searching afresh (as the
// frames' clocks say), frames are searched afresh for a while. Which work a frame takes never
// changes its answer. The skin, unless the caller fixes it, follows the motion the tracker sees: about
// SKIN_FRAMES frames of the fastest cell's motion, within bounds set by the threshold and the
// cells' size.
#pragma once

#include <cstdint>

#include "kernels/common/shared/plain_buffer.h"
#include "kernels/package/frames/candidate_list.h"
#include "kernels/package/frames/frame_costs.h"
#include "kernels/package/frames/frame_motion.h"
#include "kernels/package/frames/pair_verdicts.h"
#include "kernels/package/search/box_tree.h"
#include "kernels/package/search/close_pairs.h"
#include "platform/loops/work_watch.h"

namespace cellprox {

// Frames of the fastest motion seen that the skin should last.
constexpr double SKIN_FRAMES = 8.0;

struct TrackerState {
    ProximityQuery query{};
    double given_skin = -1.0;          // the caller's skin, or negative: the tracker's own
    int32_t cell_count = 0;
    int32_t largest_cell = 1;          // the most vertices, or edges, of any cell
    double motion = 0.0;               // a frame's motion as seen lately: the fastest box's, decaying
    double scale = 0.0;                // the largest coordinate seen since the last fresh search
    bool listed = false;               // a candidate list stands
    double skin = 0.0;                 // the list's skin
    BoxTree tree;                      // the reference boxes when the whole list was last made
    PlainBuffer<VertexBox> reference;  // each cell's reference box
    PlainBuffer<uint8_t> renewed;      // per cell: 1 when listed anew since the tree was built
    StreamBuffer<int32_t> renewed_cells;
    PlainBuffer<VertexBox> boxes;      // the last frame's
    StreamBuffer<TrackedPair> candidates;
    PairProofs proofs;
    StreamBuffer<TrackedPair> close;   // the last frame's close pairs, sorted
    FrameCosts costs;
    double extent = 0.0;               // a typical cell's size: its box's longest side, the median of a sample
    // Room reused from frame to frame (memory the system has mapped already); what it holds
    // between frames means nothing.
    FrameMotion motion_room;
    Verdicts verdict_room;
    StreamBuffer<TrackedPair> list_room;
    PlainBuffer<VertexBox> reference_room;
    PlainBuffer<uint8_t> renewed_room;
    PlainBuffer<uint8_t> escaping_room;
    StreamBuffer<int32_t> cells_room;
    int64_t frames = 0;                // frames tracked, the first included
    int64_t rebuilds = 0;              // lists made
    int64_t relists = 0;               // lists made again for the cells that escaped
    int64_t fresh = 0;                 // frames searched afresh
};

// A frame: its cells (the same count, vertex and edge rows as every frame before), and the
// vertices of the frame before (null for the first frame).
struct FrameInputs {
    SceneCells cells;
    const float* previous;
};

struct FrameReport {
    ProximityResult result;                // as find_close_pairs gives it
    StreamBuffer<TrackedPair> began;       // close now, not in the frame before
    StreamBuffer<TrackedPair> ended;       // close in the frame before, not now
    FrameWork work = FrameWork::fresh;
    int64_t candidates = 0;                // on the list this frame (0 for a fresh search)
};

// Sets up a state for `query` over `cell_count` cells; `given_skin` negative lets the tracker
// choose. The first frame is then searched afresh by track_frame.
void start_tracker(TrackerState& state, const ProximityQuery& query, double given_skin, int32_t cell_count,
                   int32_t largest_cell);

// Tracks one frame on up to `workers` threads (the same answer for any count), asking `watch`
// between blocks. On any status but ok, `state` is as it was before the call.
ProximityStatus track_frame(TrackerState& state, const FrameInputs& inputs, int32_t workers, const WorkWatch* watch,
                            FrameReport& report);

// The pairs of `now` not in `before` (began) and of `before` not in `now` (ended); both sorted.
bool pair_changes(const TrackedPair* before, size_t before_count, const TrackedPair* now, size_t now_count,
                  StreamBuffer<TrackedPair>& began, StreamBuffer<TrackedPair>& ended);

}  // namespace cellprox
