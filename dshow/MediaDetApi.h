// The part of COM and of the DirectShow media detector that DswFile uses: the COM start-up and
// string functions, the records AM_MEDIA_TYPE, VIDEOINFOHEADER and BITMAPINFOHEADER, the
// published GUIDs and the IMediaDet interface. On Windows the functions and records are the
// system's own and CoCreateInstance makes the real detector; elsewhere this header declares the
// same names, and a stand-in (standin/) supplies them.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>
#define DSHOW_METHOD STDMETHODCALLTYPE
#else
#define DSHOW_METHOD

#include "WindowsTypes.h"

typedef wchar_t OLECHAR;
typedef OLECHAR* BSTR;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106u);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);

struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};

class IUnknown {
public:
    virtual HRESULT QueryInterface(const IID& iid, void** out) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;  // objects go away through Release
};

constexpr DWORD CLSCTX_ALL = 0x17;

HRESULT CoInitialize(void* reserved);
void CoUninitialize();
HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD context, const IID& iid,
                         void** out);
void* CoTaskMemAlloc(size_t size);
void CoTaskMemFree(void* p);
BSTR SysAllocString(const OLECHAR* text);
void SysFreeString(BSTR text);
#endif

#pragma pack(push, 8)
// The media type of a stream, as the detector describes it. The format block belongs to the
// caller, who frees it with CoTaskMemFree.
struct DswMediaType {
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown* pUnk;
    ULONG cbFormat;
    BYTE* pbFormat;
};

// The format block of a video stream when formattype is FORMAT_VideoInfo.
struct DswVideoInfoHeader {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    int64_t AvgTimePerFrame;  // REFERENCE_TIME, 100-nanosecond units
    BITMAPINFOHEADER bmiHeader;
};
#pragma pack(pop)

static_assert(sizeof(DswVideoInfoHeader) == 88, "VIDEOINFOHEADER is 88 bytes");
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER is 40 bytes");
static_assert(sizeof(void*) != 4 || sizeof(DswMediaType) == 72, "AM_MEDIA_TYPE is 72 bytes");

// The DirectShow media detector, methods in the published order. COM objects go away through
// Release, never through a destructor; the system's IUnknown declares none.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif
struct IMediaDet : public IUnknown {
    virtual HRESULT DSHOW_METHOD get_Filter(IUnknown** filter) = 0;
    virtual HRESULT DSHOW_METHOD put_Filter(IUnknown* filter) = 0;
    virtual HRESULT DSHOW_METHOD get_OutputStreams(LONG* count) = 0;
    virtual HRESULT DSHOW_METHOD get_CurrentStream(LONG* index) = 0;
    virtual HRESULT DSHOW_METHOD put_CurrentStream(LONG index) = 0;
    virtual HRESULT DSHOW_METHOD get_StreamType(GUID* major_type) = 0;
    virtual HRESULT DSHOW_METHOD get_StreamTypeB(BSTR* major_type) = 0;
    virtual HRESULT DSHOW_METHOD get_StreamLength(double* seconds) = 0;
    virtual HRESULT DSHOW_METHOD get_Filename(BSTR* name) = 0;
    virtual HRESULT DSHOW_METHOD put_Filename(BSTR name) = 0;
    virtual HRESULT DSHOW_METHOD GetBitmapBits(double stream_time, LONG* buffer_size,
                                               char* buffer, LONG width, LONG height) = 0;
    virtual HRESULT DSHOW_METHOD WriteBitmapBits(double stream_time, LONG width, LONG height,
                                                 BSTR file_name) = 0;
    virtual HRESULT DSHOW_METHOD get_StreamMediaType(DswMediaType* media_type) = 0;
    virtual HRESULT DSHOW_METHOD GetSampleGrabber(IUnknown** grabber) = 0;
    virtual HRESULT DSHOW_METHOD get_FrameRate(double* rate) = 0;
    virtual HRESULT DSHOW_METHOD EnterBitmapGrabMode(double seek_time) = 0;

protected:
    ~IMediaDet() = default;
};

// Key frames of the current stream, where a detector offers them (the stand-in does; the
// system's detector does not and answers E_NOINTERFACE). KeyFrameTime gives the time of the
// key frame at or before `stream_time`, or of the first frame when there is none; a bitmap
// taken at that time is the key frame, which decodes alone.
struct IDswKeyFrames : public IUnknown {
    virtual HRESULT DSHOW_METHOD KeyFrameTime(double stream_time, double* key_time) = 0;

protected:
    ~IDswKeyFrames() = default;
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// Published identifiers, compared as 16 bytes.
namespace dshow {

constexpr GUID kClsidMediaDet = {
    0x65BD0711, 0x24D2, 0x4FF7, {0x93, 0x24, 0xED, 0x2E, 0x5D, 0x3A, 0xBA, 0xFA}};
constexpr GUID kIidMediaDet = {
    0x65BD0710, 0x24D2, 0x4FF7, {0x93, 0x24, 0xED, 0x2E, 0x5D, 0x3A, 0xBA, 0xFA}};
constexpr GUID kMediaTypeVideo = {
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kMediaTypeAudio = {
    0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kFormatVideoInfo = {
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
constexpr GUID kFormatWaveFormatEx = {
    0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
// dshowsrc's own identifier for IDswKeyFrames.
constexpr GUID kIidKeyFrames = {
    0x3C9F5E21, 0x7A44, 0x4D0B, {0x9E, 0x61, 0x2B, 0x8D, 0x05, 0xC7, 0x4A, 0x13}};
constexpr GUID kIidUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The media subtype of a four-character code: the code, then the base GUID of media subtypes.
constexpr GUID SubtypeFromFourCc(uint32_t code) {
    return {code, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

bool SameGuid(const GUID& a, const GUID& b);

}  // namespace dshow
