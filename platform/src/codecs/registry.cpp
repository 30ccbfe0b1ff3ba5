// The compressors on offer, as the dialog's stand-in and the compressing
// stream see them.
#include <algorithm>
#include <cctype>
#include <string>

#include "codecs/codec_table.h"
#include "codecs/encoder.h"

namespace avifile::codecs {
namespace {

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A code given as text: up to four characters, short ones padded with
// spaces ("DIB" is 'DIB ').
bool textAsFourcc(std::string_view text, uint32_t& fourcc) {
    if (text.empty() || text.size() > 4) {
        return false;
    }
    fourcc = 0;
    for (size_t i = 0; i < 4; ++i) {
        const char c = i < text.size() ? text[i] : ' ';
        fourcc |= static_cast<uint32_t>(static_cast<unsigned char>(c)) << (8 * i);
    }
    return true;
}

const CompressorDescription* descriptionOf(const CodecProfile* profile) {
    if (profile == nullptr) {
        return nullptr;
    }
    for (const CompressorDescription& offered : compressors()) {
        if (offered.fourcc == profile->fourcc) {
            return &offered;
        }
    }
    return nullptr;
}

}  // namespace

const std::vector<CompressorDescription>& compressors() {
    static const std::vector<CompressorDescription> offered = [] {
        std::vector<CompressorDescription> list;
        for (const CodecProfile& profile : codecTable()) {
            if (isInstalled(profile)) {
                list.push_back({profile.fourcc, profile.shortName, profile.description,
                                profile.lossless});
            }
        }
        return list;
    }();
    return offered;
}

const CompressorDescription* findCompressor(std::string_view nameOrCode) {
    for (const CodecProfile& profile : codecTable()) {
        if (sameText(nameOrCode, profile.shortName) ||
            (profile.otherName != nullptr && sameText(nameOrCode, profile.otherName))) {
            return isInstalled(profile) ? descriptionOf(&profile) : nullptr;
        }
    }
    uint32_t fourcc = 0;
    if (!textAsFourcc(nameOrCode, fourcc) || fourcc == 0) {
        return nullptr;
    }
    return descriptionOf(findProfile(fourcc));
}

const CompressorDescription* findCompressor(uint32_t fourcc) {
    return descriptionOf(findProfile(fourcc));
}

}  // namespace avifile::codecs
