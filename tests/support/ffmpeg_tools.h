// What real readers make of a file: ffprobe's view of its streams and
// packets, the frames that ffmpeg decodes from it, the frames GStreamer
// gives, and MediaInfo's frame count.
#ifndef TESTS_SUPPORT_FFMPEG_TOOLS_H
#define TESTS_SUPPORT_FFMPEG_TOOLS_H

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

// Runs a shell command; returns its exit status and fills `output` with what
// it printed on standard output.
int runCommand(const std::string& command, std::string* output = nullptr);

// Quotes a text for the shell.
std::string shellQuote(const std::string& text);

// Decodes every frame of the first video stream into packed 8-bit pixels of
// `pixelFormat` (rgb24 by default), top row first. False when ffmpeg fails.
struct DecodedVideo {
    int width = 0;
    int height = 0;
    std::vector<std::vector<uint8_t>> frames;  // width * height * 3 bytes each
};
bool decodeVideo(const std::string& path, DecodedVideo& video,
                 const std::string& pixelFormat = "rgb24");

// ffprobe's key=value view of the first video stream (-show_streams), e.g.
// "width", "codec_name", "r_frame_rate", "nb_frames", "TAG:title".
std::map<std::string, std::string> probeVideoStream(const std::string& path);

// ffprobe's key-frame flag of every packet of the first video stream, in order.
std::vector<bool> probeKeyFrames(const std::string& path);

// One packet as ffprobe reads it: stream, where its data lies, its MD5.
struct Packet {
    int stream = 0;
    uint64_t size = 0;
    uint64_t position = 0;  // of the data
    std::string hash;
    bool operator==(const Packet&) const = default;
};
std::vector<Packet> packets(const std::string& path);

// The MD5 of every video frame that GStreamer's AVI demuxer gives, in order:
// the samples as they are, or with `decoded` the frames decoded to RGB. The
// frames are written into `scratch`, a folder made anew.
std::vector<std::string> gstreamerFrames(const std::string& path,
                                         const std::filesystem::path& scratch,
                                         bool decoded = false);

// The video frame count that MediaInfo reads from the headers and index.
std::string mediaInfoFrameCount(const std::string& path);

// The peak signal-to-noise ratio of two equally long byte sequences, in dB
// (infinity when they are equal).
double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

#endif  // TESTS_SUPPORT_FFMPEG_TOOLS_H
