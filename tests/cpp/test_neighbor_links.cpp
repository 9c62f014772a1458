#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kernels/cell.h"
#include "kernels/neighbor_links.h"

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
    EXPECT_EQ(run(cells, 1, 0.6f), std::vector<float>{3.0f});  // the origin distance
    EXPECT_EQ(run(cells, 1, 0.5f), std::vector<float>{-1.0f});  // exactly at the threshold
    EXPECT_EQ(run(cells, 1, 0.0f), std::vector<float>{-1.0f});
}

TEST(NeighborLinks, DifferentCollectionsCompareEdges) {
    // Squares in parallel planes 0.3 apart, vertices shifted so no vertex pair is close but
    // the edges cross in projection.
    SquareCell a(0, 0), b(0.5f, 0.3f);
    a.links = {1};
    std::vector<Cell> cells = {record(a, 0, 0, 0.0f), record(b, 1, -1, 4.0f)};
    EXPECT_EQ(run(cells, 1, 0.31f), std::vector<float>{4.0f});
    EXPECT_EQ(run(cells, 1, 0.29f), std::vector<float>{-1.0f});
    cells[1].e_count = 0;  // no edges on one side: never close
    EXPECT_EQ(run(cells, 1, 10.0f), std::vector<float>{-1.0f});
}

TEST(NeighborLinks, InvalidNeighboursAndSlotsAreSkipped) {
    SquareCell a(0, 0), b(0, 0);
    a.links = {-1, 2, 1, 1};  // invalid, invalid, valid, valid
    std::vector<Cell> cells = {record(a, 0, 0, 0.0f), record(b, 0, -1, 2.0f)};
    EXPECT_EQ(run(cells, 4, 1.0f), (std::vector<float>{-1.0f, -1.0f, 2.0f, 2.0f}));
    // A run that starts below 0 or reaches past n_links writes only the slots inside.
    cells[0].links_start = -2;
    EXPECT_EQ(run(cells, 2, 1.0f), (std::vector<float>{2.0f, 2.0f}));
    cells[0].links_start = 1;
    EXPECT_EQ(run(cells, 3, 1.0f), (std::vector<float>{-1.0f, -1.0f, -1.0f}));
}

TEST(NeighborLinks, BrokenRecordsCountAsEmpty) {
    SquareCell a(0, 0), b(0.2f, 0.1f);
    a.links = {1};
    std::vector<Cell> cells = {record(a, 0, 0, 0.0f), record(b, 1, -1, 1.0f)};
    cells[1].edges = nullptr;
    EXPECT_EQ(run(cells, 1, 1.0f), std::vector<float>{-1.0f});
    cells[1] = record(b, 0, -1, 1.0f);
    cells[1].vertices = nullptr;
    EXPECT_EQ(run(cells, 1, 1.0f), std::vector<float>{-1.0f});
    cells[0].cell_links = nullptr;
    EXPECT_EQ(run(cells, 1, 1.0f), std::vector<float>{-1.0f});
}

TEST(NeighborLinks, EdgesNamingMissingVerticesAreSkipped) {
    SquareCell a(0, 0), b(0.5f, 0.3f);
    a.links = {1};
    b.edges = {0, 7, -1, 2, 2, 3, 3, 0};  // two broken edges, two good ones
    std::vector<Cell> cells = {record(a, 0, 0, 0.0f), record(b, 1, -1, 4.0f)};
    EXPECT_EQ(run(cells, 1, 0.31f), std::vector<float>{4.0f});
    b.edges = {0, 7, -1, 2, 9, 9, 4, 0};
    cells[1] = record(b, 1, -1, 4.0f);
    EXPECT_EQ(run(cells, 1, 100.0f), std::vector<float>{-1.0f});
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
