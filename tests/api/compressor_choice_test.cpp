// The stand-in dialog's reading of "NAME,setting=N,..." and its text menu,
// against a list of compressors made up for the test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/compressor_choice.h"
#include "api/compressor_menu.h"

namespace {

using avifile::CompressorDescription;
using avifile::api::ChoiceOutcome;
using avifile::api::CompressorChoice;

const std::vector<CompressorDescription> kOffered = {
    {comptypeDIB, "full", "Full Frames (Uncompressed)", true},
    {mmioFOURCC('M', 'J', 'P', 'G'), "mjpeg", "Motion JPEG", false},
    {mmioFOURCC('c', 'v', 'i', 'd'), "cinepak", "Cinepak Codec", false},
};

const avifile::api::CompressorLookup kLookup = [](std::string_view name) {
    return avifile::api::matchCompressor(name, kOffered);
};

ChoiceOutcome parse(const std::string& text, CompressorChoice& choice, std::string& message) {
    return avifile::api::parseCompressorChoice(text, kLookup, choice, message);
}

TEST(CompressorChoice, NamesByCodeOrShortNameInAnyCase) {
    const std::vector<std::pair<std::string, uint32_t>> cases = {
        {"MJPG", mmioFOURCC('M', 'J', 'P', 'G')}, {"mjpg", mmioFOURCC('M', 'J', 'P', 'G')},
        {"mjpeg", mmioFOURCC('M', 'J', 'P', 'G')}, {"CVID", mmioFOURCC('c', 'v', 'i', 'd')},
        {"Cinepak", mmioFOURCC('c', 'v', 'i', 'd')}, {"DIB ", comptypeDIB},
        {"DIB", comptypeDIB},   {"full", comptypeDIB}, {" mjpeg ", mmioFOURCC('M', 'J', 'P', 'G')}};
    for (const auto& [text, fourcc] : cases) {
        CompressorChoice choice;
        std::string message;
        ASSERT_EQ(parse(text, choice, message), ChoiceOutcome::Chosen) << text << ": " << message;
        EXPECT_EQ(choice.fourcc, fourcc) << text;
        EXPECT_FALSE(choice.quality || choice.keyFrameEvery || choice.bytesPerSecond) << text;
    }
}

TEST(CompressorChoice, FullFramesIsKnownEvenWhenNotListed) {
    CompressorChoice choice;
    std::string message;
    const avifile::api::CompressorLookup none = [](std::string_view) {
        return static_cast<const CompressorDescription*>(nullptr);
    };
    EXPECT_EQ(avifile::api::parseCompressorChoice("full", none, choice, message), ChoiceOutcome::Chosen);
    EXPECT_EQ(choice.fourcc, comptypeDIB);
    EXPECT_EQ(avifile::api::parseCompressorChoice("MJPG", none, choice, message), ChoiceOutcome::Invalid);
}

TEST(CompressorChoice, ReadsEverySetting) {
    CompressorChoice choice;
    std::string message;
    ASSERT_EQ(parse("MJPG,quality=7500,keyframes=12,datarate=250000", choice, message),
              ChoiceOutcome::Chosen)
        << message;
    EXPECT_EQ(choice.fourcc, mmioFOURCC('M', 'J', 'P', 'G'));
    EXPECT_EQ(choice.quality, 7500u);
    EXPECT_EQ(choice.keyFrameEvery, 12u);
    EXPECT_EQ(choice.bytesPerSecond, 250000u);

    // The edges of the ranges.
    ASSERT_EQ(parse("MJPG,keyframes=2147483647,datarate=268435455", choice, message),
              ChoiceOutcome::Chosen)
        << message;
    EXPECT_EQ(choice.keyFrameEvery, 2147483647u);
    EXPECT_EQ(choice.bytesPerSecond, 268435455u);
    ASSERT_EQ(parse("MJPG,keyframes=0,datarate=125", choice, message), ChoiceOutcome::Chosen)
        << message;
    EXPECT_EQ(choice.keyFrameEvery, 0u);
    EXPECT_EQ(choice.bytesPerSecond, 125u);

    ASSERT_EQ(parse("full,quality=0", choice, message), ChoiceOutcome::Chosen);
    EXPECT_EQ(choice.quality, 0u);
    ASSERT_EQ(parse("full,quality=10000", choice, message), ChoiceOutcome::Chosen);
    EXPECT_EQ(choice.quality, 10000u);
    EXPECT_FALSE(choice.keyFrameEvery);
}

TEST(CompressorChoice, CancelIsTheCancelButton) {
    CompressorChoice choice;
    std::string message;
    EXPECT_EQ(parse("cancel", choice, message), ChoiceOutcome::Cancelled);
    EXPECT_EQ(parse("CANCEL", choice, message), ChoiceOutcome::Cancelled);
}

TEST(CompressorChoice, RefusesUnknownNamesAndMalformedSettingsWithAMessage) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"XVID", "unknown compressor 'XVID'"},
        {"", "unknown compressor ''"},
        {"MJPG,quality=10001", "quality"},
        {"MJPG,quality=-1", "quality"},
        {"MJPG,quality=", "quality"},
        {"MJPG,quality=5x", "quality"},
        {"MJPG,keyframes=many", "keyframes"},
        {"MJPG,keyframes=2147483648", "from 0 (the compressor's own choice) to 2147483647"},
        {"MJPG,keyframes=4294967295", "to 2147483647, not '4294967295'"},
        {"MJPG,keyframes=0x10", "keyframes"},
        {"MJPG,keyframes=+5", "keyframes"},
        {"MJPG,keyframes=1e3", "keyframes"},
        {"MJPG,datarate=0", "datarate"},
        {"MJPG,datarate=124", "from 125 to 268435455, not '124'"},
        {"MJPG,datarate=268435456", "from 125 to 268435455"},
        {"MJPG,datarate=4294967295", "from 125 to 268435455"},
        {"MJPG,datarate=99999999999", "datarate"},
        {"MJPG,quality=0x10", "quality"},
        {"MJPG,speed=3", "unknown setting 'speed'"},
        {"MJPG,quality", "no '='"},
        {"MJPG,", "no '='"},
        {"cancel,quality=5", "unknown compressor 'cancel'"},
    };
    for (const auto& [text, expected] : cases) {
        CompressorChoice choice;
        choice.fourcc = 0x1234;
        std::string message;
        EXPECT_EQ(parse(text, choice, message), ChoiceOutcome::Invalid) << text;
        EXPECT_NE(message.find(expected), std::string::npos) << text << " gave: " << message;
        EXPECT_EQ(choice.fourcc, 0x1234u) << "a refused text changed the choice: " << text;
    }
}

TEST(CompressorChoice, FillsOptionsAsTheDialogDoes) {
    AVICOMPRESSOPTIONS options;
    std::memset(&options, 0xAB, sizeof options);
    avifile::api::fillCompressOptions(CompressorChoice{}, options);
    EXPECT_EQ(options.fccType, streamtypeVIDEO);
    EXPECT_EQ(options.fccHandler, comptypeDIB);
    EXPECT_EQ(options.dwFlags, static_cast<DWORD>(AVICOMPRESSF_VALID));
    EXPECT_EQ(options.dwQuality, ICQUALITY_DEFAULT);
    EXPECT_EQ(options.dwKeyFrameEvery, 0u);
    EXPECT_EQ(options.dwBytesPerSecond, 0u);
    EXPECT_EQ(options.lpFormat, nullptr);
    EXPECT_EQ(options.cbFormat, 0u);
    EXPECT_EQ(options.lpParms, nullptr);
    EXPECT_EQ(options.cbParms, 0u);

    CompressorChoice chosen;
    chosen.fourcc = mmioFOURCC('M', 'J', 'P', 'G');
    chosen.quality = 9000;
    chosen.keyFrameEvery = 30;
    chosen.bytesPerSecond = 100000;
    avifile::api::fillCompressOptions(chosen, options);
    EXPECT_EQ(options.fccHandler, mmioFOURCC('M', 'J', 'P', 'G'));
    EXPECT_EQ(options.dwFlags,
              static_cast<DWORD>(AVICOMPRESSF_VALID | AVICOMPRESSF_KEYFRAMES | AVICOMPRESSF_DATARATE));
    EXPECT_EQ(options.dwQuality, 9000u);
    EXPECT_EQ(options.dwKeyFrameEvery, 30u);
    EXPECT_EQ(options.dwBytesPerSecond, 100000u);
}

// Runs the menu with `input` typed in; returns the outcome and what it showed.
ChoiceOutcome runMenu(const std::string& input, CompressorChoice& choice, std::string& shown) {
    std::FILE* in = tmpfile();
    std::FILE* out = tmpfile();
    std::fputs(input.c_str(), in);
    std::rewind(in);
    const ChoiceOutcome outcome = avifile::api::runCompressorMenu(in, out, kOffered, kLookup, choice);
    std::rewind(out);
    shown.clear();
    char chunk[512];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, out)) > 0) {
        shown.append(chunk, got);
    }
    std::fclose(in);
    std::fclose(out);
    return outcome;
}

TEST(CompressorMenu, ListsTheCompressorsWithTheDefaultMarked) {
    CompressorChoice choice;
    std::string shown;
    ASSERT_EQ(runMenu("\n", choice, shown), ChoiceOutcome::Chosen);
    EXPECT_EQ(choice.fourcc, comptypeDIB);
    EXPECT_NE(shown.find("1) Full Frames (Uncompressed)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("2) Motion JPEG"), std::string::npos) << shown;
    EXPECT_NE(shown.find("3) Cinepak Codec"), std::string::npos) << shown;
    const size_t defaultMark = shown.find("(default)");
    ASSERT_NE(defaultMark, std::string::npos);
    EXPECT_LT(defaultMark, shown.find("2)")) << "the default mark belongs to the first entry";
}

TEST(CompressorMenu, NumberPicksQuitsCancelsEndOfInputCancels) {
    CompressorChoice choice;
    std::string shown;
    ASSERT_EQ(runMenu("3\n", choice, shown), ChoiceOutcome::Chosen);
    EXPECT_EQ(choice.fourcc, mmioFOURCC('c', 'v', 'i', 'd'));
    EXPECT_EQ(runMenu("q\n", choice, shown), ChoiceOutcome::Cancelled);
    EXPECT_EQ(runMenu("", choice, shown), ChoiceOutcome::Cancelled);
}

TEST(CompressorMenu, AsksAgainAfterAWrongAnswer) {
    CompressorChoice choice;
    std::string shown;
    ASSERT_EQ(runMenu("7\nbogus\n2\n", choice, shown), ChoiceOutcome::Chosen);
    EXPECT_EQ(choice.fourcc, mmioFOURCC('M', 'J', 'P', 'G'));
    EXPECT_NE(shown.find("There is no compressor 7"), std::string::npos) << shown;
    EXPECT_NE(shown.find("unknown compressor 'bogus'"), std::string::npos) << shown;
}

TEST(CompressorMenu, AnAnswerTooLongIsDroppedAndAskedAgain) {
    CompressorChoice choice;
    std::string shown;
    ASSERT_EQ(runMenu(std::string(100000, '1') + "\n2\n", choice, shown), ChoiceOutcome::Chosen);
    EXPECT_EQ(choice.fourcc, mmioFOURCC('M', 'J', 'P', 'G'));
    EXPECT_NE(shown.find("longer than 4096 characters"), std::string::npos) << shown.substr(0, 500);
    EXPECT_EQ(runMenu(std::string(100000, 'x'), choice, shown), ChoiceOutcome::Cancelled)
        << "the end of the input still cancels";
}

TEST(CompressorMenu, TakesANameWithSettings) {
    CompressorChoice choice;
    std::string shown;
    ASSERT_EQ(runMenu("cinepak,quality=6000\r\n", choice, shown), ChoiceOutcome::Chosen);
    EXPECT_EQ(choice.fourcc, mmioFOURCC('c', 'v', 'i', 'd'));
    EXPECT_EQ(choice.quality, 6000u);
}

}  // namespace
