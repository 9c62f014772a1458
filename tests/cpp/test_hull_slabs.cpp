#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "kernels/package/hull/hull_distance.h"
#include "kernels/package/hull/hull_slabs.h"

using namespace cellprox;

namespace {

using Points = std::vector<float>;

DiagonalSlabs slabs_of(const Points& p) { return diagonal_slabs(p.data(), static_cast<int32_t>(p.size() / 3)); }

double exact_distance(const Points& a, const Points& b) {
    HullWorkspace work;
    EXPECT_TRUE(work.reserve(static_cast<int32_t>(std::max(a.size(), b.size()) / 3)));
    return hull_distance({a.data(), static_cast<int32_t>(a.size() / 3)}, {b.data(), static_cast<int32_t>(b.size() / 3)},
                         std::numeric_limits<double>::infinity(), work);
}

// The six corners of |x - cx| + |y - cy| + |z - cz| <= r: its faces lie across the diagonals.
Points octahedron(float cx, float cy, float cz, float r = 1.0f) {
    return {cx + r, cy, cz, cx - r, cy, cz, cx, cy + r, cz, cx, cy - r, cz, cx, cy, cz + r, cx, cy, cz - r};
}

}  // namespace

TEST(DiagonalSlabs, HoldEveryVertexWhateverItsMagnitudes) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<int> power(-40, 40);
    for (int cell = 0; cell < 300; ++cell) {
        Points p;
        for (int k = 0; k < 12; ++k) {   // each coordinate of its own magnitude: the sums round
            for (int axis = 0; axis < 3; ++axis) p.push_back(std::ldexp(unit(rng), power(rng)));
        }
        const DiagonalSlabs slabs = slabs_of(p);
        for (size_t i = 0; i < p.size(); i += 3) {
            const long double x = p[i], y = p[i + 1], z = p[i + 2];
            const long double sums[4] = {x + y + z, x + y - z, x - y + z, -x + y + z};
            for (int k = 0; k < 4; ++k) {
                EXPECT_LE(static_cast<long double>(slabs.low[k]), sums[k]);
                EXPECT_GE(static_cast<long double>(slabs.high[k]), sums[k]);
            }
        }
    }
}

TEST(DiagonalSlabs, ProveCellsApartAcrossADiagonalFaceExactlyWhenTheyAre) {
    // Two octahedra whose boxes overlap; their facing faces are parallel, 1/sqrt(3) apart.
    const Points a = octahedron(0, 0, 0), b = octahedron(1, 1, 1);
    const double gap = exact_distance(a, b);
    ASSERT_NEAR(gap, 1.0 / std::sqrt(3.0), 1e-12);
    EXPECT_TRUE(slabs_apart(slabs_of(a), slabs_of(b), slab_reach(0.5)));
    EXPECT_TRUE(slabs_apart(slabs_of(b), slabs_of(a), slab_reach(gap * (1 - 1e-9))));
    EXPECT_FALSE(slabs_apart(slabs_of(a), slabs_of(b), slab_reach(gap)));
    EXPECT_FALSE(slabs_apart(slabs_of(a), slabs_of(b), slab_reach(0.6)));
    // Far from the origin the same, or no verdict where rounding hides the gap; never a wrong one.
    for (float offset : {1048576.0f, -3.0e9f, 3.0e30f}) {
        const Points far_a = octahedron(offset, offset, offset), far_b = octahedron(offset + 1, offset + 1, offset + 1);
        EXPECT_FALSE(slabs_apart(slabs_of(far_a), slabs_of(far_b), slab_reach(0.6)));
        EXPECT_EQ(slabs_apart(slabs_of(far_a), slabs_of(far_b), slab_reach(0.5)), offset == 1048576.0f);
    }
    // Touching cells, at threshold 0 or the smallest one, and thresholds too large to square.
    const Points touching = octahedron(2, 0, 0);
    for (double threshold : {0.0, std::numeric_limits<double>::denorm_min(), 1e-300}) {
        EXPECT_FALSE(slabs_apart(slabs_of(a), slabs_of(touching), slab_reach(threshold)));
        EXPECT_TRUE(slabs_apart(slabs_of(a), slabs_of(octahedron(2.5f, 0, 0)), slab_reach(threshold)));
    }
    EXPECT_FALSE(slabs_apart(slabs_of(a), slabs_of(octahedron(1e30f, 1e30f, 1e30f)), slab_reach(1e308)));
    EXPECT_TRUE(slabs_apart(slabs_of(a), slabs_of({}), slab_reach(1e300)));   // no vertices: near nothing
}

TEST(DiagonalSlabs, NeverSayApartWhatTheDistanceKeeps) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<Points> cells;
    for (int c = 0; c < 150; ++c) {   // crowded: centres 3 units apart on average, clouds 2 wide
        const float cx = 8 * unit(rng), cy = 8 * unit(rng), cz = 8 * unit(rng);
        Points p;
        for (int k = 0; k < 10; ++k) p.insert(p.end(), {cx + unit(rng), cy + unit(rng), cz + unit(rng)});
        cells.push_back(p);
    }
    int proven = 0;
    for (double threshold : {0.0, 0.05, 0.5}) {
        const double reach = slab_reach(threshold);
        for (size_t i = 0; i < cells.size(); ++i) {
            for (size_t j = i + 1; j < cells.size(); ++j) {
                if (!slabs_apart(slabs_of(cells[i]), slabs_of(cells[j]), reach)) continue;
                ++proven;
                EXPECT_GT(exact_distance(cells[i], cells[j]), threshold) << i << " " << j;
            }
        }
    }
    EXPECT_GT(proven, 1000);
}

TEST(DiagonalSlabs, TheirBoundLiesBelowTheDistanceAndAboveEveryThresholdTheyProve) {
    // Above: a gap just past a threshold's reach, at every magnitude a threshold can have.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> exponent(-1074.0, 1000.0);
    std::vector<double> thresholds = {0.0, std::numeric_limits<double>::denorm_min(), 1.0, 3.0, 1e-310};
    for (int k = 0; k < 20000; ++k) thresholds.push_back(std::exp2(exponent(rng)));
    for (double threshold : thresholds) {
        const double gap = std::nextafter(slab_reach(threshold), HUGE_VAL);
        EXPECT_GT(slab_bound(gap), threshold) << threshold;
    }
    // Below: the hulls' own distance, for octahedra whose faces stand across the diagonal.
    const Points a = octahedron(0, 0, 0);
    for (float step : {0.75f, 1.0f, 1.5f, 3.0f, 1000.0f}) {
        const Points b = octahedron(step, step, step);
        const double gap = slabs_gap(slabs_of(a), slabs_of(b));
        EXPECT_GT(gap, 0.0);
        EXPECT_LE(slab_bound(gap), exact_distance(a, b)) << step;
        EXPECT_NEAR(slab_bound(gap), exact_distance(a, b), 1e-12 * step);
    }
}
