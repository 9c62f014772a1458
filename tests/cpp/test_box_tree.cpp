// The box tree against the plain double loop over every pair, on the scenes that break grids:
// mixed sizes, far outliers, clusters, one box spanning everything, empty and repeated boxes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "kernels/package/search/box_tree.h"

using namespace cellprox;

namespace {

using PairSet = std::set<std::pair<int32_t, int32_t>>;

VertexBox make_box(float x, float y, float z, float size) { return {{x, y, z}, {x + size, y + size, z + size}}; }

PairSet by_tree(const std::vector<VertexBox>& boxes, double reach) {
    BoxTree tree;
    EXPECT_TRUE(build_box_tree(boxes.data(), static_cast<int32_t>(boxes.size()), tree));
    PlainBuffer<int32_t> stack, found;
    PairSet pairs;
    for (int32_t p = 0; p < static_cast<int32_t>(boxes.size()); ++p) {
        found.clear();
        EXPECT_TRUE(boxes_after(tree, p, reach, stack, found));
        for (size_t k = 0; k < found.size(); ++k) {
            const int32_t a = tree.order[static_cast<size_t>(p)], b = tree.order[static_cast<size_t>(found[k])];
            EXPECT_TRUE(pairs.insert({std::min(a, b), std::max(a, b)}).second) << "pair listed twice";
        }
    }
    return pairs;
}

PairSet by_every_pair(const std::vector<VertexBox>& boxes, double reach) {
    PairSet pairs;
    for (int32_t i = 0; i < static_cast<int32_t>(boxes.size()); ++i) {
        for (int32_t j = i + 1; j < static_cast<int32_t>(boxes.size()); ++j) {
            if (boxes_within(boxes[static_cast<size_t>(i)], boxes[static_cast<size_t>(j)], reach)) pairs.insert({i, j});
        }
    }
    return pairs;
}

std::vector<VertexBox> scene(int kind, int n, std::mt19937& random) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<VertexBox> boxes;
    for (int i = 0; i < n; ++i) {
        const float x = unit(random), y = unit(random), z = unit(random);
        switch (kind) {
            case 0: boxes.push_back(make_box(x, y, z, 0.05f)); break;                               // uniform
            case 1: boxes.push_back(make_box(x, y, z, i % 10 == 0 ? 0.5f : 0.01f)); break;          // mixed sizes
            case 2: boxes.push_back(make_box(x * 0.01f + (i % 3) * 5.0f, y * 0.01f, z * 0.01f, 0.001f)); break;  // clusters
            default: boxes.push_back(make_box(x * 100, y * 100, z * 100, unit(random) * 20)); break;
        }
    }
    return boxes;
}

}  // namespace

TEST(BoxTree, FindsEveryPairWithinReachOnceOnAnyDistribution) {
    std::mt19937 random(7);
    for (int kind = 0; kind < 4; ++kind) {
        for (double reach : {0.0, 0.003, 0.1}) {
            const std::vector<VertexBox> boxes = scene(kind, 300, random);
            EXPECT_EQ(by_tree(boxes, reach), by_every_pair(boxes, reach)) << "kind " << kind << " reach " << reach;
        }
    }
}

TEST(BoxTree, FarOutliersSpanningBoxesEmptyAndRepeatedBoxes) {
    std::mt19937 random(3);
    std::vector<VertexBox> boxes = scene(0, 200, random);
    boxes.push_back(make_box(1e30f, 1e30f, 1e30f, 1.0f));
    boxes.push_back(make_box(-1e30f, -1e30f, -1e30f, 1.0f));
    boxes.push_back({{-FLT_MAX, -FLT_MAX, -FLT_MAX}, {FLT_MAX, FLT_MAX, FLT_MAX}});   // spans everything
    boxes.push_back({{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}});   // a cell without vertices
    for (int i = 0; i < 20; ++i) boxes.push_back(make_box(0.5f, 0.5f, 0.5f, 0.0f));   // one point, many times
    for (double reach : {0.0, 0.01, 1e31}) EXPECT_EQ(by_tree(boxes, reach), by_every_pair(boxes, reach));
}

TEST(BoxTree, GapsExactlyAtTheReachCountAndJustBeyondDoNot) {
    // Boxes 0.25 apart along x: exactly representable, so the gap equals the reach.
    const std::vector<VertexBox> boxes = {make_box(0, 0, 0, 1), make_box(1.25f, 0, 0, 1), make_box(2.5f, 0, 0, 1)};
    EXPECT_EQ(by_tree(boxes, 0.25), (PairSet{{0, 1}, {1, 2}}));
    EXPECT_TRUE(by_tree(boxes, std::nextafter(0.25, 0.0)).empty());
    EXPECT_EQ(by_tree(boxes, 1.5), (PairSet{{0, 1}, {0, 2}, {1, 2}}));
    EXPECT_TRUE(by_tree(boxes, NAN).empty());
}

TEST(BoxTree, NoBoxesOrOne) {
    EXPECT_TRUE(by_tree({}, 1.0).empty());
    EXPECT_TRUE(by_tree({make_box(0, 0, 0, 1)}, 1.0).empty());
}

// Built on a team, level by level and subtree by subtree, the tree is the serial one node for
// node, on sizes around the split grain and with clustered and repeated centres.
TEST(BoxTree, AnyNumberOfWorkersBuildsTheSameTree) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int32_t n : {1, 9, 4096, 4097, 8193, 70001}) {
        std::vector<VertexBox> boxes;
        for (int32_t i = 0; i < n; ++i) {
            const float x = i % 7 == 0 ? 0.5f : unit(random);   // every seventh centre alike on x
            boxes.push_back(make_box(x, unit(random), i % 3 == 0 ? 1e30f : unit(random), 0.01f));
        }
        BoxTree alone;
        ASSERT_TRUE(build_box_tree(boxes.data(), n, alone, 1));
        for (int32_t workers : {2, 3, 8}) {
            BoxTree team;
            ASSERT_TRUE(build_box_tree(boxes.data(), n, team, workers));
            ASSERT_EQ(alone.nodes.size(), team.nodes.size());
            EXPECT_EQ(std::memcmp(alone.nodes.data(), team.nodes.data(), alone.nodes.size() * sizeof(TreeNode)), 0)
                << n << " boxes, " << workers << " workers";
            EXPECT_EQ(std::memcmp(alone.order.data(), team.order.data(), alone.order.size() * sizeof(int32_t)), 0);
        }
    }
}
