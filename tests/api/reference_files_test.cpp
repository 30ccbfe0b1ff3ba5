// Movies written through the AVIFile calls, as the plug-in makes them,
// compared byte for byte with the files committed under tests/reference/:
// any change to what the layer writes, in any field, shows up here.
//
// The committed files were checked with ffprobe and with the RIFF reader of
// tests/support before they were committed. After a deliberate change of
// the layout, write them again with
//     AVI_WRITE_REFERENCE_FILES=1 build/bin/test_avifile_api --gtest_filter='ReferenceFile.*'
// (each case then writes its file into tests/reference/, once the RIFF
// reader has found it sound, and is skipped), look at them with ffprobe and
// commit them with the change.
#include <cstdlib>
#include <filesystem>

#include "api_fixture.h"
#include "support/riff_reader.h"

namespace {

using apitest::dibFormatBlock;
using apitest::dibFrame;
using apitest::dibHeader;

class ReferenceFile : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        avifile::setRecordingNumbers(0x5245434f5244ull);
    }
    void TearDown() override {
        avifile::setRecordingNumbers(0);
        ApiTest::TearDown();
    }

    // A movie of `frames` frames of width x height, Full Frames through a
    // compressing stream, as the plug-in records; frames seeded from `seed`.
    void record(const std::string& path, int32_t width, int32_t height, int frames, int seed,
                const char* name) {
        const AVISTREAMINFOA info = apitest::videoInfo(width, height, 15, name);
        Recording recording = open(path, width, height, comptypeDIB, &info);
        if (frames > 0) {
            // The plug-in sets the format with its first frame.
            std::vector<uint8_t> format = dibFormatBlock(dibHeader(width, height));
            ASSERT_EQ(AVIStreamSetFormat(recording.compressed, 0, format.data(),
                                         static_cast<LONG>(format.size())),
                      AVIERR_OK);
        }
        for (int i = 0; i < frames; ++i) {
            std::vector<uint8_t> frame = dibFrame(width, height, seed + i);
            ASSERT_EQ(AVIStreamWrite(recording.compressed, i, 1, frame.data(),
                                     static_cast<LONG>(frame.size()), AVIIF_KEYFRAME, nullptr,
                                     nullptr),
                      AVIERR_OK);
        }
        close(recording);
    }

    // Compares the file at `path` with the committed file `name`, or writes
    // it there when AVI_WRITE_REFERENCE_FILES is set.
    void expectReference(const std::string& path, const std::string& name) {
        const std::filesystem::path reference = std::filesystem::path(AVI_REFERENCE_DIR) / name;
        const std::vector<uint8_t> written = riffcheck::readWholeFile(path);
        ASSERT_FALSE(written.empty()) << path;
        if (const char* update = std::getenv("AVI_WRITE_REFERENCE_FILES");
            update != nullptr && update[0] != '\0') {
            // Only a file that our own reader finds sound is committed.
            const riffcheck::File file = riffcheck::parse(written);
            ASSERT_TRUE(file.ok()) << file.describeErrors();
            std::filesystem::copy_file(path, reference,
                                       std::filesystem::copy_options::overwrite_existing);
            GTEST_SKIP() << "wrote " << reference;
        }
        const std::vector<uint8_t> expected = riffcheck::readWholeFile(reference.string());
        ASSERT_FALSE(expected.empty()) << reference << " is missing";
        if (written == expected) {
            return;
        }
        size_t at = 0;
        while (at < written.size() && at < expected.size() && written[at] == expected[at]) {
            ++at;
        }
        const riffcheck::File file = riffcheck::parse(written);
        ADD_FAILURE() << name << ": " << written.size() << " bytes written, " << expected.size()
                      << " in the reference; the first difference is at byte " << at
                      << (file.ok() ? "" : "; the file written is malformed: " + file.describeErrors());
    }
};

// The picture the plug-in records most simply: two frames of 4x2 (rows of
// 12 bytes, no filler) with a stream name.
TEST_F(ReferenceFile, NamedMovieOfTwoFrames) {
    const std::string path = dir_.file("named.avi");
    record(path, 4, 2, 2, 0, "Reference");
    expectReference(path, "named_4x2.avi");
}

// A RIFF limit far below a frame: every frame goes into a RIFF of its own
// (the first one with the headers, the others extension RIFFs), and the
// super index lists a standard index in each.
TEST_F(ReferenceFile, OneRiffPerFrameAtALoweredLimit) {
    avifile::setRiffLimit(1);
    const std::string path = dir_.file("segments.avi");
    record(path, 6, 3, 3, 10, "Segments");
    avifile::setRiffLimit(0);
    expectReference(path, "riff_segments_6x3.avi");
}

// A shorter movie recorded over a longer one in place: nothing of the old
// movie is left in the file.
TEST_F(ReferenceFile, ShorterMovieOverALongerOne) {
    const std::string path = dir_.file("overwritten.avi");
    record(path, 8, 6, 5, 20, "The longer movie");
    record(path, 4, 2, 2, 30, "Shorter");
    expectReference(path, "overwritten_4x2.avi");
}

// A movie closed before its first frame: the stream has no format yet.
TEST_F(ReferenceFile, MovieWithoutFrames) {
    const std::string path = dir_.file("empty.avi");
    record(path, 4, 2, 0, 0, "Empty");
    expectReference(path, "empty.avi");
}

}  // namespace
