// Serialisation of the AVI records, one line per field in file order.
#include "container/avi_records.h"

#include "riff/little_endian.h"

namespace avifile {

void serialize(const MainHeader& header, std::vector<uint8_t>& out) {
    LEWriter w(out);
    w.u32(header.microSecPerFrame);
    w.u32(header.maxBytesPerSec);
    w.u32(header.paddingGranularity);
    w.u32(header.flags);
    w.u32(header.totalFrames);
    w.u32(header.initialFrames);
    w.u32(header.streams);
    w.u32(header.suggestedBufferSize);
    w.u32(header.width);
    w.u32(header.height);
    w.zeros(16);  // dwReserved[4]
}

void serialize(const StreamHeader& header, std::vector<uint8_t>& out) {
    LEWriter w(out);
    w.u32(header.type);
    w.u32(header.handler);
    w.u32(header.flags);
    w.u16(header.priority);
    w.u16(header.language);
    w.u32(header.initialFrames);
    w.u32(header.scale);
    w.u32(header.rate);
    w.u32(header.start);
    w.u32(header.length);
    w.u32(header.suggestedBufferSize);
    w.u32(header.quality);
    w.u32(header.sampleSize);
    w.i16(header.frameLeft);
    w.i16(header.frameTop);
    w.i16(header.frameRight);
    w.i16(header.frameBottom);
}

void serializeExtensionHeader(uint32_t totalFrames, std::vector<uint8_t>& out) {
    LEWriter w(out);
    w.u32(totalFrames);                  // dwTotalFrames
    w.zeros(kExtensionHeaderBytes - 4);  // dwFuture
}

void serializeSuperIndex(uint32_t chunkId, std::span<const SuperIndexEntry> entries,
                         uint32_t capacity, std::vector<uint8_t>& out) {
    LEWriter w(out);
    w.u16(4);                                       // wLongsPerEntry
    w.u8(0);                                        // bIndexSubType
    w.u8(kIndexOfIndexes);                          // bIndexType
    w.u32(static_cast<uint32_t>(entries.size()));  // nEntriesInUse
    w.u32(chunkId);                                 // dwChunkId
    w.zeros(12);                                    // dwReserved[3]
    for (const SuperIndexEntry& entry : entries) {
        w.u64(entry.offset);
        w.u32(entry.size);
        w.u32(entry.duration);
    }
    const size_t unused = capacity > entries.size() ? capacity - entries.size() : 0;
    w.zeros(unused * kSuperIndexEntryBytes);
}

void serializeStandardIndexHeader(uint32_t chunkId, uint32_t entries, uint64_t baseOffset,
                                  std::vector<uint8_t>& out) {
    LEWriter w(out);
    w.u16(2);               // wLongsPerEntry
    w.u8(0);                // bIndexSubType
    w.u8(kIndexOfChunks);   // bIndexType
    w.u32(entries);         // nEntriesInUse
    w.u32(chunkId);         // dwChunkId
    w.u64(baseOffset);      // qwBaseOffset
    w.u32(0);               // dwReserved3
}

void serialize(const StandardIndexEntry& entry, std::vector<uint8_t>& out) {
    LEWriter w(out);
    w.u32(entry.offset);
    w.u32(entry.sizeAndFlag);
}

void serialize(const FirstIndexEntry& entry, std::vector<uint8_t>& out) {
    LEWriter w(out);
    w.u32(entry.chunkId);
    w.u32(entry.flags);
    w.u32(entry.offset);
    w.u32(entry.size);
}

}  // namespace avifile
