// Frames per second of each compressor on offer at 640x480 and 1920x1080:
// our Encoder and AviWriter, then the ffmpeg command line encoding the same
// frames (raw bgr24 from a file) with the same encoder, pixel format and
// options into an AVI, in the same run; and for each side the bytes per
// frame and the PSNR of the movie (ffmpeg's decoder and psnr filter, in
// rgb24: 5-bit samples widened with their top bits repeated, as the tests'
// reader does). Two sequences: the tests' moving picture, and a slow zoom and pan
// over a photograph (matplotlib's sample portrait, from the Debian package
// python-matplotlib-data), made with ffmpeg's zoompan filter. Neither side's timing includes
// producing the frames: the raw file ffmpeg reads is written beforehand, and
// the copy of each frame into our frame buffer is left out. The two take
// turns for a few rounds; the ratio is the median of the rounds' ratios,
// shown with their range. The CPU seconds of each side show how much of a
// difference is work and how much is waiting.
//
//   bench_codecs [--quick] [--commands] [--keep] [--rounds N] [--only CODE]
//                [--dir FOLDER] [--photo FILE] [--sequence moving|photo]
#include <fcntl.h>
#include <time.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "codecs/codec_options.h"
#include "codecs/codec_table.h"
#include "codecs/encoder.h"
#include "container/avi_writer.h"
#include "riff/byte_sink.h"
#include "test_picture.h"

using namespace avifile::codecs;
using Clock = std::chrono::steady_clock;

namespace {

struct Size {
    int width;
    int height;
};

// Frames per run: a few seconds of work per codec and side (on a shared
// machine shorter runs vary by a tenth from one to the next), fewer for the
// slow encoders so that the whole run stays within minutes.
int framesFor(CodecKind kind, const Size& size, bool quick) {
    const bool large = size.width > 1000;
    int frames = large ? 120 : 480;
    if (kind == CodecKind::Cinepak) {
        frames = large ? 60 : 240;
    } else if (kind == CodecKind::Zmbv) {
        // Whole key-frame intervals (25 frames), which the key frames'
        // share of the bytes and time depends on.
        frames = large ? 100 : 200;
    } else if (kind == CodecKind::Png) {
        frames = large ? 60 : 240;
    }
    return quick ? std::max(2, frames / 4) : frames;
}

std::string fourccText(uint32_t fourcc) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        text += static_cast<char>((fourcc >> shift) & 0xFF);
    }
    return text;
}

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    const auto toSeconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

// Wall and CPU seconds of one timed run; wall <= 0 when it failed.
struct Timing {
    double wall = -1.0;
    double cpu = 0.0;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The frames of one size and sequence. The moving picture: bottom-up DIBs
// as the plug-in hands them over, cycling through a few distinct frames,
// and the same pixels top row first for ffmpeg's raw input. The photo: a
// raw file of top-down bgr24 frames made by ffmpeg, which our side reads
// frame by frame as a top-down DIB.
struct FrameSet {
    static constexpr int kDistinct = 12;
    TestPicture dib;
    std::vector<std::vector<uint8_t>> frames;
    std::string photo;  // empty: the moving picture
    int rawFd = -1;

    FrameSet(const Size& size, std::string photoFile)
        : dib{size.width, size.height, 24, !photoFile.empty()}, photo(std::move(photoFile)) {
        if (photo.empty()) {
            for (int i = 0; i < kDistinct; ++i) {
                frames.push_back(dib.frame(i));
            }
        }
    }
    ~FrameSet() { closeRaw(); }
    FrameSet(const FrameSet&) = delete;
    FrameSet& operator=(const FrameSet&) = delete;

    void closeRaw() {
        if (rawFd >= 0) {
            ::close(rawFd);
            rawFd = -1;
        }
    }

    size_t frameBytes() const { return dib.imageBytes(); }

    // Frame i into `out` (frameBytes() long); false when it cannot be read.
    bool fill(int i, uint8_t* out) const {
        if (photo.empty()) {
            const auto& frame = frames[static_cast<size_t>(i % kDistinct)];
            std::memcpy(out, frame.data(), frame.size());
            return true;
        }
        const size_t bytes = frameBytes();
        return pread(rawFd, out, bytes, static_cast<off_t>(bytes) * i) == static_cast<ssize_t>(bytes);
    }

    // Writes `count` frames as raw top-down bgr24 and waits until they are
    // on the disk: writing them back would otherwise compete with
    // whichever side runs first.
    bool writeRaw(const std::string& path, int count) {
        closeRaw();
        if (!photo.empty()) {
            // A slow zoom and pan over a landscape crop of the photograph.
            const int w = dib.width, h = dib.height;
            const std::string command =
                std::string(FFMPEG_EXECUTABLE) +
                " -nostdin -hide_banner -loglevel error -y -loop 1 -i '" + photo +
                "' -vf \"crop=iw:iw*" + std::to_string(h) + "/" + std::to_string(w) +
                ":0:(ih-oh)/3,scale=" + std::to_string(2 * w) + ":" + std::to_string(2 * h) +
                ":flags=bicubic,zoompan=z='1.05+0.003*on':x='(iw-iw/zoom)*on/" +
                std::to_string(count) + "':y='(ih-ih/zoom)*0.4':d=1:s=" + std::to_string(w) + "x" +
                std::to_string(h) + ":fps=15,format=bgr24\" -frames:v " + std::to_string(count) +
                " -f rawvideo '" + path + "'";
            if (std::system(command.c_str()) != 0) {
                return false;
            }
            rawFd = ::open(path.c_str(), O_RDONLY);
            if (rawFd < 0) {
                return false;
            }
            fsync(rawFd);
            return lseek(rawFd, 0, SEEK_END) == static_cast<off_t>(frameBytes()) * count;
        }
        const TestPicture topDown{dib.width, dib.height, 24, true};
        std::vector<std::vector<uint8_t>> raw;
        for (int i = 0; i < kDistinct; ++i) {
            raw.push_back(topDown.frame(i));
        }
        FILE* out = std::fopen(path.c_str(), "wb");
        if (out == nullptr) {
            return false;
        }
        bool ok = true;
        for (int i = 0; i < count && ok; ++i) {
            const auto& frame = raw[static_cast<size_t>(i % kDistinct)];
            ok = std::fwrite(frame.data(), 1, frame.size(), out) == frame.size();
        }
        ok = ok && std::fflush(out) == 0 && fsync(fileno(out)) == 0;
        return std::fclose(out) == 0 && ok;
    }
};

// Bytes per frame and PSNR (dB, RGB) of a movie against the raw input.
struct Quality {
    double bytes = 0.0;
    double psnr = 0.0;
    bool ok = false;
};

std::string commandOutput(const std::string& command) {
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return text;
    }
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        text.append(buffer, got);
    }
    pclose(pipe);
    return text;
}

Quality measureQuality(const std::string& movie, const std::string& raw, const Size& size,
                       int count) {
    EncoderSettings settings;  // the frame rate both movies have
    Quality quality;
    const std::string ffprobe = std::string(FFMPEG_EXECUTABLE).substr(
                                    0, std::string(FFMPEG_EXECUTABLE).rfind("ffmpeg")) +
                                "ffprobe";
    const std::string sizes = commandOutput(ffprobe + " -v error -select_streams v:0 -show_entries "
                                            "packet=size -of csv=p=0 '" + movie + "'");
    double total = 0.0;
    int packets = 0;
    for (size_t at = 0; at < sizes.size();) {
        const size_t end = sizes.find('\n', at);
        const std::string line = sizes.substr(at, end == std::string::npos ? end : end - at);
        if (!line.empty()) {
            total += std::atof(line.c_str());
            ++packets;
        }
        at = end == std::string::npos ? sizes.size() : end + 1;
    }
    const std::string report = commandOutput(
        std::string(FFMPEG_EXECUTABLE) + " -nostdin -hide_banner -i '" + movie +
        "' -f rawvideo -pix_fmt bgr24 -s " + std::to_string(size.width) + "x" +
        std::to_string(size.height) + " -r " + std::to_string(settings.rate) + " -i '" + raw +
        "' -lavfi '[0:v]format=rgb24[a];[1:v]format=rgb24[b];[a][b]psnr' -f null - 2>&1");
    const size_t at = report.rfind("average:");
    if (packets != count || at == std::string::npos) {
        return quality;
    }
    quality.bytes = total / packets;
    quality.psnr = std::atof(report.c_str() + at + 8);
    quality.ok = true;
    return quality;
}

// Our movie and ffmpeg's are both removed before each run and synced after
// it, so that neither run pays for the other's writing back.
void dropMovie(const std::string& path) {
    std::remove(path.c_str());
}

void syncMovie(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        fsync(fd);
        ::close(fd);
    }
}

// CPU seconds of the calling thread.
double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Our path, timed from opening the encoder to the finished file; `fill`
// gets the time spent putting the frames into the frame buffer.
double ourRun(const CodecProfile& profile, const FrameSet& set, int count, const std::string& path,
              Timing& fill) {
    const auto start = Clock::now();
    EncoderSettings settings;
    settings.fourcc = profile.fourcc;
    std::unique_ptr<Encoder> encoder;
    std::vector<uint8_t> format;
    if (createEncoder(settings, encoder) != AVIERR_OK ||
        encoder->open(set.dib.header(), format) != AVIERR_OK) {
        return -1.0;
    }
    auto sink = avifile::createFileSink(path.c_str());
    if (!sink) {
        return -1.0;
    }
    avifile::AviWriter writer(std::move(sink), avifile::ContainerSettings{});
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.fccHandler = profile.fourcc;
    info.dwScale = settings.scale;
    info.dwRate = settings.rate;
    info.rcFrame = RECT{0, 0, set.dib.width, set.dib.height};
    const int stream = writer.addStream(info);
    if (writer.setFormat(stream, format.data(), format.size()) != AVIERR_OK) {
        return -1.0;
    }
    // Each frame is first put into one frame buffer, as the plug-in fills
    // its buffer from the host's rows before handing it over, so that the
    // encoder reads it as it would from the plug-in: just written. That
    // filling is the producer's work, as writing the raw file is on
    // ffmpeg's side, and is left out of the timing like that file.
    std::vector<uint8_t> dib(set.frameBytes());
    fill = Timing{0.0, 0.0};
    for (int i = 0; i < count; ++i) {
        const auto fillStart = Clock::now();
        const double fillCpuStart = threadCpuSeconds();
        if (!set.fill(i, dib.data())) {
            return -1.0;
        }
        fill.cpu += threadCpuSeconds() - fillCpuStart;
        fill.wall += seconds(fillStart);
        EncodedSample sample;
        if (encoder->encode(dib.data(), dib.size(), sample) != AVIERR_OK ||
            writer.writeSample(stream, sample.data, sample.size, sample.keyFrame) != AVIERR_OK) {
            return -1.0;
        }
    }
    if (writer.finish() != AVIERR_OK) {
        return -1.0;
    }
    return seconds(start);
}

// The ffmpeg command that encodes the raw file as our encoder does.
std::string ffmpegCommand(const CodecProfile& profile, const Size& size, const std::string& raw,
                          const std::string& out) {
    EncoderSettings settings;
    settings.fourcc = profile.fourcc;
    std::string command = std::string(FFMPEG_EXECUTABLE) +
                          " -nostdin -hide_banner -loglevel error -y -f rawvideo -pix_fmt bgr24 -s " +
                          std::to_string(size.width) + "x" + std::to_string(size.height) + " -r " +
                          std::to_string(settings.rate) + " -i '" + raw + "' -c:v " +
                          profile.encoderName + " -pix_fmt " +
                          av_get_pix_fmt_name(encoderPixelFormat(profile.kind, 24));
    for (const CodecOption& option : encoderOptions(profile, settings)) {
        command += " -" + option.name + " " + option.value;
    }
    command += " -vtag " + fourccText(profile.fourcc) + " '" + out + "'";
    return command;
}

Timing ourTiming(const CodecProfile& profile, const FrameSet& set, int count,
                 const std::string& path) {
    dropMovie(path);
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    Timing fill;
    const double wall = ourRun(profile, set, count, path, fill);
    Timing timing;
    timing.wall = wall > 0.0 ? wall - fill.wall : wall;
    timing.cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore - fill.cpu;
    syncMovie(path);
    return timing;
}

Timing ffmpegTiming(const std::string& command, const std::string& path) {
    dropMovie(path);
    const double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    Timing timing;
    timing.wall = status == 0 ? seconds(start) : -1.0;
    timing.cpu = cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
    syncMovie(path);
    return timing;
}

// The rounds of one codec at one size, both sides in turn.
struct Comparison {
    std::vector<double> ourWall, ourCpu, theirWall, theirCpu;
    bool failed = false;
};

Comparison compare(const CodecProfile& profile, const FrameSet& set, int count, int rounds,
                   const std::string& command, const std::string& ours,
                   const std::string& theirs) {
    Comparison result;
    for (int round = 0; round < rounds && !result.failed; ++round) {
        // Who goes first alternates, so that neither side always runs on a
        // machine the other has just warmed up or left busy.
        Timing our;
        Timing their;
        if (round % 2 == 0) {
            our = ourTiming(profile, set, count, ours);
            their = ffmpegTiming(command, theirs);
        } else {
            their = ffmpegTiming(command, theirs);
            our = ourTiming(profile, set, count, ours);
        }
        result.failed = our.wall <= 0.0 || their.wall <= 0.0;
        result.ourWall.push_back(our.wall);
        result.ourCpu.push_back(our.cpu);
        result.theirWall.push_back(their.wall);
        result.theirCpu.push_back(their.cpu);
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    int rounds = 5;
    bool showCommands = false;
    bool keep = false;
    std::string only;
    std::string onlySequence;
    std::string dir = "/tmp";
    std::string photo = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "--keep") {
            keep = true;  // leaves the raw input and both movies of the last run
        } else if (arg == "--commands") {
            showCommands = true;
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (arg == "--sequence" && i + 1 < argc) {
            onlySequence = argv[++i];
        } else if (arg == "--photo" && i + 1 < argc) {
            photo = argv[++i];
        } else if (arg == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--quick] [--commands] [--keep] [--rounds N] [--only CODE] "
                         "[--dir FOLDER] [--photo FILE] [--sequence moving|photo]\n",
                         argv[0]);
            return 2;
        }
    }
    const std::string raw = dir + "/bench_codecs_input.bgr";
    const std::string ours = dir + "/bench_codecs_ours.avi";
    const std::string theirs = dir + "/bench_codecs_ffmpeg.avi";
    const bool havePhoto = access(photo.c_str(), R_OK) == 0;
    if (!havePhoto) {
        std::printf("(no photograph at %s: the photo sequence is left out)\n", photo.c_str());
    }

    std::printf("%-6s %-7s %-10s %6s %9s %9s %7s %11s %8s %8s | %9s %9s %6s | %6s %6s %6s\n",
                "codec", "frames", "size", "count", "ours fps", "ffm fps", "ratio", "rounds",
                "ours cpu", "ffm cpu", "ours B/f", "ffm B/f", "ratio", "ours dB", "ffm dB",
                "diff");
    int failures = 0;
    for (const Size size : {Size{640, 480}, Size{1920, 1080}}) {
        for (const std::string sequence : {"moving", "photo"}) {
            if ((sequence == "photo" && !havePhoto) ||
                (!onlySequence.empty() && onlySequence != sequence)) {
                continue;
            }
            FrameSet set(size, sequence == "photo" ? photo : std::string());
            int rawFrames = 0;
            for (const CodecProfile& profile : codecTable()) {
                if (profile.encoderName == nullptr || !isInstalled(profile) ||
                    (!only.empty() && only != profile.shortName &&
                     only != fourccText(profile.fourcc))) {
                    continue;
                }
                const int count = framesFor(profile.kind, size, quick);
                if (count != rawFrames) {
                    if (!set.writeRaw(raw, count)) {
                        std::fprintf(stderr, "cannot write %s\n", raw.c_str());
                        return 1;
                    }
                    rawFrames = count;
                }
                const std::string command = ffmpegCommand(profile, size, raw, theirs);
                if (showCommands) {
                    std::printf("  %s\n", command.c_str());
                }
                const Comparison result =
                    compare(profile, set, count, rounds, command, ours, theirs);
                const std::string sizeText =
                    std::to_string(size.width) + "x" + std::to_string(size.height);
                if (result.failed) {
                    std::printf("%-6s %-7s %-10s %6d %9s\n", fourccText(profile.fourcc).c_str(),
                                sequence.c_str(), sizeText.c_str(), count, "failed");
                    ++failures;
                    continue;
                }
                // Frames per second from the median run of each side. The
                // ratio is the median of each round's own ratio: the two
                // runs of a round are next to each other in time, so a
                // machine that slows down or speeds up over minutes affects
                // both alike. CPU seconds per frame in milliseconds. Bytes
                // and PSNR of the last round's two movies.
                std::vector<double> ratios;
                for (size_t round = 0; round < result.ourWall.size(); ++round) {
                    ratios.push_back(result.theirWall[round] / result.ourWall[round]);
                }
                const auto [lowest, highest] = std::minmax_element(ratios.begin(), ratios.end());
                const Quality our = measureQuality(ours, raw, size, count);
                const Quality their = measureQuality(theirs, raw, size, count);
                std::printf("%-6s %-7s %-10s %6d %9.2f %9.2f %6.2fx %5.2f-%.2fx %6.2fms %6.2fms",
                            fourccText(profile.fourcc).c_str(), sequence.c_str(), sizeText.c_str(),
                            count, count / median(result.ourWall),
                            count / median(result.theirWall), median(ratios), *lowest, *highest,
                            1000.0 * median(result.ourCpu) / count,
                            1000.0 * median(result.theirCpu) / count);
                if (our.ok && their.ok) {
                    std::printf(" | %9.0f %9.0f %5.2fx | %6.2f %6.2f %+6.2f\n", our.bytes,
                                their.bytes, our.bytes / their.bytes, our.psnr, their.psnr,
                                our.psnr - their.psnr);
                } else {
                    std::printf(" | %s\n", "bytes and PSNR not measured");
                }
                std::fflush(stdout);
            }
        }
    }
    if (!keep) {
        std::remove(raw.c_str());
        std::remove(ours.c_str());
        std::remove(theirs.c_str());
    }
    return failures == 0 ? 0 : 1;
}
