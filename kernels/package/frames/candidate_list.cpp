// The box tree over the frame's boxes, then a block of cells at a time on the team, each piece
// of a block keeping its own pairs, gathered in order and sorted at the end: neither the team
// nor the blocks show in the list.
#include "kernels/package/frames/candidate_list.h"

#include <algorithm>

#include "kernels/package/search/box_tree.h"
#include "kernels/package/search/pair_sort.h"
#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

// Tree positions to a piece, and pieces to a block between two looks at the watch.
constexpr int32_t LIST_PIECE = 512;
constexpr int32_t LIST_BLOCK_PIECES = 64;

struct ListBlock {
    const BoxTree* tree;
    double reach;
    int32_t count;
    int32_t first_piece;
    StreamBuffer<TrackedPair>* found;   // one per piece of the block
    bool* failed;
};

void list_pieces(int32_t begin, int32_t end, void* context) {
    const ListBlock& block = *static_cast<const ListBlock*>(context);
    PlainBuffer<int32_t> stack, group[LEAF_SIZE];
    for (int32_t s = begin; s < end; ++s) {
        StreamBuffer<TrackedPair>& out = block.found[s];
        out.clear();
        const int32_t first = (block.first_piece + s) * LIST_PIECE;
        const int32_t last = std::min(block.count, first + LIST_PIECE);
        for (int32_t p = first; p < last && !block.failed[s]; p += LEAF_SIZE) {
            const int32_t group_end = std::min(last, p + LEAF_SIZE);
            for (int32_t k = 0; k < group_end - p; ++k) group[k].clear();
            if (!boxes_after_group(*block.tree, p, group_end, block.reach, stack, group)) {
                block.failed[s] = true;
                break;
            }
            for (int32_t k = 0; k < group_end - p; ++k) {
                const int32_t a = block.tree->order[static_cast<size_t>(p + k)];
                for (size_t g = 0; g < group[k].size(); ++g) {
                    const int32_t b = block.tree->order[static_cast<size_t>(group[k][g])];
                    if (!out.push_back({std::min(a, b), std::max(a, b)})) {
                        block.failed[s] = true;
                        break;
                    }
                }
            }
        }
    }
}

}  // namespace

ProximityStatus list_candidates(const VertexBox* boxes, int32_t count, double reach, int32_t workers,
                                const WorkWatch* watch, int64_t done_before, int64_t total,
                                StreamBuffer<TrackedPair>& pairs) {
    pairs.clear();
    BoxTree tree;
    FixedArray<StreamBuffer<TrackedPair>> found;
    bool failed[LIST_BLOCK_PIECES];
    if (!build_box_tree(boxes, count, tree, workers) || !found.allocate(LIST_BLOCK_PIECES)) {
        return ProximityStatus::out_of_memory;
    }
    const int32_t pieces = (count + LIST_PIECE - 1) / LIST_PIECE;
    for (int32_t first_piece = 0; first_piece < pieces; first_piece += LIST_BLOCK_PIECES) {
        const int32_t used = std::min(LIST_BLOCK_PIECES, pieces - first_piece);
        std::fill(failed, failed + used, false);
        ListBlock block{&tree, reach, count, first_piece, found.data(), failed};
        run_pieces(workers, used, list_pieces, &block);
        for (int32_t s = 0; s < used; ++s) {
            if (failed[s] || !pairs.append(found[s].data(), found[s].size())) return ProximityStatus::out_of_memory;
        }
        const int64_t done = std::min<int64_t>(count, int64_t(first_piece + used) * LIST_PIECE);
        if (!keep_going(watch, done_before + done, total)) return ProximityStatus::stopped;
    }
    return sort_pairs(pairs, count, workers) ? ProximityStatus::ok : ProximityStatus::out_of_memory;
}

}  // namespace cellprox
