#include "WicSupport.h"

#include <cstring>

#include "ByteReader.h"
#include "DibCanvas.h"

namespace wic {

namespace {

struct ContainerType {
    const GUID* container;
    uint32_t type;
};

// WIC's containers with a code of ours. JPEG XR (Wmp) and DDS have none and are not offered.
const ContainerType kContainers[] = {
    {&GUID_ContainerFormatBmp, kTypeBmp},   {&GUID_ContainerFormatGif, kTypeGif},
    {&GUID_ContainerFormatJpeg, kTypeJpeg}, {&GUID_ContainerFormatPng, kTypePng},
    {&GUID_ContainerFormatIco, kTypeIco},   {&GUID_ContainerFormatTiff, kTypeTiff},
    {&GUID_ContainerFormatWebp, kTypeWebp}, {&GUID_ContainerFormatHeif, kTypeHeif},
    {&GUID_ContainerFormatRaw, kTypeRaw},   {&GUID_ContainerFormatAdng, kTypeRaw},
};

uint32_t BigU16(const uint8_t* p) { return uint32_t{p[0]} << 8 | p[1]; }
uint32_t BigU32(const uint8_t* p) { return BigU16(p) << 16 | BigU16(p + 2); }

CodecStatus CheckPixels(uint64_t width, uint64_t height) {
    // A side of 0 is left to the decoder: a JPEG may give its height later, in a DNL marker.
    return width == 0 || height == 0 ? CodecStatus::Ok : CheckDeclaredSize(width, height);
}

// Walks the JPEG markers up to the first frame header.
CodecStatus CheckJpeg(const uint8_t* data, size_t size) {
    ByteReader r(data, size);
    if (!r.Skip(2)) return CodecStatus::Ok;
    for (;;) {
        uint8_t byte = 0;
        if (!r.ReadU8(byte)) return CodecStatus::Ok;
        if (byte != 0xFF) return CodecStatus::Ok;  // damaged; the decoder will say so
        uint8_t marker = 0xFF;
        while (marker == 0xFF) {
            if (!r.ReadU8(marker)) return CodecStatus::Ok;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
        if (marker == 0xD9 || marker == 0xDA) return CodecStatus::Ok;
        const uint8_t* at = r.Position();
        if (r.Remaining() < 2) return CodecStatus::Ok;
        const uint32_t length = BigU16(at);
        const bool frame_header = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 &&
                                  marker != 0xC8 && marker != 0xCC;
        if (frame_header) {
            if (r.Remaining() < 7) return CodecStatus::Ok;
            return CheckPixels(BigU16(at + 5), BigU16(at + 3));
        }
        if (length < 2 || !r.Skip(length)) return CodecStatus::Ok;
    }
}

struct CrcTable {
    uint32_t entries[256];
    CrcTable() {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
    }
};

uint32_t Crc32(const uint8_t* p, size_t n) {
    static const CrcTable table;
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) c = table.entries[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// Critical chunks (type starting with a capital) whose CRC does not match: libpng refuses the
// file, and so do we. Damage in ancillary chunks, or a file cut short, is the decoder's matter.
CodecStatus CheckPngChunks(const uint8_t* data, size_t size) {
    ByteReader r(data + 8, size - 8);
    while (r.Remaining() >= 12) {
        const uint8_t* chunk = r.Position();
        const size_t length = BigU32(chunk);
        if (length > r.Remaining() - 12) break;
        const bool critical = (chunk[4] & 0x20) == 0;
        if (critical && Crc32(chunk + 4, 4 + length) != BigU32(chunk + 8 + length)) {
            return CodecStatus::Broken;
        }
        if (std::memcmp(chunk + 4, "IEND", 4) == 0 || !r.Skip(12 + length)) break;
    }
    return CodecStatus::Ok;
}

}  // namespace

IWICImagingFactory* CreateFactory(HRESULT& hr) {
    IWICImagingFactory* factory = nullptr;
    hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                          IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
    return SUCCEEDED(hr) ? factory : nullptr;
}

CodecStatus StatusOf(HRESULT hr) {
    switch (hr) {
        case E_OUTOFMEMORY:
        case WINCODEC_ERR_INSUFFICIENTBUFFER:
            return CodecStatus::NoMemory;
        case WINCODEC_ERR_COMPONENTNOTFOUND:
        case WINCODEC_ERR_UNKNOWNIMAGEFORMAT:
            return CodecStatus::NotThisFormat;
        case WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT:
        case WINCODEC_ERR_UNSUPPORTEDOPERATION:
        case WINCODEC_ERR_COMPONENTINITIALIZEFAILURE:
        case REGDB_E_CLASSNOTREG:
        case CO_E_NOTINITIALIZED:
            return CodecStatus::Unsupported;
        default:
            return CodecStatus::Broken;
    }
}

uint32_t TypeOfContainer(const GUID& container) {
    for (const ContainerType& c : kContainers) {
        if (IsEqualGUID(*c.container, container)) return c.type;
    }
    return kTypeUnknown;
}

const GUID* ContainerOfType(uint32_t type) {
    switch (type) {
        case kTypeJpeg: return &GUID_ContainerFormatJpeg;
        case kTypePng: return &GUID_ContainerFormatPng;
        case kTypeTiff: return &GUID_ContainerFormatTiff;
        default: return nullptr;
    }
}

CodecStatus CheckBeforeDecoding(const uint8_t* data, size_t size) {
    if (size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) {
        return CheckJpeg(data, size);
    }
    static const uint8_t kPngHead[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (size >= 24 && std::memcmp(data, kPngHead, sizeof kPngHead) == 0) {
        if (std::memcmp(data + 12, "IHDR", 4) == 0 &&
            CheckPixels(BigU32(data + 16), BigU32(data + 20)) != CodecStatus::Ok) {
            return CodecStatus::NoMemory;
        }
        return CheckPngChunks(data, size);
    }
    return CodecStatus::Ok;
}

}  // namespace wic
