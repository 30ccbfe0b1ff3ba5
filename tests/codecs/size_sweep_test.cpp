// Every compressor on offer at every frame size from 1x1 to 9x9 and at some
// large and lopsided ones, through the AVIFile calls as the plug-in makes
// them, with each frame in a host heap block that ends at an inaccessible
// page: a size is either refused when the format is set, with a reason for
// the user, or every frame is written and FFmpeg decodes them all at that
// size (exactly the input, for lossless codecs). A read past the caller's
// frame, in our code or inside a library, faults.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "avifile.h"
#include "avifile_test_hooks.h"
#include "decoded_movie.h"
#include "host/toolkit.h"
#include "support/temp_dir.h"

namespace {

struct FrameSize {
    int32_t width;
    int32_t height;
};

std::string sizeText(FrameSize size) {
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

// The sizes every compressor is tried at.
std::vector<FrameSize> sweptSizes() {
    std::vector<FrameSize> sizes;
    for (int32_t height = 1; height <= 9; ++height) {
        for (int32_t width = 1; width <= 9; ++width) {
            sizes.push_back({width, height});
        }
    }
    const FrameSize more[] = {{16, 4},  {16, 8},   {17, 4},   {12, 12},  {641, 480},
                              {1920, 2}, {2, 1080}, {640, 2},  {8192, 4}, {8200, 4},
                              {4, 8200}, {16384, 4}, {4, 16384}};
    sizes.insert(sizes.end(), std::begin(more), std::end(more));
    return sizes;
}

// Sizes beyond what readers decode: only the refusal is tried (no frame of
// that size is ever allocated).
const FrameSize kTooLarge[] = {{16384, 16384}, {9000000, 1}, {20000, 20000}, {1, 300000000}};

// 0..255..0 and again: a ramp without steps.
uint8_t triangle(int64_t value) {
    const int64_t phase = value % 510;
    return static_cast<uint8_t>(phase <= 255 ? phase : 510 - phase);
}

// A frame as the plug-in hands it over: a BITMAPINFOHEADER and the rows
// after it, bottom row first, in one host heap block of exactly that size.
class HostFrameBlock {
public:
    HostFrameBlock(FrameSize size, int bits, int seed)
        : size_(size), bits_(bits), stride_((static_cast<size_t>(size.width) * bits / 8 + 3) & ~size_t{3}) {
        const size_t bytes = sizeof(BITMAPINFOHEADER) + imageBytes();
        block_ = static_cast<uint8_t*>(jmsc_HeapMalloc(static_cast<uint32_t>(bytes)));
        if (block_ == nullptr) {
            return;
        }
        const BITMAPINFOHEADER header = formatHeader(size, bits);
        std::memcpy(block_, &header, sizeof header);
        const int pixelBytes = bits / 8;
        for (int32_t top = 0; top < size.height; ++top) {
            uint8_t* row = pixels() + static_cast<size_t>(size.height - 1 - top) * stride_;
            std::memset(row, 0, stride_);
            for (int32_t x = 0; x < size.width; ++x) {
                // Gentle ramps that move with the seed, so that lossy codecs
                // keep them close even at a few pixels, and two frames differ.
                const uint8_t red = triangle(x * 7 + seed * 9);
                const uint8_t green = triangle(top * 5 + 30 + seed * 5);
                const uint8_t blue = triangle((x + top) * 3 + seed * 3 + 96);
                uint8_t* pixel = row + static_cast<size_t>(x) * pixelBytes;
                pixel[0] = blue;
                pixel[1] = green;
                pixel[2] = red;
                if (pixelBytes == 4) {
                    pixel[3] = static_cast<uint8_t>(0x5A + seed);  // unused, must not matter
                }
                rgb_.insert(rgb_.end(), {red, green, blue});
            }
        }
    }
    ~HostFrameBlock() { jmsc_HeapFree(block_); }
    HostFrameBlock(const HostFrameBlock&) = delete;
    HostFrameBlock& operator=(const HostFrameBlock&) = delete;

    static BITMAPINFOHEADER formatHeader(FrameSize size, int bits) {
        BITMAPINFOHEADER header{};
        header.biSize = sizeof header;
        header.biWidth = size.width;
        header.biHeight = size.height;
        header.biPlanes = 1;
        header.biBitCount = static_cast<WORD>(bits);
        header.biCompression = BI_RGB;
        return header;
    }

    bool allocated() const { return block_ != nullptr; }
    uint8_t* pixels() { return block_ + sizeof(BITMAPINFOHEADER); }
    size_t imageBytes() const { return stride_ * static_cast<size_t>(size_.height); }
    // Packed RGB, top row first: what a lossless codec must give back.
    const std::vector<uint8_t>& rgb() const { return rgb_; }

private:
    FrameSize size_;
    int bits_;
    size_t stride_;
    uint8_t* block_ = nullptr;
    std::vector<uint8_t> rgb_;
};

// Mean absolute difference per sample between two packed RGB pictures.
double meanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) {
        return 255.0;
    }
    uint64_t total = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        total += static_cast<uint64_t>(a[i] > b[i] ? a[i] - b[i] : b[i] - a[i]);
    }
    return static_cast<double>(total) / static_cast<double>(a.size());
}

// Switches the host heap to guard mode (blocks start anywhere, end at the
// inaccessible page) for one test.
class GuardedHeap {
public:
    GuardedHeap() { EXPECT_EQ(jmsc_HeapGuard(1), 1); }
    ~GuardedHeap() { jmsc_HeapGuard(0); }
    GuardedHeap(const GuardedHeap&) = delete;
    GuardedHeap& operator=(const GuardedHeap&) = delete;
};

// One recording through the calls that the plug-in makes.
struct Attempt {
    HRESULT format = AVIERR_OK;     // AVIStreamSetFormat
    std::string reason;             // lastFailureReason() after a refusal
    std::vector<HRESULT> writes;    // AVIStreamWrite, frame by frame
    std::vector<std::string> writeReasons;
    std::vector<std::vector<uint8_t>> inputs;  // each frame's packed RGB
    bool allocated = true;
};

Attempt recordThroughTheApi(const std::string& path, uint32_t fourcc, FrameSize size, int bits,
                            int frames, DWORD rate = 15, DWORD scale = 1) {
    Attempt attempt;
    PAVIFILE file = nullptr;
    PAVISTREAM raw = nullptr;
    PAVISTREAM compressed = nullptr;
    EXPECT_EQ(AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.dwScale = scale;
    info.dwRate = rate;
    info.rcFrame = RECT{0, 0, static_cast<LONG>(size.width), static_cast<LONG>(size.height)};
    EXPECT_EQ(AVIFileCreateStreamA(file, &raw, &info), AVIERR_OK);
    AVICOMPRESSOPTIONS options{};
    options.fccType = streamtypeVIDEO;
    options.fccHandler = fourcc;
    options.dwQuality = ICQUALITY_DEFAULT;
    options.dwFlags = AVICOMPRESSF_VALID;
    EXPECT_EQ(AVIMakeCompressedStream(&compressed, raw, &options, nullptr), AVIERR_OK);
    BITMAPINFOHEADER header = HostFrameBlock::formatHeader(size, bits);
    attempt.format = AVIStreamSetFormat(compressed, 0, &header, sizeof header);
    attempt.reason = avifile::lastFailureReason();
    for (int i = 0; attempt.format == AVIERR_OK && i < frames; ++i) {
        HostFrameBlock frame(size, bits, i);
        if (!frame.allocated()) {
            attempt.allocated = false;
            break;
        }
        attempt.writes.push_back(AVIStreamWrite(compressed, -1, 1, frame.pixels(),
                                                static_cast<LONG>(frame.imageBytes()), 0,
                                                nullptr, nullptr));
        attempt.writeReasons.push_back(avifile::lastFailureReason());
        attempt.inputs.push_back(frame.rgb());
    }
    AVIStreamRelease(raw);
    AVIStreamRelease(compressed);
    AVIFileRelease(file);
    return attempt;
}

}  // namespace

namespace avifile {
// Names the compressor in the test's output, not its bytes.
void PrintTo(const CompressorDescription& codec, std::ostream* out) { *out << codec.shortName; }
}  // namespace avifile

namespace {

std::string codecLabel(const ::testing::TestParamInfo<avifile::CompressorDescription>& info) {
    return info.param.shortName;
}

class CodecSizeSweep : public ::testing::TestWithParam<avifile::CompressorDescription> {
protected:
    void SetUp() override {
        AVIFileInit();
        blocksAtStart_ = jmsc_HeapLiveBlocks();
        liveAtStart_ = avifile::liveObjects();
    }
    void TearDown() override {
        EXPECT_EQ(jmsc_HeapLiveBlocks(), blocksAtStart_);
        EXPECT_EQ(avifile::liveObjects(), liveAtStart_);
        AVIFileExit();
    }

    // Records `frames` frames at `size` and checks the outcome; true when
    // the size was taken.
    bool tryOne(FrameSize size, int bits, int frames, DWORD rate = 15, DWORD scale = 1) {
        const avifile::CompressorDescription& codec = GetParam();
        SCOPED_TRACE(codec.shortName + " at " + sizeText(size) + ", " + std::to_string(bits) +
                     " bits, " + std::to_string(rate) + "/" + std::to_string(scale) + " frames/s");
        const std::string path = dir_.file("sweep.avi");
        const Attempt attempt = recordThroughTheApi(path, codec.fourcc, size, bits, frames, rate, scale);
        if (attempt.format != AVIERR_OK) {
            EXPECT_FALSE(attempt.reason.empty()) << "refused without a reason";
            EXPECT_EQ(attempt.format, AVIERR_BADFORMAT) << attempt.reason;
            return false;
        }
        if (!attempt.allocated) {
            ADD_FAILURE() << "no memory for the frame";
            return false;
        }
        for (size_t i = 0; i < attempt.writes.size(); ++i) {
            EXPECT_EQ(attempt.writes[i], AVIERR_OK) << "frame " << i << ": " << attempt.writeReasons[i];
        }
        const DecodedMovie movie = decodeMovie(path);
        EXPECT_TRUE(movie.error.empty()) << movie.error;
        EXPECT_EQ(movie.width, size.width);
        EXPECT_EQ(movie.height, size.height);
        EXPECT_EQ(movie.frames.size(), static_cast<size_t>(frames));
        for (size_t i = 0; i < movie.frames.size() && i < attempt.inputs.size(); ++i) {
            if (codec.lossless) {
                EXPECT_TRUE(movie.frames[i] == attempt.inputs[i])
                    << "frame " << i << " is not the input (mean difference "
                    << meanDifference(movie.frames[i], attempt.inputs[i]) << ")";
            } else {
                // Far looser than any codec's loss: catches garbage, not quality.
                EXPECT_LT(meanDifference(movie.frames[i], attempt.inputs[i]), 24.0) << "frame " << i;
            }
        }
        return true;
    }

    TempDir dir_;
    uint64_t blocksAtStart_ = 0;
    int liveAtStart_ = 0;
    GuardedHeap guard_;
};

TEST_P(CodecSizeSweep, EverySizeIsDecodedOrRefusedWithAReason) {
    std::string refused;
    for (const FrameSize size : sweptSizes()) {
        const bool large = static_cast<int64_t>(size.width) * size.height > 10000;
        if (!tryOne(size, 24, large ? 1 : 2)) {
            refused.append(" ").append(sizeText(size));
        }
    }
    for (const FrameSize size : kTooLarge) {
        const std::string path = dir_.file("large.avi");
        const Attempt attempt = recordThroughTheApi(path, GetParam().fourcc, size, 24, 0);
        EXPECT_EQ(attempt.format, AVIERR_BADFORMAT) << sizeText(size);
        EXPECT_FALSE(attempt.reason.empty()) << sizeText(size);
    }
    std::printf("%s refuses:%s\n", GetParam().shortName.c_str(), refused.empty() ? " none" : refused.c_str());
}

// Frames of 32 bits a pixel, which some codecs take without conversion.
TEST_P(CodecSizeSweep, ThirtyTwoBitFramesAreDecodedOrRefusedWithAReason) {
    for (const FrameSize size : {FrameSize{1, 1}, FrameSize{2, 3}, FrameSize{5, 2}, FrameSize{8, 8},
                                 FrameSize{9, 7}, FrameSize{33, 17}}) {
        tryOne(size, 32, 2);
    }
}

// Frame rates from one a second to a million, and a fractional one: stored,
// or refused with a reason where the codec cannot hold the rate.
TEST_P(CodecSizeSweep, EveryRateIsDecodedOrRefusedWithAReason) {
    const std::pair<DWORD, DWORD> rates[] = {{1, 1}, {30000, 1001}, {65535, 1}, {65536, 1},
                                             {1000000, 1}, {15, 1000}};
    for (const auto& [rate, scale] : rates) {
        tryOne({16, 16}, 24, 2, rate, scale);
    }
}

// Frames that the codec fails on are refused with a reason, leave nothing
// allocated behind (LeakSanitizer checks at exit), and the recording goes
// on with the frames after them.
TEST_P(CodecSizeSweep, FailedFramesAreRefusedWithAReasonAndTheRecordingGoesOn) {
    if (GetParam().fourcc == mmioFOURCC('D', 'I', 'B', ' ')) {
        GTEST_SKIP() << "Full Frames runs no codec";
    }
    const FrameSize size{16, 16};
    const std::string path = dir_.file("failing.avi");
    PAVIFILE file = nullptr;
    PAVISTREAM raw = nullptr;
    PAVISTREAM compressed = nullptr;
    ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.dwScale = 1;
    info.dwRate = 15;
    ASSERT_EQ(AVIFileCreateStreamA(file, &raw, &info), AVIERR_OK);
    AVICOMPRESSOPTIONS options{};
    options.fccHandler = GetParam().fourcc;
    options.dwQuality = ICQUALITY_DEFAULT;
    ASSERT_EQ(AVIMakeCompressedStream(&compressed, raw, &options, nullptr), AVIERR_OK);
    BITMAPINFOHEADER header = HostFrameBlock::formatHeader(size, 24);
    ASSERT_EQ(AVIStreamSetFormat(compressed, 0, &header, sizeof header), AVIERR_OK);
    std::vector<HRESULT> results;
    for (int i = 0; i < 6; ++i) {
        avifile::setCodecFailure(i >= 1 && i <= 3);
        HostFrameBlock frame(size, 24, i);
        results.push_back(AVIStreamWrite(compressed, -1, 1, frame.pixels(),
                                         static_cast<LONG>(frame.imageBytes()), 0, nullptr, nullptr));
        if (results.back() != AVIERR_OK) {
            EXPECT_FALSE(avifile::lastFailureReason().empty()) << "frame " << i;
        }
    }
    avifile::setCodecFailure(false);
    EXPECT_EQ(results, (std::vector<HRESULT>{AVIERR_OK, AVIERR_COMPRESSOR, AVIERR_COMPRESSOR,
                                             AVIERR_COMPRESSOR, AVIERR_OK, AVIERR_OK}));
    AVIStreamRelease(raw);
    AVIStreamRelease(compressed);
    AVIFileRelease(file);
    const DecodedMovie movie = decodeMovie(path);
    EXPECT_TRUE(movie.error.empty()) << movie.error;
    EXPECT_EQ(movie.frames.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Offered, CodecSizeSweep, ::testing::ValuesIn(avifile::availableCompressors()),
                         codecLabel);

}  // namespace
