// Fuzz target: the compression dialog stand-in's reading of a compressor
// choice ("NAME[,quality=N][,keyframes=N][,datarate=N]" or "cancel").
// Beyond not crashing, every answer must be consistent: Invalid says why and
// leaves the choice alone, Chosen stays in range, names a compressor on offer
// and reads back the same when written out again, and the options filled
// from it carry exactly the settings given.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "api/compressor_choice.h"
#include "fuzz_check.h"

namespace {

using avifile::CompressorDescription;
using avifile::api::ChoiceOutcome;
using avifile::api::CompressorChoice;

constexpr uint32_t fourcc(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

// What the installed libraries offer, then entries that stress the matching:
// a code with two trailing blanks, a short name with a blank inside, a code
// with a byte that is not printable, and a short name that is another
// entry's code without its blanks.
const std::vector<CompressorDescription>& offered() {
    static const std::vector<CompressorDescription> list = [] {
        std::vector<CompressorDescription> all = avifile::availableCompressors();
        all.push_back({fourcc('X', '2', ' ', ' '), "x two", "two blanks", false});
        all.push_back({fourcc('\x01', 'A', 'B', 'C'), "ctl", "control byte", true});
        all.push_back({fourcc('Q', 'Q', 'Q', 'Q'), "X2", "short name is a code", false});
        return all;
    }();
    return list;
}

const CompressorDescription* lookup(std::string_view name) {
    return avifile::api::matchCompressor(name, offered());
}

using avifile::api::equalsIgnoringCase;
using avifile::api::trimmed;

bool isOffered(const CompressorDescription* compressor) {
    const auto& list = offered();
    return compressor >= list.data() && compressor < list.data() + list.size();
}

// A name for the compressor that a reader can match: its code as text when
// that is printable, else its short name.
std::string nameFor(uint32_t code) {
    std::string text = avifile::api::fourccText(code);
    if (text.find('?') == std::string::npos) {
        return text;
    }
    for (const CompressorDescription& compressor : offered()) {
        if (compressor.fourcc == code) {
            return compressor.shortName;
        }
    }
    return text;
}

std::string written(const CompressorChoice& choice) {
    std::string text = nameFor(choice.fourcc);
    if (choice.quality) {
        text += ",quality=" + std::to_string(*choice.quality);
    }
    if (choice.keyFrameEvery) {
        text += ",keyframes=" + std::to_string(*choice.keyFrameEvery);
    }
    if (choice.bytesPerSecond) {
        text += ",datarate=" + std::to_string(*choice.bytesPerSecond);
    }
    return text;
}

bool sameChoice(const CompressorChoice& a, const CompressorChoice& b) {
    return a.fourcc == b.fourcc && a.quality == b.quality && a.keyFrameEvery == b.keyFrameEvery &&
           a.bytesPerSecond == b.bytesPerSecond;
}

void checkMatch(std::string_view name) {
    const CompressorDescription* match = lookup(name);
    bool shortNameMatches = false;
    for (const CompressorDescription& compressor : offered()) {
        shortNameMatches |= equalsIgnoringCase(trimmed(name), compressor.shortName);
    }
    FUZZ_CHECK(!shortNameMatches || match != nullptr, "a short name on offer found nothing");
    if (match == nullptr) {
        return;
    }
    FUZZ_CHECK(isOffered(match), "the match is not one of the compressors on offer");
    std::string code = avifile::api::fourccText(match->fourcc);
    const bool byCode = equalsIgnoringCase(name, code);
    const bool byShortName = equalsIgnoringCase(trimmed(name), match->shortName);
    while (!code.empty() && code.back() == ' ') {
        code.pop_back();
    }
    const bool byBareCode = equalsIgnoringCase(trimmed(name), code);
    FUZZ_CHECK(byCode || byShortName || byBareCode, "matched a compressor the name does not name");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const CompressorChoice untouched{0xDEADBEEF, 7, 8, 9};
    CompressorChoice choice = untouched;
    std::string message;
    const ChoiceOutcome outcome = avifile::api::parseCompressorChoice(text, lookup, choice, message);

    const size_t comma = text.find(',');
    const std::string_view name = text.substr(0, comma);
    checkMatch(name);
    checkMatch(text);

    const bool saysCancel = comma == std::string_view::npos && equalsIgnoringCase(trimmed(text), "cancel");
    FUZZ_CHECK((outcome == ChoiceOutcome::Cancelled) == saysCancel,
               "cancel is exactly the text 'cancel' (outcome %d)", static_cast<int>(outcome));
    if (outcome != ChoiceOutcome::Chosen) {
        FUZZ_CHECK(sameChoice(choice, untouched), "a choice that was not made changed the result");
    }
    if (outcome == ChoiceOutcome::Invalid) {
        FUZZ_CHECK(!message.empty(), "Invalid without a message");
        return 0;
    }
    if (outcome != ChoiceOutcome::Chosen) {
        return 0;
    }

    // Every setting is "key=value"; an empty one (",," or a trailing comma)
    // cannot have been accepted.
    FUZZ_CHECK(text.find(",,") == std::string_view::npos && !text.ends_with(','),
               "an empty setting was accepted");
    FUZZ_CHECK(choice.fourcc == comptypeDIB ||
                   std::any_of(offered().begin(), offered().end(),
                               [&](const CompressorDescription& c) { return c.fourcc == choice.fourcc; }),
               "chose a compressor that is not on offer: %08x", choice.fourcc);
    FUZZ_CHECK(!choice.quality || *choice.quality <= 10000, "quality %u beyond 10000", *choice.quality);
    FUZZ_CHECK(!choice.bytesPerSecond || *choice.bytesPerSecond > 0, "a data rate of 0 was accepted");

    // Written out and read again, the choice is the same.
    const std::string again = written(choice);
    CompressorChoice reread;
    std::string rereadMessage;
    FUZZ_CHECK(avifile::api::parseCompressorChoice(again, lookup, reread, rereadMessage) ==
                   ChoiceOutcome::Chosen,
               "'%s' does not read back: %s", again.c_str(), rereadMessage.c_str());
    FUZZ_CHECK(sameChoice(choice, reread), "'%s' reads back as another choice", again.c_str());

    // The options carry exactly what was chosen.
    AVICOMPRESSOPTIONS options{};
    options.lpFormat = &options;  // must be cleared
    avifile::api::fillCompressOptions(choice, options);
    FUZZ_CHECK(options.fccType == streamtypeVIDEO && options.fccHandler == choice.fourcc,
               "the options name another stream type or compressor");
    FUZZ_CHECK((options.dwFlags & AVICOMPRESSF_VALID) != 0, "options not marked valid");
    FUZZ_CHECK(((options.dwFlags & AVICOMPRESSF_KEYFRAMES) != 0) == choice.keyFrameEvery.has_value() &&
                   options.dwKeyFrameEvery == choice.keyFrameEvery.value_or(0),
               "key frame setting lost");
    FUZZ_CHECK(((options.dwFlags & AVICOMPRESSF_DATARATE) != 0) == choice.bytesPerSecond.has_value() &&
                   options.dwBytesPerSecond == choice.bytesPerSecond.value_or(0),
               "data rate setting lost");
    FUZZ_CHECK(options.dwQuality == choice.quality.value_or(ICQUALITY_DEFAULT), "quality lost");
    FUZZ_CHECK(options.lpFormat == nullptr && options.cbFormat == 0 && options.lpParms == nullptr &&
                   options.cbParms == 0,
               "the options keep a codec state block");
    return 0;
}
