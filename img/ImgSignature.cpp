#include "ImgSignature.h"

#include <cstring>

#include "ByteReader.h"
#include "CodecTypes.h"
#include "TiffStructure.h"

namespace {

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
const uint8_t kJp2Signature[12] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
const uint8_t kJxlContainer[12] = {0, 0, 0, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};

bool StartsWith(const uint8_t* head, const void* bytes, size_t n) {
    return std::memcmp(head, bytes, n) == 0;
}

// An ISO base media file whose ftyp box names AVIF (23) or HEIF/HEIC (22) among its brands.
uint32_t IsoBrandType(const uint8_t* head) {
    if (!StartsWith(head + 4, "ftyp", 4)) return 0;
    const uint32_t box = (uint32_t{head[0]} << 24) | (uint32_t{head[1]} << 16) |
                         (uint32_t{head[2]} << 8) | head[3];
    if (box < 16 || box > 256) return 0;
    bool heif = false;
    // The major brand at 8, then the compatible brands from 16 on (minor version at 12).
    for (uint32_t at = 8; at + 4 <= box; at += 4) {
        if (at == 12) continue;
        const uint8_t* b = head + at;
        if (StartsWith(b, "avif", 4) || StartsWith(b, "avis", 4)) return kTypeAvif;
        if (StartsWith(b, "heic", 4) || StartsWith(b, "heix", 4) || StartsWith(b, "mif1", 4) ||
            StartsWith(b, "msf1", 4) || StartsWith(b, "heim", 4) || StartsWith(b, "heis", 4) ||
            StartsWith(b, "hevc", 4) || StartsWith(b, "hevx", 4)) {
            heif = true;
        }
    }
    return heif ? uint32_t{kTypeHeif} : 0u;
}

// An ICONDIR (reserved 0, type 1 icon or 2 cursor, at least one entry; the entry's reserved
// byte, which Windows ignores, is not looked at) whose first entry
// points past the directory and declares a plausible size.
bool IsIconHeader(const uint8_t* head) {
    if (ByteReader::LoadU16LE(head) != 0) return false;
    const uint16_t kind = ByteReader::LoadU16LE(head + 2);
    const uint16_t count = ByteReader::LoadU16LE(head + 4);
    if ((kind != 1 && kind != 2) || count == 0 || count > 256) return false;
    const uint8_t* entry = head + 6;
    const uint32_t size = ByteReader::LoadU32LE(entry + 8);
    const uint32_t offset = ByteReader::LoadU32LE(entry + 12);
    return size >= 40 && offset >= 6u + 16u * count;
}

bool IsPnmHeader(const uint8_t* head) {
    if (head[0] != 'P' || head[1] < '1' || head[1] > '7') return false;
    const uint8_t c = head[2];
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A PCX header: manufacturer 0x0A, a known version, run-length encoding, a bit and plane count
// that the format uses and a window whose corners are in order.
bool IsPcxHeader(const uint8_t* head) {
    const uint8_t v = head[1], bits = head[3], planes = head[65];
    return head[0] == 0x0A && (v == 0 || (v >= 2 && v <= 5)) && head[2] == 1 &&
           (bits == 1 || bits == 2 || bits == 4 || bits == 8) && planes >= 1 && planes <= 4 &&
           ByteReader::LoadU16LE(head + 8) >= ByteReader::LoadU16LE(head + 4) &&
           ByteReader::LoadU16LE(head + 10) >= ByteReader::LoadU16LE(head + 6);
}

// XBM: "#define" first, "_width" on that line.
bool IsXbmHeader(const uint8_t* head) {
    if (!StartsWith(head, "#define", 7)) return false;
    for (size_t i = 7; i < 256 && head[i] != '\n' && head[i] != 0; ++i) {
        if (StartsWith(head + i, "_width", 6)) return true;
    }
    return false;
}

}  // namespace

// The codec library's seven signatures in their order, then those of the formats beyond them.
uint32_t ImgSignatureType(const uint8_t* p) {
    if (p[0] == 'B' && p[1] == 'M') return kTypeBmp;
    if (StartsWith(p, "GIF8", 4) && (p[4] == '7' || p[4] == '9') && p[5] == 'a') return kTypeGif;
    if (p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) return kTypeJpeg;
    if (StartsWith(p, kPngSignature, 8)) return kTypePng;
    // The design's test names classic TIFF alone; a BigTIFF is found by its name, and read.
    if (ReadTiffSignature(p, 4) == TiffSignature::Classic) return kTypeTiff;
    if (StartsWith(p, kJp2Signature, 12)) return kTypeJp2;
    if (StartsWith(p, "\xD7\xCD\xC6\x9A", 4)) return kTypeWmf;
    // Formats beyond the codec library's first seven signatures.
    if (StartsWith(p, "8BPS", 4)) return kTypePsd;
    if (StartsWith(p, "\xFF\x4F\xFF\x51", 4)) return kTypeJ2k;
    if (StartsWith(p, "RIFF", 4) && StartsWith(p + 8, "WEBP", 4)) return kTypeWebp;
    if (const uint32_t iso = IsoBrandType(p)) return iso;
    if ((p[0] == 0xFF && p[1] == 0x0A) || StartsWith(p, kJxlContainer, 12)) return kTypeJxl;
    if (StartsWith(p, "qoif", 4)) return kTypeQoi;
    if (StartsWith(p, "DDS ", 4)) return kTypeDds;
    if (StartsWith(p, "icns", 4)) return kTypeIcns;
    if (IsIconHeader(p)) return kTypeIco;
    if (IsPnmHeader(p)) return kTypePnm;
    if (IsPcxHeader(p) || StartsWith(p, "\xB1\x68\xDE\x3A", 4)) return kTypePcx;
    if (p[0] == 0x01 && p[1] == 0xDA) return kTypeSgi;
    if (StartsWith(p, "/* XPM */", 9)) return kTypeXpm;
    if (IsXbmHeader(p)) return kTypeXbm;
    if (StartsWith(p, "\x59\xA6\x6A\x95", 4)) return kTypeSunRaster;
    if (StartsWith(p, "#?RADIANCE", 10) || StartsWith(p, "#?RGBE", 6)) return kTypeHdr;
    if (p[0] == 'P' && (p[1] == 'F' || p[1] == 'f') &&
        (p[2] == ' ' || p[2] == '\t' || p[2] == '\n' || p[2] == '\r')) {
        return kTypePfm;
    }
    return 0;
}
