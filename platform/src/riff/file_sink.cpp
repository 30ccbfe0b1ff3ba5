// The byte sink that writes a file. Appends go to the system with pwritev
// (writev at the sink's own end position) straight from the caller's buffers: no buffer of our own, no copy, and the
// bytes are in the system's hands (they survive the process being killed)
// when append returns.
//
// An existing file may be overwritten in place instead of truncated (see
// createFileSink): then every append also writes the end marker right after
// the new end, not counted in the size, so that the bytes of the earlier file
// beyond it read as one chunk to skip; the next append overwrites it.
//
// A failed append (disk full, file too large, any error) truncates the file
// back to where it ended before, so that no torn chunk stays behind, and the
// sink remains usable.
//
// Writing past the process's file-size limit raises SIGXFSZ, whose default
// action ends the process. Creating a file sink therefore sets SIGXFSZ to
// ignored when it is at its default action; write then fails with EFBIG,
// which is reported as a failed append. A handler that the program installed
// itself is left alone.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "riff/byte_sink.h"

namespace avifile {

namespace {

void ignoreFileSizeSignalIfDefault() {
    struct sigaction current {};
    if (sigaction(SIGXFSZ, nullptr, &current) != 0) {
        return;
    }
    if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGXFSZ, &ignore, nullptr);
    }
}

class FileSink : public ByteSink {
public:
    FileSink(int fd, uint64_t staleEnd, EndMarker marker)
        : fd_(fd), size_(0), staleEnd_(staleEnd), marker_(marker) {}
    ~FileSink() override { close(fd_); }
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    bool append(std::span<const ConstBuffer> parts) override;
    bool writeAt(uint64_t position, const void* data, size_t size) override;
    uint64_t size() const override { return size_; }
    bool discardStaleBytes() override;

    // Marks the whole of an earlier file as stale, before anything is written.
    bool markStaleFromStart();

private:
    bool writeAllAt(uint64_t position, std::span<iovec> vectors);
    void rollBack();

    int fd_;
    uint64_t size_;
    uint64_t staleEnd_;  // end of the earlier file's bytes; at most size_ when none are left
    EndMarker marker_;
};

bool FileSink::markStaleFromStart() {
    uint8_t marker[8];
    const size_t used = marker_(staleEnd_, marker);
    iovec vector{marker, used};
    return used == 0 || writeAllAt(0, {&vector, 1});
}

bool FileSink::discardStaleBytes() {
    if (staleEnd_ <= size_) {
        return true;
    }
    while (ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    staleEnd_ = size_;
    return true;
}

bool FileSink::append(std::span<const ConstBuffer> parts) {
    // A chunk comes in a few parts (header, data, pad byte): those stay on
    // the stack; only a longer list takes the heap.
    constexpr size_t kInlineParts = 8;
    iovec inlineVectors[kInlineParts];
    std::vector<iovec> manyVectors;
    iovec* vectors = inlineVectors;
    if (parts.size() + 1 > kInlineParts) {
        manyVectors.resize(parts.size() + 1);
        vectors = manyVectors.data();
    }
    size_t count = 0;
    uint64_t total = 0;
    for (const ConstBuffer& part : parts) {
        if (part.size > 0) {
            vectors[count++] = iovec{const_cast<void*>(part.data), part.size};
            total += part.size;
        }
    }
    if (count == 0) {
        return true;
    }
    uint8_t marker[8];
    if (marker_ != nullptr && staleEnd_ > size_ + total) {
        const size_t used = marker_(staleEnd_ - (size_ + total), marker);
        if (used > 0) {
            vectors[count++] = iovec{marker, used};
        }
    }
    if (!writeAllAt(size_, {vectors, count})) {
        rollBack();
        return false;
    }
    size_ += total;
    return true;
}

// Writes every byte of `vectors` from `position` on, resuming after short
// writes. pwritev rather than writev, so that the position is ours and a
// short write that was rolled back cannot leave the file offset astray.
bool FileSink::writeAllAt(uint64_t position, std::span<iovec> vectors) {
    size_t first = 0;
    while (first < vectors.size()) {
        const int count = static_cast<int>(std::min<size_t>(vectors.size() - first, IOV_MAX));
        const ssize_t written = pwritev(fd_, vectors.data() + first, count,
                                        static_cast<off_t>(position));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        position += static_cast<uint64_t>(written);
        auto left = static_cast<size_t>(written);
        while (first < vectors.size() && left >= vectors[first].iov_len) {
            left -= vectors[first].iov_len;
            ++first;
        }
        if (left > 0) {
            vectors[first].iov_base = static_cast<uint8_t*>(vectors[first].iov_base) + left;
            vectors[first].iov_len -= left;
        }
    }
    return true;
}

void FileSink::rollBack() {
    const int savedErrno = errno;
    while (ftruncate(fd_, static_cast<off_t>(size_)) != 0 && errno == EINTR) {
    }
    staleEnd_ = std::min(staleEnd_, size_);
    errno = savedErrno;
}

bool FileSink::writeAt(uint64_t position, const void* data, size_t size) {
    if (size == 0) {
        return true;
    }
    iovec vector{const_cast<void*>(data), size};
    if (!writeAllAt(position, {&vector, 1})) {
        if (position + size > size_) {
            rollBack();
        }
        return false;
    }
    size_ = std::max(size_, position + size);
    return true;
}

}  // namespace

std::unique_ptr<ByteSink> createFileSink(const char* path, EndMarker marker) {
    if (path == nullptr || path[0] == '\0') {
        return nullptr;
    }
    const int truncate = marker == nullptr ? O_TRUNC : 0;
    const int fd = open(path, O_WRONLY | O_CREAT | truncate | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        // Only a regular file can be overwritten in place; anything else
        // (a device, a pipe) is written as it comes.
        info.st_size = 0;
    }
    ignoreFileSizeSignalIfDefault();
    auto sink = std::make_unique<FileSink>(fd, static_cast<uint64_t>(info.st_size), marker);
    if (info.st_size > 0 && !sink->markStaleFromStart()) {
        return nullptr;
    }
    return sink;
}

}  // namespace avifile
