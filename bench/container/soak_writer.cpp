// Writes a long recording of 1920x1080 24-bit frames through the AVI writer
// with its default settings (1 GiB RIFFs), for the large-file soak script.
//   soak_writer write PATH FRAMES   the recording; prints figures
//   soak_writer frame N             frame N as ffmpeg gives it back (rgb24,
//                                   top row first) on standard output
// Frame N is filled from N, so that any frame can be checked after reading.
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "container/avi_writer.h"
#include "dib_stream.h"

namespace {

constexpr size_t kWidth = dibstream::kFullHdWidth;
constexpr size_t kHeight = dibstream::kFullHdHeight;
constexpr size_t kRowBytes = kWidth * 3;
constexpr size_t kFrameBytes = dibstream::frameBytes(dibstream::kFullHdWidth, dibstream::kFullHdHeight);

// Bottom-up BGR rows; each row's bytes depend on the frame and the row.
void fillFrame(uint32_t number, std::vector<uint8_t>& frame) {
    frame.resize(kFrameBytes);
    for (size_t row = 0; row < kHeight; ++row) {
        uint8_t* out = frame.data() + row * kRowBytes;
        const uint32_t seed = number * 2654435761u + static_cast<uint32_t>(row) * 40503u;
        for (size_t x = 0; x < kRowBytes; ++x) {
            out[x] = static_cast<uint8_t>(seed + x * 7 + (seed >> 13));
        }
    }
}

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

// The RIFFs of the file, counted by walking its top level.
int countRiffs(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return -1;
    }
    int riffs = 0;
    uint64_t position = 0;
    uint8_t header[8];
    while (fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0 &&
           std::fread(header, 1, sizeof header, file) == sizeof header &&
           std::memcmp(header, "RIFF", 4) == 0) {
        const uint32_t size = static_cast<uint32_t>(header[4]) |
                              (static_cast<uint32_t>(header[5]) << 8) |
                              (static_cast<uint32_t>(header[6]) << 16) |
                              (static_cast<uint32_t>(header[7]) << 24);
        ++riffs;
        position += 8 + uint64_t{size} + (size & 1);
    }
    std::fclose(file);
    return riffs;
}

int writeRecording(const char* path, uint32_t frames) {
    avifile::AviWriter writer(avifile::createFileSink(path), {});
    int stream = -1;
    if (dibstream::addStream(writer, dibstream::kFullHdWidth, dibstream::kFullHdHeight, 25, "soak",
                             stream) != AVIERR_OK) {
        std::fprintf(stderr, "format refused\n");
        return 1;
    }
    std::vector<uint8_t> frame;
    double writing = 0.0;
    const double start = now();
    for (uint32_t i = 0; i < frames; ++i) {
        fillFrame(i, frame);
        const double before = now();
        if (writer.writeSample(stream, frame.data(), frame.size(), true) != AVIERR_OK) {
            std::fprintf(stderr, "frame %u not written\n", i);
            return 1;
        }
        writing += now() - before;
    }
    const HRESULT finished = writer.finish();
    const double total = now() - start;
    if (finished != AVIERR_OK) {
        std::fprintf(stderr, "finish failed: %x\n", static_cast<unsigned>(finished));
        return 1;
    }
    FILE* file = std::fopen(path, "rb");
    fseeko(file, 0, SEEK_END);
    const auto bytes = static_cast<uint64_t>(ftello(file));
    std::fclose(file);
    std::printf("frames=%u\nbytes=%llu\nriffs=%d\nwrite_seconds=%.2f\ntotal_seconds=%.2f\n"
                "write_MBps=%.0f\nwrite_fps=%.1f\n",
                frames, static_cast<unsigned long long>(bytes), countRiffs(path), writing, total,
                static_cast<double>(frames) * kFrameBytes / writing / 1e6, frames / writing);
    return 0;
}

int printFrame(uint32_t number) {
    std::vector<uint8_t> frame;
    fillFrame(number, frame);
    std::vector<uint8_t> rgb(kFrameBytes);
    for (size_t row = 0; row < kHeight; ++row) {
        const uint8_t* in = frame.data() + (kHeight - 1 - row) * kRowBytes;
        uint8_t* out = rgb.data() + row * kRowBytes;
        for (size_t x = 0; x < kWidth; ++x) {
            out[x * 3 + 0] = in[x * 3 + 2];
            out[x * 3 + 1] = in[x * 3 + 1];
            out[x * 3 + 2] = in[x * 3 + 0];
        }
    }
    return std::fwrite(rgb.data(), 1, rgb.size(), stdout) == rgb.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "write") == 0) {
        return writeRecording(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
    }
    if (argc == 3 && std::strcmp(argv[1], "frame") == 0) {
        return printFrame(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
    }
    std::fprintf(stderr, "usage: soak_writer write PATH FRAMES | soak_writer frame N\n");
    return 2;
}
