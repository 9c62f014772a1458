// The narrow phase as plain loops: every link of every cell in ascending order, measured by the
// plain pair loops (cell_geometry.h), without bounds, packing, pruning or prefetching. It gives
// the results of compute_link_distances bit for bit; the tests and the benchmark's baseline
// hold the fast loops against it.
#pragma once

#include "kernels/deliverable/narrow/neighbor_query.h"

namespace cellprox {

// Fills link_distances[0 .. n_links-1] as compute_link_distances does, on the calling thread.
void compute_link_distances_direct(const NeighborQuery& query, float* link_distances);

}  // namespace cellprox
