// The box tree's building: top-down by median splits, stored depth-first, each node's bounds
// from its children's.
//
// On a team: the upper splits a level at a time (the nodes of one level side by side), then the
// subtrees below them each on one thread, then the bounds, subtrees first. Every node's place in
// the depth-first order follows from the sizes alone (node_counts), so each task writes its own
// nodes without waiting for its left neighbours; and every split puts the same boxes on each
// side however the selection arranges them (each box has a key of its own), so the tree is the
// same, node for node, for any number of threads.
#include "kernels/package/search/box_tree.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

struct Centre {
    float c[3];
    int32_t box;
};

struct BuildTask {
    int32_t begin;
    int32_t end;
    int32_t node;     // the node that covers [begin, end)
};

// Tasks larger than this are split a level at a time; the rest are built whole, one to a thread.
// A fixed size (not one from the thread count) keeps the pieces, and so the tree, the same.
constexpr int32_t SUBTREE_SIZE = 4096;
// Items, boxes or nodes to a piece of the plain passes.
constexpr int32_t PASS_PIECE = 16384;

// The number of nodes of a subtree of `size` boxes, and of one of size + 1: the halves of either
// are h or h + 1 boxes, h = size / 2, so two counts a level carry the whole recursion.
void node_counts(int32_t size, int64_t& of_size, int64_t& of_next) {
    if (size < LEAF_SIZE) {
        of_size = of_next = 1;
        return;
    }
    const int32_t h = size / 2;
    int64_t of_h = 0, of_h1 = 0;
    node_counts(h, of_h, of_h1);
    const auto count = [&](int32_t s) -> int64_t {
        if (s <= LEAF_SIZE) return 1;
        return 1 + (s / 2 == h ? of_h : of_h1) + (s - s / 2 == h ? of_h : of_h1);
    };
    of_size = count(size);
    of_next = count(size + 1);
}

int64_t node_count(int32_t size) {
    int64_t of_size = 0, of_next = 0;
    node_counts(size, of_size, of_next);
    return of_size;
}

// The axis along which the centres of items [begin, end) spread widest.
int widest_axis(const Centre* items, int32_t begin, int32_t end) {
    float lo[3] = {items[begin].c[0], items[begin].c[1], items[begin].c[2]};
    float hi[3] = {lo[0], lo[1], lo[2]};
    for (int32_t i = begin + 1; i < end; ++i) {
        for (int axis = 0; axis < 3; ++axis) {
            lo[axis] = std::min(lo[axis], items[i].c[axis]);
            hi[axis] = std::max(hi[axis], items[i].c[axis]);
        }
    }
    int axis = 0;
    // The spread in double: the difference of two far floats can exceed the float range.
    double widest = double(hi[0]) - double(lo[0]);
    for (int k = 1; k < 3; ++k) {
        if (double(hi[k]) - double(lo[k]) > widest) {
            widest = double(hi[k]) - double(lo[k]);
            axis = k;
        }
    }
    return axis;
}

// A centre's place along an axis as one unsigned number, lower for a lower coordinate (-0 as
// 0), with the box number below it to break ties: every item has its own key, so the split
// below does not depend on how a selection orders equals.
inline uint64_t key_along(const Centre& item, int axis) {
    uint32_t bits;
    std::memcpy(&bits, &item.c[axis], sizeof bits);
    if ((bits & 0x7fffffffu) == 0) bits = 0;
    bits ^= static_cast<uint32_t>(static_cast<int32_t>(bits) >> 31) | 0x80000000u;
    return (uint64_t(bits) << 32) | static_cast<uint32_t>(item.box);
}

// Items [begin, end) in the order of their keys along `axis` (a few of them: insertion).
void sort_along(Centre* items, int32_t begin, int32_t end, int axis) {
    for (int32_t i = begin + 1; i < end; ++i) {
        const Centre item = items[i];
        const uint64_t key = key_along(item, axis);
        int32_t j = i;
        for (; j > begin && key_along(items[j - 1], axis) > key; --j) items[j] = items[j - 1];
        items[j] = item;
    }
}

// Puts the item of rank `nth` (by key along `axis`) of [begin, end) at nth, those of lower keys
// before it and the others after. Partitions without a branch on the comparison, which goes
// either way at random and would cost a misprediction every other item; after too many rounds
// (chosen pivots can be bad on purpose) the library's selection takes over.
void select_nth(Centre* items, int32_t begin, int32_t nth, int32_t end, int axis) {
    for (int rounds = 0; end - begin > 8; ++rounds) {
        if (rounds > 64) {
            std::nth_element(items + begin, items + nth, items + end, [axis](const Centre& a, const Centre& b) {
                return key_along(a, axis) < key_along(b, axis);
            });
            return;
        }
        // The median of the first, middle and last keys as pivot, moved to the end.
        const int32_t middle = begin + (end - begin) / 2;
        const uint64_t k0 = key_along(items[begin], axis), k1 = key_along(items[middle], axis),
                       k2 = key_along(items[end - 1], axis);
        const int32_t chosen = (k0 < k1) == (k1 < k2) ? middle : ((k1 < k0) == (k0 < k2) ? begin : end - 1);
        std::swap(items[chosen], items[end - 1]);
        const uint64_t pivot = key_along(items[end - 1], axis);
        int32_t lower = begin;
        for (int32_t i = begin; i < end - 1; ++i) {
            const Centre item = items[i];
            const bool below = key_along(item, axis) < pivot;
            items[i] = items[lower];
            items[lower] = item;
            lower += below;
        }
        std::swap(items[lower], items[end - 1]);
        if (lower == nth) return;
        if (nth < lower) {
            end = lower;
        } else {
            begin = lower + 1;
        }
    }
    sort_along(items, begin, end, axis);
}

void grow(TreeNode& node, const float* lo, const float* hi) {
    for (int axis = 0; axis < 3; ++axis) {
        node.lo[axis] = std::min(node.lo[axis], lo[axis]);
        node.hi[axis] = std::max(node.hi[axis], hi[axis]);
    }
}

// The node of `task`, a leaf or a split into two halves whose tasks it returns (their nodes at
// their places in the depth-first order).
bool split_task(const BuildTask& task, Centre* items, TreeNode* nodes, BuildTask* halves) {
    TreeNode node{};
    node.end = task.end;
    const int32_t size = task.end - task.begin;
    node.link = -size;
    if (size <= LEAF_SIZE) {
        // A leaf's boxes in a fixed order too (along x), whatever the splits left.
        sort_along(items, task.begin, task.end, 0);
        nodes[task.node] = node;
        return false;
    }
    const int axis = widest_axis(items, task.begin, task.end);
    const int32_t middle = task.begin + size / 2;
    select_nth(items, task.begin, middle, task.end, axis);
    halves[0] = {task.begin, middle, task.node + 1};
    halves[1] = {middle, task.end, static_cast<int32_t>(task.node + 1 + node_count(middle - task.begin))};
    node.link = halves[1].node;
    nodes[task.node] = node;
    return true;
}

// A whole subtree on the calling thread, depth-first; `stack` has room for its depth.
void build_subtree(const BuildTask& root, Centre* items, TreeNode* nodes, BuildTask* stack) {
    int32_t depth = 0;
    stack[depth++] = root;
    while (depth > 0) {
        const BuildTask task = stack[--depth];
        BuildTask halves[2];
        if (split_task(task, items, nodes, halves)) {
            stack[depth++] = halves[1];
            stack[depth++] = halves[0];
        }
    }
}

// The bounds of nodes first .. last - 1 (a subtree, or nodes whose children have theirs),
// children before parents: depth-first order puts them after it.
void compute_bounds(BoxTree& tree, int64_t first, int64_t last) {
    for (int64_t i = last; i-- > first;) {
        TreeNode& node = tree.nodes[static_cast<size_t>(i)];
        for (int axis = 0; axis < 3; ++axis) {
            node.lo[axis] = INFINITY;
            node.hi[axis] = -INFINITY;
        }
        if (node.link < 0) {
            for (int32_t p = node.end + node.link; p < node.end; ++p) {
                grow(node, tree.boxes[static_cast<size_t>(p)].lo, tree.boxes[static_cast<size_t>(p)].hi);
            }
        } else {
            grow(node, tree.nodes[static_cast<size_t>(i) + 1].lo, tree.nodes[static_cast<size_t>(i) + 1].hi);
            grow(node, tree.nodes[static_cast<size_t>(node.link)].lo, tree.nodes[static_cast<size_t>(node.link)].hi);
        }
    }
}

int32_t pieces_of(int64_t count, int32_t piece) { return static_cast<int32_t>((count + piece - 1) / piece); }

}  // namespace

bool build_box_tree(const VertexBox* boxes, int32_t count, BoxTree& tree, int32_t workers) {
    tree.nodes.clear();
    // One box more than there are: four floats from the last box's upper bounds stay inside.
    if (!tree.order.resize(static_cast<size_t>(count)) || !tree.boxes.resize(static_cast<size_t>(count) + 1)) {
        return false;
    }
    tree.boxes[static_cast<size_t>(count)] = VertexBox{};
    if (count == 0) return true;
    PlainBuffer<Centre> items;
    PlainBuffer<BuildTask> level, next, subtrees, upper;
    if (!items.resize(static_cast<size_t>(count)) || !tree.nodes.resize(static_cast<size_t>(node_count(count))) ||
        !level.reserve(1) || !level.push_back({0, count, 0})) {
        return false;
    }
    Centre* const item = items.data();
    TreeNode* const nodes = tree.nodes.data();
    auto centres = [&](int32_t piece) {
        const int32_t last = std::min(count, (piece + 1) * PASS_PIECE);
        for (int32_t i = piece * PASS_PIECE; i < last; ++i) {
            // Halves first, so that boxes near the float range's ends cannot overflow.
            for (int axis = 0; axis < 3; ++axis) item[i].c[axis] = 0.5f * boxes[i].lo[axis] + 0.5f * boxes[i].hi[axis];
            item[i].box = i;
        }
    };
    for_each_piece(workers, pieces_of(count, PASS_PIECE), centres);

    // The upper levels: each task of a level split side by side, its halves the next level's.
    while (!level.empty()) {
        next.clear();
        if (!next.resize(2 * level.size())) return false;
        PlainBuffer<uint8_t> split;
        if (!split.resize(level.size())) return false;
        auto split_level = [&](int32_t k) {
            const BuildTask& task = level[static_cast<size_t>(k)];
            split[static_cast<size_t>(k)] = task.end - task.begin > SUBTREE_SIZE &&
                                            split_task(task, item, nodes, &next[2 * static_cast<size_t>(k)]);
        };
        for_each_piece(workers, static_cast<int32_t>(level.size()), split_level);
        PlainBuffer<BuildTask> following;
        for (size_t k = 0; k < level.size(); ++k) {
            if (!split[k]) {
                if (!subtrees.push_back(level[k])) return false;
            } else if (!upper.push_back(level[k]) || !following.push_back(next[2 * k]) ||
                       !following.push_back(next[2 * k + 1])) {
                return false;
            }
        }
        level.swap(following);
    }

    // The subtrees, each whole on one thread. Their depth is under log2(SUBTREE_SIZE) + 1 and
    // the stack holds at most two tasks a level.
    auto build = [&](int32_t k) {
        BuildTask stack[64];
        build_subtree(subtrees[static_cast<size_t>(k)], item, nodes, stack);
    };
    for_each_piece(workers, static_cast<int32_t>(subtrees.size()), build);

    auto place = [&](int32_t piece) {
        const int32_t last = std::min(count, (piece + 1) * PASS_PIECE);
        for (int32_t p = piece * PASS_PIECE; p < last; ++p) {
            const int32_t box = item[p].box;
            tree.order[static_cast<size_t>(p)] = box;
            tree.boxes[static_cast<size_t>(p)] = boxes[box];
        }
    };
    for_each_piece(workers, pieces_of(count, PASS_PIECE), place);
    auto subtree_bounds = [&](int32_t k) {
        const BuildTask& task = subtrees[static_cast<size_t>(k)];
        compute_bounds(tree, task.node, task.node + node_count(task.end - task.begin));
    };
    for_each_piece(workers, static_cast<int32_t>(subtrees.size()), subtree_bounds);
    // The upper nodes last, each after the nodes below it: those have higher numbers.
    for (size_t k = upper.size(); k-- > 0;) compute_bounds(tree, upper[k].node, upper[k].node + 1);
    return true;
}

}  // namespace cellprox
