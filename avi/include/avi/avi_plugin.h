/*
 * The movie writer's boundary with its host: the five exported functions and
 * the records that cross between them.
 */
#ifndef AVI_AVI_PLUGIN_H
#define AVI_AVI_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(AVI_PLUGIN_BUILDING)
#define AVI_EXPORT __declspec(dllexport)
#elif defined(_WIN32)
#define AVI_EXPORT
#else
#define AVI_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An open movie, allocated on the host heap by aviMovieCreate and freed by
 * aviMovieClose. The host holds it as the movie's handle and may read it. */
typedef struct MovieRecord {
    char* fileName;     /* copy of the output path */
    char* baseName;     /* the output path without its last "." and what follows */
    int32_t frameCount; /* frames that reached the write step; the next sample's position */
    int32_t width;      /* frame width in pixels */
    int32_t height;     /* frame height in pixels */
} MovieRecord;

/* One band of a frame: `data` points at one byte per pixel, top row first,
 * rows of `width` bytes with no gap. The leading bytes belong to the host. */
typedef struct BandBlock {
    unsigned char hostReserved[16];
    const unsigned char* data;
} BandBlock;

/* A frame: `bands` points at the band records, red, green and blue first.
 * The leading bytes belong to the host. */
typedef struct BandStack {
    unsigned char hostReserved[8];
    BandBlock* const* bands;
} BandStack;

/* Stores host-heap copies of the type name and the file extension. */
AVI_EXPORT void aviMovieGetInterfaceFileTypeDef(char** typeName, char** extension);

/* The type name; static, the same pointer at every call. */
AVI_EXPORT const char* aviMovieGetTypeName(void);

/* Opens a movie for the path and frame size; null when it cannot be set up. */
AVI_EXPORT MovieRecord* aviMovieCreate(const char* path, int32_t width, int32_t height);

/* Adds one frame; 1 when it was written, else 0. */
AVI_EXPORT int32_t aviMovieAddFrame(MovieRecord* movie, int32_t width, int32_t height,
                                    const BandStack* frame);

/* Completes the file and frees the movie record. */
AVI_EXPORT void aviMovieClose(MovieRecord* movie);

#ifdef __cplusplus
}
#endif

#endif /* AVI_AVI_PLUGIN_H */
