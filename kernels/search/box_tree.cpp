// The box tree: built top-down by median splits, stored depth-first, queried with a stack.
#include "kernels/search/box_tree.h"

#include "kernels/lanes/lanes.h"

#include <algorithm>
#include <cfloat>
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

// x rounded to a float no greater (below = true) or no less than it; beyond the float range,
// the infinity on that side.
float outward_float(double x, bool below) {
    if (std::isnan(x)) return below ? -INFINITY : INFINITY;
    if (x < -double(FLT_MAX)) return below ? -INFINITY : -FLT_MAX;
    if (x > double(FLT_MAX)) return below ? FLT_MAX : INFINITY;
    float f = static_cast<float>(x);
    if (below && double(f) > x) f = std::nextafter(f, -INFINITY);
    if (!below && double(f) < x) f = std::nextafter(f, INFINITY);
    return f;
}

// Whether the node's bounds meet the window: four lanes at once, the fourth (the node's `end`
// and `link` read as floats, the window's padding) left out of the verdict.
struct WindowLanes {
    Float4 lo;
    Float4 hi;
};

inline WindowLanes window_lanes(const QueryWindow& window) {
    const float lo[4] = {window.lo[0], window.lo[1], window.lo[2], 0.0f};
    const float hi[4] = {window.hi[0], window.hi[1], window.hi[2], 0.0f};
    return {Float4::load(lo), Float4::load(hi)};
}

inline bool meets(const TreeNode& node, const WindowLanes& window) {
    const Mask4 below = greater(Float4::load(node.lo), window.hi);   // lo.x lo.y lo.z end
    const Mask4 above = less(Float4::load(node.hi), window.lo);      // hi.x hi.y hi.z link
    return (lanes_set(below | above) & 7) == 0;
}

}  // namespace

bool build_box_tree(const SearchBox* boxes, int32_t count, BoxTree& tree) {
    tree.nodes.clear();
    // One box more than there are: four floats from the last box's upper bounds stay inside.
    if (!tree.order.resize(static_cast<size_t>(count)) || !tree.boxes.resize(static_cast<size_t>(count) + 1)) {
        return false;
    }
    tree.boxes[static_cast<size_t>(count)] = SearchBox{};
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
        if (size <= kLeafSize) {
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

QueryWindow query_window(const SearchBox& box, double reach) {
    QueryWindow window;
    for (int axis = 0; axis < 3; ++axis) {
        // A little more than the reach: the window only has to hold every box that boxes_within
        // admits, whose double subtraction may round a gap down to the reach.
        const double lo = double(box.lo[axis]), hi = double(box.hi[axis]);
        const double slack = (std::fabs(lo) + std::fabs(hi) + reach) * 0x1p-40;
        window.lo[axis] = outward_float(lo - reach - slack, true);
        window.hi[axis] = outward_float(hi + reach + slack, false);
    }
    return window;
}

bool boxes_after_group(const BoxTree& tree, int32_t first, int32_t last, double reach,
                       PlainBuffer<int32_t>& stack, PlainBuffer<int32_t>* found) {
    if (tree.nodes.empty() || !(reach >= 0.0) || first >= last) return true;
    // One walk for the whole group, through the union of its windows: the boxes of a group lie
    // together, so their walks would visit nearly the same nodes. Each box the walk meets is
    // then tested against all the group's windows at once, their bounds side by side in lanes
    // (a window of nothing in the lanes of no box), and only the windows it meets ask the exact
    // rule: which ones they are is anybody's guess, so no branch asks it window by window.
    static_assert(kLeafSize % 4 == 0, "a group's windows fill whole lanes");
    constexpr int32_t QUADS = kLeafSize / 4;
    float bounds[6][kLeafSize];   // lower x, y, z, then upper, of each window
    for (int32_t k = 0; k < kLeafSize; ++k) {
        for (int axis = 0; axis < 3; ++axis) {
            bounds[axis][k] = INFINITY;
            bounds[3 + axis][k] = -INFINITY;
        }
    }
    QueryWindow window = query_window(tree.boxes[static_cast<size_t>(first)], reach);
    for (int32_t p = first; p < last; ++p) {
        const QueryWindow own = query_window(tree.boxes[static_cast<size_t>(p)], reach);
        for (int axis = 0; axis < 3; ++axis) {
            bounds[axis][p - first] = own.lo[axis];
            bounds[3 + axis][p - first] = own.hi[axis];
            window.lo[axis] = std::min(window.lo[axis], own.lo[axis]);
            window.hi[axis] = std::max(window.hi[axis], own.hi[axis]);
        }
    }
    Float4 lanes_low[3][QUADS], lanes_high[3][QUADS];
    for (int axis = 0; axis < 3; ++axis) {
        for (int32_t quad = 0; quad < QUADS; ++quad) {
            lanes_low[axis][quad] = Float4::load(bounds[axis] + 4 * quad);
            lanes_high[axis][quad] = Float4::load(bounds[3 + axis] + 4 * quad);
        }
    }
    const WindowLanes lanes = window_lanes(window);
    const TreeNode* nodes = tree.nodes.data();
    // The stack never holds more than the tree's depth plus one node a level: make room once.
    if (!stack.resize(2 * 64 + 2)) return false;
    int32_t* top = stack.data();
    if (nodes[0].end <= first + 1 || !meets(nodes[0], lanes)) return true;
    *top++ = 0;
    while (top != stack.data()) {
        const int32_t index = *--top;
        const TreeNode& node = nodes[index];
        if (node.link < 0) {
            for (int32_t q = std::max(node.end + node.link, first + 1); q < node.end; ++q) {
                const SearchBox& other = tree.boxes[static_cast<size_t>(q)];
                unsigned meeting = 0;
                for (int32_t quad = 0; quad < QUADS; ++quad) {
                    Mask4 apart = less(broadcast<Float4>(other.hi[0]), lanes_low[0][quad]) |
                                  greater(broadcast<Float4>(other.lo[0]), lanes_high[0][quad]);
                    for (int axis = 1; axis < 3; ++axis) {
                        apart = apart | less(broadcast<Float4>(other.hi[axis]), lanes_low[axis][quad]) |
                                greater(broadcast<Float4>(other.lo[axis]), lanes_high[axis][quad]);
                    }
                    meeting |= static_cast<unsigned>(~lanes_set(apart) & 15) << (4 * quad);
                }
                // Only the group's boxes before q (positions up to q are asked by their own queries).
                if (q - first < kLeafSize) meeting &= (1u << (q - first)) - 1;
                for (; meeting != 0; meeting &= meeting - 1) {
                    const int32_t p = first + __builtin_ctz(meeting);
                    if (boxes_within(tree.boxes[static_cast<size_t>(p)], other, reach) &&
                        !found[p - first].push_back(q)) {
                        return false;
                    }
                }
            }
            continue;
        }
        // Children are tested before they are stacked; positions up to the group's first are
        // asked about by their own queries.
        const int32_t right = node.link;
        *top = right;
        top += nodes[right].end > first + 1 && meets(nodes[right], lanes);
        *top = index + 1;
        top += nodes[index + 1].end > first + 1 && meets(nodes[index + 1], lanes);
    }
    return true;
}

bool boxes_after(const BoxTree& tree, int32_t p, double reach, PlainBuffer<int32_t>& stack,
                 PlainBuffer<int32_t>& found) {
    return boxes_after_group(tree, p, p + 1, reach, stack, &found);
}

}  // namespace cellprox
