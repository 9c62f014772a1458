#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "kernels/hull_candidates.h"

using namespace cellprox;

namespace {

std::set<std::pair<int32_t, int32_t>> found(const std::vector<HullBox>& boxes, double threshold) {
    HullBuffer<HullPair> pairs;
    EXPECT_TRUE(candidate_pairs(boxes.data(), static_cast<int32_t>(boxes.size()), threshold, pairs));
    std::set<std::pair<int32_t, int32_t>> result;
    for (size_t k = 0; k < pairs.size(); ++k) {
        EXPECT_LT(pairs[k].first, pairs[k].second);
        EXPECT_TRUE(result.insert({pairs[k].first, pairs[k].second}).second) << "a pair twice";
    }
    return result;
}

std::set<std::pair<int32_t, int32_t>> every_pair(const std::vector<HullBox>& boxes, double threshold) {
    std::set<std::pair<int32_t, int32_t>> result;
    for (int32_t i = 0; i < static_cast<int32_t>(boxes.size()); ++i) {
        for (int32_t j = i + 1; j < static_cast<int32_t>(boxes.size()); ++j) {
            if (boxes_within(boxes[i], boxes[j], threshold)) result.insert({i, j});
        }
    }
    return result;
}

HullBox cube(double x, double y, double z, double side) { return {{x, y, z}, {x + side, y + side, z + side}}; }

}  // namespace

TEST(HullCandidates, EveryPairOfMixedSizesOnceAsTheDirectTestFindsThem) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> place(0.0, 10.0);
    std::uniform_real_distribution<double> size(0.0, 1.0);
    for (double threshold : {0.0, 0.05, 0.7}) {
        std::vector<HullBox> boxes;
        for (int k = 0; k < 600; ++k) {
            const double side = k % 50 == 0 ? 6.0 : (k % 7 == 0 ? 0.0 : size(random));   // giants, points
            HullBox b = cube(place(random), place(random), place(random), side);
            b.upper[k % 3] += size(random);     // not all cubes
            boxes.push_back(b);
        }
        EXPECT_EQ(found(boxes, threshold), every_pair(boxes, threshold)) << "threshold " << threshold;
    }
}

TEST(HullCandidates, GapsOfExactlyTheThresholdCountAnywhere) {
    for (double offset : {0.0, 70000.0, -1.0e6, 3.0e7}) {
        // Faces touching, a gap of exactly the threshold, and one just beyond it.
        const std::vector<HullBox> boxes{cube(offset, 0, 0, 1), cube(offset + 1, 0, 0, 1),
                                         cube(offset + 2.5, 0, 0, 1), cube(offset + 4.0 + 0.5 + 1.0 / 64, 0, 0, 1)};
        const std::set<std::pair<int32_t, int32_t>> expected{{0, 1}, {1, 2}};
        EXPECT_EQ(found(boxes, 0.5), expected) << "offset " << offset;
    }
    EXPECT_TRUE(found({cube(0, 0, 0, 1)}, 1.0).empty());
    EXPECT_TRUE(found({}, 1.0).empty());
}

TEST(HullCandidates, ScenesWithoutExtentOrOfExtremeSpan) {
    // Every box one and the same point; points a float's smallest step apart; the float range's
    // two ends together with ordinary boxes.
    const std::vector<HullBox> same(5, cube(0, 0, 0, 0));
    EXPECT_EQ(found(same, 0.0).size(), 10u);
    std::vector<HullBox> tiny;
    for (int k = 0; k < 6; ++k) tiny.push_back(cube(k * 1.4e-45, 0, 0, 0));
    EXPECT_EQ(found(tiny, 1.4e-45), every_pair(tiny, 1.4e-45));
    const std::vector<HullBox> extreme{cube(-3.4e38, 0, 0, 1), cube(3.4e38, 0, 0, 1), cube(0, 0, 0, 1),
                                       cube(1, 0, 0, 1), cube(3.4e38, 0, 0, 0)};
    EXPECT_EQ(found(extreme, 0.0), every_pair(extreme, 0.0));
}
