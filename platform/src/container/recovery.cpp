// The walk of a cut-off AVI file of any writer and the plan that completes
// it. The headers are read with the records' parses, in file order; the movi
// lists are walked chunk by chunk without trusting any list's size (a writer
// that died left them 0, stale, or past the end), until the file ends or a
// chunk is torn or not a chunk at all. The plan then indexes every whole
// sample of the last RIFF that has any: the idx1 after the first RIFF's
// movi list, or standard indexes at the end of a later RIFF's, with their
// super index entries; and sets the sizes and counts in the header fields.
#include "container/recovery.h"

#include <algorithm>

#include "codecs/key_frame_probe.h"
#include "riff/little_endian.h"

namespace avifile::recovery {
namespace {

// A header block is a few dozen kilobytes; a larger hdrl list is damaged
// and is not read into memory.
constexpr uint32_t kLargestHeaderList = 16u << 20;

// Bytes of a compressed sample read to tell whether it is a key frame; the
// whole sample (up to kLargestProbedSample) only when that was not enough.
constexpr uint32_t kProbedBytes = 4096;
constexpr uint32_t kLargestProbedSample = 64u << 20;

// Samples listed at the most (24 bytes of memory each): a day of 60 frames a
// second with two audio chunks a frame is 16 million.
constexpr size_t kMostSamples = size_t{1} << 26;

bool isPrintable(uint32_t id) {
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<uint8_t>(id >> (8 * i));
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return id != fourcc("    ");
}

std::span<const uint8_t> dataOf(const std::vector<uint8_t>& list, const Chunk& chunk) {
    return std::span<const uint8_t>(list).subspan(static_cast<size_t>(chunk.dataAt()),
                                                  chunk.size);
}

// Whether a list's data (or that of a 'JUNK' chunk that a writer keeps in
// the place of a list it writes at the end) holds a list of `type`.
bool holdsListOf(std::span<const uint8_t> data, uint32_t type) {
    LEReader r(data.data(), data.size());
    return r.u32() == type && r.whole();
}

// Whether every record of a header list is a chunk: bytes that are none (a
// page of the header that never reached the disk reads as zeros, a torn
// sector as garbage), like a record running past the list, make the header
// damaged, and a file repaired around them would not be a well-formed RIFF.
bool allChunks(const std::vector<Chunk>& chunks) {
    return std::all_of(chunks.begin(), chunks.end(),
                       [](const Chunk& chunk) { return isPrintable(chunk.id); });
}

bool readStreamList(std::span<const uint8_t> list, uint64_t listDataAt, Survey& survey) {
    std::vector<Chunk> chunks;
    if (!forEachChunk(list, chunks) || !allChunks(chunks)) {
        return false;
    }
    const std::vector<uint8_t> bytes(list.begin(), list.end());
    FoundStream stream;
    bool header = false;
    for (const Chunk& chunk : chunks) {
        const std::span<const uint8_t> data = dataOf(bytes, chunk);
        if (chunk.id == kStreamHeaderId && !header) {
            if (const auto parsed = parseStreamHeader(data)) {
                stream.header = *parsed;
                stream.headerAt = listDataAt + chunk.dataAt();
                header = true;
            }
        } else if (chunk.id == kStreamFormatId && stream.format.empty()) {
            stream.format.assign(data.begin(), data.end());
        } else if (chunk.id == kStreamNameId && stream.name.empty()) {
            stream.name.assign(data.begin(), std::find(data.begin(), data.end(), uint8_t{0}));
        } else if (chunk.id == kSuperIndexId || chunk.id == kJunkId) {
            uint32_t capacity = 0;
            const auto parsed = parseSuperIndexHeader(data, &capacity);
            if (parsed && stream.superIndexAt == 0) {
                stream.superIndexAt = listDataAt + chunk.at;
                stream.superIndexCapacity = capacity;
                // A placeholder 'JUNK' has no entries in use, whatever it says.
                for (uint32_t n = 0; chunk.id == kSuperIndexId && n < parsed->entriesInUse; ++n) {
                    stream.superIndex.push_back(*parseSuperIndexEntry(data, n));
                }
            }
        }
    }
    if (header) {
        survey.streams.push_back(std::move(stream));
    }
    return true;
}

void readExtensionList(std::span<const uint8_t> list, uint64_t listDataAt, uint64_t listAt,
                       Survey& survey) {
    std::vector<Chunk> chunks;
    forEachChunk(list, chunks);
    const std::vector<uint8_t> bytes(list.begin(), list.end());
    for (const Chunk& chunk : chunks) {
        if (chunk.id == kExtensionHeaderId && parseExtensionHeader(dataOf(bytes, chunk))) {
            survey.extensionAt = listDataAt + chunk.dataAt();
            survey.extensionListAt = listAt;
            return;
        }
    }
}

bool readHeaderList(const ByteSource& file, const Chunk& hdrl, Survey& survey, std::string& why) {
    std::vector<uint8_t> list;
    if (hdrl.size > kLargestHeaderList || !file.read(hdrl.dataAt(), list, hdrl.size)) {
        why = "its header list is damaged";
        return false;
    }
    std::vector<Chunk> chunks;
    if (!forEachChunk(list, chunks) || !allChunks(chunks)) {
        why = "its header is damaged";
        return false;
    }
    bool mainHeader = false;
    for (const Chunk& chunk : chunks) {
        const std::span<const uint8_t> data = dataOf(list, chunk);
        const uint64_t at = hdrl.dataAt() + chunk.at;
        if (chunk.id == kMainHeaderId && !mainHeader) {
            if (const auto parsed = parseMainHeader(data)) {
                survey.main = *parsed;
                survey.mainAt = at + 8;
                mainHeader = true;
            }
        } else if (chunk.id == kListId && holdsListOf(data, kStreamListType)) {
            if (!readStreamList(data, at + 8, survey)) {
                why = "its header is damaged";
                return false;
            }
        } else if ((chunk.id == kListId || chunk.id == kJunkId) &&
                   holdsListOf(data, kExtensionListType)) {
            readExtensionList(data, at + 8, at, survey);
        }
    }
    if (!mainHeader) {
        why = "its main header (avih) is missing or cut short";
        return false;
    }
    if (survey.streams.empty()) {
        why = "its header describes no stream";
        return false;
    }
    if (survey.streams.size() > 100) {
        why = "its header describes more than 100 streams";
        return false;
    }
    return true;
}

}  // namespace

uint64_t FoundStream::units(int64_t chunks, uint64_t chunkBytes) const {
    return header.sampleSize > 0 && !isVideo() ? chunkBytes / header.sampleSize
                                               : static_cast<uint64_t>(chunks);
}

const FoundSample* sampleAt(const FoundRiff& riff, uint64_t at) {
    const auto found = std::lower_bound(riff.samples.begin(), riff.samples.end(), at,
                                        [](const FoundSample& s, uint64_t a) { return s.at < a; });
    return found != riff.samples.end() && found->at == at ? &*found : nullptr;
}

bool isSampleId(uint32_t id, uint16_t& stream) {
    const auto c0 = static_cast<uint8_t>(id);
    const auto c1 = static_cast<uint8_t>(id >> 8);
    const auto c2 = static_cast<uint8_t>(id >> 16);
    const auto c3 = static_cast<uint8_t>(id >> 24);
    if (c0 < '0' || c0 > '9' || c1 < '0' || c1 > '9' || c2 < 'a' || c2 > 'z' || c3 < 'a' ||
        c3 > 'z') {
        return false;
    }
    const uint32_t kind = id >> 16;
    // Palette changes are no samples of their own.
    if (kind == (fourcc("00pc") >> 16)) {
        return false;
    }
    stream = static_cast<uint16_t>((c0 - '0') * 10 + (c1 - '0'));
    return true;
}

bool readHeaders(const ByteSource& file, Survey& survey, std::string& why) {
    ChunkWalker walker(file, 0, file.size());
    Chunk riff;
    if (walker.next(riff) == ChunkWalker::Step::End || riff.id != kRiffId ||
        riff.listType != kAviType) {
        why = "it is not an AVI file";
        return false;
    }
    survey.riffs.push_back(FoundRiff::starting(0, riff.size));
    // The first RIFF's size may be 0 or stale: its chunks are walked to the
    // end of the file, the header's own sizes trusted only as far as the
    // file goes.
    walker.enter(riff);
    bool headerList = false;
    for (;;) {
        Chunk chunk;
        const ChunkWalker::Step step = walker.next(chunk);
        // The movi list reaches past the end of a file cut off in it.
        const bool movi = chunk.id == kListId && chunk.listType == kMoviListType;
        if (step == ChunkWalker::Step::End || (step == ChunkWalker::Step::Torn && !movi)) {
            why = headerList ? "it has no movi list: it was cut off before its first frame"
                             : "its header is cut short";
            return false;
        }
        if (chunk.id == kListId && chunk.listType == kHeaderListType && !headerList) {
            if (!readHeaderList(file, chunk, survey, why)) {
                return false;
            }
            headerList = true;
        } else if (movi) {
            if (!headerList) {
                why = "its header list (hdrl) is missing";
                return false;
            }
            survey.riffs[0].moviAt = chunk.at;
            survey.riffs[0].moviSize = chunk.size;
            return true;
        } else if (!isPrintable(chunk.id)) {
            why = "its header is damaged";
            return false;
        }
    }
}

void walkChunks(const ByteSource& file, Survey& survey) {
    ChunkWalker walker(file, survey.riffs.front().moviAt + 12, file.size());
    if (survey.firstChunkAt != 0) {
        walker.moveTo(survey.firstChunkAt);
    }
    Chunk last;  // the chunk before, for writers that leave out pad bytes
    size_t listed = 0;
    for (;;) {
        FoundRiff& riff = survey.riffs.back();
        Chunk chunk;
        const ChunkWalker::Step step = walker.next(chunk);
        if (step == ChunkWalker::Step::End) {
            return;
        }
        // A list that reaches past the end is one being filled when the
        // writer died: its chunks are walked.
        const bool list = (chunk.id == kRiffId && chunk.listType == kAviExtensionType) ||
                          (chunk.id == kListId && (chunk.listType == kMoviListType ||
                                                   chunk.listType == kRecordListType));
        if (step == ChunkWalker::Step::Torn && !list) {
            survey.stop = "a chunk cut short at byte " + std::to_string(chunk.at);
            return;
        }
        if (!isPrintable(chunk.id)) {
            // A writer that does not pad odd chunks: the next one begins a
            // byte early.
            if ((last.size & 1) != 0 && chunk.at == last.end()) {
                walker.moveTo(last.dataEnd());
                last = Chunk{};
                continue;
            }
            survey.stop = "bytes that are no chunk at byte " + std::to_string(chunk.at);
            return;
        }
        last = chunk;
        uint16_t stream = 0;
        if (chunk.id == kRiffId && chunk.listType == kAviExtensionType) {
            survey.riffs.push_back(FoundRiff::starting(chunk.at, chunk.size));
            walker.enter(chunk);
        } else if (chunk.id == kListId && chunk.listType == kMoviListType) {
            // One movi list a RIFF: another one, inside it or after it, is
            // no part of the movie that the header describes.
            if (riff.moviAt != 0) {
                survey.stop = "a second movi list at byte " + std::to_string(chunk.at);
                return;
            }
            riff.moviAt = chunk.at;
            riff.moviSize = chunk.size;
            walker.enter(chunk);
        } else if (chunk.id == kListId && chunk.listType == kRecordListType) {
            walker.enter(chunk);
        } else if (chunk.id == kRiffId) {
            survey.stop = "a RIFF that is not part of the movie at byte " + std::to_string(chunk.at);
            return;
        } else if (chunk.id == kFirstIndexId) {
            riff.firstIndexes.push_back(chunk);
        } else if ((chunk.id & 0xFFFF) == (fourcc("ix00") & 0xFFFF)) {
            riff.indexes.push_back(chunk);
        } else if (isSampleId(chunk.id, stream) && stream < survey.streams.size()) {
            riff.samples.push_back(FoundSample{chunk.at, chunk.id, chunk.size, stream});
            if (++listed > kMostSamples) {
                survey.refusal = "it holds more than " + std::to_string(kMostSamples) +
                                 " chunks, more than the repair takes on";
                return;
            }
        }
        // JUNK, other lists, chunks of streams the header does not have: kept
        // where they are, not indexed.
    }
}

namespace {

uint64_t riffEnd(const FoundRiff& riff) { return riff.at + 8 + uint64_t{riff.size}; }

uint64_t samplesEnd(const FoundRiff& riff) {
    if (riff.samples.empty()) {
        return riff.moviAt + 12;
    }
    const FoundSample& last = riff.samples.back();
    return last.at + 8 + uint64_t{last.size};
}

bool readChunkData(const ByteSource& file, const Chunk& chunk, std::vector<uint8_t>& out) {
    return chunk.size <= kLargestHeaderList * 16 && file.read(chunk.dataAt(), out, chunk.size);
}

// The first RIFF's idx1 lists each of its samples, in place and size.
bool firstIndexFits(const ByteSource& file, const FoundRiff& riff) {
    if (riff.firstIndexes.size() != 1) {
        return false;
    }
    std::vector<uint8_t> data;
    if (!readChunkData(file, riff.firstIndexes.front(), data)) {
        return false;
    }
    size_t listed = 0;
    for (uint32_t n = 0;; ++n) {
        const auto entry = parseFirstIndexEntry(data, n);
        if (!entry) {
            break;
        }
        uint16_t stream = 0;
        if (!isSampleId(entry->chunkId, stream)) {
            continue;
        }
        // Offsets from the 'movi' code, or (some writers) from the file's start.
        const FoundSample* sample = sampleAt(riff, riff.moviAt + 8 + uint64_t{entry->offset});
        if (sample == nullptr) {
            sample = sampleAt(riff, entry->offset);
        }
        if (sample == nullptr || sample->id != entry->chunkId || sample->size != entry->size) {
            return false;
        }
        ++listed;
    }
    return listed == riff.samples.size();
}

// The samples of `stream` in a RIFF.
std::vector<const FoundSample*> samplesOf(const FoundRiff& riff, size_t stream) {
    std::vector<const FoundSample*> out;
    for (const FoundSample& sample : riff.samples) {
        if (sample.stream == stream) {
            out.push_back(&sample);
        }
    }
    return out;
}

// A stream's standard index in this RIFF lists each of its samples, and its
// super index points at it.
bool standardIndexFits(const ByteSource& file, const FoundRiff& riff, const FoundStream& stream,
                       size_t number) {
    const std::vector<const FoundSample*> samples = samplesOf(riff, number);
    if (samples.empty()) {
        return true;
    }
    for (const Chunk& chunk : riff.indexes) {
        std::vector<uint8_t> data;
        const bool pointedAt =
            std::any_of(stream.superIndex.begin(), stream.superIndex.end(),
                        [&](const SuperIndexEntry& e) { return e.offset == chunk.at; });
        if (!pointedAt || !readChunkData(file, chunk, data)) {
            continue;
        }
        const auto header = parseStandardIndexHeader(data);
        if (!header || header->entriesInUse != samples.size() ||
            header->chunkId != samples.front()->id) {
            continue;
        }
        bool fits = true;
        for (uint32_t n = 0; n < header->entriesInUse && fits; ++n) {
            const auto entry = parseStandardIndexEntry(data, n);
            fits = entry && header->baseOffset + entry->offset == samples[n]->at + 8 &&
                   (entry->sizeAndFlag & ~kStandardIndexDeltaFrame) == samples[n]->size;
        }
        if (fits) {
            return true;
        }
    }
    return false;
}

// A RIFF that its writer closed: its sizes reach as far as its chunks, and
// its indexes list every sample in it.
bool riffIsClosed(const ByteSource& file, const Survey& survey, size_t r) {
    const FoundRiff& riff = survey.riffs[r];
    const uint64_t end = riffEnd(riff);
    const uint64_t moviEnd = riff.moviAt + 8 + uint64_t{riff.moviSize};
    if (riff.size == 0 || end > file.size() || riff.moviAt == 0 || moviEnd > end ||
        moviEnd < samplesEnd(riff) || (r + 1 < survey.riffs.size() && survey.riffs[r + 1].at < end)) {
        return false;
    }
    bool standard = true;
    for (size_t s = 0; s < survey.streams.size(); ++s) {
        standard = standard && standardIndexFits(file, riff, survey.streams[s], s);
    }
    if (r == 0) {
        // idx1, or (a large file) standard indexes with the super index.
        const bool hasStandard = !riff.indexes.empty() && standard;
        return firstIndexFits(file, riff) || (survey.riffs.size() > 1 && hasStandard);
    }
    return standard;
}


void putChunkHeader(uint32_t id, uint64_t size, std::vector<uint8_t>& out) {
    LEWriter w(out);
    w.u32(id);
    w.u32(static_cast<uint32_t>(size));
}

Write field32(uint64_t at, uint32_t value) {
    Write write{at, {}};
    LEWriter(write.bytes).u32(value);
    return write;
}

std::vector<uint8_t> firstIndexChunk(const ByteSource& file, const Survey& survey,
                                     const FoundRiff& riff) {
    std::vector<uint8_t> entries;
    std::vector<bool> seen(survey.streams.size(), false);
    for (const FoundSample& sample : riff.samples) {
        const FoundStream& stream = survey.streams[sample.stream];
        FirstIndexEntry entry;
        entry.chunkId = sample.id;
        entry.flags = isKeyFrame(file, stream, sample, !seen[sample.stream]) ? kIndexKeyFrame : 0;
        entry.offset = static_cast<uint32_t>(sample.at - (riff.moviAt + 8));
        entry.size = sample.size;
        seen[sample.stream] = true;
        serialize(entry, entries);
    }
    std::vector<uint8_t> chunk;
    putChunkHeader(kFirstIndexId, entries.size(), chunk);
    chunk.insert(chunk.end(), entries.begin(), entries.end());
    return chunk;
}

std::vector<uint8_t> standardIndexChunk(const ByteSource& file, const FoundStream& stream,
                                        const std::vector<const FoundSample*>& samples,
                                        uint64_t base, size_t number, bool firstOfStream) {
    std::vector<uint8_t> data;
    serializeStandardIndexHeader(samples.front()->id, static_cast<uint32_t>(samples.size()), base,
                                 data);
    for (const FoundSample* sample : samples) {
        const bool key = isKeyFrame(file, stream, *sample, firstOfStream && sample == samples.front());
        serialize(StandardIndexEntry{static_cast<uint32_t>(sample->at + 8 - base),
                                     sample->size | (key ? 0 : kStandardIndexDeltaFrame)},
                  data);
    }
    std::vector<uint8_t> chunk;
    const uint32_t id = fourcc("ix00") | (uint32_t{static_cast<uint8_t>('0' + number / 10)} << 16) |
                        (uint32_t{static_cast<uint8_t>('0' + number % 10)} << 24);
    putChunkHeader(id, data.size(), chunk);
    chunk.insert(chunk.end(), data.begin(), data.end());
    return chunk;
}

// The header's counts: avih frames of the first RIFF, each stream's length,
// the extension header's total frames. The lead video stream's length and
// the extension header's total, by which a closed file is judged complete,
// go last: a repair cut off before them is done again.
void planCounts(const Survey& survey, size_t lastRiff, bool indexed, Plan& plan) {
    std::vector<Write> judged;
    int64_t firstRiffFrames = 0;
    int64_t allFrames = 0;
    const FoundStream* lead = nullptr;
    for (size_t s = 0; s < survey.streams.size(); ++s) {
        const FoundStream& stream = survey.streams[s];
        int64_t chunks = 0;
        uint64_t bytes = 0;
        for (size_t r = 0; r <= lastRiff; ++r) {
            for (const FoundSample* sample : samplesOf(survey.riffs[r], s)) {
                ++chunks;
                bytes += sample->size;
                firstRiffFrames += r == 0 && lead == nullptr && stream.isVideo() ? 1 : 0;
            }
        }
        plan.samples += chunks;
        const auto length = static_cast<uint32_t>(std::min<uint64_t>(stream.units(chunks, bytes),
                                                                     UINT32_MAX));
        if (stream.isVideo() && lead == nullptr) {
            lead = &stream;
            allFrames = chunks;
            plan.frames = chunks;
            judged.push_back(field32(stream.headerAt + 32, length));  // dwLength
        } else {
            plan.fields.push_back(field32(stream.headerAt + 32, length));
        }
    }
    const auto clamp = [](int64_t n) { return static_cast<uint32_t>(std::min<int64_t>(n, UINT32_MAX)); };
    plan.fields.push_back(field32(survey.mainAt + 16, clamp(firstRiffFrames)));  // dwTotalFrames
    if (indexed) {
        plan.fields.push_back(field32(survey.mainAt + 12, survey.main.flags | kAvifHasIndex));
    }
    // A file that went past its first RIFF counts every frame in its
    // extension header, also when what is kept ends in the first RIFF.
    if (survey.extensionAt != 0 && survey.riffs.size() > 1) {
        if (lastRiff > 0) {
            plan.fields.push_back(field32(survey.extensionListAt, kListId));
        }
        judged.insert(judged.begin(), field32(survey.extensionAt, clamp(allFrames)));
    }
    plan.fields.insert(plan.fields.end(), judged.begin(), judged.end());
}

// The standard index of each stream with samples in a later RIFF, to go at
// `keep`, and its entry in the stream's super index.
bool planStandardIndexes(const ByteSource& file, const Survey& survey, size_t last, uint64_t keep,
                         std::vector<uint8_t>& indexes, Plan& plan, std::string& why) {
    const FoundRiff& riff = survey.riffs[last];
    for (size_t s = 0; s < survey.streams.size(); ++s) {
        const std::vector<const FoundSample*> samples = samplesOf(riff, s);
        if (samples.empty()) {
            continue;
        }
        const FoundStream& stream = survey.streams[s];
        const auto used = static_cast<uint32_t>(std::count_if(
            stream.superIndex.begin(), stream.superIndex.end(),
            [&](const SuperIndexEntry& e) { return e.offset < riff.at; }));
        if (stream.superIndexAt == 0 || used >= stream.superIndexCapacity) {
            why = "its header has no room to index RIFF " + std::to_string(last + 1) +
                  " (stream " + std::to_string(s) + "'s super index is full or missing)";
            return false;
        }
        bool earlier = false;
        for (size_t r = 0; r < last; ++r) {
            earlier = earlier || !samplesOf(survey.riffs[r], s).empty();
        }
        const uint64_t at = keep + indexes.size();
        const std::vector<uint8_t> chunk =
            standardIndexChunk(file, stream, samples, riff.moviAt, s, !earlier);
        indexes.insert(indexes.end(), chunk.begin(), chunk.end());
        uint64_t bytes = 0;
        for (const FoundSample* sample : samples) {
            bytes += sample->size;
        }
        Write entry{stream.superIndexAt + 8 + kSuperIndexHeaderBytes + uint64_t{used} * kSuperIndexEntryBytes, {}};
        LEWriter w(entry.bytes);
        w.u64(at);
        w.u32(static_cast<uint32_t>(chunk.size()));
        w.u32(static_cast<uint32_t>(std::min<uint64_t>(
            stream.units(static_cast<int64_t>(samples.size()), bytes), UINT32_MAX)));
        plan.fields.push_back(std::move(entry));
        plan.fields.push_back(field32(stream.superIndexAt + 8 + 4, used + 1));  // nEntriesInUse
        plan.fields.push_back(field32(stream.superIndexAt, kSuperIndexId));
    }
    return true;
}

// Whether the lead video stream's length (and the extension header's total,
// when the file has more than one RIFF) on disk are the ones planned.
bool countsAreWritten(const ByteSource& file, const Survey& survey, const Plan& plan) {
    for (const Write& write : plan.fields) {
        bool checked = write.at == survey.extensionAt;
        for (const FoundStream& stream : survey.streams) {
            checked = checked || (stream.isVideo() && write.at == stream.headerAt + 32);
        }
        std::vector<uint8_t> onDisk;
        if (checked && (!file.read(write.at, onDisk, write.bytes.size()) || onDisk != write.bytes)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool isKeyFrame(const ByteSource& file, const FoundStream& stream, const FoundSample& sample,
                bool first) {
    const auto format = parseBitmapInfoHeader(stream.format);
    if (!stream.isVideo() || (sample.id >> 16) == (fourcc("00db") >> 16) || !format ||
        format->compression == 0) {
        return true;
    }
    const codecs::ProbedFormat probed{format->compression, format->width, format->height};
    std::vector<uint8_t> data;
    const uint32_t head = std::min(sample.size, kProbedBytes);
    if (file.read(sample.at + 8, data, head) && codecs::sampleIsKeyFrame(probed, data)) {
        return true;
    }
    if (sample.size > head && sample.size <= kLargestProbedSample &&
        file.read(sample.at + 8, data, sample.size) && codecs::sampleIsKeyFrame(probed, data)) {
        return true;
    }
    // A codec the probe does not know: a reader can at least start at the
    // first frame.
    return first;
}

bool planRepair(const ByteSource& file, const Survey& survey, Plan& plan, std::string& why) {
    size_t last = 0;
    for (size_t r = 0; r < survey.riffs.size(); ++r) {
        if (!survey.riffs[r].samples.empty()) {
            last = r;
        }
    }
    for (size_t r = 0; r < last; ++r) {
        if (!riffIsClosed(file, survey, r)) {
            why = "RIFF " + std::to_string(r + 1) + " of it was never closed, and more follow it";
            return false;
        }
    }
    const FoundRiff& riff = survey.riffs[last];
    if (riff.moviAt == 0) {
        why = "RIFF " + std::to_string(last + 1) + " of it has no movi list";
        return false;
    }
    if (riff.samples.empty()) {
        why = riffIsClosed(file, survey, last)
                  ? "it holds no whole sample of a stream its header describes"
                  : "it holds no whole sample: it was cut off inside its first";
        return false;
    }
    if (riffIsClosed(file, survey, last)) {
        // Indexed and closed: a complete file, unless the frame counts were
        // never written (writers that set them only at the end). Only those
        // are checked; writers differ in how they count the rest.
        plan.length = riffEnd(riff);
        planCounts(survey, last, false, plan);
        // A RIFF begun after it and cut away takes its super index entries
        // with it, or readers would count its frames.
        for (const FoundStream& stream : survey.streams) {
            const auto kept = static_cast<uint32_t>(std::count_if(
                stream.superIndex.begin(), stream.superIndex.end(),
                [&](const SuperIndexEntry& e) { return e.offset < plan.length; }));
            if (stream.superIndexAt != 0 && kept < stream.superIndex.size()) {
                plan.fields.push_back(field32(stream.superIndexAt + 8 + 4, kept));  // nEntriesInUse
            }
        }
        if (countsAreWritten(file, survey, plan)) {
            plan.fields.clear();
            plan.length = file.size();
        }
        return true;
    }
    // The indexes go after the last whole sample and its pad byte (written
    // with them when the cut left it out): over a torn chunk or an index
    // cut short.
    const uint64_t samplesStop = samplesEnd(riff);
    const uint64_t keep = samplesStop + (samplesStop & 1);
    std::vector<uint8_t> indexes;
    if (last == 0) {
        indexes = firstIndexChunk(file, survey, riff);
    } else if (!planStandardIndexes(file, survey, last, keep, indexes, plan, why)) {
        return false;
    }
    if (keep != samplesStop) {
        indexes.insert(indexes.begin(), 0);
    }
    plan.indexes.push_back(Write{samplesStop, indexes});
    plan.length = samplesStop + indexes.size();
    if (plan.length - riff.at - 8 > UINT32_MAX) {
        if (last != 0) {
            why = "its last RIFF is larger than a RIFF can be";
            return false;
        }
        plan.inPlaceRefusal =
            "it is too large for an AVI 1.0 index, and its frames would have to move to make "
            "room for the large-file extension's (--output NEW.avi writes it anew)";
    }
    // The counts first, then the sizes that close the RIFF: a file closed
    // and indexed is judged by its counts alone.
    planCounts(survey, last, last == 0, plan);
    const uint64_t moviEnd = last == 0 ? keep : plan.length;
    plan.fields.push_back(field32(riff.moviAt + 4, static_cast<uint32_t>(moviEnd - riff.moviAt - 8)));
    plan.fields.push_back(field32(riff.at + 4, static_cast<uint32_t>(plan.length - riff.at - 8)));
    return true;
}

bool planIsDone(const ByteSource& file, const Plan& plan) {
    if (file.size() != plan.length) {
        return false;
    }
    for (const std::vector<Write>* writes : {&plan.indexes, &plan.fields}) {
        for (const Write& write : *writes) {
            std::vector<uint8_t> onDisk;
            if (!file.read(write.at, onDisk, write.bytes.size()) || onDisk != write.bytes) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace avifile::recovery
