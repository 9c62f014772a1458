#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "kernels/common/distance/link_filter.h"
#include "kernels/common/distance/segment_distance.h"

using namespace cellprox;

namespace {

struct P { double x, y, z; };

P sub(P a, P b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dot(P a, P b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
P along(P a, P d, double t) { return {a.x + t * d.x, a.y + t * d.y, a.z + t * d.z}; }
double norm(P a) { return std::sqrt(dot(a, a)); }

double point_to_segment(P p, P a, P b) {
    const P d = sub(b, a);
    const double len2 = dot(d, d);
    const double t = len2 > 0 ? std::clamp(dot(sub(p, a), d) / len2, 0.0, 1.0) : 0.0;
    return norm(sub(p, along(a, d, t)));
}

// Independent double-precision distance: the best of the four end-point distances and, when the
// lines' closest points fall inside both segments, the distance between those.
double reference_distance(P p0, P p1, P q0, P q1) {
    double best = std::min({point_to_segment(p0, q0, q1), point_to_segment(p1, q0, q1),
                            point_to_segment(q0, p0, p1), point_to_segment(q1, p0, p1)});
    const P u = sub(p1, p0), v = sub(q1, q0), w = sub(p0, q0);
    const double a = dot(u, u), b = dot(u, v), c = dot(v, v), d = dot(u, w), e = dot(v, w);
    const double D = a * c - b * b;
    if (D > 1e-12 * a * c) {
        const double s = (b * e - c * d) / D, t = (a * e - b * d) / D;
        if (s >= 0 && s <= 1 && t >= 0 && t <= 1) best = std::min(best, norm(sub(along(p0, u, s), along(q0, v, t))));
    }
    return best;
}

float distance(P p0, P p1, P q0, P q1) {
    const float a[3] = {float(p0.x), float(p0.y), float(p0.z)};
    const float b[3] = {float(p1.x), float(p1.y), float(p1.z)};
    const float c[3] = {float(q0.x), float(q0.y), float(q0.z)};
    const float d[3] = {float(q1.x), float(q1.y), float(q1.z)};
    return dist3D_Segment_to_Segment(a, b, c, d);
}

void expect_distance(P p0, P p1, P q0, P q1, double expected) {
    EXPECT_NEAR(reference_distance(p0, p1, q0, q1), expected, 1e-12);
    EXPECT_NEAR(distance(p0, p1, q0, q1), expected, 1e-6 * (1 + expected));
}

}  // namespace

TEST(SegmentDistance, ClassicConfigurations) {
    // Crossing segments.
    expect_distance({-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, 0.0);
    // Parallel, side by side, overlapping in extent.
    expect_distance({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {2, 1, 0}, 1.0);
    // Collinear and apart: the gap between the nearest ends.
    expect_distance({0, 0, 0}, {1, 0, 0}, {3, 0, 0}, {5, 0, 0}, 2.0);
    expect_distance({3, 0, 0}, {5, 0, 0}, {0, 0, 0}, {1, 0, 0}, 2.0);
    // Skew, closest points interior to both.
    expect_distance({-1, 0, 0}, {1, 0, 0}, {0, -1, 2}, {0, 1, 2}, 2.0);
    // The result is a distance, not its square.
    expect_distance({0, 0, 0}, {1, 0, 0}, {0, 3, 0}, {1, 3, 0}, 3.0);
    // Closest at an end of one and the interior of the other.
    expect_distance({0, 0, 0}, {1, 0, 0}, {2, -1, 0}, {2, 1, 0}, 1.0);
}

TEST(SegmentDistance, ZeroLengthSegments) {
    // A point as the first segment: distance from it to the second segment.
    expect_distance({0.5, 2, 0}, {0.5, 2, 0}, {0, 0, 0}, {1, 0, 0}, 2.0);
    expect_distance({3, 4, 0}, {3, 4, 0}, {0, 0, 0}, {1, 0, 0}, std::sqrt(4.0 + 16.0));
    // A point as the second segment: measured from the first segment's nearest point, not
    // from its start (which would give 2.06 here).
    expect_distance({0, 0, 0}, {1, 0, 0}, {0.5, 2, 0}, {0.5, 2, 0}, 2.0);
    expect_distance({0, 0, 0}, {1, 0, 0}, {-2, 0, 0}, {-2, 0, 0}, 2.0);
    expect_distance({0, 0, 0}, {1, 0, 0}, {4, 4, 0}, {4, 4, 0}, 5.0);
    // Both points.
    expect_distance({1, 1, 1}, {1, 1, 1}, {1, 4, 5}, {1, 4, 5}, 5.0);
}

TEST(SegmentDistance, AgreesWithDoublePrecisionOnRandomSegments) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> coord(-5.0, 5.0);
    auto point = [&] {
        return P{double(float(coord(rng))), double(float(coord(rng))), double(float(coord(rng)))};
    };
    for (int trial = 0; trial < 20000; ++trial) {
        const P p0 = point(), p1 = point(), q0 = point();
        // Every tenth second segment is a point, every tenth one shares a direction.
        P q1 = point();
        if (trial % 10 == 3) q1 = q0;
        if (trial % 10 == 7) q1 = along(q0, sub(p1, p0), 0.5);
        const double expected = reference_distance(p0, p1, q0, q1);
        const double tolerance = 2e-3 * (1 + expected);
        if (trial % 10 == 7) {
            // Nearly parallel in single precision: the determinant rarely rounds to exactly 0,
            // and the line parameters then carry rounding noise. The points compared still lie
            // on the segments, so the distance may come out long, never short.
            ASSERT_GE(distance(p0, p1, q0, q1), expected - tolerance) << trial;
        } else {
            ASSERT_NEAR(distance(p0, p1, q0, q1), expected, tolerance) << trial;
        }
    }
}

#include "kernels/common/distance/segment_batch.h"

TEST(SegmentBatch, DecidesExactlyAsTheScalarDistance) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> coord(-2.0f, 2.0f);
    auto point = [&](float* p) { for (int k = 0; k < 3; ++k) p[k] = coord(rng); };
    int checked = 0;
    for (int trial = 0; trial < 4000; ++trial) {
        float q0[3], q1[3];
        point(q0);
        point(q1);
        if (trial % 5 == 0) std::copy(q0, q0 + 3, q1);  // the second segment a point
        const int32_t count = 1 + int32_t(rng() % 9);
        std::vector<float> cols[6];
        std::vector<float> scalar(static_cast<size_t>(count), 0.0f);
        for (int32_t j = 0; j < count; ++j) {
            float p0[3], p1[3];
            point(p0);
            point(p1);
            switch (rng() % 6) {
                case 0: std::copy(p0, p0 + 3, p1); break;                                  // a point
                case 1: for (int k = 0; k < 3; ++k) p1[k] = p0[k] + 2 * (q1[k] - q0[k]); break;  // parallel
                case 2: for (int k = 0; k < 3; ++k) { p0[k] = q0[k]; p1[k] = q1[k]; } break;      // the same
                default: break;
            }
            for (int k = 0; k < 3; ++k) {
                cols[k].push_back(p0[k]);
                cols[3 + k].push_back(p1[k]);
            }
            scalar[size_t(j)] = dist3D_Segment_to_Segment(p0, p1, q0, q1);
        }
        const SegmentBatch batch{{cols[0].data(), cols[1].data(), cols[2].data()},
                                 {cols[3].data(), cols[4].data(), cols[5].data()}, count};
        // Thresholds at, just below and just above each scalar distance.
        for (float d : scalar) {
            for (float threshold : {std::nextafter(d, 0.0f), d, std::nextafter(d, 10.0f)}) {
                bool expected = false;
                for (float s : scalar) expected = expected || s < threshold;
                ASSERT_EQ(any_segment_within(q0, q1, batch, threshold), expected) << trial;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 30000);
}

TEST(PruningLimit, RoundsOutwardToTheNearestFloats) {
    // The rounding both rules' limits and the exact rule's thresholds take: the nearest float on
    // the asked side, across signs, zero, the subnormals and the range's end.
    std::mt19937 random(11);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::vector<double> values = {0.0, -0.0, 1e-46, -1e-46, 0x1p-149, 1e-40, 1.0, 0.1, -0.1, 3e38, -3e38, 1e39};
    for (int k = 0; k < 200; ++k) values.push_back(std::ldexp(mantissa(random), int(random() % 200) - 140));
    for (double x : values) {
        const float nearest = static_cast<float>(x);
        const float above = x < double(FLT_MAX) ? (double(nearest) < x ? std::nextafter(nearest, INFINITY) : nearest)
                                                : INFINITY;
        const float below = x < double(FLT_MAX) ? (double(nearest) > x ? std::nextafter(nearest, -INFINITY) : nearest)
                                                : FLT_MAX;
        EXPECT_EQ(float_above(x), above) << x;
        EXPECT_EQ(float_below(x), below) << x;
    }
    const VertexBox box{{-1000.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 1.0f}};
    const PruningMargins margins{1e-4, 1e-4, 0.0};
    EXPECT_GE(double(pruning_limit(0.1, box, box, margins)), 0.1 * (1.0 + 1e-4) + 1000.0 * 1e-4);
}
