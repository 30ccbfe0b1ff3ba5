// AVIMakeCompressedStream, AVIStreamSetFormat, AVIStreamWrite and
// AVIStreamRelease.
//
// A raw stream hands samples and its format to the container as given. A
// Full Frames stream checks that its format is an uncompressed DIB and its
// samples are frames of that format, then hands the caller's buffer itself
// to the container. A codec stream opens its encoder with the DIB format,
// gives the raw stream the compressed format and the codec's code, and
// writes each frame's compressed sample.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/dib_format.h"
#include "api/failure_reason.h"
#include "api/guarded_call.h"
#include "api/handles.h"
#include "api/library_settings.h"
#include "codecs/size_rules.h"
#include "platform_export.h"

namespace avifile::api {
namespace {

constexpr uint32_t kMaxQuality = 10000;
// The most empty samples that one write fills in before its own sample; a
// start further ahead is taken for a wrong argument rather than filling the
// disk with empty samples.
constexpr int64_t kMaxGapSamples = int64_t{1} << 20;

bool isFullFramesCode(DWORD handler) {
    return handler == 0 || handler == comptypeDIB || handler == mmioFOURCC('d', 'i', 'b', ' ');
}

codecs::EncoderSettings encoderSettings(const AVICOMPRESSOPTIONS& options,
                                        const AVISTREAMINFOA& info) {
    codecs::EncoderSettings settings;
    settings.fourcc = options.fccHandler;
    settings.quality = options.dwQuality == ICQUALITY_DEFAULT || options.dwQuality <= kMaxQuality
                           ? options.dwQuality
                           : kMaxQuality;
    if ((options.dwFlags & AVICOMPRESSF_KEYFRAMES) != 0) {
        settings.keyFrameEvery = options.dwKeyFrameEvery;
    }
    if ((options.dwFlags & AVICOMPRESSF_DATARATE) != 0) {
        settings.bytesPerSecond = options.dwBytesPerSecond;
    }
    if (info.dwRate != 0 && info.dwScale != 0) {
        settings.rate = info.dwRate;
        settings.scale = info.dwScale;
    }
    return settings;
}

BITMAPINFOHEADER headerOf(const std::vector<uint8_t>& format) {
    BITMAPINFOHEADER header;
    std::memcpy(&header, format.data(), sizeof header);
    return header;
}

// Opens a codec stream's encoder for a new DIB format (a fresh encoder when
// the present one was opened before) and gives the raw stream the result.
HRESULT openCodec(StreamObject& stream, const uint8_t* format, size_t bytes, uint32_t imageBytes) {
    CompressionState& state = stream.compression;
    AviWriter& writer = *stream.file->writer;
    if (state.formatAccepted && writer.length(stream.number) > 0) {
        setFailureReason("the frame format cannot change once frames are written");
        return AVIERR_UNSUPPORTED;  // a new frame format in the middle of the stream
    }
    std::unique_ptr<codecs::Encoder> fresh;
    if (!state.encoder || state.encoderOpened) {
        if (const HRESULT status = codecs::createEncoder(state.settings, fresh); status != AVIERR_OK) {
            return status;
        }
    } else {
        fresh = std::move(state.encoder);
    }
    state.encoderOpened = true;
    std::vector<uint8_t> input(format, format + bytes);
    std::vector<uint8_t> compressed;
    HRESULT status = fresh->open(headerOf(input), compressed);
    if (status == AVIERR_OK) {
        status = writer.setFormat(stream.number, compressed.data(), compressed.size());
    }
    if (status != AVIERR_OK) {
        // Kept only when it was the stream's first one, so that the next
        // attempt starts from a new encoder either way.
        if (!state.encoder) {
            state.encoder = std::move(fresh);
        }
        return status;
    }
    writer.setHandler(stream.number, state.settings.fourcc);
    state.encoder = std::move(fresh);
    state.inputFormat = std::move(input);
    state.compressedFormat = std::move(compressed);
    state.imageBytes = imageBytes;
    state.formatAccepted = true;
    state.restartEncoder = false;
    return AVIERR_OK;
}

HRESULT setCompressingFormat(StreamObject& stream, const void* format, size_t bytes) {
    if (const HRESULT refusal = formatRefusal(); refusal != AVIERR_OK) {
        return refusal;
    }
    uint32_t imageBytes = 0;
    if (const HRESULT status = checkUncompressedDib(format, bytes, imageBytes); status != AVIERR_OK) {
        setFailureReason("the frame format is not an uncompressed bottom-up bitmap of 8, 16, 24 or "
                         "32 bits a pixel");
        return status;
    }
    BITMAPINFOHEADER header;
    std::memcpy(&header, format, sizeof header);
    // Full Frames are read back by the players' raw video decoder, which
    // refuses pictures beyond its size limit; codecs check this themselves.
    if (stream.kind == StreamKind::FullFrames) {
        if (std::string reason = codecs::readerSizeRefusal(header.biWidth, header.biHeight);
            !reason.empty()) {
            setFailureReason(std::move(reason));
            return AVIERR_BADFORMAT;
        }
    }
    CompressionState& state = stream.compression;
    const auto* first = static_cast<const uint8_t*>(format);
    if (state.formatAccepted && state.inputFormat.size() == bytes &&
        std::memcmp(state.inputFormat.data(), first, bytes) == 0) {
        return AVIERR_OK;
    }
    if (stream.kind == StreamKind::Codec) {
        return openCodec(stream, first, bytes, imageBytes);
    }
    const HRESULT status = stream.file->writer->setFormat(stream.number, format, bytes);
    if (status == AVIERR_OK) {
        state.inputFormat.assign(first, first + bytes);
        state.imageBytes = imageBytes;
        state.formatAccepted = true;
    }
    return status;
}

// After a failed write or a failed frame, a codec stream continues with a
// new encoder, so that the next sample does not refer to a frame that never
// reached the file. Kept as it is when the new encoder would need another
// stream format.
void restartEncoderIfNeeded(StreamObject& stream) {
    CompressionState& state = stream.compression;
    if (!state.restartEncoder) {
        return;
    }
    std::unique_ptr<codecs::Encoder> fresh;
    std::vector<uint8_t> compressed;
    if (codecs::createEncoder(state.settings, fresh) == AVIERR_OK &&
        fresh->open(headerOf(state.inputFormat), compressed) == AVIERR_OK &&
        compressed == state.compressedFormat) {
        state.encoder = std::move(fresh);
    }
    state.restartEncoder = false;
}

struct SampleToWrite {
    const void* data = nullptr;
    size_t size = 0;
    bool keyFrame = false;
};

// What goes into the file for the caller's buffer: the buffer itself, or
// the codec's sample for it.
HRESULT prepareSample(StreamObject& stream, const void* buffer, size_t bytes, DWORD flags,
                      SampleToWrite& sample) {
    if (stream.kind == StreamKind::Raw) {
        sample = {buffer, bytes, (flags & AVIIF_KEYFRAME) != 0};
        return AVIERR_OK;
    }
    const CompressionState& state = stream.compression;
    if (!state.formatAccepted) {
        setFailureReason("no frame format was set before the first frame");
        return AVIERR_BADFORMAT;
    }
    if (bytes != state.imageBytes) {
        setFailureReason("a frame of " + std::to_string(bytes) + " bytes where the format has " +
                         std::to_string(state.imageBytes));
        return AVIERR_BADSIZE;
    }
    if (stream.kind == StreamKind::FullFrames) {
        // Every uncompressed frame stands on its own.
        sample = {buffer, bytes, true};
        return AVIERR_OK;
    }
    restartEncoderIfNeeded(stream);
    codecs::EncodedSample encoded;
    if (const HRESULT status = stream.compression.encoder->encode(buffer, bytes, encoded);
        status != AVIERR_OK) {
        // The codec may have taken the frame in as the one the next refers
        // to, though it never reaches the file: start it over, as after a
        // failed write.
        stream.compression.restartEncoder = true;
        return status;
    }
    sample = {encoded.data, encoded.size, encoded.keyFrame};
    return AVIERR_OK;
}

}  // namespace
}  // namespace avifile::api

extern "C" AVIFILE_EXPORT HRESULT AVIMakeCompressedStream(PAVISTREAM* ppsCompressed,
                                                          PAVISTREAM ppsSource,
                                                          AVICOMPRESSOPTIONS* lpOptions,
                                                          CLSID* /*pclsidHandler*/) {
    using namespace avifile;
    using namespace avifile::api;
    clearFailureReason();
    if (ppsCompressed != nullptr) {
        *ppsCompressed = nullptr;
    }
    const std::shared_ptr<StreamObject> source = Registry::instance().stream(ppsSource);
    if (!source) {
        return AVIERR_BADHANDLE;
    }
    if (ppsCompressed == nullptr || lpOptions == nullptr) {
        return AVIERR_BADPARAM;
    }
    if (source->kind != StreamKind::Raw) {
        return AVIERR_UNSUPPORTED;  // compressing a compressing stream
    }
    return guardedCall([&] {
        auto stream = std::make_shared<StreamObject>();
        stream->file = source->file;
        stream->number = source->number;
        stream->info = source->info;
        stream->source = source;
        if (isFullFramesCode(lpOptions->fccHandler)) {
            stream->kind = StreamKind::FullFrames;
        } else {
            stream->kind = StreamKind::Codec;
            stream->compression.settings = encoderSettings(*lpOptions, source->info);
            const HRESULT status =
                codecs::createEncoder(stream->compression.settings, stream->compression.encoder);
            if (status != AVIERR_OK) {
                return status;
            }
        }
        *ppsCompressed = Registry::instance().addStream(std::move(stream));
        if (*ppsCompressed == nullptr) {
            return AVIERR_BADHANDLE;
        }
        // A stream is now set up to take frames: the file is a recording,
        // completed on disk when it is released even without a frame.
        std::lock_guard lock(source->file->mutex);
        source->file->recording = true;
        return AVIERR_OK;
    });
}

// The position is not used: a stream has one format, set before its first
// sample (setting the same one again is accepted).
extern "C" AVIFILE_EXPORT HRESULT AVIStreamSetFormat(PAVISTREAM pavi, LONG lPos, LPVOID lpFormat,
                                                     LONG cbFormat) {
    using namespace avifile::api;
    avifile::clearFailureReason();
    const std::shared_ptr<StreamObject> stream = Registry::instance().stream(pavi);
    if (!stream) {
        return AVIERR_BADHANDLE;
    }
    if (lpFormat == nullptr || cbFormat <= 0 || lPos < 0) {
        return AVIERR_BADPARAM;
    }
    return guardedCall([&] {
        std::lock_guard lock(stream->file->mutex);
        const auto bytes = static_cast<size_t>(cbFormat);
        if (stream->kind == StreamKind::Raw) {
            return stream->file->writer->setFormat(stream->number, lpFormat, bytes);
        }
        return setCompressingFormat(*stream, lpFormat, bytes);
    });
}

// One sample per call (lSamples 1). lStart -1 appends, as on the platform;
// a start beyond the stream's length first fills the gap with empty samples;
// a start before it is refused.
extern "C" AVIFILE_EXPORT HRESULT AVIStreamWrite(PAVISTREAM pavi, LONG lStart, LONG lSamples,
                                                 LPVOID lpBuffer, LONG cbBuffer, DWORD dwFlags,
                                                 LONG* plSampWritten, LONG* plBytesWritten) {
    using namespace avifile::api;
    avifile::clearFailureReason();
    if (plSampWritten != nullptr) {
        *plSampWritten = 0;
    }
    if (plBytesWritten != nullptr) {
        *plBytesWritten = 0;
    }
    const std::shared_ptr<StreamObject> stream = Registry::instance().stream(pavi);
    if (!stream) {
        return AVIERR_BADHANDLE;
    }
    if (lSamples <= 0 || cbBuffer < 0 || (lpBuffer == nullptr && cbBuffer > 0) || lStart < -1) {
        return AVIERR_BADPARAM;
    }
    if (lSamples != 1) {
        return AVIERR_UNSUPPORTED;
    }
    return guardedCall([&] {
        std::lock_guard lock(stream->file->mutex);
        avifile::AviWriter& writer = *stream->file->writer;
        const int64_t length = writer.length(stream->number);
        const int64_t start = lStart == -1 ? length : lStart;
        if (start < length || start - length > kMaxGapSamples) {
            return AVIERR_BADPARAM;
        }
        SampleToWrite sample;
        HRESULT status =
            prepareSample(*stream, lpBuffer, static_cast<size_t>(cbBuffer), dwFlags, sample);
        if (status != AVIERR_OK) {
            return status;
        }
        while (status == AVIERR_OK && writer.length(stream->number) < start) {
            status = writer.writeSample(stream->number, nullptr, 0, false);
        }
        if (status == AVIERR_OK) {
            status = writer.writeSample(stream->number, sample.data, sample.size, sample.keyFrame);
        }
        if (status != AVIERR_OK) {
            stream->compression.restartEncoder = stream->kind == StreamKind::Codec;
            return status;
        }
        if (plSampWritten != nullptr) {
            *plSampWritten = 1;
        }
        if (plBytesWritten != nullptr) {
            *plBytesWritten = static_cast<LONG>(sample.size);
        }
        return AVIERR_OK;
    });
}

extern "C" AVIFILE_EXPORT ULONG AVIStreamRelease(PAVISTREAM pavi) {
    return avifile::api::Registry::instance().releaseStream(pavi);
}
