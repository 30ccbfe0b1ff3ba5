// The file and stream objects behind the AVIFile handles, and the registry
// that hands out handles and counts their references.
//
// A handle is an opaque number, never a pointer to memory: a call with a
// handle looks it up in the registry, so a null, foreign or already released
// handle is refused without anything being dereferenced, and a released
// handle's number is never given out again.
#ifndef AVIFILE_API_HANDLES_H
#define AVIFILE_API_HANDLES_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "avifile.h"
#include "codecs/encoder.h"
#include "container/avi_writer.h"

namespace avifile::api {

// An open AVI file. Its mutex serialises everything that touches the writer
// and the state of the file's streams.
struct FileObject {
    std::mutex mutex;
    std::unique_ptr<AviWriter> writer;
    // A compressing stream was made over one of its streams. A file that is
    // not a recording and holds nothing (no format, no sample) when released
    // is dropped unwritten, leaving its path as it was.
    bool recording = false;

    // Counted by the registry under its own lock.
    ULONG handleReferences = 1;
    ULONG streamHolds = 0;
};

enum class StreamKind {
    Raw,         // a stream of the file; samples go to the container as given
    FullFrames,  // pass-through over a raw stream, for uncompressed DIBs
    Codec,       // compresses each DIB frame before it goes to the raw stream
};

// What a compressing stream (Full Frames or codec) knows of its frames.
// Guarded by the file's mutex.
struct CompressionState {
    codecs::EncoderSettings settings;
    std::unique_ptr<codecs::Encoder> encoder;
    bool encoderOpened = false;             // open was tried on `encoder`
    std::vector<uint8_t> inputFormat;       // the DIB header accepted last
    std::vector<uint8_t> compressedFormat;  // what the raw stream's 'strf' got
    uint32_t imageBytes = 0;           // size of one frame of that format
    bool formatAccepted = false;
    // After a failed write the encoder's reference frame is not in the file,
    // so the next frame starts a fresh encoder (and thus a key frame).
    bool restartEncoder = false;
};

struct StreamObject {
    StreamKind kind = StreamKind::Raw;
    std::shared_ptr<FileObject> file;
    int number = -1;                       // the container's stream number
    AVISTREAMINFOA info{};                 // the header the raw stream was made with
    std::shared_ptr<StreamObject> source;  // the raw stream under a compressing one
    CompressionState compression;
    bool formatSet = false;  // raw streams: a format was given (file's mutex)

    // Counted by the registry under its own lock.
    ULONG handleReferences = 1;
    ULONG compressingHolds = 0;
};

class Registry {
public:
    static Registry& instance();

    // Registers a new object with one handle reference. A raw stream holds
    // its file, a compressing stream its source, until it goes; null when
    // that file or source has already gone.
    PAVIFILE addFile(std::shared_ptr<FileObject> file);
    PAVISTREAM addStream(std::shared_ptr<StreamObject> stream);

    // The live object behind a handle, or null.
    std::shared_ptr<FileObject> file(PAVIFILE handle) const;
    std::shared_ptr<StreamObject> stream(PAVISTREAM handle) const;

    // Gives back one handle reference. Returns the references left (handle
    // references plus those of dependent streams); 0 for an unknown handle.
    // A file whose last reference went is completed on disk, unless it was
    // never a recording and holds nothing.
    ULONG releaseFile(PAVIFILE handle);
    ULONG releaseStream(PAVISTREAM handle);

    int liveObjects() const;

private:
    Registry() = default;
    void dropStream(const std::shared_ptr<StreamObject>& stream,
                    std::vector<std::shared_ptr<FileObject>>& completed);
    void dropFileHold(const std::shared_ptr<FileObject>& file,
                      std::vector<std::shared_ptr<FileObject>>& completed);
    static void complete(const std::vector<std::shared_ptr<FileObject>>& files);

    mutable std::mutex mutex_;
    uint64_t nextNumber_ = 1;
    int live_ = 0;
    std::unordered_map<uintptr_t, std::shared_ptr<FileObject>> files_;
    std::unordered_map<uintptr_t, std::shared_ptr<StreamObject>> streams_;
};

}  // namespace avifile::api

#endif  // AVIFILE_API_HANDLES_H
