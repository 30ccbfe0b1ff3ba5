// The answer of the compression dialog's stand-in: which compressor, with
// which settings, read from text such as "MJPG,quality=9000,keyframes=15".
#ifndef AVIFILE_API_COMPRESSOR_CHOICE_H
#define AVIFILE_API_COMPRESSOR_CHOICE_H

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "avifile.h"
#include "avifile_hooks.h"

namespace avifile::api {

struct CompressorChoice {
    uint32_t fourcc = comptypeDIB;
    std::optional<uint32_t> quality;         // 0..10000
    std::optional<uint32_t> keyFrameEvery;   // frames between key frames
    std::optional<uint32_t> bytesPerSecond;  // data rate
};

enum class ChoiceOutcome {
    Chosen,
    Cancelled,  // the text was "cancel"
    Invalid,    // unknown compressor or malformed setting; see the message
};

// Finds a compressor by its four-character code (as text) or short name;
// null when there is none.
using CompressorLookup = std::function<const CompressorDescription*(std::string_view)>;

// Reads "NAME[,quality=N][,keyframes=N][,datarate=N]". NAME is what `lookup`
// finds (surrounding blanks ignored); "DIB" and "full" always mean Full
// Frames. On Invalid, `message` says what is wrong, for people.
ChoiceOutcome parseCompressorChoice(std::string_view text, const CompressorLookup& lookup,
                                    CompressorChoice& choice, std::string& message);

// A lookup among `offered` by code or short name, letter case ignored, a
// code's trailing blanks optional ("DIB" for 'DIB ').
const CompressorDescription* matchCompressor(std::string_view name,
                                             std::span<const CompressorDescription> offered);

// Whether two texts are the same but for letter case.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// The text without the blanks around it.
std::string_view trimmed(std::string_view text);

// A four-character code as text ("DIB ", "MJPG").
std::string fourccText(uint32_t fourcc);

// One line per compressor on offer: code, short name, description.
std::string listCompressors(std::span<const CompressorDescription> offered);

// Fills the options as the platform's dialog does on OK.
void fillCompressOptions(const CompressorChoice& choice, AVICOMPRESSOPTIONS& options);

}  // namespace avifile::api

#endif  // AVIFILE_API_COMPRESSOR_CHOICE_H
