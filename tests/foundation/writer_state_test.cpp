// The module-wide writer state as the module is loaded: idle, and the options
// list already pointing at the compression options.
#include <gtest/gtest.h>

#include <cstddef>
#include <iterator>

#include "writer_state.h"

namespace {

bool allZero(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST(WriterStateAtLoad, IsIdleWithEverythingZero) {
    EXPECT_EQ(writerState.aviFile, nullptr);
    EXPECT_EQ(writerState.rawStream, nullptr);
    EXPECT_EQ(writerState.compressedStream, nullptr);
    EXPECT_EQ(writerState.formatSet, 0);
    EXPECT_TRUE(allZero(&writerState.streamInfo, sizeof writerState.streamInfo));
    EXPECT_TRUE(allZero(&writerState.compressOptions, sizeof writerState.compressOptions));
}

TEST(WriterStateAtLoad, OptionsListHoldsTheAddressOfTheCompressionOptions) {
    ASSERT_EQ(std::size(writerState.optionsList), 1u);
    EXPECT_EQ(writerState.optionsList[0], &writerState.compressOptions);
}

}  // namespace
