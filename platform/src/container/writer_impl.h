// The writer's inner state and steps, shared by its files: avi_writer.cpp
// (samples, headers, finishing) and riff_sequence.cpp (opening and closing
// RIFFs, the limit).
#ifndef AVIFILE_CONTAINER_WRITER_IMPL_H
#define AVIFILE_CONTAINER_WRITER_IMPL_H

#include <algorithm>
#include <memory>
#include <vector>

#include "container/avi_writer.h"
#include "container/header_block.h"
#include "container/writer_state.h"
#include "riff/chunk_writer.h"

namespace avifile {

// The largest sample: the standard index keeps a flag in the top bit of
// the size.
inline constexpr uint64_t kMaxSampleBytes = 0x7FFFFFFF;

// The largest extent of a RIFF: its 32-bit size field plus its header.
inline constexpr uint64_t kMaxRiffExtent = kMaxChunkSize + 8;

struct AviWriter::Impl {
    // Without a sink, one that refuses every byte: each write then fails
    // with AVIERR_FILEWRITE instead of touching a null pointer.
    Impl(std::unique_ptr<ByteSink> ownedSink, const ContainerSettings& chosen)
        : sink(ownedSink != nullptr ? std::move(ownedSink) : std::make_unique<MemorySink>(0)),
          chunks(*sink),
          settings(chosen) {
        state.superIndexCapacity = std::max<uint32_t>(settings.superIndexEntries, 1);
    }

    HRESULT writeHeader();
    HRESULT openRiff();
    HRESULT closeRiff();
    bool refreshHeader();
    bool writeCounts();
    void describeStreamsWithoutFormat();
    void patchSizesInPlace();
    uint64_t projectedRiffExtent(int stream, size_t bytes) const;
    uint64_t riffLimit() const;
    bool superIndexFull() const;
    bool syncIfDue(const StreamState& stream);

    std::unique_ptr<ByteSink> sink;
    ChunkWriter chunks;
    ContainerSettings settings;
    WriterState state;
    std::vector<uint8_t> headerBlock;  // as on disk
    HeaderLayout headerLayout;
    std::vector<ByteRange> changedRanges;
    // A write of the counts failed: the next one rewrites the whole block.
    bool headerOnDiskStale = false;
    double syncedSeconds = 0.0;  // media time of the last flush
    bool finished = false;
    HRESULT finishResult = AVIERR_OK;
};

}  // namespace avifile

#endif  // AVIFILE_CONTAINER_WRITER_IMPL_H
