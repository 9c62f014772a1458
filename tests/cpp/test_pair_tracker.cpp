// The tracker against a fresh search of every frame, for both rules, on many teams; its list
// against every pair of boxes; what began and ended against the two frames' pairs; and that a
// stopped frame leaves the state as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "kernels/package/frames/candidate_list.h"
#include "kernels/package/frames/pair_tracker.h"
#include "kernels/package/search/box_tree.h"
#include "kernels/package/search/close_pairs.h"
#include "box_scene.h"

using namespace cellprox;

namespace {

// Boxes of random size on a jittered lattice, two collections.
TestScene lattice_boxes(int side, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> jitter(-0.1f, 0.1f), size(0.5f, 0.9f);
    TestScene scene;
    for (int i = 0; i < side * side * side; ++i) {
        const float lo[3] = {float(i / (side * side)) + jitter(random), float(i / side % side) + jitter(random),
                             float(i % side) + jitter(random)};
        const float s = size(random);
        const float sides[3] = {s, s, s};
        scene.add_box(lo, sides, i % 2);
    }
    return scene;
}

std::vector<TrackedPair> pairs_of(const ProximityResult& result) {
    std::vector<TrackedPair> pairs;
    for (size_t k = 0; k < result.pairs.size(); ++k) pairs.push_back({result.pairs[k].first, result.pairs[k].second});
    return pairs;
}

void expect_same_result(const ProximityResult& fresh, const ProximityResult& tracked, bool hull) {
    ASSERT_EQ(fresh.pairs.size(), tracked.pairs.size());
    for (size_t k = 0; k < fresh.pairs.size(); ++k) {
        ASSERT_EQ(fresh.pairs[k].first, tracked.pairs[k].first) << k;
        ASSERT_EQ(fresh.pairs[k].second, tracked.pairs[k].second) << k;
        ASSERT_EQ(fresh.distances[k], tracked.distances[k]) << k;
        if (hull) {
            ASSERT_EQ(fresh.gaps[k], tracked.gaps[k]) << k;
        }
    }
    for (size_t k = 0; k < fresh.witnesses.size(); ++k) ASSERT_EQ(fresh.witnesses[k], tracked.witnesses[k]) << k;
}

// Follows the scene through drift, cells that leave their skin, a few leaps, a teleport and cells
// that collapse to a point,
// checking each frame against a fresh search and the changes against the frame before.
void follow_scene(ProximityRule rule, bool witnesses, int32_t workers) {
    TestScene scene = lattice_boxes(6, 3);
    const ProximityQuery query{rule, 0.15, witnesses};
    TrackerState state;
    int32_t largest = 12;   // the boxes have 8 vertices and 12 edges
    start_tracker(state, query, -1.0, scene.count(), largest);
    std::vector<float> previous;
    std::vector<TrackedPair> before;
    std::mt19937 random(11);
    std::uniform_real_distribution<float> step(-0.0005f, 0.0005f), far(-4.0f, 4.0f);
    int works[4] = {0, 0, 0, 0};
    for (int frame = 0; frame < 40; ++frame) {
        if (frame > 0) {
            for (int32_t i = 0; i < scene.count(); ++i) {
                const bool leap = frame % 13 == 0 && i % 7 == 0;
                // Creeping at first, then drifting faster than the skin.
                const float pace = frame < 13 ? 1.0f : 20.0f;
                const float by[3] = {leap ? far(random) : pace * step(random), pace * step(random), pace * step(random)};
                scene.move(i, by);
            }
        }
        if (frame % 10 == 7) {    // two cells leave their skin, not far
            const float by[3] = {0.1f, -0.05f, 0.0f};
            scene.move(3, by);
            scene.move(50, by);
        }
        if (frame == 25) {    // every cell somewhere else
            for (int32_t i = 0; i < scene.count(); ++i) {
                const float by[3] = {far(random), far(random), far(random)};
                scene.move(i, by);
            }
        }
        if (frame == 30) {    // a few cells collapse to their first vertex
            for (int32_t i = 0; i < scene.count(); i += 5) {
                for (int64_t v = scene.vertex_starts[size_t(i)] + 1; v < scene.vertex_starts[size_t(i) + 1]; ++v) {
                    std::copy_n(&scene.xyz[3 * size_t(scene.vertex_starts[size_t(i)])], 3, &scene.xyz[3 * size_t(v)]);
                }
            }
        }
        FrameInputs inputs{scene.view(), frame == 0 ? nullptr : previous.data()};
        FrameReport report;
        ASSERT_EQ(track_frame(state, inputs, workers, nullptr, report), ProximityStatus::ok) << frame;
        ProximityResult fresh;
        ASSERT_EQ(find_close_pairs(scene.view(), query, 1, nullptr, fresh), ProximityStatus::ok);
        expect_same_result(fresh, report.result, rule == ProximityRule::hull);
        const std::vector<TrackedPair> now = pairs_of(fresh);
        StreamBuffer<TrackedPair> began, ended;
        ASSERT_TRUE(pair_changes(before.data(), before.size(), now.data(), now.size(), began, ended));
        ASSERT_EQ(began.size(), report.began.size()) << frame;
        ASSERT_EQ(ended.size(), report.ended.size()) << frame;
        for (size_t k = 0; k < began.size(); ++k) ASSERT_TRUE(began[k] == report.began[k]);
        for (size_t k = 0; k < ended.size(); ++k) ASSERT_TRUE(ended[k] == report.ended[k]);
        ++works[static_cast<int>(report.work)];
        previous = scene.xyz;
        before = now;
    }
    EXPECT_GE(works[static_cast<int>(FrameWork::fresh)], 2);     // the first frame and the teleport
    EXPECT_GE(works[static_cast<int>(FrameWork::rebuilt)], 1);
    EXPECT_GE(works[static_cast<int>(FrameWork::relisted)], 1);
    EXPECT_GE(works[static_cast<int>(FrameWork::reused)], 10);
}

TEST(PairTracker, EveryFrameIsWhatAFreshSearchGivesForBothRulesOnAnyTeam) {
    for (const int32_t workers : {1, 3}) {
        follow_scene(ProximityRule::vertices_edges, false, workers);
        follow_scene(ProximityRule::hull, true, workers);
        follow_scene(ProximityRule::hull, false, workers);
    }
}

TEST(PairTracker, TheListHoldsEveryPairOfBoxesWithinReachSortedOnce) {
    const TestScene scene = lattice_boxes(5, 7);
    const SceneCells cells = scene.view();
    std::vector<VertexBox> boxes;
    for (int32_t i = 0; i < cells.count; ++i) boxes.push_back(vertex_box(cells, i));
    BoxTree tree;
    ASSERT_TRUE(build_box_tree(boxes.data(), cells.count, tree, 2));
    for (const double reach : {0.0, 0.2, 0.7}) {
        StreamBuffer<TrackedPair> list;
        ASSERT_EQ(list_candidates(tree, cells.count, reach, 2, nullptr, 0, cells.count, list),
                  ProximityStatus::ok);
        std::vector<TrackedPair> plain;
        for (int32_t i = 0; i < cells.count; ++i) {
            for (int32_t j = i + 1; j < cells.count; ++j) {
                if (boxes_within(boxes[size_t(i)], boxes[size_t(j)], reach)) plain.push_back({i, j});
            }
        }
        ASSERT_EQ(list.size(), plain.size()) << reach;
        for (size_t k = 0; k < plain.size(); ++k) ASSERT_TRUE(list[k] == plain[k]) << reach << " " << k;
    }
}

TEST(PairTracker, ChangesAreWhatEachFrameAloneHolds) {
    const std::vector<TrackedPair> before{{0, 1}, {0, 5}, {2, 3}, {4, 9}};
    const std::vector<TrackedPair> now{{0, 1}, {0, 2}, {4, 9}, {5, 6}, {7, 8}};
    StreamBuffer<TrackedPair> began, ended;
    ASSERT_TRUE(pair_changes(before.data(), before.size(), now.data(), now.size(), began, ended));
    ASSERT_EQ(began.size(), 3u);
    EXPECT_TRUE(began[0] == (TrackedPair{0, 2}) && began[1] == (TrackedPair{5, 6}) && began[2] == (TrackedPair{7, 8}));
    ASSERT_EQ(ended.size(), 2u);
    EXPECT_TRUE(ended[0] == (TrackedPair{0, 5}) && ended[1] == (TrackedPair{2, 3}));
    ASSERT_TRUE(pair_changes(nullptr, 0, now.data(), now.size(), began, ended));
    EXPECT_EQ(began.size(), now.size());
    EXPECT_EQ(ended.size(), 0u);
}

bool stop_at_once(void*, int64_t, int64_t) { return false; }

TEST(PairTracker, AStoppedFrameLeavesTheStateAsItWas) {
    TestScene scene = lattice_boxes(5, 5);
    const ProximityQuery query{ProximityRule::vertices_edges, 0.15, false};
    TrackerState state;
    start_tracker(state, query, 0.1, scene.count(), 12);
    FrameReport report;
    ASSERT_EQ(track_frame(state, {scene.view(), nullptr}, 1, nullptr, report), ProximityStatus::ok);
    const std::vector<float> first = scene.xyz;
    const float by[3] = {0.02f, 0.0f, 0.0f};
    for (int32_t i = 0; i < scene.count(); i += 3) scene.move(i, by);
    const WorkWatch stop{stop_at_once, nullptr};
    ASSERT_EQ(track_frame(state, {scene.view(), first.data()}, 2, &stop, report), ProximityStatus::stopped);
    EXPECT_EQ(state.frames, 1);
    EXPECT_FALSE(state.listed);
    ASSERT_EQ(track_frame(state, {scene.view(), first.data()}, 2, nullptr, report), ProximityStatus::ok);
    EXPECT_EQ(report.work, FrameWork::rebuilt);
    EXPECT_EQ(state.skin, 0.1);   // the caller's
    ProximityResult fresh;
    ASSERT_EQ(find_close_pairs(scene.view(), query, 1, nullptr, fresh), ProximityStatus::ok);
    expect_same_result(fresh, report.result, false);
}

}  // namespace

namespace {

TEST(PairTracker, WhereTrackingCostsMoreFramesAreSearchedAfreshForAPauseThenTriedAgain) {
    TestScene scene = lattice_boxes(16, 9);     // enough cells for the frames' clocks to count
    const ProximityQuery query{ProximityRule::vertices_edges, 0.15, false};
    TrackerState state;
    start_tracker(state, query, -1.0, scene.count(), 12);
    std::vector<float> previous;
    FrameReport report;
    const float by[3] = {0.001f, 0.0f, 0.0f};
    std::vector<FrameWork> works;
    for (int frame = 0; frame < 30; ++frame) {
        if (frame == 10) {
            // As if the tracked frames had cost ten times a fresh search.
            state.costs.fresh = 1e-3;
            state.costs.tracked = 1e-2;
            state.costs.tracked_frames = 100;
        }
        FrameInputs inputs{scene.view(), frame == 0 ? nullptr : previous.data()};
        ASSERT_EQ(track_frame(state, inputs, 2, nullptr, report), ProximityStatus::ok);
        ProximityResult fresh;
        ASSERT_EQ(find_close_pairs(scene.view(), query, 1, nullptr, fresh), ProximityStatus::ok);
        expect_same_result(fresh, report.result, false);
        works.push_back(report.work);
        if (frame >= 10) {
            // The costs the clocks measure here would decide otherwise: keep the test's.
            state.costs.fresh = 1e-3;
            state.costs.tracked = state.costs.tracked < 0.0 ? -1.0 : 1e-2;
        }
        previous = scene.xyz;
        for (int32_t i = 0; i < scene.count(); i += 2) scene.move(i, by);
    }
    for (int frame = 10; frame < 10 + 8; ++frame) EXPECT_EQ(works[size_t(frame)], FrameWork::fresh) << frame;
    EXPECT_EQ(works[18], FrameWork::rebuilt);   // tried again after the pause
    EXPECT_EQ(state.costs.pause, 32);            // and paused longer the next time
}

}  // namespace
