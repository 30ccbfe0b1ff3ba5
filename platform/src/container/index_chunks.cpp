// Building the index chunks of a RIFF.
#include "container/index_chunks.h"

#include <algorithm>

namespace avifile {

uint64_t standardIndexExtent(size_t entries) {
    return chunkExtent(kStandardIndexHeaderBytes + uint64_t{kStandardIndexEntryBytes} * entries);
}

uint64_t firstIndexExtent(size_t entries) {
    return chunkExtent(uint64_t{kFirstIndexEntryBytes} * entries);
}

ChunkStatus appendStandardIndex(ChunkWriter& writer, const StreamState& stream,
                                uint64_t baseOffset, uint64_t writerStart,
                                SuperIndexEntry& entry) {
    std::vector<uint8_t> data;
    data.reserve(kStandardIndexHeaderBytes + kStandardIndexEntryBytes * stream.riffSamples.size());
    serializeStandardIndexHeader(stream.chunkId, static_cast<uint32_t>(stream.riffSamples.size()),
                                 baseOffset, data);
    uint64_t duration = 0;
    for (const SampleRecord& sample : stream.riffSamples) {
        StandardIndexEntry item;
        item.offset = static_cast<uint32_t>(sample.position + 8 - baseOffset);
        item.sizeAndFlag = sample.size | (sample.keyFrame ? 0 : kStandardIndexDeltaFrame);
        serialize(item, data);
        duration += stream.info.dwSampleSize > 0 ? sample.size / stream.info.dwSampleSize : 1;
    }
    const uint64_t position = writer.sink().size();
    const ChunkStatus status = writer.appendChunk(stream.indexId, data.data(), data.size());
    if (status == ChunkStatus::ok) {
        entry.offset = writerStart + position;
        entry.size = static_cast<uint32_t>(data.size() + 8);
        entry.duration = static_cast<uint32_t>(std::min<uint64_t>(duration, UINT32_MAX));
    }
    return status;
}

ChunkStatus appendFirstIndex(ChunkWriter& writer, const std::vector<FirstIndexEntry>& entries) {
    std::vector<uint8_t> data;
    data.reserve(kFirstIndexEntryBytes * entries.size());
    for (const FirstIndexEntry& entry : entries) {
        serialize(entry, data);
    }
    return writer.appendChunk(kFirstIndexId, data.data(), data.size());
}

}  // namespace avifile
