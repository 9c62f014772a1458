// The checked build of a cell set's rows: the same output for any number of workers, and every
// fault found wherever it lies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kernels/package/cells/checked_rows.h"

using namespace cellprox;

namespace {

// Cells of 0 to 12 vertices and up to 18 edges, the vertices as doubles every other row of an
// array twice as long (strided), the edges int64.
struct RandomScene {
    std::vector<int64_t> vertex_counts, edge_counts;
    std::vector<double> vertices;   // 6 numbers a row: the cell's x, y, z, then three unused
    std::vector<int64_t> edges;

    explicit RandomScene(int64_t n, bool empty_cells = false) {
        std::mt19937_64 random(7);
        for (int64_t c = 0; c < n; ++c) {
            const int64_t v = static_cast<int64_t>(random() % 13) + (empty_cells ? 0 : 1);
            const int64_t e = v > 0 ? static_cast<int64_t>(random() % 19) : 0;
            vertex_counts.push_back(v);
            edge_counts.push_back(e);
            for (int64_t k = 0; k < 6 * v; ++k) vertices.push_back(std::ldexp(static_cast<double>(random() >> 11), -40) - 4096.0);
            for (int64_t k = 0; k < 2 * e; ++k) edges.push_back(static_cast<int64_t>(random() % static_cast<uint64_t>(v)));
        }
    }

    int64_t n() const { return static_cast<int64_t>(vertex_counts.size()); }

    CellRows rows() const {
        return {n(), vertex_counts.data(), edge_counts.data(),
                {reinterpret_cast<const char*>(vertices.data()), static_cast<int64_t>(vertices.size() / 6), 48, 8},
                RealType::float64,
                {reinterpret_cast<const char*>(edges.data()), static_cast<int64_t>(edges.size() / 2), 16, 8},
                IndexType::int64};
    }
};

struct Output {
    std::vector<int64_t> vertex_starts, edge_starts;
    std::vector<float> vertices, means;
    std::vector<int32_t> edges;

    explicit Output(const CellRows& rows)
        : vertex_starts(static_cast<size_t>(rows.n)), edge_starts(static_cast<size_t>(rows.n)),
          vertices(static_cast<size_t>(3 * rows.vertices.rows)), means(static_cast<size_t>(3 * rows.n)),
          edges(static_cast<size_t>(2 * rows.edges.rows)) {}

    BuiltRows built() {
        return {vertex_starts.data(), edge_starts.data(), vertices.data(), edges.data(), means.data()};
    }
};

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace

// 40,000 cells in several pieces: the starts, rows and means are those of a plain loop (means
// summed in double from the float32 rows), bit for bit, for any number of workers.
TEST(CheckedRows, SameForAnyWorkers) {
    const RandomScene scene(40000);
    Output first(scene.rows());
    ASSERT_EQ(build_cell_rows(scene.rows(), first.built(), 1), 0u);
    int64_t row = 0, edge_row = 0;
    for (int64_t c = 0; c < scene.n(); ++c) {
        ASSERT_EQ(first.vertex_starts[c], row);
        ASSERT_EQ(first.edge_starts[c], edge_row);
        double sum[3] = {0.0, 0.0, 0.0};
        for (int64_t r = row; r < row + scene.vertex_counts[c]; ++r) {
            for (int a = 0; a < 3; ++a) {
                const float value = static_cast<float>(scene.vertices[6 * r + a]);
                ASSERT_EQ(first.vertices[3 * r + a], value);
                sum[a] += value;
            }
        }
        for (int a = 0; a < 3; ++a) {
            ASSERT_EQ(first.means[3 * c + a], static_cast<float>(sum[a] / static_cast<double>(scene.vertex_counts[c]))) << c;
        }
        row += scene.vertex_counts[c];
        edge_row += scene.edge_counts[c];
    }
    for (size_t k = 0; k < scene.edges.size(); ++k) ASSERT_EQ(first.edges[k], scene.edges[k]);
    for (int32_t workers : {2, 3, 8}) {
        Output other(scene.rows());
        ASSERT_EQ(build_cell_rows(scene.rows(), other.built(), workers), 0u);
        EXPECT_TRUE(same_bits(first.vertices, other.vertices) && same_bits(first.means, other.means)) << workers;
        EXPECT_TRUE(first.edges == other.edges && first.vertex_starts == other.vertex_starts &&
                    first.edge_starts == other.edge_starts) << workers;
    }
}

// A number below 0 or at its cell's vertex count is found in any piece and any of the four
// types (a negative one, as unsigned, is a huge number); so is a vertex that is NaN, infinite,
// or a double beyond float32's range.
TEST(CheckedRows, FaultsAreFoundAnywhere) {
    const RandomScene scene(40000);
    const int64_t late_edge = static_cast<int64_t>(scene.edges.size()) - 7;
    for (int64_t bad : {int64_t{-1}, int64_t{12}, int64_t{1} << 40}) {
        RandomScene faulty = scene;
        faulty.edges[late_edge] = bad;
        Output out(faulty.rows());
        EXPECT_EQ(build_cell_rows(faulty.rows(), out.built(), 3), edges_out_of_cell) << bad;
        for (IndexType type : {IndexType::int32, IndexType::uint32, IndexType::uint64}) {
            const bool wide = type == IndexType::uint64;
            std::vector<uint32_t> narrow(faulty.edges.size());
            for (size_t k = 0; k < narrow.size(); ++k) narrow[k] = static_cast<uint32_t>(faulty.edges[k]);
            CellRows rows = faulty.rows();
            rows.edge_type = type;
            if (!wide) rows.edges = {reinterpret_cast<const char*>(narrow.data()), rows.edges.rows, 8, 4};
            const uint32_t found = build_cell_rows(rows, out.built(), 2);
            // 2**40 fits none of the 32-bit types' reading of it: cut to 32 bits it is 0, in range.
            EXPECT_EQ(found, !wide && bad == int64_t{1} << 40 ? 0u : edges_out_of_cell) << bad;
        }
    }
    for (double bad : {std::nan(""), -std::numeric_limits<double>::infinity(), 1e39}) {
        RandomScene faulty = scene;
        faulty.vertices[faulty.vertices.size() - 6 * 5 + 1] = bad;
        Output out(faulty.rows());
        EXPECT_EQ(build_cell_rows(faulty.rows(), out.built(), 8), vertices_not_finite) << bad;
    }
    const double largest = std::numeric_limits<float>::max();
    RandomScene edge_of_range = scene;
    edge_of_range.vertices[6] = -largest;
    Output out(edge_of_range.rows());
    EXPECT_EQ(build_cell_rows(edge_of_range.rows(), out.built(), 2), 0u);
}

// Cells without vertices have no mean (NaN), said only when means are asked; counts that do
// not add up to the rows, or rows left unconverted that are not the output's type, are refused.
TEST(CheckedRows, CountsAndEmptyCells) {
    const RandomScene scene(5000, true);
    Output out(scene.rows());
    EXPECT_EQ(build_cell_rows(scene.rows(), out.built(), 2), cell_without_vertices);
    BuiltRows without_means = out.built();
    without_means.means = nullptr;
    EXPECT_EQ(build_cell_rows(scene.rows(), without_means, 2), 0u);
    RandomScene short_counts = scene;
    short_counts.vertex_counts.back() -= 1;
    EXPECT_EQ(build_cell_rows(short_counts.rows(), out.built(), 2), bad_counts);
    RandomScene negative = scene;
    negative.edge_counts[3] = -1;
    EXPECT_EQ(build_cell_rows(negative.rows(), out.built(), 2), bad_counts);
    BuiltRows kept = out.built();
    kept.vertices = nullptr;     // doubles cannot be kept as float32 rows
    EXPECT_EQ(build_cell_rows(scene.rows(), kept, 2), bad_counts);
}

// Packed float32 and int32 rows may be kept: they are only checked, and the means come from them.
TEST(CheckedRows, KeptRowsAreOnlyChecked) {
    const std::vector<float> vertices = {1, 2, 3, 3, 2, 1, 5, 5, 5};
    const std::vector<int32_t> edges = {0, 1, 0, 0};
    const std::vector<int64_t> vertex_counts = {2, 1}, edge_counts = {1, 1};
    const CellRows rows{2, vertex_counts.data(), edge_counts.data(),
                        {reinterpret_cast<const char*>(vertices.data()), 3, 12, 4}, RealType::float32,
                        {reinterpret_cast<const char*>(edges.data()), 2, 8, 4}, IndexType::int32};
    int64_t vertex_starts[2], edge_starts[2];
    float means[6];
    const BuiltRows kept{vertex_starts, edge_starts, nullptr, nullptr, means};
    EXPECT_EQ(build_cell_rows(rows, kept, 2), 0u);
    EXPECT_EQ(std::vector<float>(means, means + 6), (std::vector<float>{2, 2, 2, 5, 5, 5}));
    EXPECT_EQ(edge_starts[1], 1);
    std::vector<int32_t> bad_edges = edges;
    bad_edges[3] = 1;
    CellRows faulty = rows;
    faulty.edges.data = reinterpret_cast<const char*>(bad_edges.data());
    EXPECT_EQ(build_cell_rows(faulty, kept, 2), edges_out_of_cell);
}
