// The host heap and string copies: live counters, injected failures.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "heap_balance.h"
#include "host/toolkit.h"

namespace {

using HostHeap = HeapBalance;

TEST_F(HostHeap, CountersFollowEachBlockUntilItIsFreed) {
    void* small = jmsc_HeapMalloc(10);
    void* large = jmsc_HeapMalloc(100000);
    ASSERT_NE(small, nullptr);
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(newBlocks(), 2);
    EXPECT_EQ(newBytes(), 100010);

    // The whole block is usable.
    std::memset(small, 0xab, 10);
    std::memset(large, 0xcd, 100000);

    jmsc_HeapFree(small);
    EXPECT_EQ(newBlocks(), 1);
    EXPECT_EQ(newBytes(), 100000);
    jmsc_HeapFree(large);
    EXPECT_EQ(newBlocks(), 0);
    EXPECT_EQ(newBytes(), 0);
}

TEST_F(HostHeap, BlocksAreAlignedForAnyValueAndZeroBytesIsABlock) {
    void* empty = jmsc_HeapMalloc(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(newBlocks(), 1);
    EXPECT_EQ(newBytes(), 0);
    for (uint32_t size : {1u, 3u, 17u, 4096u}) {
        void* block = jmsc_HeapMalloc(size);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignof(std::max_align_t), 0u) << size;
        jmsc_HeapFree(block);
    }
    jmsc_HeapFree(empty);
}

TEST_F(HostHeap, FreeingNullChangesNothing) {
    jmsc_HeapFree(nullptr);
    EXPECT_EQ(newBlocks(), 0);
}

TEST_F(HostHeap, DuplicateCopiesTheTextWithItsTerminator) {
    const char original[] = "Microsoft AVI";
    char* copy = jstr_Duplicate(original);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, original);
    EXPECT_STREQ(copy, original);
    EXPECT_EQ(newBlocks(), 1);
    EXPECT_EQ(newBytes(), static_cast<int64_t>(sizeof original));
    jmsc_HeapFree(copy);

    char* empty = jstr_Duplicate("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    EXPECT_EQ(newBytes(), 1);
    jmsc_HeapFree(empty);

    EXPECT_EQ(jstr_Duplicate(nullptr), nullptr);
    EXPECT_EQ(newBlocks(), 0);
}

TEST_F(HostHeap, InjectedFailureHitsExactlyTheChosenAllocationOnce) {
    jmsc_HeapFailAfter(2);
    void* first = jmsc_HeapMalloc(8);
    char* second = jstr_Duplicate("x");
    void* third = jmsc_HeapMalloc(8);
    void* fourth = jmsc_HeapMalloc(8);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr) << "the failure happens once";
    EXPECT_EQ(newBlocks(), 3) << "a failed allocation is not counted";
    jmsc_HeapFree(first);
    jmsc_HeapFree(second);
    jmsc_HeapFree(fourth);
}

TEST_F(HostHeap, InjectedFailureReachesDuplicateAndCanBeCancelled) {
    jmsc_HeapFailAfter(0);
    EXPECT_EQ(jstr_Duplicate("lost"), nullptr);
    EXPECT_EQ(newBlocks(), 0);

    jmsc_HeapFailAfter(0);
    jmsc_HeapFailAfter(-1);
    void* block = jmsc_HeapMalloc(4);
    EXPECT_NE(block, nullptr);
    jmsc_HeapFree(block);
}

}  // namespace
