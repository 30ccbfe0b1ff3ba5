#include "dib_stream.h"

#include <algorithm>
#include <cstring>

namespace dibstream {

HRESULT addStream(avifile::AviWriter& writer, int width, int height, DWORD rate,
                  const char* name, int& stream) {
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.fccHandler = comptypeDIB;
    info.dwScale = 1;
    info.dwRate = rate;
    info.dwSuggestedBufferSize = static_cast<DWORD>(frameBytes(width, height));
    info.rcFrame = RECT{0, 0, width, height};
    std::memcpy(info.szName, name, std::min(std::strlen(name), sizeof info.szName - 1));
    stream = writer.addStream(info);
    BITMAPINFOHEADER format{};
    format.biSize = sizeof format;
    format.biWidth = width;
    format.biHeight = height;
    format.biPlanes = 1;
    format.biBitCount = 24;
    format.biSizeImage = static_cast<DWORD>(frameBytes(width, height));
    return writer.setFormat(stream, &format, sizeof format);
}

}  // namespace dibstream
