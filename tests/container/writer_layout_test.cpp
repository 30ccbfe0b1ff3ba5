// Files written to memory and read back with our own reader: headers as the
// caller set them, one chunk per sample, the indexes, the large-file
// extension at a lowered limit, and headers kept current while recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "container/avi_writer.h"
#include "container_fixtures.h"
#include "support/riff_reader.h"

namespace {

using avifile::AviWriter;
using avifile::ContainerSettings;
using avifile::MemorySink;
using riffcheck::code;

// A writer into a MemorySink that the test keeps reading.
struct MemoryRecording {
    explicit MemoryRecording(const ContainerSettings& settings = {}, uint64_t capacity = UINT64_MAX)
        : writer(makeWriter(settings, capacity)) {}

    std::unique_ptr<AviWriter> makeWriter(const ContainerSettings& settings, uint64_t capacity) {
        auto owned = std::make_unique<MemorySink>(capacity);
        sink = owned.get();
        return std::make_unique<AviWriter>(std::move(owned), settings);
    }
    riffcheck::File parse(bool openEnded = false) const {
        riffcheck::Options options;
        options.allowOpenEnded = openEnded;
        return riffcheck::parse(sink->bytes(), options);
    }

    MemorySink* sink = nullptr;
    std::unique_ptr<AviWriter> writer;
};

TEST(WriterLayout, HeadersCarryTheCallersFields) {
    MemoryRecording rec;
    AVISTREAMINFOA info = fixtures::videoInfo(641, 481, 30, "BRELK");
    info.dwScale = 1001;
    info.dwRate = 30000;
    info.dwFlags = AVISTREAMINFO_DISABLED;
    info.wPriority = 3;
    info.wLanguage = 0x409;
    info.dwInitialFrames = 2;
    info.dwStart = 5;
    info.dwQuality = 7500;
    info.dwSuggestedBufferSize = 10;  // smaller than a sample: the sample wins
    info.rcFrame = RECT{-40000, 2, 641, 481};
    info.dwLength = 999;  // the writer counts for itself
    const int stream = rec.writer->addStream(info);
    ASSERT_EQ(stream, 0);
    rec.writer->setHandler(stream, mmioFOURCC('D', 'I', 'B', ' '));
    const BITMAPINFOHEADER format = fixtures::dibHeader(641, 481);
    ASSERT_EQ(rec.writer->setFormat(stream, &format, sizeof format), AVIERR_OK);
    const auto frame = fixtures::dibFrame(641, 481, 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(rec.writer->writeSample(stream, frame.data(), frame.size(), true), AVIERR_OK);
    }
    EXPECT_EQ(rec.writer->length(stream), 3);
    ASSERT_EQ(rec.writer->finish(), AVIERR_OK);

    const riffcheck::File file = rec.parse();
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    const riffcheck::MainHeader& main = file.mainHeader;
    EXPECT_EQ(main.microSecPerFrame, 33367u);  // round(1e6 * 1001 / 30000)
    EXPECT_EQ(main.totalFrames, 3u);
    EXPECT_EQ(main.streams, 1u);
    EXPECT_EQ(main.width, 641u + 40000u);
    EXPECT_EQ(main.height, 479u);
    EXPECT_NE(main.flags & 0x10, 0u);  // AVIF_HASINDEX
    EXPECT_EQ(main.suggestedBufferSize, frame.size());
    EXPECT_GE(main.maxBytesPerSec, static_cast<uint32_t>(frame.size() * 29));

    ASSERT_EQ(file.streams.size(), 1u);
    const riffcheck::StreamHeader& h = file.streams[0].header;
    EXPECT_EQ(h.type, streamtypeVIDEO);
    EXPECT_EQ(h.handler, code("DIB "));
    EXPECT_EQ(h.flags, static_cast<uint32_t>(AVISTREAMINFO_DISABLED));
    EXPECT_EQ(h.priority, 3);
    EXPECT_EQ(h.language, 0x409);
    EXPECT_EQ(h.initialFrames, 2u);
    EXPECT_EQ(h.scale, 1001u);
    EXPECT_EQ(h.rate, 30000u);
    EXPECT_EQ(h.start, 5u);
    EXPECT_EQ(h.length, 3u);
    EXPECT_EQ(h.suggestedBufferSize, frame.size());
    EXPECT_EQ(h.quality, 7500u);
    EXPECT_EQ(h.sampleSize, 0u);
    EXPECT_EQ(h.frameLeft, -32768);  // clamped to the 16-bit field
    EXPECT_EQ(h.frameTop, 2);
    EXPECT_EQ(h.frameRight, 641);
    EXPECT_EQ(h.frameBottom, 481);
    ASSERT_EQ(file.streams[0].format.size(), sizeof format);
    EXPECT_EQ(std::memcmp(file.streams[0].format.data(), &format, sizeof format), 0);
    EXPECT_EQ(file.streams[0].name, "BRELK");
    EXPECT_TRUE(file.hasExtensionHeader);
    EXPECT_EQ(file.extensionTotalFrames, 3u);
}

TEST(WriterLayout, SamplesAreChunksListedByBothIndexes) {
    MemoryRecording rec;
    const int width = 5;
    const int height = 3;
    const int stream = rec.writer->addStream(fixtures::videoInfo(width, height));
    const BITMAPINFOHEADER format = fixtures::dibHeader(width, height);
    rec.writer->setFormat(stream, &format, sizeof format);
    std::vector<std::vector<uint8_t>> written;
    for (int i = 0; i < 6; ++i) {
        written.push_back(fixtures::dibFrame(width, height, i));
        const bool key = i % 3 == 0;
        ASSERT_EQ(rec.writer->writeSample(stream, written.back().data(), written.back().size(),
                                          key),
                  AVIERR_OK);
    }
    ASSERT_EQ(rec.writer->finish(), AVIERR_OK);
    const riffcheck::File file = rec.parse();
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_EQ(file.samples.size(), 6u);
    EXPECT_EQ(file.firstIndexEntries, 6u);
    EXPECT_EQ(file.standardIndexChunks, 1u);
    EXPECT_EQ(file.riffTypes.size(), 1u);
    for (size_t i = 0; i < file.samples.size(); ++i) {
        const riffcheck::Sample& sample = file.samples[i];
        EXPECT_EQ(sample.chunkId, code("00db"));
        EXPECT_EQ(sample.keyFrame, i % 3 == 0) << i;
        EXPECT_EQ(riffcheck::sampleData(rec.sink->bytes(), sample), written[i]) << i;
    }
}

TEST(WriterLayout, CompressedFormatGivesDcChunksAndOddSizesArePadded) {
    MemoryRecording rec;
    const int stream = rec.writer->addStream(fixtures::videoInfo(8, 8));
    BITMAPINFOHEADER format = fixtures::dibHeader(8, 8);
    format.biCompression = mmioFOURCC('M', 'J', 'P', 'G');
    std::vector<uint8_t> withExtra(sizeof format + 3, 0xAB);  // odd-sized format
    std::memcpy(withExtra.data(), &format, sizeof format);
    ASSERT_EQ(rec.writer->setFormat(stream, withExtra.data(), withExtra.size()), AVIERR_OK);
    const uint8_t odd[7] = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(rec.writer->writeSample(stream, odd, sizeof odd, true), AVIERR_OK);
    ASSERT_EQ(rec.writer->writeSample(stream, odd, 1, false), AVIERR_OK);
    ASSERT_EQ(rec.writer->finish(), AVIERR_OK);
    const riffcheck::File file = rec.parse();
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_EQ(file.samples.size(), 2u);
    EXPECT_EQ(file.samples[0].chunkId, code("00dc"));
    EXPECT_EQ(file.samples[0].size, 7u);
    EXPECT_EQ(file.samples[1].size, 1u);
    EXPECT_FALSE(file.samples[1].keyFrame);
    EXPECT_EQ(file.streams[0].format, withExtra);
    EXPECT_EQ(file.streams[0].header.suggestedBufferSize, 8u * 8 * 3);  // the caller's, larger
}

TEST(WriterLayout, EmptySamplesGetChunksAndIndexEntries) {
    MemoryRecording rec;
    const int stream = rec.writer->addStream(fixtures::videoInfo(5, 3));
    const BITMAPINFOHEADER format = fixtures::dibHeader(5, 3);
    rec.writer->setFormat(stream, &format, sizeof format);
    const auto frame = fixtures::dibFrame(5, 3, 1);
    ASSERT_EQ(rec.writer->writeSample(stream, frame.data(), frame.size(), true), AVIERR_OK);
    ASSERT_EQ(rec.writer->writeSample(stream, nullptr, 0, false), AVIERR_OK);
    ASSERT_EQ(rec.writer->writeSample(stream, nullptr, 0, false), AVIERR_OK);
    ASSERT_EQ(rec.writer->writeSample(stream, frame.data(), frame.size(), true), AVIERR_OK);
    EXPECT_EQ(rec.writer->length(stream), 4);
    ASSERT_EQ(rec.writer->finish(), AVIERR_OK);
    const riffcheck::File file = rec.parse();
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_EQ(file.samples.size(), 4u);
    EXPECT_EQ(file.samples[1].size, 0u);
    EXPECT_EQ(file.samples[2].size, 0u);
    EXPECT_TRUE(file.samples[1].indexed);
    EXPECT_EQ(file.streams[0].header.length, 4u);
    EXPECT_EQ(file.mainHeader.totalFrames, 4u);
}

TEST(WriterLayout, NameIsBoundedByItsField) {
    MemoryRecording named;
    AVISTREAMINFOA info = fixtures::videoInfo(1, 1);
    std::memset(info.szName, 'n', sizeof info.szName);  // no terminating zero
    const int stream = named.writer->addStream(info);
    const BITMAPINFOHEADER format = fixtures::dibHeader(1, 1);
    named.writer->setFormat(stream, &format, sizeof format);
    ASSERT_EQ(named.writer->finish(), AVIERR_OK);
    const riffcheck::File file = named.parse();
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    EXPECT_EQ(file.streams[0].name, std::string(64, 'n'));
    EXPECT_EQ(file.streams[0].nameChunkSize, 65u);

    MemoryRecording unnamed;
    const int other = unnamed.writer->addStream(fixtures::videoInfo(1, 1));
    unnamed.writer->setFormat(other, &format, sizeof format);
    ASSERT_EQ(unnamed.writer->finish(), AVIERR_OK);
    const riffcheck::File plain = unnamed.parse();
    ASSERT_TRUE(plain.ok()) << plain.describeErrors();
    EXPECT_FALSE(plain.streams[0].hasName);
}

TEST(WriterLayout, StreamsAndFormatsAreFixedOnceSamplesFlow) {
    MemoryRecording rec;
    const int stream = rec.writer->addStream(fixtures::videoInfo(5, 3));
    const auto frame = fixtures::dibFrame(5, 3, 0);
    EXPECT_EQ(rec.writer->writeSample(stream, frame.data(), frame.size(), true),
              AVIERR_BADFORMAT);  // no format yet
    BITMAPINFOHEADER format = fixtures::dibHeader(5, 3);
    ASSERT_EQ(rec.writer->setFormat(stream, &format, sizeof format), AVIERR_OK);
    ASSERT_EQ(rec.writer->writeSample(stream, frame.data(), frame.size(), true), AVIERR_OK);
    EXPECT_EQ(rec.writer->setFormat(stream, &format, sizeof format), AVIERR_OK);
    format.biWidth = 6;
    EXPECT_EQ(rec.writer->setFormat(stream, &format, sizeof format), AVIERR_UNSUPPORTED);
    EXPECT_EQ(rec.writer->addStream(fixtures::videoInfo(5, 3)), -1);
    EXPECT_EQ(rec.writer->writeSample(1, frame.data(), frame.size(), true), AVIERR_BADPARAM);
    EXPECT_EQ(rec.writer->writeSample(-1, frame.data(), frame.size(), true), AVIERR_BADPARAM);
    EXPECT_EQ(rec.writer->writeSample(stream, nullptr, 4, true), AVIERR_BADPARAM);
    // Larger than a standard index entry can describe: refused before a
    // byte of it is read.
    EXPECT_EQ(rec.writer->writeSample(stream, frame.data(), size_t{1} << 31, true),
              AVIERR_BADSIZE);
    ASSERT_EQ(rec.writer->finish(), AVIERR_OK);
    EXPECT_EQ(rec.writer->finish(), AVIERR_OK);  // again: nothing changes
    const size_t finishedSize = rec.sink->size();
    EXPECT_EQ(rec.writer->writeSample(stream, frame.data(), frame.size(), true),
              AVIERR_UNSUPPORTED);
    EXPECT_EQ(rec.sink->size(), finishedSize);
    const riffcheck::File file = rec.parse();
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    EXPECT_EQ(file.samples.size(), 1u);
    EXPECT_EQ(file.streams[0].format.size(), sizeof format);
}

TEST(WriterLayout, TwoStreamsEachGetTheirCodesAndIndexes) {
    ContainerSettings settings;
    settings.riffLimit = 64 << 10;
    MemoryRecording rec(settings);
    const int video = rec.writer->addStream(fixtures::videoInfo(16, 16));
    AVISTREAMINFOA audio{};
    audio.fccType = streamtypeAUDIO;
    audio.dwScale = 1;
    audio.dwRate = 8000;
    audio.dwSampleSize = 2;
    const int sound = rec.writer->addStream(audio);
    ASSERT_EQ(sound, 1);
    const BITMAPINFOHEADER format = fixtures::dibHeader(16, 16);
    rec.writer->setFormat(video, &format, sizeof format);
    const uint8_t wave[18] = {1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 16, 0, 0, 0};
    rec.writer->setFormat(sound, wave, sizeof wave);
    const auto frame = fixtures::dibFrame(16, 16, 0);
    const std::vector<uint8_t> samples(1066, 7);  // 533 audio samples
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(rec.writer->writeSample(video, frame.data(), frame.size(), true), AVIERR_OK);
        ASSERT_EQ(rec.writer->writeSample(sound, samples.data(), samples.size(), true), AVIERR_OK);
    }
    ASSERT_EQ(rec.writer->finish(), AVIERR_OK);
    const riffcheck::File file = rec.parse();
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_GT(file.riffTypes.size(), 2u);
    ASSERT_EQ(file.streams.size(), 2u);
    EXPECT_EQ(file.streams[0].samples.size(), 100u);
    EXPECT_EQ(file.streams[1].samples.size(), 100u);
    EXPECT_EQ(file.streams[0].samples[0].chunkId, code("00db"));
    EXPECT_EQ(file.streams[1].samples[0].chunkId, code("01wb"));
    EXPECT_EQ(file.streams[1].header.length, 100u * 533);
    EXPECT_EQ(file.streams[0].superIndex.size(), file.riffTypes.size());
    EXPECT_EQ(file.streams[1].superIndex.size(), file.riffTypes.size());
    EXPECT_EQ(file.mainHeader.streams, 2u);
}

TEST(WriterLayout, LargeRecordingContinuesInExtensionRiffs) {
    ContainerSettings settings;
    settings.riffLimit = 200 << 10;
    MemoryRecording rec(settings);
    const int width = 64;
    const int height = 48;
    const int stream = rec.writer->addStream(fixtures::videoInfo(width, height));
    const BITMAPINFOHEADER format = fixtures::dibHeader(width, height);
    rec.writer->setFormat(stream, &format, sizeof format);
    const int frames = 300;  // 9 KiB each: about 13 RIFFs
    for (int i = 0; i < frames; ++i) {
        const auto frame = fixtures::dibFrame(width, height, i);
        ASSERT_EQ(rec.writer->writeSample(stream, frame.data(), frame.size(), i % 10 == 0),
                  AVIERR_OK);
    }
    ASSERT_EQ(rec.writer->finish(), AVIERR_OK);
    const riffcheck::File file = rec.parse();
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_GE(file.riffTypes.size(), 10u);
    for (size_t r = 0; r < file.riffTypes.size(); ++r) {
        EXPECT_LE(file.riffSizes[r] + 8u, settings.riffLimit) << r;
    }
    ASSERT_EQ(file.samples.size(), static_cast<size_t>(frames));
    EXPECT_EQ(file.streams[0].header.length, static_cast<uint32_t>(frames));
    EXPECT_EQ(file.extensionTotalFrames, static_cast<uint32_t>(frames));
    // The main header counts the first RIFF's frames only, as idx1 does.
    EXPECT_EQ(file.mainHeader.totalFrames, file.firstIndexEntries);
    EXPECT_LT(file.firstIndexEntries, static_cast<size_t>(frames));
    EXPECT_EQ(file.streams[0].superIndex.size(), file.riffTypes.size());
    uint32_t covered = 0;
    for (const riffcheck::SuperIndexEntry& entry : file.streams[0].superIndex) {
        covered += entry.duration;
    }
    EXPECT_EQ(covered, static_cast<uint32_t>(frames));
    for (int i = 0; i < frames; ++i) {
        const riffcheck::Sample& sample = file.samples[static_cast<size_t>(i)];
        EXPECT_EQ(sample.keyFrame, i % 10 == 0) << i;
        ASSERT_EQ(riffcheck::sampleData(rec.sink->bytes(), sample),
                  fixtures::dibFrame(width, height, i))
            << i;
    }
}

TEST(WriterLayout, FullSuperIndexLetsTheLastRiffGrow) {
    ContainerSettings settings;
    settings.riffLimit = 40 << 10;
    settings.superIndexEntries = 3;
    MemoryRecording rec(settings);
    const int stream = rec.writer->addStream(fixtures::videoInfo(32, 32));
    const BITMAPINFOHEADER format = fixtures::dibHeader(32, 32);
    rec.writer->setFormat(stream, &format, sizeof format);
    const auto frame = fixtures::dibFrame(32, 32, 0);  // 3 KiB
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(rec.writer->writeSample(stream, frame.data(), frame.size(), true), AVIERR_OK);
    }
    ASSERT_EQ(rec.writer->finish(), AVIERR_OK);
    const riffcheck::File file = rec.parse();
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    EXPECT_EQ(file.riffTypes.size(), 3u);
    EXPECT_EQ(file.streams[0].superIndexCapacity, 3u);
    EXPECT_EQ(file.streams[0].superIndex.size(), 3u);
    EXPECT_GT(file.riffSizes.back(), settings.riffLimit);
    EXPECT_EQ(file.samples.size(), 100u);
}

// A sink that keeps no bytes, only the size: lets a test reach the 4 GiB of
// a RIFF's size field without the memory.
class SizeOnlySink : public avifile::ByteSink {
public:
    bool append(std::span<const avifile::ConstBuffer> parts) override {
        for (const avifile::ConstBuffer& part : parts) {
            size_ += part.size;
        }
        return true;
    }
    bool writeAt(uint64_t position, const void*, size_t size) override {
        size_ = std::max(size_, position + size);
        return true;
    }
    uint64_t size() const override { return size_; }

private:
    uint64_t size_ = 0;
};

TEST(WriterLayout, LastRiffStopsAtItsSizeField) {
    ContainerSettings settings;
    settings.superIndexEntries = 1;  // no room for a second RIFF
    AviWriter writer(std::make_unique<SizeOnlySink>(), settings);
    const int stream = writer.addStream(fixtures::videoInfo(16, 16));
    // Compressed frames: the writer reads nothing of them (uncompressed
    // ones it reads for their frame checks), and the sink never does.
    BITMAPINFOHEADER format = fixtures::dibHeader(16, 16);
    format.biCompression = mmioFOURCC('M', 'J', 'P', 'G');
    writer.setFormat(stream, &format, sizeof format);
    const uint8_t byte = 0;
    const size_t huge = size_t{1} << 30;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(writer.writeSample(stream, &byte, huge, true), AVIERR_OK) << i;
    }
    // A fourth would carry the RIFF past 4 GiB: the file takes no more...
    EXPECT_EQ(writer.writeSample(stream, &byte, huge, true), AVIERR_FILEWRITE);
    EXPECT_EQ(writer.length(stream), 3);
    // ...except what still fits.
    EXPECT_EQ(writer.writeSample(stream, &byte, 1000, true), AVIERR_OK);
    EXPECT_EQ(writer.finish(), AVIERR_OK);
}

TEST(WriterLayout, SampleLargerThanTheLimitGetsARiffOfItsOwn) {
    ContainerSettings settings;
    settings.riffLimit = 64 << 10;
    MemoryRecording rec(settings);
    const int stream = rec.writer->addStream(fixtures::videoInfo(160, 160));
    const BITMAPINFOHEADER format = fixtures::dibHeader(160, 160);
    rec.writer->setFormat(stream, &format, sizeof format);
    const auto big = fixtures::dibFrame(160, 160, 0);  // 75 KiB
    const auto small = fixtures::dibFrame(16, 16, 1);
    ASSERT_EQ(rec.writer->writeSample(stream, small.data(), small.size(), true), AVIERR_OK);
    ASSERT_EQ(rec.writer->writeSample(stream, big.data(), big.size(), true), AVIERR_OK);
    ASSERT_EQ(rec.writer->writeSample(stream, small.data(), small.size(), true), AVIERR_OK);
    ASSERT_EQ(rec.writer->finish(), AVIERR_OK);
    const riffcheck::File file = rec.parse();
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_EQ(file.riffTypes.size(), 3u);
    ASSERT_EQ(file.samples.size(), 3u);
    EXPECT_EQ(file.samples[0].riff, 0);
    EXPECT_EQ(file.samples[1].riff, 1);
    EXPECT_EQ(file.samples[2].riff, 2);
    EXPECT_GT(file.riffSizes[1], settings.riffLimit);
}

// After every write, across RIFFs, the headers on disk count every sample:
// the main header the first RIFF's, the stream header and the extension
// header all of them.
TEST(WriterLayout, HeadersOnDiskCountEverySampleWhileRecording) {
    ContainerSettings settings;
    settings.riffLimit = 100 << 10;
    MemoryRecording rec(settings);
    const int stream = rec.writer->addStream(fixtures::videoInfo(32, 32, 10));
    const BITMAPINFOHEADER format = fixtures::dibHeader(32, 32);
    rec.writer->setFormat(stream, &format, sizeof format);
    const auto frame = fixtures::dibFrame(32, 32, 0);
    size_t inFirstRiff = 0;
    for (int i = 1; i <= 95; ++i) {
        ASSERT_EQ(rec.writer->writeSample(stream, frame.data(), frame.size(), true), AVIERR_OK);
        const riffcheck::File file = rec.parse(true);
        ASSERT_TRUE(file.ok()) << i << "\n" << file.describeErrors();
        ASSERT_EQ(file.samples.size(), static_cast<size_t>(i));
        inFirstRiff += file.samples.back().riff == 0 ? 1 : 0;
        EXPECT_EQ(file.streams[0].header.length, static_cast<uint32_t>(i));
        EXPECT_EQ(file.extensionTotalFrames, static_cast<uint32_t>(i));
        EXPECT_EQ(file.mainHeader.totalFrames, inFirstRiff);
        EXPECT_GE(file.streams[0].header.suggestedBufferSize, frame.size());
    }
    EXPECT_LT(inFirstRiff, 95u) << "the recording spans several RIFFs";
}

}  // namespace
