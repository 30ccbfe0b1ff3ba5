// The --progress blocks, written with write(2) so that nothing is buffered
// between the blocks and the reader.
#include "progress_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>


namespace {

bool parseDescriptor(const std::string& text, int& fd) {
    if (text.size() <= 3 || text.size() > 12 ||
        text.find_first_not_of("0123456789", 3) != std::string::npos) {
        return false;
    }
    fd = std::stoi(text.substr(3));
    return true;
}

}  // namespace

ProgressReport::~ProgressReport() {
    if (ownsFd_) {
        ::close(fd_);
    }
}

bool ProgressReport::open(const std::string& target, const std::string& movie,
                          std::optional<double> fps, bool quiet, std::string& error) {
    target_ = target == "-" ? std::string("standard output") : target;
    quiet_ = quiet;
    movie_ = movie;
    // The plug-in stores the rate rounded to whole frames, half up.
    if (fps) {
        fps_ = std::floor(*fps + 0.5);
    }
    started_ = lastWritten_ = std::chrono::steady_clock::now();
    if (target == "-") {
        fd_ = STDOUT_FILENO;
        return true;
    }
    if (target.compare(0, 3, "fd:") == 0) {
        int fd = -1;
        const int flags = parseDescriptor(target, fd) ? fcntl(fd, F_GETFL) : -1;
        if (flags < 0) {
            error = "--progress " + target + ": no such open descriptor";
            return false;
        }
        if ((flags & O_ACCMODE) == O_RDONLY) {
            error = "--progress " + target + ": the descriptor is open only for reading";
            return false;
        }
        fd_ = fd;
        return true;
    }
    fd_ = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd_ < 0) {
        error = "cannot open " + target + " for --progress: " + std::strerror(errno);
        return false;
    }
    ownsFd_ = true;
    return true;
}

void ProgressReport::update(int frames) {
    if (fd_ < 0) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lastWritten_ < std::chrono::milliseconds(500)) {
        return;
    }
    lastWritten_ = now;
    write(frames, false);
}

void ProgressReport::finish(int frames) {
    if (fd_ >= 0) {
        write(frames, true);
    }
}

void ProgressReport::write(int frames, bool last) {
    if (broken_) {
        return;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    struct stat info {};
    const long long bytes = ::stat(movie_.c_str(), &info) == 0 ? info.st_size : 0;
    char block[512];
    int length = std::snprintf(block, sizeof block, "frame=%d\nfps=%.2f\ntotal_size=%lld\n",
                               frames, seconds > 0 ? frames / seconds : 0.0, bytes);
    if (fps_ && *fps_ > 0) {
        const auto micros = static_cast<long long>(std::llround(frames / *fps_ * 1e6));
        length += std::snprintf(block + length, sizeof block - static_cast<size_t>(length),
                                "out_time_us=%lld\nout_time=%02lld:%02lld:%02lld.%06lld\n",
                                micros, micros / 3600000000LL, micros / 60000000LL % 60,
                                micros / 1000000LL % 60, micros % 1000000LL);
    }
    length += std::snprintf(block + length, sizeof block - static_cast<size_t>(length),
                            "progress=%s\n", last ? "end" : "continue");
    const char* data = block;
    auto left = static_cast<size_t>(length);
    while (left > 0) {
        const ssize_t written = ::write(fd_, data, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            // The recording goes on without its watcher.
            broken_ = true;
            if (!quiet_) {
                std::fprintf(stderr, "avirec: writing progress to %s failed: %s; the recording goes on\n",
                             target_.c_str(), written < 0 ? std::strerror(errno) : "nothing was taken");
            }
            return;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
}
