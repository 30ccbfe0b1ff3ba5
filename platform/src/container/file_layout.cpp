// Counting samples; lengths and durations of a stream.
#include "container/file_layout.h"

#include <algorithm>

namespace avifile {

void noteSample(FileLayout& layout, size_t stream, uint64_t position, uint32_t size,
                bool keyFrame) {
    StreamState& target = layout.streams[stream];
    target.riffSamples.push_back(SampleRecord{position, size, keyFrame});
    if (layout.riff.first) {
        FirstIndexEntry entry;
        entry.chunkId = target.chunkId;
        entry.flags = keyFrame ? kIndexKeyFrame : 0;
        entry.offset = static_cast<uint32_t>(position - (layout.riff.moviStart + 8));
        entry.size = size;
        layout.firstIndex.push_back(entry);
        ++target.chunksInFirstRiff;
    }
    ++target.chunks;
    target.bytes += size;
    target.largestSample = std::max(target.largestSample, size);
}

uint32_t streamLength(const StreamState& stream) {
    const uint64_t length = stream.info.dwSampleSize > 0
                                ? stream.bytes / stream.info.dwSampleSize
                                : static_cast<uint64_t>(stream.chunks);
    return static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX));
}

double streamSeconds(const StreamState& stream) {
    if (stream.info.dwRate == 0) {
        return 0.0;
    }
    return static_cast<double>(streamLength(stream)) * stream.info.dwScale /
           stream.info.dwRate;
}

}  // namespace avifile
