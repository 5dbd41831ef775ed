// Zero-filled allocation and its release.
#include "common/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

TEST(MemoryTest, AllocZeroedFillsEveryByteIncludingTheOddTail) {
    for (int32_t size : {1, 3, 5, 32780}) {
        auto* block = static_cast<uint8_t*>(AllocZeroed(size));
        ASSERT_NE(block, nullptr);
        for (int32_t i = 0; i < size; ++i) {
            ASSERT_EQ(block[i], 0) << "size " << size << " byte " << i;
        }
        EXPECT_EQ(FreeBlock(block), 0);
    }
}

TEST(MemoryTest, ImpossibleOrNegativeSizesGiveNull) {
    EXPECT_EQ(AllocZeroed(-1), nullptr);
    EXPECT_EQ(FreeBlock(nullptr), 0);
    // The empty request returns whatever the heap gives; it must be releasable.
    EXPECT_EQ(FreeBlock(AllocZeroed(0)), 0);
}
