// AVIFileOpenA, AVIFileCreateStreamA and AVIFileRelease.
#include <memory>

#include "api/guarded_call.h"
#include "api/handles.h"
#include "api/library_settings.h"
#include "platform_export.h"
#include "riff/byte_sink.h"

namespace {

constexpr UINT kAccessBits = 0x0003;  // OF_READ, OF_WRITE, OF_READWRITE
constexpr UINT kShareBits = 0x0070;   // OF_SHARE_*
constexpr UINT kKnownModeBits = kAccessBits | kShareBits | OF_CREATE;

}  // namespace

// Only new files are written: OF_CREATE (with OF_WRITE, as the plug-in asks,
// or any access mode, since creating implies writing) makes a new movie at
// the path. The path keeps what it had until the movie's first bytes are
// written: a file that is released before any of its streams got a format,
// a sample or a compressing stream over it holds no recording and is
// dropped, leaving an earlier file as it was and no file where there was
// none. A path that is not a file a movie can be written to (a folder, a
// pipe, a terminal) gives AVIERR_FILEOPEN at once, with the reason recorded.
// Opening an existing file to read or edit it is not provided and gives
// AVIERR_UNSUPPORTED; mode bits that no open mode has give AVIERR_BADFLAGS.
// The handler class is ignored: there is one file handler.
extern "C" AVIFILE_EXPORT HRESULT AVIFileOpenA(PAVIFILE* ppfile, LPCSTR szFile, UINT uMode,
                                               LPCLSID /*lpHandler*/) {
    using namespace avifile;
    using namespace avifile::api;
    if (ppfile != nullptr) {
        *ppfile = nullptr;
    }
    if (ppfile == nullptr || szFile == nullptr || szFile[0] == '\0') {
        return AVIERR_BADPARAM;
    }
    if ((uMode & ~kKnownModeBits) != 0 || (uMode & kAccessBits) == kAccessBits) {
        return AVIERR_BADFLAGS;
    }
    if ((uMode & OF_CREATE) == 0) {
        return AVIERR_UNSUPPORTED;
    }
    return guardedCall([&] {
        std::unique_ptr<ByteSink> sink = createAviFileSink(szFile);
        if (!sink) {
            return AVIERR_FILEOPEN;
        }
        auto file = std::make_shared<FileObject>();
        file->writer = std::make_unique<AviWriter>(std::move(sink), settingsForNewFile());
        *ppfile = Registry::instance().addFile(std::move(file));
        return AVIERR_OK;
    });
}

extern "C" AVIFILE_EXPORT ULONG AVIFileRelease(PAVIFILE pfile) {
    return avifile::api::Registry::instance().releaseFile(pfile);
}

extern "C" AVIFILE_EXPORT HRESULT AVIFileCreateStreamA(PAVIFILE pfile, PAVISTREAM* ppavi,
                                                       AVISTREAMINFOA* psi) {
    using namespace avifile::api;
    if (ppavi != nullptr) {
        *ppavi = nullptr;
    }
    const std::shared_ptr<FileObject> file = Registry::instance().file(pfile);
    if (!file) {
        return AVIERR_BADHANDLE;
    }
    if (ppavi == nullptr || psi == nullptr) {
        return AVIERR_BADPARAM;
    }
    return guardedCall([&] {
        auto stream = std::make_shared<StreamObject>();
        {
            std::lock_guard lock(file->mutex);
            const int number = file->writer->addStream(*psi);
            if (number < 0) {
                // Streams come before the first sample of the file.
                return AVIERR_UNSUPPORTED;
            }
            stream->number = number;
        }
        stream->kind = StreamKind::Raw;
        stream->file = file;
        stream->info = *psi;
        *ppavi = Registry::instance().addStream(std::move(stream));
        return *ppavi != nullptr ? AVIERR_OK : AVIERR_BADHANDLE;
    });
}
