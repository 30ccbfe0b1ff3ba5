// Where the container's bytes go: a file, or memory in tests.
#ifndef AVIFILE_RIFF_BYTE_SINK_H
#define AVIFILE_RIFF_BYTE_SINK_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "avifile_hooks.h"

namespace avifile {

struct ConstBuffer {
    const void* data;
    size_t size;
};

// Bytes of another file open for reading: `size` bytes from `offset` on.
struct FileRange {
    int fd = -1;
    uint64_t offset = 0;
    size_t size = 0;
};

// Reads the bytes of `range` into `out`; false, with the reason, when they
// cannot be read whole.
bool readRange(const FileRange& range, void* out);

// Fills `marker` with the bytes (at most 8) that tell a reader to skip the
// `staleBytes` bytes left from an earlier file beyond the end; returns how
// many bytes it used.
using EndMarker = size_t (*)(uint64_t staleBytes, uint8_t (&marker)[8]);

// The first bytes of an earlier file, where its headers are, that a file
// sink writing over it zeroes (after the marker at byte 0) before the first
// new byte: a power cut then never brings back the earlier file's headers
// under the new file's first bytes.
constexpr uint64_t kOverwrittenHeadBytes = 256u << 10;

class ByteSink {
public:
    virtual ~ByteSink() = default;

    // Appends the parts at the end, handing them to the system straight
    // from the caller's memory (no copy into a buffer of its own). On
    // failure, false; the sink's end is then back where it was before the
    // call.
    virtual bool append(std::span<const ConstBuffer> parts) = 0;

    // Appends `head`, the bytes of `range`, then `tail`, all or nothing as
    // append does. This one reads the range into memory and appends it; a
    // file sink copies it inside the system where the system can, so that
    // the bytes never pass through the process. A range that cannot be read
    // whole fails the call with the reason.
    virtual bool appendCopy(std::span<const ConstBuffer> head, const FileRange& range,
                            std::span<const ConstBuffer> tail);

    // Overwrites bytes already written (or extends the end).
    virtual bool writeAt(uint64_t position, const void* data, size_t size) = 0;

    // The end position: the bytes appended so far.
    virtual uint64_t size() const = 0;

    // Cuts away what is left of an earlier file beyond the end, once the
    // writer is done with the sink.
    virtual bool discardStaleBytes() { return true; }

    // Makes what was written durable: on the device, surviving a power cut
    // (for a new file, its name in the folder too). False, with the reason,
    // when the system could not; a sink whose flush failed once fails every
    // later one, since what it could not write may be lost. A sink made
    // with syncing off does nothing here.
    virtual bool sync() { return true; }

    // Bytes that went to the device with direct I/O (none for a sink that
    // has no device).
    virtual uint64_t directBytes() const { return 0; }
};

// How a file sink writes (see setWriteMode).
struct FileSinkOptions {
    WriteMode mode = WriteMode::Automatic;
    // An append goes direct only when at least this many of its bytes form
    // whole aligned blocks. Below that, waiting for the device costs more
    // than the system's copy into its cache (640x480 frames of 900 KB wrote
    // 1.4x slower direct; 1920x1080 ones of 6.2 MB ran at par on a short
    // recording and 2.3x faster on a 4 GiB one).
    size_t directMinBytes = size_t{1} << 20;
    // The file positions where direct writes start and end are multiples
    // of this (raised to what the file system needs). 0: the page size, so
    // that direct writes and the buffered writes around them never share a
    // page of the cache.
    size_t directBlockBytes = 0;
    // The automatic choice writes this many bytes buffered before large
    // appends may go direct: a short recording fits in the system's dirty
    // memory, where a buffered write is a plain copy that direct I/O cannot
    // beat, while a long one would fill the cache and then wait for the
    // device anyway. At the switch the bytes written so far are pushed to
    // the device in the background and dropped from the cache once there.
    // Forced modes ignore it.
    uint64_t directAfterBytes = uint64_t{2} << 30;
    // Whether sync() flushes to the device (AVIFILE_SYNC): the writer flushes
    // at every sync interval and in the steps of finishing a file, so that a
    // finished file is durable and a power cut between the steps leaves a
    // file that can be repaired. Off, a power cut may lose any of the file.
    bool sync = true;
};

// The options that the library's settings give (setWriteMode).
FileSinkOptions fileSinkOptions();

// A file at `path`, opened for writing; null (with a failure reason) when it
// cannot be, or when it is not a file that takes writes at any position (a
// pipe, a socket, a terminal, a folder). The path is left as it was until
// the first byte is written: a sink dropped before that leaves an existing
// file untouched and removes the file it created. At the first write an
// existing file is truncated, or, with a marker, overwritten in place, which
// spares the system freeing and allocating its pages again: the old bytes
// beyond the end are then covered by the marker (from byte 0 on), which
// each append moves to the new end before the append's own first bytes
// replace the marker, so a reader of an unfinished file never takes old
// bytes for new data, even after a crash in the middle of a write;
// discardStaleBytes() cuts them away.
// Appends are handed to the system before append returns (no buffering of
// the sink's own; with direct I/O they are on the device by then), and a
// failed append truncates the file back to its end before the call. Large
// appends go direct as `options` say; the bytes in the file are the same.
// Creating one sets SIGXFSZ to ignored when it is at its default action, so
// that passing the file-size limit fails the append (EFBIG) instead of
// ending the process.
std::unique_ptr<ByteSink> createFileSink(const char* path, EndMarker marker = nullptr,
                                         const FileSinkOptions& options = fileSinkOptions());

// A sink that goes on writing the existing regular file at `path` after its
// first `end` bytes, which it keeps; the file is cut to `end` first. Null
// (with a failure reason) when the file cannot be opened or cut.
std::unique_ptr<ByteSink> continueFileSink(const char* path, uint64_t end,
                                           const FileSinkOptions& options = fileSinkOptions());

// Bytes in memory, for tests. With a capacity, appends past it fail as a
// full disk would.
class MemorySink : public ByteSink {
public:
    explicit MemorySink(uint64_t capacity = UINT64_MAX) : capacity_(capacity) {}
    bool append(std::span<const ConstBuffer> parts) override;
    bool writeAt(uint64_t position, const void* data, size_t size) override;
    uint64_t size() const override { return bytes_.size(); }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    uint64_t capacity_;
    std::vector<uint8_t> bytes_;
};

}  // namespace avifile

#endif  // AVIFILE_RIFF_BYTE_SINK_H
