/*
 * Public declarations of the portable AVIFile layer.
 *
 * The names, field order, field widths and constant values are those of the
 * Windows declarations (windows.h / vfw.h), so that code written against this
 * header also builds unchanged against the real platform headers. Only the
 * subset that a movie writer needs is declared.
 */
#ifndef AVIFILE_H
#define AVIFILE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Basic Windows types with their Windows widths ---------------------- */

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t BOOL;
typedef unsigned int UINT;
typedef char CHAR;
typedef int32_t HRESULT;
typedef void* LPVOID;
typedef const char* LPCSTR;
typedef void* HWND;
typedef DWORD FOURCC;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define WINAPI
#define STDAPI_(type) type
#define STDAPI HRESULT

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID, CLSID;
typedef CLSID* LPCLSID;

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT, *LPRECT;

typedef struct tagBITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} BITMAPINFOHEADER, *PBITMAPINFOHEADER, *LPBITMAPINFOHEADER;

#define BI_RGB 0L

/* ---- File open modes ---------------------------------------------------- */

#define OF_READ 0x00000000
#define OF_WRITE 0x00000001
#define OF_READWRITE 0x00000002
#define OF_SHARE_DENY_WRITE 0x00000020
#define OF_CREATE 0x00001000

/* ---- Four-character codes ----------------------------------------------- */

#define mmioFOURCC(ch0, ch1, ch2, ch3)                              \
    ((DWORD)(BYTE)(ch0) | ((DWORD)(BYTE)(ch1) << 8) |               \
     ((DWORD)(BYTE)(ch2) << 16) | ((DWORD)(BYTE)(ch3) << 24))

#define streamtypeVIDEO mmioFOURCC('v', 'i', 'd', 's')
#define streamtypeAUDIO mmioFOURCC('a', 'u', 'd', 's')
#define comptypeDIB mmioFOURCC('D', 'I', 'B', ' ')

/* ---- Stream header ------------------------------------------------------ */

typedef struct _AVISTREAMINFOA {
    DWORD fccType;
    DWORD fccHandler;
    DWORD dwFlags;
    DWORD dwCaps;
    WORD wPriority;
    WORD wLanguage;
    DWORD dwScale;
    DWORD dwRate;
    DWORD dwStart;
    DWORD dwLength;
    DWORD dwInitialFrames;
    DWORD dwSuggestedBufferSize;
    DWORD dwQuality;
    DWORD dwSampleSize;
    RECT rcFrame;
    DWORD dwEditCount;
    DWORD dwFormatChangeCount;
    CHAR szName[64];
} AVISTREAMINFOA, *LPAVISTREAMINFOA;

#define AVISTREAMINFO_DISABLED 0x00000001
#define AVISTREAMINFO_FORMATCHANGES 0x00010000

/* ---- Compression options ------------------------------------------------ */

typedef struct {
    DWORD fccType;
    DWORD fccHandler;
    DWORD dwKeyFrameEvery;
    DWORD dwQuality;
    DWORD dwBytesPerSecond;
    DWORD dwFlags;
    LPVOID lpFormat;
    DWORD cbFormat;
    LPVOID lpParms;
    DWORD cbParms;
    DWORD dwInterleaveEvery;
} AVICOMPRESSOPTIONS, *LPAVICOMPRESSOPTIONS;

#define AVICOMPRESSF_INTERLEAVE 0x00000001
#define AVICOMPRESSF_DATARATE 0x00000002
#define AVICOMPRESSF_KEYFRAMES 0x00000004
#define AVICOMPRESSF_VALID 0x00000008

/* Options of the compression dialog. */
#define ICMF_CHOOSE_KEYFRAME 0x0001
#define ICMF_CHOOSE_DATARATE 0x0002
#define ICMF_CHOOSE_PREVIEW 0x0004
#define ICMF_CHOOSE_ALLCOMPRESSORS 0x0008

#define ICQUALITY_LOW 0
#define ICQUALITY_HIGH 10000
#define ICQUALITY_DEFAULT ((DWORD)-1)

/* ---- Sample flags ------------------------------------------------------- */

#define AVIIF_LIST 0x00000001L
#define AVIIF_KEYFRAME 0x00000010L
#define AVIIF_NOTIME 0x00000100L

/* ---- Status codes ------------------------------------------------------- */

#define MAKE_AVIERR(error) ((HRESULT)(0x80040000UL | (0x4000UL + (error))))

#define AVIERR_OK 0
#define AVIERR_UNSUPPORTED MAKE_AVIERR(101)
#define AVIERR_BADFORMAT MAKE_AVIERR(102)
#define AVIERR_MEMORY MAKE_AVIERR(103)
#define AVIERR_INTERNAL MAKE_AVIERR(104)
#define AVIERR_BADFLAGS MAKE_AVIERR(105)
#define AVIERR_BADPARAM MAKE_AVIERR(106)
#define AVIERR_BADSIZE MAKE_AVIERR(107)
#define AVIERR_BADHANDLE MAKE_AVIERR(108)
#define AVIERR_FILEREAD MAKE_AVIERR(109)
#define AVIERR_FILEWRITE MAKE_AVIERR(110)
#define AVIERR_FILEOPEN MAKE_AVIERR(111)
#define AVIERR_COMPRESSOR MAKE_AVIERR(112)
#define AVIERR_NOCOMPRESSOR MAKE_AVIERR(113)
#define AVIERR_READONLY MAKE_AVIERR(114)
#define AVIERR_NODATA MAKE_AVIERR(115)
#define AVIERR_BUFFERTOOSMALL MAKE_AVIERR(116)
#define AVIERR_CANTCOMPRESS MAKE_AVIERR(117)
#define AVIERR_USERABORT MAKE_AVIERR(198)
#define AVIERR_ERROR MAKE_AVIERR(199)

/* ---- Handles ------------------------------------------------------------ */

typedef struct IAVIFile* PAVIFILE;
typedef struct IAVIStream* PAVISTREAM;

/* ---- The AVIFile library ------------------------------------------------ */

STDAPI_(void) AVIFileInit(void);
STDAPI_(void) AVIFileExit(void);

STDAPI AVIFileOpenA(PAVIFILE* ppfile, LPCSTR szFile, UINT uMode, LPCLSID lpHandler);
STDAPI_(ULONG) AVIFileRelease(PAVIFILE pfile);
STDAPI AVIFileCreateStreamA(PAVIFILE pfile, PAVISTREAM* ppavi, AVISTREAMINFOA* psi);

STDAPI AVIMakeCompressedStream(PAVISTREAM* ppsCompressed, PAVISTREAM ppsSource,
                               AVICOMPRESSOPTIONS* lpOptions, CLSID* pclsidHandler);
STDAPI AVIStreamSetFormat(PAVISTREAM pavi, LONG lPos, LPVOID lpFormat, LONG cbFormat);
STDAPI AVIStreamWrite(PAVISTREAM pavi, LONG lStart, LONG lSamples, LPVOID lpBuffer,
                      LONG cbBuffer, DWORD dwFlags, LONG* plSampWritten, LONG* plBytesWritten);
STDAPI_(ULONG) AVIStreamRelease(PAVISTREAM pavi);

BOOL WINAPI AVISaveOptions(HWND hwnd, UINT uiFlags, int nStreams, PAVISTREAM* ppavi,
                           LPAVICOMPRESSOPTIONS* plpOptions);
LONG WINAPI AVISaveOptionsFree(int nStreams, LPAVICOMPRESSOPTIONS* plpOptions);

/* ---- The user library ------------------------------------------------- */

BOOL WINAPI SetRect(LPRECT lprc, int xLeft, int yTop, int xRight, int yBottom);

#ifdef __cplusplus
}
#endif

#endif /* AVIFILE_H */
