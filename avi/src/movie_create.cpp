// Creating a movie: the record, the file with one video stream, the
// compression dialog and the compressing stream over the raw one.
#include <cstdint>
#include <cstring>

#include "avi/avi_plugin.h"
#include "base_name.h"
#include "frame_conversion.h"
#include "host/host_services.h"
#include "movie_release.h"
#include "previous_movie.h"
#include "stream_header.h"
#include "writer_state.h"

namespace {

// The largest frame whose byte count still passes as AVIStreamWrite's signed
// 32-bit buffer length.
constexpr uint32_t kMaxImageBytes = INT32_MAX;

// The record with its two texts, or null when an allocation fails (nothing
// is then left allocated).
MovieRecord* newMovieRecord(const char* path, int32_t width, int32_t height) {
    auto* movie = static_cast<MovieRecord*>(jmsc_HeapMalloc(sizeof(MovieRecord)));
    if (movie == nullptr) {
        return nullptr;
    }
    movie->fileName = jstr_Duplicate(path);
    movie->baseName = nullptr;
    movie->frameCount = 0;
    movie->width = width;
    movie->height = height;
    if (movie->fileName == nullptr) {
        freeMovieRecord(movie);
        return nullptr;
    }
    movie->baseName = duplicateBaseName(movie->fileName);
    if (movie->baseName == nullptr) {
        freeMovieRecord(movie);
        return nullptr;
    }
    rememberOpenMovie(movie);
    return movie;
}

// The file, its raw stream, the user's codec and the compressing stream.
// False at the first step that fails; what was obtained stays in the writer
// state for the caller to release.
bool openStreams(const char* fileName) {
    if (AVIFileOpenA(&writerState.aviFile, fileName, OF_WRITE | OF_CREATE, nullptr) != 0) {
        return false;
    }
    if (AVIFileCreateStreamA(writerState.aviFile, &writerState.rawStream,
                             &writerState.streamInfo) != 0) {
        return false;
    }
    std::memset(&writerState.compressOptions, 0, sizeof writerState.compressOptions);
    if (!AVISaveOptions(nullptr, 0, 1, &writerState.rawStream, writerState.optionsList)) {
        return false;
    }
    return AVIMakeCompressedStream(&writerState.compressedStream, writerState.rawStream,
                                   &writerState.compressOptions, nullptr) == 0;
}

}  // namespace

extern "C" {

MovieRecord* aviMovieCreate(const char* path, int32_t width, int32_t height) {
    // Refusals that touch nothing: no path, a size no frame buffer can
    // have, or a movie still open (its handles must not be lost).
    uint32_t imageBytes = 0;
    if (path == nullptr || !frameImageBytes(width, height, imageBytes) ||
        imageBytes > kMaxImageBytes || movieIsOpen()) {
        return nullptr;
    }
    MovieRecord* movie = newMovieRecord(path, width, height);
    if (movie == nullptr) {
        return nullptr;
    }
    writerState.formatSet = 0;
    writerState.fileBytes = 0;
    fillStreamHeader(writerState.streamInfo, width, height, imageBytes);
    setPreviousMovieAside(movie->fileName);
    acquireLibrary();
    if (!openStreams(movie->fileName)) {
        releaseWriter();
        restorePreviousMovie(movie->fileName);
        freeMovieRecord(movie);
        return nullptr;
    }
    rememberOpenMovie(movie);
    return movie;
}

}  // extern "C"
