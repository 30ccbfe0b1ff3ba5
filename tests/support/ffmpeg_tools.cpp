#include "support/ffmpeg_tools.h"

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>

int runCommand(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::string collected;
    char chunk[1 << 16];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        collected.append(chunk, got);
    }
    const int status = pclose(pipe);
    if (output != nullptr) {
        *output = std::move(collected);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::map<std::string, std::string> probeVideoStream(const std::string& path) {
    std::string out;
    runCommand(std::string(FFPROBE_EXECUTABLE) +
                   " -v error -select_streams v:0 -count_packets -show_streams -of default=nw=1 " +
                   shellQuote(path),
               &out);
    std::map<std::string, std::string> fields;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            fields.emplace(line.substr(0, equals), line.substr(equals + 1));
        }
    }
    return fields;
}

bool decodeVideo(const std::string& path, DecodedVideo& video, const std::string& pixelFormat) {
    const auto stream = probeVideoStream(path);
    const auto width = stream.find("width");
    const auto height = stream.find("height");
    if (width == stream.end() || height == stream.end()) {
        return false;
    }
    video.width = std::stoi(width->second);
    video.height = std::stoi(height->second);
    video.frames.clear();
    std::string raw;
    const int status = runCommand(std::string(FFMPEG_EXECUTABLE) + " -v error -i " +
                                      shellQuote(path) + " -map 0:v:0 -f rawvideo -pix_fmt " +
                                      pixelFormat + " -vsync passthrough -",
                                  &raw);
    const size_t frameBytes = static_cast<size_t>(video.width) * video.height * 3;
    if (status != 0 || frameBytes == 0 || raw.size() % frameBytes != 0) {
        return false;
    }
    for (size_t at = 0; at < raw.size(); at += frameBytes) {
        video.frames.emplace_back(raw.begin() + static_cast<std::ptrdiff_t>(at),
                                  raw.begin() + static_cast<std::ptrdiff_t>(at + frameBytes));
    }
    return true;
}

std::vector<bool> probeKeyFrames(const std::string& path) {
    std::string out;
    runCommand(std::string(FFPROBE_EXECUTABLE) +
                   " -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 " +
                   shellQuote(path),
               &out);
    std::vector<bool> keys;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty()) {
            keys.push_back(line.find('K') != std::string::npos);
        }
    }
    return keys;
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) {
        return 0.0;
    }
    double sum = 0.0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
        sum += d * d;
    }
    if (sum == 0.0) {
        return std::numeric_limits<double>::infinity();
    }
    const double mse = sum / static_cast<double>(a.size());
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::vector<Packet> packets(const std::string& path) {
    std::string out;
    runCommand("ffprobe -v error -show_data_hash MD5 -show_entries "
               "packet=stream_index,size,pos,data_hash -of csv=p=0 " + shellQuote(path),
               &out);
    std::vector<Packet> list;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        Packet packet;
        char comma = 0;
        std::istringstream fields(line);
        fields >> packet.stream >> comma >> packet.size >> comma >> packet.position >> comma >>
            packet.hash;
        if (fields) {
            list.push_back(packet);
        }
    }
    return list;
}

std::vector<std::string> gstreamerFrames(const std::string& path,
                                         const std::filesystem::path& scratch, bool decoded) {
    const std::filesystem::path frames = scratch / "gst";
    std::filesystem::remove_all(frames);
    std::filesystem::create_directory(frames);
    std::string out;
    runCommand("timeout 60 gst-launch-1.0 -q filesrc location=" + shellQuote(path) +
                   " ! avidemux name=d d.video_0 ! " +
                   (decoded ? "decodebin ! videoconvert ! video/x-raw,format=RGB ! " : "") +
                   "multifilesink location=" + shellQuote((frames / "%06d").string()) +
                   " >/dev/null 2>&1; cd " + shellQuote(frames.string()) +
                   " && ls | sort | xargs -r md5sum",
               &out);
    std::vector<std::string> hashes;
    std::istringstream lines(out);
    std::string hash;
    std::string name;
    while (lines >> hash >> name) {
        hashes.push_back("MD5:" + hash);
    }
    return hashes;
}

std::string mediaInfoFrameCount(const std::string& path) {
    std::string out;
    runCommand("mediainfo '--Inform=Video;%FrameCount%' " + shellQuote(path), &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
        out.pop_back();
    }
    return out;
}
