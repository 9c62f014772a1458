// Narrow phase: for every link of every cell, whether the two cells come closer than a
// threshold, and if so the distance between their origins. This file owns the loops (the fill,
// every cell's bounds, the links of each cell with their slots, prefetching); the tests of one
// link are close_cells.h.
#pragma once

#include <cstdint>

#include "kernels/deliverable/narrow/neighbor_query.h"
#include "kernels/common/shared/strided_view.h"
#include "platform/loops/loop_frame.h"

namespace cellprox {

// Fills link_distances[0 .. n_links-1]: -1.0 everywhere, then the origin distance in the slot of
// every link whose cells pass the vertex test (same collection) or the edge test (different
// collections). Runs with the interpreter lock released.
void compute_link_distances(const NeighborQuery& query, float* link_distances,
                            const LoopFrame& frame);

// Copies the per-link distances into the result array through its stride, never past its end.
void store_link_distances(const float* link_distances, int32_t n_links, const StridedView& output);

}  // namespace cellprox
