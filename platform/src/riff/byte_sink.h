// Where the container's bytes go: a file, or memory in tests.
#ifndef AVIFILE_RIFF_BYTE_SINK_H
#define AVIFILE_RIFF_BYTE_SINK_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace avifile {

struct ConstBuffer {
    const void* data;
    size_t size;
};

// Fills `marker` with the bytes (at most 8) that tell a reader to skip the
// `staleBytes` bytes left from an earlier file beyond the end; returns how
// many bytes it used.
using EndMarker = size_t (*)(uint64_t staleBytes, uint8_t (&marker)[8]);

class ByteSink {
public:
    virtual ~ByteSink() = default;

    // Appends the parts at the end, handing them to the system in one call
    // where it can (no copy into a buffer of its own). On failure, false;
    // the sink's end is then back where it was before the call.
    virtual bool append(std::span<const ConstBuffer> parts) = 0;

    // Overwrites bytes already written (or extends the end).
    virtual bool writeAt(uint64_t position, const void* data, size_t size) = 0;

    // The end position: the bytes appended so far.
    virtual uint64_t size() const = 0;

    // Cuts away what is left of an earlier file beyond the end, once the
    // writer is done with the sink.
    virtual bool discardStaleBytes() { return true; }
};

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
// the sink's own), and a failed append truncates the file back to its end
// before the call. Creating one sets SIGXFSZ to ignored when it is at its
// default action, so that passing the file-size limit fails the append
// (EFBIG) instead of ending the process.
std::unique_ptr<ByteSink> createFileSink(const char* path, EndMarker marker = nullptr);

// A sink that goes on writing the existing regular file at `path` after its
// first `end` bytes, which it keeps; the file is cut to `end` first. Null
// (with a failure reason) when the file cannot be opened or cut.
std::unique_ptr<ByteSink> continueFileSink(const char* path, uint64_t end);

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
