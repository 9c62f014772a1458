// The checked copies of per-cell numbers and the converting joins: every index and real type in
// any layout gives what a plain loop gives, for any number of workers, and a number that does
// not fit is found in any piece.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kernels/package/cells/joined_rows.h"
#include "kernels/package/cells/number_columns.h"

using namespace cellprox;

namespace {

// 200,000 cells (several pieces) of 0 to 9 rows: their offsets, each number followed by an
// unused one (so the column can also be read with a stride), and their counts.
struct Offsets {
    std::vector<int64_t> doubled;
    std::vector<int64_t> counts;
    int64_t rows = 0;

    Offsets() {
        std::mt19937_64 random(3);
        doubled = {0, -7};
        for (int k = 0; k < 200000; ++k) {
            counts.push_back(static_cast<int64_t>(random() % 10));
            rows += counts.back();
            doubled.push_back(rows);
            doubled.push_back(-7);
        }
    }

    int64_t n() const { return static_cast<int64_t>(counts.size()); }
};

// The numbers as T: every other one (the offsets themselves), or all of them.
template <class T>
std::vector<T> cast_all(const std::vector<int64_t>& values, bool every_other) {
    std::vector<T> out;
    for (size_t k = 0; k < values.size(); k += every_other ? 2 : 1) out.push_back(static_cast<T>(values[k]));
    return out;
}

// The offsets as T, packed or every other one of a doubled array; true when offset_counts
// found them right and counted them as `expected` on every worker count.
template <class T>
bool counts_match(const std::vector<int64_t>& doubled, int64_t rows, int64_t limit, IndexType type,
                  const std::vector<int64_t>& expected) {
    const std::vector<T> packed_numbers = cast_all<T>(doubled, true), strided_numbers = cast_all<T>(doubled, false);
    const int64_t size = static_cast<int64_t>(sizeof(T));
    const StridedRows columns[2] = {
        {reinterpret_cast<const char*>(packed_numbers.data()), static_cast<int64_t>(packed_numbers.size()), size, size},
        {reinterpret_cast<const char*>(strided_numbers.data()), static_cast<int64_t>(packed_numbers.size()), 2 * size,
         size}};
    bool all = true;
    for (const StridedRows& column : columns) {
        for (int32_t workers : {1, 2, 5}) {
            std::vector<int64_t> counts(expected.size(), -1);
            const bool right = offset_counts(column, type, rows, limit, counts.data(), workers);
            all = all && right && counts == expected;
        }
    }
    return all;
}

template <class T>
bool offsets_pass(const std::vector<int64_t>& doubled, int64_t rows, int64_t limit, IndexType type) {
    const std::vector<T> numbers = cast_all<T>(doubled, true);
    std::vector<int64_t> counts(numbers.size() - 1);
    const int64_t size = static_cast<int64_t>(sizeof(T));
    const StridedRows column{reinterpret_cast<const char*>(numbers.data()), static_cast<int64_t>(numbers.size()), size,
                             size};
    return offset_counts(column, type, rows, limit, counts.data(), 3);
}

}  // namespace

// Every type, packed or strided, on any workers: the counts of a plain loop.
TEST(OffsetCounts, EveryTypeAndLayout) {
    const Offsets offsets;
    EXPECT_TRUE(counts_match<int32_t>(offsets.doubled, offsets.rows, 9, IndexType::int32, offsets.counts));
    EXPECT_TRUE(counts_match<int64_t>(offsets.doubled, offsets.rows, 9, IndexType::int64, offsets.counts));
    EXPECT_TRUE(counts_match<uint32_t>(offsets.doubled, offsets.rows, 9, IndexType::uint32, offsets.counts));
    EXPECT_TRUE(counts_match<uint64_t>(offsets.doubled, offsets.rows, 9, IndexType::uint64, offsets.counts));
    const std::vector<int64_t> single = {0, 5};
    EXPECT_TRUE(counts_match<int32_t>(single, 0, 9, IndexType::int32, {}));     // [0]: no cells
}

// A fault late in the offsets is found in its piece: a fall, an offset beyond the rows (also
// one that cut to 32 bits would be in range), a count beyond the limit, a negative offset, a
// first one that is not 0 and a last one that is not the rows.
TEST(OffsetCounts, FaultsAnywhere) {
    const Offsets offsets;
    const int64_t late = 2 * (offsets.n() - 1000);     // the offset of cell n - 1000 in `doubled`
    auto changed = [&](int64_t place, int64_t value) {
        std::vector<int64_t> doubled = offsets.doubled;
        doubled[static_cast<size_t>(place)] = value;
        return doubled;
    };
    const std::vector<std::vector<int64_t>> faulty = {
        changed(late, offsets.doubled[late - 2] - 1),
        changed(late, offsets.rows + 1),
        changed(late, offsets.doubled[late - 2] + (int64_t{1} << 32)),
        changed(late, -1),
        changed(0, 1),
        changed(2 * offsets.n(), offsets.rows - 1),
    };
    for (size_t k = 0; k < faulty.size(); ++k) {
        EXPECT_FALSE(offsets_pass<int64_t>(faulty[k], offsets.rows, 9, IndexType::int64)) << k;
        EXPECT_FALSE(offsets_pass<uint64_t>(faulty[k], offsets.rows, 9, IndexType::uint64)) << k;
    }
    EXPECT_FALSE(offsets_pass<int32_t>(faulty[3], offsets.rows, 9, IndexType::int32));
    EXPECT_FALSE(offsets_pass<int64_t>(offsets.doubled, offsets.rows, 8, IndexType::int64));   // a count of 9
    std::vector<int64_t> huge = offsets.doubled;
    huge[static_cast<size_t>(late)] = static_cast<int64_t>(uint64_t{1} << 63 | 5);    // 2**63 + 5 as uint64
    EXPECT_FALSE(offsets_pass<uint64_t>(huge, offsets.rows, 9, IndexType::uint64));
}

// float64 rows round as a cast does (packed, strided, on any workers); one that is not finite
// in float32 anywhere makes the copy false; the largest float32 is finite.
TEST(Float32Rows, RoundedAndChecked) {
    std::mt19937_64 random(11);
    std::vector<double> doubled(2 * 3 * 40000);
    for (double& value : doubled) value = std::ldexp(static_cast<double>(random() >> 11), -30) - 4000.0;
    const StridedRows packed_rows{reinterpret_cast<const char*>(doubled.data()), 80000, 24, 8};
    const StridedRows strided_rows{reinterpret_cast<const char*>(doubled.data()), 40000, 48, 8};
    for (int32_t workers : {1, 4}) {
        std::vector<float> packed_out(3 * 80000), strided_out(3 * 40000);
        ASSERT_TRUE(float32_rows(packed_rows, 3, RealType::float64, packed_out.data(), workers));
        ASSERT_TRUE(float32_rows(strided_rows, 3, RealType::float64, strided_out.data(), workers));
        for (size_t k = 0; k < packed_out.size(); ++k) ASSERT_EQ(packed_out[k], static_cast<float>(doubled[k]));
        for (size_t r = 0; r < 40000; ++r) {
            for (size_t a = 0; a < 3; ++a) ASSERT_EQ(strided_out[3 * r + a], static_cast<float>(doubled[6 * r + a]));
        }
    }
    std::vector<float> out(3 * 80000);
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -1e39}) {
        std::vector<double> faulty = doubled;
        faulty[faulty.size() - 4] = bad;
        const StridedRows rows{reinterpret_cast<const char*>(faulty.data()), 80000, 24, 8};
        EXPECT_FALSE(float32_rows(rows, 3, RealType::float64, out.data(), 3)) << bad;
    }
    const float edge[3] = {-std::numeric_limits<float>::max(), 0.0f, std::numeric_limits<float>::max()};
    EXPECT_TRUE(float32_rows({reinterpret_cast<const char*>(edge), 1, 12, 4}, 3, RealType::float32, out.data(), 1));
    EXPECT_EQ(out[2], std::numeric_limits<float>::max());
}

// Each integer type fits int32 exactly from -2**31 to 2**31 - 1, whatever its width and sign; a
// single number repeats for every cell.
TEST(Int32Column, FitsAsGiven) {
    auto converts = [](auto value, IndexType type, int32_t* out) {
        return int32_column({reinterpret_cast<const char*>(&value), 1, 0, sizeof value}, type, out, 1);
    };
    int32_t out = 0;
    EXPECT_TRUE(converts(int64_t{INT32_MIN}, IndexType::int64, &out) && out == INT32_MIN);
    EXPECT_TRUE(converts(int64_t{INT32_MAX}, IndexType::int64, &out) && out == INT32_MAX);
    EXPECT_FALSE(converts(int64_t{INT32_MAX} + 1, IndexType::int64, &out));
    EXPECT_FALSE(converts(int64_t{INT32_MIN} - 1, IndexType::int64, &out));
    EXPECT_FALSE(converts(std::numeric_limits<int64_t>::max(), IndexType::int64, &out));
    EXPECT_FALSE(converts(std::numeric_limits<int64_t>::min(), IndexType::int64, &out));
    EXPECT_TRUE(converts(uint32_t{INT32_MAX}, IndexType::uint32, &out) && out == INT32_MAX);
    EXPECT_FALSE(converts(uint32_t{1} << 31, IndexType::uint32, &out));
    EXPECT_FALSE(converts(uint64_t{1} << 63, IndexType::uint64, &out));
    EXPECT_FALSE(converts(uint64_t{1} << 32, IndexType::uint64, &out));
    EXPECT_TRUE(converts(int32_t{-5}, IndexType::int32, &out) && out == -5);

    const int64_t seven = 7;
    std::vector<int32_t> repeated(100000, 0);
    EXPECT_TRUE(int32_column({reinterpret_cast<const char*>(&seven), 100000, 0, 8}, IndexType::int64,
                             repeated.data(), 3));
    EXPECT_EQ(repeated, std::vector<int32_t>(100000, 7));
    std::vector<uint64_t> column(100000, 3);
    column[99000] = uint64_t{1} << 40;
    EXPECT_FALSE(int32_column({reinterpret_cast<const char*>(column.data()), 100000, 8, 8}, IndexType::uint64,
                              repeated.data(), 2));
}

// Converting joins take every block's layout in order; a number that does not survive is said.
TEST(JoinRows, ConvertedInOrder) {
    const double packed_block[] = {1.5, 2.5, 3.5, 4.5};            // rows (1.5, 2.5), (3.5, 4.5)
    const double fortran_block[] = {5.5, 7.5, 6.5, 8.5};           // rows (5.5, 6.5), (7.5, 8.5)
    const StridedRows real_blocks[] = {{reinterpret_cast<const char*>(packed_block), 2, 16, 8},
                                       {nullptr, 0, 16, 8},
                                       {reinterpret_cast<const char*>(fortran_block), 2, 8, 16}};
    float reals[8] = {};
    int64_t counts[3] = {-1, -1, -1};
    ASSERT_TRUE(join_float32_rows(real_blocks, 3, 2, RealType::float64, reals, counts));
    for (int k = 0; k < 8; ++k) EXPECT_EQ(reals[k], 1.5f + static_cast<float>(k)) << k;
    EXPECT_EQ(std::vector<int64_t>(counts, counts + 3), (std::vector<int64_t>{2, 0, 2}));
    const double beyond[] = {1.0, 1e39};
    const StridedRows beyond_block{reinterpret_cast<const char*>(beyond), 1, 16, 8};
    EXPECT_FALSE(join_float32_rows(&beyond_block, 1, 2, RealType::float64, reals, counts));

    const uint64_t wide[] = {1, 2, 3, uint64_t{1} << 32};
    const StridedRows index_block{reinterpret_cast<const char*>(wide), 2, 16, 8};
    int32_t indices[4] = {};
    EXPECT_FALSE(join_int32_rows(&index_block, 1, 2, IndexType::uint64, indices, counts));
    const StridedRows first_row{reinterpret_cast<const char*>(wide), 1, 16, 8};
    EXPECT_TRUE(join_int32_rows(&first_row, 1, 2, IndexType::uint64, indices, counts));
    EXPECT_EQ(indices[1], 2);
}
