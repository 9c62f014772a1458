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

ProximityStatus list_candidates(const BoxTree& tree, int32_t count, double reach, int32_t workers,
                                const WorkWatch* watch, int64_t done_before, int64_t total,
                                StreamBuffer<TrackedPair>& pairs) {
    pairs.clear();
    FixedArray<StreamBuffer<TrackedPair>> found;
    bool failed[LIST_BLOCK_PIECES];
    if (!found.allocate(LIST_BLOCK_PIECES)) return ProximityStatus::out_of_memory;
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

ProximityStatus relist_pairs(const Relisting& r, const StreamBuffer<TrackedPair>& old, StreamBuffer<TrackedPair>& list) {
    StreamBuffer<TrackedPair> added;
    PlainBuffer<int32_t> stack, near;
    for (size_t e = 0; e < r.escaped_count; ++e) {
        const int32_t i = r.escaped[e];
        const VertexBox& box = r.reference[static_cast<size_t>(i)];
        near.clear();
        if (!boxes_near(*r.tree, box, r.reach, stack, near)) return ProximityStatus::out_of_memory;
        for (size_t k = 0; k < near.size(); ++k) {
            const size_t q = static_cast<size_t>(near[k]);
            const int32_t j = r.tree->order[q];
            // A renewed cell's box in the tree is not its reference: it is looked at below.
            if (r.renewed[static_cast<size_t>(j)] || !boxes_within(box, r.tree->boxes[q], r.reach)) continue;
            if (!added.push_back({std::min(i, j), std::max(i, j)})) return ProximityStatus::out_of_memory;
        }
        for (size_t k = 0; k < r.renewed_count; ++k) {
            const int32_t j = r.renewed_cells[k];
            // Two escaping cells: listed once, from the first.
            if (j == i || (r.escaping[static_cast<size_t>(j)] && j < i)) continue;
            if (!boxes_within(box, r.reference[static_cast<size_t>(j)], r.reach)) continue;
            if (!added.push_back({std::min(i, j), std::max(i, j)})) return ProximityStatus::out_of_memory;
        }
    }
    std::sort(added.data(), added.data() + added.size());
    list.clear();
    if (!list.reserve(old.size() + added.size())) return ProximityStatus::out_of_memory;
    size_t a = 0;
    for (size_t k = 0; k < old.size(); ++k) {
        const TrackedPair& pair = old[k];
        if (r.escaping[static_cast<size_t>(pair.first)] || r.escaping[static_cast<size_t>(pair.second)]) continue;
        while (a < added.size() && added[a] < pair) list.push_back(added[a++]);
        list.push_back(pair);
    }
    while (a < added.size()) list.push_back(added[a++]);
    return ProximityStatus::ok;
}

}  // namespace cellprox
