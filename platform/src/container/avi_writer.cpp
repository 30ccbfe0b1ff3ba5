// The AVI writer: samples go out as chunks of the movi list of the RIFF
// being filled; a RIFF that would grow past the limit is closed with its
// indexes (riff_sequence.cpp) and the recording continues in an extension
// RIFF. After every sample the counts of the header block are brought up to
// date in place, so that a file whose writer never finished still tells a
// reader its whole length.
#include "container/avi_writer.h"

#include <algorithm>

#include "container/index_chunks.h"
#include "container/writer_impl.h"

namespace avifile {

HRESULT AviWriter::Impl::writeHeader() {
    if (!buildHeaderBlock(state, headerBlock, &headerLayout)) {
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

// Rewrites the header block in place with the counts, sizes and super
// indexes of now. The block's size never changes once written, so this
// needs no new room.
bool AviWriter::Impl::refreshHeader() {
    if (!state.headerWritten) {
        return true;
    }
    std::vector<uint8_t> block;
    HeaderLayout layout;
    if (!buildHeaderBlock(state, block, &layout) || block.size() != headerBlock.size()) {
        return false;
    }
    headerBlock = std::move(block);
    headerLayout = std::move(layout);
    headerOnDiskStale = !sink->writeAt(0, headerBlock.data(), headerBlock.size());
    return !headerOnDiskStale;
}

// Brings the records that count samples up to date on disk: only the bytes
// that changed, in a few small writes (the main and first stream headers
// lie close together and go as one).
bool AviWriter::Impl::writeCounts() {
    if (!state.headerWritten) {
        return true;
    }
    if (headerOnDiskStale) {
        return refreshHeader();
    }
    refreshCountRecords(state, headerLayout, headerBlock, changedRanges);
    for (const ByteRange& range : changedRanges) {
        if (!sink->writeAt(range.offset, headerBlock.data() + range.offset, range.size)) {
            headerOnDiskStale = true;
            return false;
        }
    }
    return true;
}

// A video stream without a format would make readers refuse the file; an
// uncompressed 24-bit DIB of the stream's frame rectangle makes it an empty
// movie of that size.
void AviWriter::Impl::describeStreamsWithoutFormat() {
    for (size_t number = 0; number < state.streams.size(); ++number) {
        StreamState& stream = state.streams[number];
        const RECT& frame = stream.info.rcFrame;
        const int64_t width = int64_t{frame.right} - frame.left;
        const int64_t height = int64_t{frame.bottom} - frame.top;
        if (stream.formatSet || stream.info.fccType != streamtypeVIDEO || width <= 0 ||
            height <= 0 || width > INT32_MAX || height > INT32_MAX) {
            continue;
        }
        BITMAPINFOHEADER header{};
        header.biSize = sizeof header;
        header.biWidth = static_cast<LONG>(width);
        header.biHeight = static_cast<LONG>(height);
        header.biPlanes = 1;
        header.biBitCount = 24;
        header.biCompression = BI_RGB;
        const uint64_t imageBytes = static_cast<uint64_t>((width * 24 + 31) / 32 * 4) *
                                    static_cast<uint64_t>(height);
        header.biSizeImage = static_cast<DWORD>(std::min<uint64_t>(imageBytes, UINT32_MAX));
        const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
        stream.format.assign(bytes, bytes + sizeof header);
        stream.formatSet = true;
        stream.chunkId = sampleChunkId(static_cast<int>(number), stream.info, stream.format);
    }
}

AviWriter::AviWriter(std::unique_ptr<ByteSink> sink, const ContainerSettings& settings)
    : impl_(std::make_unique<Impl>(std::move(sink), settings)) {}

std::unique_ptr<AviWriter> AviWriter::resume(std::unique_ptr<ByteSink> sink, WriterState state,
                                             size_t headerBytes) {
    auto writer = std::make_unique<AviWriter>(std::move(sink), ContainerSettings{});
    Impl& impl = *writer->impl_;
    impl.state = std::move(state);
    impl.state.headerWritten = true;
    if (!buildHeaderBlock(impl.state, impl.headerBlock, &impl.headerLayout) ||
        impl.headerBlock.size() != headerBytes) {
        return nullptr;
    }
    // What is on disk may differ from the block: the first refresh writes it
    // whole.
    impl.headerOnDiskStale = true;
    return writer;
}

// Without finish() the file is left as a crash would leave it; its counts
// are current already. Completing the file is the caller's decision, made by
// calling finish().
AviWriter::~AviWriter() {
    if (!impl_->finished && impl_->headerOnDiskStale) {
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
    noteSample(impl.state, static_cast<size_t>(stream), position, static_cast<uint32_t>(bytes),
               keyFrame);
    return impl.writeCounts() && impl.syncIfDue(target) ? AVIERR_OK : AVIERR_FILEWRITE;
}

// Flushes the file to the device once `stream` has gone the interval of
// media past the last flush, so that a power cut loses at most that much.
bool AviWriter::Impl::syncIfDue(const StreamState& stream) {
    if (settings.syncSeconds <= 0.0) {
        return true;
    }
    const double now = streamSeconds(stream);
    if (now - syncedSeconds < settings.syncSeconds) {
        return true;
    }
    syncedSeconds = now;
    return sink->sync();
}

bool AviWriter::holdsContent() const {
    if (impl_->state.headerWritten) {
        return true;
    }
    return std::any_of(impl_->state.streams.begin(), impl_->state.streams.end(),
                       [](const StreamState& stream) { return stream.formatSet; });
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
        impl.describeStreamsWithoutFormat();
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
