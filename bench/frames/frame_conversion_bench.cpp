// Speed of the frame conversion (fillFrameRows) at three frame sizes, beside
// memcpy of the same number of output bytes in the same run. Every row
// converter that this processor can run is measured, as is the plain
// reference loop. After the usual table the program prints each
// conversion's time as a multiple of memcpy's.
//
//   bench_frames [Google Benchmark options, e.g. --benchmark_repetitions=5]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "frame_conversion.h"
#include "frame_rows.h"
#include "host/host_services.h"

namespace {

struct FrameSize {
    int32_t width;
    int32_t height;
    std::string label() const { return std::to_string(width) + "x" + std::to_string(height); }
};

const FrameSize kSizes[] = {{640, 480}, {1920, 1080}, {3840, 2160}};

// A frame of random samples in the host's records.
struct SourceFrame {
    std::vector<unsigned char> planes[3];
    BandBlock blocks[3] = {};
    BandBlock* blockList[3] = {};
    BandStack stack = {};
    MovieRecord movie = {};

    explicit SourceFrame(FrameSize size) {
        std::mt19937 random(1234);
        const size_t samples = static_cast<size_t>(size.width) * static_cast<size_t>(size.height);
        for (int band = 0; band < 3; ++band) {
            planes[band].resize(samples);
            for (unsigned char& sample : planes[band]) {
                sample = static_cast<unsigned char>(random());
            }
            blocks[band].data = planes[band].data();
            blockList[band] = &blocks[band];
        }
        stack.bands = blockList;
        movie.width = size.width;
        movie.height = size.height;
    }
};

size_t outputBytes(FrameSize size) {
    return static_cast<size_t>(rowStride(size.width)) * static_cast<size_t>(size.height);
}

void benchmarkConversion(benchmark::State& state, FrameSize size, RowConverter convert) {
    const SourceFrame frame(size);
    unsigned char* buffer = buildFrameBuffer(size.width, size.height);
    if (buffer == nullptr) {
        state.SkipWithError("frame buffer refused");
        return;
    }
    const int32_t stride = rowStride(size.width);
    for (auto _ : state) {
        if (convert == nullptr) {
            fillFrameRowsReference(buffer, stride, &frame.movie, &frame.stack);
        } else {
            fillFrameRowsWith(convert, buffer, stride, &frame.movie, &frame.stack);
        }
        benchmark::DoNotOptimize(buffer);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(outputBytes(size)));
    jmsc_HeapFree(buffer);
}

// What the plug-in does for each frame: build the buffer, fill it, free it.
void benchmarkWholeFrame(benchmark::State& state, FrameSize size) {
    const SourceFrame frame(size);
    const int32_t stride = rowStride(size.width);
    for (auto _ : state) {
        unsigned char* buffer = buildFrameBuffer(size.width, size.height);
        fillFrameRows(buffer, stride, &frame.movie, &frame.stack);
        benchmark::DoNotOptimize(buffer);
        benchmark::ClobberMemory();
        jmsc_HeapFree(buffer);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(outputBytes(size)));
}

void benchmarkMemcpy(benchmark::State& state, FrameSize size) {
    const size_t bytes = outputBytes(size);
    std::vector<unsigned char> source(bytes, 0x5a);
    std::vector<unsigned char> target(bytes, 0);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), bytes);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

// Keeps the fastest wall-clock and processor time per iteration of every
// benchmark over its repetitions, for the ratios.
class RatioCollector : public benchmark::ConsoleReporter {
public:
    struct Times {
        double real = 0;
        double cpu = 0;
    };

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) {
                continue;
            }
            const double iterations = static_cast<double>(run.iterations);
            const Times times = {run.real_accumulated_time / iterations,
                                 run.cpu_accumulated_time / iterations};
            auto [entry, inserted] = best_.try_emplace(run.run_name.function_name, times);
            if (!inserted) {
                entry->second.real = std::min(entry->second.real, times.real);
                entry->second.cpu = std::min(entry->second.cpu, times.cpu);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Seconds per iteration, or negative values when it did not run.
    Times times(const std::string& name) const {
        const auto found = best_.find(name);
        return found == best_.end() ? Times{-1, -1} : found->second;
    }

private:
    std::map<std::string, Times> best_;
};

std::string conversionName(const std::string& converter, FrameSize size) {
    return "convert/" + converter + "/" + size.label();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> converters;
    for (const RowConverterVariant& variant : rowConverterVariants()) {
        if (variant.isSupported()) {
            converters.push_back(variant.name);
        }
    }
    std::string selectedName = "?";
    for (const RowConverterVariant& variant : rowConverterVariants()) {
        if (variant.convert == selectedRowConverter()) {
            selectedName = variant.name;
        }
    }

    for (const FrameSize size : kSizes) {
        benchmark::RegisterBenchmark(("memcpy/" + size.label()).c_str(), benchmarkMemcpy, size);
        benchmark::RegisterBenchmark(conversionName("fillFrameRows", size).c_str(),
                                     benchmarkConversion, size, selectedRowConverter());
        for (const RowConverterVariant& variant : rowConverterVariants()) {
            if (variant.isSupported()) {
                benchmark::RegisterBenchmark(conversionName(variant.name, size).c_str(),
                                             benchmarkConversion, size, variant.convert);
            }
        }
        benchmark::RegisterBenchmark(conversionName("reference", size).c_str(),
                                     benchmarkConversion, size, RowConverter{nullptr});
        benchmark::RegisterBenchmark(("frame/build+fill+free/" + size.label()).c_str(),
                                     benchmarkWholeFrame, size);
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioCollector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::vector<std::string> columns = {"fillFrameRows"};
    columns.insert(columns.end(), converters.begin(), converters.end());
    columns.push_back("reference");

    // One table by processor time (what the conversion itself costs, whatever
    // else the machine runs) and one by wall-clock time.
    for (const bool byCpu : {true, false}) {
        std::printf("\nTime as a multiple of memcpy of the same output bytes, by %s time\n"
                    "(fastest repetition; fillFrameRows uses %s):\n",
                    byCpu ? "processor" : "wall-clock", selectedName.c_str());
        std::printf("%-11s", "size");
        for (const std::string& column : columns) {
            std::printf(" %14s", column.c_str());
        }
        std::printf(" %16s\n", "build+fill+free");
        for (const FrameSize size : kSizes) {
            auto seconds = [&](const std::string& name) {
                const RatioCollector::Times times = reporter.times(name);
                return byCpu ? times.cpu : times.real;
            };
            const double copy = seconds("memcpy/" + size.label());
            auto printRatio = [copy](double taken, int width) {
                if (copy > 0 && taken > 0) {
                    std::printf(" %*.2f", width, taken / copy);
                } else {
                    std::printf(" %*s", width, "-");
                }
            };
            std::printf("%-11s", size.label().c_str());
            for (const std::string& column : columns) {
                printRatio(seconds(conversionName(column, size)), 14);
            }
            printRatio(seconds("frame/build+fill+free/" + size.label()), 16);
            std::printf("\n");
        }
    }
    benchmark::Shutdown();
    return 0;
}
