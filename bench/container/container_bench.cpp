// Frames per second for 24-bit uncompressed samples (640x480 and 1920x1080)
// written through the AVI writer to a file, next to plain write(2) of the
// same bytes (one chunk header and the frame per call) in the same run. The
// files go to BENCH_DIR (default /tmp) and are deleted afterwards. Both
// write the same number of frames, so that they meet the same page-cache
// and write-back conditions; run with
// --benchmark_repetitions=N --benchmark_enable_random_interleaving=true to
// spread the disk's moods over both. BENCH_DIR=/dev/shm leaves the disk out
// and shows the cost of the layer itself. BM_FrameCheck is the cost of an
// uncompressed frame's check alone: its digest, over frames that are not
// in the processor's caches.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "container/avi_records.h"
#include "container/avi_writer.h"
#include "dib_stream.h"

namespace {

std::string benchPath(const char* name) {
    const char* dir = std::getenv("BENCH_DIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/" + name + "-" +
           std::to_string(getpid()) + ".avi";
}

std::vector<uint8_t> testFrame(size_t bytes) {
    std::vector<uint8_t> frame(bytes);
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<uint8_t>(i * 31 + i / 5760);
    }
    return frame;
}

// The frame size of a run: its two arguments.
int frameWidth(const benchmark::State& state) { return static_cast<int>(state.range(0)); }
int frameHeight(const benchmark::State& state) { return static_cast<int>(state.range(1)); }

void BM_AviWriterFullFrames(benchmark::State& state) {
    const std::string path = benchPath("bench-avi-writer");
    const size_t frameBytes = dibstream::frameBytes(frameWidth(state), frameHeight(state));
    const std::vector<uint8_t> frame = testFrame(frameBytes);
    {
        avifile::AviWriter writer(avifile::createFileSink(path.c_str()), {});
        int stream = -1;
        dibstream::addStream(writer, frameWidth(state), frameHeight(state), 30, "", stream);
        for (auto _ : state) {
            if (writer.writeSample(stream, frame.data(), frame.size(), true) != AVIERR_OK) {
                state.SkipWithError("writeSample failed");
                break;
            }
        }
        writer.finish();
    }
    unlink(path.c_str());
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frameBytes));
}
BENCHMARK(BM_AviWriterFullFrames)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(120)
    ->Args({1920, 1080})
    ->Args({640, 480});

void BM_PlainWrite(benchmark::State& state) {
    const std::string path = benchPath("bench-plain-write");
    const size_t frameBytes = dibstream::frameBytes(frameWidth(state), frameHeight(state));
    const std::vector<uint8_t> frame = testFrame(frameBytes);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        state.SkipWithError("cannot create the file");
        return;
    }
    const uint8_t header[8] = {'0', '0', 'd', 'b', 0, 0, 0, 0};
    for (auto _ : state) {
        if (write(fd, header, sizeof header) != sizeof header ||
            write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
            state.SkipWithError("write failed");
            break;
        }
    }
    close(fd);
    unlink(path.c_str());
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frameBytes));
}
BENCHMARK(BM_PlainWrite)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(120)
    ->Args({1920, 1080})
    ->Args({640, 480});

void BM_FrameCheck(benchmark::State& state) {
    const size_t frameBytes = dibstream::frameBytes(frameWidth(state), frameHeight(state));
    // More frames than the caches hold, taken in turn.
    constexpr size_t kFrames = 16;
    std::vector<std::vector<uint8_t>> frames(kFrames, testFrame(frameBytes));
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(avifile::frameDigest(frames[next]));
        next = (next + 1) % kFrames;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frameBytes));
}
BENCHMARK(BM_FrameCheck)
    ->Unit(benchmark::kMillisecond)
    ->Args({1920, 1080})
    ->Args({640, 480});

}  // namespace

BENCHMARK_MAIN();
