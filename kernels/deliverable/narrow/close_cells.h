// The fast closeness tests of one link: the shared plumbing (close_plumbing.h: the current cell
// packed once for all its links, the elements of either cell that lie provably too far from the
// other cell's box pruned, the rest packed four lanes at a time) under the contract's verdict,
// the float tests of vertex_batch.h and segment_batch.h. The decisions are those of the plain
// pair loops of cell_geometry.h.
#pragma once

#include <cstdint>

#include "kernels/common/distance/close_plumbing.h"
#include "kernels/common/distance/link_filter.h"
#include "kernels/common/shared/cell.h"

namespace cellprox {

// The contract's closeness parameters: its float threshold, strict, and how far beyond it the
// pruning reaches. The computed distances carry rounding errors: relative ones from the square
// root and the sums (a few units in the last place), and absolute ones from the segment
// distance, whose closest points are formed as p0 + s * (p1 - p0) from coordinates as large as
// the largest bound (a few units in the last place of it). The margins cover both a
// thousandfold, and cost nothing in practice: elements near the threshold are kept.
struct ContractThreshold {
    float value;
    static constexpr double MARGIN = 1e-4;
    static constexpr PruningMargins PRUNING{MARGIN, MARGIN, 0.0};
};

// Whether the two cells come closer than the threshold: vertex against vertex in one
// collection, edge against edge across collections (the neighbour's edge first). Without safe
// bounds, or without memory for the packing, the plain loops decide over the caller's arrays.
bool cells_close(const Cell& cell_a, const VertexBox& bounds_a, const Cell& cell_b, const VertexBox& bounds_b,
                 float threshold, CloseSpace& space);

}  // namespace cellprox
