// The AVI records, one line per field in file order: each serialize, then
// the parse that reads the same fields back.
#include "container/avi_records.h"

#include <algorithm>

#include "riff/little_endian.h"

// The digest is computed inline: no library is loaded for it.
#define XXH_INLINE_ALL
#include <xxhash.h>

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

uint64_t frameDigest(std::span<const uint8_t> frame) {
    // The size is the seed: a frame cut to another length never keeps its
    // digest.
    return XXH3_64bits_withSeed(frame.data(), frame.size(), frame.size());
}

std::optional<uint64_t> frameDigest(const ByteSource& source, uint64_t at, uint64_t size) {
    XXH3_state_t state;
    XXH3_INITSTATE(&state);
    XXH3_64bits_reset_withSeed(&state, size);
    constexpr uint64_t kPiece = 1u << 20;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min(size, kPiece)));
    for (uint64_t done = 0; done < size;) {
        const auto count = static_cast<size_t>(std::min(size - done, kPiece));
        if (!source.read(at + done, piece.data(), count)) {
            return std::nullopt;
        }
        XXH3_64bits_update(&state, piece.data(), count);
        done += count;
    }
    return XXH3_64bits_digest(&state);
}

void serialize(const FrameCheck& check, std::vector<uint8_t>& out) {
    LEWriter w(out);
    w.u32(kFrameCheckTag);
    w.u64(check.recording);
    w.u64(check.digest);
}

void serializeRecordingMark(uint64_t recording, std::vector<uint8_t>& out) {
    LEWriter w(out);
    w.u32(kRecordingMarkTag);
    w.u64(recording);
}

void serialize(const BitmapInfoHeader& header, std::vector<uint8_t>& out) {
    LEWriter w(out);
    w.u32(header.size);
    w.u32(static_cast<uint32_t>(header.width));
    w.u32(static_cast<uint32_t>(header.height));
    w.u16(header.planes);
    w.u16(header.bitCount);
    w.u32(header.compression);
    w.u32(header.sizeImage);
    w.u32(static_cast<uint32_t>(header.xPelsPerMeter));
    w.u32(static_cast<uint32_t>(header.yPelsPerMeter));
    w.u32(header.clrUsed);
    w.u32(header.clrImportant);
}

std::optional<MainHeader> parseMainHeader(std::span<const uint8_t> data) {
    LEReader r(data.data(), data.size());
    MainHeader header;
    header.microSecPerFrame = r.u32();
    header.maxBytesPerSec = r.u32();
    header.paddingGranularity = r.u32();
    header.flags = r.u32();
    header.totalFrames = r.u32();
    header.initialFrames = r.u32();
    header.streams = r.u32();
    header.suggestedBufferSize = r.u32();
    header.width = r.u32();
    header.height = r.u32();
    r.skip(16);  // dwReserved[4]
    return r.whole() ? std::optional(header) : std::nullopt;
}

std::optional<StreamHeader> parseStreamHeader(std::span<const uint8_t> data) {
    LEReader r(data.data(), data.size());
    StreamHeader header;
    header.type = r.u32();
    header.handler = r.u32();
    header.flags = r.u32();
    header.priority = r.u16();
    header.language = r.u16();
    header.initialFrames = r.u32();
    header.scale = r.u32();
    header.rate = r.u32();
    header.start = r.u32();
    header.length = r.u32();
    header.suggestedBufferSize = r.u32();
    header.quality = r.u32();
    header.sampleSize = r.u32();
    if (!r.whole()) {
        return std::nullopt;
    }
    if (data.size() >= kStreamHeaderBytes) {
        header.frameLeft = r.i16();
        header.frameTop = r.i16();
        header.frameRight = r.i16();
        header.frameBottom = r.i16();
    }
    return header;
}

std::optional<BitmapInfoHeader> parseBitmapInfoHeader(std::span<const uint8_t> data) {
    LEReader r(data.data(), data.size());
    BitmapInfoHeader header;
    header.size = r.u32();
    header.width = r.i32();
    header.height = r.i32();
    header.planes = r.u16();
    header.bitCount = r.u16();
    header.compression = r.u32();
    header.sizeImage = r.u32();
    header.xPelsPerMeter = r.i32();
    header.yPelsPerMeter = r.i32();
    header.clrUsed = r.u32();
    header.clrImportant = r.u32();
    if (!r.whole() || header.size < kBitmapInfoHeaderBytes) {
        return std::nullopt;
    }
    return header;
}

std::optional<WaveFormat> parseWaveFormat(std::span<const uint8_t> data) {
    LEReader r(data.data(), data.size());
    WaveFormat format;
    format.formatTag = r.u16();
    format.channels = r.u16();
    format.samplesPerSec = r.u32();
    format.avgBytesPerSec = r.u32();
    format.blockAlign = r.u16();
    format.bitsPerSample = r.u16();
    return r.whole() ? std::optional(format) : std::nullopt;
}

std::optional<uint32_t> parseExtensionHeader(std::span<const uint8_t> data) {
    LEReader r(data.data(), data.size());
    const uint32_t totalFrames = r.u32();  // dwTotalFrames
    return r.whole() ? std::optional(totalFrames) : std::nullopt;
}

std::optional<SuperIndexHeader> parseSuperIndexHeader(std::span<const uint8_t> data,
                                                      uint32_t* capacity) {
    LEReader r(data.data(), data.size());
    SuperIndexHeader header;
    header.longsPerEntry = r.u16();
    header.subType = r.u8();
    header.type = r.u8();
    header.entriesInUse = r.u32();
    header.chunkId = r.u32();
    r.skip(12);  // dwReserved[3]
    if (!r.whole() || header.longsPerEntry != 4 || header.type != kIndexOfIndexes) {
        return std::nullopt;
    }
    const auto room = static_cast<uint32_t>(
        std::min<size_t>((data.size() - kSuperIndexHeaderBytes) / kSuperIndexEntryBytes, UINT32_MAX));
    if (header.entriesInUse > room) {
        return std::nullopt;
    }
    if (capacity != nullptr) {
        *capacity = room;
    }
    return header;
}

std::optional<SuperIndexEntry> parseSuperIndexEntry(std::span<const uint8_t> data, uint32_t n) {
    const uint64_t at = kSuperIndexHeaderBytes + uint64_t{n} * kSuperIndexEntryBytes;
    if (at > data.size()) {
        return std::nullopt;
    }
    LEReader r(data.data() + at, data.size() - static_cast<size_t>(at));
    SuperIndexEntry entry;
    entry.offset = r.u64();
    entry.size = r.u32();
    entry.duration = r.u32();
    return r.whole() ? std::optional(entry) : std::nullopt;
}

std::optional<StandardIndexHeader> parseStandardIndexHeader(std::span<const uint8_t> data) {
    LEReader r(data.data(), data.size());
    StandardIndexHeader header;
    header.longsPerEntry = r.u16();
    header.subType = r.u8();
    header.type = r.u8();
    header.entriesInUse = r.u32();
    header.chunkId = r.u32();
    header.baseOffset = r.u64();
    r.skip(4);  // dwReserved3
    if (!r.whole() || header.longsPerEntry != 2 || header.type != kIndexOfChunks ||
        header.entriesInUse > (data.size() - kStandardIndexHeaderBytes) / kStandardIndexEntryBytes) {
        return std::nullopt;
    }
    return header;
}

std::optional<StandardIndexEntry> parseStandardIndexEntry(std::span<const uint8_t> data,
                                                          uint32_t n) {
    const uint64_t at = kStandardIndexHeaderBytes + uint64_t{n} * kStandardIndexEntryBytes;
    if (at > data.size()) {
        return std::nullopt;
    }
    LEReader r(data.data() + at, data.size() - static_cast<size_t>(at));
    StandardIndexEntry entry;
    entry.offset = r.u32();
    entry.sizeAndFlag = r.u32();
    return r.whole() ? std::optional(entry) : std::nullopt;
}

std::optional<FrameCheck> parseFrameCheck(std::span<const uint8_t> data) {
    if (data.size() != kFrameCheckBytes) {
        return std::nullopt;
    }
    LEReader r(data.data(), data.size());
    if (r.u32() != kFrameCheckTag) {
        return std::nullopt;
    }
    FrameCheck check;
    check.recording = r.u64();
    check.digest = r.u64();
    return check;
}

std::optional<uint64_t> parseRecordingMark(std::span<const uint8_t> data) {
    if (data.size() != kRecordingMarkBytes) {
        return std::nullopt;
    }
    LEReader r(data.data(), data.size());
    if (r.u32() != kRecordingMarkTag) {
        return std::nullopt;
    }
    const uint64_t recording = r.u64();
    return recording != 0 ? std::optional(recording) : std::nullopt;
}

std::optional<FirstIndexEntry> parseFirstIndexEntry(std::span<const uint8_t> data, uint32_t n) {
    const uint64_t at = uint64_t{n} * kFirstIndexEntryBytes;
    if (at > data.size()) {
        return std::nullopt;
    }
    LEReader r(data.data() + at, data.size() - static_cast<size_t>(at));
    FirstIndexEntry entry;
    entry.chunkId = r.u32();
    entry.flags = r.u32();
    entry.offset = r.u32();
    entry.size = r.u32();
    return r.whole() ? std::optional(entry) : std::nullopt;
}

}  // namespace avifile
