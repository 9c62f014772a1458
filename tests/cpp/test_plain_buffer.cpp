// The growable buffer keeps its values across every way of growing: small blocks grown in place,
// and large ones moved to memory for large pages.
#include <gtest/gtest.h>

#include <cstdint>

#include "kernels/common/shared/plain_buffer.h"
#include "platform/large_pages.h"

using namespace cellprox;

TEST(PlainBuffer, KeepsItsValuesWhileGrowingPastTheLargeSize) {
    PlainBuffer<int64_t> values;
    const size_t count = 3 * LARGE_BUFFER / sizeof(int64_t) + 5;   // through several large moves
    for (size_t k = 0; k < count; ++k) ASSERT_TRUE(values.push_back(static_cast<int64_t>(k) * 7 - 3));
    ASSERT_EQ(values.size(), count);
    for (size_t k = 0; k < count; ++k) ASSERT_EQ(values[k], static_cast<int64_t>(k) * 7 - 3) << k;
    // Room reserved far ahead keeps them too, and appending after it.
    ASSERT_TRUE(values.reserve(2 * count));
    const int64_t more[3] = {1, 2, 3};
    ASSERT_TRUE(values.append(more, 3));
    EXPECT_EQ(values[count - 1], static_cast<int64_t>(count - 1) * 7 - 3);
    EXPECT_EQ(values[count + 2], 3);
    EXPECT_FALSE(values.reserve(SIZE_MAX / 4));   // too much to ask: nothing changed
    EXPECT_EQ(values.size(), count + 3);
    EXPECT_EQ(values[0], -3);
}

// The deliverables' buffers never ask for large pages: past the large size they keep growing in
// place, and keep their values as well.
TEST(PlainBuffer, UnadvisedBuffersKeepTheirValuesPastTheLargeSize) {
    PlainBuffer<int32_t, PageAdvice::none> values;
    const size_t count = 2 * LARGE_BUFFER / sizeof(int32_t) + 3;
    ASSERT_TRUE(values.resize(17));
    for (size_t k = 0; k < 17; ++k) values[k] = static_cast<int32_t>(k) - 8;
    for (size_t k = 17; k < count; ++k) ASSERT_TRUE(values.push_back(static_cast<int32_t>(k) - 8));
    for (size_t k = 0; k < count; ++k) ASSERT_EQ(values[k], static_cast<int32_t>(k) - 8) << k;
    EXPECT_FALSE(values.reserve(SIZE_MAX / 2));
    EXPECT_EQ(values.size(), count);
    PlainBuffer<int32_t, PageAdvice::none> none;
    EXPECT_TRUE(none.resize(0));
    EXPECT_EQ(none.data(), nullptr);   // the narrow phase's cue to compute bounds link by link
}

TEST(PlainBuffer, LargeBlocksAreWritableToTheirEnd) {
    for (size_t bytes : {LARGE_BUFFER, LARGE_BUFFER + 1, 5 * LARGE_BUFFER + 12345}) {
        auto* block = static_cast<unsigned char*>(allocate_large(bytes));
        ASSERT_NE(block, nullptr);
        block[0] = 1;
        block[bytes - 1] = 2;
        EXPECT_EQ(block[0] + block[bytes - 1], 3);
        std::free(block);
    }
}
