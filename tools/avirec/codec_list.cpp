// Listing of the compressors on offer.
#include "codec_list.h"

#include <cstdio>

#include "avifile_hooks.h"

namespace {

std::string fourccText(uint32_t code) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((code >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

}  // namespace

std::string compressorTable() {
    std::string table = "name          code    kind      description\n";
    for (const auto& compressor : avifile::availableCompressors()) {
        char line[512];
        std::snprintf(line, sizeof line, "%-13s '%s'  %-8s  %s\n", compressor.shortName.c_str(),
                      fourccText(compressor.fourcc).c_str(),
                      compressor.lossless ? "lossless" : "lossy", compressor.description.c_str());
        table += line;
    }
    table += "\nPick one with --codec NAME, optionally with ,quality=N (0-10000),\n"
             ",keyframes=N (0-2147483647) and ,datarate=N (125-268435455 bytes per second),\n"
             "e.g. --codec mjpeg,quality=9000\n";
    return table;
}
