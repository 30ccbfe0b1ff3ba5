#include "full_hd_stream.h"

#include <algorithm>
#include <cstring>

namespace fullhd {

HRESULT addStream(avifile::AviWriter& writer, DWORD rate, const char* name, int& stream) {
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.fccHandler = comptypeDIB;
    info.dwScale = 1;
    info.dwRate = rate;
    info.dwSuggestedBufferSize = kFrameBytes;
    info.rcFrame = RECT{0, 0, kWidth, kHeight};
    std::memcpy(info.szName, name, std::min(std::strlen(name), sizeof info.szName - 1));
    stream = writer.addStream(info);
    BITMAPINFOHEADER format{};
    format.biSize = sizeof format;
    format.biWidth = kWidth;
    format.biHeight = kHeight;
    format.biPlanes = 1;
    format.biBitCount = 24;
    format.biSizeImage = kFrameBytes;
    return writer.setFormat(stream, &format, sizeof format);
}

}  // namespace fullhd
