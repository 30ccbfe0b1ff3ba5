// What the banded compressors' tests share: a fixture that skips when the
// compressor is missing, and a recording with a key frame every third
// frame that readers must index and decode.
#ifndef TESTS_CODECS_BANDED_RECORDING_H
#define TESTS_CODECS_BANDED_RECORDING_H

#include <gtest/gtest.h>

#include <string>

#include "recording.h"
#include "support/ffmpeg_tools.h"
#include "support/temp_dir.h"

// Skips each test when the compressor `name` is not installed; `label`
// names it in the skip message.
class BandedRecording : public ::testing::Test {
protected:
    BandedRecording(const char* name, const char* label) : name_(name), label_(label) {}
    void SetUp() override {
        if (avifile::codecs::findCompressor(name_) == nullptr) {
            GTEST_SKIP() << label_ << " is not installed";
        }
    }
    uint32_t fourcc() const { return avifile::codecs::findCompressor(name_)->fourcc; }
    TempDir dir_;

private:
    const char* name_;
    const char* label_;
};

// Records `frames` frames of `picture` into `path` with a key frame asked
// for every third frame; checks that those are key frames and that readers
// index the key frames as the encoder flagged them, then decodes the file.
void recordEveryThirdAKeyFrame(avifile::codecs::EncoderSettings settings, const TestPicture& picture,
                               int frames, const std::string& path, Recording& recording,
                               DecodedVideo& video);

#endif  // TESTS_CODECS_BANDED_RECORDING_H
