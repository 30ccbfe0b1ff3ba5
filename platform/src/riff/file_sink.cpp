// The byte sink that writes a file. Appends go to the system with pwritev
// (writev at the sink's own end position) straight from the caller's
// buffers: no buffer of our own, no copy, and the bytes are in the system's
// hands (they survive the process being killed) when append returns.
//
// Buffered writes of more than 1 MiB are handed over in pieces of at most
// 512 KiB that end on page boundaries. For one large write the system takes
// the file's new pages in large blocks of memory, and on a virtual machine
// whose host takes back free memory those are slow to bring back: 300
// frames of 6 MB into a new file took 0.63-3.2 s written whole (median
// 1.45 s) and 0.70-0.96 s in pieces (0.76 s). Where the pages are cached
// already, both take the same time.
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
// Large appends can go straight to the device (direct I/O): the whole
// aligned blocks of the append's largest part are written by DirectWriter
// (below); the bytes before and after them go buffered as before, in file
// order. Direct writes start and end on page boundaries, so
// they never share a page of the cache with the buffered bytes beside them,
// and a long recording leaves about a page a sample in the cache instead of
// all of it. The automatic choice writes buffered until the recording has
// written a threshold of bytes (a short recording fits in the system's dirty
// memory, where a buffered write is a plain copy), then takes direct I/O
// where the file system says it supports it (statx), for appends with
// enough whole blocks, except over the bytes of an earlier file whose pages
// the system still holds. What becomes of the bytes written buffered before
// the switch is CacheRelease's job (below). A file system that refuses the
// first direct write gets buffered writes from then on.
//
// A copy from another file (appendCopy, the join's frames) goes from file
// to file inside the system with copy_file_range, or, where the system will
// not copy between the two files, through a buffer of the sink's own; it is
// an append like any other, rolled back when it fails.
//
// Flushing (sync) makes what was written durable; for a new file the folder
// is flushed first, so that its name survives too. A failed flush is final
// for the sink (see sync). Syncing off (AVIFILE_SYNC=off), sync does
// nothing. Every call on the file goes through riff/file_system.h.
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
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "api/failure_reason.h"
#include "riff/byte_sink.h"
#include "riff/file_system.h"

namespace avifile {

namespace {

// The bytes of a marker's chunk header that are written last.
constexpr size_t kHeaderBytes = 8;

// The most bytes one buffered write hands to the system (see above).
constexpr size_t kBufferedPieceBytes = size_t{512} << 10;
// Buffered writes of up to this many bytes go whole: a 640x480 frame
// (900 KB) gained nothing from pieces.
constexpr size_t kWholeWriteBytes = size_t{1} << 20;

// The aligned buffer that unaligned samples are copied into on their way to
// a direct write: a 1920x1080 frame goes as one write (fewer, larger
// writes keep the device busier than pieces of 2 or 4 MiB did).
constexpr size_t kStagingBytes = size_t{8} << 20;

// After the switch to direct writes, the pages written buffered before it
// go to the device this many bytes an append, and are offered back to the
// system every this many bytes appended until it has taken all but
// kReleaseSlack of them (or kReleaseTries offers, when the system cannot
// say what it holds).
constexpr uint64_t kReleaseEvery = uint64_t{8} << 20;
constexpr int kReleaseTries = 64;
constexpr uint64_t kReleaseSlack = uint64_t{1} << 20;

constexpr uint64_t alignDown(uint64_t value, uint64_t alignment) {
    return value - value % alignment;
}
constexpr uint64_t alignUp(uint64_t value, uint64_t alignment) {
    return alignDown(value + alignment - 1, alignment);
}

size_t pageBytes() {
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<size_t>(page) : 4096;
}

// The alignment that direct I/O on `fd` needs of memory and of file
// positions and lengths; zeros when the file system does not take it. A
// system that cannot say is trusted with page alignment only when direct
// I/O was asked for.
struct DirectAlignment {
    size_t memory = 0;
    size_t offset = 0;
};
DirectAlignment directAlignment(int fd, WriteMode mode) {
    struct statx info {};
    if (sys::statx(fd, STATX_DIOALIGN, &info) == 0 &&
        (info.stx_mask & STATX_DIOALIGN) != 0) {
        return {info.stx_dio_mem_align, info.stx_dio_offset_align};
    }
    if (mode == WriteMode::Direct) {
        return {pageBytes(), pageBytes()};
    }
    return {};
}

// A second descriptor of the file behind `fd`, for direct writes; -1 when
// the file system refuses it.
int openDirect(int fd) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int direct = sys::open(self.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC | O_NOCTTY);
    if (direct < 0) {
        return -1;
    }
    struct stat ours {};
    struct stat reopened {};
    if (sys::fstat(fd, &ours) != 0 || sys::fstat(direct, &reopened) != 0 ||
        ours.st_dev != reopened.st_dev || ours.st_ino != reopened.st_ino) {
        sys::close(direct);
        return -1;
    }
    return direct;
}

// Whether the system holds at least half the pages of the range. A system
// that cannot tell is taken to hold them, which keeps the buffered writes
// that overwriting in place always had.
bool mostlyCached(int fd, uint64_t offset, uint64_t length) {
    const std::optional<uint64_t> pages = sys::cachedPages(fd, offset, length);
    return !pages.has_value() || *pages * pageBytes() * 2 >= length;
}

// Whether a write reaching `end` passes the process's file-size limit.
bool passesFileSizeLimit(uint64_t end) {
    rlimit limit{};
    return getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
           end > limit.rlim_cur;
}

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

// Direct I/O, one job of its own: writes whole aligned blocks through a
// second descriptor of the file opened with O_DIRECT, from the caller's
// memory when it is aligned as the device needs, else copied piece by piece
// into an aligned staging buffer. Positions and lengths are multiples of
// blockBytes(). A file system that refuses the first direct write is given
// up for good; a short write, or one refused at the file-size limit, leaves
// the rest to the caller's buffered writes. Pinned by
// FileSinkPaths.EveryPathWritesTheSameBytes and the Direct cases of the
// sink, crash and power-cut tests.
class DirectWriter {
public:
    DirectWriter() = default;
    ~DirectWriter() {
        if (fd_ >= 0) {
            sys::close(fd_);
        }
    }
    DirectWriter(const DirectWriter&) = delete;
    DirectWriter& operator=(const DirectWriter&) = delete;

    // Sets up direct writes of the file behind `fd` as `options` say, where
    // the file system takes them.
    void enable(int fd, const FileSinkOptions& options) {
        automatic_ = options.mode != WriteMode::Direct;
        if (options.mode == WriteMode::Buffered) {
            return;
        }
        const DirectAlignment alignment = directAlignment(fd, options.mode);
        if (alignment.memory == 0 || alignment.offset == 0) {
            return;
        }
        const size_t wanted =
            options.directBlockBytes != 0 ? options.directBlockBytes : pageBytes();
        fd_ = openDirect(fd);
        memoryAlign_ = alignment.memory;
        blockBytes_ = alignUp(std::max(wanted, alignment.offset), alignment.offset);
        minBytes_ = std::max<size_t>(options.directMinBytes, 1);
    }

    bool available() const { return fd_ >= 0; }
    bool automatic() const { return automatic_; }  // the choice is the sink's own
    size_t blockBytes() const { return blockBytes_; }
    size_t minBytes() const { return minBytes_; }  // the fewest bytes worth a direct write
    uint64_t bytes() const { return bytes_; }      // written direct so far

    // Writes up to `length` bytes (a multiple of blockBytes()) from `source`
    // at `position`; how many went direct (from the start), the rest being
    // the caller's to write buffered; nothing, with the reason, on failure.
    std::optional<size_t> write(uint64_t position, const uint8_t* source, size_t length) {
        const bool aligned = reinterpret_cast<uintptr_t>(source) % memoryAlign_ == 0;
        const size_t stagingBytes = alignUp(kStagingBytes, blockBytes_);
        if (!aligned && staging_ == nullptr) {
            const size_t alignment = std::max(memoryAlign_, pageBytes());
            staging_.reset(static_cast<uint8_t*>(
                std::aligned_alloc(alignment, alignUp(stagingBytes, alignment))));
        }
        size_t total = 0;
        while (total < length) {
            const uint8_t* from = source + total;
            size_t piece = length - total;
            if (!aligned) {
                if (staging_ == nullptr) {
                    break;  // no memory for the copy: buffered
                }
                piece = std::min(piece, stagingBytes);
                std::memcpy(staging_.get(), from, piece);
                from = staging_.get();
            }
            const uint64_t at = position + total;
            const ssize_t written = sys::pwrite(fd_, from, piece, static_cast<off_t>(at));
            if (written < 0 && errno == EINVAL) {
                // Refused: by the file system (given up for good unless it
                // took direct writes before), or at the file-size limit,
                // whose short length is not a whole block.
                if (!proven_ && !passesFileSizeLimit(at + piece)) {
                    sys::close(fd_);
                    fd_ = -1;
                }
                break;
            }
            if (written < 0) {
                noteWriteFailure(errno);
                return std::nullopt;
            }
            const auto done = static_cast<size_t>(written);
            proven_ = proven_ || done > 0;
            total += done;
            bytes_ += done;
            if (done % blockBytes_ != 0 || done == 0) {
                break;  // a short write: the rest buffered
            }
        }
        return total;
    }

private:
    int fd_ = -1;             // the file opened for direct writes; -1: none
    bool automatic_ = true;
    bool proven_ = false;     // a direct write has succeeded
    size_t memoryAlign_ = 0;  // of the memory a direct write comes from
    size_t blockBytes_ = 0;   // of the positions and lengths of direct writes
    size_t minBytes_ = 0;
    uint64_t bytes_ = 0;
    std::unique_ptr<uint8_t, decltype(&std::free)> staging_{nullptr, &std::free};
};

// The page-cache policy of the automatic choice, one job of its own: appends
// stay buffered until the recording has written a threshold of bytes; then
// large appends may go direct, and the pages written buffered before the
// switch go to the device and leave the cache, a piece at every append:
// writing all of them back at once would hold up one append for as long as
// the device takes to write them. Each append starts the writeback of the
// next piece and drops the pieces started before, which have had an
// append's time to reach the device (fadvise never waits for pages still
// dirty or being written). Once all are started, later appends retry until
// at most a little is left (the headers, rewritten at every sample, stay
// dirty); where the system cannot say what it holds (no cachestat), a fixed
// number of tries has to do. Pinned by CacheRelease.* (power_cut_test.cpp).
class CacheRelease {
public:
    // `automatic`: the choice is the sink's own; a forced mode goes direct
    // from the start and releases nothing.
    void configure(bool automatic, uint64_t directAfter) {
        automatic_ = automatic;
        directAfter_ = automatic ? directAfter : 0;
    }

    // Whether large appends may go direct now, the sink's end being `end`.
    bool directAllowed(uint64_t end) {
        if (switched_ || !automatic_) {
            return true;
        }
        if (appended_ < directAfter_) {
            return false;
        }
        switched_ = true;
        releaseEnd_ = alignDown(end, pageBytes());
        return true;
    }

    // After an append of `bytes` to `fd`; `anyDirect`: something went direct
    // so far (else the cache holds the rest anyway, and nothing is released).
    void appended(int fd, uint64_t bytes, bool anyDirect) {
        appended_ += bytes;
        if (releaseEnd_ == 0 || !anyDirect) {
            return;
        }
        if (releaseStarted_ < releaseEnd_) {
            if (releaseStarted_ > 0) {
                sys::fadvise(fd, 0, static_cast<off_t>(releaseStarted_), POSIX_FADV_DONTNEED);
            }
            const uint64_t piece = std::min(kReleaseEvery, releaseEnd_ - releaseStarted_);
            sys::syncFileRange(fd, static_cast<off_t>(releaseStarted_), static_cast<off_t>(piece),
                               SYNC_FILE_RANGE_WRITE);
            releaseStarted_ += piece;
            releaseNext_ = appended_ + kReleaseEvery;
            return;
        }
        if (appended_ < releaseNext_) {
            return;
        }
        releaseNext_ = appended_ + kReleaseEvery;
        sys::fadvise(fd, 0, static_cast<off_t>(releaseEnd_), POSIX_FADV_DONTNEED);
        const std::optional<uint64_t> held = sys::cachedPages(fd, 0, releaseEnd_);
        if ((held.has_value() && *held * pageBytes() <= kReleaseSlack) ||
            ++releaseTries_ >= kReleaseTries) {
            releaseEnd_ = 0;
        }
    }

private:
    bool automatic_ = true;
    uint64_t directAfter_ = 0;
    uint64_t appended_ = 0;
    bool switched_ = false;
    uint64_t releaseEnd_ = 0;      // the pages of [0, releaseEnd_) are to leave the cache
    uint64_t releaseStarted_ = 0;  // on their way to the device so far
    uint64_t releaseNext_ = 0;     // `appended_` at which to try again
    int releaseTries_ = 0;
};

class FileSink : public ByteSink {
public:
    FileSink(int fd, std::string path, bool created, EndMarker marker, bool syncing)
        : fd_(fd), path_(std::move(path)), created_(created), marker_(marker),
          syncing_(syncing), nameDurable_(!created) {}
    // Over a file whose first `end` bytes are kept, given up already.
    FileSink(int fd, std::string path, uint64_t end, bool syncing)
        : fd_(fd), path_(std::move(path)), created_(false), committed_(true), size_(end),
          marker_(nullptr), syncing_(syncing), nameDurable_(true) {}
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    // Sets up direct writes as `options` say, where the file system takes
    // them.
    void enableDirect(const FileSinkOptions& options);

    bool append(std::span<const ConstBuffer> parts) override;
    bool appendCopy(std::span<const ConstBuffer> head, const FileRange& range,
                    std::span<const ConstBuffer> tail) override;
    bool writeAt(uint64_t position, const void* data, size_t size) override;
    uint64_t size() const override { return size_; }
    bool discardStaleBytes() override;
    bool sync() override;
    uint64_t directBytes() const override { return direct_.bytes(); }

private:
    bool commit();
    bool writeSpan(uint64_t position, std::span<iovec> vectors);
    bool writeDirect(uint64_t position, const uint8_t* source, size_t length);
    bool writeAllAt(uint64_t position, std::span<iovec> vectors);
    bool writeBuffersAt(uint64_t position, std::span<const ConstBuffer> parts);
    bool copyAt(uint64_t position, const FileRange& range);
    bool truncateTo(uint64_t size);
    void rollBack();

    int fd_;
    std::string path_;
    bool created_;            // the file did not exist before this sink
    bool committed_ = false;  // the path's earlier content has been given up
    uint64_t size_ = 0;
    uint64_t staleEnd_ = 0;  // end of the earlier file's bytes; at most size_ when none are left
    EndMarker marker_;
    bool syncing_;               // sync() flushes (else it does nothing)
    bool nameDurable_;           // the file's name in its folder survives a power cut
    std::string syncFailure_;    // why a flush failed; empty: none has
    bool copyInSystem_ = true;   // copy_file_range has not been refused yet
    std::vector<uint8_t> copyBuffer_;  // for copies through memory

    DirectWriter direct_;
    CacheRelease release_;
};

void FileSink::enableDirect(const FileSinkOptions& options) {
    direct_.enable(fd_, options);
    release_.configure(direct_.automatic(), options.directAfterBytes);
}

FileSink::~FileSink() {
    if (!committed_ && created_) {
        // Nothing was ever written: the path goes back to having no file,
        // unless something else has taken its place meanwhile.
        struct stat ours {};
        struct stat atPath {};
        if (sys::fstat(fd_, &ours) == 0 && sys::stat(path_.c_str(), &atPath) == 0 &&
            ours.st_dev == atPath.st_dev && ours.st_ino == atPath.st_ino) {
            sys::unlink(path_.c_str());
        }
    }
    sys::close(fd_);
}

// Gives up the earlier content of the path before the first write: the
// file is truncated, or, when it is overwritten in place, its bytes are
// covered by one marker from byte 0.
bool FileSink::commit() {
    if (committed_) {
        return true;
    }
    struct stat info {};
    if (sys::fstat(fd_, &info) != 0) {
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
    // The earlier content is given up durably before the first new byte
    // lands: else a power cut could bring the earlier file back under the
    // new one's synced frames.
    return existing == 0 || sync();
}

bool FileSink::truncateTo(uint64_t size) {
    if (sys::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
        noteWriteFailure(errno);
        return false;
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
        if (!writeSpan(size_, {vectors, count})) {
            rollBack();
            return false;
        }
        size_ += total;
        release_.appended(fd_, total, direct_.bytes() != 0);
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
    if ((first < count && !writeSpan(size_ + kHeaderBytes, {vectors + first, count - first})) ||
        !writeAllAt(size_, {&headVector, 1})) {
        rollBack();
        return false;
    }
    size_ += total;
    release_.appended(fd_, total, direct_.bytes() != 0);
    return true;
}

// A copy from another file: its bytes go from file to file inside the
// system (copy_file_range), and through memory where the system will not
// copy between the two (another file system on older kernels, a file
// system without the call). Over an earlier file the end-marker protocol
// orders the writes, and the copy takes the path of any append.
bool FileSink::appendCopy(std::span<const ConstBuffer> head, const FileRange& range,
                          std::span<const ConstBuffer> tail) {
    if (!commit()) {
        return false;
    }
    if (staleEnd_ > size_) {
        return ByteSink::appendCopy(head, range, tail);
    }
    uint64_t headBytes = 0;
    for (const ConstBuffer& part : head) {
        headBytes += part.size;
    }
    const uint64_t tailAt = size_ + headBytes + range.size;
    if (!writeBuffersAt(size_, head) || !copyAt(size_ + headBytes, range) ||
        !writeBuffersAt(tailAt, tail)) {
        rollBack();
        return false;
    }
    uint64_t total = tailAt - size_;
    for (const ConstBuffer& part : tail) {
        total += part.size;
    }
    size_ += total;
    release_.appended(fd_, total, direct_.bytes() != 0);
    return true;
}

bool FileSink::writeBuffersAt(uint64_t position, std::span<const ConstBuffer> parts) {
    std::vector<iovec> vectors;
    for (const ConstBuffer& part : parts) {
        if (part.size > 0) {
            vectors.push_back(iovec{const_cast<void*>(part.data), part.size});
        }
    }
    return writeAllAt(position, vectors);
}

// Copies the bytes of `range` to `position`. The errors that say the system
// cannot copy between these files send this and every later copy of the sink
// through memory; any other is the write's failure.
bool FileSink::copyAt(uint64_t position, const FileRange& range) {
    constexpr size_t kCopyPieceBytes = size_t{4} << 20;
    auto from = static_cast<off_t>(range.offset);
    auto to = static_cast<off_t>(position);
    size_t left = range.size;
    while (left > 0 && copyInSystem_) {
        const ssize_t copied = sys::copyFileRange(range.fd, &from, fd_, &to, left);
        if (copied > 0) {
            left -= static_cast<size_t>(copied);
            continue;
        }
        if (copied == 0) {
            setFailureReason("the file being copied from ended before the bytes it was to give",
                             false);
            return false;
        }
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP &&
            errno != EBADF) {
            noteWriteFailure(errno);
            return false;
        }
        copyInSystem_ = false;
    }
    while (left > 0) {
        const size_t piece = std::min(left, kCopyPieceBytes);
        copyBuffer_.resize(std::max(copyBuffer_.size(), piece));
        const FileRange part{range.fd, static_cast<uint64_t>(from), piece};
        iovec vector{copyBuffer_.data(), piece};
        if (!readRange(part, copyBuffer_.data()) ||
            !writeAllAt(static_cast<uint64_t>(to), {&vector, 1})) {
            return false;
        }
        from += static_cast<off_t>(piece);
        to += static_cast<off_t>(piece);
        left -= piece;
    }
    return true;
}

// Writes `vectors` from `position` on: the whole aligned blocks of the
// largest part direct when that pays, the bytes before and after them
// buffered, in file order, so that a write cut short never leaves later
// bytes without the earlier ones.
bool FileSink::writeSpan(uint64_t position, std::span<iovec> vectors) {
    if (!direct_.available() || !release_.directAllowed(size_)) {
        return writeAllAt(position, vectors);
    }
    size_t largest = 0;
    uint64_t largestAt = position;
    uint64_t at = position;
    for (size_t i = 0; i < vectors.size(); ++i) {
        if (vectors[i].iov_len > vectors[largest].iov_len) {
            largest = i;
            largestAt = at;
        }
        at += vectors[i].iov_len;
    }
    const iovec whole = vectors[largest];
    const uint64_t begin = alignUp(largestAt, direct_.blockBytes());
    const uint64_t end = alignDown(largestAt + whole.iov_len, direct_.blockBytes());
    if (end <= begin || end - begin < direct_.minBytes() ||
        (direct_.automatic() && begin < staleEnd_ && mostlyCached(fd_, begin, end - begin))) {
        return writeAllAt(position, vectors);
    }
    auto* const base = static_cast<uint8_t*>(whole.iov_base);
    const size_t before = static_cast<size_t>(begin - largestAt);
    const size_t through = static_cast<size_t>(end - largestAt);
    vectors[largest] = iovec{base, before};
    if (!writeAllAt(position, vectors.first(largest + 1)) ||
        !writeDirect(begin, base + before, through - before)) {
        return false;
    }
    vectors[largest] = iovec{base + through, whole.iov_len - through};
    return writeAllAt(end, vectors.subspan(largest));
}

// Writes `length` bytes direct at `position`, a multiple of the block size
// as `length` is. From `source` itself when it is aligned, else through the
// staging buffer. What the device will not take direct (a file system that
// refuses it, a short write at a full disk or at the file-size limit) goes
// buffered, which writes what fits and reports why the rest did not.
bool FileSink::writeDirect(uint64_t position, const uint8_t* source, size_t length) {
    const std::optional<size_t> done = direct_.write(position, source, length);
    if (!done) {
        return false;
    }
    if (*done == length) {
        return true;
    }
    iovec rest{const_cast<uint8_t*>(source + *done), length - *done};
    return writeAllAt(position + *done, {&rest, 1});
}

// Writes every byte of `vectors` from `position` on, in pieces of at most
// kBufferedPieceBytes when there are more than kWholeWriteBytes, resuming
// after short writes. pwritev rather than writev, so that the position is
// ours and a short write that was rolled back cannot leave the file offset
// astray.
bool FileSink::writeAllAt(uint64_t position, std::span<iovec> vectors) {
    constexpr size_t kPieceVectors = 16;
    const size_t page = pageBytes();
    size_t first = 0;
    while (first < vectors.size() && vectors[first].iov_len == 0) {
        ++first;
    }
    size_t remaining = 0;
    for (size_t i = first; i < vectors.size(); ++i) {
        remaining += vectors[i].iov_len;
    }
    while (first < vectors.size()) {
        // A piece ends on a page boundary of the file: a page written in two
        // parts that the cache does not hold would be read from the disk
        // for the first part.
        const size_t most =
            remaining <= kWholeWriteBytes
                ? remaining
                : static_cast<size_t>(alignDown(position + kBufferedPieceBytes, page) - position);
        iovec piece[kPieceVectors];
        int count = 0;
        size_t bytes = 0;
        for (size_t i = first;
             i < vectors.size() && count < static_cast<int>(kPieceVectors) && bytes < most; ++i) {
            const size_t take = std::min(vectors[i].iov_len, most - bytes);
            piece[count++] = iovec{vectors[i].iov_base, take};
            bytes += take;
        }
        const ssize_t written = sys::pwritev(fd_, piece, count, static_cast<off_t>(position));
        if (written < 0) {
            noteWriteFailure(errno);
            return false;
        }
        if (written == 0) {
            errno = ENOSPC;
            noteWriteFailure(errno);
            return false;
        }
        position += static_cast<uint64_t>(written);
        remaining -= static_cast<size_t>(written);
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
    sys::ftruncate(fd_, static_cast<off_t>(size_));
    staleEnd_ = std::min(staleEnd_, size_);
    errno = savedErrno;
}

// A failed flush is never tried again as if nothing had happened: the
// system may have dropped the pages that it could not write, and a later
// flush that succeeds would say nothing of them. From then on every flush
// of this sink fails with the first one's reason.
bool FileSink::sync() {
    if (!syncing_ || !committed_) {
        return true;  // syncing is off, or nothing written yet
    }
    if (syncFailure_.empty() && !nameDurable_) {
        // A new file: its name in the folder is made durable first, or a
        // power cut could take the whole file, flushed data and all, with it.
        if (sys::syncFolderOf(path_.c_str()) != 0) {
            syncFailure_ = std::string("the folder of the file could not be flushed to the disk: ") +
                           std::strerror(errno);
        } else {
            nameDurable_ = true;
        }
    }
    if (syncFailure_.empty() && sys::fdatasync(fd_) != 0) {
        syncFailure_ = std::string("the file could not be flushed to the disk: ") +
                       std::strerror(errno);
    }
    if (!syncFailure_.empty()) {
        setFailureReason(syncFailure_, false);
        return false;
    }
    return true;
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
    const int flags = sys::fcntl(fd, F_GETFL);
    if (flags < 0 || sys::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        setFailureReason(std::strerror(errno));
        sys::close(fd);
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
        int fd = sys::open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        created = false;
        if (fd < 0 && errno == ENOENT) {
            fd = sys::open(path, O_WRONLY | O_CLOEXEC | O_CREAT | O_EXCL | O_NOCTTY, 0666);
            created = true;
            if (fd < 0 && errno == EEXIST) {
                struct stat link {};
                if (sys::lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
                    // O_EXCL never follows a link: one that leads nowhere
                    // stays as it is rather than making its target.
                    setFailureReason("it is a symbolic link to a file that does not exist");
                    return -1;
                }
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
        if (sys::fstat(fd, &info) != 0 || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) ||
            S_ISDIR(info.st_mode) || sys::lseek(fd, 0, SEEK_CUR) < 0) {
            setFailureReason("it is not a file that a movie can be written to");
            sys::close(fd);
            return -1;
        }
        return blocking(fd);
    }
    setFailureReason("the file keeps changing while it is opened");
    return -1;
}

}  // namespace

std::unique_ptr<ByteSink> createFileSink(const char* path, EndMarker marker,
                                         const FileSinkOptions& options) {
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
    auto sink = std::make_unique<FileSink>(fd, path, created, marker, options.sync);
    sink->enableDirect(options);
    return sink;
}

std::unique_ptr<ByteSink> continueFileSink(const char* path, uint64_t end,
                                           const FileSinkOptions& options) {
    if (path == nullptr || path[0] == '\0') {
        setFailureReason("no file name was given");
        return nullptr;
    }
    const int fd = sys::open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat info {};
    if (fd < 0 || sys::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) < end) {
        setFailureReason(fd < 0 ? std::strerror(errno) : "it is not the file it was");
        if (fd >= 0) {
            sys::close(fd);
        }
        return nullptr;
    }
    if (blocking(fd) < 0) {
        return nullptr;
    }
    ignoreFileSizeSignalIfDefault();
    auto sink = std::make_unique<FileSink>(fd, path, end, options.sync);
    if (static_cast<uint64_t>(info.st_size) > end) {
        if (sys::ftruncate(fd, static_cast<off_t>(end)) != 0) {
            noteWriteFailure(errno);
            return nullptr;
        }
    }
    sink->enableDirect(options);
    return sink;
}

}  // namespace avifile
