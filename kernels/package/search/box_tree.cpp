// The box tree's queries: walked with a stack, a leaf's worth of boxes at a time (building it:
// box_tree_build.cpp).
#include "kernels/package/search/box_tree.h"

#include "kernels/common/lanes/lanes.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace cellprox {

namespace {

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

inline WindowLanes window_lanes(const VertexBox& window) {
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

VertexBox query_window(const VertexBox& box, double reach) {
    VertexBox window;
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
    static_assert(LEAF_SIZE % 4 == 0, "a group's windows fill whole lanes");
    constexpr int32_t QUADS = LEAF_SIZE / 4;
    float bounds[6][LEAF_SIZE];   // lower x, y, z, then upper, of each window
    for (int32_t k = 0; k < LEAF_SIZE; ++k) {
        for (int axis = 0; axis < 3; ++axis) {
            bounds[axis][k] = INFINITY;
            bounds[3 + axis][k] = -INFINITY;
        }
    }
    VertexBox window = query_window(tree.boxes[static_cast<size_t>(first)], reach);
    for (int32_t p = first; p < last; ++p) {
        const VertexBox own = query_window(tree.boxes[static_cast<size_t>(p)], reach);
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
                const VertexBox& other = tree.boxes[static_cast<size_t>(q)];
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
                if (q - first < LEAF_SIZE) meeting &= (1u << (q - first)) - 1;
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

bool boxes_near(const BoxTree& tree, const VertexBox& box, double reach, PlainBuffer<int32_t>& stack,
                PlainBuffer<int32_t>& found) {
    if (tree.nodes.empty() || !(reach >= 0.0)) return true;
    const VertexBox window = query_window(box, reach);
    const WindowLanes lanes = window_lanes(window);
    const TreeNode* nodes = tree.nodes.data();
    if (!stack.resize(2 * 64 + 2)) return false;
    int32_t* top = stack.data();
    if (!meets(nodes[0], lanes)) return true;
    *top++ = 0;
    while (top != stack.data()) {
        const int32_t index = *--top;
        const TreeNode& node = nodes[index];
        if (node.link < 0) {
            for (int32_t q = node.end + node.link; q < node.end; ++q) {
                const VertexBox& other = tree.boxes[static_cast<size_t>(q)];
                bool apart = false;
                for (int axis = 0; axis < 3; ++axis) {
                    apart |= other.hi[axis] < window.lo[axis] || other.lo[axis] > window.hi[axis];
                }
                if (!apart && !found.push_back(q)) return false;
            }
            continue;
        }
        const int32_t right = node.link;
        *top = right;
        top += meets(nodes[right], lanes);
        *top = index + 1;
        top += meets(nodes[index + 1], lanes);
    }
    return true;
}

bool boxes_after(const BoxTree& tree, int32_t p, double reach, PlainBuffer<int32_t>& stack,
                 PlainBuffer<int32_t>& found) {
    return boxes_after_group(tree, p, p + 1, reach, stack, &found);
}

}  // namespace cellprox
