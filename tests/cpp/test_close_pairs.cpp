// The whole search against every pair measured plainly, for both rules, and what it promises
// beside: placement does not matter, a watch can stop it, origins too far apart are reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "kernels/package/exact/exact_cells.h"
#include "kernels/package/hull/hull_distance.h"
#include "kernels/package/search/close_pairs.h"
#include "box_scene.h"

using namespace cellprox;

namespace {

TestScene random_boxes(int n, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    TestScene scene;
    for (int i = 0; i < n; ++i) {
        const float lo[3] = {unit(random), unit(random), unit(random)};
        const float size[3] = {0.02f + 0.1f * unit(random), 0.02f + 0.1f * unit(random), 0.02f + 0.1f * unit(random)};
        scene.add_box(lo, size, static_cast<int32_t>(random() % 2));
    }
    return scene;
}

using Found = std::vector<std::tuple<int32_t, int32_t, float>>;

Found search(const TestScene& scene, ProximityRule rule, double threshold, const WorkWatch* watch = nullptr,
             ProximityStatus expected = ProximityStatus::ok) {
    ProximityResult result;
    EXPECT_EQ(find_close_pairs(scene.view(), {rule, threshold, false}, 1, watch, result), expected);
    Found found;
    for (size_t k = 0; k < result.pairs.size(); ++k) {
        found.emplace_back(result.pairs[k].first, result.pairs[k].second, result.distances[k]);
    }
    return found;
}

// Every pair measured with the plain rule, and the distance between origins in double.
Found every_pair(const TestScene& scene, ProximityRule rule, double threshold) {
    Found found;
    const int32_t n = static_cast<int32_t>(scene.collections.size());
    HullWorkspace work;
    EXPECT_TRUE(work.reserve(64));
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t j = i + 1; j < n; ++j) {
            const CellView a = scene.cell(i), b = scene.cell(j);
            bool close;
            if (rule == ProximityRule::hull) {
                close = hull_distance({a.vertices, a.v_count}, {b.vertices, b.v_count}, INFINITY, work) <= threshold;
            } else {
                close = a.collection == b.collection ? plain_vertices_close(a, b, threshold) : plain_edges_close(a, b, threshold);
            }
            if (!close) continue;
            const float* p = &scene.origins[3 * static_cast<size_t>(i)];
            const float* q = &scene.origins[3 * static_cast<size_t>(j)];
            found.emplace_back(i, j, float(std::sqrt(std::pow(double(p[0]) - q[0], 2) + std::pow(double(p[1]) - q[1], 2) +
                                                     std::pow(double(p[2]) - q[2], 2))));
        }
    }
    return found;
}

}  // namespace

TEST(ClosePairs, BothRulesFindEveryPairThePlainLoopsFind) {
    const TestScene scene = random_boxes(400, 1);
    for (ProximityRule rule : {ProximityRule::vertices_edges, ProximityRule::hull}) {
        for (double threshold : {0.001, 0.02, 0.2}) {
            const Found expected = every_pair(scene, rule, threshold);
            EXPECT_EQ(search(scene, rule, threshold), expected) << int(rule) << " at " << threshold;
            EXPECT_FALSE(expected.empty());
        }
    }
}

TEST(ClosePairs, CellsElsewhereChangeNoPair) {
    const TestScene alone = random_boxes(300, 2);
    TestScene spread = alone;
    const float size[3] = {0.1f, 0.1f, 0.1f};
    for (float at : {1e6f, -1e8f, 1e30f, -1e30f}) {
        const float lo[3] = {at, at / 2, -at};
        spread.add_box(lo, size, 0);
    }
    for (ProximityRule rule : {ProximityRule::vertices_edges, ProximityRule::hull}) {
        EXPECT_EQ(search(spread, rule, 0.01), search(alone, rule, 0.01));
    }
}

TEST(ClosePairs, AWatchSeesProgressAndCanStopTheSearch) {
    const TestScene scene = random_boxes(5000, 3);
    struct Seen {
        int64_t last = 0, total = 0;
        int calls = 0;
        int stop_after;
    };
    const auto follow = [](void* context, int64_t done, int64_t total) {
        Seen& seen = *static_cast<Seen*>(context);
        EXPECT_GT(done, seen.last);
        seen.last = done;
        seen.total = total;
        return ++seen.calls < seen.stop_after;
    };
    Seen all{0, 0, 0, 1 << 30};
    WorkWatch watch{follow, &all};
    EXPECT_EQ(search(scene, ProximityRule::vertices_edges, 0.01, &watch), search(scene, ProximityRule::vertices_edges, 0.01));
    EXPECT_EQ(all.last, 5000);
    EXPECT_EQ(all.total, 5000);
    Seen stopped{0, 0, 0, 1};
    watch.context = &stopped;
    search(scene, ProximityRule::hull, 0.01, &watch, ProximityStatus::stopped);
    EXPECT_EQ(stopped.calls, 1);
}

TEST(ClosePairs, OriginsTooFarApartForAFloatDistanceAreReported) {
    TestScene scene;
    const float size[3] = {1, 1, 1}, a[3] = {0, 0, 0}, b[3] = {1, 0, 0};
    scene.add_box(a, size, 0);
    scene.add_box(b, size, 0);
    scene.origins = {-3e38f, 0, 0, 3e38f, 0, 0};
    ProximityResult result;
    EXPECT_EQ(find_close_pairs(scene.view(), {ProximityRule::hull, 0.0, false}, 1, nullptr, result),
              ProximityStatus::origin_overflow);
    EXPECT_EQ(result.overflow_first, 0);
    EXPECT_EQ(result.overflow_second, 1);
    EXPECT_DOUBLE_EQ(result.overflow_distance, 2 * double(3e38f));
}

// The team's count changes nothing, bit for bit: pairs, distances, gaps, witnesses, counts.
TEST(ClosePairs, AnyNumberOfWorkersGivesTheSameResult) {
    const TestScene scene = random_boxes(20000, 4);
    for (ProximityRule rule : {ProximityRule::vertices_edges, ProximityRule::hull}) {
        const ProximityQuery query{rule, 0.02, rule == ProximityRule::hull};
        ProximityResult alone;
        ASSERT_EQ(find_close_pairs(scene.view(), query, 1, nullptr, alone), ProximityStatus::ok);
        ASSERT_GT(alone.pairs.size(), 1000u);
        for (int32_t workers : {2, 3, 8}) {
            ProximityResult team;
            ASSERT_EQ(find_close_pairs(scene.view(), query, workers, nullptr, team), ProximityStatus::ok);
            ASSERT_EQ(alone.pairs.size(), team.pairs.size()) << workers;
            EXPECT_EQ(alone.candidates, team.candidates);
            for (size_t k = 0; k < alone.pairs.size(); ++k) {
                ASSERT_EQ(alone.pairs[k].first, team.pairs[k].first);
                ASSERT_EQ(alone.pairs[k].second, team.pairs[k].second);
            }
            EXPECT_EQ(std::memcmp(alone.distances.data(), team.distances.data(), alone.distances.size() * 4), 0);
            EXPECT_EQ(std::memcmp(alone.gaps.data(), team.gaps.data(), alone.gaps.size() * 8), 0);
            EXPECT_EQ(std::memcmp(alone.witnesses.data(), team.witnesses.data(), alone.witnesses.size() * 8), 0);
        }
    }
}
