// The work of one sub-block of the search: its cells' candidates from the box tree, each
// measured by the rule, the close pairs kept. Sub-blocks run on the loop frame, each writing only
// its own SubBlock.
#pragma once

#include <cstdint>

#include "kernels/exact/exact_cells.h"
#include "kernels/hull/hull_slabs.h"
#include "kernels/search/box_tree.h"
#include "kernels/search/close_pairs.h"
#include "kernels/shared/plain_buffer.h"

namespace cellprox {

struct SubBlock {
    PlainBuffer<ClosePair> pairs;
    PlainBuffer<double> details;     // the hull rule's gaps (and witnesses) of the pairs
    int64_t candidates;
    double search_seconds;
    double measure_seconds;
    bool failed;
};

// One chunk of the search: the positions begin .. end - 1 of the tree's order, per_block of
// them to a sub-block.
struct PairSearch {
    const SceneCells* cells;
    const ProximityQuery* query;
    const BoxTree* tree;
    ExactThreshold exact;
    int32_t largest_cell;     // the most vertices of any cell
    int32_t begin;
    int32_t end;
    int32_t per_block;
    SubBlock* blocks;
    const CellView* views;   // the cells in the tree's order: what measuring reads of each
    const DiagonalSlabs* slabs;   // the hull rule's: each cell's diagonal slabs, in the tree's order
    double slab_reach;            // and slab_reach(threshold)
    const uint8_t* sharing;       // and whether each shares a vertex with any other cell (vertex_sharing.h)
};

// Each cell as measuring reads it, in the tree's order: a cell's candidates lie near it in that
// order, so their views are in cache where the caller's own arrays would each cost a miss.
bool cell_views(const SceneCells& cells, const BoxTree& tree, PlainBuffer<CellView>& views);

// The loop body: sub-blocks [begin, end) of the chunk in `context` (a PairSearch).
void pair_blocks(int32_t begin, int32_t end, void* context);

}  // namespace cellprox
