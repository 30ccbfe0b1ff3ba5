// The host heap's guard mode, which the codec sweep relies on to catch reads
// past a frame: the page after a block faults, every byte of the block is
// usable, and the counters and the injected failure work as without it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "host/toolkit.h"

namespace {

class GuardedHeapTest : public ::testing::Test {
protected:
    void TearDown() override {
        jmsc_HeapGuard(0);
        jmsc_HeapFailAfter(-1);
    }
};

uint8_t readByte(const uint8_t* at) { return *static_cast<const volatile uint8_t*>(at); }

TEST_F(GuardedHeapTest, AReadOneBytePastABlockFaults) {
    ASSERT_EQ(jmsc_HeapGuard(1), 1);
    for (const uint32_t bytes : {1u, 40u, 4095u, 4096u, 9272u}) {
        auto* block = static_cast<uint8_t*>(jmsc_HeapMalloc(bytes));
        ASSERT_NE(block, nullptr);
        std::memset(block, 0xA5, bytes);  // every byte of it is there
        EXPECT_EQ(readByte(block + bytes - 1), 0xA5);
        EXPECT_DEATH(readByte(block + bytes), "") << bytes << " bytes";
        jmsc_HeapFree(block);
    }
}

TEST_F(GuardedHeapTest, BlocksStartAtTheAlignmentAndEndWithinItOfTheGuard) {
    for (const int alignment : {1, 4, 16, 64}) {
        ASSERT_EQ(jmsc_HeapGuard(alignment), 1);
        for (const uint32_t bytes : {1u, 7u, 100u, 8191u}) {
            auto* block = static_cast<uint8_t*>(jmsc_HeapMalloc(bytes));
            ASSERT_NE(block, nullptr);
            const auto start = reinterpret_cast<uintptr_t>(block);
            EXPECT_EQ(start % static_cast<uintptr_t>(alignment), 0u);
            // The first byte that faults is less than `alignment` past the end.
            const uintptr_t guard = (start + bytes + 4095) & ~uintptr_t{4095};
            EXPECT_LT(guard - (start + bytes), static_cast<uintptr_t>(alignment));
            EXPECT_DEATH(readByte(reinterpret_cast<const uint8_t*>(guard)), "");
            jmsc_HeapFree(block);
        }
    }
}

TEST_F(GuardedHeapTest, RefusesAlignmentsThatAreNotPowersOfTwoUpToAPage) {
    for (const int alignment : {-1, 3, 24, 8192}) {
        EXPECT_EQ(jmsc_HeapGuard(alignment), 0) << alignment;
    }
}

TEST_F(GuardedHeapTest, CountersBalanceAcrossBothModesAndFailuresStillInject) {
    const uint64_t blocks = jmsc_HeapLiveBlocks();
    const uint64_t bytes = jmsc_HeapLiveBytes();
    void* plain = jmsc_HeapMalloc(100);
    ASSERT_EQ(jmsc_HeapGuard(16), 1);
    std::vector<void*> guarded;
    for (const uint32_t size : {1u, 5000u, 12345u}) {
        guarded.push_back(jmsc_HeapMalloc(size));
        ASSERT_NE(guarded.back(), nullptr);
    }
    EXPECT_EQ(jmsc_HeapLiveBlocks(), blocks + 4);
    EXPECT_EQ(jmsc_HeapLiveBytes(), bytes + 100 + 1 + 5000 + 12345);

    jmsc_HeapFailAfter(1);
    void* first = jmsc_HeapMalloc(10);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(jmsc_HeapMalloc(10), nullptr);
    void* third = jmsc_HeapMalloc(10);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(jmsc_HeapLiveBlocks(), blocks + 6);

    // A block of either mode is freed whichever mode is on.
    jmsc_HeapGuard(0);
    for (void* block : guarded) {
        jmsc_HeapFree(block);
    }
    jmsc_HeapFree(first);
    jmsc_HeapFree(third);
    ASSERT_EQ(jmsc_HeapGuard(4), 1);
    jmsc_HeapFree(plain);
    EXPECT_EQ(jmsc_HeapLiveBlocks(), blocks);
    EXPECT_EQ(jmsc_HeapLiveBytes(), bytes);
}

}  // namespace
