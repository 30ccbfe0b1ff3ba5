// Streams, formats and frames that the container tests write.
#ifndef TESTS_CONTAINER_CONTAINER_FIXTURES_H
#define TESTS_CONTAINER_CONTAINER_FIXTURES_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "avifile.h"
#include "container/avi_writer.h"
#include "support/dib_frames.h"

namespace fixtures {

// The video stream header as the plug-in fills it.
using dibtest::videoInfo;

// An uncompressed bottom-up DIB header, 24 bits unless told otherwise.
using dibtest::dibHeader;

// A 24-bit DIB frame whose every byte depends on the frame number and its
// place, so that frames and rows cannot be mixed up unnoticed.
std::vector<uint8_t> dibFrame(int width, int height, int frameNumber);

// The frame as ffmpeg gives it back in rgb24: top row first, red first.
std::vector<uint8_t> expectedRgb(int width, int height, const std::vector<uint8_t>& dib);

// A writer of one 24-bit video stream into `sink`; the stream is number 0.
std::unique_ptr<avifile::AviWriter> videoWriter(std::unique_ptr<avifile::ByteSink> sink,
                                                int width, int height,
                                                const avifile::ContainerSettings& settings = {},
                                                const char* name = "");

// A way for the file sink to write, for the tests that must hold on each:
// buffered, and direct for every whole 512-byte block of every append (as
// many direct writes as can be, beside buffered bytes in the same page).
struct SinkPath {
    const char* name;
    avifile::FileSinkOptions options;
};
inline const SinkPath kBuffered{"Buffered", {avifile::WriteMode::Buffered, 0, 0}};
inline const SinkPath kDirect{"Direct", {avifile::WriteMode::Direct, 1, 512}};
inline void PrintTo(const SinkPath& path, std::ostream* out) { *out << path.name; }
inline auto sinkPaths() { return testing::Values(kBuffered, kDirect); }
inline std::string sinkPathName(const testing::TestParamInfo<SinkPath>& info) {
    return info.param.name;
}

// Bytes in memory with a limit that the test moves: appends that would pass
// it fail as on a full disk (and leave nothing behind), overwrites within
// the bytes held always succeed. The bytes outlive the sink, so a test can
// look at them after the writer that owned the sink is gone.
struct SinkBytes {
    std::vector<uint8_t> bytes;
    uint64_t limit = UINT64_MAX;
    bool refuseHeaderRewrites = false;  // writes in place at position 0 fail
};

class LimitedSink : public avifile::ByteSink {
public:
    LimitedSink() : state_(std::make_shared<SinkBytes>()) {}
    bool append(std::span<const avifile::ConstBuffer> parts) override;
    bool writeAt(uint64_t position, const void* data, size_t size) override;
    uint64_t size() const override { return state_->bytes.size(); }
    SinkBytes& state() { return *state_; }
    std::shared_ptr<SinkBytes> shared() { return state_; }

private:
    std::shared_ptr<SinkBytes> state_;
};

}  // namespace fixtures

#endif  // TESTS_CONTAINER_CONTAINER_FIXTURES_H
