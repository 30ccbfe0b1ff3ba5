// The compressors on offer and how callers name them.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <set>
#include <string>

#include "codecs/encoder.h"
#include "recording.h"

using avifile::CompressorDescription;
using avifile::codecs::compressors;
using avifile::codecs::createEncoder;
using avifile::codecs::Encoder;
using avifile::codecs::EncoderSettings;
using avifile::codecs::findCompressor;

namespace {

// Every compressor the layer can offer, with the encoder that runs it.
struct Known {
    const char* code;
    const char* shortName;
    const char* encoder;  // null: built in
};
constexpr Known kKnown[] = {
    {"DIB ", "full", nullptr},      {"MSVC", "msvc", "msvideo1"}, {"cvid", "cinepak", "cinepak"},
    {"FFV1", "ffv1", "ffv1"},       {"HFYU", "huffyuv", "huffyuv"}, {"ULRG", "utvideo", "utvideo"},
    {"MPNG", "png", "png"},         {"ZMBV", "zmbv", "zmbv"},     {"MJPG", "mjpeg", "mjpeg"},
    {"XVID", "mpeg4", "mpeg4"},     {"H264", "h264", "libx264"},
};

uint32_t code(const char* text) { return mmioFOURCC(text[0], text[1], text[2], text[3]); }

}  // namespace

TEST(CompressorList, FullFramesFirstThenEveryInstalledEncoderInOrder) {
    const auto& offered = compressors();
    ASSERT_FALSE(offered.empty());
    EXPECT_EQ(offered[0].fourcc, comptypeDIB);
    EXPECT_EQ(offered[0].shortName, "full");
    EXPECT_TRUE(offered[0].lossless);

    size_t at = 0;
    for (const Known& known : kKnown) {
        const bool installed =
            known.encoder == nullptr || avcodec_find_encoder_by_name(known.encoder) != nullptr;
        if (!installed) {
            continue;
        }
        ASSERT_LT(at, offered.size()) << known.code << " missing";
        EXPECT_EQ(fourccText(offered[at].fourcc), known.code);
        EXPECT_EQ(offered[at].shortName, known.shortName);
        EXPECT_FALSE(offered[at].description.empty());
        ++at;
    }
    EXPECT_EQ(at, offered.size()) << "compressors on offer that no encoder runs";
}

TEST(CompressorList, NamesAndCodesAreUnique) {
    std::set<std::string> names;
    std::set<uint32_t> codes;
    for (const CompressorDescription& c : compressors()) {
        EXPECT_TRUE(names.insert(c.shortName).second) << c.shortName;
        EXPECT_TRUE(codes.insert(c.fourcc).second) << fourccText(c.fourcc);
    }
}

TEST(FindCompressor, ByShortNameIgnoringCase) {
    for (const CompressorDescription& c : compressors()) {
        std::string upper = c.shortName;
        for (char& ch : upper) {
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        }
        const CompressorDescription* found = findCompressor(upper);
        ASSERT_NE(found, nullptr) << upper;
        EXPECT_EQ(found->fourcc, c.fourcc);
        EXPECT_EQ(findCompressor(c.shortName), found);
    }
}

TEST(FindCompressor, ByCodeAsWrittenAndIgnoringCase) {
    for (const CompressorDescription& c : compressors()) {
        const std::string text = fourccText(c.fourcc);
        ASSERT_NE(findCompressor(text), nullptr) << text;
        EXPECT_EQ(findCompressor(text)->fourcc, c.fourcc);
        std::string flipped = text;
        for (char& ch : flipped) {
            const auto u = static_cast<unsigned char>(ch);
            ch = static_cast<char>(std::isupper(u) ? std::tolower(u) : std::toupper(u));
        }
        ASSERT_NE(findCompressor(flipped), nullptr) << flipped;
        EXPECT_EQ(findCompressor(flipped)->fourcc, c.fourcc);
        EXPECT_EQ(findCompressor(c.fourcc), findCompressor(text));
    }
}

TEST(FindCompressor, SecondNamesAndCodes) {
    EXPECT_EQ(findCompressor("DIB")->fourcc, comptypeDIB);  // padded with a space
    EXPECT_EQ(findCompressor("dib")->fourcc, comptypeDIB);
    EXPECT_EQ(findCompressor(uint32_t{0})->fourcc, comptypeDIB);
    if (findCompressor("msvc") != nullptr) {
        EXPECT_EQ(findCompressor("Video1"), findCompressor("msvc"));
        EXPECT_EQ(findCompressor(code("CRAM")), findCompressor("msvc"));
    }
    if (findCompressor("mpeg4") != nullptr) {
        EXPECT_EQ(findCompressor("FMP4"), findCompressor("mpeg4"));
        EXPECT_EQ(findCompressor(code("FMP4")), findCompressor("mpeg4"));
        EXPECT_EQ(findCompressor("xvid"), findCompressor("mpeg4"));
    }
}

TEST(FindCompressor, UnknownNamesAndCodesFindNothing) {
    for (const char* name : {"", "cancel", "mpeg", "h265", "XVIDX", "full ", "  ", "DIB  ", "YUY2"}) {
        EXPECT_EQ(findCompressor(std::string(name)), nullptr) << '"' << name << '"';
    }
    EXPECT_EQ(findCompressor(std::string("\0\0\0\0", 4)), nullptr);
    EXPECT_EQ(findCompressor(code("YUY2")), nullptr);
    EXPECT_EQ(findCompressor(code("dib ")), findCompressor(comptypeDIB));
}

TEST(CreateEncoder, UnknownCodesAndFullFramesHaveNoEncoder) {
    std::unique_ptr<Encoder> encoder;
    EncoderSettings settings;
    for (uint32_t fourcc : {code("YUY2"), code("h265"), uint32_t{0}, comptypeDIB, uint32_t{1}}) {
        settings.fourcc = fourcc;
        EXPECT_EQ(createEncoder(settings, encoder), AVIERR_NOCOMPRESSOR) << fourccText(fourcc);
        EXPECT_EQ(encoder, nullptr);
    }
}

TEST(CreateEncoder, EveryCompressorOnOfferButFullFramesHasOne) {
    for (const CompressorDescription& c : compressors()) {
        if (c.fourcc == comptypeDIB) {
            continue;
        }
        std::unique_ptr<Encoder> encoder;
        EncoderSettings settings;
        settings.fourcc = c.fourcc;
        EXPECT_EQ(createEncoder(settings, encoder), AVIERR_OK) << c.shortName;
        EXPECT_NE(encoder, nullptr);
    }
}
