#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "kernels/package/hull/vertex_sharing.h"

using namespace cellprox;

namespace {

struct Scene {
    std::vector<float> xyz;
    std::vector<int64_t> starts{0};

    void add_cell(const std::vector<float>& points) {
        xyz.insert(xyz.end(), points.begin(), points.end());
        starts.push_back(static_cast<int64_t>(xyz.size() / 3));
    }
    int32_t count() const { return static_cast<int32_t>(starts.size()) - 1; }
    std::vector<float> vertex(int32_t cell, int k) const {
        const float* p = xyz.data() + 3 * (starts[static_cast<size_t>(cell)] + k);
        return {p[0], p[1], p[2]};
    }
};

std::vector<uint8_t> found(const Scene& scene) {
    PlainBuffer<uint8_t> sharing;
    EXPECT_TRUE(cells_sharing_a_vertex(scene.xyz.data(), scene.starts.data(), scene.count(), sharing));
    return std::vector<uint8_t>(sharing.data(), sharing.data() + sharing.size());
}

// Every pair of cells compared vertex by vertex, with -0 equal to 0 (the float comparison).
std::vector<uint8_t> truth(const Scene& scene) {
    std::map<std::tuple<float, float, float>, std::set<int32_t>> owners;
    for (int32_t cell = 0; cell < scene.count(); ++cell) {
        for (int64_t v = scene.starts[static_cast<size_t>(cell)]; v < scene.starts[static_cast<size_t>(cell) + 1]; ++v) {
            const float* p = scene.xyz.data() + 3 * v;
            owners[{p[0] + 0.0f, p[1] + 0.0f, p[2] + 0.0f}].insert(cell);
        }
    }
    std::vector<uint8_t> shares(static_cast<size_t>(scene.count()), 0);
    for (const auto& entry : owners) {
        if (entry.second.size() < 2) continue;
        for (int32_t cell : entry.second) shares[static_cast<size_t>(cell)] = 1;
    }
    return shares;
}

// Cells of random distinct points (`cells` of 4 to 40 vertices).
Scene random_cells(std::mt19937& rng, int cells) {
    std::uniform_real_distribution<float> coordinate(-100.0f, 100.0f);
    std::uniform_int_distribution<int> size(4, 40);
    Scene scene;
    for (int c = 0; c < cells; ++c) {
        std::vector<float> points(3 * static_cast<size_t>(size(rng)));
        for (float& x : points) x = coordinate(rng);
        scene.add_cell(points);
    }
    return scene;
}

}  // namespace

TEST(VertexSharing, FindsExactlyTheCellsThatShareWhenFewVerticesRepeat) {
    std::mt19937 rng(11);
    for (int cells : {1, 3, 40, 400, 3000}) {
        Scene scene = random_cells(rng, cells);
        EXPECT_EQ(found(scene), truth(scene)) << cells << " cells sharing nothing";
        if (cells < 3) continue;
        // A few vertices copied into other cells, one of them with its zeros negated, and a cell
        // that repeats its own vertex (which shares nothing by that).
        std::uniform_int_distribution<int32_t> any(0, cells - 1);
        for (int copy = 0; copy < std::max(1, cells / 50); ++copy) {
            const int32_t from = any(rng), to = any(rng);
            scene.xyz[3 * static_cast<size_t>(scene.starts[static_cast<size_t>(to)])] = scene.vertex(from, 1)[0];
            scene.xyz[3 * static_cast<size_t>(scene.starts[static_cast<size_t>(to)]) + 1] = scene.vertex(from, 1)[1];
            scene.xyz[3 * static_cast<size_t>(scene.starts[static_cast<size_t>(to)]) + 2] = scene.vertex(from, 1)[2];
        }
        const size_t zero = 3 * static_cast<size_t>(scene.starts[1]) + 3;
        scene.xyz[zero] = 0.0f;
        scene.xyz[3 * static_cast<size_t>(scene.starts[2])] = -0.0f;
        for (int axis = 1; axis < 3; ++axis) scene.xyz[3 * static_cast<size_t>(scene.starts[2]) + axis] = scene.xyz[zero + axis];
        const size_t own = 3 * static_cast<size_t>(scene.starts[0]);
        for (int axis = 0; axis < 3; ++axis) scene.xyz[own + 3 + axis] = scene.xyz[own + axis];
        const std::vector<uint8_t> shares = truth(scene);
        EXPECT_EQ(found(scene), shares) << cells << " cells, some sharing";
        EXPECT_TRUE(shares[1] && shares[2]);
    }
}

TEST(VertexSharing, CountsEveryCellWhereVerticesRepeatOften) {
    // Each cell repeats half of its predecessor's vertices, as cells cut from one piece do; and a
    // scene of cells that each repeat one vertex many times. Either way no sharing cell may be
    // missed, and counting a cell that shares nothing costs only a look-up.
    std::mt19937 rng(5);
    Scene cut = random_cells(rng, 2000);
    for (int32_t cell = 1; cell < cut.count(); ++cell) {
        const int64_t size = cut.starts[static_cast<size_t>(cell) + 1] - cut.starts[static_cast<size_t>(cell)];
        const int64_t before = cut.starts[static_cast<size_t>(cell)] - cut.starts[static_cast<size_t>(cell) - 1];
        for (int64_t k = 0; k < std::min(size, before) / 2; ++k) {
            for (int axis = 0; axis < 3; ++axis) {
                cut.xyz[3 * static_cast<size_t>(cut.starts[static_cast<size_t>(cell)] + k) + static_cast<size_t>(axis)] =
                    cut.xyz[3 * static_cast<size_t>(cut.starts[static_cast<size_t>(cell) - 1] + k) + static_cast<size_t>(axis)];
            }
        }
    }
    EXPECT_EQ(found(cut), std::vector<uint8_t>(2000, 1));
    Scene repeats;
    for (int cell = 0; cell < 500; ++cell) {
        std::vector<float> points;
        for (int k = 0; k < 20; ++k) points.insert(points.end(), {float(cell), 1.0f, 2.0f});
        repeats.add_cell(points);
    }
    repeats.add_cell({0.0f, 1.0f, 2.0f});   // cell 0's vertex again
    const std::vector<uint8_t> shares = found(repeats), exact = truth(repeats);
    for (size_t cell = 0; cell < exact.size(); ++cell) EXPECT_TRUE(shares[cell] || !exact[cell]) << cell;
    EXPECT_TRUE(shares[0] && shares[500]);
}

TEST(VertexSharing, EmptyCellsAndScenes) {
    Scene scene;
    EXPECT_TRUE(found(scene).empty());
    scene.add_cell({});
    scene.add_cell({1, 2, 3});
    scene.add_cell({});
    scene.add_cell({1, 2, 3});
    EXPECT_EQ(found(scene), (std::vector<uint8_t>{0, 1, 0, 1}));
}

// Met side by side, the vertices give the exact answer still, the same for any team, on a scene
// of many pieces of vertices with a few shared ones spread through it.
TEST(VertexSharing, AnyNumberOfWorkersFindsTheSameCells) {
    std::mt19937 rng(11);
    Scene scene = random_cells(rng, 12000);
    for (int32_t cell = 100; cell + 1 < scene.count(); cell += 997) {
        const std::vector<float> shared = scene.vertex(cell, 0);
        scene.xyz[3 * static_cast<size_t>(scene.starts[static_cast<size_t>(cell) + 1]) + 0] = shared[0];
        scene.xyz[3 * static_cast<size_t>(scene.starts[static_cast<size_t>(cell) + 1]) + 1] = shared[1];
        scene.xyz[3 * static_cast<size_t>(scene.starts[static_cast<size_t>(cell) + 1]) + 2] = shared[2];
    }
    const std::vector<uint8_t> expected = truth(scene);
    for (int32_t workers : {1, 2, 3, 8}) {
        PlainBuffer<uint8_t> sharing;
        ASSERT_TRUE(cells_sharing_a_vertex(scene.xyz.data(), scene.starts.data(), scene.count(), sharing, workers));
        EXPECT_EQ(std::vector<uint8_t>(sharing.data(), sharing.data() + sharing.size()), expected) << workers;
    }
}
