// The layout of the AVI file being written, as far as the writer has gone:
// its streams, the RIFF being filled, the samples that its indexes will
// list. The writer keeps it as it writes; repair reads it back from a file
// that a writer left unfinished.
#ifndef AVIFILE_CONTAINER_FILE_LAYOUT_H
#define AVIFILE_CONTAINER_FILE_LAYOUT_H

#include <cstdint>
#include <vector>

#include "avifile.h"
#include "container/avi_records.h"

namespace avifile {

// One sample of the RIFF being filled.
struct SampleRecord {
    uint64_t position = 0;  // of the chunk header
    uint32_t size = 0;      // of the data
    bool keyFrame = false;
};

struct StreamState {
    AVISTREAMINFOA info{};
    std::vector<uint8_t> format;
    bool formatSet = false;
    uint32_t chunkId = 0;  // 'NNdb', 'NNdc', 'NNwb' ...
    uint32_t indexId = 0;  // 'ixNN'
    int64_t chunks = 0;    // samples written (chunks)
    uint64_t bytes = 0;    // their data
    uint32_t largestSample = 0;
    int64_t chunksInFirstRiff = 0;
    std::vector<SampleRecord> riffSamples;  // of the RIFF being filled
    std::vector<SuperIndexEntry> superIndex;
};

// The RIFF being filled.
struct RiffState {
    bool open = false;
    bool first = true;
    uint64_t start = 0;      // position of its 'RIFF' code
    uint64_t moviStart = 0;  // position of its movi 'LIST' code
};

struct FileLayout {
    std::vector<StreamState> streams;
    RiffState riff;
    bool headerWritten = false;
    uint32_t firstRiffSize = 0;  // size field of the first RIFF once closed
    uint32_t firstMoviSize = 0;  // size field of its movi list once closed
    // The indexes could not be appended when the file was completed; the
    // sizes were patched in place and the main header no longer claims one.
    bool indexLost = false;
    uint32_t superIndexCapacity = 0;
    // The number of the header's recording mark, which the frame checks of
    // its uncompressed frames carry; 0 when it has none (a file of only
    // compressed streams, or one of an earlier version of this layer).
    uint64_t recording = 0;
    // The header block holds a header copy (header_and_indexes.h); files
    // of an earlier version of this layer have none.
    bool headerCopy = false;
    std::vector<FirstIndexEntry> firstIndex;  // while the first RIFF is filled
};

// Counts a sample of `stream` whose chunk header stands at `position`, and
// lists it for the indexes of the RIFF being filled (and for idx1 while that
// is the first).
void noteSample(FileLayout& layout, size_t stream, uint64_t position, uint32_t size,
                bool keyFrame);

// Stream length in the header's units: samples for a stream of whole
// samples, bytes / sample size for a stream with a fixed sample size.
uint32_t streamLength(const StreamState& stream);

// The stream's duration in seconds by its rate and scale; 0 without a rate.
double streamSeconds(const StreamState& stream);

}  // namespace avifile

#endif  // AVIFILE_CONTAINER_FILE_LAYOUT_H
