// Raw planar frames, each plane read straight into the frame's buffer.
#include "raw_frames.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Reads exactly `bytes` bytes; false at end of file or on an error.
bool readFully(int fd, uint8_t* data, size_t bytes) {
    while (bytes > 0) {
        const ssize_t got = ::read(fd, data, bytes);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        data += got;
        bytes -= static_cast<size_t>(got);
    }
    return true;
}

class RawGbrpSource : public FrameSource {
public:
    RawGbrpSource(int fd, std::string path, int width, int height, int frames)
        : fd_(fd), path_(std::move(path)), width_(width), height_(height), frames_(frames) {}
    ~RawGbrpSource() override { ::close(fd_); }
    RawGbrpSource(const RawGbrpSource&) = delete;
    RawGbrpSource& operator=(const RawGbrpSource&) = delete;

    int width() const override { return width_; }
    int height() const override { return height_; }
    int frameCount() const override { return frames_; }

    bool read(int index, PlanarFrame& frame, std::string& error) override {
        if (frame.width != width_ || frame.height != height_) {
            frame.resize(width_, height_);
        }
        const size_t plane = frame.red.size();
        if (!readFully(fd_, frame.green.data(), plane) || !readFully(fd_, frame.blue.data(), plane) ||
            !readFully(fd_, frame.red.data(), plane)) {
            error = "cannot read frame " + std::to_string(index) + " of " + path_;
            return false;
        }
        return true;
    }

private:
    int fd_;
    std::string path_;
    int width_;
    int height_;
    int frames_;
};

}  // namespace

std::unique_ptr<FrameSource> openRawGbrpFrames(const std::string& path, int width, int height,
                                               int limit, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    const uint64_t frameBytes = uint64_t{3} * static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    const auto fileBytes = static_cast<uint64_t>(info.st_size);
    if (fileBytes == 0 || fileBytes % frameBytes != 0) {
        error = path + " does not hold whole " + std::to_string(width) + "x" +
                std::to_string(height) + " frames (" + std::to_string(frameBytes) +
                " bytes each)";
        ::close(fd);
        return nullptr;
    }
    const uint64_t available = fileBytes / frameBytes;
    if (available > INT32_MAX || (limit >= 0 && static_cast<uint64_t>(limit) > available)) {
        error = path + " holds " + std::to_string(available) + " frames";
        ::close(fd);
        return nullptr;
    }
    const int frames = limit >= 0 ? limit : static_cast<int>(available);
    return std::make_unique<RawGbrpSource>(fd, path, width, height, frames);
}
