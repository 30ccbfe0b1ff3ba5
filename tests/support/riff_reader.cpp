#include "support/riff_reader.h"

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace riffcheck {

uint32_t code(const char* name) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | static_cast<uint8_t>(name[i]);
    }
    return value;
}

std::string text(uint32_t value) {
    std::string out;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((value >> (8 * i)) & 0xFF);
        out += (c >= 32 && c < 127) ? c : '?';
    }
    return out;
}

std::string File::describeErrors() const {
    std::ostringstream out;
    for (const std::string& error : errors) {
        out << error << "\n";
    }
    return out.str();
}

namespace {

struct ChunkAt {
    uint32_t id = 0;
    uint32_t size = 0;
    uint64_t position = 0;  // of the header
    uint64_t dataEnd = 0;   // after the data, before any pad byte
    uint64_t next = 0;      // after the pad byte
};

struct IndexChunk {
    uint64_t position = 0;
    uint32_t size = 0;
    int stream = -1;
    uint32_t entries = 0;
};

int streamOf(uint32_t chunkId) {
    const char tens = static_cast<char>(chunkId & 0xFF);
    const char ones = static_cast<char>((chunkId >> 8) & 0xFF);
    if (tens < '0' || tens > '9' || ones < '0' || ones > '9') {
        return -1;
    }
    return (tens - '0') * 10 + (ones - '0');
}

int streamOfIndex(uint32_t chunkId) {
    if ((chunkId & 0xFFFF) != (code("ix00") & 0xFFFF)) {
        return -1;
    }
    return streamOf(chunkId >> 16);
}

class Parser {
public:
    Parser(const std::vector<uint8_t>& bytes, const Options& options, File& file)
        : b_(bytes), options_(options), f_(file) {
        f_.fileSize = bytes.size();
    }

    void run() {
        parseTop();
        checkFirstIndex();
        checkStandardIndexes();
        checkSuperIndexes();
        finishSamples();
    }

private:
    uint32_t u32(uint64_t at) const {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) {
            v = (v << 8) | b_[at + static_cast<uint64_t>(i)];
        }
        return v;
    }
    uint16_t u16(uint64_t at) const {
        return static_cast<uint16_t>(b_[at] | (b_[at + 1] << 8));
    }
    uint64_t u64(uint64_t at) const { return u32(at) | (uint64_t{u32(at + 4)} << 32); }

    void error(const std::string& message) {
        if (f_.errors.size() < 50) {
            f_.errors.push_back(message);
        }
    }

    // Reads the chunk header at `position` inside a parent ending at `end`.
    // False (with an error, unless cut short at the end of an open-ended
    // file) when it does not fit.
    bool chunkAt(uint64_t position, uint64_t end, ChunkAt& chunk) {
        if (position + 8 > end) {
            if (!(options_.allowOpenEnded && end == b_.size())) {
                f_.sizesFit = false;
                error("chunk header at " + std::to_string(position) + " runs past its parent");
            }
            return false;
        }
        chunk.id = u32(position);
        chunk.size = u32(position + 4);
        chunk.position = position;
        chunk.dataEnd = position + 8 + chunk.size;
        chunk.next = chunk.dataEnd + (chunk.size & 1);
        if (chunk.next > end) {
            if (!(options_.allowOpenEnded && end == b_.size())) {
                f_.sizesFit = false;
                error("chunk '" + text(chunk.id) + "' at " + std::to_string(position) +
                      " of size " + std::to_string(chunk.size) + " (with pad) runs past " +
                      std::to_string(end));
            }
            return false;
        }
        return true;
    }

    // The end of a list whose size field is `size`: 0 means "to the end"
    // in an open-ended file.
    uint64_t listEnd(uint64_t position, uint32_t size, uint64_t parentEnd, bool& cut) {
        cut = false;
        if (size == 0 && options_.allowOpenEnded) {
            return parentEnd;
        }
        uint64_t end = position + 8 + size;
        if (end + (size & 1) > parentEnd) {
            if (options_.allowOpenEnded && parentEnd == b_.size()) {
                cut = true;
                return parentEnd;
            }
            f_.sizesFit = false;
            error("list at " + std::to_string(position) + " of size " + std::to_string(size) +
                  " runs past " + std::to_string(parentEnd));
            return parentEnd;
        }
        return end;
    }

    void parseTop() {
        uint64_t position = 0;
        int riff = 0;
        while (position < b_.size()) {
            if (position + 12 > b_.size()) {
                if (!options_.allowOpenEnded) {
                    error("bytes after the last RIFF at " + std::to_string(position));
                }
                return;
            }
            if (u32(position) != code("RIFF")) {
                error("no RIFF at " + std::to_string(position));
                return;
            }
            const uint32_t size = u32(position + 4);
            const uint32_t type = u32(position + 8);
            f_.riffTypes.push_back(type);
            f_.riffSizes.push_back(size);
            if (riff == 0 && type != code("AVI ")) {
                error("first RIFF is '" + text(type) + "', not 'AVI '");
            }
            if (riff > 0 && type != code("AVIX")) {
                error("RIFF " + std::to_string(riff) + " is '" + text(type) + "', not 'AVIX'");
            }
            bool cut = false;
            const uint64_t end = listEnd(position, size, b_.size(), cut);
            parseRiff(position + 12, end, riff);
            position = end + (size & 1);
            if (cut) {
                return;
            }
            ++riff;
        }
    }

    void parseRiff(uint64_t position, uint64_t end, int riff) {
        bool sawHeader = false;
        bool sawMovi = false;
        while (position < end) {
            ChunkAt chunk;
            if (!chunkAt(position, end, chunk) &&
                !(chunk.id == code("LIST") && options_.allowOpenEnded && position + 12 <= end)) {
                return;
            }
            if (chunk.id == code("LIST")) {
                const uint32_t type = u32(position + 8);
                bool cut = false;
                const uint64_t listEndAt = listEnd(position, chunk.size, end, cut);
                if (type == code("hdrl")) {
                    if (riff != 0 || sawHeader || sawMovi) {
                        error("'hdrl' out of place at " + std::to_string(position));
                    }
                    sawHeader = true;
                    parseHeaderList(position + 12, listEndAt);
                } else if (type == code("movi")) {
                    if (riff == 0 && !sawHeader) {
                        error("'movi' before 'hdrl'");
                    }
                    if (sawMovi) {
                        error("second 'movi' in RIFF " + std::to_string(riff));
                    }
                    sawMovi = true;
                    if (riff == 0) {
                        firstMoviType_ = position + 8;
                    }
                    parseMovi(position + 12, listEndAt, riff);
                }
                if (cut) {
                    return;
                }
                position = listEndAt + (chunk.size & 1);
                continue;
            }
            if (chunk.id == code("idx1")) {
                if (riff != 0 || !sawMovi) {
                    error("'idx1' out of place at " + std::to_string(position));
                } else {
                    firstIndex_ = chunk;
                    f_.hasFirstIndex = true;
                }
            } else if (chunk.id != code("JUNK")) {
                error("unexpected chunk '" + text(chunk.id) + "' in RIFF " + std::to_string(riff));
            }
            position = chunk.next;
        }
        if (riff == 0 && !sawHeader) {
            error("no 'hdrl' list");
        }
        if (!sawMovi && !options_.allowOpenEnded) {
            error("no 'movi' list in RIFF " + std::to_string(riff));
        }
    }

    void parseHeaderList(uint64_t position, uint64_t end) {
        bool sawMain = false;
        while (position < end) {
            ChunkAt chunk;
            if (!chunkAt(position, end, chunk)) {
                return;
            }
            if (chunk.id == code("avih")) {
                if (chunk.size < 56) {
                    error("'avih' of " + std::to_string(chunk.size) + " bytes");
                } else {
                    const uint64_t d = position + 8;
                    MainHeader& h = f_.mainHeader;
                    h.microSecPerFrame = u32(d);
                    h.maxBytesPerSec = u32(d + 4);
                    h.paddingGranularity = u32(d + 8);
                    h.flags = u32(d + 12);
                    h.totalFrames = u32(d + 16);
                    h.initialFrames = u32(d + 20);
                    h.streams = u32(d + 24);
                    h.suggestedBufferSize = u32(d + 28);
                    h.width = u32(d + 32);
                    h.height = u32(d + 36);
                }
                sawMain = true;
            } else if (chunk.id == code("LIST")) {
                const uint32_t type = u32(position + 8);
                if (chunk.size < 4) {
                    error("list of size " + std::to_string(chunk.size));
                } else if (type == code("strl")) {
                    parseStreamList(position + 12, chunk.dataEnd);
                } else if (type == code("odml")) {
                    parseExtensionList(position + 12, chunk.dataEnd);
                }
            }
            position = chunk.next;
        }
        if (!sawMain) {
            error("no 'avih'");
        }
        if (f_.mainHeader.streams != f_.streams.size()) {
            error("'avih' counts " + std::to_string(f_.mainHeader.streams) + " streams, " +
                  std::to_string(f_.streams.size()) + " 'strl' lists");
        }
    }

    void parseStreamList(uint64_t position, uint64_t end) {
        Stream stream;
        bool sawHeader = false;
        bool sawFormat = false;
        while (position < end) {
            ChunkAt chunk;
            if (!chunkAt(position, end, chunk)) {
                break;
            }
            const uint64_t d = position + 8;
            if (chunk.id == code("strh")) {
                sawHeader = true;
                if (chunk.size < 56) {
                    error("'strh' of " + std::to_string(chunk.size) + " bytes");
                } else {
                    StreamHeader& h = stream.header;
                    h.type = u32(d);
                    h.handler = u32(d + 4);
                    h.flags = u32(d + 8);
                    h.priority = u16(d + 12);
                    h.language = u16(d + 14);
                    h.initialFrames = u32(d + 16);
                    h.scale = u32(d + 20);
                    h.rate = u32(d + 24);
                    h.start = u32(d + 28);
                    h.length = u32(d + 32);
                    h.suggestedBufferSize = u32(d + 36);
                    h.quality = u32(d + 40);
                    h.sampleSize = u32(d + 44);
                    h.frameLeft = static_cast<int16_t>(u16(d + 48));
                    h.frameTop = static_cast<int16_t>(u16(d + 50));
                    h.frameRight = static_cast<int16_t>(u16(d + 52));
                    h.frameBottom = static_cast<int16_t>(u16(d + 54));
                }
            } else if (chunk.id == code("strf")) {
                sawFormat = true;
                stream.format.assign(b_.begin() + static_cast<std::ptrdiff_t>(d),
                                     b_.begin() + static_cast<std::ptrdiff_t>(chunk.dataEnd));
            } else if (chunk.id == code("strn")) {
                stream.hasName = true;
                stream.nameChunkSize = chunk.size;
                uint64_t at = d;
                while (at < chunk.dataEnd && b_[at] != 0) {
                    stream.name += static_cast<char>(b_[at]);
                    ++at;
                }
                if (at == chunk.dataEnd) {
                    error("'strn' without a terminating zero");
                }
            } else if (chunk.id == code("indx")) {
                parseSuperIndex(chunk, stream);
            }
            position = chunk.next;
        }
        if (!sawHeader || !sawFormat) {
            error("stream list " + std::to_string(f_.streams.size()) + " lacks 'strh' or 'strf'");
        }
        f_.streams.push_back(std::move(stream));
    }

    void parseSuperIndex(const ChunkAt& chunk, Stream& stream) {
        const uint64_t d = chunk.position + 8;
        if (chunk.size < 24) {
            error("'indx' of " + std::to_string(chunk.size) + " bytes");
            return;
        }
        stream.hasSuperIndex = true;
        const uint16_t longsPerEntry = u16(d);
        const uint8_t indexType = b_[d + 3];
        const uint32_t inUse = u32(d + 4);
        stream.superIndexChunkId = u32(d + 8);
        if (longsPerEntry != 4 || indexType != 0) {
            error("'indx' is not an index of indexes");
            return;
        }
        stream.superIndexCapacity = (chunk.size - 24) / 16;
        if (inUse > stream.superIndexCapacity) {
            error("'indx' uses " + std::to_string(inUse) + " entries of " +
                  std::to_string(stream.superIndexCapacity));
            return;
        }
        for (uint32_t i = 0; i < inUse; ++i) {
            const uint64_t e = d + 24 + uint64_t{16} * i;
            stream.superIndex.push_back(SuperIndexEntry{u64(e), u32(e + 8), u32(e + 12)});
        }
    }

    void parseExtensionList(uint64_t position, uint64_t end) {
        while (position < end) {
            ChunkAt chunk;
            if (!chunkAt(position, end, chunk)) {
                return;
            }
            if (chunk.id == code("dmlh")) {
                if (chunk.size < 4) {
                    error("'dmlh' of " + std::to_string(chunk.size) + " bytes");
                } else {
                    f_.hasExtensionHeader = true;
                    f_.extensionTotalFrames = u32(position + 8);
                }
            }
            position = chunk.next;
        }
    }

    void parseMovi(uint64_t position, uint64_t end, int riff) {
        while (position < end) {
            ChunkAt chunk;
            if (!chunkAt(position, end, chunk)) {
                return;
            }
            if (chunk.id == code("LIST")) {
                if (chunk.size >= 4 && u32(position + 8) == code("rec ")) {
                    parseMovi(position + 12, chunk.dataEnd, riff);
                } else {
                    error("unexpected list in 'movi' at " + std::to_string(position));
                }
            } else if (streamOfIndex(chunk.id) >= 0) {
                indexChunks_.push_back(
                    IndexChunk{position, chunk.size, streamOfIndex(chunk.id), 0});
            } else if (chunk.id == code("JUNK")) {
            } else {
                Sample sample;
                sample.stream = streamOf(chunk.id);
                sample.chunkId = chunk.id;
                sample.offset = position + 8;
                sample.size = chunk.size;
                sample.riff = riff;
                if (sample.stream < 0 || static_cast<size_t>(sample.stream) >= f_.streams.size()) {
                    error("chunk '" + text(chunk.id) + "' of no stream at " +
                          std::to_string(position));
                } else {
                    sampleAt_[sample.offset] = f_.samples.size();
                    f_.samples.push_back(sample);
                }
            }
            position = chunk.next;
        }
    }

    // idx1: one entry per sample of the first RIFF, in order, each pointing
    // (from the 'movi' code) at a chunk with its code and size.
    void checkFirstIndex() {
        if (!f_.hasFirstIndex) {
            return;
        }
        const uint32_t size = firstIndex_.size;
        if (size % 16 != 0) {
            error("'idx1' size " + std::to_string(size) + " is no multiple of 16");
        }
        const size_t entries = size / 16;
        f_.firstIndexEntries = entries;
        size_t inFirstRiff = 0;
        for (const Sample& sample : f_.samples) {
            inFirstRiff += sample.riff == 0 ? 1 : 0;
        }
        if (entries != inFirstRiff) {
            error("'idx1' lists " + std::to_string(entries) + " samples, the first RIFF has " +
                  std::to_string(inFirstRiff));
        }
        for (size_t i = 0; i < entries; ++i) {
            const uint64_t e = firstIndex_.position + 8 + 16 * i;
            const uint32_t id = u32(e);
            const uint32_t flags = u32(e + 4);
            const uint64_t header = firstMoviType_ + u32(e + 8);
            const uint32_t length = u32(e + 12);
            const auto found = sampleAt_.find(header + 8);
            if (found == sampleAt_.end()) {
                error("'idx1' entry " + std::to_string(i) + " points at no sample");
                continue;
            }
            Sample& sample = f_.samples[found->second];
            if (found->second != i) {
                error("'idx1' entry " + std::to_string(i) + " is out of order");
            }
            if (sample.chunkId != id || sample.size != length) {
                error("'idx1' entry " + std::to_string(i) + " says '" + text(id) + "' of " +
                      std::to_string(length) + " bytes, the chunk is '" + text(sample.chunkId) +
                      "' of " + std::to_string(sample.size));
            }
            sample.indexed = true;
            sample.keyFrame = (flags & 0x10) != 0;
        }
    }

    void checkStandardIndexes() {
        f_.standardIndexChunks = indexChunks_.size();
        for (IndexChunk& chunk : indexChunks_) {
            const uint64_t d = chunk.position + 8;
            if (chunk.size < 24) {
                error("standard index of " + std::to_string(chunk.size) + " bytes");
                continue;
            }
            const uint16_t longsPerEntry = u16(d);
            const uint8_t indexType = b_[d + 3];
            const uint32_t entries = u32(d + 4);
            const uint32_t chunkId = u32(d + 8);
            const uint64_t base = u64(d + 12);
            chunk.entries = entries;
            if (longsPerEntry != 2 || indexType != 1) {
                error("standard index at " + std::to_string(chunk.position) +
                      " is not an index of chunks");
                continue;
            }
            if (uint64_t{24} + uint64_t{8} * entries != chunk.size) {
                error("standard index at " + std::to_string(chunk.position) + " has " +
                      std::to_string(entries) + " entries in " + std::to_string(chunk.size) +
                      " bytes");
                continue;
            }
            if (streamOf(chunkId) != chunk.stream) {
                error("standard index of stream " + std::to_string(chunk.stream) +
                      " lists '" + text(chunkId) + "'");
            }
            for (uint32_t i = 0; i < entries; ++i) {
                const uint64_t e = d + 24 + uint64_t{8} * i;
                const uint64_t data = base + u32(e);
                const uint32_t sizeAndFlag = u32(e + 4);
                const auto found = sampleAt_.find(data);
                if (found == sampleAt_.end()) {
                    error("standard index entry " + std::to_string(i) + " at " +
                          std::to_string(chunk.position) + " points at no sample");
                    continue;
                }
                Sample& sample = f_.samples[found->second];
                if (sample.chunkId != chunkId || sample.size != (sizeAndFlag & 0x7FFFFFFF)) {
                    error("standard index entry " + std::to_string(i) + " disagrees with '" +
                          text(sample.chunkId) + "' of " + std::to_string(sample.size));
                }
                const bool key = (sizeAndFlag & 0x80000000u) == 0;
                if (sample.indexed && sample.riff == 0 && f_.hasFirstIndex &&
                    sample.keyFrame != key) {
                    error("idx1 and the standard index disagree on a key frame");
                }
                sample.indexed = true;
                sample.keyFrame = key;
            }
        }
    }

    // Every super index entry points at a standard index chunk of its
    // stream, with that chunk's size and sample count.
    void checkSuperIndexes() {
        std::map<uint64_t, const IndexChunk*> byPosition;
        for (const IndexChunk& chunk : indexChunks_) {
            byPosition[chunk.position] = &chunk;
        }
        for (size_t s = 0; s < f_.streams.size(); ++s) {
            const Stream& stream = f_.streams[s];
            size_t listed = 0;
            for (const SuperIndexEntry& entry : stream.superIndex) {
                const auto found = byPosition.find(entry.offset);
                if (found == byPosition.end()) {
                    error("super index entry of stream " + std::to_string(s) +
                          " points at no standard index (" + std::to_string(entry.offset) + ")");
                    continue;
                }
                const IndexChunk& chunk = *found->second;
                if (chunk.stream != static_cast<int>(s) || entry.size != chunk.size + 8) {
                    error("super index entry of stream " + std::to_string(s) +
                          " disagrees with its standard index");
                }
                if (stream.header.sampleSize == 0 && entry.duration != chunk.entries) {
                    error("super index entry says " + std::to_string(entry.duration) +
                          " samples, the standard index has " + std::to_string(chunk.entries));
                }
                ++listed;
            }
            size_t present = 0;
            for (const IndexChunk& chunk : indexChunks_) {
                present += chunk.stream == static_cast<int>(s) ? 1 : 0;
            }
            if (listed != present && !options_.allowOpenEnded) {
                error("stream " + std::to_string(s) + " has " + std::to_string(present) +
                      " standard indexes, its super index lists " + std::to_string(listed));
            }
        }
    }

    void finishSamples() {
        for (const Sample& sample : f_.samples) {
            if (!sample.indexed && options_.requireIndex && !options_.allowOpenEnded) {
                error("sample at " + std::to_string(sample.offset) + " is in no index");
            }
            f_.streams[static_cast<size_t>(sample.stream)].samples.push_back(sample);
        }
    }

    const std::vector<uint8_t>& b_;
    Options options_;
    File& f_;
    uint64_t firstMoviType_ = 0;
    ChunkAt firstIndex_;
    std::vector<IndexChunk> indexChunks_;
    std::map<uint64_t, size_t> sampleAt_;  // data offset -> sample
};

}  // namespace

File parse(const std::vector<uint8_t>& bytes, const Options& options) {
    File file;
    Parser(bytes, options, file).run();
    return file;
}

std::vector<uint8_t> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

File parseFile(const std::string& path, const Options& options) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        File file;
        file.errors.push_back("cannot read " + path);
        return file;
    }
    return parse(readWholeFile(path), options);
}

std::vector<uint8_t> sampleData(const std::vector<uint8_t>& bytes, const Sample& sample) {
    if (sample.offset + sample.size > bytes.size()) {
        return {};
    }
    const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(sample.offset);
    return std::vector<uint8_t>(begin, begin + sample.size);
}

}  // namespace riffcheck
