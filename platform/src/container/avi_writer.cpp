// The AVI writer, in the order the file is written:
//
//   header      the header block goes out before the first sample, and its
//               counts are brought up to date in place after every sample,
//               so that a file whose writer never finished still tells a
//               reader its whole length;
//   sample      each sample is a chunk of the movi list of the RIFF being
//               filled, an uncompressed frame followed by its frame check;
//   next RIFF   a RIFF that would grow past the limit is closed and the
//               recording goes on in an extension RIFF ('AVIX');
//   indexes     closing a RIFF appends its standard indexes (and, for the
//               first, the idx1) and sets its sizes;
//   finish      the last RIFF is closed and the header rewritten whole.
//
// The records themselves are built in header_and_indexes.cpp; what the
// writer knows of the file is its FileLayout (file_layout.h). A failure that
// no lower layer explained records its reason here (failure_reason.h).
#include "container/avi_writer.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "api/failure_reason.h"
#include "container/file_layout.h"
#include "container/header_and_indexes.h"
#include "riff/chunk_writer.h"

namespace avifile {

namespace {

// The largest sample: the standard index keeps a flag in the top bit of
// the size.
constexpr uint64_t kMaxSampleBytes = 0x7FFFFFFF;

// The largest extent of a RIFF: its 32-bit size field plus its header.
constexpr uint64_t kMaxRiffExtent = kMaxChunkSize + 8;

// The most streams: two decimal digits in chunk codes.
constexpr size_t kMaxStreams = 100;

// Fails the call with `status`, saying why unless a lower layer (the sink)
// already did.
HRESULT refuse(HRESULT status, const std::string& reason) {
    setFailureReason(reason, false);
    return status;
}

std::string sampleTooLarge(size_t bytes) {
    return "a sample of " + std::to_string(bytes) + " bytes is larger than an AVI file can hold";
}

}  // namespace

struct AviWriter::Impl {
    // Without a sink, one that refuses every byte: each write then fails
    // with AVIERR_FILEWRITE instead of touching a null pointer.
    Impl(std::unique_ptr<ByteSink> ownedSink, const ContainerSettings& chosen)
        : sink(ownedSink != nullptr ? std::move(ownedSink) : std::make_unique<MemorySink>(0)),
          chunks(*sink),
          settings(chosen) {
        layout.superIndexCapacity = std::max<uint32_t>(settings.superIndexEntries, 1);
    }

    static uint64_t drawRecordingNumber();

    // header
    HRESULT writeHeader();
    bool refreshHeader();
    bool writeCounts();
    // sample
    struct SampleBytes {
        const void* memory = nullptr;  // the bytes, or
        const FileRange* file = nullptr;  // where another file holds them
        size_t size = 0;
        std::optional<uint64_t> digest;  // of a frame in another file, when known
    };
    HRESULT writeSample(int stream, const SampleBytes& data, bool keyFrame);
    bool syncIfDue(const StreamState& stream);
    // next RIFF
    uint64_t riffLimit() const;
    bool superIndexFull() const;
    uint64_t projectedRiffExtent(int stream, size_t bytes) const;
    HRESULT startNextRiff();
    HRESULT openRiff();
    // indexes
    HRESULT closeRiff();
    void patchSizesInPlace();
    // finish
    void describeStreamsWithoutFormat();
    HRESULT finish();

    std::unique_ptr<ByteSink> sink;
    ChunkWriter chunks;
    ContainerSettings settings;
    FileLayout layout;
    std::vector<uint8_t> headerBlock;  // as on disk
    HeaderLayout headerLayout;
    std::vector<ByteRange> changedRanges;
    // A write of the header failed: the next one rewrites the whole block.
    bool headerOnDiskStale = false;
    // The header copy on disk is damaged (a repair found it so).
    bool copyStale = false;
    double syncedSeconds = 0.0;  // media time of the last flush
    std::vector<uint8_t> frameCheck;  // the data of the last frame check
    bool finished = false;
    HRESULT finishResult = AVIERR_OK;
};

// ---------------------------------------------------------------------------
// Setting up: the writer, its streams and their formats.

namespace {
std::atomic<uint64_t> gNextRecordingNumber{0};  // 0: drawn at random
}  // namespace

void setRecordingNumberStart(uint64_t first) { gNextRecordingNumber.store(first); }

// A number of this recording's own for its frame checks, so that the frames
// of a movie that it writes over never pass for its own.
uint64_t AviWriter::Impl::drawRecordingNumber() {
    uint64_t number = gNextRecordingNumber.load();
    while (number != 0 && !gNextRecordingNumber.compare_exchange_weak(number, number + 1)) {
    }
    if (number != 0) {
        return number;
    }
    std::random_device device;
    while (number == 0) {
        number = uint64_t{device()} << 32 ^ device();
    }
    return number;
}

AviWriter::AviWriter(std::unique_ptr<ByteSink> sink, const ContainerSettings& settings)
    : impl_(std::make_unique<Impl>(std::move(sink), settings)) {}

std::unique_ptr<AviWriter> AviWriter::resume(std::unique_ptr<ByteSink> sink, FileLayout layout,
                                             size_t headerBytes, bool copyStale) {
    auto writer = std::make_unique<AviWriter>(std::move(sink), ContainerSettings{});
    Impl& impl = *writer->impl_;
    impl.layout = std::move(layout);
    impl.layout.headerWritten = true;
    if (!buildHeaderBlock(impl.layout, impl.headerBlock, &impl.headerLayout) ||
        impl.headerBlock.size() != headerBytes) {
        return nullptr;
    }
    // What is on disk may differ from the block: the first refresh writes it
    // whole.
    impl.headerOnDiskStale = true;
    impl.copyStale = copyStale && impl.headerLayout.copyChunk.size > 0;
    return writer;
}

// Without finish() the file is left as a crash would leave it; its counts
// are current already, unless the last write of the header failed: then it
// is tried once more. Nobody is left to hear of a failure here; the file
// then keeps the counts of the last header that reached it. Completing the
// file is the caller's decision, made by calling finish().
AviWriter::~AviWriter() {
    if (!impl_->finished && impl_->headerOnDiskStale) {
        static_cast<void>(impl_->refreshHeader());
    }
}

int AviWriter::addStream(const AVISTREAMINFOA& info) {
    FileLayout& layout = impl_->layout;
    if (layout.headerWritten || impl_->finished || layout.streams.size() >= kMaxStreams) {
        return -1;
    }
    StreamState stream;
    stream.info = info;
    const int number = static_cast<int>(layout.streams.size());
    stream.chunkId = sampleChunkId(number, info, stream.format);
    stream.indexId = standardIndexId(number);
    layout.streams.push_back(std::move(stream));
    return number;
}

void AviWriter::setHandler(int stream, DWORD fccHandler) {
    if (stream < 0 || static_cast<size_t>(stream) >= impl_->layout.streams.size()) {
        return;
    }
    impl_->layout.streams[static_cast<size_t>(stream)].info.fccHandler = fccHandler;
}

HRESULT AviWriter::setFormat(int stream, const void* format, size_t bytes) {
    FileLayout& layout = impl_->layout;
    if (stream < 0 || static_cast<size_t>(stream) >= layout.streams.size()) {
        return AVIERR_BADPARAM;
    }
    if (format == nullptr && bytes > 0) {
        return AVIERR_BADPARAM;
    }
    if (bytes > kMaxChunkSize / 2) {
        return refuse(AVIERR_BADSIZE, "a stream format of " + std::to_string(bytes) +
                                          " bytes is larger than an AVI file can hold");
    }
    StreamState& target = layout.streams[static_cast<size_t>(stream)];
    const auto* begin = static_cast<const uint8_t*>(format);
    const std::vector<uint8_t> wanted(begin, begin + bytes);
    if (layout.headerWritten || impl_->finished) {
        // The header block is laid out: only the same format again.
        return target.formatSet && target.format == wanted
                   ? AVIERR_OK
                   : refuse(AVIERR_UNSUPPORTED,
                            "the stream format cannot change once samples are written");
    }
    target.format = wanted;
    target.formatSet = true;
    target.chunkId = sampleChunkId(stream, target.info, target.format);
    return AVIERR_OK;
}

// ---------------------------------------------------------------------------
// Header: the block at the start of the file, then its counts kept current.

// Writes the header block; the first RIFF and its movi list are open from
// then on.
HRESULT AviWriter::Impl::writeHeader() {
    layout.recording =
        std::any_of(layout.streams.begin(), layout.streams.end(), holdsUncompressedFrames)
            ? drawRecordingNumber()
            : 0;
    layout.headerCopy = true;
    if (!buildHeaderBlock(layout, headerBlock, &headerLayout)) {
        return refuse(AVIERR_BADSIZE, "the stream headers are larger than an AVI file can hold");
    }
    const ConstBuffer part{headerBlock.data(), headerBlock.size()};
    if (!sink->append({&part, 1})) {
        return AVIERR_FILEWRITE;
    }
    layout.headerWritten = true;
    layout.riff.open = true;
    layout.riff.first = true;
    layout.riff.start = 0;
    layout.riff.moviStart = headerBlock.size() - 12;
    return AVIERR_OK;
}

// Rewrites the header block in place with the counts, sizes and super
// indexes of now. The block's size never changes once written, so this
// needs no new room. False when the block could not be written; the next
// refresh tries again.
bool AviWriter::Impl::refreshHeader() {
    if (!layout.headerWritten) {
        return true;
    }
    std::vector<uint8_t> block;
    HeaderLayout rebuilt;
    if (!buildHeaderBlock(layout, block, &rebuilt) || block.size() != headerBlock.size()) {
        setFailureReason("the header block no longer fits its place in the file", false);
        return false;
    }
    headerBlock = std::move(block);
    headerLayout = std::move(rebuilt);
    // The header copy was written with the block and never changes: the
    // writes go around its chunk's data.
    const ByteRange& copy = headerLayout.copyChunk;
    const size_t before = copy.size > 0 ? copy.offset + 8 : headerBlock.size();
    const size_t after = copy.size > 0 ? copy.offset + copy.size : headerBlock.size();
    headerOnDiskStale = !sink->writeAt(0, headerBlock.data(), before) ||
                        (after < headerBlock.size() &&
                         !sink->writeAt(after, headerBlock.data() + after, headerBlock.size() - after));
    return !headerOnDiskStale;
}

// Brings the records that count samples up to date on disk: only the bytes
// that changed, in a few small writes (the main and first stream headers
// lie close together and go as one).
bool AviWriter::Impl::writeCounts() {
    if (!layout.headerWritten) {
        return true;
    }
    if (headerOnDiskStale) {
        return refreshHeader();
    }
    refreshCountRecords(layout, headerLayout, headerBlock, changedRanges);
    for (const ByteRange& range : changedRanges) {
        if (!sink->writeAt(range.offset, headerBlock.data() + range.offset, range.size)) {
            headerOnDiskStale = true;
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Sample: a chunk in the movi list of the RIFF being filled.

HRESULT AviWriter::writeSample(int stream, const void* data, size_t bytes, bool keyFrame) {
    if (data == nullptr && bytes > 0) {
        return AVIERR_BADPARAM;
    }
    return impl_->writeSample(stream, Impl::SampleBytes{data, nullptr, bytes, std::nullopt}, keyFrame);
}

HRESULT AviWriter::writeSample(int stream, const FileRange& data, bool keyFrame,
                               std::optional<uint64_t> digest) {
    return impl_->writeSample(stream, Impl::SampleBytes{nullptr, &data, data.size, digest},
                              keyFrame);
}

HRESULT AviWriter::Impl::writeSample(int stream, const SampleBytes& data, bool keyFrame) {
    const size_t bytes = data.size;
    if (finished) {
        return refuse(AVIERR_UNSUPPORTED, "the movie is finished already");
    }
    if (stream < 0 || static_cast<size_t>(stream) >= layout.streams.size()) {
        return AVIERR_BADPARAM;
    }
    if (bytes > kMaxSampleBytes) {
        return refuse(AVIERR_BADSIZE, sampleTooLarge(bytes));
    }
    StreamState& target = layout.streams[static_cast<size_t>(stream)];
    if (!target.formatSet) {
        return refuse(AVIERR_BADFORMAT, "the stream has no format before its first sample");
    }
    if (!layout.headerWritten) {
        if (const HRESULT status = writeHeader(); status != AVIERR_OK) {
            return status;
        }
    }
    if (!layout.riff.open) {
        // The last extension RIFF could not be begun: begin it now.
        if (const HRESULT status = openRiff(); status != AVIERR_OK) {
            return status;
        }
    }
    const bool riffHasSamples =
        std::any_of(layout.streams.begin(), layout.streams.end(),
                    [](const StreamState& s) { return !s.riffSamples.empty(); });
    if (riffHasSamples && projectedRiffExtent(stream, bytes) > riffLimit()) {
        if (const HRESULT status = startNextRiff(); status != AVIERR_OK) {
            return status;
        }
    }
    if (projectedRiffExtent(stream, bytes) > kMaxRiffExtent) {
        return refuse(AVIERR_BADSIZE, sampleTooLarge(bytes));
    }
    const uint64_t position = sink->size();
    ChunkStatus written = ChunkStatus::ok;
    if (carriesFrameChecks(layout, target)) {
        std::optional<uint64_t> digest = data.digest;
        if (data.file == nullptr) {
            digest = frameDigest({static_cast<const uint8_t*>(data.memory), bytes});
        } else if (!digest) {
            const FileRange& range = *data.file;
            digest = frameDigest(FileSource(range.fd, range.offset + range.size), range.offset,
                                 range.size);
        }
        if (!digest) {
            return refuse(AVIERR_FILEREAD, "the frame to be copied could not be read");
        }
        frameCheck.clear();
        serialize(FrameCheck{layout.recording, *digest}, frameCheck);
        const ConstBuffer part{data.memory, bytes};
        written = data.file != nullptr
                      ? chunks.appendChunk(target.chunkId, *data.file, kJunkId, frameCheck)
                      : chunks.appendChunk(target.chunkId, {&part, 1}, kJunkId, frameCheck);
    } else {
        written = data.file != nullptr ? chunks.appendChunk(target.chunkId, *data.file)
                                       : chunks.appendChunk(target.chunkId, data.memory, bytes);
    }
    if (written == ChunkStatus::tooLarge) {
        return refuse(AVIERR_BADSIZE, sampleTooLarge(bytes));
    }
    if (written != ChunkStatus::ok) {
        return AVIERR_FILEWRITE;
    }
    noteSample(layout, static_cast<size_t>(stream), position, static_cast<uint32_t>(bytes),
               keyFrame);
    // The sample stays in the file and in its indexes even when its counts
    // could not be written; the call says so all the same.
    return writeCounts() && syncIfDue(target) ? AVIERR_OK : AVIERR_FILEWRITE;
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
    if (impl_->layout.headerWritten) {
        return true;
    }
    return std::any_of(impl_->layout.streams.begin(), impl_->layout.streams.end(),
                       [](const StreamState& stream) { return stream.formatSet; });
}

int64_t AviWriter::length(int stream) const {
    if (stream < 0 || static_cast<size_t>(stream) >= impl_->layout.streams.size()) {
        return 0;
    }
    return impl_->layout.streams[static_cast<size_t>(stream)].chunks;
}

// ---------------------------------------------------------------------------
// Next RIFF: when the one being filled is full, and starting another.

uint64_t AviWriter::Impl::riffLimit() const {
    // With one entry left in the super indexes, the last RIFF grows as far
    // as its size field allows.
    if (superIndexFull()) {
        return kMaxRiffExtent;
    }
    return std::min(settings.riffLimit, kMaxRiffExtent);
}

bool AviWriter::Impl::superIndexFull() const {
    return std::any_of(layout.streams.begin(), layout.streams.end(), [&](const StreamState& s) {
        return s.superIndex.size() + 1 >= layout.superIndexCapacity;
    });
}

// The extent of the RIFF being filled once it holds one more sample of
// `bytes` for `stream`, with its standard indexes (and idx1) added.
uint64_t AviWriter::Impl::projectedRiffExtent(int stream, size_t bytes) const {
    uint64_t extent = sink->size() + chunkExtent(bytes) - layout.riff.start;
    if (carriesFrameChecks(layout, layout.streams[static_cast<size_t>(stream)])) {
        extent += kFrameCheckExtent;
    }
    for (size_t s = 0; s < layout.streams.size(); ++s) {
        const size_t entries =
            layout.streams[s].riffSamples.size() + (static_cast<int>(s) == stream ? 1 : 0);
        if (entries > 0) {
            extent += standardIndexExtent(entries);
        }
    }
    if (layout.riff.first) {
        extent += firstIndexExtent(layout.firstIndex.size() + 1);
    }
    return extent;
}

// Closes the RIFF being filled, brings the header block (its super indexes
// and the first RIFF's sizes) up to date and opens an extension RIFF. When
// the header could not be written, the call fails before the next RIFF is
// begun; the next sample begins it, and its counts rewrite the whole block.
HRESULT AviWriter::Impl::startNextRiff() {
    if (superIndexFull()) {
        // No room left in the super index for another RIFF, and this one is
        // as large as it can be: the file takes no more.
        return refuse(AVIERR_FILEWRITE,
                      "the movie has reached the largest size that an AVI file can index");
    }
    if (const HRESULT status = closeRiff(); status != AVIERR_OK) {
        return status;
    }
    if (!refreshHeader()) {
        return AVIERR_FILEWRITE;
    }
    return openRiff();
}

// Starts an extension RIFF with its movi list; both sizes stay 0 (to the
// end of the file, for a scanning reader) until the RIFF is closed. The two
// headers go out in one append.
HRESULT AviWriter::Impl::openRiff() {
    MemorySink headers;
    ChunkWriter writer(headers);
    ChunkToken riff;
    ChunkToken movi;
    if (writer.beginList(kRiffId, kAviExtensionType, riff) != ChunkStatus::ok ||
        writer.beginList(kListId, kMoviListType, movi) != ChunkStatus::ok) {
        return refuse(AVIERR_INTERNAL, "the headers of the next RIFF could not be built");
    }
    const uint64_t start = sink->size();
    const ConstBuffer part{headers.bytes().data(), headers.bytes().size()};
    if (!sink->append({&part, 1})) {
        return AVIERR_FILEWRITE;
    }
    layout.riff.open = true;
    layout.riff.first = false;
    layout.riff.start = start + riff.position;
    layout.riff.moviStart = start + movi.position;
    return AVIERR_OK;
}

// ---------------------------------------------------------------------------
// Indexes: closing a RIFF.

// Closes the RIFF being filled: its standard indexes at the end of its movi
// list, for the first RIFF the idx1 after it, then the sizes. The indexes
// are built in memory and go out in one append, so a full disk leaves the
// RIFF as it was (still open). The header block, which lists the new
// standard indexes in its super indexes, is the caller's to refresh.
HRESULT AviWriter::Impl::closeRiff() {
    constexpr const char* kIndexesTooLarge = "the indexes are larger than an AVI file can hold";
    const uint64_t indexStart = sink->size();
    MemorySink indexes;
    ChunkWriter indexWriter(indexes);
    std::vector<std::pair<size_t, SuperIndexEntry>> pending;
    for (size_t s = 0; s < layout.streams.size(); ++s) {
        const StreamState& stream = layout.streams[s];
        if (stream.riffSamples.empty()) {
            continue;
        }
        SuperIndexEntry entry;
        if (appendStandardIndex(indexWriter, stream, layout.riff.moviStart, indexStart, entry) !=
            ChunkStatus::ok) {
            return refuse(AVIERR_BADSIZE, kIndexesTooLarge);
        }
        pending.emplace_back(s, entry);
    }
    const uint64_t moviEnd = indexStart + indexes.size();
    if (layout.riff.first && appendFirstIndex(indexWriter, layout.firstIndex) != ChunkStatus::ok) {
        return refuse(AVIERR_BADSIZE, kIndexesTooLarge);
    }
    const uint64_t riffEnd = indexStart + indexes.size();
    const ChunkToken riff{layout.riff.start};
    const ChunkToken movi{layout.riff.moviStart};
    const uint64_t riffSize = riffEnd - (riff.position + 8);
    const uint64_t moviSize = moviEnd - (movi.position + 8);
    if (riffSize > kMaxChunkSize) {
        return refuse(AVIERR_BADSIZE, kIndexesTooLarge);
    }
    // The samples are durable before the indexes go out, and the indexes
    // with the movi size before the RIFF size, so that a power cut between
    // the steps leaves a state that the repair takes up: the RIFF still open
    // (sizes 0), or its movi list closed. The indexes and the movi size go
    // out back to back: a process killed between them leaves indexes that
    // a reader of the open movi list would take for samples.
    const ConstBuffer part{indexes.bytes().data(), indexes.bytes().size()};
    if (!sink->sync() || !sink->append({&part, 1})) {
        return AVIERR_FILEWRITE;
    }
    if (chunks.setSize(movi, moviSize) != ChunkStatus::ok || !sink->sync() ||
        chunks.setSize(riff, riffSize) != ChunkStatus::ok) {
        return AVIERR_FILEWRITE;
    }
    for (const auto& [stream, entry] : pending) {
        layout.streams[stream].superIndex.push_back(entry);
    }
    for (StreamState& stream : layout.streams) {
        stream.riffSamples.clear();
    }
    if (layout.riff.first) {
        layout.firstRiffSize = static_cast<uint32_t>(riffSize);
        layout.firstMoviSize = static_cast<uint32_t>(moviSize);
        layout.firstIndex.clear();
        layout.firstIndex.shrink_to_fit();
    }
    layout.riff.open = false;
    return AVIERR_OK;
}

// When the indexes cannot be appended, the sizes of the open RIFF and its
// movi list are set to what the file holds, in place, so that readers see
// complete lists; the main header stops claiming an index. Only ever done
// on the way out of a finish() that has failed already: a failure here
// changes neither its result nor its reason, that of the first failure.
void AviWriter::Impl::patchSizesInPlace() {
    const uint64_t end = sink->size();
    const auto moviSize = static_cast<uint32_t>(
        std::min<uint64_t>(end - (layout.riff.moviStart + 8), kMaxChunkSize));
    const auto riffSize = static_cast<uint32_t>(
        std::min<uint64_t>(end - (layout.riff.start + 8), kMaxChunkSize));
    if (layout.riff.first) {
        // Written with the header block.
        layout.firstMoviSize = moviSize;
        layout.firstRiffSize = riffSize;
        layout.indexLost = true;
    } else if (chunks.setSize(ChunkToken{layout.riff.moviStart}, moviSize) == ChunkStatus::ok) {
        static_cast<void>(chunks.setSize(ChunkToken{layout.riff.start}, riffSize));
    }
}

// ---------------------------------------------------------------------------
// Finish: the last RIFF closed, the header written whole, stale bytes cut.

// A video stream without a format would make readers refuse the file; an
// uncompressed 24-bit DIB of the stream's frame rectangle makes it an empty
// movie of that size.
void AviWriter::Impl::describeStreamsWithoutFormat() {
    for (size_t number = 0; number < layout.streams.size(); ++number) {
        StreamState& stream = layout.streams[number];
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

HRESULT AviWriter::finish() { return impl_->finish(); }

HRESULT AviWriter::Impl::finish() {
    if (finished) {
        return finishResult;
    }
    finished = true;
    HRESULT result = AVIERR_OK;
    if (!layout.headerWritten) {
        describeStreamsWithoutFormat();
        result = writeHeader();
    }
    // A RIFF is not open when the last extension RIFF could not be begun:
    // then there is nothing to close.
    if (result == AVIERR_OK && layout.riff.open) {
        result = closeRiff();
        if (result != AVIERR_OK) {
            patchSizesInPlace();
        }
    }
    if (!refreshHeader() && result == AVIERR_OK) {
        result = AVIERR_FILEWRITE;
    }
    // The header is durable before the earlier file's bytes are cut away,
    // and all of it (for a new file its name too) before finish reports
    // success.
    if (!sink->sync() && result == AVIERR_OK) {
        result = AVIERR_FILEWRITE;
    }
    if (!sink->discardStaleBytes() && result == AVIERR_OK) {
        result = AVIERR_FILEWRITE;
    }
    if (!sink->sync() && result == AVIERR_OK) {
        result = AVIERR_FILEWRITE;
    }
    // A damaged header copy is written again once all else is durable, so
    // that a power cut meanwhile never finds both the header and its copy
    // being written.
    if (copyStale && result == AVIERR_OK) {
        const ByteRange& chunk = headerLayout.copyChunk;
        if (!sink->writeAt(chunk.offset + 8, headerBlock.data() + chunk.offset + 8,
                           chunk.size - 8) ||
            !sink->sync()) {
            result = AVIERR_FILEWRITE;
        }
        copyStale = false;
    }
    finishResult = result;
    return result;
}

}  // namespace avifile
