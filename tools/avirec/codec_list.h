// avirec --list-codecs: the compressors that the platform layer offers.
#ifndef AVIREC_CODEC_LIST_H
#define AVIREC_CODEC_LIST_H

#include <string>

// One line per compressor: short name, four-character code, whether it is
// lossless, description.
std::string compressorTable();

#endif  // AVIREC_CODEC_LIST_H
