// Sample positions, Full Frames formats and sample sizes, and write
// failures, as the file on disk shows them.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "api_fixture.h"
#include "support/ffmpeg_tools.h"
#include "support/riff_reader.h"

namespace {

using apitest::dibFormatBlock;
using apitest::dibFrame;
using apitest::dibHeader;

HRESULT setFormat(PAVISTREAM stream, std::vector<uint8_t> format) {
    return AVIStreamSetFormat(stream, 0, format.data(), static_cast<LONG>(format.size()));
}

HRESULT writeFrame(PAVISTREAM stream, LONG position, std::vector<uint8_t> frame,
                   LONG* samples = nullptr, LONG* bytes = nullptr) {
    return AVIStreamWrite(stream, position, 1, frame.data(), static_cast<LONG>(frame.size()),
                          AVIIF_KEYFRAME, samples, bytes);
}

TEST_F(ApiTest, PositionsAppendFillGapsAndNeverGoBack) {
    const std::string path = dir_.file("gaps.avi");
    Recording recording = open(path, 5, 3);
    ASSERT_EQ(setFormat(recording.compressed, dibFormatBlock(dibHeader(5, 3))), AVIERR_OK);
    LONG samples = -1;
    LONG bytes = -1;
    EXPECT_EQ(writeFrame(recording.compressed, 0, dibFrame(5, 3, 0), &samples, &bytes), AVIERR_OK);
    EXPECT_EQ(samples, 1);
    EXPECT_EQ(bytes, 48);
    EXPECT_EQ(writeFrame(recording.compressed, 1, dibFrame(5, 3, 1)), AVIERR_OK);
    EXPECT_EQ(writeFrame(recording.compressed, 4, dibFrame(5, 3, 4)), AVIERR_OK) << "two missing";
    EXPECT_EQ(writeFrame(recording.compressed, 4, dibFrame(5, 3, 9), &samples, &bytes), AVIERR_BADPARAM)
        << "a position already written";
    EXPECT_EQ(samples, 0);
    EXPECT_EQ(bytes, 0);
    EXPECT_EQ(writeFrame(recording.compressed, 2, dibFrame(5, 3, 9)), AVIERR_BADPARAM) << "a gap's position";
    EXPECT_EQ(writeFrame(recording.compressed, -1, dibFrame(5, 3, 5)), AVIERR_OK) << "-1 appends";
    EXPECT_EQ(writeFrame(recording.raw, 7, dibFrame(5, 3, 7)), AVIERR_OK) << "raw stream, one missing";
    close(recording);

    const std::vector<uint8_t> bytesOnDisk = riffcheck::readWholeFile(path);
    const riffcheck::File file = riffcheck::parse(bytesOnDisk);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    const riffcheck::Stream& stream = file.streams.at(0);
    EXPECT_EQ(stream.header.length, 8u);
    ASSERT_EQ(stream.samples.size(), 8u);
    const int seeds[] = {0, 1, -1, -1, 4, 5, -1, 7};
    for (size_t i = 0; i < 8; ++i) {
        if (seeds[i] < 0) {
            EXPECT_EQ(stream.samples[i].size, 0u) << "sample " << i << " fills a gap";
            EXPECT_FALSE(stream.samples[i].keyFrame) << "sample " << i;
        } else {
            EXPECT_EQ(riffcheck::sampleData(bytesOnDisk, stream.samples[i]), dibFrame(5, 3, seeds[i]))
                << "sample " << i;
            EXPECT_TRUE(stream.samples[i].keyFrame) << "sample " << i;
        }
    }
}

TEST_F(ApiTest, FullFramesTakesEachDepthAndRefusesMalformedFormats) {
    struct Case {
        uint16_t bits;
        uint32_t palette;
    };
    for (const Case c : {Case{8, 256}, Case{16, 0}, Case{24, 0}, Case{32, 0}}) {
        const std::string path = dir_.file("depth" + std::to_string(c.bits) + ".avi");
        Recording recording = open(path, 6, 3);
        const BITMAPINFOHEADER header = dibHeader(6, 3, c.bits);
        const std::vector<uint8_t> format = dibFormatBlock(header, c.palette);
        ASSERT_EQ(setFormat(recording.compressed, format), AVIERR_OK) << c.bits;
        std::vector<uint8_t> frame(header.biSizeImage, static_cast<uint8_t>(c.bits));
        EXPECT_EQ(writeFrame(recording.compressed, 0, frame), AVIERR_OK) << c.bits;
        frame.push_back(0);
        EXPECT_EQ(writeFrame(recording.compressed, 1, frame), AVIERR_BADSIZE) << c.bits;
        frame.resize(frame.size() - 2);
        EXPECT_EQ(writeFrame(recording.compressed, 1, frame), AVIERR_BADSIZE) << c.bits;
        close(recording);
        const riffcheck::File file = riffcheck::parseFile(path);
        ASSERT_TRUE(file.ok()) << file.describeErrors();
        EXPECT_EQ(file.streams[0].format, format) << "strf is the format as given";
        ASSERT_EQ(file.streams[0].samples.size(), 1u) << c.bits;
        EXPECT_EQ(file.streams[0].samples[0].chunkId, riffcheck::code("00db"));
    }

    Recording recording = open(dir_.file("malformed.avi"), 6, 3);
    BITMAPINFOHEADER header = dibHeader(6, 3);
    header.biSizeImage += 4;
    EXPECT_EQ(setFormat(recording.compressed, dibFormatBlock(header)), AVIERR_BADFORMAT);
    header = dibHeader(6, 3);
    header.biHeight = 0;
    EXPECT_EQ(setFormat(recording.compressed, dibFormatBlock(header)), AVIERR_BADFORMAT);
    header = dibHeader(6, 3);
    header.biSize = 36;
    EXPECT_EQ(setFormat(recording.compressed, dibFormatBlock(header)), AVIERR_BADFORMAT);
    EXPECT_EQ(writeFrame(recording.compressed, 0, dibFrame(6, 3, 0)), AVIERR_BADFORMAT)
        << "no frame goes out before a format was taken";
    close(recording);
    const riffcheck::File file = riffcheck::parseFile(dir_.file("malformed.avi"));
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    EXPECT_TRUE(file.streams[0].samples.empty());
}

TEST_F(ApiTest, TheFormatIsSetOnceAndTheSameOneAgainIsAccepted) {
    Recording recording = open(dir_.file("again.avi"), 6, 3);
    ASSERT_EQ(setFormat(recording.compressed, dibFormatBlock(dibHeader(8, 4))), AVIERR_OK);
    ASSERT_EQ(setFormat(recording.compressed, dibFormatBlock(dibHeader(6, 3))), AVIERR_OK)
        << "before any sample the format may still change";
    EXPECT_EQ(writeFrame(recording.compressed, 0, dibFrame(6, 3, 0)), AVIERR_OK);
    EXPECT_EQ(setFormat(recording.compressed, dibFormatBlock(dibHeader(6, 3))), AVIERR_OK);
    EXPECT_NE(setFormat(recording.compressed, dibFormatBlock(dibHeader(8, 4))), AVIERR_OK);
    EXPECT_EQ(writeFrame(recording.compressed, 1, dibFrame(6, 3, 1)), AVIERR_OK);
    close(recording);
}

TEST_F(ApiTest, TheRefusalHookRefusesEveryCompressingFormat) {
    Recording recording = open(dir_.file("refused.avi"), 6, 3);
    avifile::setFormatRefusal(AVIERR_BADFORMAT);
    EXPECT_EQ(setFormat(recording.compressed, dibFormatBlock(dibHeader(6, 3))), AVIERR_BADFORMAT);
    avifile::setFormatRefusal(AVIERR_COMPRESSOR);
    EXPECT_EQ(setFormat(recording.compressed, dibFormatBlock(dibHeader(6, 3))), AVIERR_COMPRESSOR);
    EXPECT_EQ(writeFrame(recording.compressed, 0, dibFrame(6, 3, 0)), AVIERR_BADFORMAT);
    avifile::setFormatRefusal(AVIERR_OK);
    EXPECT_EQ(setFormat(recording.compressed, dibFormatBlock(dibHeader(6, 3))), AVIERR_OK);
    EXPECT_EQ(writeFrame(recording.compressed, 0, dibFrame(6, 3, 0)), AVIERR_OK);
    close(recording);
}

TEST_F(ApiTest, TheRiffLimitReachesFilesOpenedAfterwards) {
    {
        apitest::ScopedEnvironment unset("AVIFILE_RIFF_LIMIT", std::nullopt);
        EXPECT_EQ(avifile::riffLimit(), uint64_t{1} << 30);
        apitest::ScopedEnvironment limit("AVIFILE_RIFF_LIMIT", "500000");
        EXPECT_EQ(avifile::riffLimit(), 500000u);
        avifile::setRiffLimit(300000);
        EXPECT_EQ(avifile::riffLimit(), 300000u) << "the call wins over the variable";
        avifile::setRiffLimit(0);
        EXPECT_EQ(avifile::riffLimit(), 500000u);
        apitest::ScopedEnvironment bad("AVIFILE_RIFF_LIMIT", "12k");
        EXPECT_EQ(avifile::riffLimit(), uint64_t{1} << 30) << "a malformed value is ignored";
    }
    avifile::setRiffLimit(300000);
    const std::string path = dir_.file("segments.avi");
    Recording recording = open(path, 200, 100);
    ASSERT_EQ(setFormat(recording.compressed, dibFormatBlock(dibHeader(200, 100))), AVIERR_OK);
    for (int i = 0; i < 12; ++i) {  // 60 kB a frame
        ASSERT_EQ(writeFrame(recording.compressed, i, dibFrame(200, 100, i)), AVIERR_OK);
    }
    avifile::setRiffLimit(0);
    close(recording);
    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    EXPECT_GE(file.riffTypes.size(), 3u);
    EXPECT_EQ(file.extensionTotalFrames, 12u);
}

// In a child process whose files may not grow past `limit` bytes: records
// frames until one fails, writes one more at the next position after the
// limit was lifted, and completes the file. The exit status is the number
// of frames reported written before the failure; 255 on an unexpected
// result.
int recordUntilTheLimit(const std::string& path, rlim_t limit) {
    signal(SIGXFSZ, SIG_IGN);
    PAVIFILE file = nullptr;
    PAVISTREAM raw = nullptr;
    PAVISTREAM compressed = nullptr;
    AVISTREAMINFOA info = apitest::videoInfo(64, 48);
    AVICOMPRESSOPTIONS options{};
    options.fccHandler = comptypeDIB;
    std::vector<uint8_t> format = dibFormatBlock(dibHeader(64, 48));
    if (AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_CREATE, nullptr) != AVIERR_OK ||
        AVIFileCreateStreamA(file, &raw, &info) != AVIERR_OK ||
        AVIMakeCompressedStream(&compressed, raw, &options, nullptr) != AVIERR_OK ||
        AVIStreamSetFormat(compressed, 0, format.data(), static_cast<LONG>(format.size())) != AVIERR_OK) {
        return 255;
    }
    rlimit fileSize{};
    getrlimit(RLIMIT_FSIZE, &fileSize);
    const rlim_t unlimited = fileSize.rlim_cur;
    fileSize.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &fileSize);
    int written = 0;
    HRESULT status = AVIERR_OK;
    for (; written < 200; ++written) {
        status = writeFrame(compressed, written, dibFrame(64, 48, written));
        if (status != AVIERR_OK) {
            break;
        }
    }
    if (status != AVIERR_FILEWRITE || written == 0) {
        return 255;
    }
    // The stream stays usable: once there is room again, the next position
    // (after the failed one) is written, the failed one left empty.
    fileSize.rlim_cur = unlimited;
    setrlimit(RLIMIT_FSIZE, &fileSize);
    if (writeFrame(compressed, written + 1, dibFrame(64, 48, written + 1)) != AVIERR_OK) {
        return 255;
    }
    AVIStreamRelease(raw);
    AVIStreamRelease(compressed);
    AVIFileRelease(file);
    return written;
}

// ffmpeg decodes at least `frames` frames from `path`, the first `frames`
// of them the 64x48 test frames 0, 1, 2 ...
void expectTestFramesDecode(const std::string& path, int frames) {
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(path, video));
    ASSERT_GE(video.frames.size(), static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        EXPECT_EQ(video.frames[static_cast<size_t>(i)], apitest::rgbRowsOf(dibFrame(64, 48, i), 64, 48))
            << "frame " << i;
    }
}

TEST_F(ApiTest, AWriteFailureIsReportedAndTheStreamGoesOn) {
    const std::string path = dir_.file("limited.avi");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(recordUntilTheLimit(path, 60000));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    const int written = WEXITSTATUS(status);
    ASSERT_NE(written, 255) << "the child saw an unexpected result";
    ASSERT_GT(written, 2);

    const std::vector<uint8_t> bytes = riffcheck::readWholeFile(path);
    const riffcheck::File file = riffcheck::parse(bytes);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    const riffcheck::Stream& stream = file.streams.at(0);
    ASSERT_EQ(stream.samples.size(), static_cast<size_t>(written) + 2);
    for (int i = 0; i < written; ++i) {
        EXPECT_EQ(riffcheck::sampleData(bytes, stream.samples[static_cast<size_t>(i)]),
                  dibFrame(64, 48, i));
    }
    EXPECT_EQ(stream.samples[static_cast<size_t>(written)].size, 0u) << "the failed position";
    EXPECT_EQ(riffcheck::sampleData(bytes, stream.samples.back()), dibFrame(64, 48, written + 1));

    expectTestFramesDecode(path, written);
}

TEST_F(ApiTest, ACompletedFileUnderTheLimitKeepsWhatWasReported) {
    // Recording right up to the limit: the samples reported written are in
    // the file even when completing it finds no room for the index.
    const std::string path = dir_.file("full.avi");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit fileSize{};
        getrlimit(RLIMIT_FSIZE, &fileSize);
        fileSize.rlim_cur = 40000;
        setrlimit(RLIMIT_FSIZE, &fileSize);
        Recording recording;
        AVISTREAMINFOA info = apitest::videoInfo(64, 48);
        AVICOMPRESSOPTIONS options{};
        std::vector<uint8_t> format = dibFormatBlock(dibHeader(64, 48));
        AVIFileOpenA(&recording.file, path.c_str(), OF_WRITE | OF_CREATE, nullptr);
        AVIFileCreateStreamA(recording.file, &recording.raw, &info);
        AVIMakeCompressedStream(&recording.compressed, recording.raw, &options, nullptr);
        AVIStreamSetFormat(recording.compressed, 0, format.data(), static_cast<LONG>(format.size()));
        int written = 0;
        for (int i = 0; i < 20; ++i) {
            written += writeFrame(recording.compressed, i, dibFrame(64, 48, i)) == AVIERR_OK ? 1 : 0;
        }
        close(recording);
        _exit(written);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    const int written = WEXITSTATUS(status);
    ASSERT_GT(written, 0);
    ASSERT_LT(written, 20);
    expectTestFramesDecode(path, written);
}

}  // namespace
