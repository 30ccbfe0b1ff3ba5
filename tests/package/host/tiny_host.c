/* A host in a few lines, built against the installed package: loads the
 * installed plug-in with dlopen and records a few frames of a ramp.
 *   tiny_host PLUGIN OUTPUT.avi
 * The compression dialog's answer comes from VFW_COMPRESSOR (e.g. "full"). */
#include <dlfcn.h>
#include <stdio.h>

#include <avi/avi_plugin.h>

enum { kWidth = 64, kHeight = 48, kFrames = 5 };

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: tiny_host PLUGIN OUTPUT.avi\n");
        return 2;
    }
    void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (plugin == NULL) {
        fprintf(stderr, "tiny_host: %s\n", dlerror());
        return 1;
    }
    MovieRecord* (*create)(const char*, int32_t, int32_t) =
        (MovieRecord * (*)(const char*, int32_t, int32_t)) dlsym(plugin, "aviMovieCreate");
    int32_t (*addFrame)(MovieRecord*, int32_t, int32_t, const BandStack*) =
        (int32_t(*)(MovieRecord*, int32_t, int32_t, const BandStack*))dlsym(plugin, "aviMovieAddFrame");
    void (*close)(MovieRecord*) = (void (*)(MovieRecord*))dlsym(plugin, "aviMovieClose");
    if (create == NULL || addFrame == NULL || close == NULL) {
        fprintf(stderr, "tiny_host: the plug-in lacks an entry point\n");
        return 1;
    }
    static unsigned char planes[3][kWidth * kHeight];
    BandBlock blocks[3];
    BandBlock* list[3] = {&blocks[0], &blocks[1], &blocks[2]};
    BandStack stack = {{0}, list};
    for (int band = 0; band < 3; ++band) {
        blocks[band].data = planes[band];
    }
    MovieRecord* movie = create(argv[2], kWidth, kHeight);
    if (movie == NULL) {
        fprintf(stderr, "tiny_host: the plug-in could not create %s\n", argv[2]);
        return 1;
    }
    int written = 0;
    for (int frame = 0; frame < kFrames; ++frame) {
        for (int i = 0; i < kWidth * kHeight; ++i) {
            planes[0][i] = (unsigned char)(i % kWidth * 4);
            planes[1][i] = (unsigned char)(i / kWidth * 5);
            planes[2][i] = (unsigned char)(frame * 50);
        }
        written += addFrame(movie, kWidth, kHeight, &stack) == 1;
    }
    close(movie);
    printf("tiny_host: wrote %d of %d frames\n", written, kFrames);
    return written == kFrames ? 0 : 1;
}
