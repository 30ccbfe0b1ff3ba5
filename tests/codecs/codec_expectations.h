// What each compressor on offer gives, as readers see it: ffprobe's codec
// name, the bits per pixel in its format, whether it takes odd frame sizes,
// and (for lossy codecs) the PSNR it reaches on the test picture.
#ifndef TESTS_CODECS_CODEC_EXPECTATIONS_H
#define TESTS_CODECS_CODEC_EXPECTATIONS_H

#include <cstdint>
#include <string>
#include <vector>

struct CodecExpectation {
    std::string code;       // four-character code
    std::string probeName;  // ffprobe's codec_name
    int bitCount;           // biBitCount for 24-bit input
    bool extraData;         // the format carries the codec's extra data
    bool oddSizes;          // accepts a frame of 65x49
    bool intraOnly;         // every sample is a key frame
    bool addsKeyFrames;     // makes key frames of its own between the interval's
    double psnrFloor;       // dB on the test picture at 64x48; 0: lossless
    double psnrFloorOdd;    // the same at 65x49
};

// Every compressor on offer except Full Frames.
std::vector<CodecExpectation> offeredCodecs();

#endif  // TESTS_CODECS_CODEC_EXPECTATIONS_H
