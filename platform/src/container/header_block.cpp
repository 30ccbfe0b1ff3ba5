// Builds the header block from the writer's state.
#include "container/header_block.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "riff/chunk_writer.h"
#include "riff/little_endian.h"

namespace avifile {

namespace {

uint32_t clampToField(double value) {
    if (!(value > 0.0)) {
        return 0;
    }
    if (value >= static_cast<double>(UINT32_MAX)) {
        return UINT32_MAX;
    }
    return static_cast<uint32_t>(value);
}

int16_t clampToInt16(LONG value) {
    return static_cast<int16_t>(std::clamp<LONG>(value, std::numeric_limits<int16_t>::min(),
                                                 std::numeric_limits<int16_t>::max()));
}

// Two decimal digits of the stream number, as chunk codes carry them.
uint32_t numberedCode(int streamNumber, char third, char fourth) {
    const char tens = static_cast<char>('0' + (streamNumber / 10) % 10);
    const char ones = static_cast<char>('0' + streamNumber % 10);
    const char text[5] = {tens, ones, third, fourth, '\0'};
    return fourcc(text);
}

uint32_t numberedPrefixCode(int streamNumber, char first, char second) {
    const char tens = static_cast<char>('0' + (streamNumber / 10) % 10);
    const char ones = static_cast<char>('0' + streamNumber % 10);
    const char text[5] = {first, second, tens, ones, '\0'};
    return fourcc(text);
}

bool isUncompressedDib(const std::vector<uint8_t>& format) {
    constexpr size_t kCompressionOffset = 16;  // biCompression
    if (format.size() < kCompressionOffset + 4) {
        return false;
    }
    uint32_t compression = 0;
    for (int i = 3; i >= 0; --i) {
        compression = (compression << 8) | format[kCompressionOffset + static_cast<size_t>(i)];
    }
    return compression == BI_RGB;
}

uint32_t suggestedBufferSize(const StreamState& stream) {
    return std::max(stream.info.dwSuggestedBufferSize, stream.largestSample);
}

// The stream whose timing and picture size the main header describes: the
// first video stream, else the first stream.
const StreamState* leadingStream(const WriterState& state) {
    for (const StreamState& stream : state.streams) {
        if (stream.info.fccType == streamtypeVIDEO) {
            return &stream;
        }
    }
    return state.streams.empty() ? nullptr : &state.streams.front();
}

void pictureSize(const StreamState& stream, uint32_t& width, uint32_t& height) {
    const RECT& frame = stream.info.rcFrame;
    const int64_t rectWidth = int64_t{frame.right} - frame.left;
    const int64_t rectHeight = int64_t{frame.bottom} - frame.top;
    if (rectWidth > 0 && rectHeight > 0) {
        width = static_cast<uint32_t>(std::min<int64_t>(rectWidth, UINT32_MAX));
        height = static_cast<uint32_t>(std::min<int64_t>(rectHeight, UINT32_MAX));
        return;
    }
    // No frame rectangle: the picture size of the format, if it has one.
    if (stream.info.fccType == streamtypeVIDEO && stream.format.size() >= 12) {
        LONG formatWidth = 0;
        LONG formatHeight = 0;
        std::memcpy(&formatWidth, stream.format.data() + 4, 4);
        std::memcpy(&formatHeight, stream.format.data() + 8, 4);
        width = formatWidth > 0 ? static_cast<uint32_t>(formatWidth) : 0;
        height = formatHeight == std::numeric_limits<LONG>::min()
                     ? 0
                     : static_cast<uint32_t>(formatHeight < 0 ? -formatHeight : formatHeight);
    }
}

MainHeader mainHeader(const WriterState& state) {
    MainHeader header;
    const StreamState* lead = leadingStream(state);
    if (lead != nullptr) {
        if (lead->info.dwRate != 0) {
            header.microSecPerFrame = clampToField(
                std::round(1e6 * lead->info.dwScale / lead->info.dwRate));
        }
        header.totalFrames = static_cast<uint32_t>(
            std::min<int64_t>(lead->chunksInFirstRiff, UINT32_MAX));
        header.initialFrames = lead->info.dwInitialFrames;
        pictureSize(*lead, header.width, header.height);
    }
    double bytesPerSecond = 0.0;
    for (const StreamState& stream : state.streams) {
        if (stream.info.dwRate != 0 && stream.info.dwScale != 0) {
            const double perSample = stream.info.dwSampleSize > 0
                                         ? stream.info.dwSampleSize
                                         : static_cast<double>(suggestedBufferSize(stream));
            bytesPerSecond += perSample * stream.info.dwRate / stream.info.dwScale;
        }
        header.suggestedBufferSize = std::max(header.suggestedBufferSize,
                                              suggestedBufferSize(stream));
    }
    header.maxBytesPerSec = clampToField(std::ceil(bytesPerSecond));
    header.flags = state.indexLost ? 0 : kAvifHasIndex;
    header.streams = static_cast<uint32_t>(state.streams.size());
    return header;
}

StreamHeader streamHeader(const StreamState& stream) {
    const AVISTREAMINFOA& info = stream.info;
    StreamHeader header;
    header.type = info.fccType;
    header.handler = info.fccHandler;
    header.flags = info.dwFlags;
    header.priority = info.wPriority;
    header.language = info.wLanguage;
    header.initialFrames = info.dwInitialFrames;
    header.scale = info.dwScale;
    header.rate = info.dwRate;
    header.start = info.dwStart;
    header.length = streamLength(stream);
    header.suggestedBufferSize = suggestedBufferSize(stream);
    header.quality = info.dwQuality;
    header.sampleSize = info.dwSampleSize;
    header.frameLeft = clampToInt16(info.rcFrame.left);
    header.frameTop = clampToInt16(info.rcFrame.top);
    header.frameRight = clampToInt16(info.rcFrame.right);
    header.frameBottom = clampToInt16(info.rcFrame.bottom);
    return header;
}

bool ok(ChunkStatus status) { return status == ChunkStatus::ok; }

bool appendRecord(ChunkWriter& writer, uint32_t id, const std::vector<uint8_t>& data) {
    return ok(writer.appendChunk(id, data.data(), data.size()));
}

// The offset that a record appended next gets for its data.
size_t nextRecordData(const MemorySink& sink) { return sink.bytes().size() + 8; }

bool appendStreamList(ChunkWriter& writer, const MemorySink& sink, const WriterState& state,
                      const StreamState& stream, HeaderLayout& layout) {
    ChunkToken list;
    if (!ok(writer.beginList(kListId, kStreamListType, list))) {
        return false;
    }
    std::vector<uint8_t> bytes;
    serialize(streamHeader(stream), bytes);
    layout.streamHeaders.push_back(nextRecordData(sink));
    if (!appendRecord(writer, kStreamHeaderId, bytes)) {
        return false;
    }
    if (!appendRecord(writer, kStreamFormatId, stream.format)) {
        return false;
    }
    // The name is read no further than its 64-byte field, and written with
    // a terminating zero.
    const size_t nameLength = strnlen(stream.info.szName, sizeof stream.info.szName);
    if (nameLength > 0) {
        bytes.assign(stream.info.szName, stream.info.szName + nameLength);
        bytes.push_back(0);
        if (!appendRecord(writer, kStreamNameId, bytes)) {
            return false;
        }
    }
    bytes.clear();
    serializeSuperIndex(stream.chunkId, stream.superIndex, state.superIndexCapacity, bytes);
    if (!appendRecord(writer, kSuperIndexId, bytes)) {
        return false;
    }
    return ok(writer.end(list));
}

}  // namespace

uint32_t sampleChunkId(int streamNumber, const AVISTREAMINFOA& info,
                       const std::vector<uint8_t>& format) {
    if (info.fccType == streamtypeVIDEO) {
        return isUncompressedDib(format) ? numberedCode(streamNumber, 'd', 'b')
                                         : numberedCode(streamNumber, 'd', 'c');
    }
    if (info.fccType == streamtypeAUDIO) {
        return numberedCode(streamNumber, 'w', 'b');
    }
    return numberedCode(streamNumber, 'd', 'c');
}

uint32_t standardIndexId(int streamNumber) {
    return numberedPrefixCode(streamNumber, 'i', 'x');
}

bool buildHeaderBlock(const WriterState& state, std::vector<uint8_t>& block,
                      HeaderLayout* layoutOut) {
    HeaderLayout layout;
    MemorySink sink;
    ChunkWriter writer(sink);
    ChunkToken riff;
    if (!ok(writer.beginList(kRiffId, kAviType, riff, state.firstRiffSize))) {
        return false;
    }
    ChunkToken headerList;
    if (!ok(writer.beginList(kListId, kHeaderListType, headerList))) {
        return false;
    }
    std::vector<uint8_t> bytes;
    serialize(mainHeader(state), bytes);
    layout.mainHeader = nextRecordData(sink);
    if (!appendRecord(writer, kMainHeaderId, bytes)) {
        return false;
    }
    for (const StreamState& stream : state.streams) {
        if (!appendStreamList(writer, sink, state, stream, layout)) {
            return false;
        }
    }
    ChunkToken extensionList;
    if (!ok(writer.beginList(kListId, kExtensionListType, extensionList))) {
        return false;
    }
    const StreamState* lead = leadingStream(state);
    bytes.clear();
    serializeExtensionHeader(lead != nullptr ? streamLength(*lead) : 0, bytes);
    layout.extensionHeader = nextRecordData(sink);
    if (!appendRecord(writer, kExtensionHeaderId, bytes) || !ok(writer.end(extensionList)) ||
        !ok(writer.end(headerList))) {
        return false;
    }
    ChunkToken movi;
    if (!ok(writer.beginList(kListId, kMoviListType, movi, state.firstMoviSize))) {
        return false;
    }
    block = sink.bytes();
    if (layoutOut != nullptr) {
        *layoutOut = std::move(layout);
    }
    return true;
}

void refreshCountRecords(const WriterState& state, const HeaderLayout& layout,
                         std::vector<uint8_t>& block, std::vector<ByteRange>& changed) {
    // Runs closer than this are written as one: a system call costs more
    // than a few dozen bytes.
    constexpr size_t kMergeGap = 128;
    changed.clear();
    std::vector<uint8_t> record;
    const auto place = [&](size_t offset) {
        if (offset + record.size() > block.size()) {
            return;
        }
        uint8_t* target = block.data() + offset;
        size_t first = 0;
        while (first < record.size() && target[first] == record[first]) {
            ++first;
        }
        if (first == record.size()) {
            return;
        }
        size_t last = record.size();
        while (target[last - 1] == record[last - 1]) {
            --last;
        }
        std::memcpy(target + first, record.data() + first, last - first);
        const ByteRange range{offset + first, last - first};
        if (!changed.empty() &&
            range.offset <= changed.back().offset + changed.back().size + kMergeGap) {
            changed.back().size = range.offset + range.size - changed.back().offset;
        } else {
            changed.push_back(range);
        }
    };
    record.clear();
    serialize(mainHeader(state), record);
    place(layout.mainHeader);
    for (size_t s = 0; s < state.streams.size() && s < layout.streamHeaders.size(); ++s) {
        record.clear();
        serialize(streamHeader(state.streams[s]), record);
        place(layout.streamHeaders[s]);
    }
    const StreamState* lead = leadingStream(state);
    record.clear();
    serializeExtensionHeader(lead != nullptr ? streamLength(*lead) : 0, record);
    place(layout.extensionHeader);
}

}  // namespace avifile
