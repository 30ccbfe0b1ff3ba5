// Builds the header block and the index chunks from the file's layout.
#include "container/header_and_indexes.h"

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
const StreamState* leadingStream(const FileLayout& layout) {
    for (const StreamState& stream : layout.streams) {
        if (stream.info.fccType == streamtypeVIDEO) {
            return &stream;
        }
    }
    return layout.streams.empty() ? nullptr : &layout.streams.front();
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

MainHeader mainHeader(const FileLayout& layout) {
    MainHeader header;
    const StreamState* lead = leadingStream(layout);
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
    for (const StreamState& stream : layout.streams) {
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
    header.flags = layout.indexLost ? 0 : kAvifHasIndex;
    header.streams = static_cast<uint32_t>(layout.streams.size());
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

bool appendStreamList(ChunkWriter& writer, const MemorySink& sink, const FileLayout& layout,
                      const StreamState& stream, HeaderLayout& headerLayout) {
    ChunkToken list;
    if (!ok(writer.beginList(kListId, kStreamListType, list))) {
        return false;
    }
    std::vector<uint8_t> bytes;
    serialize(streamHeader(stream), bytes);
    headerLayout.streamHeaders.push_back(nextRecordData(sink));
    if (!appendRecord(writer, kStreamHeaderId, bytes)) {
        return false;
    }
    if (layout.recording != 0 && &stream == &layout.streams.front()) {
        bytes.clear();
        serializeRecordingMark(layout.recording, bytes);
        if (!appendRecord(writer, kJunkId, bytes)) {
            return false;
        }
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
    serializeSuperIndex(stream.chunkId, stream.superIndex, layout.superIndexCapacity, bytes);
    if (!appendRecord(writer, kSuperIndexId, bytes)) {
        return false;
    }
    return ok(writer.end(list));
}

}  // namespace

AVISTREAMINFOA streamInfo(const StreamHeader& header) {
    AVISTREAMINFOA info{};
    info.fccType = header.type;
    info.fccHandler = header.handler;
    info.dwFlags = header.flags;
    info.wPriority = header.priority;
    info.wLanguage = header.language;
    info.dwInitialFrames = header.initialFrames;
    info.dwScale = header.scale;
    info.dwRate = header.rate;
    info.dwStart = header.start;
    info.dwSuggestedBufferSize = header.suggestedBufferSize;
    info.dwQuality = header.quality;
    info.dwSampleSize = header.sampleSize;
    info.rcFrame = {header.frameLeft, header.frameTop, header.frameRight, header.frameBottom};
    return info;
}

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

bool holdsUncompressedFrames(const StreamState& stream) {
    return (stream.chunkId >> 16) == (uint32_t{'d'} | uint32_t{'b'} << 8);
}

bool carriesFrameChecks(const FileLayout& layout, const StreamState& stream) {
    return layout.recording != 0 && holdsUncompressedFrames(stream);
}

uint32_t standardIndexId(int streamNumber) {
    return numberedPrefixCode(streamNumber, 'i', 'x');
}

namespace {

// The 'hdrl' list: the main header, the recording mark, a stream list per
// stream and the extension list.
bool appendHeaderList(ChunkWriter& writer, const MemorySink& sink, const FileLayout& layout,
                      HeaderLayout& headerLayout) {
    ChunkToken headerList;
    if (!ok(writer.beginList(kListId, kHeaderListType, headerList))) {
        return false;
    }
    std::vector<uint8_t> bytes;
    serialize(mainHeader(layout), bytes);
    headerLayout.mainHeader = nextRecordData(sink);
    if (!appendRecord(writer, kMainHeaderId, bytes)) {
        return false;
    }
    for (const StreamState& stream : layout.streams) {
        if (!appendStreamList(writer, sink, layout, stream, headerLayout)) {
            return false;
        }
    }
    ChunkToken extensionList;
    if (!ok(writer.beginList(kListId, kExtensionListType, extensionList))) {
        return false;
    }
    const StreamState* lead = leadingStream(layout);
    bytes.clear();
    serializeExtensionHeader(lead != nullptr ? streamLength(*lead) : 0, bytes);
    headerLayout.extensionHeader = nextRecordData(sink);
    return appendRecord(writer, kExtensionHeaderId, bytes) && ok(writer.end(extensionList)) &&
           ok(writer.end(headerList));
}

// The layout as the writer began it: its streams' settings and formats,
// nothing counted yet.
FileLayout layoutAtStart(const FileLayout& layout) {
    FileLayout start;
    start.recording = layout.recording;
    start.superIndexCapacity = 1;
    for (const StreamState& stream : layout.streams) {
        StreamState& copy = start.streams.emplace_back();
        copy.info = stream.info;
        copy.format = stream.format;
        copy.formatSet = stream.formatSet;
        copy.chunkId = stream.chunkId;
        copy.indexId = stream.indexId;
    }
    return start;
}

constexpr uint64_t kSectorBytes = 512;

constexpr uint64_t alignToSector(uint64_t value) {
    return (value + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
}

}  // namespace

bool buildHeaderCopy(const FileLayout& layout, std::vector<uint8_t>& copy) {
    MemorySink sink;
    ChunkWriter writer(sink);
    HeaderLayout unused;
    if (!appendHeaderList(writer, sink, layoutAtStart(layout), unused)) {
        return false;
    }
    copy.clear();
    LEWriter w(copy);
    w.u32(kHeaderCopyTag);
    w.u32(layout.superIndexCapacity);
    w.u64(frameDigest(sink.bytes()));
    copy.insert(copy.end(), sink.bytes().begin(), sink.bytes().end());
    return true;
}

bool buildHeaderBlock(const FileLayout& layout, std::vector<uint8_t>& block,
                      HeaderLayout* headerLayoutOut) {
    HeaderLayout headerLayout;
    MemorySink sink;
    ChunkWriter writer(sink);
    ChunkToken riff;
    if (!ok(writer.beginList(kRiffId, kAviType, riff, layout.firstRiffSize)) ||
        !appendHeaderList(writer, sink, layout, headerLayout)) {
        return false;
    }
    if (layout.headerCopy) {
        // A 'JUNK' chunk from the end of the list to the next sector but
        // one: zeros, the copy from a sector's start, zeros to a sector's
        // end, so that it shares no sector with the records rewritten
        // while recording.
        std::vector<uint8_t> copy;
        if (!buildHeaderCopy(layout, copy)) {
            return false;
        }
        const uint64_t junkAt = sink.size();
        const uint64_t copyAt = alignToSector(junkAt + 8);
        const uint64_t copyEnd = alignToSector(copyAt + copy.size());
        std::vector<uint8_t> data(static_cast<size_t>(copyEnd - (junkAt + 8)), 0);
        std::copy(copy.begin(), copy.end(), data.begin() + static_cast<ptrdiff_t>(copyAt - (junkAt + 8)));
        if (!appendRecord(writer, kJunkId, data)) {
            return false;
        }
        headerLayout.copy = ByteRange{static_cast<size_t>(copyAt), copy.size()};
        headerLayout.copyChunk = ByteRange{static_cast<size_t>(junkAt),
                                           static_cast<size_t>(copyEnd - junkAt)};
    }
    ChunkToken movi;
    if (!ok(writer.beginList(kListId, kMoviListType, movi, layout.firstMoviSize))) {
        return false;
    }
    block = sink.bytes();
    if (headerLayoutOut != nullptr) {
        *headerLayoutOut = std::move(headerLayout);
    }
    return true;
}

void refreshCountRecords(const FileLayout& layout, const HeaderLayout& headerLayout,
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
    serialize(mainHeader(layout), record);
    place(headerLayout.mainHeader);
    for (size_t s = 0; s < layout.streams.size() && s < headerLayout.streamHeaders.size(); ++s) {
        record.clear();
        serialize(streamHeader(layout.streams[s]), record);
        place(headerLayout.streamHeaders[s]);
    }
    const StreamState* lead = leadingStream(layout);
    record.clear();
    serializeExtensionHeader(lead != nullptr ? streamLength(*lead) : 0, record);
    place(headerLayout.extensionHeader);
}

// The index chunks that close a RIFF.
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
