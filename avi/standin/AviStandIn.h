// The AVIFile functions and records for targets without avifil32, with the names, layouts and
// results of the Windows interface, over our own RIFF/index reader and FFmpeg's decoders. AVI
// files only. Code written against <vfw.h> compiles against this header unchanged.
#pragma once

#include <cstdint>

#include "AviRiff.h"
#include "WindowsTypes.h"

typedef char16_t WCHAR;  // the records' text is UTF-16, as on Windows
typedef const wchar_t* LPCWSTR;
typedef void* LPVOID;
struct _GUID;
typedef const _GUID* LPCLSID;

#pragma pack(push, 4)
typedef BITMAPINFOHEADER* LPBITMAPINFOHEADER;

struct AVIFILEINFOW {
    DWORD dwMaxBytesPerSec;
    DWORD dwFlags;
    DWORD dwCaps;
    DWORD dwStreams;
    DWORD dwSuggestedBufferSize;
    DWORD dwWidth;
    DWORD dwHeight;
    DWORD dwScale;
    DWORD dwRate;
    DWORD dwLength;
    DWORD dwEditCount;
    WCHAR szFileType[64];
};

struct AVISTREAMINFOW {
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
    WCHAR szName[64];
};
#pragma pack(pop)

static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER is 40 bytes");
static_assert(sizeof(AVIFILEINFOW) == 172, "AVIFILEINFOW is 172 bytes");
static_assert(sizeof(AVISTREAMINFOW) == 204, "AVISTREAMINFOW is 204 bytes");

struct AviStandInFile;
struct AviStandInStream;
struct AviStandInGetFrame;
typedef AviStandInFile* PAVIFILE;
typedef AviStandInStream* PAVISTREAM;
typedef AviStandInGetFrame* PGETFRAME;

constexpr DWORD streamtypeVIDEO = avi::kStreamVideo;
constexpr DWORD streamtypeAUDIO = avi::kStreamAudio;

constexpr UINT OF_READ = 0;

// AVIStreamFindSample flags.
constexpr LONG FIND_DIR = 0x0F;
constexpr LONG FIND_NEXT = 0x01;
constexpr LONG FIND_PREV = 0x04;
constexpr LONG FIND_FROM_START = 0x08;
constexpr LONG FIND_TYPE = 0xF0;
constexpr LONG FIND_KEY = 0x10;
constexpr LONG FIND_ANY = 0x20;
constexpr LONG FIND_FORMAT = 0x40;
constexpr LONG FIND_RET = 0xF000;
constexpr LONG FIND_POS = 0x0000;
constexpr LONG FIND_LENGTH = 0x1000;
constexpr LONG FIND_OFFSET = 0x2000;
constexpr LONG FIND_SIZE = 0x3000;
constexpr LONG FIND_INDEX = 0x4000;

constexpr DWORD AVIFILEINFO_HASINDEX = 0x10;
constexpr DWORD AVIFILEINFO_MUSTUSEINDEX = 0x20;
constexpr DWORD AVIFILEINFO_ISINTERLEAVED = 0x100;
constexpr DWORD AVIFILECAPS_CANREAD = 0x01;
constexpr DWORD AVIFILECAPS_CANWRITE = 0x02;
constexpr DWORD AVIFILECAPS_ALLKEYFRAMES = 0x10;
constexpr DWORD AVIFILECAPS_NOCOMPRESSION = 0x20;

constexpr HRESULT AVIERR_OK = 0;
constexpr HRESULT MakeAviError(int n) {
    return static_cast<HRESULT>(0x80044000u + static_cast<unsigned>(n));
}
constexpr HRESULT AVIERR_UNSUPPORTED = MakeAviError(101);
constexpr HRESULT AVIERR_BADFORMAT = MakeAviError(102);
constexpr HRESULT AVIERR_MEMORY = MakeAviError(103);
constexpr HRESULT AVIERR_INTERNAL = MakeAviError(104);
constexpr HRESULT AVIERR_BADFLAGS = MakeAviError(105);
constexpr HRESULT AVIERR_BADPARAM = MakeAviError(106);
constexpr HRESULT AVIERR_BADSIZE = MakeAviError(107);
constexpr HRESULT AVIERR_BADHANDLE = MakeAviError(108);
constexpr HRESULT AVIERR_FILEREAD = MakeAviError(109);
constexpr HRESULT AVIERR_FILEOPEN = MakeAviError(111);
constexpr HRESULT AVIERR_NODATA = MakeAviError(115);
constexpr HRESULT AVIERR_BUFFERTOOSMALL = MakeAviError(116);
constexpr HRESULT AVIERR_ERROR = MakeAviError(199);

// Opens an AVI file for reading. `mode` other than OF_READ and a handler class are not
// supported (AVIERR_UNSUPPORTED).
HRESULT AVIFileOpenW(PAVIFILE* file, LPCWSTR name, UINT mode, LPCLSID handler);
// Copies min(size, 172) bytes of the file's AVIFILEINFOW.
HRESULT AVIFileInfoW(PAVIFILE file, AVIFILEINFOW* info, LONG size);
// Stream `number` (counted among the streams of `type`, or all when it is 0); holds a
// reference to the file.
HRESULT AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, DWORD type, LONG number);
// Copies min(size, 204) bytes of the stream's AVISTREAMINFOW.
HRESULT AVIStreamInfoW(PAVISTREAM stream, AVISTREAMINFOW* info, LONG size);
// A frame getter for a video stream with the default output format when `wanted` is null;
// null when the stream cannot be decompressed. Requested formats are not supported (null).
PGETFRAME AVIStreamGetFrameOpen(PAVISTREAM stream, LPBITMAPINFOHEADER wanted);
LONG AVIStreamLength(PAVISTREAM stream);
LONG AVIStreamStart(PAVISTREAM stream);
// The sample at or after (FIND_NEXT) or at or before (FIND_PREV) `position` that is a key frame
// (FIND_KEY), any non-empty sample (FIND_ANY) or a format change (FIND_FORMAT), or -1. Of the
// FIND_RET kinds, FIND_POS, FIND_SIZE and FIND_OFFSET are answered.
LONG AVIStreamFindSample(PAVISTREAM stream, LONG position, LONG flags);
// The decoded sample as a packed DIB owned by the getter, valid until the next call or the
// getter is closed; null when it cannot be decoded.
LPVOID AVIStreamGetFrame(PGETFRAME getter, LONG position);
HRESULT AVIStreamGetFrameClose(PGETFRAME getter);
ULONG AVIStreamRelease(PAVISTREAM stream);
ULONG AVIFileRelease(PAVIFILE file);
