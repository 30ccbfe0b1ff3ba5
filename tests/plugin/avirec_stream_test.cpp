// avirec fed as pipelines feed it: raw frames through pipes, FIFOs and
// files, streams that FFmpeg's libraries decode, Ctrl-C in the middle, and
// the command line conventions that scripts rely on.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "support/ffmpeg_tools.h"
#include "support/temp_dir.h"
#include "avirec_shell.h"

namespace {

std::vector<uint8_t> pseudoRandomBytes(size_t count, unsigned seed) {
    std::vector<uint8_t> bytes(count);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return bytes;
}

// The frames of a raw file as ffmpeg reads them, in rgb24: the reference
// against which avirec's reading of the same bytes is checked.
std::vector<std::vector<uint8_t>> referenceFrames(const std::string& raw, const std::string& format,
                                                  int width, int height) {
    std::string rgb;
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    EXPECT_EQ(runCommand(std::string(FFMPEG_EXECUTABLE) + " -v error -f rawvideo -pix_fmt " + format +
                             " -s " + size + " -i " + shellQuote(raw) +
                             " -f rawvideo -pix_fmt rgb24 -",
                         &rgb),
              0);
    std::vector<std::vector<uint8_t>> frames;
    const size_t frameBytes = static_cast<size_t>(width) * height * 3;
    for (size_t at = 0; at + frameBytes <= rgb.size(); at += frameBytes) {
        frames.emplace_back(rgb.begin() + static_cast<std::ptrdiff_t>(at),
                            rgb.begin() + static_cast<std::ptrdiff_t>(at + frameBytes));
    }
    return frames;
}

size_t bytesPerPixel(const std::string& format) {
    return format == "gray" ? 1 : (format == "rgba" || format == "bgra") ? 4 : 3;
}

class AvirecStream : public ::testing::Test {
protected:
    TempDir dir_;
    std::string q(const std::string& name) const { return shellQuote(dir_.file(name)); }
};

// Every raw layout, through every way a stream arrives, with the codecs
// that keep pixels exact: what the movie decodes to is what ffmpeg reads
// from the same bytes. The frames are 7 pixels wide, so rows are padded in
// the movie, and three frames long.
TEST_F(AvirecStream, RawFramesArriveExactlyThroughEveryTransport) {
    constexpr int kWidth = 7;
    constexpr int kHeight = 5;
    const std::pair<const char*, const char*> transports[] = {
        {"pipe", "cat {raw} | {avirec} -y --codec {codec} --raw {format} --size 7x5 {movie} -"},
        {"stdin", "{avirec} -y --codec {codec} --raw {format} --size 7x5 {movie} < {raw}"},
        {"fifo", "mkfifo {fifo} && (cat {raw} > {fifo} &) && "
                 "{avirec} -y --codec {codec} --raw {format} --size 7x5 {movie} {fifo}"},
        {"file", "{avirec} -y --codec {codec} --raw {format} --size 7x5 --raw-out {movie}.rgb "
                 "-- {movie} {raw}"},
    };
    for (const std::string format : {"rgb24", "bgr24", "rgba", "bgra", "gbrp", "gray"}) {
        const std::string raw = dir_.file(format + ".raw");
        writeFile(raw, pseudoRandomBytes(3 * kWidth * kHeight * bytesPerPixel(format), 7));
        const auto expected = referenceFrames(raw, format, kWidth, kHeight);
        ASSERT_EQ(expected.size(), 3u);
        for (const auto& [transport, pattern] : transports) {
            for (const std::string codec : {"full", "ffv1"}) {
                std::string command = pattern;
                const std::string movie = dir_.file(format + "-" + transport + "-" + codec + ".avi");
                const std::pair<std::string, std::string> fields[] = {
                    {"{raw}", shellQuote(raw)},       {"{format}", format},
                    {"{codec}", codec},               {"{movie}", shellQuote(movie)},
                    {"{fifo}", q(format + codec + ".fifo")}};
                for (const auto& [key, value] : fields) {
                    for (size_t at; (at = command.find(key)) != std::string::npos;) {
                        command.replace(at, key.size(), value);
                    }
                }
                const ShellRun run = shell(command);
                const std::string label = format + " " + transport + " " + codec;
                ASSERT_EQ(run.status, 0) << label << ": " << run.output;
                DecodedVideo video;
                ASSERT_TRUE(decodeVideo(movie, video)) << label;
                EXPECT_EQ(video.frames, expected) << label;
                if (std::string(transport) == "file") {  // what --raw-out kept
                    std::string kept;
                    for (const auto& frame : expected) {
                        kept.append(frame.begin(), frame.end());
                    }
                    EXPECT_EQ(readFile(movie + ".rgb"), kept) << label;
                }
            }
        }
    }
}

// A stream that ends inside a frame: the error names the bytes, and the
// whole frames before it are a complete movie. --frames stops reading early.
TEST_F(AvirecStream, PartialLastFrameIsAnErrorAndKeepsTheWholeFrames) {
    const std::vector<uint8_t> bytes = pseudoRandomBytes(2 * 4 * 3 * 3 + 17, 3);
    writeFile(dir_.file("short.raw"), bytes);
    const ShellRun run = shell("cat " + q("short.raw") + " | {avirec} --codec full --raw rgb24 --size 4x3 " +
                          q("short.avi") + " -");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("standard input ended in the middle of frame 2: 17 of its 36 bytes"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("holds the 2 frames written before"), std::string::npos) << run.output;
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(dir_.file("short.avi"), video));
    ASSERT_EQ(video.frames.size(), 2u);
    EXPECT_EQ(video.frames[1], std::vector<uint8_t>(bytes.begin() + 36, bytes.begin() + 72));
    EXPECT_EQ(probeVideoStream(dir_.file("short.avi")).at("nb_frames"), "2");

    // Frames far larger than the pieces packed input is read in, the last
    // one ending inside its second piece: every piece lands where it belongs.
    for (const std::string format : {"bgr24", "rgba"}) {
        const size_t frameBytes = 300 * 257 * bytesPerPixel(format);
        const size_t cutAt = 65536 * bytesPerPixel(format) + 5;
        const std::vector<uint8_t> large = pseudoRandomBytes(2 * frameBytes + cutAt, 5);
        writeFile(dir_.file("whole.raw"),
                  std::vector<uint8_t>(large.begin(), large.begin() + 2 * frameBytes));
        writeFile(dir_.file("large.raw"), large);
        const ShellRun cut = shell("{avirec} --codec full --raw " + format + " --size 300x257 " +
                                   q(format + ".avi") + " - < " + q("large.raw"));
        EXPECT_EQ(cut.status, 1) << cut.output;
        EXPECT_NE(cut.output.find("frame 2: " + std::to_string(cutAt) + " of its " +
                                  std::to_string(frameBytes) + " bytes"),
                  std::string::npos)
            << cut.output;
        ASSERT_TRUE(decodeVideo(dir_.file(format + ".avi"), video));
        EXPECT_EQ(video.frames, referenceFrames(dir_.file("whole.raw"), format, 300, 257)) << format;
    }

    const ShellRun limited = shell("cat " + q("short.raw") +
                              " | {avirec} --codec full --frames 1 --raw rgb24 --size 4x3 " +
                              q("one.avi") + " -");
    EXPECT_EQ(limited.status, 0) << limited.output;
    ASSERT_TRUE(decodeVideo(dir_.file("one.avi"), video));
    EXPECT_EQ(video.frames.size(), 1u);

    const ShellRun empty = shell("{avirec} --raw rgb24 --size 4x3 " + q("empty.avi") + " - </dev/null");
    EXPECT_EQ(empty.status, 1) << empty.output;
    EXPECT_NE(empty.output.find("no frames to record"), std::string::npos) << empty.output;
    EXPECT_FALSE(std::filesystem::exists(dir_.file("empty.avi")));
}

// Streams that FFmpeg's libraries demux, from standard input and from a
// file; the size comes from the stream. NUT with raw RGB and PNG images
// keep every pixel; YUV4MPEG2 and JPEG carry YUV, so they are checked
// against ffmpeg's own decoding of the same stream.
TEST_F(AvirecStream, DecodesStreamsFromPipesAndFiles) {
    const std::vector<uint8_t> bytes = pseudoRandomBytes(4 * 12 * 10 * 3, 11);
    writeFile(dir_.file("src.rgb"), bytes);
    const auto source = referenceFrames(dir_.file("src.rgb"), "rgb24", 12, 10);
    struct Case {
        const char* name;
        const char* encoding;  // ffmpeg's output options
        bool fromFile;         // avirec reads the stream's file, not a pipe
        bool exact;
    };
    const Case cases[] = {
        {"nut", "-c:v rawvideo -f nut", false, true},
        {"png", "-c:v png -f image2pipe", false, true},
        {"jpeg", "-q:v 2 -c:v mjpeg -f image2pipe", false, false},
        {"y4m444", "-pix_fmt yuv444p -f yuv4mpegpipe", false, false},
        {"y4m420", "-pix_fmt yuv420p -f yuv4mpegpipe", true, false},
    };
    for (const Case& c : cases) {
        const std::string stream = dir_.file(std::string(c.name) + ".stream");
        const std::string movie = dir_.file(std::string(c.name) + ".avi");
        const std::string encode = std::string(FFMPEG_EXECUTABLE) +
                                   " -v error -f rawvideo -pix_fmt rgb24 -s 12x10 -i " +
                                   q("src.rgb") + " " + c.encoding + " ";
        const ShellRun run =
            shell(c.fromFile ? encode + shellQuote(stream) + " && {avirec} --codec ffv1 " +
                                   shellQuote(movie) + " " + shellQuote(stream)
                             : encode + "- | tee " + shellQuote(stream) + " | {avirec} " +
                                   shellQuote(movie) + " -");
        ASSERT_EQ(run.status, 0) << c.name << ": " << run.output;
        DecodedVideo video;
        DecodedVideo reference;
        ASSERT_TRUE(decodeVideo(movie, video)) << c.name;
        ASSERT_TRUE(decodeVideo(stream, reference)) << c.name;
        EXPECT_EQ(video.width, 12) << c.name;
        EXPECT_EQ(video.height, 10) << c.name;
        ASSERT_EQ(video.frames.size(), 4u) << c.name;
        ASSERT_EQ(reference.frames.size(), 4u) << c.name;
        for (size_t i = 0; i < 4; ++i) {
            if (c.exact) {
                EXPECT_EQ(video.frames[i], source[i]) << c.name << " frame " << i;
            } else {
                // The libraries' converters round differently; a swapped or
                // shifted plane would be far below this.
                EXPECT_GT(psnr(video.frames[i], reference.frames[i]), 30.0) << c.name << " frame " << i;
            }
        }
    }
    // A stream that is not one is refused with the libraries' reason.
    const ShellRun junk = shell("echo not a movie | {avirec} " + q("junk.avi") + " -");
    EXPECT_EQ(junk.status, 1) << junk.output;
    EXPECT_NE(junk.output.find("cannot open standard input"), std::string::npos) << junk.output;
}

// Ctrl-C or SIGTERM while frames stream in from a pipe: the movie is closed
// complete with every frame avirec reports, and the exit status is the
// shell's for the signal.
TEST_F(AvirecStream, StopSignalClosesACompleteMovie) {
    writeFile(dir_.file("frame.raw"), pseudoRandomBytes(64 * 48 * 3, 5));
    for (const auto& [signal, status] : {std::pair<const char*, int>{"INT", 130}, {"TERM", 143}}) {
        const std::string movie = dir_.file(std::string(signal) + ".avi");
        const std::string log = dir_.file(std::string(signal) + ".log");
        // An endless producer; avirec runs in the background (where a shell
        // would ignore SIGINT for it) and gets the signal in the middle.
        const ShellRun run = shell("mkfifo " + q(std::string(signal) + ".fifo") + "; (while cat " +
                              q("frame.raw") + "; do :; done > " +
                              q(std::string(signal) + ".fifo") + " 2>/dev/null &) ; " +
                              "{avirec} --codec ffv1 --raw rgb24 --size 64x48 " + shellQuote(movie) +
                              " - < " + q(std::string(signal) + ".fifo") + " 2> " +
                              shellQuote(log) + " & pid=$!; " +
                              // Signalled once the movie exists, so while frames flow.
                              "until [ -s " + shellQuote(movie) + " ]; do sleep 0.1; done; " +
                              "sleep 0.5; kill -" + signal + " $pid; wait $pid; echo status=$?");
        EXPECT_NE(run.output.find("status=" + std::to_string(status)), std::string::npos)
            << signal << ": " << run.output << readFile(log);
        const std::string message = readFile(log);
        const size_t at = message.find("; wrote ");
        ASSERT_NE(at, std::string::npos) << signal << ": " << message;
        const int reported = std::stoi(message.substr(at + 8));
        EXPECT_GT(reported, 0) << message;
        DecodedVideo video;
        ASSERT_TRUE(decodeVideo(movie, video)) << signal;
        EXPECT_EQ(static_cast<int>(video.frames.size()), reported) << signal;
        EXPECT_EQ(probeVideoStream(movie).at("nb_frames"), std::to_string(reported)) << signal;
    }
}

// An existing output: refused unless -y, with -n, or when nobody can be
// asked; asked about on a terminal.
TEST_F(AvirecStream, ExistingOutputIsOverwrittenOnlyWhenSaidSo) {
    struct Case {
        const char* label;
        const char* command;  // {out} is the existing movie
        int status;
        bool overwritten;
        const char* message;
    };
    const Case cases[] = {
        {"no answer", "{avirec} --frames 1 --size 8x8 {out} </dev/null", 1, false,
         "exists; pass -y to overwrite it"},
        {"-n", "{avirec} -n --frames 1 --size 8x8 {out}", 1, false, "-n says never to overwrite"},
        {"-y", "{avirec} -y --frames 1 --size 8x8 {out} </dev/null", 0, true, ""},
        {"--overwrite", "{avirec} --frames 1 --size 8x8 --overwrite {out}", 0, true, ""},
        {"frames on stdin", "head -c 192 /dev/zero | {avirec} --raw rgb24 --size 8x8 {out} -", 1,
         false, "pass -y"},
        {"terminal yes", "echo y | script -qec \"{avirec} --codec full --frames 1 --size 8x8 {out}\" /dev/null", 0,
         true, "overwrite it? [y/N]"},
        {"terminal no", "echo n | script -qec \"{avirec} --codec full --frames 1 --size 8x8 {out}\" /dev/null", 1,
         false, "was not overwritten"},
    };
    for (const Case& c : cases) {
        const std::string out = dir_.file("existing.avi");
        std::ofstream(out) << "keep me";
        std::string command = c.command;
        for (size_t at; (at = command.find("{out}")) != std::string::npos;) {
            command.replace(at, 5, shellQuote(out));
        }
        const ShellRun run = shell(command);
        EXPECT_EQ(run.status, c.status) << c.label << ": " << run.output;
        EXPECT_EQ(readFile(out) != "keep me", c.overwritten) << c.label << ": " << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << c.label << ": " << run.output;
    }
}

// The conventions of the command line: short and long forms, options after
// names, "--" before names that look like options, exit status 2 for what
// is not an option.
TEST_F(AvirecStream, CommandLineFollowsTheConventions) {
    struct Case {
        const char* command;
        int status;
        const char* output;   // a part of what it prints
        const char* created;  // a file it makes in the folder, or ""
    };
    const Case cases[] = {
        {"{avirec} -h", 0, "Usage: avirec", ""},
        {"{avirec} --help", 0, "--raw FORMAT", ""},
        {"{avirec} -V", 0, "avirec 0.", ""},
        {"{avirec} -x out.avi", 2, "unknown option '-x'", ""},
        {"{avirec} --colour=red out.avi", 2, "unknown option '--colour'", ""},
        {"{avirec} --raw yuv --size 8x8 out.avi", 2, "--raw needs one of rgb24, bgr24", ""},
        {"{avirec} --size", 2, "--size needs a value", ""},
        {"{avirec} -q", 2, "no output file", ""},  // -q is an option, not the output
        {"{avirec} out.avi --frames 2 --size 8x8 -q", 0, "", "out.avi"},
        {"{avirec} --frames 2 --size 8x8 -- -h", 0, "", "-h"},
        {"{avirec} --frames 2 --size 8x8 - ", 2, "cannot be written to standard output", ""},
        {"{avirec} -v --frames 2 --size 8x8 v.avi", 0, "wrote 2 frames to v.avi", "v.avi"},
        {"{avirec} --raw rgb24 --size 8x8 raw.avi a b", 2, "--raw reads one file", ""},
    };
    for (const Case& c : cases) {
        const ShellRun run = shell("cd " + shellQuote(dir_.path().string()) + " && " + c.command +
                              " </dev/null");
        EXPECT_EQ(run.status, c.status) << c.command << ": " << run.output;
        EXPECT_NE(run.output.find(c.output), std::string::npos) << c.command << ": " << run.output;
        if (*c.created != '\0') {
            EXPECT_EQ(probeVideoStream(dir_.file(c.created)).at("nb_read_packets"), "2") << c.command;
        }
    }
    EXPECT_EQ(shell("{avirec} -q -y --frames 2 --size 8x8 " + q("quiet.avi")).output, "");
}

// Image names are taken in natural order unless --no-sort; a printf-style
// pattern names a numbered sequence. Each image is one flat colour, so the
// order shows in the decoded frames.
TEST_F(AvirecStream, ImageSequencesInNaturalOrder) {
    for (int i : {1, 2, 10}) {
        const auto name = "f_" + std::to_string(i) + ".ppm";
        std::ofstream(dir_.file(name), std::ios::binary)
            << "P6\n2 2\n255\n" << std::string(12, static_cast<char>(i));
        std::ofstream(dir_.file("g_" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".ppm"),
                      std::ios::binary)
            << "P6\n2 2\n255\n" << std::string(12, static_cast<char>(i));
    }
    struct Case {
        const char* arguments;
        std::vector<int> order;
    };
    const Case cases[] = {
        {"{dir}/f_10.ppm {dir}/f_2.ppm {dir}/f_1.ppm", {1, 2, 10}},
        {"--no-sort {dir}/f_10.ppm {dir}/f_2.ppm {dir}/f_1.ppm", {10, 2, 1}},
        {"{dir}/f_%d.ppm", {1, 2}},  // the numbers run until one is missing
        {"{dir}/g_%02d.ppm", {1, 2}},
    };
    for (const Case& c : cases) {
        std::string arguments = c.arguments;
        for (size_t at; (at = arguments.find("{dir}")) != std::string::npos;) {
            arguments.replace(at, 5, dir_.path().string());
        }
        const ShellRun run = shell("{avirec} -y " + q("seq.avi") + " " + arguments + " </dev/null");
        ASSERT_EQ(run.status, 0) << c.arguments << ": " << run.output;
        DecodedVideo video;
        ASSERT_TRUE(decodeVideo(dir_.file("seq.avi"), video));
        std::vector<int> order;
        for (const auto& frame : video.frames) {
            order.push_back(frame[0]);
        }
        EXPECT_EQ(order, c.order) << c.arguments;
    }
    const ShellRun none = shell("{avirec} " + q("none.avi") + " " + q("h_%03d.png"));
    EXPECT_EQ(none.status, 1) << none.output;
    EXPECT_NE(none.output.find("no file matches the pattern"), std::string::npos) << none.output;
}

// --progress writes key=value blocks that end with progress=end, and the
// last block's figures are the movie's.
TEST_F(AvirecStream, ProgressBlocksForAProgramThatDrivesIt) {
    const ShellRun run = shell("{avirec} --fps 10 --frames 25 --size 16x16 --progress " + q("p.txt") +
                          " " + q("p.avi") + " && {avirec} --frames 3 --size 8x8 --progress - " +
                          q("stdout.avi") + " && {avirec} --frames 3 --size 8x8 --progress fd:9 " +
                          q("fd.avi") + " 9> " + q("fd.txt"));
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string text = readFile(dir_.file("p.txt"));
    const std::string last = text.substr(text.rfind("frame="));
    EXPECT_NE(last.find("frame=25\n"), std::string::npos) << text;
    EXPECT_NE(last.find("out_time=00:00:02.500000\n"), std::string::npos) << text;
    EXPECT_NE(last.find("total_size=" + std::to_string(std::filesystem::file_size(dir_.file("p.avi")))),
              std::string::npos)
        << text;
    EXPECT_TRUE(last.ends_with("progress=end\n")) << text;
    EXPECT_NE(run.output.find("frame=3\n"), std::string::npos) << run.output;
    EXPECT_NE(readFile(dir_.file("fd.txt")).find("progress=end"), std::string::npos);
}

}  // namespace
