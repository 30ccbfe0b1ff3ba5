// Layout checks of the host's frame records: the plug-in reads only `bands`
// and `data`, at fixed byte offsets in 32-bit and 64-bit builds alike.
#ifndef AVI_HOST_RECORDS_H
#define AVI_HOST_RECORDS_H

#include <cstddef>

#include "avi/avi_plugin.h"

static_assert(offsetof(BandStack, bands) == 8, "BandStack::bands must lie at byte 8");
static_assert(offsetof(BandBlock, data) == 16, "BandBlock::data must lie at byte 16");
static_assert(sizeof(BandStack) >= 12, "BandStack spans at least 12 bytes");
static_assert(sizeof(BandBlock) >= 20, "BandBlock spans at least 20 bytes");

// Band order within a stack.
constexpr int kRedBand = 0;
constexpr int kGreenBand = 1;
constexpr int kBlueBand = 2;

#endif  // AVI_HOST_RECORDS_H
