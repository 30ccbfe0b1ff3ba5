// The AVI container: writes the RIFF tree of an AVI file (headers, movi
// samples, idx1, and the large-file extension with its indexes) to a byte
// sink. Knows nothing of handles or codecs.
#ifndef AVIFILE_CONTAINER_AVI_WRITER_H
#define AVIFILE_CONTAINER_AVI_WRITER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "avifile.h"
#include "riff/byte_sink.h"

namespace avifile {

struct ContainerSettings {
    // Bytes after which a RIFF is closed and the next sample starts a new
    // extension RIFF ('AVIX').
    uint64_t riffLimit = uint64_t{1} << 30;
    // Entries reserved in each stream's super index: the most RIFFs a file
    // can have. The last one grows up to the 4 GiB that its size field
    // allows; after that, samples are refused with AVIERR_FILEWRITE.
    uint32_t superIndexEntries = 1024;
    // Seconds of media after which the samples written are flushed to the
    // device (ByteSink::sync); 0: never.
    double syncSeconds = 0.0;
};

// The file sink for an AVI file at `path`: an existing file is overwritten
// in place (much faster than truncating it), with what is left of it beyond
// the new end covered by a 'JUNK' chunk until the writer finishes and cuts
// it away. Null when the file cannot be created.
std::unique_ptr<ByteSink> createAviFileSink(const char* path,
                                            const FileSinkOptions& options = fileSinkOptions());

struct FileLayout;

// The numbers of the recordings begun from now on: `first`, first + 1 and
// so on; 0 (the default) draws each at random. Only tests set it.
void setRecordingNumberStart(uint64_t first);

class AviWriter {
public:
    AviWriter(std::unique_ptr<ByteSink> sink, const ContainerSettings& settings);

    // Takes up a recording that an earlier writer left unfinished, from its
    // layout read back from the file (see repair.cpp); the sink's end is the
    // end of the file's last whole chunk, and the header block that the
    // layout describes is the one on disk. finish() then completes the file
    // as the earlier writer would have. Null when the layout's header block
    // would not have the size `headerBytes` of the one on disk.
    // With `copyStale`, the header copy on disk is damaged: finish() writes
    // it again once all else is durable.
    static std::unique_ptr<AviWriter> resume(std::unique_ptr<ByteSink> sink, FileLayout layout,
                                             size_t headerBytes, bool copyStale = false);
    // Without finish(), the file stays as a crash would leave it: readable
    // by scanning, no indexes for the RIFF being filled, every sample
    // counted in the headers. Completing it is left to finish().
    ~AviWriter();
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    // Adds a stream with the header the caller filled; returns its number.
    // Streams are added before the first sample.
    int addStream(const AVISTREAMINFOA& info);

    // Sets the handler code written into the stream's header (a compressing
    // stream puts its compressor's code there).
    void setHandler(int stream, DWORD fccHandler);

    // The stream's format (its 'strf'), set before its first sample. Setting
    // the same bytes again is accepted; a different format after samples
    // were written gives AVIERR_UNSUPPORTED.
    HRESULT setFormat(int stream, const void* format, size_t bytes);

    // Appends one sample. The chunk is 'NNdb' when the stream's format is an
    // uncompressed DIB, 'NNdc' otherwise. Zero bytes writes an empty sample.
    // Before it returns, the frame counts of the header block on disk count
    // the sample (a few small writes in place), so that a file whose writer
    // dies at any moment tells readers its whole length.
    // AVIERR_FILEWRITE when the sink refuses the bytes; nothing of the
    // sample then counts, and the writer stays usable. When only the counts
    // could not be written, the sample stays in the file and in its indexes
    // and the call still reports AVIERR_FILEWRITE. A refused write leaves
    // the sink's reason, a refusal of the writer's own its reason
    // (failure_reason.h).
    HRESULT writeSample(int stream, const void* data, size_t bytes, bool keyFrame);
    // The same with the sample's bytes copied from another file, without
    // passing through memory where the system allows (ByteSink::appendCopy).
    // An uncompressed frame's check takes `digest` (frameDigest of its bytes,
    // as the frame check of the file it comes from holds it), else its bytes
    // are read for it.
    HRESULT writeSample(int stream, const FileRange& data, bool keyFrame,
                        std::optional<uint64_t> digest = std::nullopt);

    // Whether anything was given to be written: a stream's format or a
    // sample.
    bool holdsContent() const;

    // Samples written to the stream so far.
    int64_t length(int stream) const;

    // Writes the indexes and final headers. Idempotent; further samples are
    // refused afterwards. A video stream that never got a format is
    // described as uncompressed 24-bit frames of its frame rectangle, so that
    // readers take the file for an empty movie of that size.
    HRESULT finish();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace avifile

#endif  // AVIFILE_CONTAINER_AVI_WRITER_H
