// What the two tests of the exact rule share: the current cell packed once for all its pairs,
// and pruning against the other cell's bounds widened by the pruning limit.
#pragma once

#include <cstdint>

#include "kernels/distance/link_filter.h"
#include "kernels/exact/exact_cells.h"

namespace cellprox {

// Room for n elements rounded up to whole groups of four lanes.
inline int32_t padded(int32_t n) { return (n + 3) / 4 * 4; }

inline WideBox widened(const SearchBox& box, float limit) {
    return widened(point_lanes(box.lo), point_lanes(box.hi), limit);
}

// Packs cell a's vertices as points of four floats, once for all its pairs.
inline bool pack_points(const ExactCell& a, ExactSpace& space) {
    if (space.packed) return true;
    if (!space.points.resize(4 * static_cast<size_t>(a.v_count))) return false;
    for (int32_t i = 0; i < a.v_count; ++i) {
        point_lanes(a.vertices + 3 * i).store(space.points.data() + 4 * i);
    }
    space.packed = true;
    return true;
}

// Packs cell a's valid edges, once for all its pairs across collections (only those read them).
inline bool pack_edges(const ExactCell& a, ExactSpace& space) {
    if (space.edges_packed) return true;
    if (!space.edges.resize(2 * static_cast<size_t>(a.e_count))) return false;
    int32_t valid = 0;
    for (int32_t k = 0; k < a.e_count; ++k) {
        const int32_t first = a.edges[2 * k], second = a.edges[2 * k + 1];
        space.edges[2 * static_cast<size_t>(valid)] = first;
        space.edges[2 * static_cast<size_t>(valid) + 1] = second;
        valid += valid_edge(a, first, second);
    }
    space.edge_count = valid;
    space.edges_packed = true;
    return true;
}

inline Float4 packed_point(const ExactSpace& space, int32_t i) {
    return Float4::load(space.points.data() + 4 * i);
}

}  // namespace cellprox
