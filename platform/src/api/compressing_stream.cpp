// Compressing streams: choosing Full Frames or a codec, opening the codec
// with the frame format, restarting it after a lost sample, and turning a
// frame into the sample that goes into the file.
#include "api/compressing_stream.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/dib_format.h"
#include "api/failure_reason.h"
#include "api/library_settings.h"
#include "codecs/size_rules.h"

namespace avifile::api {
namespace {

constexpr uint32_t kMaxQuality = 10000;

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

// After a lost sample, a codec stream continues with a new encoder, so that
// the next sample does not refer to a frame that never reached the file.
// The present encoder is kept when the new one would need another stream
// format. When no new encoder can be made or opened, the frame fails with
// the codec's reason, and the next frame tries again.
HRESULT restartEncoderIfNeeded(StreamObject& stream) {
    CompressionState& state = stream.compression;
    if (!state.restartEncoder) {
        return AVIERR_OK;
    }
    std::unique_ptr<codecs::Encoder> fresh;
    std::vector<uint8_t> compressed;
    HRESULT status = codecs::createEncoder(state.settings, fresh);
    if (status == AVIERR_OK) {
        status = fresh->open(headerOf(state.inputFormat), compressed);
    }
    if (status != AVIERR_OK) {
        setFailureReason("the compressor could not be started again", false);
        return status;
    }
    if (compressed == state.compressedFormat) {
        state.encoder = std::move(fresh);
    }
    state.restartEncoder = false;
    return AVIERR_OK;
}

}  // namespace

HRESULT setUpCompression(StreamObject& stream, const AVICOMPRESSOPTIONS& options) {
    if (isFullFramesCode(options.fccHandler)) {
        stream.kind = StreamKind::FullFrames;
        return AVIERR_OK;
    }
    stream.kind = StreamKind::Codec;
    stream.compression.settings = encoderSettings(options, stream.info);
    return codecs::createEncoder(stream.compression.settings, stream.compression.encoder);
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

HRESULT prepareSample(StreamObject& stream, const void* buffer, size_t bytes, DWORD flags,
                      SampleToWrite& sample) {
    if (stream.kind == StreamKind::Raw) {
        sample = {buffer, bytes, (flags & AVIIF_KEYFRAME) != 0};
        return AVIERR_OK;
    }
    CompressionState& state = stream.compression;
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
    if (const HRESULT status = restartEncoderIfNeeded(stream); status != AVIERR_OK) {
        return status;
    }
    codecs::EncodedSample encoded;
    if (const HRESULT status = state.encoder->encode(buffer, bytes, encoded);
        status != AVIERR_OK) {
        // The codec may have taken the frame in as the one the next refers
        // to, though it never reaches the file: start it over, as after a
        // failed write.
        noteSampleLost(stream);
        return status;
    }
    sample = {encoded.data, encoded.size, encoded.keyFrame};
    return AVIERR_OK;
}

void noteSampleLost(StreamObject& stream) {
    stream.compression.restartEncoder = stream.kind == StreamKind::Codec;
}

}  // namespace avifile::api
