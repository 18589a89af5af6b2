// Image type codes of the codec layer, and the status its back ends report.
#pragma once

#include <cstdint>

// The codec library's own numbers for its formats; 0 asks for detection.
enum ImageType : uint32_t {
    kTypeUnknown = 0,
    kTypeBmp = 1,
    kTypeGif = 2,
    kTypeJpeg = 3,
    kTypePng = 4,
    kTypeIco = 5,  // ICO and CUR
    kTypeTiff = 6,
    kTypeTga = 7,
    kTypeWmf = 10,  // recognised, not decoded
    kTypeJp2 = 11,
    kTypeJ2k = 12,  // JPEG 2000 codestream
    kTypePnm = 14,
    kTypeRaw = 19,
    kTypePsd = 20,
    kTypeWebp = 21,
    kTypeHeif = 22,
    kTypeAvif = 23,
    kTypeJxl = 24,
    kTypeQoi = 25,
    kTypeDds = 26,
    kTypeIcns = 27,
    kTypePcx = 28,  // PCX and DCX
    kTypeSgi = 29,
    kTypeXpm = 30,
    kTypeXbm = 31,
    kTypeWbmp = 32,
    kTypeSunRaster = 33,
    kTypeHdr = 34,  // Radiance RGBE
    kTypePfm = 35,
    kTypeCount = 64,
};

// Options a host may ask for above the type code (which uses the low 8 bits): the picture
// upright by the file's orientation, and its colours converted to sRGB.
enum ImageOption : uint32_t {
    kOptionUpright = 0x100,
    kOptionSrgb = 0x200,
    kOptionMask = kOptionUpright | kOptionSrgb,
};

enum class CodecStatus : int32_t {
    Ok,
    NotThisFormat,  // the bytes are not this back end's format (detection goes on)
    Unsupported,    // the format is right but this variant or operation is not offered
    Broken,         // the data is damaged or truncated beyond use
    NoFrame,        // the frame index lies outside the picture's frames
    NoMemory,       // memory could not be had, or the picture exceeds kMaxPixels
};

const char* CodecStatusName(CodecStatus status);
