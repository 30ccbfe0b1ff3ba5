// Opening and closing the RIFFs of a recording, and when to: the limit, and
// the room the indexes will need.
#include <algorithm>

#include "container/index_chunks.h"
#include "container/writer_impl.h"

namespace avifile {

// Starts an extension RIFF with its movi list; both sizes stay 0 (to the
// end of the file, for a scanning reader) until the RIFF is closed. The two
// headers go out in one append.
HRESULT AviWriter::Impl::openRiff() {
    MemorySink headers;
    ChunkWriter writer(headers);
    ChunkToken riff;
    ChunkToken movi;
    writer.beginList(kRiffId, kAviExtensionType, riff);
    writer.beginList(kListId, kMoviListType, movi);
    const uint64_t start = sink->size();
    const ConstBuffer part{headers.bytes().data(), headers.bytes().size()};
    if (!sink->append({&part, 1})) {
        return AVIERR_FILEWRITE;
    }
    state.riff.open = true;
    state.riff.first = false;
    state.riff.start = start + riff.position;
    state.riff.moviStart = start + movi.position;
    return AVIERR_OK;
}

// Closes the RIFF being filled: its standard indexes at the end of its movi
// list, for the first RIFF the idx1 after it, then the sizes. The indexes
// are built in memory and go out in one append, so a full disk leaves the
// RIFF as it was.
HRESULT AviWriter::Impl::closeRiff() {
    const uint64_t indexStart = sink->size();
    MemorySink indexes;
    ChunkWriter indexWriter(indexes);
    std::vector<std::pair<size_t, SuperIndexEntry>> pending;
    for (size_t s = 0; s < state.streams.size(); ++s) {
        const StreamState& stream = state.streams[s];
        if (stream.riffSamples.empty()) {
            continue;
        }
        SuperIndexEntry entry;
        if (appendStandardIndex(indexWriter, stream, state.riff.moviStart, indexStart, entry) !=
            ChunkStatus::ok) {
            return AVIERR_BADSIZE;
        }
        pending.emplace_back(s, entry);
    }
    const uint64_t moviEnd = indexStart + indexes.size();
    if (state.riff.first && appendFirstIndex(indexWriter, state.firstIndex) != ChunkStatus::ok) {
        return AVIERR_BADSIZE;
    }
    const uint64_t riffEnd = indexStart + indexes.size();
    const ChunkToken riff{state.riff.start};
    const ChunkToken movi{state.riff.moviStart};
    const uint64_t riffSize = riffEnd - (riff.position + 8);
    const uint64_t moviSize = moviEnd - (movi.position + 8);
    if (riffSize > kMaxChunkSize) {
        return AVIERR_BADSIZE;
    }
    const ConstBuffer part{indexes.bytes().data(), indexes.bytes().size()};
    if (!sink->append({&part, 1})) {
        return AVIERR_FILEWRITE;
    }
    if (chunks.setSize(movi, moviSize) != ChunkStatus::ok ||
        chunks.setSize(riff, riffSize) != ChunkStatus::ok) {
        return AVIERR_FILEWRITE;
    }
    for (const auto& [stream, entry] : pending) {
        state.streams[stream].superIndex.push_back(entry);
    }
    for (StreamState& stream : state.streams) {
        stream.riffSamples.clear();
    }
    if (state.riff.first) {
        state.firstRiffSize = static_cast<uint32_t>(riffSize);
        state.firstMoviSize = static_cast<uint32_t>(moviSize);
        state.firstIndex.clear();
        state.firstIndex.shrink_to_fit();
    }
    state.riff.open = false;
    refreshHeader();
    return AVIERR_OK;
}

// When the indexes cannot be appended, the sizes of the open RIFF and its
// movi list are set to what the file holds, in place, so that readers see
// complete lists; the main header stops claiming an index.
void AviWriter::Impl::patchSizesInPlace() {
    const uint64_t end = sink->size();
    const auto moviSize = static_cast<uint32_t>(
        std::min<uint64_t>(end - (state.riff.moviStart + 8), kMaxChunkSize));
    const auto riffSize = static_cast<uint32_t>(
        std::min<uint64_t>(end - (state.riff.start + 8), kMaxChunkSize));
    if (state.riff.first) {
        // Written with the header block.
        state.firstMoviSize = moviSize;
        state.firstRiffSize = riffSize;
        state.indexLost = true;
    } else {
        chunks.setSize(ChunkToken{state.riff.moviStart}, moviSize);
        chunks.setSize(ChunkToken{state.riff.start}, riffSize);
    }
}

uint64_t AviWriter::Impl::riffLimit() const {
    // With one entry left in the super indexes, the last RIFF grows as far
    // as its size field allows.
    if (superIndexFull()) {
        return kMaxRiffExtent;
    }
    return std::min(settings.riffLimit, kMaxRiffExtent);
}

bool AviWriter::Impl::superIndexFull() const {
    for (const StreamState& stream : state.streams) {
        if (stream.superIndex.size() + 1 >= state.superIndexCapacity) {
            return true;
        }
    }
    return false;
}

// The extent of the RIFF being filled once it holds one more sample of
// `bytes` for `stream`, with its standard indexes (and idx1) added.
uint64_t AviWriter::Impl::projectedRiffExtent(int stream, size_t bytes) const {
    uint64_t extent = sink->size() + chunkExtent(bytes) - state.riff.start;
    for (size_t s = 0; s < state.streams.size(); ++s) {
        const size_t entries =
            state.streams[s].riffSamples.size() + (static_cast<int>(s) == stream ? 1 : 0);
        if (entries > 0) {
            extent += standardIndexExtent(entries);
        }
    }
    if (state.riff.first) {
        extent += firstIndexExtent(state.firstIndex.size() + 1);
    }
    return extent;
}

}  // namespace avifile
