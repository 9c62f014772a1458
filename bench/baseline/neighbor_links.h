// Narrow phase: for every link of every cell, whether the two cells come closer than a
// threshold, and if so the distance between their origins.
#pragma once

#include <cstdint>

namespace cellprox_baseline {

struct NeighborQuery {
    const char* cells;         // the caller's array of Cell records
    int32_t cell_count;
    int32_t n_links;           // slots of the per-link result
    float distance_threshold;  // strict: a pair exactly at the threshold is not close
};

// Fills link_distances[0 .. n_links-1]: -1.0 everywhere, then the origin distance in the slot of
// every link whose cells pass the vertex test (same collection) or the edge test (different
// collections). Plain loops on the calling thread, cells in ascending order.
void compute_link_distances(const NeighborQuery& query, float* link_distances);

}  // namespace cellprox_baseline
