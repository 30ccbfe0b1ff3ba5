// Raw frames, read ahead by a thread of their own: planar and grey frames
// whole into a buffer whose planes are lent on, packed frames in pieces
// that are spread over the three planes while they are still in the cache.
#include "raw_frames.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "raw_layout.h"
#include "stop_signal.h"

namespace {

enum class Filled { Whole, EndOfInput, Error };

// Reads until `bytes` bytes are in, the input ends or fails, or `cancel`
// becomes readable; `got` counts what came, `error` holds errno on Error.
Filled fill(int fd, int cancel, uint8_t* data, size_t bytes, size_t& got, int& error) {
    got = 0;
    while (got < bytes) {
        pollfd waits[2] = {{fd, POLLIN, 0}, {cancel, POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            return Filled::Error;
        }
        if (waits[1].revents != 0) {
            return Filled::EndOfInput;  // the consumer went away
        }
        const ssize_t count = ::read(fd, data + got, bytes - got);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (count < 0) {
            error = errno;
            return Filled::Error;
        }
        if (count == 0) {
            return Filled::EndOfInput;
        }
        got += static_cast<size_t>(count);
    }
    return Filled::Whole;
}

void widenPipe(int fd) {
    // A pipe holds 64 KiB by default: a 1920x1080 frame would take about a
    // hundred reads, each waiting for the writer. A wider pipe (as wide as
    // an unprivileged process may make it) lets whole frames through at
    // once. Failure only costs speed.
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode)) {
        for (int size = 1 << 20; size >= 1 << 17; size /= 2) {
            if (fcntl(fd, F_SETPIPE_SZ, size) >= 0) {
                break;
            }
        }
    }
}

// One frame as the reader thread left it: its bytes, or for packed input
// its red, green and blue planes one after another.
struct Chunk {
    std::vector<uint8_t> bytes;
    size_t got = 0;  // the input's bytes that came
    Filled filled = Filled::Whole;
    int error = 0;
};

// Reads whole frames ahead in a thread of its own, so that reading the
// input (a pipe's copies, its writer's wake-ups) overlaps with converting
// and writing the frames before. Stop signals go to the main thread only.
class ReadAhead {
public:
    // Packed input (`format` packed) is spread as it comes.
    ReadAhead(int fd, size_t frameBytes, const RawFormat& format)
        : fd_(fd), frameBytes_(frameBytes),
          spreadFrom_(format.layout == RawLayout::Packed ? &format : nullptr) {}
    ~ReadAhead() {
        if (thread_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                cancelled_ = true;
            }
            changed_.notify_all();
            const char wake = 1;
            [[maybe_unused]] const ssize_t written = ::write(cancel_[1], &wake, 1);
            thread_.join();
        }
        for (int end : cancel_) {
            if (end >= 0) {
                ::close(end);
            }
        }
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Starts the thread; false when it cannot be started.
    bool start() {
        if (::pipe2(cancel_, O_CLOEXEC) != 0) {
            return false;
        }
        for (int i = 0; i < kDepth; ++i) {
            spare_.emplace_back();
        }
        sigset_t stops;
        sigset_t previous;
        sigemptyset(&stops);
        sigaddset(&stops, SIGINT);
        sigaddset(&stops, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stops, &previous);
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return thread_.joinable();
    }

    // The next chunk; false when a stop signal came first. Hand it back
    // with recycle().
    bool next(Chunk& chunk) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (ready_.empty()) {
            if (stopRequested()) {
                return false;
            }
            // The handler cannot notify: a stop is seen within this wait.
            changed_.wait_for(lock, std::chrono::milliseconds(50));
        }
        chunk = std::move(ready_.front());
        ready_.pop_front();
        return true;
    }

    void recycle(Chunk&& chunk) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            spare_.push_back(std::move(chunk));
        }
        changed_.notify_all();
    }

private:
    static constexpr int kDepth = 3;
    // Packed input is read this many pixels at a time (192 or 256 KiB),
    // a piece that the cache holds until it is spread.
    static constexpr size_t kPiecePixels = 65536;

    // The bytes of a packed pixel.
    size_t step() const { return static_cast<size_t>(spreadFrom_->bytesPerPixel); }

    // Reads one frame of packed pixels in pieces, spreading each over the
    // chunk's planes.
    Filled fillSpread(Chunk& chunk) {
        const size_t pixels = frameBytes_ / step();
        uint8_t* const planes = chunk.bytes.data();
        chunk.got = 0;
        for (size_t done = 0; done < pixels;) {
            const size_t count = std::min(kPiecePixels, pixels - done);
            size_t got = 0;
            const Filled filled =
                fill(fd_, cancel_[0], piece_.data(), count * step(), got, chunk.error);
            chunk.got += got;
            if (filled != Filled::Whole) {
                return filled;
            }
            uint8_t* const at[3] = {planes + done, planes + pixels + done,
                                    planes + 2 * pixels + done};
            spreadPacked(*spreadFrom_, piece_.data(), at, count);
            done += count;
        }
        return Filled::Whole;
    }

    void run() {
        while (true) {
            Chunk chunk;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return cancelled_ || !spare_.empty(); });
                if (cancelled_) {
                    return;
                }
                chunk = std::move(spare_.front());
                spare_.pop_front();
            }
            try {
                if (spreadFrom_ != nullptr) {
                    chunk.bytes.resize(frameBytes_ / step() * 3);
                    piece_.resize(kPiecePixels * step());
                } else {
                    chunk.bytes.resize(frameBytes_);
                }
            } catch (const std::bad_alloc&) {
                chunk.filled = Filled::Error;
                chunk.error = ENOMEM;
            }
            if (chunk.error == 0) {
                chunk.filled = spreadFrom_ != nullptr
                                   ? fillSpread(chunk)
                                   : fill(fd_, cancel_[0], chunk.bytes.data(), frameBytes_,
                                          chunk.got, chunk.error);
            }
            const bool last = chunk.filled != Filled::Whole;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ready_.push_back(std::move(chunk));
            }
            changed_.notify_all();
            if (last) {
                return;
            }
        }
    }

    int fd_;
    size_t frameBytes_;
    const RawFormat* spreadFrom_;  // null: frames are kept as they come
    std::vector<uint8_t> piece_;   // the piece of packed input being spread
    int cancel_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Chunk> ready_;
    std::deque<Chunk> spare_;
    bool cancelled_ = false;
    std::thread thread_;
};

class RawSource final : public RawFrameSource {
public:
    RawSource(int fd, bool ownsFd, std::string name, const RawFormat& format, int width,
              int height, int limit)
        : RawFrameSource(std::move(name), format, width, height, limit), fd_(fd),
          ownsFd_(ownsFd) {
        widenPipe(fd_);
    }
    ~RawSource() override {
        reader_.reset();  // before the descriptor it reads is closed
        if (ownsFd_) {
            ::close(fd_);
        }
    }
    RawSource(const RawSource&) = delete;
    RawSource& operator=(const RawSource&) = delete;

    bool fromStandardInput() const override { return !ownsFd_; }

private:
    Bytes readBytes(size_t bytes) override {
        Bytes result;
        if (reader_ == nullptr) {
            reader_ = std::make_unique<ReadAhead>(fd_, bytes, format());
            if (!reader_->start()) {
                result.outcome = Bytes::Outcome::Failed;
                result.reason = std::string("cannot start reading: ") + std::strerror(errno);
                return result;
            }
        }
        if (!reader_->next(chunk_)) {
            result.outcome = Bytes::Outcome::Interrupted;
            return result;
        }
        switch (chunk_.filled) {
            case Filled::Whole:
                result.data = chunk_.bytes.data();
                result.spread = format().layout == RawLayout::Packed;
                break;
            case Filled::Error:
                result.outcome = Bytes::Outcome::Failed;
                result.reason = std::strerror(chunk_.error);
                break;
            case Filled::EndOfInput:
                result.outcome = Bytes::Outcome::EndOfInput;
                result.got = chunk_.got;
                break;
        }
        return result;
    }

    void done() override { reader_->recycle(std::move(chunk_)); }

    int fd_;
    bool ownsFd_;
    std::unique_ptr<ReadAhead> reader_;
    Chunk chunk_;  // the frame in hand
};

}  // namespace

std::unique_ptr<FrameSource> openRawFrames(const std::string& path, const std::string& format,
                                           int width, int height, int limit, std::string& error) {
    const RawFormat* layout = findRawFormat(format);
    if (layout == nullptr) {
        error = "unknown raw format " + format;
        return nullptr;
    }
    if (path == "-") {
        if (isatty(STDIN_FILENO) == 1) {
            error = "standard input is a terminal: pipe the frames into avirec, or name a file";
            return nullptr;
        }
        return std::make_unique<RawSource>(STDIN_FILENO, false, "standard input", *layout, width,
                                           height, limit);
    }
    // A device would be read without end (/dev/zero) or wait for keystrokes,
    // and a folder holds no frames: only files, FIFOs and sockets are read.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode) && !S_ISSOCK(info.st_mode)) {
        error = path + " is not a regular file, FIFO or pipe: raw frames come from one of those";
        return nullptr;
    }
    // The open of a FIFO waits for its writer; a stop signal ends the wait.
    int fd = -1;
    while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)) < 0 && errno == EINTR) {
        if (stopRequested()) {
            error = "stopped while waiting for a writer to open " + path;
            return nullptr;
        }
    }
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<RawSource>(fd, true, path, *layout, width, height, limit);
}

