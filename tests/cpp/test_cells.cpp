// The cell set's cores: joining per-cell arrays, per-cell bounds and means, the cell records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels/package/cells/cell_records.h"
#include "kernels/package/cells/joined_rows.h"
#include "kernels/package/cells/point_runs.h"
#include "kernels/common/shared/cell.h"

using namespace cellprox;

// A packed block, a transposed (Fortran-order) one, an empty one and a reversed one join in
// order, each with its row count.
TEST(JoinRows, EveryLayoutInOrder) {
    const int32_t packed[] = {1, 2, 3, 4};                  // rows (1, 2), (3, 4)
    const int32_t fortran[] = {5, 7, 9, 6, 8, 10};          // rows (5, 6), (7, 8), (9, 10)
    const int32_t reversed[] = {13, 14, 11, 12};            // rows (11, 12), (13, 14)
    const StridedRows blocks[] = {
        {reinterpret_cast<const char*>(packed), 2, 8, 4},
        {reinterpret_cast<const char*>(fortran), 3, 4, 12},
        {nullptr, 0, 8, 4},
        {reinterpret_cast<const char*>(reversed + 2), 2, -8, 4},
    };
    int32_t out[14] = {};
    int64_t counts[4] = {-1, -1, -1, -1};
    join_rows(blocks, 4, 2, 4, reinterpret_cast<char*>(out), counts);
    for (int32_t k = 0; k < 14; ++k) EXPECT_EQ(out[k], k + 1) << k;
    EXPECT_EQ(std::vector<int64_t>(counts, counts + 4), (std::vector<int64_t>{2, 3, 0, 2}));
}

namespace {

PointRuns runs(const std::vector<float>& points, const std::vector<int64_t>& counts) {
    return {points.data(), static_cast<int64_t>(points.size() / 3), counts.data(),
            static_cast<int64_t>(counts.size())};
}

bool negative_zero(float x) { return x == 0.0f && std::signbit(x); }

}  // namespace

// Bounds take ties of 0.0 and -0.0 as numpy's reduce does (the later one wins); an empty run gets
// zeros, and means NaN. The mean is summed in double: float32 sums would lose the 1.
TEST(PointRuns, BoundsAndMeans) {
    const std::vector<float> points = {-0.0f, 1.0f, 0.0f,   0.0f, -2.0f, -0.0f,   3.0f, 1.0f, 1.0f,
                                       16777216.0f, 0.0f, 0.0f,   1.0f, 0.0f, 0.0f,   1.0f, 0.0f, 0.0f};
    const std::vector<int64_t> counts = {3, 0, 3};
    float lower[9], upper[9], means[9];
    ASSERT_TRUE(run_bounds(runs(points, counts), lower, upper));
    EXPECT_TRUE(lower[0] == 0.0f && !std::signbit(lower[0]) && lower[1] == -2.0f && negative_zero(lower[2]));
    EXPECT_TRUE(upper[0] == 3.0f && upper[1] == 1.0f && upper[2] == 1.0f);
    for (int a = 3; a < 6; ++a) EXPECT_TRUE(lower[a] == 0.0f && upper[a] == 0.0f);
    EXPECT_EQ(lower[6], 1.0f);
    EXPECT_EQ(upper[6], 16777216.0f);
    ASSERT_TRUE(run_means(runs(points, counts), means));
    EXPECT_EQ(means[0], 1.0f);
    for (int a = 3; a < 6; ++a) EXPECT_TRUE(std::isnan(means[a]));
    EXPECT_EQ(means[6], static_cast<float>(16777218.0 / 3.0));
}

// Counts that are negative, pass the points, or leave points over are refused.
TEST(PointRuns, CountsMustAddUp) {
    const std::vector<float> points(12, 1.0f);   // four points
    float a[12], b[12];
    for (const std::vector<int64_t>& counts : {std::vector<int64_t>{2, 1}, std::vector<int64_t>{2, 3},
                                               std::vector<int64_t>{5, -1}, std::vector<int64_t>{}}) {
        EXPECT_FALSE(run_bounds(runs(points, counts), a, b));
        EXPECT_FALSE(run_means(runs(points, counts), a));
    }
    EXPECT_TRUE(run_bounds(runs({}, {}), a, b));
    EXPECT_TRUE(run_means(runs(points, {4, 0}), a));
}

namespace {

struct Scene {
    std::vector<int32_t> collections = {7, 8, 9};
    std::vector<int64_t> vertex_counts = {2, 0, 1};
    std::vector<int64_t> edge_counts = {1, 0, 0};
    std::vector<int64_t> vertex_starts = {0, 2, 2};
    std::vector<int64_t> edge_starts = {0, 1, 1};
    std::vector<float> origins = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::vector<float> vertices = std::vector<float>(9, 0.5f);
    std::vector<int32_t> edges = {0, 1};

    CellColumns columns() const {
        return {3, collections.data(), vertex_counts.data(), edge_counts.data(), vertex_starts.data(),
                edge_starts.data(), origins.data(), vertices.data(), 3, edges.data(), 1};
    }
};

}  // namespace

// Each record points at its own rows (null where it has none), carries no links, and its padding
// is zero; the records need no alignment.
TEST(CellRecords, PointAtEachCellsRows) {
    const Scene scene;
    std::vector<char> memory(3 * 64 + 1, '\x55');
    char* records = memory.data() + 1;
    ASSERT_TRUE(write_cell_records(scene.columns(), records, 2));
    const Cell first = read_cell(records, 0), second = read_cell(records, 1), third = read_cell(records, 2);
    EXPECT_EQ(first.index, 0);
    EXPECT_EQ(third.index, 2);
    EXPECT_EQ(second.coll_index, 8);
    EXPECT_EQ(first.links_start, -1);
    EXPECT_EQ(first.v_count, 2);
    EXPECT_EQ(first.e_count, 1);
    EXPECT_EQ(first.n_count, 0);
    EXPECT_EQ(third.origin[2], 9.0f);
    EXPECT_EQ(first.vertices, scene.vertices.data());
    EXPECT_EQ(first.edges, scene.edges.data());
    EXPECT_EQ(second.vertices, nullptr);
    EXPECT_EQ(second.edges, nullptr);
    EXPECT_EQ(third.vertices, scene.vertices.data() + 6);
    EXPECT_EQ(third.cell_links, nullptr);
    const char zeros[4] = {};
    EXPECT_EQ(std::memcmp(records + 2 * 64 + 36, zeros, 4), 0);
}

// Counts that are negative, too large for a record or run past the rows are refused, and so are
// starts before the rows or past them.
TEST(CellRecords, CountsMustFitTheRows) {
    char records[3 * 64];
    for (int64_t bad : {int64_t{-1}, int64_t{2}, int64_t{INT32_MAX} + 1}) {
        Scene scene;
        scene.vertex_counts[2] = bad;
        EXPECT_FALSE(write_cell_records(scene.columns(), records, 1)) << bad;
    }
    for (int64_t bad : {int64_t{-1}, int64_t{3}}) {
        Scene scene;
        scene.vertex_starts[2] = bad;
        EXPECT_FALSE(write_cell_records(scene.columns(), records, 1)) << bad;
    }
    Scene scene;
    scene.edge_counts[1] = 1;
    EXPECT_FALSE(write_cell_records(scene.columns(), records, 1));
}

// Many cells, in many pieces: every record the same for any number of workers.
TEST(CellRecords, SameForAnyWorkers) {
    const int64_t n = 50000;
    std::vector<int32_t> collections(n, 3);
    std::vector<int64_t> counts(n, 1), starts(n);
    for (int64_t i = 0; i < n; ++i) starts[i] = i;
    std::vector<float> origins(3 * n, 1.0f), vertices(3 * n, 0.0f);
    std::vector<int32_t> edges(2 * n, 0);
    const CellColumns columns{n, collections.data(), counts.data(), counts.data(), starts.data(), starts.data(),
                              origins.data(), vertices.data(), n, edges.data(), n};
    std::vector<char> first(64 * n), other(64 * n);
    ASSERT_TRUE(write_cell_records(columns, first.data(), 1));
    for (int32_t workers : {2, 3, 8}) {
        ASSERT_TRUE(write_cell_records(columns, other.data(), workers));
        EXPECT_EQ(first, other) << workers;
    }
    EXPECT_EQ(read_cell(first.data(), static_cast<int32_t>(n - 1)).vertices, vertices.data() + 3 * (n - 1));
}
