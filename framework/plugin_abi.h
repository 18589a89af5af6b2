// The binary interface between a host and a plug-in: the five exports, their argument widths on
// each target, the information record and the request block. Hosts (zemhost, the tests) include
// this same header.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define PLUGIN_API __stdcall
#else
#define PLUGIN_API
#endif

#if defined(_WIN32)
#define PLUGIN_EXPORT __declspec(dllexport)
#else
#define PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

// A movable memory handle: HGLOBAL on Windows, the block's malloc address elsewhere (a host
// frees it with free()).
typedef void* SpiHandle;

#if defined(_WIN32) && !defined(_WIN64)
typedef int32_t SpiLength;     // length / offset of GetPictureInfo and GetPicture
typedef uint32_t SpiHeadWord;  // headOrHandle of IsSupported
typedef int32_t SpiUserData;   // userData of GetPicture
#else
typedef intptr_t SpiLength;
typedef uintptr_t SpiHeadWord;
typedef intptr_t SpiUserData;
#endif

// Result codes shared by every plug-in. Plug-ins give further values meanings of their own.
enum : int32_t {
    SPI_OK = 0,
    SPI_NOT_IMPLEMENTED = -1,
    SPI_UNKNOWN_FORMAT = 2,
    SPI_BROKEN_DATA = 3,
    SPI_OUT_OF_MEMORY = 4,
    SPI_INTERNAL_ERROR = 5,  // a broken invariant inside the plug-in, never bad input
    SPI_FILE_READ_ERROR = 6,
};

// The caller leaves this value in the bits slot of GetPicture to ask for one handle.
constexpr int32_t SPI_PACKED_DIB_MARKER = -9821;

// Source kinds: the low three bits of the flag argument.
enum : uint32_t {
    SPI_SRC_FILE = 0,
    SPI_SRC_MEMORY = 1,
    SPI_SRC_MASK = 7,
};

#pragma pack(push, 1)
// Filled by GetPictureInfo. The plug-ins write only the named fields; everything else keeps the
// caller's bytes. The short form ends after infoHandle; the long form reaches byte 114.
struct PictureInfoRecord {
    int32_t left;              // 0
    int32_t top;               // 4
    int32_t width;             // 8
    int32_t height;            // 12
    uint16_t xDensity;         // 16
    uint16_t yDensity;         // 18
    uint16_t colorDepth;       // 20
    SpiHandle infoHandle;      // 22
    uint8_t reserved[94 - 22 - sizeof(SpiHandle)];
    double streamLength;       // 94  (dshowsrc)
    uint32_t codec;            // 102 (dshowsrc)
    uint32_t imageType;        // 106 (imgsrc)
    uint32_t frameCount;       // 110 (imgsrc)
};

// The optional block passed as GetPicture's user data, tagged "zem".
struct PictureRequestBlock {
    char tag[4];               // 0: "zem"
    uint8_t reserved[40];
    int32_t field44;           // 44 (imgsrc)
    int32_t field48;           // 48 (gifsrc: image index; imgsrc)
    int32_t field52;           // 52 (dshowsrc, avisrc)
    int32_t field56;           // 56 (imgsrc, written back)
};
#pragma pack(pop)

static_assert(offsetof(PictureInfoRecord, infoHandle) == 22, "info handle at 22");
static_assert(offsetof(PictureInfoRecord, streamLength) == 94, "extended fields at 94");
static_assert(offsetof(PictureInfoRecord, frameCount) == 110, "extended fields end at 114");
static_assert(sizeof(PictureInfoRecord) == 114, "long record is 114 bytes");
static_assert(offsetof(PictureRequestBlock, field48) == 48, "request field at 48");
static_assert(sizeof(PictureRequestBlock) == 60, "request block is 60 bytes");

typedef int32_t(PLUGIN_API* ProgressCallback)(int32_t done, int32_t total, SpiUserData userData);

extern "C" {
typedef int32_t(PLUGIN_API* GetPluginInfoFn)(int32_t index, char* buffer, int32_t length);
typedef int32_t(PLUGIN_API* IsSupportedFn)(const char* fileName, SpiHeadWord headOrHandle);
typedef int32_t(PLUGIN_API* GetPictureInfoFn)(const char* buffer, SpiLength length, uint32_t flag,
                                              PictureInfoRecord* info);
typedef int32_t(PLUGIN_API* GetPictureFn)(const char* buffer, SpiLength length, uint32_t flag,
                                          SpiHandle* infoSlot, SpiHandle* bitsSlot,
                                          ProgressCallback progress, SpiUserData userData);
typedef GetPictureFn GetPreviewFn;
}
