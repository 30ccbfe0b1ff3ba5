// Parsing of the stand-in's compressor choice and filling of the options.
#include "api/compressor_choice.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>

namespace avifile::api {
namespace {

constexpr uint32_t kMaxQuality = 10000;

// The codecs take the key-frame interval as a signed 32-bit count.
constexpr uint32_t kMaxKeyFrameEvery = 2147483647;

// The data rate reaches the codecs in bits per second, and their buffer size
// (one second's worth) is a signed 32-bit number of bits: at most 2^31 - 1
// bits, 268435455 bytes. Below 1000 bits (125 bytes) per second the H.264
// encoder, which counts in kilobits, sees no rate at all.
constexpr uint32_t kMinBytesPerSecond = 125;
constexpr uint32_t kMaxBytesPerSecond = 268435455;


// A code written without its trailing blanks ("DIB") still names it.
bool namesCode(std::string_view name, uint32_t fourcc) {
    std::string code = fourccText(fourcc);
    while (!code.empty() && code.back() == ' ') {
        code.pop_back();
    }
    return !code.empty() && equalsIgnoringCase(trimmed(name), code);
}

std::optional<uint32_t> parseNumber(std::string_view text, uint32_t maximum) {
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value > maximum) {
        return std::nullopt;
    }
    return value;
}

// Applies one "key=value" setting; false with a message when malformed.
bool applySetting(std::string_view setting, CompressorChoice& choice, std::string& message) {
    const size_t equals = setting.find('=');
    const std::string_view key = trimmed(setting.substr(0, equals));
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : trimmed(setting.substr(equals + 1));
    if (equals == std::string_view::npos) {
        message = "setting '" + std::string(setting) + "' has no '=' and value";
        return false;
    }
    if (equalsIgnoringCase(key, "quality")) {
        choice.quality = parseNumber(value, kMaxQuality);
        if (!choice.quality) {
            message = "quality must be a whole number from 0 to 10000, not '" + std::string(value) + "'";
            return false;
        }
    } else if (equalsIgnoringCase(key, "keyframes")) {
        choice.keyFrameEvery = parseNumber(value, kMaxKeyFrameEvery);
        if (!choice.keyFrameEvery) {
            message = "keyframes must be a whole number of frames from 0 (the compressor's own "
                      "choice) to " + std::to_string(kMaxKeyFrameEvery) + ", not '" +
                      std::string(value) + "'";
            return false;
        }
    } else if (equalsIgnoringCase(key, "datarate")) {
        choice.bytesPerSecond = parseNumber(value, kMaxBytesPerSecond);
        if (!choice.bytesPerSecond || *choice.bytesPerSecond < kMinBytesPerSecond) {
            message = "datarate must be a whole number of bytes per second from " +
                      std::to_string(kMinBytesPerSecond) + " to " +
                      std::to_string(kMaxBytesPerSecond) + ", not '" + std::string(value) + "'";
            choice.bytesPerSecond.reset();
            return false;
        }
    } else {
        message = "unknown setting '" + std::string(key) +
                  "' (the settings are quality=N, keyframes=N and datarate=N)";
        return false;
    }
    return true;
}

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

std::string fourccText(uint32_t fourcc) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((fourcc >> shift) & 0xFF);
        text += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    }
    return text;
}

const CompressorDescription* matchCompressor(std::string_view name,
                                             std::span<const CompressorDescription> offered) {
    // Exact code first ("DIB " with its blank), then short names, then codes
    // written without their trailing blanks.
    for (const CompressorDescription& compressor : offered) {
        if (equalsIgnoringCase(name, fourccText(compressor.fourcc))) {
            return &compressor;
        }
    }
    for (const CompressorDescription& compressor : offered) {
        if (equalsIgnoringCase(trimmed(name), compressor.shortName)) {
            return &compressor;
        }
    }
    for (const CompressorDescription& compressor : offered) {
        if (namesCode(name, compressor.fourcc)) {
            return &compressor;
        }
    }
    return nullptr;
}

std::string listCompressors(std::span<const CompressorDescription> offered) {
    std::string list;
    for (const CompressorDescription& compressor : offered) {
        std::string name = compressor.shortName;
        name.resize(std::max<size_t>(name.size(), 10), ' ');
        list += "  '" + fourccText(compressor.fourcc) + "'  " + name + "  " + compressor.description +
                "\n";
    }
    return list;
}

ChoiceOutcome parseCompressorChoice(std::string_view text, const CompressorLookup& lookup,
                                    CompressorChoice& choice, std::string& message) {
    const size_t comma = text.find(',');
    const std::string_view name = text.substr(0, comma);
    if (comma == std::string_view::npos && equalsIgnoringCase(trimmed(name), "cancel")) {
        return ChoiceOutcome::Cancelled;
    }
    CompressorChoice parsed;
    const CompressorDescription* compressor = lookup(name);
    if (compressor == nullptr && trimmed(name) != name) {
        compressor = lookup(trimmed(name));
    }
    if (compressor != nullptr) {
        parsed.fourcc = compressor->fourcc;
    } else if (namesCode(name, comptypeDIB) || equalsIgnoringCase(trimmed(name), "full")) {
        parsed.fourcc = comptypeDIB;
    } else {
        message = "unknown compressor '" + std::string(name) + "'";
        return ChoiceOutcome::Invalid;
    }
    for (size_t at = comma; at != std::string_view::npos;) {
        const size_t next = text.find(',', at + 1);
        const std::string_view setting =
            text.substr(at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1);
        if (!applySetting(setting, parsed, message)) {
            return ChoiceOutcome::Invalid;
        }
        at = next;
    }
    choice = parsed;
    return ChoiceOutcome::Chosen;
}

void fillCompressOptions(const CompressorChoice& choice, AVICOMPRESSOPTIONS& options) {
    options.fccType = streamtypeVIDEO;
    options.fccHandler = choice.fourcc;
    options.dwKeyFrameEvery = choice.keyFrameEvery.value_or(0);
    options.dwQuality = choice.quality.value_or(ICQUALITY_DEFAULT);
    options.dwBytesPerSecond = choice.bytesPerSecond.value_or(0);
    options.dwFlags = AVICOMPRESSF_VALID;
    if (choice.keyFrameEvery) {
        options.dwFlags |= AVICOMPRESSF_KEYFRAMES;
    }
    if (choice.bytesPerSecond) {
        options.dwFlags |= AVICOMPRESSF_DATARATE;
    }
    options.lpFormat = nullptr;
    options.cbFormat = 0;
    options.lpParms = nullptr;
    options.cbParms = 0;
    options.dwInterleaveEvery = 0;
}

}  // namespace avifile::api
