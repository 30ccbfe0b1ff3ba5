// avi_read: reads an AVI file through the system's AVIFile library and prints
// what it makes of it: the file's and the video stream's headers, the stream
// format and, for every sample, its size, key-frame flag and FNV-1a checksum.
// It stops at the first position that the library has no index entry for.
// With --decode it then asks the system's decompressor for every frame as a
// picture (AVIStreamGetFrame) and prints how many it gave; with --pictures it
// also writes those pictures to OUT as raw rgb24, top row first (16-bit
// samples widened by repeating their top bits), for comparison with another
// decoder's.
//
//   avi_read [--decode | --pictures OUT.rgb] FILE.avi
//
// Exit status 0 when every sample was read (and, with --decode, every frame
// decoded), 1 when opening, a read or a decode failed, 2 for bad arguments.
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fnv1a.h"

namespace {

// A four-character code as text, with unprintable bytes as '.'; zero as "0".
std::string fourCC(DWORD code) {
    if (code == 0) {
        return "0";
    }
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const unsigned char c = static_cast<unsigned char>(code >> shift);
        text += (c >= 32 && c < 127) ? static_cast<char>(c) : '.';
    }
    return text;
}

void printFileInfo(PAVIFILE file) {
    AVIFILEINFOA info{};
    if (AVIFileInfoA(file, &info, sizeof(info)) != 0) {
        std::printf("file: no information\n");
        return;
    }
    std::printf("file.streams: %lu\n", info.dwStreams);
    std::printf("file.size: %lux%lu\n", info.dwWidth, info.dwHeight);
    std::printf("file.scale: %lu\n", info.dwScale);
    std::printf("file.rate: %lu\n", info.dwRate);
    std::printf("file.length: %lu\n", info.dwLength);
    std::printf("file.suggestedBuffer: %lu\n", info.dwSuggestedBufferSize);
}

void printStreamInfo(PAVISTREAM stream) {
    AVISTREAMINFOA info{};
    if (AVIStreamInfoA(stream, &info, sizeof(info)) != 0) {
        std::printf("stream: no information\n");
        return;
    }
    char name[sizeof(info.szName) + 1] = {};
    for (size_t i = 0; i < sizeof(info.szName) && info.szName[i] != '\0'; ++i) {
        name[i] = info.szName[i];
    }
    std::printf("stream.fccType: %s\n", fourCC(info.fccType).c_str());
    std::printf("stream.fccHandler: %s\n", fourCC(info.fccHandler).c_str());
    std::printf("stream.flags: %lu\n", info.dwFlags);
    std::printf("stream.scale: %lu\n", info.dwScale);
    std::printf("stream.rate: %lu\n", info.dwRate);
    std::printf("stream.start: %lu\n", info.dwStart);
    std::printf("stream.length: %lu\n", info.dwLength);
    std::printf("stream.suggestedBuffer: %lu\n", info.dwSuggestedBufferSize);
    std::printf("stream.quality: %ld\n", static_cast<long>(info.dwQuality));
    std::printf("stream.sampleSize: %lu\n", info.dwSampleSize);
    std::printf("stream.rcFrame: %ld,%ld,%ld,%ld\n", info.rcFrame.left, info.rcFrame.top,
                info.rcFrame.right, info.rcFrame.bottom);
    std::printf("stream.name: %s\n", name);
}

bool printFormat(PAVISTREAM stream) {
    LONG size = 0;
    if (AVIStreamReadFormat(stream, 0, nullptr, &size) != 0 || size <= 0) {
        std::printf("format: none\n");
        return false;
    }
    std::vector<unsigned char> format(static_cast<size_t>(size));
    if (AVIStreamReadFormat(stream, 0, format.data(), &size) != 0) {
        std::printf("format: unreadable\n");
        return false;
    }
    std::printf("format.bytes: %ld\n", size);
    if (static_cast<size_t>(size) < sizeof(BITMAPINFOHEADER)) {
        return true;
    }
    BITMAPINFOHEADER header;
    std::memcpy(&header, format.data(), sizeof(header));
    std::printf("format.biSize: %lu\n", header.biSize);
    std::printf("format.biWidth: %ld\n", header.biWidth);
    std::printf("format.biHeight: %ld\n", header.biHeight);
    std::printf("format.biPlanes: %u\n", header.biPlanes);
    std::printf("format.biBitCount: %u\n", header.biBitCount);
    std::printf("format.biCompression: %s\n", fourCC(header.biCompression).c_str());
    std::printf("format.biSizeImage: %lu\n", header.biSizeImage);
    std::printf("format.biXPelsPerMeter: %ld\n", header.biXPelsPerMeter);
    std::printf("format.biYPelsPerMeter: %ld\n", header.biYPelsPerMeter);
    std::printf("format.biClrUsed: %lu\n", header.biClrUsed);
    std::printf("format.biClrImportant: %lu\n", header.biClrImportant);
    return true;
}

// Reads every sample from the stream's start to its end. False when one fails.
bool printSamples(PAVISTREAM stream) {
    const LONG first = AVIStreamStart(stream);
    const LONG end = first + AVIStreamLength(stream);
    std::vector<unsigned char> sample;
    LONG read = 0;
    bool allRead = true;
    for (LONG position = first; position < end; ++position) {
        // A position the library has no index entry for cannot be read (some
        // libraries even abort on it); the rest of the stream is then missing.
        if (AVIStreamFindSample(stream, position, FIND_NEXT | FIND_ANY) != position) {
            std::printf("frames not indexed: %ld from %ld\n", end - position, position);
            allRead = false;
            break;
        }
        LONG bytes = 0;
        LONG samples = 0;
        if (AVIStreamRead(stream, position, 1, nullptr, 0, &bytes, &samples) != 0 || bytes < 0) {
            std::printf("frame %ld: size unreadable\n", position);
            allRead = false;
            continue;
        }
        sample.assign(static_cast<size_t>(bytes), 0);
        LONG got = 0;
        if (AVIStreamRead(stream, position, 1, sample.data(), bytes, &got, &samples) != 0 ||
            got != bytes) {
            std::printf("frame %ld: unreadable\n", position);
            allRead = false;
            continue;
        }
        const bool key = AVIStreamIsKeyFrame(stream, position);
        std::printf("frame %ld: bytes=%ld key=%d fnv1a=%08lx\n", position, bytes, key ? 1 : 0,
                    static_cast<unsigned long>(fnv1a32(sample.data(), sample.size())));
        ++read;
    }
    std::printf("frames read: %ld\n", read);
    return allRead;
}

// A decoded DIB (header, then rows bottom-up unless the height is
// negative) as rgb24 rows, top row first, appended to `out`. False for a
// layout it does not know.
bool appendRgb(const BITMAPINFOHEADER* header, std::vector<unsigned char>& out) {
    const long width = header->biWidth;
    const long height = header->biHeight < 0 ? -header->biHeight : header->biHeight;
    const int bits = header->biBitCount;
    if (width <= 0 || height <= 0 || (bits != 16 && bits != 24 && bits != 32)) {
        return false;
    }
    // 16-bit DIBs are RGB555 unless their masks say RGB565.
    bool wideGreen = false;
    if (header->biCompression == BI_BITFIELDS) {
        const auto* masks = reinterpret_cast<const DWORD*>(
            reinterpret_cast<const unsigned char*>(header) + header->biSize);
        wideGreen = bits == 16 && masks[1] == 0x07E0;
    } else if (header->biCompression != BI_RGB) {
        return false;
    }
    const unsigned char* bitsStart = reinterpret_cast<const unsigned char*>(header) +
                                     header->biSize + header->biClrUsed * 4 +
                                     (header->biCompression == BI_BITFIELDS ? 12 : 0);
    const size_t stride = (static_cast<size_t>(width) * bits / 8 + 3) & ~size_t{3};
    for (long y = 0; y < height; ++y) {
        const long stored = header->biHeight < 0 ? y : height - 1 - y;
        const unsigned char* row = bitsStart + stride * static_cast<size_t>(stored);
        for (long x = 0; x < width; ++x) {
            unsigned r, g, b;
            if (bits == 16) {
                const unsigned v = row[2 * x] | row[2 * x + 1] << 8;
                if (wideGreen) {
                    r = v >> 11 & 31;
                    g = v >> 5 & 63;
                    b = v & 31;
                    g = g << 2 | g >> 4;
                } else {
                    r = v >> 10 & 31;
                    g = v >> 5 & 31;
                    b = v & 31;
                    g = g << 3 | g >> 2;
                }
                r = r << 3 | r >> 2;
                b = b << 3 | b >> 2;
            } else {
                const unsigned char* px = row + static_cast<size_t>(x) * (bits / 8);
                b = px[0];
                g = px[1];
                r = px[2];
            }
            out.push_back(static_cast<unsigned char>(r));
            out.push_back(static_cast<unsigned char>(g));
            out.push_back(static_cast<unsigned char>(b));
        }
    }
    return true;
}

// Decodes every frame through the system's decompressor: in the format it
// picks, else as 24-bit RGB. With `pictures`, writes each as rgb24 there.
// False when no decompressor takes the stream, a frame fails or a picture
// cannot be written.
bool decodeFrames(PAVISTREAM stream, const char* pictures) {
    BITMAPINFOHEADER wanted{};
    wanted.biSize = sizeof(wanted);
    wanted.biPlanes = 1;
    wanted.biBitCount = 24;
    wanted.biCompression = BI_RGB;
    // The decoder's own format first: converting to another is the
    // system's work, not the decoder's (Wine's Video 1 decoder, asked for
    // 24 bits, swaps red and blue).
    PGETFRAME frames = AVIStreamGetFrameOpen(stream, nullptr);
    if (frames == nullptr) {
        frames = AVIStreamGetFrameOpen(stream, &wanted);
    }
    if (frames == nullptr) {
        std::printf("decoder: none\n");
        return false;
    }
    FILE* out = nullptr;
    if (pictures != nullptr && (out = std::fopen(pictures, "wb")) == nullptr) {
        std::printf("pictures: cannot write %s\n", pictures);
        AVIStreamGetFrameClose(frames);
        return false;
    }
    const LONG first = AVIStreamStart(stream);
    const LONG end = first + AVIStreamLength(stream);
    LONG decoded = 0;
    bool written = true;
    std::vector<unsigned char> rgb;
    for (LONG position = first; position < end; ++position) {
        if (AVIStreamFindSample(stream, position, FIND_NEXT | FIND_ANY) != position) {
            break;  // not indexed (see printSamples)
        }
        const auto* picture = static_cast<const BITMAPINFOHEADER*>(AVIStreamGetFrame(frames, position));
        if (picture == nullptr) {
            std::printf("frame %ld: not decoded\n", position);
            break;
        }
        if (out != nullptr) {
            if (position == first) {
                std::printf("pictures.bits: %u\n", picture->biBitCount);
            }
            rgb.clear();
            if (!appendRgb(picture, rgb)) {
                std::printf("frame %ld: picture layout not known\n", position);
                written = false;
                break;
            }
            written = written && std::fwrite(rgb.data(), 1, rgb.size(), out) == rgb.size();
        }
        ++decoded;
    }
    AVIStreamGetFrameClose(frames);
    if (out != nullptr) {
        written = std::fclose(out) == 0 && written;
    }
    std::printf("frames decoded: %ld of %ld\n", decoded, end - first);
    return decoded == end - first && written;
}

int readFile(const char* path, bool decode, const char* pictures) {
    PAVIFILE file = nullptr;
    const HRESULT opened = AVIFileOpenA(&file, path, OF_READ, nullptr);
    if (opened != 0) {
        std::printf("open: failed (0x%08lx)\n", static_cast<unsigned long>(opened));
        return 1;
    }
    printFileInfo(file);
    PAVISTREAM stream = nullptr;
    const HRESULT got = AVIFileGetStream(file, &stream, streamtypeVIDEO, 0);
    if (got != 0) {
        std::printf("stream: none (0x%08lx)\n", static_cast<unsigned long>(got));
        AVIFileRelease(file);
        return 1;
    }
    printStreamInfo(stream);
    const bool formatRead = printFormat(stream);
    const bool samplesRead = printSamples(stream);
    const bool decoded = !decode || decodeFrames(stream, pictures);
    AVIStreamRelease(stream);
    AVIFileRelease(file);
    return formatRead && samplesRead && decoded ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const bool decode = argc == 3 && std::strcmp(argv[1], "--decode") == 0;
    const bool pictures = argc == 4 && std::strcmp(argv[1], "--pictures") == 0;
    if (argc != 2 && !decode && !pictures) {
        std::fprintf(stderr, "usage: avi_read [--decode | --pictures OUT.rgb] FILE.avi\n");
        return 2;
    }
    AVIFileInit();
    const int status = readFile(argv[argc - 1], decode || pictures, pictures ? argv[2] : nullptr);
    AVIFileExit();
    std::fflush(stdout);
    return status;
}
