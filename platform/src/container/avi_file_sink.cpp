// The file sink of an AVI file, and the chunk that hides what is left of an
// earlier file beyond the end of the one being written.
#include <algorithm>

#include "container/avi_writer.h"
#include "riff/fourcc.h"
#include "riff/little_endian.h"

namespace avifile {

namespace {

// A 'JUNK' chunk spanning the stale bytes: readers that walk the chunks skip
// it to the end of the file. Fewer than 8 stale bytes cannot hold a chunk
// header; zeros there read as nothing.
size_t junkChunkMarker(uint64_t staleBytes, uint8_t (&marker)[8]) {
    if (staleBytes < 8) {
        std::fill(marker, marker + staleBytes, uint8_t{0});
        return static_cast<size_t>(staleBytes);
    }
    // A longer stale run than one chunk can span is rare (an old file more
    // than 4 GiB longer); the chunk then covers as much as its size allows.
    const uint64_t body = std::min<uint64_t>(staleBytes - 8, 0xFFFFFFF0u);
    storeLE32(marker, fourcc("JUNK"));
    storeLE32(marker + 4, static_cast<uint32_t>(body));
    return 8;
}

}  // namespace

std::unique_ptr<ByteSink> createAviFileSink(const char* path, const FileSinkOptions& options) {
    return createFileSink(path, junkChunkMarker, options);
}

}  // namespace avifile
