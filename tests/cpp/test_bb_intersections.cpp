#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kernels/deliverable/broad/bb_intersections.h"

using namespace cellprox;

namespace {

// Contiguous tables for n cells, prepared as a caller must: starts -1, counts 0, free slots -1.
struct Tables {
    explicit Tables(int32_t n)
        : n(n), bbox(size_t(n) * 24, 0.0f), links(size_t(n) * MAX_CELL_LINKS, -1),
          starts(size_t(n), -1), counts(size_t(n), 0) {}

    void set_box(int32_t cell, float x0, float y0, float z0, float x1, float y1, float z1) {
        for (int corner = 0; corner < 8; ++corner) {
            float* p = &bbox[size_t(cell) * 24 + corner * 3];
            p[0] = (corner & 1) ? x1 : x0;
            p[1] = (corner & 2) ? y1 : y0;
            p[2] = (corner & 4) ? z1 : z0;
        }
    }

    BroadPhaseArrays arrays() {
        BroadPhaseArrays a;
        a.bbox = view(reinterpret_cast<char*>(bbox.data()), 3, {n, 8, 3}, {96, 12, 4});
        a.links = view(reinterpret_cast<char*>(links.data()), 2, {n, MAX_CELL_LINKS}, {120, 4, 0});
        a.link_starts = view(reinterpret_cast<char*>(starts.data()), 1, {n, 0, 0}, {4, 0, 0});
        a.link_count = view(reinterpret_cast<char*>(counts.data()), 1, {n, 0, 0}, {1, 0, 0});
        return a;
    }

    int32_t run() { return get_bb_intersections(arrays(), n, plain_loop_frame()); }

    std::vector<int32_t> row(int32_t cell) const {
        return {links.begin() + cell * MAX_CELL_LINKS,
                links.begin() + cell * MAX_CELL_LINKS + counts[size_t(cell)]};
    }

    static StridedView view(char* data, int ndim, std::initializer_list<ptrdiff_t> shape,
                            std::initializer_list<ptrdiff_t> strides) {
        StridedView v;
        v.data = data;
        v.ndim = ndim;
        std::copy(shape.begin(), shape.end(), v.shape);
        std::copy(strides.begin(), strides.end(), v.strides);
        return v;
    }

    int32_t n;
    std::vector<float> bbox;
    std::vector<int32_t> links, starts;
    std::vector<uint8_t> counts;
};

}  // namespace

TEST(BoxPass, WidensByTheMarginInDoublePrecision) {
    Tables t(1);
    t.set_box(0, 0.5f, -1.0f, 3.0f, 1.5f, 2.0f, 7.25f);
    EXPECT_EQ(t.run(), 0);
    const float* lo = &t.bbox[0];
    const float* hi = &t.bbox[3];
#ifdef CELLPROX_SINGLE_PRECISION_MARGIN
    EXPECT_EQ(lo[0], 0.5f - 0.002f);
    EXPECT_EQ(hi[2], 7.25f + 0.002f);
#else
    EXPECT_EQ(lo[0], float(0.5 - 0.002));
    EXPECT_EQ(lo[1], float(-1.0 - 0.002));
    EXPECT_EQ(hi[2], float(7.25 + 0.002));
#endif
    EXPECT_EQ(t.starts[0], -1);
    EXPECT_EQ(t.counts[0], 0);
}

TEST(BoxPass, SeedsTakePartInTheFold) {
    Tables t(1);
    t.set_box(0, 200000.0f, -300000.0f, 0.0f, 300000.0f, -200000.0f, 1.0f);
    t.run();
    EXPECT_EQ(t.bbox[0], 100000.0f);   // lower x: the seed wins, the margin vanishes
    EXPECT_EQ(t.bbox[4], -100000.0f);  // upper y: likewise
}

TEST(PairPass, TouchingAndNearBoxesLinkFarOnesDoNot) {
    struct Case { float shift; int32_t links; };
    for (Case c : {Case{1.0f, 1}, Case{1.003f, 1}, Case{1.005f, 0}}) {
        Tables t(2);
        t.set_box(0, 0, 0, 0, 1, 1, 1);
        t.set_box(1, c.shift, 0, 0, c.shift + 1, 1, 1);
        EXPECT_EQ(t.run(), c.links) << c.shift;
        EXPECT_EQ(t.counts[0], c.links);
        EXPECT_EQ(t.starts[1], -1);
        if (c.links) {
            EXPECT_EQ(t.links[0], 1);
            EXPECT_EQ(t.starts[0], 0);
        }
    }
    Tables apart(2);
    apart.set_box(0, 0, 0, 0, 1, 1, 1);
    apart.set_box(1, 0.5f, 0.5f, 2.0f, 1.5f, 1.5f, 3.0f);
    EXPECT_EQ(apart.run(), 0);
}

TEST(PairPass, FullRowSpillsIntoTheHigherRow) {
    // Cell 0 overlaps cells 1..35, which lie apart from one another.
    Tables t(36);
    t.set_box(0, 0, 0, 0, 100, 1, 1);
    for (int32_t c = 1; c < 36; ++c) t.set_box(c, 2.0f * c, 0.25f, 0.25f, 2.0f * c + 1, 0.75f, 0.75f);
    EXPECT_EQ(t.run(), 35);
    EXPECT_EQ(t.counts[0], 30);
    for (int32_t k = 0; k < 30; ++k) EXPECT_EQ(t.links[size_t(k)], k + 1);
    for (int32_t c = 1; c <= 30; ++c) EXPECT_EQ(t.counts[size_t(c)], 0);
    for (int32_t c = 31; c < 36; ++c) {
        EXPECT_EQ(t.row(c), std::vector<int32_t>{0});
        EXPECT_EQ(t.starts[size_t(c)], c - 1);
    }
}

TEST(PairPass, EachPairIsRecordedOnceWhateverFreeSlotsHold) {
    Tables t(3);
    for (int32_t c = 0; c < 3; ++c) t.set_box(c, 0, 0, 0, 1, 1, 1);
    t.links[29] = 2;                       // a stale free slot of row 0 names cell 2
    t.links[1 * MAX_CELL_LINKS + 29] = 0;  // 0 never makes a later row skip anything
    EXPECT_EQ(t.run(), 3);
    EXPECT_EQ(t.row(0), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(t.row(1), (std::vector<int32_t>{2}));
    EXPECT_EQ(t.counts[2], 0);
    EXPECT_EQ(t.starts[2], -1);
}

TEST(PairPass, NonPositiveCountTouchesNothing) {
    Tables t(2);
    t.set_box(0, 0, 0, 0, 1, 1, 1);
    const std::vector<float> before = t.bbox;
    EXPECT_EQ(get_bb_intersections(t.arrays(), 0, plain_loop_frame()), 0);
    EXPECT_EQ(get_bb_intersections(t.arrays(), -4, plain_loop_frame()), 0);
    EXPECT_EQ(t.bbox, before);
}

TEST(PairPass, RowsAscendAndStartsAreRunningSums) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> pos(0.0f, 10.0f), size(0.1f, 3.0f);
    Tables t(300);
    for (int32_t c = 0; c < t.n; ++c) {
        const float x = pos(rng), y = pos(rng), z = pos(rng);
        t.set_box(c, x, y, z, x + size(rng), y + size(rng), z + size(rng));
    }
    const int32_t n_links = t.run();
    int32_t running = 0;
    for (int32_t c = 0; c < t.n; ++c) {
        const std::vector<int32_t> r = t.row(c);
        if (r.empty()) {
            EXPECT_EQ(t.starts[size_t(c)], -1);
        } else {
            EXPECT_EQ(t.starts[size_t(c)], running);
        }
        for (size_t k = 0; k < r.size(); ++k) {
            EXPECT_NE(r[k], c);
            if (k > 0) {
                EXPECT_LT(r[k - 1], r[k]);
            }
        }
        running += int32_t(r.size());
    }
    EXPECT_EQ(running, n_links);
}

namespace {

// Boxes of one kind of input, for the box pass to widen.
void fill_boxes(Tables& t, std::mt19937& rng, int kind) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const float inf = INFINITY, nan = NAN;
    for (int32_t c = 0; c < t.n; ++c) {
        float lo[3], size[3];
        for (int a = 0; a < 3; ++a) {
            switch (kind) {
                case 0: lo[a] = 20 * unit(rng); size[a] = 0.2f + 1.5f * unit(rng); break;  // sparse
                case 1: lo[a] = unit(rng); size[a] = 1 + unit(rng); break;                  // dense
                case 2: lo[a] = 5 * unit(rng); size[a] = unit(rng) < 0.02f ? 30 * unit(rng) : 0.5f * unit(rng); break;
                default: lo[a] = float(int(4 * unit(rng))); size[a] = 1.0f; break;          // touching grid
            }
        }
        t.set_box(c, lo[0], lo[1], lo[2], lo[0] + size[0], lo[1] + size[1], lo[2] + size[2]);
    }
    if (kind == 2) {  // a few boxes with NaN or infinite bounds
        for (int k = 0; k < 6; ++k) {
            const int32_t c = int32_t(rng() % uint32_t(t.n));
            t.bbox[size_t(c) * 24 + rng() % 24] = (k % 3 == 0) ? nan : (k % 3 == 1 ? inf : -inf);
        }
    }
}

}  // namespace

namespace {

// A team of its own kind: the range in blocks of 7, the last block first, as a thread team may
// finish them.
void blocks_last_first(int32_t n, bool, LoopBlock block, void* context) {
    for (int32_t begin = (n - 1) / 7 * 7; begin >= 0; begin -= 7) {
        block(begin, begin + 7 < n ? begin + 7 : n, context);
    }
}

}  // namespace

TEST(PairPass, GridGivesTheTablesOfTheDirectAlgorithm) {
    const LoopFrame team{plain_loop_frame().release_interpreter,
                         plain_loop_frame().restore_interpreter, blocks_last_first};
    std::mt19937 rng(2024);
    for (int trial = 0; trial < 48; ++trial) {
        const int kind = trial % 4;
        Tables direct(40 + int32_t(rng() % 400));
        fill_boxes(direct, rng, kind);
        if (trial % 3 == 1) {  // stale entries in free slots, and counts already running
            for (auto& slot : direct.links) slot = int32_t(rng() % uint32_t(direct.n + 2)) - 1;
            for (auto& count : direct.counts) count = uint8_t(rng() % 250);
        }
        Tables grid = direct;
        Tables on_team = direct;  // candidates searched in blocks, as on a thread team
        for (int call = 0; call < 1 + trial % 2; ++call) {  // and a second call on processed tables
            for (Tables* t : {&direct, &grid, &on_team}) widen_boxes(t->arrays().bbox, 0, t->n);
            const int32_t a = link_overlapping_boxes_direct(direct.arrays(), direct.n);
            const int32_t b = link_overlapping_boxes(grid.arrays(), grid.n);
            const int32_t c = link_overlapping_boxes(on_team.arrays(), on_team.n, &team);
            ASSERT_EQ(a, b) << trial;
            ASSERT_EQ(a, c) << trial;
            for (const Tables* t : {&grid, &on_team}) {
                ASSERT_EQ(direct.links, t->links) << trial;
                ASSERT_EQ(direct.starts, t->starts) << trial;
                ASSERT_EQ(direct.counts, t->counts) << trial;
            }
        }
    }
}
