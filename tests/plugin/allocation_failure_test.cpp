// The host's allocator failing at each step: creation and add-frame fail
// cleanly, leaving nothing allocated and the writer usable.
#include <filesystem>

#include "avifile_test_hooks.h"
#include "host/toolkit.h"
#include "plugin_harness.h"

namespace {

using AllocationFailure = PluginTest;

TEST_F(AllocationFailure, EachAllocationOfCreationFailsCleanly) {
    const std::string path = dir_.file("heap.avi");
    int failures = 0;
    bool created = false;
    for (int64_t successes = 0; successes < 16 && !created; ++successes) {
        jmsc_HeapFailAfter(successes);
        MovieRecord* movie = plugin().create(path.c_str(), 4, 4);
        jmsc_HeapFailAfter(-1);
        if (movie == nullptr) {
            ++failures;
            EXPECT_EQ(jmsc_HeapLiveBlocks(), 0u) << "after failing allocation " << successes;
            EXPECT_EQ(avifile::libraryReferences(), 0) << "after failing allocation " << successes;
            EXPECT_EQ(avifile::liveObjects(), 0) << "after failing allocation " << successes;
            continue;
        }
        created = true;
        EXPECT_EQ(movie->frameCount, 0);
        ASSERT_NE(movie->fileName, nullptr);
        ASSERT_NE(movie->baseName, nullptr);
        HostFrame frame(4, 4, 9);
        EXPECT_EQ(plugin().addFrame(movie, 4, 4, &frame.stack), 1);
        plugin().close(movie);
        EXPECT_TRUE(decodesTo(path, {&frame}));
    }
    EXPECT_TRUE(created);
    // The record and its two texts are each an allocation that can fail.
    EXPECT_GE(failures, 3);
}

TEST_F(AllocationFailure, FrameBufferThatCannotBeAllocatedFailsTheFrameOnly) {
    const std::string path = dir_.file("frame-heap.avi");
    HostFrame first(5, 5, 1);
    HostFrame second(5, 5, 2);
    MovieRecord* movie = plugin().create(path.c_str(), 5, 5);
    ASSERT_NE(movie, nullptr);
    jmsc_HeapFailAfter(0);
    EXPECT_EQ(plugin().addFrame(movie, 5, 5, &first.stack), 0);
    jmsc_HeapFailAfter(-1);
    EXPECT_EQ(movie->frameCount, 0) << "the frame never reached the write";
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(plugin().addFrame(movie, 5, 5, &second.stack), 1);
    plugin().close(movie);
    EXPECT_TRUE(decodesTo(path, {&second}));
}

TEST_F(AllocationFailure, FailedFrameBeforeTheFormatLeavesTheFormatUnset) {
    const std::string path = dir_.file("format-heap.avi");
    HostFrame frame(3, 2, 1);
    MovieRecord* movie = plugin().create(path.c_str(), 3, 2);
    ASSERT_NE(movie, nullptr);
    jmsc_HeapFailAfter(0);
    EXPECT_EQ(plugin().addFrame(movie, 3, 2, &frame.stack), 0);
    jmsc_HeapFailAfter(-1);
    // The format was never handed over, so a refusal now is seen.
    avifile::setFormatRefusal(AVIERR_BADFORMAT);
    EXPECT_EQ(plugin().addFrame(movie, 3, 2, &frame.stack), 0);
    EXPECT_EQ(messages().size(), 1u);
    avifile::setFormatRefusal(AVIERR_OK);
    plugin().close(movie);
}

}  // namespace
