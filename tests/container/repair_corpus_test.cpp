// Recordings of real writers, made in the test run, cut off at points that
// matter (inside the first frame, between and inside frames, inside the
// index, just after a RIFF boundary of a large file) and repaired: ffmpeg
// then reads every whole sample of every stream, byte for byte as the
// writer put it on disk, and GStreamer's demuxer every whole video frame;
// a second repair changes nothing. Files whose headers were never written
// (the frames from byte 2048, zeros before them) are repaired from a
// complete file or from what the user says; bad input is refused, the file
// left as it was.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "avifile_hooks.h"
#include "container/recovery.h"
#include "support/ffmpeg_tools.h"
#include "support/riff_reader.h"
#include "support/temp_dir.h"

namespace {

using avifile::RepairOutcome;

}  // namespace

namespace avifile {
void PrintTo(RepairOutcome outcome, std::ostream* out) {
    constexpr const char* kNames[] = {"Repaired", "AlreadyComplete", "Refused", "Failed"};
    *out << kNames[static_cast<int>(outcome)];
}
}  // namespace avifile

namespace {

uint64_t fileSize(const std::string& path) { return std::filesystem::file_size(path); }

void copyCut(const std::string& from, const std::string& to, uint64_t length) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(to, length);
}

// A writer and how it records a movie to OUT; for a writer that is
// killed, the same recording run in real time and killed (SIGKILL) while
// it writes, which leaves a prefix of the complete file's frames.
struct Writer {
    std::string name;
    std::string command;
    bool largeFile = false;  // more than one RIFF
    std::string killed;
};

void PrintTo(const Writer& writer, std::ostream* out) { *out << writer.name; }

std::vector<Writer> writers() {
    const std::string ffmpeg = "ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=25 ";
    std::vector<Writer> list = {
        {"ffmpeg_rawvideo", ffmpeg + "-frames:v 40 -c:v rawvideo -pix_fmt bgr24 OUT", false, ""},
        {"ffmpeg_mjpeg", ffmpeg + "-frames:v 40 -c:v mjpeg OUT", false, ""},
        {"ffmpeg_mpeg4", ffmpeg + "-frames:v 40 -c:v mpeg4 -g 8 OUT", false, ""},
        {"ffmpeg_ffv1", ffmpeg + "-frames:v 40 -c:v ffv1 OUT", false, ""},
        {"ffmpeg_with_audio", ffmpeg + "-f lavfi -i sine=r=8000 -frames:v 40 -t 1.6 -c:v mjpeg "
                                       "-c:a pcm_s16le OUT", false, ""},
        {"gstreamer_avimux",
         "gst-launch-1.0 -q videotestsrc num-buffers=40 ! video/x-raw,width=64,height=48 ! "
         "jpegenc ! avimux ! filesink location=OUT", false, ""},
        {"avirec", std::string(AVIREC_PATH) + " -y --size 64x48 --frames 40 --codec full OUT", false, ""},
        // OpenCV's own AVI writer (not its FFmpeg back end), Motion JPEG.
        {"opencv_mjpeg",
         "CV_PATH=OUT /usr/bin/python3 -c \"import os, cv2, numpy as n; "
         "w = cv2.VideoWriter(os.environ['CV_PATH'], cv2.CAP_OPENCV_MJPEG, "
         "cv2.VideoWriter_fourcc(*'MJPG'), 25, (64, 48)); "
         "[w.write(n.full((48, 64, 3), i * 6, n.uint8)) for i in range(40)]; w.release()\"",
         false, ""},
        {"mencoder_mjpeg",
         ffmpeg + "-frames:v 40 -pix_fmt yuv420p -f yuv4mpegpipe OUT.y4m && mencoder -really-quiet "
                  "OUT.y4m -ovc lavc -lavcopts vcodec=mjpeg -o OUT >/dev/null; rm -f OUT.y4m",
         false, ""},
        {"ffmpeg_mjpeg_killed",
         "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 250 "
         "-c:v mjpeg OUT",
         false,
         "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25,realtime -t 60 "
         "-c:v mjpeg OUT & sleep 3; kill -9 $!; wait"},
        {"gstreamer_avimux_killed",
         "gst-launch-1.0 -q videotestsrc num-buffers=250 ! "
         "video/x-raw,width=320,height=240,framerate=25/1 ! jpegenc ! avimux ! filesink location=OUT",
         false,
         "gst-launch-1.0 -q videotestsrc is-live=true ! "
         "video/x-raw,width=320,height=240,framerate=25/1 ! jpegenc ! avimux ! "
         "filesink location=OUT & sleep 3; kill -9 $!; wait"},
        // Just past ffmpeg's 1 GiB RIFF: 1 MiB frames, eight of them looped.
        {"ffmpeg_large_file",
         "head -c 8388608 /dev/urandom > OUT.raw && ffmpeg -v error -y -f rawvideo -pix_fmt gray "
         "-s 1024x1024 -r 25 -stream_loop -1 -i OUT.raw -frames:v 1040 -c:v rawvideo OUT; "
         "rm -f OUT.raw",
         true, ""},
    };
    return list;
}

std::string withOutput(std::string command, const std::string& out) {
    const std::string quoted = shellQuote(out);
    for (size_t at = command.find("OUT"); at != std::string::npos;
         at = command.find("OUT", at + quoted.size())) {
        command.replace(at, 3, quoted);
    }
    return command;
}

// Where to cut a complete file: inside the first frame, on a chunk's end,
// inside later frames, inside the index; for a large file just after its
// first RIFF and inside the second.
std::vector<uint64_t> cutPoints(const std::string& path, const std::vector<Packet>& all,
                                bool largeFile) {
    const Packet& first = all.front();
    const Packet& middle = all[all.size() / 2];
    const Packet& late = all[all.size() * 9 / 10];
    std::vector<uint64_t> cuts = {first.position + first.size / 2, middle.position + middle.size,
                                  late.position + late.size / 3};
    if (largeFile) {
        std::ifstream in(path, std::ios::binary);
        uint8_t size[4] = {};
        in.seekg(4).read(reinterpret_cast<char*>(size), 4);
        const uint64_t boundary =
            8 + (uint64_t{size[0]} | uint64_t{size[1]} << 8 | uint64_t{size[2]} << 16 |
                 uint64_t{size[3]} << 24);
        cuts = {boundary + 24, all.back().position + 100};
    } else {
        cuts.push_back(fileSize(path) - 10);
    }
    return cuts;
}

class RepairCorpus : public testing::TestWithParam<Writer> {};

TEST_P(RepairCorpus, EveryWholeSampleIsReadBackAfterACut) {
    const Writer& writer = GetParam();
    TempDir dir;
    const std::string complete = dir.file("complete.avi");
    ASSERT_EQ(runCommand(withOutput(writer.command, complete)), 0) << writer.command;
    const std::vector<Packet> all = packets(complete);
    ASSERT_GT(all.size(), 20u);
    const std::vector<std::string> allFrames = gstreamerFrames(complete, dir.path());
    {
        const avifile::RepairReport report = avifile::repairRecording(complete.c_str());
        EXPECT_EQ(report.outcome, RepairOutcome::AlreadyComplete) << report.message;
    }
    std::string cutFrom = complete;
    std::vector<uint64_t> cuts;
    if (writer.killed.empty()) {
        cuts = cutPoints(complete, all, writer.largeFile);
    } else {
        cutFrom = dir.file("killed.avi");
        runCommand("(" + withOutput(writer.killed, cutFrom) + ") >/dev/null 2>&1");
        ASSERT_TRUE(std::filesystem::exists(cutFrom));
        cuts = {fileSize(cutFrom)};
        ASSERT_GT(cuts.front(), all.front().position + all.front().size) << "killed too early";
        ASSERT_LT(cuts.front(), all.back().position) << "killed too late";
    }
    for (const uint64_t cut : cuts) {
        SCOPED_TRACE(testing::Message() << "cut at byte " << cut);
        const std::string path = dir.file("cut.avi");
        copyCut(cutFrom, path, cut);
        std::vector<Packet> whole;
        size_t wholeVideo = 0;
        for (const Packet& packet : all) {
            if (packet.position + packet.size <= cut) {
                whole.push_back(packet);
                wholeVideo += packet.stream == 0 ? 1 : 0;
            }
        }
        const auto before = whole.empty() ? riffcheck::readWholeFile(path) : std::vector<uint8_t>();
        if (!writer.largeFile && !whole.empty()) {
            // Into a new file: the cut one is only read.
            const auto cutBytes = riffcheck::readWholeFile(path);
            avifile::RepairOptions options;
            options.output = dir.file("output.avi");
            const avifile::RepairReport copied = avifile::repairRecording(path.c_str(), options);
            ASSERT_EQ(copied.outcome, RepairOutcome::Repaired) << copied.message;
            EXPECT_EQ(riffcheck::readWholeFile(path), cutBytes);
            EXPECT_EQ(packets(options.output), whole);
        }
        const avifile::RepairReport report = avifile::repairRecording(path.c_str());
        if (whole.empty()) {
            // Cut inside its first frame: nothing to recover, nothing changed.
            EXPECT_EQ(report.outcome, RepairOutcome::Refused) << report.message;
            EXPECT_NE(report.message.find("no whole sample"), std::string::npos) << report.message;
            EXPECT_EQ(riffcheck::readWholeFile(path), before);
            continue;
        }
        ASSERT_EQ(report.outcome, RepairOutcome::Repaired) << report.message;
        EXPECT_EQ(report.samples, static_cast<int64_t>(whole.size()));
        EXPECT_EQ(packets(path), whole);
        const std::vector<std::string> frames = gstreamerFrames(path, dir.path());
        ASSERT_EQ(frames.size(), wholeVideo);
        EXPECT_TRUE(std::equal(frames.begin(), frames.end(), allFrames.begin()));
        EXPECT_EQ(mediaInfoFrameCount(path), std::to_string(wholeVideo));

        const auto repaired = writer.largeFile ? std::vector<uint8_t>() : riffcheck::readWholeFile(path);
        const uint64_t repairedSize = fileSize(path);
        const avifile::RepairReport again = avifile::repairRecording(path.c_str());
        EXPECT_EQ(again.outcome, RepairOutcome::AlreadyComplete) << again.message;
        EXPECT_EQ(fileSize(path), repairedSize);
        if (!writer.largeFile) {
            EXPECT_EQ(riffcheck::readWholeFile(path), repaired);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Writers, RepairCorpus, testing::ValuesIn(writers()),
                         [](const testing::TestParamInfo<Writer>& param) { return param.param.name; });

// A repair cut off after any of its writes (the file cut after its last
// whole sample; the index chunks; each header field) leaves a file in which
// ffmpeg still reads every whole sample, and a repair run then finishes it
// exactly as one that was never cut off.
TEST(RepairInterrupted, AfterEachWriteTheFileIsReadableAndARepairFinishesIt) {
    TempDir dir;
    const std::string complete = dir.file("complete.avi");
    ASSERT_EQ(runCommand("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i "
                         "sine=r=8000 -frames:v 40 -t 1.6 -c:v mjpeg -c:a pcm_s16le " +
                         shellQuote(complete)),
              0);
    const std::vector<Packet> all = packets(complete);
    const uint64_t cut = all[all.size() * 2 / 3].position + 5;
    std::vector<Packet> whole;
    for (const Packet& packet : all) {
        if (packet.position + packet.size <= cut) {
            whole.push_back(packet);
        }
    }
    const std::string cutFile = dir.file("cut.avi");
    copyCut(complete, cutFile, cut);
    const std::string reference = dir.file("reference.avi");
    copyCut(complete, reference, cut);
    ASSERT_EQ(avifile::repairRecording(reference.c_str()).outcome, RepairOutcome::Repaired);
    const auto repaired = riffcheck::readWholeFile(reference);

    // The plan that the repair carries out, read as it reads it.
    namespace recovery = avifile::recovery;
    recovery::Plan plan;
    {
        const auto bytes = riffcheck::readWholeFile(cutFile);
        const avifile::MemorySource source(bytes);
        recovery::Survey survey;
        std::string why;
        ASSERT_TRUE(recovery::readHeaders(source, survey, why)) << why;
        recovery::walkChunks(source, survey);
        ASSERT_TRUE(recovery::planRepair(source, survey, plan, why)) << why;
    }
    const size_t steps = plan.indexes.size() + 1 + plan.fields.size();
    for (size_t done = 0; done < steps; ++done) {
        SCOPED_TRACE(testing::Message() << done << " of " << steps << " writes");
        const std::string path = dir.file("interrupted.avi");
        copyCut(cutFile, path, cut);
        std::vector<recovery::Write> writes = plan.indexes;
        writes.insert(writes.end(), plan.fields.begin(), plan.fields.end());
        for (size_t step = 0, write = 0; step < done; ++step) {
            if (step == 0) {
                std::filesystem::resize_file(path, plan.indexes.front().at);
                continue;
            }
            std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(static_cast<std::streamoff>(writes[write].at))
                .write(reinterpret_cast<const char*>(writes[write].bytes.data()),
                       static_cast<std::streamsize>(writes[write].bytes.size()));
            ++write;
        }
        std::vector<Packet> read = packets(path);
        ASSERT_GE(read.size(), whole.size());
        read.resize(whole.size());
        EXPECT_EQ(read, whole);
        const avifile::RepairReport report = avifile::repairRecording(path.c_str());
        EXPECT_NE(report.outcome, RepairOutcome::Refused) << report.message;
        EXPECT_EQ(riffcheck::readWholeFile(path), repaired);
    }
}

// What other writers leave and these writers do not: every video frame and
// audio chunk in a 'rec ' list, JUNK between them, RIFF and movi sizes of 0,
// chunks of a stream the header does not have, the file cut inside a list.
TEST(RepairLayouts, RecordListsJunkAndZeroSizes) {
    TempDir dir;
    const std::string complete = dir.file("complete.avi");
    ASSERT_EQ(runCommand("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i "
                         "sine=r=8000 -frames:v 30 -t 1.2 -c:v mjpeg -c:a pcm_s16le " +
                         shellQuote(complete)),
              0);
    const auto whole = riffcheck::readWholeFile(complete);
    const std::vector<Packet> all = packets(complete);
    std::vector<uint8_t> out(whole.begin(), whole.begin() + static_cast<long>(all.front().position - 8));
    const size_t movi = std::search(out.begin(), out.end(), std::begin("movi"), std::end("movi") - 1) -
                        out.begin();
    std::fill(out.begin() + 4, out.begin() + 8, 0);                            // RIFF size
    std::fill(out.begin() + static_cast<long>(movi) - 4, out.begin() + static_cast<long>(movi), 0);  // movi size
    const auto put = [&](const char* id, const uint8_t* data, uint32_t size) {
        out.insert(out.end(), id, id + 4);
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<uint8_t>(size >> (8 * i)));
        }
        out.insert(out.end(), data, data + size);
        if ((size & 1) != 0) {
            out.push_back(0);
        }
    };
    const std::vector<uint8_t> junk(30, 0);
    std::vector<Packet> expected;
    uint64_t cut = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        const Packet& packet = all[i];
        const size_t listAt = out.size();
        put("LIST", nullptr, 0);
        out.insert(out.end(), {'r', 'e', 'c', ' '});
        put(packet.stream == 0 ? "00dc" : "01wb", whole.data() + packet.position,
            static_cast<uint32_t>(packet.size));
        if (i % 5 == 0) {
            put("JUNK", junk.data(), 30);
            put("07dc", junk.data(), 12);  // no stream 7
        }
        const auto listSize = static_cast<uint32_t>(out.size() - listAt - 8);
        for (int b = 0; b < 4; ++b) {
            out[listAt + 4 + static_cast<size_t>(b)] = static_cast<uint8_t>(listSize >> (8 * b));
        }
        if (i < all.size() * 2 / 3) {
            expected.push_back(packet);
            cut = out.size() + 20;  // into the next list's first chunk
        }
    }
    out.resize(cut);
    const std::string path = dir.file("records.avi");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(out.data()),
                                                static_cast<std::streamsize>(out.size()));
    const avifile::RepairReport report = avifile::repairRecording(path.c_str());
    ASSERT_EQ(report.outcome, RepairOutcome::Repaired) << report.message;
    std::vector<Packet> read = packets(path);
    ASSERT_EQ(read.size(), expected.size());
    for (size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].stream, expected[i].stream) << i;
        EXPECT_EQ(read[i].hash, expected[i].hash) << i;
    }
    size_t videoFrames = 0;
    for (const Packet& packet : expected) {
        videoFrames += packet.stream == 0 ? 1 : 0;
    }
    EXPECT_EQ(gstreamerFrames(path, dir.path()).size(), videoFrames);
    EXPECT_EQ(avifile::repairRecording(path.c_str()).outcome, RepairOutcome::AlreadyComplete);
}

// The platform's AVIFile writes its headers only when the file is closed:
// a recording cut off before leaves zeros up to byte 2048, where its chunks
// begin. Such a file is made here from a complete file's chunks.
std::string withoutHeaders(const std::string& complete, const std::string& path, uint64_t cut) {
    const std::vector<uint8_t> bytes = riffcheck::readWholeFile(complete);
    const riffcheck::File file = riffcheck::parse(bytes, {true, false});
    std::vector<uint8_t> out(2048, 0);
    for (const riffcheck::Sample& sample : file.samples) {
        const uint8_t* header = bytes.data() + sample.offset - 8;
        out.insert(out.end(), header, header + 8 + sample.size + (sample.size & 1));
    }
    out.resize(std::min<uint64_t>(out.size(), cut));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(out.data()),
                                                static_cast<std::streamsize>(out.size()));
    return path;
}

TEST(RepairMissingHeaders, HeadersComeFromALikeFileOrFromTheFramesAndOptions) {
    TempDir dir;
    const std::string source = "ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=25 -frames:v 30 ";
    const std::string raw = dir.file("raw.avi");
    const std::string mjpeg = dir.file("mjpeg.avi");
    const std::string otherSize = dir.file("other_size.avi");
    ASSERT_EQ(runCommand(source + "-c:v rawvideo -pix_fmt bgr24 " + shellQuote(raw)), 0);
    ASSERT_EQ(runCommand(source + "-c:v mjpeg " + shellQuote(mjpeg)), 0);
    const std::string withAudio = dir.file("with_audio.avi");
    ASSERT_EQ(runCommand("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i "
                         "sine=r=8000 -frames:v 30 -t 1.2 -c:v mjpeg -c:a pcm_s16le " +
                         shellQuote(withAudio)),
              0);
    const std::string cinepak = dir.file("cinepak.avi");
    ASSERT_EQ(runCommand(std::string(AVIREC_PATH) + " -q -y --size 64x48 --frames 30 --fps 25 "
                         "--codec cinepak " + shellQuote(cinepak)),
              0);
    ASSERT_EQ(runCommand("ffmpeg -v error -y -f lavfi -i testsrc=size=32x24:rate=25 -frames:v 5 "
                         "-c:v rawvideo -pix_fmt bgr24 " + shellQuote(otherSize)),
              0);
    const auto cutAfter = [](const std::string& complete, size_t frames) {
        const std::vector<Packet> all = packets(complete);
        return 2048 + (all[frames].position - all[0].position) + 3;  // inside frame `frames`
    };
    struct Case {
        std::string complete;
        avifile::RepairOptions options;
        std::string refusal;  // empty: repaired
    };
    const auto options = [](std::string like, int width, int height, double fps) {
        avifile::RepairOptions o;
        o.like = std::move(like);
        o.width = width;
        o.height = height;
        o.fps = fps;
        return o;
    };
    const std::vector<Case> cases = {
        {raw, options(raw, 0, 0, 0), ""},
        {raw, options("", 64, 48, 25), ""},
        {mjpeg, options("", 0, 0, 25), ""},
        {mjpeg, options(mjpeg, 0, 0, 0), ""},
        {withAudio, options(withAudio, 0, 0, 0), ""},
        {withAudio, options("", 0, 0, 25), "more than one stream"},
        {cinepak, options("", 0, 0, 25), ""},
        {cinepak, options("", 0, 0, 0), "--fps N"},
        {cinepak, options("", 32, 24, 25), "not 32x24"},
        {raw, options("", 0, 0, 25), "--size WxH"},
        {raw, options("", 64, 48, 0), "--fps N"},
        {raw, options("", 50, 50, 25), "no uncompressed 50x50 frame"},
        {raw, options(otherSize, 0, 0, 0), "frames of"},
        {mjpeg, options(raw, 0, 0, 0), "frames of"},
        {raw, options(dir.path().string(), 0, 0, 0), "folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.complete << " like '" << c.options.like << "' "
                                        << c.options.width << "x" << c.options.height << " at "
                                        << c.options.fps);
        const std::string path = withoutHeaders(c.complete, dir.file("headless.avi"),
                                                cutAfter(c.complete, 20));
        const auto before = riffcheck::readWholeFile(path);
        const avifile::RepairReport report = avifile::repairRecording(path.c_str(), c.options);
        if (!c.refusal.empty()) {
            EXPECT_EQ(report.outcome, RepairOutcome::Refused);
            EXPECT_NE(report.message.find(c.refusal), std::string::npos) << report.message;
            EXPECT_EQ(riffcheck::readWholeFile(path), before);
            continue;
        }
        ASSERT_EQ(report.outcome, RepairOutcome::Repaired) << report.message;
        std::vector<Packet> expected = packets(c.complete);
        expected.resize(20);
        std::vector<Packet> got = packets(path);
        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].hash, expected[i].hash) << "frame " << i;
            EXPECT_EQ(got[i].position, expected[i].position - expected[0].position + 2056) << i;
        }
        const auto frames = static_cast<size_t>(std::count_if(
            expected.begin(), expected.end(), [](const Packet& p) { return p.stream == 0; }));
        EXPECT_EQ(probeVideoStream(path).at("nb_frames"), std::to_string(frames));
        EXPECT_EQ(probeVideoStream(path).at("r_frame_rate"), "25/1");
        EXPECT_EQ(gstreamerFrames(path, dir.path()).size(), frames);
    }
}

// Files that cannot be repaired are refused with a reason and left byte for
// byte; so is a file that may not be written (tried as another user when
// the test runs as root, who may write anything).
TEST(RepairRefusals, BadInputIsLeftAsItWas) {
    TempDir dir;
    const std::string complete = dir.file("complete.avi");
    ASSERT_EQ(runCommand("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=25 -frames:v 20 "
                         "-c:v mjpeg " + shellQuote(complete)),
              0);
    const auto whole = riffcheck::readWholeFile(complete);
    const auto write = [&](const std::string& name, std::vector<uint8_t> bytes) {
        const std::string path = dir.file(name);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    };
    const auto prefix = [&](size_t n) { return std::vector<uint8_t>(whole.begin(), whole.begin() + n); };
    // Frames, then zeros (zero-size chunks of no stream, over and over)
    // where a cut-off writer's file system left them.
    std::vector<uint8_t> zeros = prefix(whole.size() / 2);
    zeros.resize(zeros.size() + 80000, 0);
    const std::string fifo = dir.file("fifo.avi");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {write("header_cut_20.avi", prefix(20)), "header"},
        {write("header_cut_200.avi", prefix(200)), "header"},
        {write("zeros_after_frames.avi", zeros), ""},
        {write("not_avi.avi", {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}), "not an AVI"},
        {dir.path().string(), "folder"},
        {fifo, "not a regular file"},
    };
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path);
        const auto before = path == fifo || path == dir.path().string()
                                ? std::vector<uint8_t>()
                                : riffcheck::readWholeFile(path);
        const avifile::RepairReport report = avifile::repairRecording(path.c_str());
        if (reason.empty()) {
            // Frames then zeros: the frames before them are kept.
            EXPECT_EQ(report.outcome, RepairOutcome::Repaired) << report.message;
            EXPECT_EQ(packets(path).size(), report.samples);
            continue;
        }
        EXPECT_EQ(report.outcome, RepairOutcome::Refused) << report.message;
        EXPECT_NE(report.message.find(reason), std::string::npos) << report.message;
        if (!before.empty()) {
            EXPECT_EQ(riffcheck::readWholeFile(path), before);
        }
    }

    // A file that looks complete but whose idx1 entries point past its end
    // gets its index rebuilt, not "complete": another writer's, and one
    // this layer wrote.
    const std::string own = dir.file("own.avi");
    ASSERT_EQ(runCommand(std::string(AVIREC_PATH) + " -q -y --size 64x48 --frames 20 --codec full " +
                         shellQuote(own)),
              0);
    for (const std::string& original : {complete, own}) {
        SCOPED_TRACE(original);
        const auto originalBytes = riffcheck::readWholeFile(original);
        std::vector<uint8_t> bytes = originalBytes;
        const riffcheck::File file = riffcheck::parse(bytes);
        ASSERT_TRUE(file.hasFirstIndex);
        const auto idx1 = std::search(bytes.begin(), bytes.end(), std::begin("idx1"), std::end("idx1") - 1);
        ASSERT_NE(idx1, bytes.end());
        const size_t entries = static_cast<size_t>(idx1 - bytes.begin()) + 8;
        for (size_t at = entries + 8; at < entries + 16 * file.firstIndexEntries; at += 16) {
            bytes[at + 3] = 0x40;  // the offset, 1 GiB further on
        }
        const std::string path = write("index_past_end.avi", bytes);
        const avifile::RepairReport report = avifile::repairRecording(path.c_str());
        EXPECT_EQ(report.outcome, RepairOutcome::Repaired) << report.message;
        EXPECT_EQ(packets(path), packets(original));
        EXPECT_EQ(riffcheck::readWholeFile(path), originalBytes);
    }

    // Frames past 4 GiB in the one RIFF of an AVI 1.0 file (a sparse JUNK
    // chunk of 4 GiB between them): too large for its idx1 to be written in
    // place, so refused there; written anew with --output.
    {
        const std::vector<Packet> frames = packets(complete);
        const std::string path = dir.file("too_large.avi");
        const uint64_t firstChunk = frames.front().position - 8;
        std::vector<uint8_t> head(whole.begin(), whole.begin() + static_cast<long>(firstChunk));
        std::fstream file(path, std::ios::out | std::ios::binary);
        file.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
        const auto putChunk = [&](const Packet& frame) {
            file.write(reinterpret_cast<const char*>(whole.data() + frame.position - 8),
                       static_cast<std::streamsize>(8 + frame.size + (frame.size & 1)));
        };
        for (size_t i = 0; i < 10; ++i) {
            putChunk(frames[i]);
        }
        const uint32_t junk = 0xFFFFFFF0u;
        file.write("JUNK", 4).write(reinterpret_cast<const char*>(&junk), 4);
        file.seekp(junk, std::ios::cur);
        for (size_t i = 10; i < frames.size(); ++i) {
            putChunk(frames[i]);
        }
        file.write("00dc\xff\xff\x00\x00torn", 12);
        file.close();
        const uint64_t size = fileSize(path);
        ASSERT_GT(size, uint64_t{1} << 32);
        const avifile::RepairReport inPlace = avifile::repairRecording(path.c_str());
        EXPECT_EQ(inPlace.outcome, RepairOutcome::Refused) << inPlace.message;
        EXPECT_NE(inPlace.message.find("too large"), std::string::npos) << inPlace.message;
        EXPECT_EQ(fileSize(path), size);
        avifile::RepairOptions options;
        options.output = dir.file("written_anew.avi");
        const avifile::RepairReport anew = avifile::repairRecording(path.c_str(), options);
        ASSERT_EQ(anew.outcome, RepairOutcome::Repaired) << anew.message;
        EXPECT_EQ(fileSize(path), size);
        const std::vector<Packet> read = packets(options.output);
        ASSERT_EQ(read.size(), frames.size());
        for (size_t i = 0; i < read.size(); ++i) {
            EXPECT_EQ(read[i].hash, frames[i].hash) << "frame " << i;
        }
        EXPECT_EQ(gstreamerFrames(options.output, dir.path()).size(), frames.size());
        std::filesystem::remove(path);
    }

    // Without write permission: refused, unchanged, and said so.
    const std::string locked = write("locked.avi", prefix(whole.size() * 2 / 3));
    ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(3);
        }
        const avifile::RepairReport report = avifile::repairRecording(locked.c_str());
        const std::string said = std::to_string(static_cast<int>(report.outcome)) + report.message;
        (void)!::write(pipeEnds[1], said.data(), said.size());
        _exit(0);
    }
    close(pipeEnds[1]);
    char said[512] = {};
    (void)!read(pipeEnds[0], said, sizeof said - 1);
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(said[0] - '0', static_cast<int>(RepairOutcome::Refused)) << said;
    EXPECT_NE(std::string(said).find("cannot be opened for writing"), std::string::npos) << said;
    EXPECT_EQ(riffcheck::readWholeFile(locked), prefix(whole.size() * 2 / 3));
}

}  // namespace
