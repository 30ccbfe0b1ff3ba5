// The byte sink that writes a file. Appends go to the system with pwritev
// (writev at the sink's own end position) straight from the caller's
// buffers: no buffer of our own, no copy, and the bytes are in the system's
// hands (they survive the process being killed) when append returns.
//
// Nothing is written to the path until the first byte arrives: a sink that
// is dropped unwritten leaves an existing file as it was and removes a file
// that it created itself, so a recording that never started destroys
// nothing.
//
// An existing file may be overwritten in place instead of truncated (see
// createFileSink). Its bytes are hidden before the first new byte lands:
// the end marker goes to byte 0 first, and from then on the marker always
// stands at the end of what was written, covering the rest of the earlier
// file. An append writes its body and the next marker (both still covered by
// the present marker) before the 8 bytes that replace the present marker,
// so a write cut short by a crash never lets the old bytes show through.
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
#include <cstring>
#include <string>
#include <vector>

#include "api/failure_reason.h"
#include "riff/byte_sink.h"

namespace avifile {

namespace {

// The bytes of a marker's chunk header that are written last.
constexpr size_t kHeaderBytes = 8;

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

// Words for the user about a failed write.
void noteWriteFailure(int error) {
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        setFailureReason("the disk is full", false);
        break;
    case EFBIG:
        setFailureReason("the file has reached the largest size allowed", false);
        break;
    default:
        setFailureReason(std::string("the file could not be written: ") + std::strerror(error),
                         false);
        break;
    }
}

class FileSink : public ByteSink {
public:
    FileSink(int fd, std::string path, bool created, EndMarker marker)
        : fd_(fd), path_(std::move(path)), created_(created), marker_(marker) {}
    // Over a file whose first `end` bytes are kept, given up already.
    FileSink(int fd, std::string path, uint64_t end)
        : fd_(fd), path_(std::move(path)), created_(false), committed_(true), size_(end),
          marker_(nullptr) {}
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    bool append(std::span<const ConstBuffer> parts) override;
    bool writeAt(uint64_t position, const void* data, size_t size) override;
    uint64_t size() const override { return size_; }
    bool discardStaleBytes() override;

private:
    bool commit();
    bool writeAllAt(uint64_t position, std::span<iovec> vectors);
    bool truncateTo(uint64_t size);
    void rollBack();

    int fd_;
    std::string path_;
    bool created_;            // the file did not exist before this sink
    bool committed_ = false;  // the path's earlier content has been given up
    uint64_t size_ = 0;
    uint64_t staleEnd_ = 0;  // end of the earlier file's bytes; at most size_ when none are left
    EndMarker marker_;
};

FileSink::~FileSink() {
    if (!committed_ && created_) {
        // Nothing was ever written: the path goes back to having no file,
        // unless something else has taken its place meanwhile.
        struct stat ours {};
        struct stat atPath {};
        if (fstat(fd_, &ours) == 0 && stat(path_.c_str(), &atPath) == 0 &&
            ours.st_dev == atPath.st_dev && ours.st_ino == atPath.st_ino) {
            unlink(path_.c_str());
        }
    }
    close(fd_);
}

// Gives up the earlier content of the path before the first write: the
// file is truncated, or, when it is overwritten in place, its bytes are
// covered by one marker from byte 0.
bool FileSink::commit() {
    if (committed_) {
        return true;
    }
    struct stat info {};
    if (fstat(fd_, &info) != 0) {
        noteWriteFailure(errno);
        return false;
    }
    const uint64_t existing = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
    if (existing > 0 && marker_ == nullptr) {
        if (!truncateTo(0)) {
            return false;
        }
    } else if (existing > 0) {
        uint8_t marker[8];
        const size_t used = marker_(existing, marker);
        iovec vector{marker, used};
        if (used > 0 && !writeAllAt(0, {&vector, 1})) {
            noteWriteFailure(errno);
            return false;
        }
        staleEnd_ = existing;
    }
    committed_ = true;
    return true;
}

bool FileSink::truncateTo(uint64_t size) {
    while (ftruncate(fd_, static_cast<off_t>(size)) != 0) {
        if (errno != EINTR) {
            noteWriteFailure(errno);
            return false;
        }
    }
    return true;
}

bool FileSink::discardStaleBytes() {
    if (staleEnd_ <= size_) {
        return true;
    }
    if (!truncateTo(size_)) {
        return false;
    }
    staleEnd_ = size_;
    return true;
}

bool FileSink::append(std::span<const ConstBuffer> parts) {
    if (!commit()) {
        return false;
    }
    // A chunk comes in a few parts (header, data, pad byte): those stay on
    // the stack; only a longer list takes the heap.
    constexpr size_t kInlineParts = 8;
    iovec inlineVectors[kInlineParts];
    std::vector<iovec> manyVectors;
    iovec* vectors = inlineVectors;
    if (parts.size() + 2 > kInlineParts) {
        manyVectors.resize(parts.size() + 2);
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
    if (staleEnd_ > size_ && size_ + total >= staleEnd_) {
        // The new bytes reach past the earlier file: what is left of it goes
        // first, and this is a plain append at the end.
        if (!discardStaleBytes()) {
            return false;
        }
    }
    if (staleEnd_ <= size_ || total < kHeaderBytes) {
        if (!writeAllAt(size_, {vectors, count})) {
            rollBack();
            return false;
        }
        size_ += total;
        return true;
    }

    // Over the earlier file: the body and the next marker go out while the
    // present marker still covers them; the first 8 bytes then replace the
    // present marker in one small write.
    uint8_t head[kHeaderBytes];
    size_t headUsed = 0;
    size_t first = 0;
    while (headUsed < kHeaderBytes) {
        const size_t take = std::min(kHeaderBytes - headUsed, vectors[first].iov_len);
        std::memcpy(head + headUsed, vectors[first].iov_base, take);
        headUsed += take;
        vectors[first].iov_base = static_cast<uint8_t*>(vectors[first].iov_base) + take;
        vectors[first].iov_len -= take;
        if (vectors[first].iov_len == 0) {
            ++first;
        }
    }
    uint8_t marker[8];
    const size_t used = marker_(staleEnd_ - (size_ + total), marker);
    if (used > 0) {
        vectors[count++] = iovec{marker, used};
    }
    iovec headVector{head, kHeaderBytes};
    if ((first < count && !writeAllAt(size_ + kHeaderBytes, {vectors + first, count - first})) ||
        !writeAllAt(size_, {&headVector, 1})) {
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
            noteWriteFailure(errno);
            return false;
        }
        if (written == 0) {
            errno = ENOSPC;
            noteWriteFailure(errno);
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
    if (!commit()) {
        return false;
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

// A descriptor opened with O_NONBLOCK (so that opening could not wait),
// made blocking for the writes; -1, closed, with a reason, on failure.
int blocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        setFailureReason(std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// Opens `path` for writing without blocking and without changing it: an
// existing file as it is, else a new file. Only a file that takes writes at
// any position will do; a pipe, a socket or a terminal is refused (opening
// a pipe that has no reader would otherwise wait for one for ever).
int openForWriting(const char* path, bool& created) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        int fd = open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        created = false;
        if (fd < 0 && errno == ENOENT) {
            fd = open(path, O_WRONLY | O_CLOEXEC | O_CREAT | O_EXCL | O_NOCTTY, 0666);
            created = true;
            if (fd < 0 && errno == EEXIST) {
                continue;  // made by someone else meanwhile: open that one
            }
        }
        if (fd < 0) {
            const int error = errno;
            setFailureReason(error == ENXIO
                                 ? std::string("it is a pipe or device that cannot hold a movie")
                                 : std::string(std::strerror(error)));
            return -1;
        }
        struct stat info {};
        if (fstat(fd, &info) != 0 || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) ||
            S_ISDIR(info.st_mode) || lseek(fd, 0, SEEK_CUR) < 0) {
            setFailureReason("it is not a file that a movie can be written to");
            close(fd);
            return -1;
        }
        return blocking(fd);
    }
    setFailureReason("the file keeps changing while it is opened");
    return -1;
}

}  // namespace

std::unique_ptr<ByteSink> createFileSink(const char* path, EndMarker marker) {
    if (path == nullptr || path[0] == '\0') {
        setFailureReason("no file name was given");
        return nullptr;
    }
    bool created = false;
    const int fd = openForWriting(path, created);
    if (fd < 0) {
        return nullptr;
    }
    ignoreFileSizeSignalIfDefault();
    return std::make_unique<FileSink>(fd, path, created, marker);
}

std::unique_ptr<ByteSink> continueFileSink(const char* path, uint64_t end) {
    if (path == nullptr || path[0] == '\0') {
        setFailureReason("no file name was given");
        return nullptr;
    }
    const int fd = open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) < end) {
        setFailureReason(fd < 0 ? std::strerror(errno) : "it is not the file it was");
        if (fd >= 0) {
            close(fd);
        }
        return nullptr;
    }
    if (blocking(fd) < 0) {
        return nullptr;
    }
    ignoreFileSizeSignalIfDefault();
    auto sink = std::make_unique<FileSink>(fd, path, end);
    if (static_cast<uint64_t>(info.st_size) > end) {
        while (ftruncate(fd, static_cast<off_t>(end)) != 0) {
            if (errno != EINTR) {
                noteWriteFailure(errno);
                return nullptr;
            }
        }
    }
    return sink;
}

}  // namespace avifile
