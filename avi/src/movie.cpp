// Movie creation, frame writing and closing.
#include "avi/avi_plugin.h"
#include "writer_state.h"

extern "C" {

MovieRecord* aviMovieCreate(const char* /*path*/, int32_t /*width*/, int32_t /*height*/) {
    return nullptr;
}

int32_t aviMovieAddFrame(MovieRecord* /*movie*/, int32_t /*width*/, int32_t /*height*/,
                         const BandStack* /*frame*/) {
    return 0;
}

void aviMovieClose(MovieRecord* /*movie*/) {}

}  // extern "C"
