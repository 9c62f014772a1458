#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "kernels/hull_distance.h"

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
