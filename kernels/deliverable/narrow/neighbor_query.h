// What one narrow-phase call asks, and the rules every form of its loop applies to a link
// before any distance is measured: which slot it owns and which cell it names.
#pragma once

#include <cstdint>

#include "kernels/common/shared/cell.h"

namespace cellprox {

struct NeighborQuery {
    const char* cells;         // the caller's array of Cell records
    int32_t cell_count;
    int32_t n_links;           // slots of the per-link result
    float distance_threshold;  // strict: a pair exactly at the threshold is not close
};

// Whether the cell has a run of links to examine at all.
inline bool has_links(const Cell& cell) { return cell.n_count > 0 && cell.cell_links != nullptr; }

// The result slot and the neighbour's position of link k of cell_a, or false when the link is
// skipped: a slot outside the result is never written, whatever the record says, and a
// neighbour outside the cell array leaves its slot at -1.0.
inline bool link_target(const NeighborQuery& query, const Cell& cell_a, int32_t k, int64_t* slot,
                        int32_t* other) {
    *slot = static_cast<int64_t>(cell_a.links_start) + k;
    if (*slot < 0 || *slot >= query.n_links) return false;
    *other = cell_a.cell_links[k];
    return *other >= 0 && *other < query.cell_count;
}

inline void mark_unset(float* link_distances, int32_t begin, int32_t end) {
    for (int32_t s = begin; s < end; ++s) link_distances[s] = -1.0f;
}

}  // namespace cellprox
