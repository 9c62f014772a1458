// The package's candidate search: a bounding-volume hierarchy over the cells' vertex boxes, and
// the query that lists, for one box, every later box within a distance along all three axes.
//
// The tree splits its boxes at the median of their centres along the widest spread, so its depth
// is log2(n) whatever the boxes look like: far outliers, clusters, boxes of every size. A query
// costs the path down plus the nodes whose bounds come within reach, and memory is O(n).
#pragma once

#include <cstdint>

#include "kernels/common/shared/plain_buffer.h"
#include "kernels/common/shared/vertex_box.h"

namespace cellprox {

// A node covers the boxes at positions [end - count, end) of the tree's order. Its children
// follow in depth-first order: the left one right after it, the right one at `link`. A leaf has
// link = -count.
struct TreeNode {
    float lo[3];
    int32_t end;
    float hi[3];
    int32_t link;
};

struct BoxTree {
    PlainBuffer<TreeNode> nodes;
    PlainBuffer<int32_t> order;      // order[p]: the box at position p
    PlainBuffer<VertexBox> boxes;    // boxes[p]: the box at position p (and one box of padding)
};

// Builds the tree over `count` boxes on up to `workers` threads (the same tree for any count).
// False when memory runs out.
bool build_box_tree(const VertexBox* boxes, int32_t count, BoxTree& tree, int32_t workers = 1);

// Whether the gap between boxes a and b is at most `reach` along every axis, compared in double
// precision: the candidates' exact rule. A NaN reach admits nothing.
inline bool boxes_within(const VertexBox& a, const VertexBox& b, double reach) {
    bool within = true;
    for (int axis = 0; axis < 3; ++axis) {
        within &= double(a.lo[axis]) - double(b.hi[axis]) <= reach;
        within &= double(b.lo[axis]) - double(a.hi[axis]) <= reach;
    }
    return within;
}

// The tree's query window for a box: its bounds moved out by `reach`, rounded outward to floats,
// so that every box within reach of it meets the window.
VertexBox query_window(const VertexBox& box, double reach);

// Boxes per leaf: a leaf's boxes are tested one after another, so a few of them cost less than
// the node that would tell them apart.
constexpr int32_t LEAF_SIZE = 8;

// For each position p of first .. last - 1 (at most LEAF_SIZE of them, lying together, as a
// leaf's do), appends to found[p - first] the position of every box after p (q > p) within
// `reach` of box p, in no particular order. `stack` is scratch room. False when memory runs out.
bool boxes_after_group(const BoxTree& tree, int32_t first, int32_t last, double reach,
                       PlainBuffer<int32_t>& stack, PlainBuffer<int32_t>* found);

// Appends to `found` the position of every box of the tree that may lie within `reach` of `box`
// (every one that does, and perhaps a few more: the caller applies boxes_within). `stack` is
// scratch room. False when memory runs out.
bool boxes_near(const BoxTree& tree, const VertexBox& box, double reach, PlainBuffer<int32_t>& stack,
                PlainBuffer<int32_t>& found);

// Appends to `found` the position of every box after position p (q > p) within `reach` of box
// p, in no particular order. `stack` is scratch room reused from query to query. False when
// memory runs out.
bool boxes_after(const BoxTree& tree, int32_t p, double reach, PlainBuffer<int32_t>& stack,
                 PlainBuffer<int32_t>& found);

}  // namespace cellprox
