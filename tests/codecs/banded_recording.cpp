#include "banded_recording.h"

void recordEveryThirdAKeyFrame(avifile::codecs::EncoderSettings settings, const TestPicture& picture,
                               int frames, const std::string& path, Recording& recording,
                               DecodedVideo& video) {
    settings.keyFrameEvery = 3;
    recording = record(settings, picture, frames, path);
    ASSERT_TRUE(recording.written);
    // Every third frame is a key frame (the codec may make others too).
    ASSERT_EQ(recording.keyFrames.size(), static_cast<size_t>(frames));
    for (int i = 0; i < frames; i += 3) {
        EXPECT_TRUE(recording.keyFrames[i]) << "frame " << i;
    }
    EXPECT_EQ(probeKeyFrames(path), recording.keyFrames);
    ASSERT_TRUE(decodeVideo(path, video));
    ASSERT_EQ(video.frames.size(), static_cast<size_t>(frames));
}
