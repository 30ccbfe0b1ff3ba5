// The pixel loop of the frame conversion.
#include "frame_conversion.h"

void fillFrameRows(unsigned char* buffer, int32_t stride, const MovieRecord* movie,
                   const BandStack* frame) {
    fillFrameRowsReference(buffer, stride, movie, frame);
}
