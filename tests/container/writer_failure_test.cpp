// Write failures: a refused sample leaves no trace and the writer goes on;
// a file completed without room for its indexes is still whole; a writer
// dropped without finishing leaves what a crash would, with current counts.
#include <gtest/gtest.h>

#include "container/avi_writer.h"
#include "container_fixtures.h"
#include "support/riff_reader.h"

namespace {

using avifile::AviWriter;
using avifile::ContainerSettings;
using fixtures::LimitedSink;

constexpr int kWidth = 16;
constexpr int kHeight = 8;

struct LimitedRecording {
    explicit LimitedRecording(const ContainerSettings& settings = {}) {
        auto owned = std::make_unique<LimitedSink>();
        sink = owned.get();
        writer = fixtures::videoWriter(std::move(owned), kWidth, kHeight, settings);
    }
    // Writes frame `number`; remembers it when the writer reports success.
    HRESULT write(int number) {
        const auto frame = fixtures::dibFrame(kWidth, kHeight, number);
        const HRESULT status = writer->writeSample(0, frame.data(), frame.size(), true);
        if (status == AVIERR_OK) {
            reported.push_back(number);
        }
        return status;
    }
    riffcheck::File parse(bool requireIndex = true) const {
        riffcheck::Options options;
        options.requireIndex = requireIndex;
        return riffcheck::parse(sink->state().bytes, options);
    }
    // Every sample on disk is one that was reported written, in order.
    void expectReportedSamples(const riffcheck::File& file) const {
        ASSERT_EQ(file.samples.size(), reported.size());
        for (size_t i = 0; i < reported.size(); ++i) {
            ASSERT_EQ(riffcheck::sampleData(sink->state().bytes, file.samples[i]),
                      fixtures::dibFrame(kWidth, kHeight, reported[i]))
                << i;
        }
    }

    LimitedSink* sink = nullptr;
    std::unique_ptr<AviWriter> writer;
    std::vector<int> reported;
};

TEST(WriterFailure, RefusedSampleLeavesNoTraceAndWritingGoesOn) {
    LimitedRecording rec;
    ASSERT_EQ(rec.write(0), AVIERR_OK);
    ASSERT_EQ(rec.write(1), AVIERR_OK);
    const uint64_t before = rec.sink->size();
    rec.sink->state().limit = before + 100;  // less than a frame
    EXPECT_EQ(rec.write(2), AVIERR_FILEWRITE);
    EXPECT_EQ(rec.write(3), AVIERR_FILEWRITE);
    EXPECT_EQ(rec.sink->size(), before);
    EXPECT_EQ(rec.writer->length(0), 2);
    rec.sink->state().limit = UINT64_MAX;  // room again
    ASSERT_EQ(rec.write(4), AVIERR_OK);
    EXPECT_EQ(rec.writer->length(0), 3);
    ASSERT_EQ(rec.writer->finish(), AVIERR_OK);
    const riffcheck::File file = rec.parse();
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    rec.expectReportedSamples(file);
    EXPECT_EQ(file.streams[0].header.length, 3u);
}

TEST(WriterFailure, FullDiskAcrossManyRiffsKeepsEveryReportedSample) {
    ContainerSettings settings;
    settings.riffLimit = 24 << 10;
    for (const uint64_t capacity : {uint64_t{60000}, uint64_t{75001}, uint64_t{90000}}) {
        LimitedRecording rec(settings);
        rec.sink->state().limit = capacity;
        int failures = 0;
        for (int i = 0; i < 400; ++i) {
            failures += rec.write(i) == AVIERR_FILEWRITE ? 1 : 0;
        }
        ASSERT_GT(failures, 0) << capacity;
        ASSERT_GT(rec.reported.size(), 50u) << capacity;
        const HRESULT finished = rec.writer->finish();
        EXPECT_TRUE(finished == AVIERR_OK || finished == AVIERR_FILEWRITE);
        EXPECT_LE(rec.sink->size(), capacity);
        const riffcheck::File file = rec.parse(finished == AVIERR_OK);
        ASSERT_TRUE(file.ok()) << capacity << "\n" << file.describeErrors();
        ASSERT_GT(file.riffTypes.size(), 1u);
        rec.expectReportedSamples(file);
        EXPECT_EQ(file.streams[0].header.length, rec.reported.size());
        EXPECT_EQ(file.extensionTotalFrames, rec.reported.size());
    }
}

TEST(WriterFailure, FinishingWithoutRoomPatchesSizesInPlace) {
    for (const bool manyRiffs : {false, true}) {
        ContainerSettings settings;
        settings.riffLimit = manyRiffs ? 24 << 10 : 1 << 30;
        LimitedRecording rec(settings);
        for (int i = 0; i < 100; ++i) {
            ASSERT_EQ(rec.write(i), AVIERR_OK);
        }
        rec.sink->state().limit = rec.sink->size();  // not a byte more
        EXPECT_EQ(rec.writer->finish(), AVIERR_FILEWRITE);
        EXPECT_EQ(rec.writer->finish(), AVIERR_FILEWRITE);  // same answer again
        EXPECT_EQ(rec.sink->size(), rec.sink->state().limit);
        // Strict sizes: every list closed with its true size.
        const riffcheck::File file = rec.parse(false);
        ASSERT_TRUE(file.ok()) << manyRiffs << "\n" << file.describeErrors();
        rec.expectReportedSamples(file);
        EXPECT_EQ(file.streams[0].header.length, 100u);
        if (!manyRiffs) {
            EXPECT_FALSE(file.hasFirstIndex);
            EXPECT_EQ(file.mainHeader.flags & 0x10, 0u);  // no index claimed
        } else {
            EXPECT_TRUE(file.hasFirstIndex);
            EXPECT_EQ(file.streams[0].superIndex.size() + 1, file.riffTypes.size());
        }
    }
}

// The header block is rewritten whole when a RIFF is closed (its super
// indexes change). When that rewrite fails, the write fails before its
// sample, which then does not count; while the block stays stale every
// write says so; once it can be written again the file is whole, its
// counts those of the samples in it.
TEST(WriterFailure, RefusedHeaderRewriteAtARiffEndFailsTheWrite) {
    ContainerSettings settings;
    settings.riffLimit = 24 << 10;
    LimitedRecording rec(settings);
    rec.sink->state().refuseHeaderRewrites = true;
    int number = 0;
    for (; rec.write(number) == AVIERR_OK; ++number) {
        ASSERT_LT(number, 100) << "a RIFF ends within a few dozen frames";
    }
    EXPECT_EQ(rec.writer->length(0), number) << "the failed sample does not count";
    for (int i = 1; i <= 5; ++i) {
        EXPECT_EQ(rec.write(number + i), AVIERR_FILEWRITE) << "the block is still stale";
    }
    rec.sink->state().refuseHeaderRewrites = false;
    for (int i = 6; i < 150; ++i) {
        ASSERT_EQ(rec.write(number + i), AVIERR_OK) << i;
    }
    ASSERT_EQ(rec.writer->finish(), AVIERR_OK);
    const riffcheck::File file = rec.parse();
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_GT(file.riffTypes.size(), 2u);
    EXPECT_EQ(file.samples.size(), static_cast<size_t>(rec.writer->length(0)));
    EXPECT_EQ(file.streams[0].header.length, file.samples.size());
    EXPECT_EQ(file.extensionTotalFrames, file.samples.size());
    // Every sample reported written is in the file, in order, among those
    // whose counts could not be written.
    size_t found = 0;
    for (const riffcheck::Sample& sample : file.samples) {
        if (found < rec.reported.size() &&
            riffcheck::sampleData(rec.sink->state().bytes, sample) ==
                fixtures::dibFrame(kWidth, kHeight, rec.reported[found])) {
            ++found;
        }
    }
    EXPECT_EQ(found, rec.reported.size());
}

TEST(WriterFailure, WriterWithoutSinkRefusesEveryWrite) {
    AviWriter writer(nullptr, {});
    const int stream = writer.addStream(fixtures::videoInfo(kWidth, kHeight));
    const BITMAPINFOHEADER format = fixtures::dibHeader(kWidth, kHeight);
    ASSERT_EQ(writer.setFormat(stream, &format, sizeof format), AVIERR_OK);
    const auto frame = fixtures::dibFrame(kWidth, kHeight, 0);
    EXPECT_EQ(writer.writeSample(stream, frame.data(), frame.size(), true), AVIERR_FILEWRITE);
    EXPECT_EQ(writer.length(stream), 0);
    EXPECT_EQ(writer.finish(), AVIERR_FILEWRITE);
}

TEST(WriterFailure, WriterDroppedUnfinishedLeavesCurrentCounts) {
    ContainerSettings settings;
    settings.riffLimit = 24 << 10;
    LimitedRecording rec(settings);
    for (int i = 0; i < 70; ++i) {
        ASSERT_EQ(rec.write(i), AVIERR_OK);
    }
    const std::shared_ptr<fixtures::SinkBytes> bytes = rec.sink->shared();
    rec.writer.reset();  // no finish; the sink goes with the writer
    riffcheck::Options options;
    options.allowOpenEnded = true;
    const riffcheck::File file = riffcheck::parse(bytes->bytes, options);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_GT(file.riffTypes.size(), 1u);
    EXPECT_EQ(file.riffSizes.back(), 0u);  // still open: to the end of the file
    EXPECT_EQ(file.samples.size(), 70u);
    EXPECT_EQ(file.streams[0].header.length, 70u);
}

}  // namespace
