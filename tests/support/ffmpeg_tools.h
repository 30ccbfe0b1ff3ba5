// What real readers make of a file: ffprobe's view of its streams and the
// frames that ffmpeg decodes from it.
#ifndef TESTS_SUPPORT_FFMPEG_TOOLS_H
#define TESTS_SUPPORT_FFMPEG_TOOLS_H

#include <cstdint>
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

// The peak signal-to-noise ratio of two equally long byte sequences, in dB
// (infinity when they are equal).
double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

#endif  // TESTS_SUPPORT_FFMPEG_TOOLS_H
