#include <gtest/gtest.h>

#include <cstdint>

#include "kernels/deliverable/broad/view_overlap.h"

using namespace cellprox;

namespace {

StridedView view(char* data, ptrdiff_t stride0, ptrdiff_t stride1 = 0) {
    StridedView v;
    v.data = data;
    v.ndim = 2;
    v.strides[0] = stride0;
    v.strides[1] = stride1;
    return v;
}

}  // namespace

// Tables with rows 30 int32 slots wide: the layouts numpy hands out never overlap (so they keep
// the fast pass), those made with as_strided may.
TEST(ViewOverlap, RowsOfThirtySlots) {
    alignas(8) static char memory[1 << 16];
    char* middle = memory + sizeof memory / 2;
    const ptrdiff_t n = 100;
    struct Case { ptrdiff_t row, slot; bool overlap; };
    for (const Case c : {Case{120, 4, false},      // C order
                         Case{4, 4 * n, false},    // Fortran order: rows interleave
                         Case{-240, 4, false},     // reversed, padded
                         Case{8, 8 * n, false},    // every other row of a Fortran array
                         Case{0, 4, true},         // one row for all
                         Case{8, 4, true},         // each row starts two slots into the last
                         Case{116, 4, true},       // one slot shared by neighbouring rows
                         Case{120, 0, true},       // one slot for the whole row
                         Case{120, 2, true}}) {    // slots overlap by half
        EXPECT_EQ(elements_overlap(view(middle, c.row, c.slot), n, 30, 4), c.overlap)
            << c.row << " " << c.slot;
    }
    EXPECT_FALSE(elements_overlap(view(middle, 0, 4), 1, 30, 4));  // one row cannot share
    EXPECT_TRUE(elements_overlap(view(middle, ptrdiff_t(1) << 60, 4), 2, 30, 4));  // unknowable
}

TEST(ViewOverlap, ByteRangesOfDifferentViews) {
    alignas(8) static char memory[4096];
    const ptrdiff_t rows[] = {10};
    const ByteRange a = byte_range(view(memory + 400, -40), 1, rows, 4);  // bytes 40 .. 403
    EXPECT_EQ(a.begin, reinterpret_cast<uintptr_t>(memory + 40));
    EXPECT_EQ(a.end, reinterpret_cast<uintptr_t>(memory + 404));
    EXPECT_TRUE(ranges_meet(a, byte_range(view(memory + 403, 1), 1, rows, 1)));
    EXPECT_FALSE(ranges_meet(a, byte_range(view(memory + 404, 1), 1, rows, 1)));
    EXPECT_FALSE(ranges_meet(a, byte_range(view(memory, 4), 1, rows, 4)));  // bytes 0 .. 39
    const ptrdiff_t none[] = {0};
    EXPECT_FALSE(ranges_meet(a, byte_range(view(memory + 40, 4), 1, none, 4)));
}
