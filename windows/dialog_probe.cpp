// dialog_probe: opens the system's video-compression dialog for one new
// 24-bit video stream, as a movie writer does, and reports what the dialog
// and the compressing stream did. It lets the tests check the dialog's
// automation apart from the plug-in.
//
//   dialog_probe OUTPUT.avi
//
// Prints "dialog: 1" (confirmed) or "dialog: 0" (cancelled or failed), then the
// chosen handler and the results of AVIMakeCompressedStream, and of
// AVIStreamSetFormat and AVIStreamWrite for two frames. Exit status 0 when the dialog was confirmed.
#include <windows.h>
#include <vfw.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr LONG kWidth = 32;
constexpr LONG kHeight = 16;
constexpr LONG kStride = (kWidth * 3 + 3) / 4 * 4;

void printResult(const char* what, HRESULT result) {
    std::printf("%s: 0x%08lx\n", what, static_cast<unsigned long>(result));
}

// Sets the 24-bit format on the compressing stream and writes a grey frame,
// twice, as a writer does that retries the format after a refusal.
void writeTwoFrames(PAVISTREAM compressed) {
    BITMAPINFOHEADER header{};
    header.biSize = sizeof(header);
    header.biWidth = kWidth;
    header.biHeight = kHeight;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = kStride * kHeight;
    std::vector<unsigned char> pixels(kStride * kHeight, 0x80);
    for (LONG frame = 0; frame < 2; ++frame) {
        const char* again = frame == 0 ? "" : " again";
        std::printf("setformat%s: 0x%08lx\n", again, static_cast<unsigned long>(
                        AVIStreamSetFormat(compressed, frame, &header, sizeof(header))));
        std::printf("write%s: 0x%08lx\n", again, static_cast<unsigned long>(AVIStreamWrite(
                        compressed, frame, 1, pixels.data(), static_cast<LONG>(pixels.size()),
                        AVIIF_KEYFRAME, nullptr, nullptr)));
    }
}

int probe(const char* path) {
    PAVIFILE file = nullptr;
    const HRESULT opened = AVIFileOpenA(&file, path, OF_WRITE | OF_CREATE, nullptr);
    printResult("open", opened);
    if (opened != 0) {
        return 1;
    }
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.dwScale = 1;
    info.dwRate = 15;
    info.dwSuggestedBufferSize = kStride * kHeight;
    SetRect(&info.rcFrame, 0, 0, kWidth, kHeight);
    PAVISTREAM raw = nullptr;
    const HRESULT created = AVIFileCreateStreamA(file, &raw, &info);
    printResult("createstream", created);
    int status = 1;
    if (created == 0) {
        AVICOMPRESSOPTIONS options{};
        LPAVICOMPRESSOPTIONS optionsList[1] = {&options};
        const BOOL confirmed = AVISaveOptions(nullptr, 0, 1, &raw, optionsList);
        std::printf("dialog: %d\n", confirmed ? 1 : 0);
        if (confirmed) {
            status = 0;
            char handler[5] = {};
            std::memcpy(handler, &options.fccHandler, 4);
            std::printf("handler: %s\n", options.fccHandler == 0 ? "0" : handler);
            PAVISTREAM compressed = nullptr;
            const HRESULT made = AVIMakeCompressedStream(&compressed, raw, &options, nullptr);
            printResult("makecompressed", made);
            if (made == 0) {
                writeTwoFrames(compressed);
                AVIStreamRelease(compressed);
            }
            AVISaveOptionsFree(1, optionsList);
        }
        AVIStreamRelease(raw);
    }
    AVIFileRelease(file);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dialog_probe OUTPUT.avi\n");
        return 2;
    }
    AVIFileInit();
    const int status = probe(argv[1]);
    AVIFileExit();
    std::fflush(stdout);
    return status;
}
