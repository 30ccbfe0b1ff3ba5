// Headers for a recording whose writer wrote only its frames: the
// platform's own AVIFile writes the header block when the file is closed,
// so a recording cut off before that leaves zero bytes up to its first
// chunk. The headers come from a complete file recorded with the same
// settings (its records parsed as any file's are), or from the frames
// themselves with what the user says of them; they are checked against the
// chunks found, and a header that does not fit is refused with the reason.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>

#include "container/recovery.h"
#include "riff/little_endian.h"

namespace avifile::recovery {
namespace {

// Zero bytes a writer leaves for headers it writes at the end are a few
// kilobytes; the search for the first chunk goes no further than this.
constexpr uint64_t kLargestHeaderRoom = 1u << 20;

constexpr uint32_t kBiRgb = 0;

uint32_t kindOf(uint32_t id) { return id >> 16; }
constexpr uint32_t kDib = fourcc("00db") >> 16;
constexpr uint32_t kCompressed = fourcc("00dc") >> 16;
constexpr uint32_t kAudio = fourcc("00wb") >> 16;

std::string kindName(uint32_t id) {
    std::string name(4, ' ');
    for (int i = 0; i < 4; ++i) {
        name[static_cast<size_t>(i)] = static_cast<char>(id >> (8 * i));
    }
    return "'" + name + "'";
}

struct FrameSize {
    int32_t width = 0;
    int32_t height = 0;
};

// A JPEG picture's size, from its start-of-frame marker.
std::optional<FrameSize> jpegSize(std::span<const uint8_t> data) {
    if (data.size() < 4 || data[0] != 0xFF || data[1] != 0xD8) {
        return std::nullopt;
    }
    size_t at = 2;
    while (at + 4 <= data.size()) {
        if (data[at] != 0xFF) {
            return std::nullopt;
        }
        const uint8_t marker = data[at + 1];
        const size_t length = size_t{data[at + 2]} << 8 | data[at + 3];
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
            marker != 0xCC) {
            if (at + 9 > data.size()) {
                return std::nullopt;
            }
            return FrameSize{int32_t{data[at + 7]} << 8 | data[at + 8],
                             int32_t{data[at + 5]} << 8 | data[at + 6]};
        }
        at += 2 + length;
    }
    return std::nullopt;
}

// A Cinepak frame's size: its header holds its flags, its own length
// (24 bits, the chunk's size), the width and the height.
std::optional<FrameSize> cinepakSize(std::span<const uint8_t> data, uint32_t chunkSize) {
    if (data.size() < 10) {
        return std::nullopt;
    }
    const uint32_t length = uint32_t{data[1]} << 16 | uint32_t{data[2]} << 8 | data[3];
    const int32_t width = data[4] << 8 | data[5];
    const int32_t height = data[6] << 8 | data[7];
    if (length != chunkSize || width == 0 || height == 0) {
        return std::nullopt;
    }
    return FrameSize{width, height};
}

uint64_t dibBytes(int64_t width, int64_t height, int bitCount) {
    return static_cast<uint64_t>((width * bitCount + 31) / 32 * 4) *
           static_cast<uint64_t>(height < 0 ? -height : height);
}

// What the chunks of the file are: their streams and kinds, the first
// video frame, the sizes of uncompressed ones.
struct ChunksFound {
    std::map<uint16_t, uint32_t> kinds;  // stream → kind of its first chunk
    std::optional<FoundSample> firstFrame;
    std::vector<uint32_t> dibSizes;  // of the non-empty video chunks
};

ChunksFound listChunks(const ByteSource& file, uint64_t from) {
    ChunksFound found;
    ChunkWalker walker(file, from, file.size());
    Chunk chunk;
    uint16_t stream = 0;
    while (walker.next(chunk) == ChunkWalker::Step::Whole && isSampleId(chunk.id, stream)) {
        found.kinds.emplace(stream, kindOf(chunk.id));
        if (stream == 0 && !found.firstFrame && chunk.size > 0) {
            found.firstFrame = FoundSample{chunk.at, chunk.id, chunk.size, 0};
        }
        if (stream == 0 && chunk.size > 0) {
            found.dibSizes.push_back(chunk.size);
        }
    }
    return found;
}

std::optional<FrameSize> codedSize(const ByteSource& file, const FoundSample& frame,
                                   uint32_t& compression) {
    std::vector<uint8_t> head;
    if (!file.read(frame.at + 8, head, std::min<uint32_t>(frame.size, 64u << 10))) {
        return std::nullopt;
    }
    if (const auto size = jpegSize(head)) {
        compression = fourcc("MJPG");
        return size;
    }
    if (const auto size = cinepakSize(head, frame.size)) {
        compression = fourcc("cvid");
        return size;
    }
    return std::nullopt;
}

// The headers of a complete file recorded with the same settings.
bool takeHeadersOf(const std::string& like, const ChunksFound& found, const ByteSource& file,
                   Survey& survey, std::string& why) {
    std::string unreadable;
    const std::unique_ptr<ReadOnlyFile> source = ReadOnlyFile::open(like.c_str(), unreadable);
    if (!source) {
        why = "--like " + like + " cannot be read: " + unreadable;
        return false;
    }
    Survey model;
    std::string modelWhy;
    const bool read = readHeaders(*source, model, modelWhy);
    if (!read) {
        why = "--like " + like + " gives no headers: " + modelWhy;
        return false;
    }
    for (const auto& [stream, kind] : found.kinds) {
        if (stream >= model.streams.size()) {
            why = "its chunks are of stream " + std::to_string(stream) + ", which " + like +
                  " does not have";
            return false;
        }
        const FoundStream& modelStream = model.streams[stream];
        const bool fits = modelStream.isVideo() ? kind == kDib || kind == kCompressed
                          : modelStream.header.type == kAudioType ? kind == kAudio
                                                                  : true;
        if (!fits) {
            why = "stream " + std::to_string(stream) + " of " + like + " is of another kind than " +
                  "its chunks " + kindName(kind << 16 | (fourcc("00  ") & 0xFFFF));
            return false;
        }
    }
    const FoundStream& video = model.streams.front();
    const auto format = parseBitmapInfoHeader(video.format);
    if (video.isVideo() && format && found.firstFrame) {
        const bool dib = kindOf(found.firstFrame->id) == kDib || format->compression == kBiRgb;
        if (dib) {
            const uint64_t expected = dibBytes(format->width, format->height, format->bitCount);
            for (const uint32_t size : found.dibSizes) {
                if (size != expected) {
                    why = "its frames are " + std::to_string(size) + " bytes, but the uncompressed " +
                          std::to_string(format->width) + "x" + std::to_string(format->height) +
                          " frames of " + like + " are " + std::to_string(expected);
                    return false;
                }
            }
        } else {
            uint32_t compression = 0;
            const auto size = codedSize(file, *found.firstFrame, compression);
            if (size && (compression != format->compression || size->width != format->width ||
                         size->height != std::abs(format->height))) {
                why = "its frames are " + kindName(compression) + " " + std::to_string(size->width) +
                      "x" + std::to_string(size->height) + ", but those of " + like + " are " +
                      kindName(format->compression) + " " + std::to_string(format->width) + "x" +
                      std::to_string(std::abs(format->height));
                return false;
            }
            if (!size && (format->compression == fourcc("MJPG") ||
                          format->compression == fourcc("cvid"))) {
                why = "its frames are not " + kindName(format->compression) + " frames as those of " +
                      like + " are";
                return false;
            }
        }
    }
    survey.main = model.main;
    for (FoundStream stream : model.streams) {
        stream.headerAt = 0;
        stream.superIndexAt = 0;
        stream.superIndex.clear();
        survey.streams.push_back(std::move(stream));
    }
    return true;
}

// Headers from the frames and the options: one video stream.
bool describeFrames(const RepairOptions& options, const ChunksFound& found, const ByteSource& file,
                    Survey& survey, std::string& why) {
    if (found.kinds.size() > 1 || found.kinds.begin()->first != 0) {
        why = "its headers were never written and it holds chunks of more than one stream, "
              "whose formats only a complete file can give: repair it with --like COMPLETE.avi";
        return false;
    }
    BitmapInfoHeader format;
    if (!found.firstFrame) {
        why = "its headers were never written and it holds no frame to tell its format by";
        return false;
    }
    std::vector<std::string> missing;
    uint32_t compression = 0;
    const auto coded = codedSize(file, *found.firstFrame, compression);
    // Uncompressed frames: '00db' chunks, or '00dc' ones (some writers use
    // them for all video) that are neither JPEG nor Cinepak.
    if (kindOf(found.firstFrame->id) == kDib || !coded) {
        if (options.width <= 0 || options.height <= 0) {
            missing.push_back(kindOf(found.firstFrame->id) == kDib
                                  ? "the size of its uncompressed frames (--size WxH)"
                                  : "the size of its frames (--size WxH) if they are "
                                    "uncompressed (they are neither JPEG nor Cinepak frames)");
        } else {
            for (const int bits : {24, 32, 16, 8}) {
                if (dibBytes(options.width, options.height, bits) == found.firstFrame->size) {
                    format.bitCount = static_cast<uint16_t>(bits);
                    break;
                }
            }
            if (format.bitCount == 0 || format.bitCount == 8) {
                why = "its frames are " + std::to_string(found.firstFrame->size) +
                      " bytes, which is no uncompressed " + std::to_string(options.width) + "x" +
                      std::to_string(options.height) + " frame of 16, 24 or 32 bits";
                return false;
            }
            for (const uint32_t size : found.dibSizes) {
                if (size != found.firstFrame->size) {
                    why = "its uncompressed frames are not all of one size";
                    return false;
                }
            }
            format.width = options.width;
            format.height = options.height;
            format.sizeImage = found.firstFrame->size;
        }
    } else {
        const auto size = coded;
        if (options.width > 0 && (options.width != size->width || options.height != size->height)) {
            why = "its frames are " + std::to_string(size->width) + "x" + std::to_string(size->height) +
                  ", not " + std::to_string(options.width) + "x" + std::to_string(options.height);
            return false;
        }
        format.width = size->width;
        format.height = size->height;
        format.bitCount = 24;
        format.compression = compression;
        format.sizeImage = static_cast<uint32_t>(dibBytes(size->width, size->height, 24));
    }
    if (!(options.fps > 0.0 && options.fps <= 1000000.0)) {
        missing.push_back("its frame rate (--fps N)");
    }
    if (!missing.empty()) {
        why = "its headers were never written; to write them, give " + missing.front() +
              (missing.size() > 1 ? " and " + missing.back() : "") +
              ", or --like COMPLETE.avi";
        return false;
    }
    FoundStream stream;
    StreamHeader& header = stream.header;
    header.type = fourcc("vids");
    header.handler = format.compression;
    // A rate of N frames a second as rate / scale, exact for whole numbers
    // and to a thousandth otherwise.
    const bool whole = std::floor(options.fps) == options.fps;
    header.scale = whole ? 1 : 1000;
    header.rate = static_cast<uint32_t>(std::lround(options.fps * header.scale));
    header.quality = UINT32_MAX;
    header.frameRight = static_cast<int16_t>(std::min(format.width, int32_t{INT16_MAX}));
    header.frameBottom = static_cast<int16_t>(std::min(std::abs(format.height), int32_t{INT16_MAX}));
    serialize(format, stream.format);
    survey.streams.push_back(std::move(stream));
    survey.main.microSecPerFrame = static_cast<uint32_t>(std::lround(1e6 / options.fps));
    survey.main.width = static_cast<uint32_t>(format.width);
    survey.main.height = static_cast<uint32_t>(std::abs(format.height));
    return true;
}

void putChunk(uint32_t id, std::span<const uint8_t> data, std::vector<uint8_t>& out) {
    LEWriter w(out);
    w.u32(id);
    w.u32(static_cast<uint32_t>(data.size()));
    w.bytes(data.data(), data.size());
    if ((data.size() & 1) != 0) {
        w.u8(0);
    }
}

void putList(uint32_t type, std::span<const uint8_t> data, std::vector<uint8_t>& out) {
    std::vector<uint8_t> body;
    LEWriter(body).u32(type);
    body.insert(body.end(), data.begin(), data.end());
    putChunk(kListId, body, out);
}

}  // namespace

bool supplyMissingHeaders(const ByteSource& file, const RepairOptions& options, Survey& survey,
                          std::string& why) {
    std::vector<uint8_t> head;
    const uint64_t searched = std::min(file.size(), kLargestHeaderRoom);
    if (!file.read(0, head, static_cast<size_t>(searched))) {
        why = "it cannot be read";
        return false;
    }
    const auto first = std::find_if(head.begin(), head.end(), [](uint8_t b) { return b != 0; });
    const auto at = static_cast<uint64_t>(first - head.begin());
    uint16_t stream = 0;
    uint8_t id[4] = {};
    if (first == head.begin() || first == head.end() || (at & 1) != 0 || at < 24 ||
        !file.read(at, id, 4) || !isSampleId(LEReader(id, 4).u32(), stream)) {
        why = "it is not an AVI file";
        return false;
    }
    const ChunksFound found = listChunks(file, at);
    const bool described = options.like.empty() ? describeFrames(options, found, file, survey, why)
                                                : takeHeadersOf(options.like, found, file, survey, why);
    if (!described) {
        return false;
    }
    survey.firstChunkAt = at;
    survey.riffs = {FoundRiff::starting(0, 0, at - 12)};
    return true;
}

bool buildMissingHeaders(const Survey& survey, uint64_t riffSize, uint32_t moviSize,
                         uint64_t bytes, std::vector<uint8_t>& out, std::string& why) {
    MainHeader main = survey.main;
    main.streams = static_cast<uint32_t>(survey.streams.size());
    main.flags |= kAvifHasIndex;
    main.totalFrames = 0;
    main.suggestedBufferSize = 0;
    std::vector<uint8_t> list;
    std::vector<uint8_t> record;
    serialize(main, record);
    std::vector<uint8_t> streams;
    for (size_t s = 0; s < survey.streams.size(); ++s) {
        const FoundStream& found = survey.streams[s];
        StreamHeader header = found.header;
        header.length = static_cast<uint32_t>(
            std::min<uint64_t>(found.units(found.samples, found.bytes), UINT32_MAX));
        header.suggestedBufferSize = 0;
        if (found.isVideo() && s == 0) {
            main.totalFrames = static_cast<uint32_t>(std::min<int64_t>(found.samples, UINT32_MAX));
        }
        std::vector<uint8_t> strl;
        std::vector<uint8_t> fields;
        serialize(header, fields);
        putChunk(kStreamHeaderId, fields, strl);
        putChunk(kStreamFormatId, found.format, strl);
        putList(kStreamListType, strl, streams);
    }
    record.clear();
    serialize(main, record);
    putChunk(kMainHeaderId, record, list);
    list.insert(list.end(), streams.begin(), streams.end());
    std::vector<uint8_t> block;
    LEWriter w(block);
    w.u32(kRiffId);
    w.u32(static_cast<uint32_t>(riffSize));
    w.u32(kAviType);
    putList(kHeaderListType, list, block);
    const uint64_t used = block.size() + 12;  // and the movi list's header
    if (used != bytes && used + 8 > bytes) {
        why = "the " + std::to_string(bytes) + " bytes before its first frame are too few for its " +
              std::to_string(used) + " bytes of headers";
        return false;
    }
    if (used != bytes) {
        putChunk(kJunkId, std::vector<uint8_t>(static_cast<size_t>(bytes - used - 8), 0), block);
    }
    w.u32(kListId);
    w.u32(moviSize);
    w.u32(kMoviListType);
    out = std::move(block);
    return true;
}

}  // namespace avifile::recovery
