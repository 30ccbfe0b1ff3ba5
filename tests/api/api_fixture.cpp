#include "api_fixture.h"

void ApiTest::SetUp() {
    avifile::setSaveOptionsHook({});
    avifile::setFormatRefusal(AVIERR_OK);
    avifile::setCodecFailure(false);
    avifile::setRiffLimit(0);
    liveAtStart_ = avifile::liveObjects();
}

void ApiTest::TearDown() {
    avifile::setSaveOptionsHook({});
    avifile::setFormatRefusal(AVIERR_OK);
    avifile::setCodecFailure(false);
    avifile::setRiffLimit(0);
    EXPECT_EQ(avifile::liveObjects(), liveAtStart_) << "file or stream objects left alive";
}

ApiTest::Recording ApiTest::open(const std::string& path, int32_t width, int32_t height,
                                 DWORD handler, const AVISTREAMINFOA* info) {
    Recording recording;
    EXPECT_EQ(AVIFileOpenA(&recording.file, path.c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
    AVISTREAMINFOA header = info != nullptr ? *info : apitest::videoInfo(width, height);
    EXPECT_EQ(AVIFileCreateStreamA(recording.file, &recording.raw, &header), AVIERR_OK);
    if (handler != ~DWORD{0}) {
        AVICOMPRESSOPTIONS options{};
        options.fccType = streamtypeVIDEO;
        options.fccHandler = handler;
        options.dwQuality = ICQUALITY_DEFAULT;
        options.dwFlags = AVICOMPRESSF_VALID;
        EXPECT_EQ(AVIMakeCompressedStream(&recording.compressed, recording.raw, &options, nullptr),
                  AVIERR_OK);
    }
    return recording;
}

void ApiTest::close(Recording& recording) {
    AVIStreamRelease(recording.raw);
    AVIStreamRelease(recording.compressed);
    AVIFileRelease(recording.file);
    recording = {};
}
