// The work of one sub-block of the search: its cells' candidates from the box tree, each
// measured by the rule's measurer, the close pairs kept. Sub-blocks run on the thread team, each
// writing only its own SubBlock.
#pragma once

#include <cstdint>

#include "kernels/package/exact/exact_cells.h"
#include "kernels/package/hull/hull_measure.h"
#include "kernels/package/search/box_tree.h"
#include "kernels/package/search/close_pairs.h"
#include "kernels/common/shared/plain_buffer.h"

namespace cellprox {

struct SubBlock {
    StreamBuffer<ClosePair> pairs;
    StreamBuffer<double> details;     // the hull rule's gaps (and witnesses) of the pairs
    int64_t candidates;
    double search_seconds;
    double measure_seconds;
    bool failed;
};

// The exact rule's measurer: its threshold's parameters, each cell's box at each position of the
// tree's order, and the thread's working memory. A plain struct, as the hull rule's
// (hull_measure.h): each thread copies the search's and points `space` at memory of its own.
struct ExactMeasurer {
    ExactThreshold threshold{};
    const VertexBox* boxes = nullptr;
    CloseSpace* space = nullptr;

    using Workspace = CloseSpace;

    bool attach(CloseSpace& workspace, int32_t /* largest cell */) {
        space = &workspace;
        return true;
    }
};

// One chunk of the search: the positions begin .. end - 1 of the tree's order, per_block of
// them to a sub-block, measured by a copy of `measurer` on each thread.
template <class Measurer>
struct PairSearch {
    const BoxTree* tree = nullptr;
    double reach = 0.0;                 // the query's threshold: candidates' boxes come this close
    const CellView* views = nullptr;   // the cells in the tree's order: what measuring reads of each
    int32_t largest_cell = 1;           // the most vertices of any cell
    int32_t begin = 0;
    int32_t end = 0;
    int32_t per_block = 0;
    SubBlock* blocks = nullptr;
    Measurer measurer;
};

// Each cell as measuring reads it, in the tree's order: a cell's candidates lie near it in that
// order, so their views are in cache where the caller's own arrays would each cost a miss.
// Filled on up to `workers` threads.
bool cell_views(const SceneCells& cells, const BoxTree& tree, int32_t workers, PlainBuffer<CellView>& views);

// The loop body: sub-blocks [begin, end) of the chunk in `context` (a PairSearch<Measurer>).
// Built for ExactMeasurer and HullMeasurer.
template <class Measurer>
void pair_blocks(int32_t begin, int32_t end, void* context);

}  // namespace cellprox
