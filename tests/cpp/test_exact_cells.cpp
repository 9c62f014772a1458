// The exact rule's fast pass against its plain form in double, on the pairs a float pass gets
// wrong: near the threshold, short edges across long ones far from the origin, parallel and
// shared edges, thresholds beyond the float pass's range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "kernels/package/exact/exact_cells.h"

using namespace cellprox;

namespace {

struct TestCell {
    std::vector<float> vertices;
    std::vector<int32_t> edges;
    int32_t collection = 0;

    CellView view() const {
        return {vertices.data(), edges.data(), static_cast<int32_t>(vertices.size() / 3),
                static_cast<int32_t>(edges.size() / 2), collection};
    }
    VertexBox bounds() const {
        VertexBox box{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}};
        for (size_t v = 0; v < vertices.size(); v += 3) {
            for (int k = 0; k < 3; ++k) {
                box.lo[k] = std::min(box.lo[k], vertices[v + k]);
                box.hi[k] = std::max(box.hi[k], vertices[v + k]);
            }
        }
        return box;
    }
};

bool fast(const TestCell& a, const TestCell& b, double threshold) {
    CloseSpace space;
    const Closeness verdict = exact_cells_close(a.view(), a.bounds(), b.view(), b.bounds(), exact_threshold(threshold), space);
    EXPECT_NE(verdict, Closeness::out_of_memory);
    return verdict == Closeness::close;
}

bool plain(const TestCell& a, const TestCell& b, double threshold) {
    return a.collection == b.collection ? plain_vertices_close(a.view(), b.view(), threshold)
                                        : plain_edges_close(a.view(), b.view(), threshold);
}

// A segment cell: two vertices and the edge between them.
TestCell segment(const float* p, const float* q, int32_t collection) {
    return {{p[0], p[1], p[2], q[0], q[1], q[2]}, {0, 1}, collection};
}

// A cloud of `n` points around c, with every point-to-point edge of a ring.
TestCell cloud(std::mt19937& random, const float* c, float spread, int n, int32_t collection) {
    std::normal_distribution<float> offset(0.0f, spread);
    TestCell cell;
    cell.collection = collection;
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) cell.vertices.push_back(c[k] + offset(random));
        cell.edges.insert(cell.edges.end(), {i, (i + 1) % n});
    }
    return cell;
}

}  // namespace

TEST(ExactCells, ShortEdgesAcrossLongOnesFarFromTheOriginAreDecidedInDouble) {
    // A 0.002-long edge passing about 1e-4 from a 4000-long one, a few thousand units out: float
    // resolution there is 2.4e-4, so the float steps cannot tell; the double ones can.
    std::mt19937 random(11);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    int close = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const double base[3] = {3000 + 500 * unit(random), 2000 + 500 * unit(random), -2500 + 500 * unit(random)};
        double dir[3] = {unit(random), unit(random), unit(random)};
        const double norm = std::sqrt(dir[0] * dir[0] + dir[1] * dir[1] + dir[2] * dir[2]);
        float p0[3], p1[3], q0[3], q1[3];
        for (int k = 0; k < 3; ++k) {
            p0[k] = float(base[k] - 2000 * dir[k] / norm);
            p1[k] = float(base[k] + 2000 * dir[k] / norm);
            q0[k] = float(base[k] + 1e-4 * unit(random) + 2e-4 * unit(random));
            q1[k] = float(q0[k] + 0.001 * unit(random));
        }
        const TestCell long_edge = segment(p0, p1, 0), short_edge = segment(q0, q1, 1);
        for (double threshold : {1e-4, 2e-4, 1e-3}) {
            ASSERT_EQ(fast(short_edge, long_edge, threshold), plain(short_edge, long_edge, threshold)) << trial;
            ASSERT_EQ(fast(long_edge, short_edge, threshold), plain(long_edge, short_edge, threshold)) << trial;
            close += plain(short_edge, long_edge, threshold);
        }
    }
    EXPECT_GT(close, 200);
    EXPECT_LT(close, 1100);
}

TEST(ExactCells, CloudsNearTheThresholdAgreeWithDouble) {
    std::mt19937 random(5);
    const float here[3] = {0.25f, -0.5f, 0.75f}, far[3] = {70000.0f, -3e5f, 12.0f};
    for (const float* centre : {here, far}) {
        for (int trial = 0; trial < 300; ++trial) {
            const int32_t other = trial % 2;   // same collection: vertices; different: edges
            const TestCell a = cloud(random, centre, 0.01f, 3 + trial % 20, 0);
            const TestCell b = cloud(random, centre, 0.01f, 3 + trial % 17, other);
            for (double threshold : {1e-4, 3e-3, 1e-2, 3e-2}) {
                ASSERT_EQ(fast(a, b, threshold), plain(a, b, threshold)) << trial;
            }
        }
    }
}

TEST(ExactCells, PairsAtTheirOwnDistanceAreDecidedAsDoubleDecides) {
    // The threshold placed on the distance itself, and one double step either side of it.
    std::mt19937 random(9);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (int trial = 0; trial < 500; ++trial) {
        const float p0[3] = {unit(random), unit(random), unit(random)}, p1[3] = {unit(random), unit(random), unit(random)};
        const float q0[3] = {unit(random), unit(random), unit(random)}, q1[3] = {unit(random), unit(random), unit(random)};
        const bool edges = trial % 2 == 1;
        const TestCell a = segment(p0, p1, 0), b = segment(q0, q1, edges ? 1 : 0);
        double d = edges ? exact_segment_distance(q0, q1, p0, p1) : exact_vertex_distance(p0, q0);
        if (!edges) {
            for (const float* x : {p0, p1}) {
                for (const float* y : {q0, q1}) d = std::min(d, exact_vertex_distance(x, y));
            }
        }
        for (double threshold : {std::nextafter(d, 0.0), d, std::nextafter(d, 2.0), d * (1 + 1e-7), d * (1 - 1e-7)}) {
            ASSERT_EQ(fast(a, b, threshold), plain(a, b, threshold)) << trial << " at " << threshold;
        }
    }
}

TEST(ExactCells, ParallelSharedAndPointEdgesAndThresholdsBeyondTheFloatPass) {
    const float o[3] = {0, 0, 0}, x[3] = {1, 0, 0}, y1[3] = {0, 1e-3f, 0}, xy1[3] = {1, 1e-3f, 0};
    const TestCell shared_a = segment(o, x, 0), shared_b = segment(x, o, 1);
    const TestCell parallel = segment(y1, xy1, 1), point = segment(y1, y1, 1);
    for (double threshold : {1e-30, 1e-6, 9.999e-4, 1e-3, 1.0001e-3, 1.0, 1e25}) {
        EXPECT_EQ(fast(shared_a, shared_b, threshold), threshold > 0);
        EXPECT_EQ(fast(shared_a, parallel, threshold), threshold > double(1e-3f));
        EXPECT_EQ(fast(shared_a, point, threshold), threshold > double(1e-3f));
        EXPECT_EQ(fast(shared_a, parallel, threshold), plain(shared_a, parallel, threshold));
    }
    // Two one-vertex cells 5e19 apart: their float square overflows, the double one does not.
    const float far_a[3] = {-2.5e19f, 0, 0}, far_b[3] = {2.5e19f, 0, 0};
    const TestCell lone_a{{far_a[0], 0, 0}, {}, 0}, lone_b{{far_b[0], 0, 0}, {}, 0};
    EXPECT_TRUE(fast(lone_a, lone_b, 1e20));
    EXPECT_FALSE(fast(lone_a, lone_b, 4.9e19));
    EXPECT_FALSE(fast(lone_a, lone_b, 0.0));
    EXPECT_FALSE(fast(lone_a, TestCell{}, 1e30));
}

namespace {

TestCell scaled(const TestCell& cell, int exponent) {
    TestCell copy = cell;
    for (float& x : copy.vertices) x = std::ldexp(x, exponent);
    return copy;
}

}  // namespace

TEST(ExactCells, SegmentDistanceScalesWithTheSegmentsExactly) {
    // Segments on a grid of 2^-8 (short ones, crossing ones, nearly parallel ones): scaled by
    // 2^k their double distance is the same distance times 2^k, bit for bit, and moved by a
    // multiple of the grid it is the same distance.
    std::mt19937 random(21);
    std::uniform_int_distribution<int> step(-64, 64), tiny(-2, 2);
    for (int trial = 0; trial < 2000; ++trial) {
        float p[4][3];
        for (int k = 0; k < 3; ++k) {
            p[0][k] = std::ldexp(float(step(random)), -8);
            p[1][k] = trial % 3 == 0 ? p[0][k] + std::ldexp(float(tiny(random)), -8) : std::ldexp(float(step(random)), -8);
            p[2][k] = std::ldexp(float(step(random)), -8);
            p[3][k] = trial % 5 == 0 ? p[2][k] + (p[1][k] - p[0][k]) * 2 + std::ldexp(float(tiny(random)), -8)
                                     : std::ldexp(float(step(random)), -8);
        }
        const double d = exact_segment_distance(p[0], p[1], p[2], p[3]);
        for (int exponent : {-100, -60, -30, -12, 12, 40, 90}) {
            float q[4][3];
            for (int i = 0; i < 4; ++i) {
                for (int k = 0; k < 3; ++k) q[i][k] = std::ldexp(p[i][k], exponent);
            }
            ASSERT_EQ(exact_segment_distance(q[0], q[1], q[2], q[3]), std::ldexp(d, exponent)) << trial;
        }
        float moved[4][3];
        for (int i = 0; i < 4; ++i) {
            for (int k = 0; k < 3; ++k) moved[i][k] = p[i][k] + 0x1p14f * float(k + 1);
        }
        ASSERT_EQ(exact_segment_distance(moved[0], moved[1], moved[2], moved[3]), d) << trial;
    }
    // Two crossing segments of any length are 0 apart.
    for (int exponent : {-120, -60, -14, 0, 60, 120}) {
        const float s = std::ldexp(1.0f, exponent);
        const float a0[3] = {0, 0, 0}, a1[3] = {s, s, 0}, b0[3] = {0, s, 0}, b1[3] = {s, 0, 0};
        EXPECT_EQ(exact_segment_distance(a0, a1, b0, b1), 0.0) << exponent;
    }
}

TEST(ExactCells, CloudsAtEveryScaleAgreeWithDoubleAndWithThemselvesUnscaled) {
    // The float pass proves only what double decides at tiny and huge scales too, and double
    // decides a scaled pair as it decides the pair itself.
    std::mt19937 random(8);
    const float centre[3] = {0.5f, -0.25f, 0.75f};
    for (int trial = 0; trial < 200; ++trial) {
        const TestCell a = cloud(random, centre, 0.01f, 3 + trial % 12, 0);
        const TestCell b = cloud(random, centre, 0.01f, 3 + trial % 9, trial % 2);
        for (double threshold : {1e-4, 3e-3, 1e-2}) {
            const bool unscaled = plain(a, b, threshold);
            for (int exponent : {-60, -40, -24, -12, 12, 40, 70}) {
                const TestCell sa = scaled(a, exponent), sb = scaled(b, exponent);
                const double t = std::ldexp(threshold, exponent);
                ASSERT_EQ(plain(sa, sb, t), unscaled) << trial << " at 2^" << exponent;
                ASSERT_EQ(fast(sa, sb, t), unscaled) << trial << " at 2^" << exponent;
            }
        }
    }
}

TEST(ExactCells, PairsAtExactlyTheThresholdAreApartOnEveryPath) {
    // Integer coordinates 5 apart: vertices, skew edges whose closest points lie inside both,
    // edges meeting end to end. At thresholds 5 * 2^k the float pass (k = -20, 0, 40) leaves
    // them to double, and outside its range (k = -70, 70) every pair is measured in double.
    const float o[3] = {0, 0, 0}, v[3] = {3, 4, 0};
    const float x0[3] = {-10, 0, 0}, x1[3] = {10, 0, 0}, y0[3] = {0, -10, 5}, y1[3] = {0, 10, 5};
    const float e0[3] = {-10, 0, 0}, e1[3] = {0, 0, 0}, f0[3] = {3, 4, 0}, f1[3] = {3, 14, 0};
    const TestCell pairs[3][2] = {{segment(o, o, 0), segment(v, v, 0)},
                                  {segment(x0, x1, 0), segment(y0, y1, 1)},
                                  {segment(e0, e1, 0), segment(f0, f1, 1)}};
    for (const auto& pair : pairs) {
        for (int exponent : {-70, -20, 0, 40, 70}) {
            const TestCell a = scaled(pair[0], exponent), b = scaled(pair[1], exponent);
            const double at = std::ldexp(5.0, exponent), above = std::nextafter(at, INFINITY);
            EXPECT_FALSE(plain(a, b, at)) << exponent;
            EXPECT_TRUE(plain(a, b, above)) << exponent;
            EXPECT_FALSE(fast(a, b, at)) << exponent;
            EXPECT_TRUE(fast(a, b, above)) << exponent;
            EXPECT_FALSE(fast(b, a, at)) << exponent;
            EXPECT_TRUE(fast(b, a, above)) << exponent;
        }
    }
}

// Far from the origin, with a threshold far below the coordinates' last place, the double steps'
// rounding decides, and it differs between the two orders of a segment pair: the rule, fast or
// plain, takes either, so it says the same of a pair whichever cell comes first.
TEST(ExactCells, EdgePairsAreDecidedAlikeWhicheverCellComesFirst) {
    std::mt19937 random(5);
    std::uniform_int_distribution<int> units(0, 5);
    const float base = 2e34f;
    const float step = std::nextafter(base, INFINITY) - base;
    int orders_differ = 0;
    for (int trial = 0; trial < 4000; ++trial) {
        float points[4][3];
        for (auto& point : points) {
            for (float& x : point) x = base + step * static_cast<float>(units(random));
        }
        const double threshold = 0.05;
        const bool forward = exact_segment_distance(points[0], points[1], points[2], points[3]) < threshold;
        const bool backward = exact_segment_distance(points[2], points[3], points[0], points[1]) < threshold;
        orders_differ += forward != backward;
        const TestCell a = segment(points[0], points[1], 0), b = segment(points[2], points[3], 1);
        ASSERT_EQ(exact_segments_close(points[0], points[1], points[2], points[3], threshold), forward || backward);
        ASSERT_EQ(fast(a, b, threshold), forward || backward) << trial;
        ASSERT_EQ(fast(b, a, threshold), forward || backward) << trial;
        ASSERT_EQ(plain(b, a, threshold), forward || backward) << trial;
    }
    EXPECT_GT(orders_differ, 0);
}
