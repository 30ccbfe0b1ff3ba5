// Recovering a cut-off AVI file that any writer left: what the walk of the
// file found (its headers, read with the records' own parses, and every
// chunk of its movi lists), and the plan of writes that completes it without
// moving a frame. repair.cpp drives it; missing_headers.cpp supplies headers
// for a file whose writer never wrote them.
#ifndef AVIFILE_CONTAINER_RECOVERY_H
#define AVIFILE_CONTAINER_RECOVERY_H

#include <cstdint>
#include <string>
#include <vector>

#include "avifile_hooks.h"
#include "container/avi_records.h"
#include "riff/chunk_walker.h"

namespace avifile::recovery {

struct FoundStream {
    StreamHeader header;
    uint64_t headerAt = 0;  // of the strh data (0: headers to be written)
    std::vector<uint8_t> format;
    std::string name;  // from its 'strn', or empty
    uint64_t superIndexAt = 0;  // the 'indx' chunk (or the 'JUNK' kept for it); 0: none
    uint32_t superIndexCapacity = 0;
    std::vector<SuperIndexEntry> superIndex;  // entries in use
    int64_t samples = 0;  // found in the walk
    uint64_t bytes = 0;

    bool isVideo() const { return header.type == fourcc("vids"); }
    // Samples in the header's units (bytes / sample size for fixed-size
    // samples).
    uint64_t units(int64_t chunks, uint64_t chunkBytes) const;
};

struct FoundSample {
    uint64_t at = 0;  // of the chunk header
    uint32_t id = 0;
    uint32_t size = 0;
    uint16_t stream = 0;
};

struct FoundRiff {
    uint64_t at = 0;
    uint32_t size = 0;  // as its header says
    uint64_t moviAt = 0;
    uint32_t moviSize = 0;
    std::vector<FoundSample> samples;
    std::vector<Chunk> indexes;  // 'ixNN' chunks
    std::vector<Chunk> firstIndexes;  // 'idx1' chunks

    static FoundRiff starting(uint64_t riffAt, uint32_t riffSize, uint64_t movi = 0) {
        FoundRiff riff;
        riff.at = riffAt;
        riff.size = riffSize;
        riff.moviAt = movi;
        return riff;
    }
};

struct Survey {
    MainHeader main;
    uint64_t mainAt = 0;  // of the avih data
    std::vector<FoundStream> streams;
    uint64_t extensionAt = 0;      // of the dmlh data; 0: none
    uint64_t extensionListAt = 0;  // of the 'LIST' (or 'JUNK') that holds it
    std::vector<FoundRiff> riffs;
    uint64_t firstChunkAt = 0;  // headers never written: where the chunks begin
    std::string stop;  // why the walk ended before the end of the file, or empty
    std::string refusal;  // why the walk gave up on the file, or empty
};

// Reads the header block: the RIFF, hdrl with avih, each strl (strh, strf,
// indx), odml, and the first movi list's place. False with the reason.
bool readHeaders(const ByteSource& file, Survey& survey, std::string& why);

// Walks the movi lists from the first on, through 'rec ' lists and later
// RIFFs, and lists every whole sample of a known stream, every index chunk,
// and where and why the walk stopped.
void walkChunks(const ByteSource& file, Survey& survey);

// One write into the file.
struct Write {
    uint64_t at = 0;
    std::vector<uint8_t> bytes;
};

// The writes that complete a file, in the order they are made: the index
// chunks after the last whole sample, the new length, then the header and
// size fields. A file that is readable before each step stays so after it.
struct Plan {
    std::vector<Write> indexes;
    uint64_t length = 0;
    std::vector<Write> fields;
    int64_t samples = 0;
    int64_t frames = 0;  // of the first video stream
    std::string inPlaceRefusal;  // why the file cannot be completed where it is
};

// The plan for `survey`; false with the reason when the file cannot be
// completed without moving its frames.
bool planRepair(const ByteSource& file, const Survey& survey, Plan& plan, std::string& why);

// True when every write of the plan finds its bytes on disk already and the
// file has the plan's length: a complete file, left as it is.
bool planIsDone(const ByteSource& file, const Plan& plan);

// Headers for a file whose writer never wrote them (zero bytes up to its
// first chunk), from the repair's options: fills survey.streams and main.
// False with what is missing.
bool supplyMissingHeaders(const ByteSource& file, const RepairOptions& options, Survey& survey,
                          std::string& why);

// The header block of a file whose headers were never written, `bytes` long,
// from the survey's main header and streams, the movi list's header last.
bool buildMissingHeaders(const Survey& survey, uint64_t riffSize, uint32_t moviSize,
                         uint64_t bytes, std::vector<uint8_t>& out, std::string& why);

// Whether a reader can start decoding at the sample: read from the sample
// for a compressed video stream whose codec the probe knows; else true,
// but for a codec it does not know only the stream's first sample.
bool isKeyFrame(const ByteSource& file, const FoundStream& stream, const FoundSample& sample,
                bool first);

// Carrying a repair out (any_recording.cpp). Whether the file can be
// opened for writing; a refusal with the reason in `report` when it cannot.
bool mayWrite(const char* path, RepairReport& report);
// A copy of `from` at `to`, for a repair that leaves `from` as it is.
bool copyForRepair(const char* from, const char* to, std::string& why);
// The survey and plan of any writer's file, with the header block for one
// whose headers were never written. False with the reason in `report`.
bool planAnyRecording(const ByteSource& file, const RepairOptions& options, Survey& survey,
                      Plan& plan, RepairReport& report);
// Plans and carries out the repair of the file at `path`, read as `file`.
void repairAnyRecording(const ByteSource& file, const char* path, const RepairOptions& options,
                        RepairReport& report);
// A file too large to be indexed where it lies, written anew into `output`
// by this layer's writer, its samples byte for byte.
void writeAnew(const ByteSource& file, const Survey& survey, const char* output,
               RepairReport& report);

// The sample of the RIFF whose chunk header is at `at`, or null.
const FoundSample* sampleAt(const FoundRiff& riff, uint64_t at);

// Chunk codes of samples: 'NN' then the kind ('db', 'dc', 'wb', ...).
bool isSampleId(uint32_t id, uint16_t& stream);

}  // namespace avifile::recovery

#endif  // AVIFILE_CONTAINER_RECOVERY_H
