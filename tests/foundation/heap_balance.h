// A test fixture that fails a test which leaves blocks on the host heap.
#ifndef TESTS_FOUNDATION_HEAP_BALANCE_H
#define TESTS_FOUNDATION_HEAP_BALANCE_H

#include <gtest/gtest.h>

#include <cstdint>

#include "host/toolkit.h"

class HeapBalance : public ::testing::Test {
protected:
    void SetUp() override {
        jmsc_HeapFailAfter(-1);
        blocksBefore_ = jmsc_HeapLiveBlocks();
        bytesBefore_ = jmsc_HeapLiveBytes();
    }
    void TearDown() override {
        jmsc_HeapFailAfter(-1);
        EXPECT_EQ(jmsc_HeapLiveBlocks(), blocksBefore_) << "blocks left on the host heap";
        EXPECT_EQ(jmsc_HeapLiveBytes(), bytesBefore_) << "bytes left on the host heap";
    }
    // Blocks and bytes allocated since the test began.
    int64_t newBlocks() const { return static_cast<int64_t>(jmsc_HeapLiveBlocks() - blocksBefore_); }
    int64_t newBytes() const { return static_cast<int64_t>(jmsc_HeapLiveBytes() - bytesBefore_); }

private:
    uint64_t blocksBefore_ = 0;
    uint64_t bytesBefore_ = 0;
};

#endif  // TESTS_FOUNDATION_HEAP_BALANCE_H
