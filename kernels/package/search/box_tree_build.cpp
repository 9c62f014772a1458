// The box tree's building: top-down by median splits, stored depth-first, each node's bounds
// from its children's.
#include "kernels/package/search/box_tree.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace cellprox {

namespace {

struct Centre {
    float c[3];
    int32_t box;
};

struct BuildTask {
    int32_t begin;
    int32_t end;
    int32_t parent;   // the node whose right child this is, or -1 for a left child or the root
};

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

// Every node's bounds, children before parents: depth-first order puts them after it.
void compute_bounds(BoxTree& tree) {
    for (size_t i = tree.nodes.size(); i-- > 0;) {
        TreeNode& node = tree.nodes[i];
        for (int axis = 0; axis < 3; ++axis) {
            node.lo[axis] = INFINITY;
            node.hi[axis] = -INFINITY;
        }
        if (node.link < 0) {
            for (int32_t p = node.end + node.link; p < node.end; ++p) {
                grow(node, tree.boxes[static_cast<size_t>(p)].lo, tree.boxes[static_cast<size_t>(p)].hi);
            }
        } else {
            grow(node, tree.nodes[i + 1].lo, tree.nodes[i + 1].hi);
            grow(node, tree.nodes[static_cast<size_t>(node.link)].lo, tree.nodes[static_cast<size_t>(node.link)].hi);
        }
    }
}

}  // namespace

bool build_box_tree(const VertexBox* boxes, int32_t count, BoxTree& tree) {
    tree.nodes.clear();
    // One box more than there are: four floats from the last box's upper bounds stay inside.
    if (!tree.order.resize(static_cast<size_t>(count)) || !tree.boxes.resize(static_cast<size_t>(count) + 1)) {
        return false;
    }
    tree.boxes[static_cast<size_t>(count)] = VertexBox{};
    if (count == 0) return true;
    PlainBuffer<Centre> items;
    PlainBuffer<BuildTask> tasks;
    // A median split leaves at most twice as many nodes as leaves, and a leaf holds at least one box.
    if (!items.resize(static_cast<size_t>(count)) || !tree.nodes.reserve(2 * static_cast<size_t>(count)) ||
        !tasks.reserve(128)) {
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        // Halves first, so that boxes near the float range's ends cannot overflow.
        for (int axis = 0; axis < 3; ++axis) items[static_cast<size_t>(i)].c[axis] = 0.5f * boxes[i].lo[axis] + 0.5f * boxes[i].hi[axis];
        items[static_cast<size_t>(i)].box = i;
    }
    tasks.push_back({0, count, -1});
    while (!tasks.empty()) {
        const BuildTask task = tasks[tasks.size() - 1];
        tasks.shrink_to(tasks.size() - 1);
        const int32_t index = static_cast<int32_t>(tree.nodes.size());
        if (task.parent >= 0) tree.nodes[static_cast<size_t>(task.parent)].link = index;
        TreeNode node{};
        node.end = task.end;
        const int32_t size = task.end - task.begin;
        node.link = -size;
        if (!tree.nodes.push_back(node)) return false;
        if (size <= LEAF_SIZE) {
            // A leaf's boxes in a fixed order too (along x), whatever the splits left.
            sort_along(items.data(), task.begin, task.end, 0);
            continue;
        }
        const int axis = widest_axis(items.data(), task.begin, task.end);
        const int32_t middle = task.begin + size / 2;
        select_nth(items.data(), task.begin, middle, task.end, axis);
        // The right half waits on the stack while the left one is built right after its parent.
        if (!tasks.push_back({middle, task.end, index}) || !tasks.push_back({task.begin, middle, -1})) return false;
    }
    for (int32_t p = 0; p < count; ++p) {
        const int32_t box = items[static_cast<size_t>(p)].box;
        tree.order[static_cast<size_t>(p)] = box;
        tree.boxes[static_cast<size_t>(p)] = boxes[box];
    }
    compute_bounds(tree);
    return true;
}

}  // namespace cellprox
