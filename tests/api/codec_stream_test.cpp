// The compressing stream with a codec behind it: the raw stream's header and
// format, the codec's samples, and the refusals.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "api_fixture.h"
#include "support/ffmpeg_tools.h"
#include "support/riff_reader.h"

namespace {

using apitest::dibFormatBlock;
using apitest::dibFrame;
using apitest::dibHeader;

constexpr DWORD kMotionJpeg = mmioFOURCC('M', 'J', 'P', 'G');

bool isOffered(DWORD fourcc) {
    for (const avifile::CompressorDescription& offered : avifile::availableCompressors()) {
        if (offered.fourcc == fourcc) {
            return true;
        }
    }
    return false;
}

TEST_F(ApiTest, AnUnknownCompressorIsRefusedAndLeavesNothing) {
    Recording recording = open(dir_.file("unknown.avi"), 8, 8, ~DWORD{0});
    const int live = avifile::liveObjects();
    AVICOMPRESSOPTIONS options{};
    options.fccType = streamtypeVIDEO;
    options.fccHandler = mmioFOURCC('Z', 'Z', 'Z', 'Z');
    PAVISTREAM compressed = reinterpret_cast<PAVISTREAM>(uintptr_t{0xDEAD0});
    EXPECT_EQ(AVIMakeCompressedStream(&compressed, recording.raw, &options, nullptr), AVIERR_NOCOMPRESSOR);
    EXPECT_EQ(compressed, nullptr);
    EXPECT_EQ(avifile::liveObjects(), live);
    close(recording);
}

TEST_F(ApiTest, ACompressingStreamOverACompressingStreamIsRefused) {
    Recording recording = open(dir_.file("twice.avi"), 8, 8);
    AVICOMPRESSOPTIONS options{};
    options.fccHandler = comptypeDIB;
    PAVISTREAM again = nullptr;
    EXPECT_EQ(AVIMakeCompressedStream(&again, recording.compressed, &options, nullptr), AVIERR_UNSUPPORTED);
    EXPECT_EQ(again, nullptr);
    close(recording);
}

TEST_F(ApiTest, MotionJpegFramesGoThroughTheCodec) {
    if (!isOffered(kMotionJpeg)) {
        GTEST_SKIP() << "no Motion JPEG encoder installed";
    }
    const std::string path = dir_.file("mjpeg.avi");
    Recording recording = open(path, 64, 48, kMotionJpeg);
    std::vector<uint8_t> format = dibFormatBlock(dibHeader(64, 48));
    ASSERT_EQ(AVIStreamSetFormat(recording.compressed, 0, format.data(), 40), AVIERR_OK);
    const int frames = 5;
    for (int i = 0; i < frames; ++i) {
        std::vector<uint8_t> frame = dibFrame(64, 48, i * 10);
        LONG samples = 0;
        LONG bytes = 0;
        ASSERT_EQ(AVIStreamWrite(recording.compressed, i, 1, frame.data(),
                                 static_cast<LONG>(frame.size()), AVIIF_KEYFRAME, &samples, &bytes),
                  AVIERR_OK);
        EXPECT_EQ(samples, 1);
        EXPECT_GT(bytes, 0);
        EXPECT_NE(bytes, static_cast<LONG>(frame.size())) << "the codec's sample, not the frame";
    }
    std::vector<uint8_t> wrongSize(100);
    EXPECT_EQ(AVIStreamWrite(recording.compressed, frames, 1, wrongSize.data(), 100, AVIIF_KEYFRAME,
                             nullptr, nullptr),
              AVIERR_BADSIZE);
    close(recording);

    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    const riffcheck::Stream& stream = file.streams.at(0);
    EXPECT_EQ(stream.header.handler, kMotionJpeg);
    ASSERT_GE(stream.format.size(), sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER compressed;
    std::memcpy(&compressed, stream.format.data(), sizeof compressed);
    EXPECT_EQ(compressed.biCompression, kMotionJpeg);
    EXPECT_EQ(compressed.biWidth, 64);
    EXPECT_EQ(compressed.biHeight, 48);
    ASSERT_EQ(stream.samples.size(), static_cast<size_t>(frames));
    for (const riffcheck::Sample& sample : stream.samples) {
        EXPECT_EQ(sample.chunkId, riffcheck::code("00dc"));
        EXPECT_TRUE(sample.keyFrame);
    }
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(path, video));
    ASSERT_EQ(video.frames.size(), static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        EXPECT_GT(psnr(video.frames[static_cast<size_t>(i)],
                       apitest::rgbRowsOf(dibFrame(64, 48, i * 10), 64, 48)),
                  25.0)
            << "frame " << i;
    }
}

TEST_F(ApiTest, TheRefusalHookAlsoRefusesForACodec) {
    if (!isOffered(kMotionJpeg)) {
        GTEST_SKIP() << "no Motion JPEG encoder installed";
    }
    const std::string path = dir_.file("refused.avi");
    Recording recording = open(path, 64, 48, kMotionJpeg);
    avifile::setFormatRefusal(AVIERR_BADFORMAT);
    std::vector<uint8_t> format = dibFormatBlock(dibHeader(64, 48));
    EXPECT_EQ(AVIStreamSetFormat(recording.compressed, 0, format.data(), 40), AVIERR_BADFORMAT);
    avifile::setFormatRefusal(AVIERR_OK);
    ASSERT_EQ(AVIStreamSetFormat(recording.compressed, 0, format.data(), 40), AVIERR_OK);
    close(recording);
    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    EXPECT_EQ(file.streams.at(0).header.handler, kMotionJpeg);
}

TEST_F(ApiTest, ACodecStreamGoesOnAfterAFailedWrite) {
    if (!isOffered(kMotionJpeg)) {
        GTEST_SKIP() << "no Motion JPEG encoder installed";
    }
    // In a child whose files may not grow: the write fails, and once there
    // is room again the next frame goes out through a restarted encoder.
    const std::string path = dir_.file("mjpeg-limited.avi");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        Recording recording = open(path, 64, 48, kMotionJpeg);
        std::vector<uint8_t> format = dibFormatBlock(dibHeader(64, 48));
        std::vector<uint8_t> frame = dibFrame(64, 48, 0);
        const auto write = [&](LONG position) {
            return AVIStreamWrite(recording.compressed, position, 1, frame.data(),
                                  static_cast<LONG>(frame.size()), AVIIF_KEYFRAME, nullptr, nullptr);
        };
        if (AVIStreamSetFormat(recording.compressed, 0, format.data(), 40) != AVIERR_OK ||
            write(0) != AVIERR_OK) {
            _exit(10);
        }
        rlimit fileSize{};
        getrlimit(RLIMIT_FSIZE, &fileSize);
        const rlim_t unlimited = fileSize.rlim_cur;
        fileSize.rlim_cur = 1;  // below what the file already has
        setrlimit(RLIMIT_FSIZE, &fileSize);
        if (write(1) != AVIERR_FILEWRITE) {
            _exit(11);
        }
        fileSize.rlim_cur = unlimited;
        setrlimit(RLIMIT_FSIZE, &fileSize);
        if (write(2) != AVIERR_OK) {
            _exit(12);
        }
        close(recording);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    const riffcheck::Stream& stream = file.streams.at(0);
    ASSERT_EQ(stream.samples.size(), 3u);
    EXPECT_GT(stream.samples[0].size, 0u);
    EXPECT_EQ(stream.samples[1].size, 0u) << "the failed position is left empty";
    EXPECT_GT(stream.samples[2].size, 0u);
    EXPECT_TRUE(stream.samples[2].keyFrame);
}

TEST_F(ApiTest, ACodecStreamGoesOnAfterTheCodecFails) {
    constexpr DWORD kMpeg4 = mmioFOURCC('X', 'V', 'I', 'D');
    if (!isOffered(kMpeg4)) {
        GTEST_SKIP() << "no MPEG-4 encoder installed";
    }
    // The codec fails on the third frame after taking it in. That frame is
    // refused, nothing of it reaches the file, and the next one starts over
    // from a key frame instead of referring to it.
    const std::string path = dir_.file("codec-failure.avi");
    Recording recording = open(path, 64, 48, kMpeg4);
    std::vector<uint8_t> format = dibFormatBlock(dibHeader(64, 48));
    ASSERT_EQ(AVIStreamSetFormat(recording.compressed, 0, format.data(), 40), AVIERR_OK);
    const auto write = [&](LONG position, LONG* bytes) {
        std::vector<uint8_t> frame = dibFrame(64, 48, position * 10);
        return AVIStreamWrite(recording.compressed, position, 1, frame.data(),
                              static_cast<LONG>(frame.size()), 0, nullptr, bytes);
    };
    ASSERT_EQ(write(0, nullptr), AVIERR_OK);
    ASSERT_EQ(write(1, nullptr), AVIERR_OK);
    avifile::setCodecFailure(true);
    LONG bytes = -1;
    EXPECT_EQ(write(2, &bytes), AVIERR_COMPRESSOR);
    EXPECT_EQ(bytes, 0);
    avifile::setCodecFailure(false);
    ASSERT_EQ(write(3, nullptr), AVIERR_OK);
    ASSERT_EQ(write(4, nullptr), AVIERR_OK);
    close(recording);

    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    const std::vector<riffcheck::Sample>& samples = file.streams.at(0).samples;
    ASSERT_EQ(samples.size(), 5u);
    EXPECT_TRUE(samples[0].keyFrame);
    EXPECT_FALSE(samples[1].keyFrame) << "the codec makes delta frames";
    EXPECT_EQ(samples[2].size, 0u) << "the failed position is left empty";
    EXPECT_TRUE(samples[3].keyFrame) << "the frame after the failure starts over";
    EXPECT_FALSE(samples[4].keyFrame);

    // The restarted key frame decodes as well as any, and the delta frame
    // after it (this pattern changes a lot from frame to frame: 23 dB here)
    // is far from the few dB of one decoded against the wrong frame.
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(path, video));
    ASSERT_GE(video.frames.size(), 4u);
    const size_t last = video.frames.size() - 1;
    EXPECT_GT(psnr(video.frames[last - 1], apitest::rgbRowsOf(dibFrame(64, 48, 30), 64, 48)), 32.0);
    EXPECT_GT(psnr(video.frames[last], apitest::rgbRowsOf(dibFrame(64, 48, 40), 64, 48)), 20.0);
}

}  // namespace
