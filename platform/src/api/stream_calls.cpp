// AVIMakeCompressedStream, AVIStreamSetFormat, AVIStreamWrite and
// AVIStreamRelease: the checks of their arguments and handles. A raw stream
// hands samples and its format to the container as given; what a
// compressing stream does with them is in compressing_stream.cpp.
#include <memory>

#include "api/compressing_stream.h"
#include "api/failure_reason.h"
#include "api/guarded_call.h"
#include "api/handles.h"
#include "platform_export.h"

namespace avifile::api {
namespace {

// The most empty samples that one write fills in before its own sample; a
// start further ahead is taken for a wrong argument rather than filling the
// disk with empty samples.
constexpr int64_t kMaxGapSamples = int64_t{1} << 20;

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
        if (const HRESULT status = setUpCompression(*stream, *lpOptions); status != AVIERR_OK) {
            return status;
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
            noteSampleLost(*stream);
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
