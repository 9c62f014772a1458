#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/common/distance/link_filter.h"
#include "kernels/deliverable/narrow/direct_link_distances.h"
#include "kernels/deliverable/narrow/neighbor_links.h"
#include "kernels/common/shared/cell.h"

using namespace cellprox;

namespace {

// A unit-square cell in the plane z = height, at x offset `x`.
struct SquareCell {
    SquareCell(float x, float height) {
        const float corners[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
        for (auto& c : corners) vertices.insert(vertices.end(), {x + c[0], c[1], height});
        edges = {0, 1, 1, 2, 2, 3, 3, 0};
    }
    std::vector<float> vertices;
    std::vector<int32_t> edges;
    std::vector<int32_t> links;
};

Cell record(const SquareCell& s, int32_t coll, int32_t links_start, float ox) {
    Cell c{};
    c.coll_index = coll;
    c.links_start = links_start;
    c.v_count = int32_t(s.vertices.size() / 3);
    c.e_count = int32_t(s.edges.size() / 2);
    c.n_count = int32_t(s.links.size());
    c.origin[0] = ox;
    c.vertices = s.vertices.data();
    c.edges = s.edges.data();
    c.cell_links = s.links.empty() ? nullptr : s.links.data();
    return c;
}

// Results equal; with an estimated square root (darwin), equal up to a few units in the last place.
::testing::AssertionResult same_distances(const std::vector<float>& got, const std::vector<float>& want) {
    bool same = got.size() == want.size();
    for (size_t k = 0; same && k < got.size(); ++k) {
#ifdef CELLPROX_APPROXIMATE_SQRT
        same = std::fabs(got[k] - want[k]) <= 1e-6f * std::fabs(want[k]);
#else
        same = got[k] == want[k];
#endif
    }
    if (same) return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    for (float v : got) failure << v << " ";
    return failure;
}

std::vector<float> run(const std::vector<Cell>& cells, int32_t n_links, float threshold) {
    std::vector<float> out(size_t(n_links) + 4, 123.0f);  // sentinels past the end
    NeighborQuery q{reinterpret_cast<const char*>(cells.data()), int32_t(cells.size()), n_links, threshold};
    compute_link_distances(q, out.data(), plain_loop_frame());
    for (size_t k = size_t(n_links); k < out.size(); ++k) EXPECT_EQ(out[k], 123.0f);
    out.resize(size_t(n_links));
    return out;
}

}  // namespace

TEST(NeighborLinks, SameCollectionComparesVerticesStrictly) {
    SquareCell a(0, 0), b(1.5f, 0);  // nearest vertices 0.5 apart
    a.links = {1};
    const std::vector<Cell> cells = {record(a, 0, 0, 0.0f), record(b, 0, -1, 3.0f)};
    EXPECT_TRUE(same_distances(run(cells, 1, 0.6f), std::vector<float>{3.0f}));  // the origin distance
#ifndef CELLPROX_APPROXIMATE_SQRT  // an estimated root may land either side of the threshold
    EXPECT_TRUE(same_distances(run(cells, 1, 0.5f), std::vector<float>{-1.0f}));  // exactly at it
#endif
    EXPECT_TRUE(same_distances(run(cells, 1, 0.0f), std::vector<float>{-1.0f}));
}

TEST(NeighborLinks, DifferentCollectionsCompareEdges) {
    // Squares in parallel planes 0.3 apart, vertices shifted so no vertex pair is close but
    // the edges cross in projection.
    SquareCell a(0, 0), b(0.5f, 0.3f);
    a.links = {1};
    std::vector<Cell> cells = {record(a, 0, 0, 0.0f), record(b, 1, -1, 4.0f)};
    EXPECT_TRUE(same_distances(run(cells, 1, 0.31f), std::vector<float>{4.0f}));
    EXPECT_TRUE(same_distances(run(cells, 1, 0.29f), std::vector<float>{-1.0f}));
    cells[1].e_count = 0;  // no edges on one side: never close
    EXPECT_TRUE(same_distances(run(cells, 1, 10.0f), std::vector<float>{-1.0f}));
}

TEST(NeighborLinks, InvalidNeighboursAndSlotsAreSkipped) {
    SquareCell a(0, 0), b(0, 0);
    a.links = {-1, 2, 1, 1};  // invalid, invalid, valid, valid
    std::vector<Cell> cells = {record(a, 0, 0, 0.0f), record(b, 0, -1, 2.0f)};
    EXPECT_TRUE(same_distances(run(cells, 4, 1.0f), (std::vector<float>{-1.0f, -1.0f, 2.0f, 2.0f})));
    // A run that starts below 0 or reaches past n_links writes only the slots inside.
    cells[0].links_start = -2;
    EXPECT_TRUE(same_distances(run(cells, 2, 1.0f), (std::vector<float>{2.0f, 2.0f})));
    cells[0].links_start = 1;
    EXPECT_TRUE(same_distances(run(cells, 3, 1.0f), (std::vector<float>{-1.0f, -1.0f, -1.0f})));
}

TEST(NeighborLinks, BrokenRecordsCountAsEmpty) {
    SquareCell a(0, 0), b(0.2f, 0.1f);
    a.links = {1};
    std::vector<Cell> cells = {record(a, 0, 0, 0.0f), record(b, 1, -1, 1.0f)};
    cells[1].edges = nullptr;
    EXPECT_TRUE(same_distances(run(cells, 1, 1.0f), std::vector<float>{-1.0f}));
    cells[1] = record(b, 0, -1, 1.0f);
    cells[1].vertices = nullptr;
    EXPECT_TRUE(same_distances(run(cells, 1, 1.0f), std::vector<float>{-1.0f}));
    cells[0].cell_links = nullptr;
    EXPECT_TRUE(same_distances(run(cells, 1, 1.0f), std::vector<float>{-1.0f}));
}

TEST(NeighborLinks, EdgesNamingMissingVerticesAreSkipped) {
    SquareCell a(0, 0), b(0.5f, 0.3f);
    a.links = {1};
    b.edges = {0, 7, -1, 2, 2, 3, 3, 0};  // two broken edges, two good ones
    std::vector<Cell> cells = {record(a, 0, 0, 0.0f), record(b, 1, -1, 4.0f)};
    EXPECT_TRUE(same_distances(run(cells, 1, 0.31f), std::vector<float>{4.0f}));
    b.edges = {0, 7, -1, 2, 9, 9, 4, 0};
    cells[1] = record(b, 1, -1, 4.0f);
    EXPECT_TRUE(same_distances(run(cells, 1, 100.0f), std::vector<float>{-1.0f}));
}

TEST(NeighborLinks, StoreCopiesThroughStrideAndNeverPastTheEnd) {
    const float distances[4] = {1.0f, -1.0f, 2.5f, 7.0f};
    std::vector<float> out(6, 0.0f);
    StridedView view;
    view.data = reinterpret_cast<char*>(out.data() + 4);
    view.ndim = 1;
    view.shape[0] = 3;  // shorter than the four distances
    view.strides[0] = -8;
    store_link_distances(distances, 4, view);
    EXPECT_EQ(out, (std::vector<float>{2.5f, 0.0f, -1.0f, 0.0f, 1.0f, 0.0f}));
}

namespace {

// Random small cells around random centres: vertices, edges (some naming missing vertices),
// and links to random cells (some invalid).
struct RandomCells {
    RandomCells(std::mt19937& rng, int32_t n, int32_t collections, float spread) {
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        std::normal_distribution<float> jitter(0.0f, 0.5f);
        geometry.reserve(size_t(n));
        for (int32_t c = 0; c < n; ++c) {
            geometry.emplace_back(0.0f, 0.0f);
            SquareCell& g = geometry.back();
            g.vertices.clear();
            g.edges.clear();
            const float cx = spread * unit(rng), cy = spread * unit(rng), cz = spread * unit(rng);
            const int32_t v = 2 + int32_t(rng() % 14), e = 1 + int32_t(rng() % 20);
            for (int32_t k = 0; k < v; ++k) g.vertices.insert(g.vertices.end(), {cx + jitter(rng), cy + jitter(rng), cz + jitter(rng)});
            for (int32_t k = 0; k < 2 * e; ++k) g.edges.push_back(int32_t(rng() % uint32_t(v + 1)) - (k % 7 == 0 ? 1 : 0));
            for (int32_t k = 0; k < 6; ++k) g.links.push_back(int32_t(rng() % uint32_t(n + 2)) - 1);
        }
        int32_t start = 0;
        for (int32_t c = 0; c < n; ++c) {
            records.push_back(record(geometry[size_t(c)], c % collections, start, float(c)));
            start += int32_t(geometry[size_t(c)].links.size());
        }
        n_links = start;
    }
    std::vector<SquareCell> geometry{};
    std::vector<Cell> records;
    int32_t n_links = 0;
};

std::vector<float> run_loops(const std::vector<Cell>& cells, int32_t n_links, float threshold, bool direct) {
    std::vector<float> out(static_cast<size_t>(n_links), 0.0f);
    NeighborQuery q{reinterpret_cast<const char*>(cells.data()), int32_t(cells.size()), n_links, threshold};
    if (direct) {
        compute_link_distances_direct(q, out.data());
    } else {
        compute_link_distances(q, out.data(), plain_loop_frame());
    }
    return out;
}

}  // namespace

TEST(NeighborLinks, PruningKeepsEveryResultOfThePlainLoops) {
    std::mt19937 rng(99);
    int passed = 0;
    for (int trial = 0; trial < 30; ++trial) {
        // The first trial has enough cells for the loop to visit them in an order of its own.
        RandomCells cells(rng, trial == 0 ? 3000 : 60, 1 + trial % 3, trial == 0 ? 40.0f : 6.0f);
        for (float threshold : {0.05f, 0.3f, 1.0f, 0.0f, -1.0f, INFINITY, NAN}) {
            const std::vector<float> direct = run_loops(cells.records, cells.n_links, threshold, true);
            const std::vector<float> pruned = run_loops(cells.records, cells.n_links, threshold, false);
            ASSERT_EQ(0, std::memcmp(direct.data(), pruned.data(), direct.size() * sizeof(float))) << trial;
            for (float d : direct) passed += d >= 0.0f;
        }
    }
    EXPECT_GT(passed, 1000);
}

TEST(NeighborLinks, PruningAtTheThreshold) {
    // Two one-edge cells in different collections, exactly `gap` apart along x, at coordinates
    // large enough that rounding matters, and vertices likewise in one collection.
    for (float base : {0.0f, 1000.0f, -37.5f}) {
        for (float gap : {0.25f, 0.5f, 1.0f}) {
            SquareCell a(base, 0), b(base + 1 + gap, 0);
            a.links = {1};
            for (int coll_b : {0, 1}) {
                const std::vector<Cell> cells = {record(a, 0, 0, 0.0f), record(b, coll_b, -1, 3.0f)};
                const float computed = std::nextafter(gap, 1.0f);
                for (float threshold : {std::nextafter(gap, 0.0f), gap, computed, std::nextafter(computed, 1.0f)}) {
                    EXPECT_EQ(run_loops(cells, 1, threshold, false), run_loops(cells, 1, threshold, true))
                        << base << " " << gap << " " << threshold;
                }
            }
        }
    }
}

TEST(NeighborLinks, CellsWithANaNCoordinateOnAnyAxisAreMeasuredWithoutPruning) {
    // A NaN leaves no safe box: the box is marked unusable whichever axis holds the NaN (the
    // mark lives in the first lower bound), while an empty cell's box stays usable.
    for (int axis = 0; axis < 3; ++axis) {
        float vertices[6] = {0, 0, 0, 1, 1, 1};
        vertices[3 + axis] = NAN;
        EXPECT_FALSE(bounds_usable(vertex_bounds(vertices, 2))) << axis;
    }
    EXPECT_TRUE(bounds_usable(vertex_bounds(nullptr, 0)));

    std::mt19937 rng(7);
    for (int trial = 0; trial < 6; ++trial) {
        RandomCells cells(rng, 60, 1 + trial % 2, 6.0f);
        for (size_t c = 0; c < cells.geometry.size(); c += 5) {
            std::vector<float>& v = cells.geometry[c].vertices;
            v[rng() % v.size()] = NAN;
        }
        for (float threshold : {0.3f, 1.0f}) {
            const std::vector<float> direct = run_loops(cells.records, cells.n_links, threshold, true);
            const std::vector<float> pruned = run_loops(cells.records, cells.n_links, threshold, false);
            ASSERT_EQ(0, std::memcmp(direct.data(), pruned.data(), direct.size() * sizeof(float))) << trial;
        }
    }
}
