#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <cmath>
#include <limits>
#include <vector>

#include "kernels/package/hull/hull_distance.h"
#include "kernels/package/hull/hull_measure.h"

using namespace cellprox;

namespace {

const double EXACT = std::numeric_limits<double>::infinity();

using Points = std::vector<float>;

HullPoints view(const Points& p) { return {p.data(), static_cast<int32_t>(p.size() / 3)}; }

double hull_distance(HullPoints a, HullPoints b, double limit) {
    HullWorkspace work;
    EXPECT_TRUE(work.reserve(std::max(a.count, b.count)));
    return cellprox::hull_distance(a, b, limit, work);
}

// The eight corners of the box [x, x + sx] x [y, y + sy] x [z, z + sz].
Points box(float x, float y, float z, float sx = 1, float sy = 1, float sz = 1) {
    Points p;
    for (int c = 0; c < 8; ++c) {
        p.insert(p.end(), {x + (c & 1 ? sx : 0), y + (c & 2 ? sy : 0), z + (c & 4 ? sz : 0)});
    }
    return p;
}

Points shifted(Points p, float dx, float dy, float dz) {
    for (size_t i = 0; i < p.size(); i += 3) {
        p[i] += dx;
        p[i + 1] += dy;
        p[i + 2] += dz;
    }
    return p;
}

double both_ways(const Points& a, const Points& b) {
    const double ab = hull_distance(view(a), view(b), EXACT);
    const double ba = hull_distance(view(b), view(a), EXACT);
    EXPECT_NEAR(ab, ba, 1e-12);
    return ab;
}

}  // namespace

TEST(HullDistance, SeparatedHullsAreMeasuredFaceVertexEdgeAndCorner) {
    const Points cube = box(0, 0, 0);
    EXPECT_NEAR(both_ways(cube, box(1.5f, 0.25f, -0.5f)), 0.5, 1e-13);           // face to face
    EXPECT_NEAR(both_ways(cube, box(2, 2, 2)), std::sqrt(3.0), 1e-13);           // corner to corner
    EXPECT_NEAR(both_ways(cube, box(2, 2, 0.25f, 1, 1, 0.5f)), std::sqrt(2.0), 1e-13);   // edges
    EXPECT_NEAR(both_ways(cube, Points{0.5f, 0.5f, 3}), 2.0, 1e-13);             // point over a face
    // A tetrahedron's apex pointing at the middle of the cube's top face, from 0.75 above.
    const Points apex_down{0.5f, 0.5f, 1.75f, -1, -1, 4, 2, -1, 4, 0.5f, 2, 4};
    EXPECT_NEAR(both_ways(cube, apex_down), 0.75, 1e-13);
    // Two skew edges of rotated boxes: the segments x-axis at z = 0 and y-axis at z = 2.
    const Points along_x{-1, 0, 0, 1, 0, 0};
    const Points along_y{0, -1, 2, 0, 1, 2};
    EXPECT_NEAR(both_ways(along_x, along_y), 2.0, 1e-13);
}

TEST(HullDistance, TouchingOverlappingAndNestedHullsAreAtZero) {
    const Points cube = box(0, 0, 0);
    EXPECT_EQ(both_ways(cube, box(1, 0.5f, 0.5f)), 0.0);        // sharing part of a face
    EXPECT_EQ(both_ways(cube, box(1, 1, 1)), 0.0);              // sharing one corner
    EXPECT_EQ(both_ways(cube, box(0.5f, 0.5f, 0.5f)), 0.0);     // interpenetrating
    EXPECT_EQ(both_ways(cube, box(0.25f, 0.25f, 0.25f, 0.5f, 0.5f, 0.5f)), 0.0);   // nested
    EXPECT_EQ(both_ways(cube, Points{0.5f, 0.5f, 0.5f}), 0.0);  // a point inside
    EXPECT_EQ(both_ways(cube, Points{1, 0.5f, 0.5f}), 0.0);     // a point on a face
}

TEST(HullDistance, DegenerateHullsFlatLinePointAndRepeatedVertices) {
    const Points square{0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
    EXPECT_NEAR(both_ways(square, shifted(square, 0.5f, 0.5f, 0.25f)), 0.25, 1e-13);
    EXPECT_EQ(both_ways(square, Points{0.5f, 0.5f, 0}), 0.0);
    EXPECT_NEAR(both_ways(square, Points{2, 0.5f, 0}), 1.0, 1e-13);           // in its plane
    EXPECT_NEAR(both_ways(Points{1, 1, 1}, Points{4, 5, 1}), 5.0, 1e-13);    // two points
    const Points line{0, 0, 0, 1, 1, 1, 2, 2, 2, 1, 1, 1};                   // collinear, repeated
    EXPECT_NEAR(both_ways(line, Points{0, 2, 0}), std::sqrt(8.0 / 3.0), 1e-13);
    EXPECT_EQ(both_ways(line, Points{0.5f, 0.5f, 0.5f}), 0.0);
    Points repeated = box(0, 0, 0);
    repeated.insert(repeated.end(), repeated.begin(), repeated.end());
    EXPECT_NEAR(both_ways(repeated, box(0, 0, 1.125f)), 0.125, 1e-13);
    // Crossing flat squares in perpendicular planes overlap.
    const Points upright{0.5f, -0.5f, -0.5f, 0.5f, 1.5f, -0.5f, 0.5f, 1.5f, 0.5f, 0.5f, -0.5f, 0.5f};
    EXPECT_EQ(both_ways(square, upright), 0.0);
}

TEST(HullDistance, FarFromTheOriginTheDistanceIsTheSame) {
    const Points a = box(0, 0, 0);
    const Points b{1.25f, 0.5f, 0.5f, 2, 2, 0.75f, 2, -1, 0.25f};
    const double near_origin = both_ways(a, b);
    EXPECT_NEAR(near_origin, 0.25, 1e-13);
    for (float offset : {65536.0f, -1048576.0f, 3.0e6f}) {
        EXPECT_NEAR(both_ways(shifted(a, offset, 0, 0), shifted(b, offset, 0, 0)), 0.25, 1e-12);
        EXPECT_NEAR(both_ways(shifted(a, 0, offset, offset), shifted(b, 0, offset, offset)), 0.25,
                    1e-12);
    }
}

TEST(HullDistance, StopsWithALowerBoundBeyondTheLimitOnly) {
    const Points cube = box(0, 0, 0);
    const Points far = box(3, 0.5f, 0.5f);
    const double bound = hull_distance(view(cube), view(far), 0.5);
    EXPECT_GT(bound, 0.5);
    EXPECT_LE(bound, 2.0 + 1e-13);
    EXPECT_NEAR(hull_distance(view(cube), view(far), 2.0), 2.0, 1e-13);   // within: exact
    EXPECT_EQ(hull_distance(view(cube), view(box(0.5f, 0, 0)), 0.0), 0.0);
}

namespace {

std::vector<Points> random_clouds(uint32_t seed, int count, float spread) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<int> size(4, 12);
    std::vector<Points> clouds;
    for (int c = 0; c < count; ++c) {
        const float cx = spread * unit(rng), cy = spread * unit(rng), cz = spread * unit(rng);
        Points p;
        for (int k = size(rng); k > 0; --k) p.insert(p.end(), {cx + unit(rng), cy + unit(rng), cz + unit(rng)});
        clouds.push_back(p);
    }
    return clouds;
}

// How far `p` lies outside the hull of `cloud` (0 or less inside): the largest excess over the
// planes of its faces, found by trying every triple of vertices (the clouds here are small and
// solid).
double outside_by(const Points& cloud, const double p[3]) {
    const int n = static_cast<int>(cloud.size() / 3);
    auto at = [&](int i, int k) { return static_cast<double>(cloud[3 * i + k]); };
    double worst = -HUGE_VAL;
    for (int i = 0; i < n; ++i) {
        for (int j = i + 1; j < n; ++j) {
            for (int k = j + 1; k < n; ++k) {
                double u[3], v[3], normal[3];
                for (int a = 0; a < 3; ++a) {
                    u[a] = at(j, a) - at(i, a);
                    v[a] = at(k, a) - at(i, a);
                }
                normal[0] = u[1] * v[2] - u[2] * v[1];
                normal[1] = u[2] * v[0] - u[0] * v[2];
                normal[2] = u[0] * v[1] - u[1] * v[0];
                const double length = std::sqrt(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2]);
                if (length < 1e-9) continue;
                double low = HUGE_VAL, high = -HUGE_VAL;
                for (int m = 0; m < n; ++m) {
                    const double reach = (normal[0] * at(m, 0) + normal[1] * at(m, 1) + normal[2] * at(m, 2)) / length;
                    low = std::min(low, reach);
                    high = std::max(high, reach);
                }
                const double reach = (normal[0] * p[0] + normal[1] * p[1] + normal[2] * p[2]) / length;
                worst = std::max({worst, reach - high, low - reach});
            }
        }
    }
    return worst;
}

double apart(const double p[3], const double q[3]) {
    return std::sqrt((p[0] - q[0]) * (p[0] - q[0]) + (p[1] - q[1]) * (p[1] - q[1]) + (p[2] - q[2]) * (p[2] - q[2]));
}

// The witnesses of a pair, checked: each on its hull, as far apart as the distance, one point for
// touching hulls. Returns the distance.
double check_witnesses(const Points& a, const Points& b, HullWorkspace& work, const double* toward_a = nullptr) {
    double on_a[3], on_b[3];
    const double distance = hull_distance_witnesses(view(a), view(b), EXACT, work, toward_a, on_a, on_b);
    EXPECT_LE(outside_by(a, on_a), 1e-9);
    EXPECT_LE(outside_by(b, on_b), 1e-9);
    EXPECT_NEAR(apart(on_a, on_b), distance, 1e-9);
    if (distance == 0.0) {
        EXPECT_EQ(apart(on_a, on_b), 0.0);
    }
    return distance;
}

}  // namespace

TEST(HullWitnesses, LieOnTheirHullsTheDistanceApartAndMeetWhereHullsTouch) {
    HullWorkspace work;
    ASSERT_TRUE(work.reserve(16));
    const Points cube = box(0, 0, 0);
    EXPECT_NEAR(check_witnesses(cube, box(1.5f, 0.25f, -0.5f), work), 0.5, 1e-13);
    EXPECT_NEAR(check_witnesses(cube, box(2, 2, 2), work), std::sqrt(3.0), 1e-13);
    EXPECT_EQ(check_witnesses(cube, box(0.5f, 0.5f, 0.5f), work), 0.0);            // overlapping
    EXPECT_EQ(check_witnesses(cube, box(1, 1, 1), work), 0.0);                     // a shared corner
    EXPECT_EQ(check_witnesses(cube, box(0.25f, 0.25f, 0.25f, 0.5f, 0.5f, 0.5f), work), 0.0);   // nested
    // Far from the origin the points keep their place.
    const Points far = shifted(cube, 3.0e6f, 0, 0);
    double on_a[3], on_b[3];
    EXPECT_NEAR(hull_distance_witnesses(view(far), view(shifted(box(1.5f, 0.25f, 0.25f), 3.0e6f, 0, 0)), EXACT,
                                        work, nullptr, on_a, on_b), 0.5, 1e-9);
    EXPECT_EQ(on_a[0], 3.0e6 + 1.0);
    EXPECT_EQ(on_b[0], 3.0e6 + 1.5);

    int touching = 0;
    const std::vector<Points> clouds = random_clouds(7, 60, 1.6f);
    for (size_t i = 0; i < clouds.size(); ++i) {
        for (size_t j = i + 1; j < clouds.size(); ++j) {
            touching += check_witnesses(clouds[i], clouds[j], work) == 0.0;
        }
    }
    EXPECT_GT(touching, 100);   // both kinds of pair were met
    EXPECT_LT(touching, 1700);
}

TEST(HullDistance, WideAndNarrowLanesAndAnyStartGiveTheSameResults) {
    HullWorkspace narrow, wide;
    ASSERT_TRUE(narrow.reserve(16) && wide.reserve(16));
    narrow.use_wide_lanes(false);
    EXPECT_FALSE(narrow.wide_lanes());
    if (!wide.use_wide_lanes(true)) GTEST_SKIP() << "no AVX2 here";
    std::vector<Points> clouds = random_clouds(11, 50, 1.4f);
    // Boxes tie along the axes: the lowest-numbered farthest vertex must win in both widths.
    for (float x : {0.0f, 1.0f, 1.03125f, 2.5f}) clouds.push_back(box(x, 0.5f * x, 0, 1, 1, 1));
    const double directions[3][3] = {{1, 0, 0}, {0, 0, 0}, {-0.3, 2, 1e-3}};
    for (size_t i = 0; i < clouds.size(); ++i) {
        for (size_t j = i + 1; j < clouds.size(); ++j) {
            const double exact = cellprox::hull_distance(view(clouds[i]), view(clouds[j]), EXACT, narrow);
            for (const double* direction : directions) {
                double on_a[2][3], on_b[2][3];
                const double a = hull_distance_witnesses(view(clouds[i]), view(clouds[j]), 0.05, narrow, direction,
                                                         on_a[0], on_b[0]);
                const double b = hull_distance_witnesses(view(clouds[i]), view(clouds[j]), 0.05, wide, direction,
                                                         on_a[1], on_b[1]);
                // Bit for bit the same with either width.
                EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
                EXPECT_EQ(std::memcmp(on_a[0], on_a[1], sizeof on_a[0]), 0);
                EXPECT_EQ(std::memcmp(on_b[0], on_b[1], sizeof on_b[0]), 0);
                // Whatever the start, the same decision and distance (to the accuracy).
                if (exact <= 0.05) {
                    EXPECT_NEAR(a, exact, 1e-12);
                } else {   // a lower bound, and two points of the hulls at least that far apart
                    EXPECT_GT(a, 0.05);
                    EXPECT_LE(a, exact + 1e-12);
                    EXPECT_GE(apart(on_a[0], on_b[0]), a - 1e-12);
                    EXPECT_LE(outside_by(clouds[i], on_a[0]), 1e-9);
                    EXPECT_LE(outside_by(clouds[j], on_b[0]), 1e-9);
                }
            }
        }
    }
}

TEST(HullDistance, AWorkspaceRefusesCellsItCouldNotRoundUp) {
    HullWorkspace work;
    EXPECT_FALSE(work.reserve(INT32_MAX));   // the rounded-up count would not fit
    EXPECT_TRUE(work.reserve(8));
    EXPECT_FALSE(work.reserve(INT32_MAX - 3));
    EXPECT_NEAR(cellprox::hull_distance(view(box(0, 0, 0)), view(box(2, 0, 0)), EXACT, work), 1.0, 1e-13);
}

TEST(HullDistance, ALimitAtTheResultItselfNeverEndsTheSearchEarly) {
    // Face-to-face boxes, whose search's lower bound meets the result within rounding: with the
    // limit at the result the result comes back, bit for bit; one double below, a value above it.
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (float scale : {1.0f, 0x1p-50f, 0x1p50f}) {
        for (int k = 0; k < 300; ++k) {
            const float x = unit(rng), y = unit(rng), z = unit(rng);
            const float sx = 0.1f + unit(rng), sy = 0.1f + unit(rng), sz = 0.1f + unit(rng);
            Points a = box(x, y, z, sx, sy, sz);
            Points b = box(x + sx + 0.5f * unit(rng), y + sy * (unit(rng) - 0.5f), z + sz * (unit(rng) - 0.5f),
                           0.1f + unit(rng), 0.1f + unit(rng), 0.1f + unit(rng));
            for (float& c : a) c *= scale;
            for (float& c : b) c *= scale;
            HullWorkspace work;   // a new one for each pair: a workspace knows a cell by its address
            ASSERT_TRUE(work.reserve(8));
            const double gap = cellprox::hull_distance(view(a), view(b), EXACT, work);
            const double at = cellprox::hull_distance(view(a), view(b), gap, work);
            EXPECT_EQ(std::memcmp(&at, &gap, sizeof gap), 0) << k << " " << scale;
            const double below = std::nextafter(gap, 0.0);
            EXPECT_GT(cellprox::hull_distance(view(a), view(b), below, work), below) << k << " " << scale;
        }
    }
}

// The search's measurer of the rule: a close pair's gap, then its witnesses in the order of the
// caller's cell numbers (here the second position holds the lower number), and nothing for a
// pair beyond the threshold, whichever bound proves it so.
TEST(HullMeasurer, KeepsAClosePairsGapAndWitnessesInTheCallersOrder) {
    const Points a = box(0, 0, 0), b = box(1.5f, 0.25f, -0.5f);
    const DiagonalSlabs slabs[2] = {diagonal_slabs(a.data(), 8), diagonal_slabs(b.data(), 8)};
    const VertexBox boxes[2] = {{{0, 0, 0}, {1, 1, 1}}, {{1.5f, 0.25f, -0.5f}, {2.5f, 1.25f, 0.5f}}};
    const uint8_t sharing[2] = {1, 1};
    const int32_t order[2] = {7, 3};
    HullWorkspace work;
    HullMeasurer rule;
    rule.slabs = slabs;
    rule.sharing = sharing;
    rule.boxes = boxes;
    rule.order = order;
    rule.witnesses = true;
    ASSERT_TRUE(rule.attach(work, 8));
    for (double threshold : {0.25, 0.49, 0.51, 2.0}) {
        rule.threshold = threshold;
        rule.slab_reach = slab_reach(threshold);
        StreamBuffer<double> details;
        int64_t detail = -1;
        ASSERT_TRUE(measure_hulls(rule, 0, 1, view(a), view(b), details, detail));
        if (threshold < 0.5) {
            EXPECT_EQ(detail, -1) << threshold;
            EXPECT_TRUE(details.empty()) << threshold;
            continue;
        }
        ASSERT_EQ(detail, 0);
        ASSERT_EQ(details.size(), 7u);
        EXPECT_NEAR(details[0], 0.5, 1e-13);
        EXPECT_GE(details[0], 0.5);   // never below the boxes' gap
        EXPECT_NEAR(details[1], 1.5, 1e-13);   // on b's hull: cell 3 comes first
        EXPECT_NEAR(details[4], 1.0, 1e-13);   // on a's hull
    }
}
