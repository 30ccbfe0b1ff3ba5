// Joining recordings. Segments of different content are recorded by avirec
// (each codec it offers that the readers decode, with RIFFs of a few
// kilobytes so that segments and the joined movie span several), by ffmpeg
// and by GStreamer, one of them a single frame; the joined movie must give
// ffmpeg and GStreamer exactly the segments' frames in order (decoded
// pixels, the samples' bytes, the key-frame flags), MediaInfo the sum of
// their counts, and leave the inputs as they were. Mismatched or unfinished
// inputs are refused naming the input and the field, with nothing written;
// a join killed part-way leaves the old movie alone and a partial file that
// the repair finishes with the frames copied so far; a join that fails on a
// full disk, or copies through memory where the system will not copy,
// leaves nothing behind or the same bytes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "avifile_hooks.h"
#include "power_cut_disk.h"
#include "riff/file_system.h"
#include "support/ffmpeg_tools.h"
#include "support/riff_reader.h"
#include "support/temp_dir.h"

namespace {

using avifile::JoinOutcome;

// RIFFs of the segments avirec records and of every joined movie.
constexpr const char* kRiffLimit = "8000";

// Sets AVIFILE_RIFF_LIMIT for the test and the programs it starts.
class SmallRiffs {
public:
    SmallRiffs() { setenv("AVIFILE_RIFF_LIMIT", kRiffLimit, 1); }
    ~SmallRiffs() { unsetenv("AVIFILE_RIFF_LIMIT"); }
};

// A writer of segments: the command that records frames FIRST to END-1 of
// an animated test picture (pattern number PATTERN for GStreamer, whose
// test source has no start frame) into OUT.
struct SegmentWriter {
    std::string name;
    std::string command;
};
void PrintTo(const SegmentWriter& writer, std::ostream* out) { *out << writer.name; }

std::vector<SegmentWriter> segmentWriters() {
    const std::string source =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=96x64:rate=25 "
        "-vf trim=start_frame=FIRST:end_frame=END,setpts=PTS-STARTPTS ";
    const std::string avirec = source + "-f rawvideo -pix_fmt rgb24 - | " AVIREC_PATH
                                        " -q -y --raw rgb24 --size 96x64 --fps 25 --codec ";
    return {
        {"avirec_full", avirec + "full OUT"},
        {"avirec_ffv1", avirec + "ffv1 OUT"},
        {"avirec_mjpeg", avirec + "mjpeg OUT"},
        {"avirec_cinepak", avirec + "cinepak OUT"},
        {"avirec_h264", avirec + "h264,keyframes=3 OUT"},
        {"ffmpeg_mjpeg", source + "-c:v mjpeg OUT"},
        {"ffmpeg_h264", source + "-c:v libx264 -g 4 OUT"},
        {"gstreamer_mjpeg",
         "gst-launch-1.0 -q videotestsrc pattern=PATTERN num-buffers=COUNT ! "
         "video/x-raw,width=96,height=64,framerate=25/1 ! jpegenc ! avimux ! "
         "filesink location=OUT"},
    };
}

std::string replaced(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

// Records segment `index` of `count` frames from frame `first` on.
bool recordSegment(const SegmentWriter& writer, const std::string& out, int index, int first,
                   int count) {
    constexpr const char* kPatterns[] = {"18", "0", "1"};
    std::string command = replaced(writer.command, "OUT", shellQuote(out));
    command = replaced(command, "FIRST", std::to_string(first));
    command = replaced(command, "END", std::to_string(first + count));
    command = replaced(command, "COUNT", std::to_string(count));
    command = replaced(command, "PATTERN", kPatterns[index % 3]);
    return runCommand(command) == 0;
}

template <typename T>
void append(std::vector<T>& to, const std::vector<T>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// What the readers make of a movie's video stream.
struct Reading {
    std::vector<std::vector<uint8_t>> ffmpegPixels;
    std::vector<std::string> samples;  // size and MD5 of each, as ffprobe reads them
    std::vector<bool> keyFrames;
    std::vector<std::string> gstreamerSamples;
    std::vector<std::string> gstreamerPixels;

    void add(const Reading& more) {
        append(ffmpegPixels, more.ffmpegPixels);
        append(samples, more.samples);
        append(keyFrames, more.keyFrames);
        append(gstreamerSamples, more.gstreamerSamples);
        append(gstreamerPixels, more.gstreamerPixels);
    }
};

Reading read(const std::string& path, const TempDir& dir) {
    Reading reading;
    DecodedVideo video;
    EXPECT_TRUE(decodeVideo(path, video)) << path;
    reading.ffmpegPixels = video.frames;
    for (const Packet& packet : packets(path)) {
        if (packet.stream == 0) {
            reading.samples.push_back(std::to_string(packet.size) + " " + packet.hash);
        }
    }
    reading.keyFrames = probeKeyFrames(path);
    reading.gstreamerSamples = gstreamerFrames(path, dir.path());
    reading.gstreamerPixels = gstreamerFrames(path, dir.path(), true);
    return reading;
}

// The segments: a single frame among longer ones.
constexpr int kSegmentFrames[] = {4, 1, 9};

class JoinSweep : public testing::TestWithParam<SegmentWriter> {};

TEST_P(JoinSweep, ReadersGetTheSegmentsFramesInOrder) {
    const SmallRiffs smallRiffs;
    TempDir dir;
    std::vector<std::string> inputs;
    std::vector<std::vector<uint8_t>> inputBytes;
    Reading expected;
    int first = 0;
    std::string names;
    for (int i = 0; i < 3; ++i) {
        inputs.push_back(dir.file("segment" + std::to_string(i) + ".avi"));
        ASSERT_TRUE(recordSegment(GetParam(), inputs.back(), i, first, kSegmentFrames[i]));
        first += kSegmentFrames[i];
        inputBytes.push_back(riffcheck::readWholeFile(inputs.back()));
        const Reading segment = read(inputs.back(), dir);
        ASSERT_EQ(segment.ffmpegPixels.size(), static_cast<size_t>(kSegmentFrames[i]));
        expected.add(segment);
        names.append(1, ' ').append(shellQuote(inputs.back()));
    }
    const std::string joined = dir.file("joined.avi");
    std::string said;
    ASSERT_EQ(runCommand(AVIREC_PATH " -q -y --join " + shellQuote(joined) + names + " 2>&1",
                         &said),
              0)
        << said;
    EXPECT_EQ(said, "");
    EXPECT_FALSE(std::filesystem::exists(joined + ".part"));

    const Reading reading = read(joined, dir);
    ASSERT_EQ(reading.ffmpegPixels.size(), static_cast<size_t>(first));
    EXPECT_TRUE(reading.ffmpegPixels == expected.ffmpegPixels) << "ffmpeg's decoded pixels";
    EXPECT_EQ(reading.samples, expected.samples);
    EXPECT_EQ(reading.keyFrames, expected.keyFrames);
    EXPECT_EQ(reading.gstreamerSamples, expected.gstreamerSamples);
    ASSERT_EQ(reading.gstreamerPixels.size(), static_cast<size_t>(first));
    EXPECT_EQ(reading.gstreamerPixels, expected.gstreamerPixels);
    EXPECT_EQ(mediaInfoFrameCount(joined), std::to_string(first));

    const riffcheck::File file = riffcheck::parseFile(joined);
    EXPECT_TRUE(file.ok()) << file.describeErrors();
    EXPECT_GT(file.riffTypes.size(), 1u) << "the joined movie has one RIFF";
    // ffprobe takes some codecs' flags from the bitstream: the indexes are
    // read here.
    std::vector<bool> indexedKeyFrames;
    for (const riffcheck::Sample& sample : file.samples) {
        indexedKeyFrames.push_back(sample.keyFrame);
    }
    EXPECT_EQ(indexedKeyFrames, expected.keyFrames) << "the joined movie's indexes";
    for (size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(riffcheck::readWholeFile(inputs[i]), inputBytes[i]) << inputs[i] << " changed";
    }
}

INSTANTIATE_TEST_SUITE_P(Writers, JoinSweep, testing::ValuesIn(segmentWriters()),
                         [](const testing::TestParamInfo<SegmentWriter>& param) {
                             return param.param.name;
                         });

// ---------------------------------------------------------------------------
// Refusals: nothing written, the input and the field named.

std::string record(const TempDir& dir, const std::string& name, const std::string& options) {
    const std::string path = dir.file(name);
    EXPECT_EQ(runCommand(AVIREC_PATH " -q -y --frames 3 " + options + " " + shellQuote(path)), 0);
    return path;
}

// A copy of `from` with the 4 bytes after the first `marker` plus `offset`
// set to `value`.
std::string patched(const TempDir& dir, const std::string& from, const std::string& name,
                    const std::string& marker, size_t offset, uint32_t value) {
    std::vector<uint8_t> bytes = riffcheck::readWholeFile(from);
    const auto at = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end());
    EXPECT_NE(at, bytes.end());
    const auto position = static_cast<size_t>(at - bytes.begin()) + offset;
    for (int i = 0; i < 4; ++i) {
        bytes[position + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    }
    const std::string path = dir.file(name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

TEST(JoinRefusals, MismatchedOrUnfinishedInputsAreRefusedNamingTheFieldAndNothingIsWritten) {
    TempDir dir;
    const std::string base = record(dir, "a.avi", "--size 64x48 --fps 15 --codec ffv1");
    const std::string h264 = record(dir, "h.avi", "--size 64x48 --codec h264");
    const std::string cut = dir.file("cut.avi");
    std::filesystem::copy_file(base, cut);
    std::filesystem::resize_file(cut, std::filesystem::file_size(base) - 100);
    const std::string midGop = dir.file("midgop.avi");
    ASSERT_EQ(runCommand("ffmpeg -v error -i " + shellQuote(h264) +
                         " -ss 0.1 -c copy -copyinkf " + shellQuote(midGop)),
              0);
    const std::string withSound = dir.file("sound.avi");
    ASSERT_EQ(runCommand("ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=15 -f lavfi -i "
                         "sine=r=8000 -frames:v 3 -t 0.2 -c:v ffv1 -c:a pcm_s16le " +
                         shellQuote(withSound)),
              0);
    struct Case {
        std::string input;
        std::string expected;  // in the message
    };
    const std::vector<Case> cases = {
        {record(dir, "small.avi", "--size 32x48 --fps 15 --codec ffv1"),
         dir.file("small.avi") + ": 32x48, but " + base + " is 64x48"},
        {record(dir, "mjpeg.avi", "--size 64x48 --fps 15 --codec mjpeg"),
         "its codec is 'MJPG', but " + base + "'s is 'FFV1'"},
        {record(dir, "fast.avi", "--size 64x48 --codec ffv1 --fps 30"),
         "30 frames a second, but " + base + " has 15"},
        {patched(dir, base, "handler.avi", "strh", 12, 0x31564646 + 0x20),  // 'fFV1'
         "its handler is 'fFV1', but " + base + "'s is 'FFV1'"},
        {patched(dir, base, "format.avi", "strf", 8 + 24, 1234),  // biXPelsPerMeter
         "its stream format (the codec's settings in its header) differs from " + base},
        {cut, cut + " was never finished"},
        {midGop, midGop + ": its first frame is not a key frame"},
        {withSound, withSound + " has 2 streams"},
        {dir.file("missing.avi"), dir.file("missing.avi") + " cannot be opened"},
    };
    const std::string out = dir.file("out.avi");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const avifile::JoinReport report = avifile::joinRecordings(out.c_str(), {base, c.input});
        EXPECT_EQ(report.outcome, JoinOutcome::Refused);
        EXPECT_NE(report.message.find(c.expected), std::string::npos) << report.message;
        EXPECT_EQ(report.cutOff, c.input == cut ? cut : "");
        EXPECT_FALSE(std::filesystem::exists(out));
        EXPECT_FALSE(std::filesystem::exists(out + ".part"));
        std::string said;
        EXPECT_EQ(runCommand(AVIREC_PATH " --join " + shellQuote(out) + " " + shellQuote(base) +
                                 " " + shellQuote(c.input) + " 2>&1",
                             &said),
                  1);
        EXPECT_NE(said.find(c.expected), std::string::npos) << said;
        EXPECT_FALSE(std::filesystem::exists(out));
    }

    // The output among the inputs, an output that exists, and a partial file
    // left by a killed join: refused unless replacing is allowed; the
    // command line refuses the first before reading anything.
    const auto baseBytes = riffcheck::readWholeFile(base);
    EXPECT_EQ(avifile::joinRecordings(base.c_str(), {base}, {true, {}}).message,
              base + " is the input " + base + ": the output must be another file");
    EXPECT_EQ(runCommand(AVIREC_PATH " -q -y --join " + shellQuote(base) + " " + shellQuote(base) +
                         " 2>/dev/null"),
              2);
    EXPECT_EQ(riffcheck::readWholeFile(base), baseBytes);
    std::ofstream(out) << "an old movie";
    std::ofstream(out + ".part") << "a killed join";
    EXPECT_EQ(avifile::joinRecordings(out.c_str(), {base}).message, out + " exists");
    std::filesystem::remove(out);
    EXPECT_NE(avifile::joinRecordings(out.c_str(), {base}).message.find("left from a join"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(avifile::joinRecordings(out.c_str(), {base}, {true, {}}).outcome,
              JoinOutcome::Joined);
    EXPECT_FALSE(std::filesystem::exists(out + ".part"));
}

// ---------------------------------------------------------------------------
// Killed, failed, and copied through memory.

class JoinWrites : public testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 3; ++i) {
            inputs.push_back(dir.file("in" + std::to_string(i) + ".avi"));
            ASSERT_TRUE(recordSegment(segmentWriters().front(), inputs.back(), i, i * 6, 6));
            DecodedVideo video;
            ASSERT_TRUE(decodeVideo(inputs.back(), video));
            append(frames, video.frames);
        }
        std::ofstream(out) << "an old movie";
    }
    std::string oldMovie() const {
        std::ifstream in(out);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    SmallRiffs smallRiffs;
    TempDir dir;
    std::vector<std::string> inputs;
    std::vector<std::vector<uint8_t>> frames;  // of all inputs, decoded
    std::string out = dir.file("out.avi");
};

TEST_F(JoinWrites, KilledJoinLeavesTheOldMovieAndAPartialFileThatTheRepairFinishes) {
    constexpr int kCopied = 10;  // of 18 frames; the third RIFF of the second input
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        avifile::JoinOptions options;
        options.replace = true;
        options.keepGoing = [](int64_t copied, int64_t) {
            if (copied == kCopied) {
                raise(SIGKILL);
            }
            return true;
        };
        avifile::joinRecordings(out.c_str(), inputs, options);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(oldMovie(), "an old movie");
    const std::string partial = out + ".part";
    const avifile::RepairReport report = avifile::repairRecording(partial.c_str());
    ASSERT_EQ(report.outcome, avifile::RepairOutcome::Repaired) << report.message;
    EXPECT_EQ(report.frames, kCopied);
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(partial, video));
    ASSERT_EQ(video.frames.size(), static_cast<size_t>(kCopied));
    EXPECT_TRUE(std::equal(video.frames.begin(), video.frames.end(), frames.begin()));
    EXPECT_EQ(mediaInfoFrameCount(partial), std::to_string(kCopied));
}

TEST_F(JoinWrites, FullDiskLeavesNothingAndCopiesThroughMemoryGiveTheSameBytes) {
    const std::string partial = out + ".part";
    ASSERT_EQ(avifile::joinRecordings(dir.file("reference.avi").c_str(), inputs).outcome,
              JoinOutcome::Joined);
    const auto reference = riffcheck::readWholeFile(dir.file("reference.avi"));
    {
        // The disk refuses to copy inside the system, and fills up half way.
        powercut::PowerCutDisk disk(partial);
        disk.fault = [&](powercut::Call call, uint64_t at, size_t length) {
            return call == powercut::Call::Write && at + length > reference.size() / 2 ? ENOSPC
                                                                                        : 0;
        };
        avifile::setFileSystem(&disk);
        avifile::JoinOptions options;
        options.replace = true;
        const avifile::JoinReport report = avifile::joinRecordings(out.c_str(), inputs, options);
        avifile::setFileSystem(nullptr);
        EXPECT_EQ(report.outcome, JoinOutcome::Failed);
        EXPECT_NE(report.message.find("the disk is full"), std::string::npos) << report.message;
        EXPECT_GT(report.frames, 0);
    }
    EXPECT_EQ(oldMovie(), "an old movie");
    EXPECT_FALSE(std::filesystem::exists(partial));
    {
        powercut::PowerCutDisk disk(partial);
        avifile::setFileSystem(&disk);
        avifile::JoinOptions options;
        options.replace = true;
        const avifile::JoinReport report = avifile::joinRecordings(out.c_str(), inputs, options);
        avifile::setFileSystem(nullptr);
        ASSERT_EQ(report.outcome, JoinOutcome::Joined) << report.message;
        EXPECT_EQ(report.frames, 18);
        EXPECT_FALSE(disk.log().empty());
    }
    EXPECT_TRUE(riffcheck::readWholeFile(out) == reference);
}

}  // namespace
