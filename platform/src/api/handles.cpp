// Handle numbers and reference counts of files and streams.
#include "api/handles.h"

#include <utility>

#include "api/failure_reason.h"

namespace avifile::api {
namespace {

// Handles are numbers with a kind in the low bits, so that a file handle
// given where a stream is expected (or the reverse) is simply unknown.
constexpr uintptr_t kFileTag = 0x1;
constexpr uintptr_t kStreamTag = 0x2;
constexpr unsigned kTagBits = 4;

uintptr_t handleValue(const void* handle) { return reinterpret_cast<uintptr_t>(handle); }

}  // namespace

Registry& Registry::instance() {
    // Never destroyed: objects still open when the program ends are left to
    // the system rather than torn down in an unknown order at exit.
    static Registry* const registry = new Registry;
    return *registry;
}

PAVIFILE Registry::addFile(std::shared_ptr<FileObject> file) {
    std::lock_guard lock(mutex_);
    const uintptr_t value = (nextNumber_++ << kTagBits) | kFileTag;
    files_.emplace(value, std::move(file));
    ++live_;
    return reinterpret_cast<PAVIFILE>(value);
}

PAVISTREAM Registry::addStream(std::shared_ptr<StreamObject> stream) {
    std::lock_guard lock(mutex_);
    // What the stream would hold may have lost its last reference since the
    // caller looked its handle up (a release on another thread).
    if (stream->source) {
        StreamObject& source = *stream->source;
        if (source.handleReferences + source.compressingHolds == 0) {
            return nullptr;
        }
        ++source.compressingHolds;
    } else {
        FileObject& file = *stream->file;
        if (file.handleReferences + file.streamHolds == 0) {
            return nullptr;
        }
        ++file.streamHolds;
    }
    const uintptr_t value = (nextNumber_++ << kTagBits) | kStreamTag;
    streams_.emplace(value, std::move(stream));
    ++live_;
    return reinterpret_cast<PAVISTREAM>(value);
}

std::shared_ptr<FileObject> Registry::file(PAVIFILE handle) const {
    std::lock_guard lock(mutex_);
    const auto found = files_.find(handleValue(handle));
    return found == files_.end() ? nullptr : found->second;
}

std::shared_ptr<StreamObject> Registry::stream(PAVISTREAM handle) const {
    std::lock_guard lock(mutex_);
    const auto found = streams_.find(handleValue(handle));
    return found == streams_.end() ? nullptr : found->second;
}

ULONG Registry::releaseFile(PAVIFILE handle) {
    std::vector<std::shared_ptr<FileObject>> completed;
    ULONG remaining = 0;
    {
        std::lock_guard lock(mutex_);
        const auto found = files_.find(handleValue(handle));
        if (found == files_.end()) {
            return 0;
        }
        const std::shared_ptr<FileObject> file = found->second;
        if (--file->handleReferences == 0) {
            files_.erase(found);
        }
        remaining = file->handleReferences + file->streamHolds;
        if (remaining == 0) {
            --live_;
            completed.push_back(file);
        }
    }
    complete(completed);
    return remaining;
}

ULONG Registry::releaseStream(PAVISTREAM handle) {
    std::vector<std::shared_ptr<FileObject>> completed;
    ULONG remaining = 0;
    {
        std::lock_guard lock(mutex_);
        const auto found = streams_.find(handleValue(handle));
        if (found == streams_.end()) {
            return 0;
        }
        const std::shared_ptr<StreamObject> stream = found->second;
        if (--stream->handleReferences == 0) {
            streams_.erase(found);
        }
        remaining = stream->handleReferences + stream->compressingHolds;
        if (remaining == 0) {
            dropStream(stream, completed);
        }
    }
    complete(completed);
    return remaining;
}

int Registry::liveObjects() const {
    std::lock_guard lock(mutex_);
    return live_;
}

void Registry::dropStream(const std::shared_ptr<StreamObject>& stream,
                          std::vector<std::shared_ptr<FileObject>>& completed) {
    --live_;
    if (stream->source) {
        const std::shared_ptr<StreamObject>& source = stream->source;
        if (--source->compressingHolds == 0 && source->handleReferences == 0) {
            dropStream(source, completed);
        }
    } else {
        dropFileHold(stream->file, completed);
    }
}

void Registry::dropFileHold(const std::shared_ptr<FileObject>& file,
                            std::vector<std::shared_ptr<FileObject>>& completed) {
    if (--file->streamHolds == 0 && file->handleReferences == 0) {
        --live_;
        completed.push_back(file);
    }
}

void Registry::complete(const std::vector<std::shared_ptr<FileObject>>& files) {
    // Outside the registry's lock: completing writes the indexes, and other
    // files' calls need not wait for that. The release call returns a count,
    // as the platform's does; the reason left for lastFailureReason is
    // finishing's own: none when the file was finished, else why not. A
    // release that finishes nothing (the clean-up after a failed creation)
    // leaves the reason of the failure before it.
    for (const std::shared_ptr<FileObject>& file : files) {
        std::lock_guard lock(file->mutex);
        if (!file->writer || !(file->recording || file->writer->holdsContent())) {
            continue;
        }
        clearFailureReason();
        if (file->writer->finish() != AVIERR_OK && failureReason().empty()) {
            setFailureReason("the file could not be written");
        }
    }
}

}  // namespace avifile::api
