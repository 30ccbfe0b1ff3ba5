// The AVI writer: samples go out as chunks of the movi list of the RIFF
// being filled; a RIFF that would grow past the limit is closed with its
// indexes (riff_sequence.cpp) and the recording continues in an extension
// RIFF. The header block is rewritten in place from time to time, so that a
// file whose writer never finished still tells a reader its length.
#include "container/avi_writer.h"

#include <algorithm>

#include "container/header_block.h"
#include "container/index_chunks.h"
#include "container/writer_impl.h"

namespace avifile {

HRESULT AviWriter::Impl::writeHeader() {
    if (!buildHeaderBlock(state, headerBlock)) {
        return AVIERR_BADSIZE;
    }
    const ConstBuffer part{headerBlock.data(), headerBlock.size()};
    if (!sink->append({&part, 1})) {
        return AVIERR_FILEWRITE;
    }
    state.headerWritten = true;
    state.riff.open = true;
    state.riff.first = true;
    state.riff.start = 0;
    state.riff.moviStart = headerBlock.size() - 12;
    return AVIERR_OK;
}

// Rewrites the header block in place with the counts and sizes of now. The
// block's size never changes once written, so this needs no new room.
bool AviWriter::Impl::refreshHeader() {
    if (!state.headerWritten) {
        return true;
    }
    std::vector<uint8_t> block;
    if (!buildHeaderBlock(state, block) || block.size() != headerBlock.size()) {
        return false;
    }
    headerBlock = std::move(block);
    bytesSinceRefresh = 0;
    double seconds = 0.0;
    for (const StreamState& stream : state.streams) {
        seconds = std::max(seconds, streamSeconds(stream));
    }
    secondsAtRefresh = seconds;
    return sink->writeAt(0, headerBlock.data(), headerBlock.size());
}

void AviWriter::Impl::noteSample(int stream, uint64_t position, size_t bytes, bool keyFrame) {
    StreamState& target = state.streams[static_cast<size_t>(stream)];
    const auto size = static_cast<uint32_t>(bytes);
    target.riffSamples.push_back(SampleRecord{position, size, keyFrame});
    if (state.riff.first) {
        FirstIndexEntry entry;
        entry.chunkId = target.chunkId;
        entry.flags = keyFrame ? kIndexKeyFrame : 0;
        entry.offset = static_cast<uint32_t>(position - (state.riff.moviStart + 8));
        entry.size = size;
        state.firstIndex.push_back(entry);
        ++target.chunksInFirstRiff;
    }
    ++target.chunks;
    target.bytes += bytes;
    target.largestSample = std::max(target.largestSample, size);
}

void AviWriter::Impl::refreshIfDue(size_t bytes) {
    bytesSinceRefresh += chunkExtent(bytes);
    double seconds = 0.0;
    bool first = false;
    for (const StreamState& stream : state.streams) {
        seconds = std::max(seconds, streamSeconds(stream));
        first = first || stream.chunks == 1;
    }
    if (first || bytesSinceRefresh >= settings.refreshEveryBytes ||
        seconds - secondsAtRefresh >= settings.refreshEverySeconds) {
        refreshHeader();
    }
}

AviWriter::AviWriter(std::unique_ptr<ByteSink> sink, const ContainerSettings& settings)
    : impl_(std::make_unique<Impl>(std::move(sink), settings)) {}

// Without finish() the file is left as a crash would leave it, except that
// the counts in the header are brought up to date (in place, no new room).
// Completing the file is the caller's decision, made by calling finish().
AviWriter::~AviWriter() {
    if (!impl_->finished) {
        impl_->refreshHeader();
    }
}

int AviWriter::addStream(const AVISTREAMINFOA& info) {
    constexpr size_t kMaxStreams = 100;  // two decimal digits in chunk codes
    if (impl_->state.headerWritten || impl_->finished ||
        impl_->state.streams.size() >= kMaxStreams) {
        return -1;
    }
    StreamState stream;
    stream.info = info;
    const int number = static_cast<int>(impl_->state.streams.size());
    stream.chunkId = sampleChunkId(number, info, stream.format);
    stream.indexId = standardIndexId(number);
    impl_->state.streams.push_back(std::move(stream));
    return number;
}

void AviWriter::setHandler(int stream, DWORD fccHandler) {
    if (stream < 0 || static_cast<size_t>(stream) >= impl_->state.streams.size()) {
        return;
    }
    impl_->state.streams[static_cast<size_t>(stream)].info.fccHandler = fccHandler;
}

HRESULT AviWriter::setFormat(int stream, const void* format, size_t bytes) {
    if (stream < 0 || static_cast<size_t>(stream) >= impl_->state.streams.size()) {
        return AVIERR_BADPARAM;
    }
    if (format == nullptr && bytes > 0) {
        return AVIERR_BADPARAM;
    }
    if (bytes > kMaxChunkSize / 2) {
        return AVIERR_BADSIZE;
    }
    StreamState& target = impl_->state.streams[static_cast<size_t>(stream)];
    const auto* begin = static_cast<const uint8_t*>(format);
    const std::vector<uint8_t> wanted(begin, begin + bytes);
    if (impl_->state.headerWritten || impl_->finished) {
        // The header block is laid out: only the same format again.
        return target.formatSet && target.format == wanted ? AVIERR_OK : AVIERR_UNSUPPORTED;
    }
    target.format = wanted;
    target.formatSet = true;
    target.chunkId = sampleChunkId(stream, target.info, target.format);
    return AVIERR_OK;
}

HRESULT AviWriter::writeSample(int stream, const void* data, size_t bytes, bool keyFrame) {
    Impl& impl = *impl_;
    if (impl.finished) {
        return AVIERR_UNSUPPORTED;
    }
    if (stream < 0 || static_cast<size_t>(stream) >= impl.state.streams.size()) {
        return AVIERR_BADPARAM;
    }
    if (data == nullptr && bytes > 0) {
        return AVIERR_BADPARAM;
    }
    if (bytes > kMaxSampleBytes) {
        return AVIERR_BADSIZE;
    }
    StreamState& target = impl.state.streams[static_cast<size_t>(stream)];
    if (!target.formatSet) {
        return AVIERR_BADFORMAT;
    }
    if (!impl.state.headerWritten) {
        const HRESULT status = impl.writeHeader();
        if (status != AVIERR_OK) {
            return status;
        }
    }
    if (!impl.state.riff.open) {
        const HRESULT status = impl.openRiff();
        if (status != AVIERR_OK) {
            return status;
        }
    }
    bool riffHasSamples = false;
    for (const StreamState& s : impl.state.streams) {
        riffHasSamples = riffHasSamples || !s.riffSamples.empty();
    }
    if (riffHasSamples && impl.projectedRiffExtent(stream, bytes) > impl.riffLimit()) {
        if (impl.superIndexFull()) {
            // No room left in the super index for another RIFF, and this
            // one is as large as it can be: the file takes no more.
            return AVIERR_FILEWRITE;
        }
        HRESULT status = impl.closeRiff();
        if (status == AVIERR_OK) {
            status = impl.openRiff();
        }
        if (status != AVIERR_OK) {
            return status;
        }
    }
    if (impl.projectedRiffExtent(stream, bytes) > kMaxRiffExtent) {
        return AVIERR_BADSIZE;
    }
    const uint64_t position = impl.sink->size();
    const ChunkStatus written = impl.chunks.appendChunk(target.chunkId, data, bytes);
    if (written != ChunkStatus::ok) {
        return written == ChunkStatus::tooLarge ? AVIERR_BADSIZE : AVIERR_FILEWRITE;
    }
    impl.noteSample(stream, position, bytes, keyFrame);
    impl.refreshIfDue(bytes);
    return AVIERR_OK;
}

int64_t AviWriter::length(int stream) const {
    if (stream < 0 || static_cast<size_t>(stream) >= impl_->state.streams.size()) {
        return 0;
    }
    return impl_->state.streams[static_cast<size_t>(stream)].chunks;
}

HRESULT AviWriter::finish() {
    Impl& impl = *impl_;
    if (impl.finished) {
        return impl.finishResult;
    }
    impl.finished = true;
    HRESULT result = AVIERR_OK;
    if (!impl.state.headerWritten) {
        result = impl.writeHeader();
    }
    if (result == AVIERR_OK && !impl.state.riff.open && impl.state.headerWritten) {
        // The last extension RIFF could not be begun: nothing to close.
    } else if (result == AVIERR_OK) {
        result = impl.closeRiff();
        if (result != AVIERR_OK) {
            impl.patchSizesInPlace();
        }
    }
    if (!impl.refreshHeader() && result == AVIERR_OK) {
        result = AVIERR_FILEWRITE;
    }
    if (!impl.sink->discardStaleBytes() && result == AVIERR_OK) {
        result = AVIERR_FILEWRITE;
    }
    impl.finishResult = result;
    return result;
}

}  // namespace avifile
