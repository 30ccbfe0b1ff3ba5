// Finishing a recording whose writer died. A file this layer wrote is read
// back into the layout the writer knew, what a cut write left behind is cut
// away, and the writer's own finish() writes the indexes and the final
// headers; any other writer's file goes to any_recording.cpp.
//
// Reading goes in file order: the header block (which must be laid out as
// this layer writes it), then each RIFF. A RIFF whose sizes are set was
// closed with its indexes; its samples and index chunks are counted. The
// RIFF being filled when the writer died has sizes of 0; its chunks are
// walked until the first one that is not a whole sample (a torn chunk, the
// marker over an earlier file's bytes, an index that was being written).
// The file is cut there, which leaves it as readable as it was, and the
// layout goes to the writer, which completes the file in the order it always
// does: indexes appended, sizes set, headers rewritten. Killed at any point
// of that, the file stays readable, and a second repair finishes the job.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "api/failure_reason.h"
#include "avifile_hooks.h"
#include "codecs/key_frame_probe.h"
#include "container/avi_writer.h"
#include "container/file_layout.h"
#include "container/header_and_indexes.h"
#include "container/recovery.h"
#include "riff/chunk_walker.h"
#include "riff/chunk_writer.h"
#include "riff/file_system.h"
#include "riff/little_endian.h"

namespace avifile {
namespace {

// A compressed sample larger than this is not read to find out whether it
// is a key frame; it is taken for one.
constexpr uint32_t kLargestProbedSample = 64u << 20;

uint32_t le32(const uint8_t* bytes) {
    return LEReader(bytes, 4).u32();
}

using FileBytes = ByteSource;

// The header of the chunk at `at`, whatever its size says.
bool readChunkHeader(const FileBytes& file, uint64_t at, Chunk& chunk) {
    ChunkWalker walker(file, at, file.size());
    return walker.next(chunk) != ChunkWalker::Step::End;
}

// What the walk of the file found.
struct Survey {
    FileLayout layout;
    size_t headerBytes = 0;      // the header block, up to the first movi list's type
    uint64_t keep = 0;           // bytes that stay; the rest is cut away
    bool needsWork = false;      // anything to cut, close or rewrite
    std::string refusal;         // why the file is not repaired
};

bool refuse(Survey& survey, const char* why) {
    survey.refusal = why;
    return false;
}

constexpr const char* kNotOurLayout = "its header is not laid out as this program writes it";
constexpr const char* kDamagedHeader = "its header is damaged";

// A header block is a few dozen kilobytes; a larger one is no header of
// ours, and is not read into memory.
constexpr uint64_t kLargestHeader = 16u << 20;

// The records of a 'hdrl' list that lie in [at, end) of `source`: the main
// header, the recording mark, one 'strl' list per stream (header, format,
// name, super index) and the 'odml' list. Fills the streams, the super
// indexes' capacity and the recording of `layout`; null, else the reason.
const char* readHeaderList(const FileBytes& source, uint64_t at, uint64_t end, FileLayout& layout) {
    std::optional<MainHeader> main;
    bool extensionSeen = false;
    uint32_t capacity = 0;
    while (at < end) {
        Chunk chunk;
        if (!readChunkHeader(source, at, chunk) || at + chunkExtent(chunk.size) > end) {
            return kDamagedHeader;
        }
        std::vector<uint8_t> data;
        if (!source.read(at + 8, data, chunk.size)) {
            return kDamagedHeader;
        }
        if (chunk.id == kMainHeaderId && !main && chunk.size == kMainHeaderBytes) {
            main = parseMainHeader(data);
            if (!main) {
                return kDamagedHeader;
            }
        } else if (chunk.id == kListId && chunk.size >= 4 && le32(data.data()) == kStreamListType) {
            StreamState stream;
            bool header = false;
            bool format = false;
            bool superIndex = false;
            std::vector<Chunk> records;
            if (!forEachChunk(data, records)) {
                return kDamagedHeader;
            }
            for (const Chunk& inner : records) {
                const uint32_t id = inner.id;
                const uint32_t size = inner.size;
                const uint8_t* body = data.data() + inner.dataAt();
                const std::span<const uint8_t> record(body, size);
                const auto parsed = size == kStreamHeaderBytes ? parseStreamHeader(record)
                                                                : std::nullopt;
                if (id == kStreamHeaderId && parsed && !header) {
                    header = true;
                    stream.info = streamInfo(*parsed);
                } else if (id == kStreamFormatId && header && !format) {
                    format = true;
                    stream.format.assign(body, body + size);
                    stream.formatSet = true;
                } else if (const auto mark = id == kJunkId && header && !format &&
                                                     layout.streams.empty() && layout.recording == 0
                                                 ? parseRecordingMark(record)
                                                 : std::nullopt) {
                    layout.recording = *mark;
                } else if (id == kStreamNameId && format && size > 0) {
                    const size_t length = std::min<size_t>(strnlen(reinterpret_cast<const char*>(body), size),
                                                           sizeof stream.info.szName - 1);
                    std::memcpy(stream.info.szName, body, length);
                } else if (uint32_t streamCapacity = 0;
                           id == kSuperIndexId && format && !superIndex &&
                           (size - kSuperIndexHeaderBytes) % kSuperIndexEntryBytes == 0 &&
                           parseSuperIndexHeader(record, &streamCapacity)) {
                    superIndex = true;
                    if (capacity != 0 && capacity != streamCapacity) {
                        return kNotOurLayout;
                    }
                    capacity = streamCapacity;
                } else {
                    return kNotOurLayout;
                }
            }
            if (!header || !format || !superIndex) {
                return kNotOurLayout;
            }
            const int number = static_cast<int>(layout.streams.size());
            stream.chunkId = sampleChunkId(number, stream.info, stream.format);
            stream.indexId = standardIndexId(number);
            layout.streams.push_back(std::move(stream));
        } else if (chunk.id == kListId && chunk.size >= 16 &&
                   le32(data.data()) == kExtensionListType && !extensionSeen &&
                   le32(data.data() + 4) == kExtensionHeaderId &&
                   le32(data.data() + 8) == kExtensionHeaderBytes &&
                   parseExtensionHeader(std::span(data).subspan(12))) {
            extensionSeen = true;
        } else {
            return kNotOurLayout;
        }
        at += chunkExtent(chunk.size);
    }
    if (!main || !extensionSeen || layout.streams.empty() || layout.streams.size() > 100) {
        return kNotOurLayout;
    }
    // A frame wider or taller than a stream header's 16-bit rectangle holds
    // keeps its size in the main header.
    for (StreamState& stream : layout.streams) {
        if (stream.info.fccType == streamtypeVIDEO) {
            RECT& frame = stream.info.rcFrame;
            if (frame.right == INT16_MAX && main->width > INT16_MAX) {
                frame.right = static_cast<LONG>(std::min<uint32_t>(main->width, INT32_MAX));
            }
            if (frame.bottom == INT16_MAX && main->height > INT16_MAX) {
                frame.bottom = static_cast<LONG>(std::min<uint32_t>(main->height, INT32_MAX));
            }
            break;
        }
    }
    layout.superIndexCapacity = std::max<uint32_t>(capacity, 1);
    return nullptr;
}

// The header block as it stands at the start of the file: 'RIFF' 'AVI ',
// the 'hdrl' list, the 'JUNK' chunk of the header copy (files of an earlier
// version have none), the first movi list's header. `copyAt` receives where
// the copy's chunk is.
const char* readHeaderInPlace(const FileBytes& file, FileLayout& layout, uint64_t& copyAt) {
    uint8_t top[24];
    if (!file.read(0, top, sizeof top) || le32(top) != kRiffId || le32(top + 8) != kAviType) {
        return "it is not an AVI file";
    }
    if (le32(top + 12) != kListId || le32(top + 20) != kHeaderListType) {
        return kNotOurLayout;
    }
    layout.firstRiffSize = le32(top + 4);
    const uint64_t headerListEnd = 20 + uint64_t{le32(top + 16)};
    if (headerListEnd > file.size() || headerListEnd > kLargestHeader) {
        return kDamagedHeader;
    }
    if (const char* why = readHeaderList(file, 24, headerListEnd, layout)) {
        return why;
    }
    uint64_t moviAt = headerListEnd;
    Chunk junk;
    if (readChunkHeader(file, moviAt, junk) && junk.id == kJunkId &&
        junk.end() <= std::min(file.size(), kLargestHeader)) {
        copyAt = moviAt;
        layout.headerCopy = true;
        moviAt = junk.end();
    }
    uint8_t movi[12];
    if (!file.read(moviAt, movi, sizeof movi) || le32(movi) != kListId ||
        le32(movi + 8) != kMoviListType) {
        return kDamagedHeader;
    }
    layout.firstMoviSize = le32(movi + 4);
    layout.riff.moviStart = moviAt;
    return nullptr;
}

// The header copy whose tag stands at `at`: the streams as the writer began
// them (their formats, the recording, the super indexes' capacity).
std::optional<FileLayout> readHeaderCopy(const FileBytes& file, uint64_t at) {
    uint8_t head[28];
    if (!file.read(at, head, sizeof head) || le32(head) != kHeaderCopyTag ||
        le32(head + 16) != kListId || le32(head + 24) != kHeaderListType) {
        return std::nullopt;
    }
    const uint64_t listEnd = at + 24 + uint64_t{le32(head + 20)};
    std::vector<uint8_t> list;
    if (listEnd > kLargestHeader ||
        !file.read(at + 16, list, static_cast<size_t>(listEnd - at - 16)) ||
        frameDigest(list) != LEReader(head + 8, 8).u64()) {
        return std::nullopt;
    }
    FileLayout layout;
    if (readHeaderList(MemorySource(list), 12, list.size(), layout) != nullptr) {
        return std::nullopt;
    }
    layout.superIndexCapacity = std::max<uint32_t>(le32(head + 4), 1);
    layout.headerCopy = true;
    return layout;
}

// The header copy of a file whose header is damaged: it starts a sector,
// among the first bytes that a sink writing over an earlier file zeroes
// first (so that it is never the earlier file's copy).
std::optional<FileLayout> findHeaderCopy(const FileBytes& file, uint64_t& at) {
    constexpr uint64_t kSector = 512;
    constexpr uint64_t kPiece = 64u << 10;
    std::vector<uint8_t> piece;
    for (uint64_t from = 0; from < std::min(file.size(), kOverwrittenHeadBytes); from += kPiece) {
        const auto count = static_cast<size_t>(std::min(kPiece, file.size() - from));
        if (!file.read(from, piece, count)) {
            return std::nullopt;
        }
        for (size_t offset = 0; offset + 4 <= count; offset += kSector) {
            if (le32(piece.data() + offset) == kHeaderCopyTag) {
                if (auto layout = readHeaderCopy(file, from + offset)) {
                    at = from + offset;
                    return layout;
                }
            }
        }
    }
    return std::nullopt;
}

// What the header copy holds of a layout, built alike for both.
std::vector<uint8_t> asAtStart(const FileLayout& layout) {
    std::vector<uint8_t> copy;
    static_cast<void>(buildHeaderCopy(layout, copy));
    return copy;
}

// Where the first RIFF and its movi list end, for a file whose header that
// said so is damaged: after the first RIFF's idx1, when its movi list goes
// on to one; else the RIFF is taken for the one being filled.
void findFirstRiffEnd(const FileBytes& file, FileLayout& layout) {
    ChunkWalker walker(file, layout.riff.moviStart + 12, file.size());
    Chunk chunk;
    while (walker.next(chunk) == ChunkWalker::Step::Whole) {
        if (chunk.id == kFirstIndexId) {
            layout.firstMoviSize = static_cast<uint32_t>(chunk.at - (layout.riff.moviStart + 8));
            layout.firstRiffSize = static_cast<uint32_t>(chunk.end() - 8);
            return;
        }
    }
}

// The header block: as it stands, or, where it is damaged (a power cut
// left garbage in a sector being rewritten), as its copy and the chunks
// after it tell.
bool readHeaderBlock(const FileBytes& file, Survey& survey) {
    FileLayout inPlace;
    uint64_t copyChunkAt = 0;
    const char* why = readHeaderInPlace(file, inPlace, copyChunkAt);
    if (why == nullptr && !inPlace.headerCopy) {
        survey.layout = std::move(inPlace);  // a file of an earlier version
    } else {
        uint64_t copyAt = 0;
        std::optional<FileLayout> copy;
        if (why == nullptr) {
            copyAt = (copyChunkAt + 8 + 511) / 512 * 512;
            copy = readHeaderCopy(file, copyAt);
        } else {
            copy = findHeaderCopy(file, copyAt);
        }
        std::vector<uint8_t> block;
        HeaderLayout blockLayout;
        if (!copy || !buildHeaderBlock(*copy, block, &blockLayout) ||
            blockLayout.copy.offset != copyAt) {
            if (why != nullptr) {
                return refuse(survey, why);
            }
            survey.layout = std::move(inPlace);  // its copy is damaged, not its header
        } else if (why == nullptr && asAtStart(inPlace) == asAtStart(*copy) &&
                   inPlace.riff.moviStart + 12 == block.size()) {
            survey.layout = std::move(inPlace);
        } else {
            survey.layout = std::move(*copy);
            survey.layout.riff.moviStart = block.size() - 12;
            findFirstRiffEnd(file, survey.layout);
        }
    }
    FileLayout& layout = survey.layout;
    layout.headerWritten = true;
    layout.riff.start = 0;
    survey.headerBytes = static_cast<size_t>(layout.riff.moviStart + 12);
    return true;
}

// Which stream a chunk code belongs to, as sample or as standard index.
struct ChunkCodes {
    std::map<uint32_t, size_t> samples;
    std::map<uint32_t, size_t> indexes;

    explicit ChunkCodes(const FileLayout& layout) {
        for (size_t s = 0; s < layout.streams.size(); ++s) {
            samples[layout.streams[s].chunkId] = s;
            indexes[layout.streams[s].indexId] = s;
        }
    }
};

// Counts a sample, and lists it for the indexes that finish() writes, with
// its key-frame flag read from the sample itself. (Samples of a closed RIFF
// are listed too, and the lists cleared when the RIFF ends.)
void countSample(FileLayout& layout, const FileBytes& file, size_t streamNumber,
                 uint64_t position, uint32_t size, bool probe) {
    const StreamState& stream = layout.streams[streamNumber];
    bool keyFrame = true;
    const auto bitmap = parseBitmapInfoHeader(stream.format);
    if (probe && stream.info.fccType == streamtypeVIDEO && bitmap) {
        const codecs::ProbedFormat format{bitmap->compression, bitmap->width, bitmap->height};
        if (format.compression != BI_RGB && size <= kLargestProbedSample) {
            std::vector<uint8_t> data;
            keyFrame = file.read(position + 8, data, size) &&
                       codecs::sampleIsKeyFrame(format, data);
        }
    }
    noteSample(layout, streamNumber, position, size, keyFrame);
}

// Whether the frame check at `at` after the sample `chunk` is there whole,
// of the recording, and holds the sample's digest: then the sample is a
// whole frame of the recording.
bool passesFrameCheck(const FileBytes& file, const Chunk& sample, uint64_t at, uint64_t recording) {
    Chunk junk;
    std::vector<uint8_t> data;
    if (!readChunkHeader(file, at, junk) || junk.id != kJunkId || junk.size != kFrameCheckBytes ||
        !file.read(at + 8, data, junk.size)) {
        return false;
    }
    const std::optional<FrameCheck> check = parseFrameCheck(data);
    return check && check->recording == recording &&
           frameDigest(file, sample.dataAt(), sample.size) == std::optional(check->digest);
}

// Whether the idx1 on disk lists the samples found, each where it is and as
// large as it is (its key-frame flags are the writer's and not checked).
bool firstIndexListsSamples(const FileBytes& file, const Chunk& index,
                            const std::vector<FirstIndexEntry>& samples) {
    std::vector<uint8_t> data;
    if (uint64_t{index.size} != uint64_t{kFirstIndexEntryBytes} * samples.size() ||
        !file.read(index.dataAt(), data, index.size)) {
        return false;
    }
    for (uint32_t n = 0; n < samples.size(); ++n) {
        const auto entry = parseFirstIndexEntry(data, n);
        if (!entry || entry->chunkId != samples[n].chunkId || entry->offset != samples[n].offset ||
            entry->size != samples[n].size) {
            return false;
        }
    }
    return true;
}

// Whether the standard index `index` of the RIFF whose movi list starts at
// `moviStart` lists the stream's samples found in it, each where it is and
// as large as it is.
bool standardIndexListsSamples(const FileBytes& file, const Chunk& index, uint64_t moviStart,
                               const StreamState& stream) {
    const std::vector<SampleRecord>& samples = stream.riffSamples;
    std::vector<uint8_t> data;
    if (uint64_t{index.size} != kStandardIndexHeaderBytes + uint64_t{kStandardIndexEntryBytes} * samples.size() ||
        !file.read(index.dataAt(), data, index.size)) {
        return false;
    }
    const auto header = parseStandardIndexHeader(data);
    if (!header || header->chunkId != stream.chunkId || header->entriesInUse != samples.size() ||
        header->baseOffset != moviStart) {
        return false;
    }
    for (uint32_t n = 0; n < samples.size(); ++n) {
        const auto entry = parseStandardIndexEntry(data, n);
        if (!entry || uint64_t{entry->offset} + moviStart != samples[n].position + 8 ||
            (entry->sizeAndFlag & ~kStandardIndexDeltaFrame) != samples[n].size) {
            return false;
        }
    }
    return true;
}

// A RIFF that was closed: every chunk of its movi list inside the list, a
// standard index for each stream that has samples in it, and the first
// RIFF's idx1 after the list. False (with the reason) when it is damaged;
// `indexed` tells whether its indexes are there.
bool readClosedRiff(const FileBytes& file, const ChunkCodes& codes, uint64_t riffEnd,
                    Survey& survey, bool& indexed) {
    FileLayout& layout = survey.layout;
    Chunk movi;
    if (!readChunkHeader(file, layout.riff.moviStart, movi)) {
        return refuse(survey, "a RIFF of it is damaged");
    }
    const uint64_t moviEnd = layout.riff.moviStart + 8 + uint64_t{movi.size};
    if (movi.size < 4 || moviEnd > riffEnd) {
        return refuse(survey, "a RIFF of it is damaged");
    }
    std::vector<uint64_t> unitsHere(layout.streams.size(), 0);  // samples, or bytes / sample size
    std::vector<bool> indexHere(layout.streams.size(), false);
    std::vector<SuperIndexEntry> entries(layout.streams.size());
    uint64_t at = layout.riff.moviStart + 12;
    while (at < moviEnd) {
        Chunk chunk;
        if (!readChunkHeader(file, at, chunk) || at + 8 + uint64_t{chunk.size} > moviEnd) {
            return refuse(survey, "a RIFF of it is damaged");
        }
        if (const auto sample = codes.samples.find(chunk.id); sample != codes.samples.end()) {
            countSample(layout, file, sample->second, at, chunk.size, false);
            const uint32_t sampleSize = layout.streams[sample->second].info.dwSampleSize;
            unitsHere[sample->second] += sampleSize > 0 ? chunk.size / sampleSize : 1;
        } else if (const auto index = codes.indexes.find(chunk.id); index != codes.indexes.end()) {
            const uint64_t duration = std::min<uint64_t>(unitsHere[index->second], UINT32_MAX);
            entries[index->second] =
                SuperIndexEntry{at, chunk.size + 8, static_cast<uint32_t>(duration)};
            indexHere[index->second] = standardIndexListsSamples(
                file, chunk, layout.riff.moviStart, layout.streams[index->second]);
        }
        at += chunkExtent(chunk.size);
    }
    indexed = true;
    for (size_t s = 0; s < layout.streams.size(); ++s) {
        if (unitsHere[s] > 0 && !indexHere[s]) {
            indexed = false;
        }
    }
    Chunk after;
    if (layout.riff.first &&
        (!readChunkHeader(file, moviEnd, after) || after.id != kFirstIndexId ||
         !firstIndexListsSamples(file, after, layout.firstIndex))) {
        indexed = false;
    }
    if (!indexed) {
        return true;
    }
    for (size_t s = 0; s < layout.streams.size(); ++s) {
        if (indexHere[s]) {
            layout.streams[s].superIndex.push_back(entries[s]);
        }
    }
    return true;
}

// The RIFF being filled: its whole samples from the start of its movi list
// on; the file keeps them and nothing after.
void readOpenRiff(const FileBytes& file, const ChunkCodes& codes, Survey& survey) {
    FileLayout& layout = survey.layout;
    layout.riff.open = true;
    uint64_t at = layout.riff.moviStart + 12;
    for (;;) {
        Chunk chunk;
        if (!readChunkHeader(file, at, chunk)) {
            break;
        }
        const auto sample = codes.samples.find(chunk.id);
        if (sample == codes.samples.end() || chunk.size > file.size() - at - 8) {
            break;
        }
        if (carriesFrameChecks(layout, layout.streams[sample->second])) {
            // A frame only with its check: a power cut may have left any
            // part of it unwritten, or the frame of a movie written over.
            if (!passesFrameCheck(file, chunk, chunk.end(), layout.recording)) {
                break;
            }
            countSample(layout, file, sample->second, at, chunk.size, true);
            at = chunk.end() + chunkExtent(kFrameCheckBytes);
            continue;
        }
        countSample(layout, file, sample->second, at, chunk.size, true);
        at = chunk.dataEnd();
        if ((chunk.size & 1) != 0) {
            if (at >= file.size()) {
                break;  // the pad byte never came: the sample is whole without it
            }
            ++at;
        }
    }
    survey.keep = at;
}

bool readRiffs(const FileBytes& file, Survey& survey) {
    FileLayout& layout = survey.layout;
    const ChunkCodes codes(layout);
    layout.riff.first = true;
    uint32_t riffSize = layout.firstRiffSize;
    for (;;) {
        const bool closed = riffSize != 0;
        const uint64_t riffEnd = layout.riff.start + 8 + uint64_t{riffSize};
        bool indexed = false;
        if (closed && riffEnd <= file.size()) {
            const FileLayout before = layout;
            if (!readClosedRiff(file, codes, riffEnd, survey, indexed)) {
                // Damaged inside (a power cut as it was being closed, or as
                // an earlier file was being written over): taken up again
                // like one without its indexes, as far as it is whole.
                survey.refusal.clear();
                indexed = false;
            }
            if (!indexed) {
                // Closed without its indexes (the disk was full): the last
                // RIFF is taken up again as the one being filled. One with
                // more RIFFs after it is not a file this layer leaves.
                uint8_t next[4];
                if (riffEnd < file.size() && file.read(riffEnd, next, sizeof next) &&
                    le32(next) == kRiffId) {
                    return refuse(survey, "a RIFF of it lacks its indexes");
                }
                layout = before;
            }
        }
        if (!closed || riffEnd > file.size() || !indexed) {
            readOpenRiff(file, codes, survey);
            bool riffHasSamples = false;
            for (const StreamState& stream : layout.streams) {
                riffHasSamples = riffHasSamples || !stream.riffSamples.empty();
            }
            if (!riffHasSamples && !layout.riff.first) {
                // An extension RIFF begun but never given a sample goes.
                survey.keep = layout.riff.start;
                layout.riff.open = false;
            }
            survey.needsWork = true;
            return true;
        }
        layout.firstIndex.clear();
        for (StreamState& stream : layout.streams) {
            stream.riffSamples.clear();
        }
        // The next RIFF, or the end.
        survey.keep = riffEnd;
        if (riffEnd == file.size()) {
            return true;
        }
        uint8_t next[24];
        if (!file.read(riffEnd, next, sizeof next) || le32(next) != kRiffId ||
            le32(next + 8) != kAviExtensionType || le32(next + 12) != kListId ||
            le32(next + 20) != kMoviListType) {
            // What follows is no RIFF of ours: an earlier file's bytes, or
            // the beginning of one that never got its headers out.
            survey.needsWork = true;
            return true;
        }
        riffSize = le32(next + 4);
        layout.riff.first = false;
        layout.riff.start = riffEnd;
        layout.riff.moviStart = riffEnd + 12;
    }
}

// A file this layer wrote, finished by its own writer. False when the file
// is not laid out as this layer writes it (`report` untouched then).
bool finishOwnRecording(const FileBytes& file, const char* path, RepairReport& report) {
    Survey survey;
    std::vector<uint8_t> onDisk;
    std::vector<uint8_t> rebuilt;
    HeaderLayout blockLayout;
    if (!readHeaderBlock(file, survey) || !readRiffs(file, survey) ||
        !file.read(0, onDisk, survey.headerBytes) || !buildHeaderBlock(survey.layout, rebuilt, &blockLayout) ||
        rebuilt.size() != survey.headerBytes) {
        return false;
    }
    for (const StreamState& stream : survey.layout.streams) {
        report.samples += stream.chunks;
        if (report.frames == 0 && stream.info.fccType == streamtypeVIDEO) {
            report.frames = stream.chunks;
        }
    }
    report.bytesCut = file.size() - survey.keep;
    // A header copy that a power cut tore is written again by the repair.
    const bool copyStale =
        blockLayout.copy.size > 0 &&
        !std::equal(rebuilt.begin() + static_cast<ptrdiff_t>(blockLayout.copyChunk.offset),
                    rebuilt.begin() + static_cast<ptrdiff_t>(blockLayout.copyChunk.offset +
                                                             blockLayout.copyChunk.size),
                    onDisk.begin() + static_cast<ptrdiff_t>(blockLayout.copyChunk.offset));
    if (!survey.needsWork && rebuilt == onDisk) {
        report.outcome = RepairOutcome::AlreadyComplete;
        report.message = "the file is complete; nothing was changed";
        return true;
    }
    if (report.samples == 0 && report.bytesCut > 0) {
        report.message = "it holds no whole sample: it was cut off inside its first";
        return true;
    }
    if (!recovery::mayWrite(path, report)) {
        return true;
    }
    std::unique_ptr<ByteSink> sink = continueFileSink(path, survey.keep);
    report.outcome = RepairOutcome::Failed;
    if (!sink) {
        report.message = failureReason();
        return true;
    }
    std::unique_ptr<AviWriter> writer =
        AviWriter::resume(std::move(sink), std::move(survey.layout), survey.headerBytes, copyStale);
    if (!writer) {
        report.message = "its header could not be rebuilt";
        return true;
    }
    if (writer->finish() != AVIERR_OK) {
        report.message = failureReason().empty() ? std::string("the file could not be written")
                                                 : failureReason();
        return true;
    }
    report.outcome = RepairOutcome::Repaired;
    report.message = "repaired";
    return true;
}

RepairReport repairInPlace(const char* path, const RepairOptions& options) {
    RepairReport report;
    const std::unique_ptr<ReadOnlyFile> file = ReadOnlyFile::open(path, report.message);
    if (!file) {
        return report;
    }
    if (file->size() == 0) {
        report.message = "it is empty";
        return report;
    }
    const bool ours = options.like.empty() && options.width == 0 && options.fps == 0 &&
                      finishOwnRecording(*file, path, report);
    if (!ours) {
        report = RepairReport{};
        recovery::repairAnyRecording(*file, path, options, report);
    }
    return report;
}

}  // namespace

RepairReport repairRecording(const char* path, const RepairOptions& options) {
    clearFailureReason();
    if (path == nullptr || path[0] == '\0') {
        RepairReport report;
        report.message = "no file name was given";
        return report;
    }
    if (options.output.empty()) {
        return repairInPlace(path, options);
    }
    // A file that cannot be indexed where it lies is written anew; any
    // other is copied and the copy repaired. The original is only read.
    std::string unreadable;
    if (const std::unique_ptr<ReadOnlyFile> file = ReadOnlyFile::open(path, unreadable)) {
        RepairReport report;
        recovery::Survey survey;
        recovery::Plan plan;
        Survey own;
        if (!(readHeaderBlock(*file, own) && readRiffs(*file, own)) &&
            recovery::planAnyRecording(*file, options, survey, plan, report) &&
            !plan.inPlaceRefusal.empty()) {
            recovery::writeAnew(*file, survey, options.output.c_str(), report);
            return report;
        }
    }
    std::string why;
    if (!recovery::copyForRepair(path, options.output.c_str(), why)) {
        RepairReport report;
        report.message = why;
        return report;
    }
    RepairOptions inCopy = options;
    inCopy.output.clear();
    RepairReport report = repairInPlace(options.output.c_str(), inCopy);
    if (report.outcome == RepairOutcome::Refused || report.outcome == RepairOutcome::Failed) {
        sys::unlink(options.output.c_str());
    }
    return report;
}

}  // namespace avifile
