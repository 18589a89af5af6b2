// DDS textures through our own reader: uncompressed pixels described by channel masks (RGB with
// or without alpha, luminance with or without alpha, alpha alone), and the block-compressed
// formats BC1 to BC7, by four-character code or through the DX10 extension header.
// Level 0 of the first face (or array slice) is the picture: it comes first in the data, and
// mipmaps, further faces and slices follow it and are not read. The mipmap level whose long side
// is the smallest that still makes a preview is the preview.
//
// Layouts: BC1, BC2, BC3 and BC7 give 32-bit BGRA; BC4 (one channel) 8-bit grey; BC5 (two
// channels, red and green) 24-bit with blue 0; BC6H (half floats) 24-bit by the rule for linear
// light (clamped to 0..1, then the sRGB curve); masked pixels 32-bit when they carry alpha, else
// 24-bit, or 8-bit grey for luminance alone. Signed BC4/BC5 samples (-1..1) are shown on 0..255.
#include <cmath>
#include <cstring>

#include "ByteReader.h"
#include "CodecBackends.h"
#include "PreviewRules.h"
#include "SampleScale.h"

namespace {

constexpr size_t kHeaderEnd = 128;  // "DDS " and the 124-byte header
constexpr size_t kDx10End = kHeaderEnd + 20;
constexpr uint32_t kFlagAlphaPixels = 0x1;
constexpr uint32_t kFlagAlphaOnly = 0x2;
constexpr uint32_t kFlagFourCc = 0x4;
constexpr uint32_t kFlagRgb = 0x40;
constexpr uint32_t kFlagYuv = 0x200;
constexpr uint32_t kFlagLuminance = 0x20000;
constexpr uint32_t kMaxMipLevels = 32;

enum class Kind { Masked, Bc1, Bc2, Bc3, Bc4, Bc4Signed, Bc5, Bc5Signed, Bc6, Bc6Signed, Bc7 };

struct Layout {
    Kind kind = Kind::Masked;
    uint32_t bits = 0;                 // masked: bits per pixel
    uint32_t masks[4] = {0, 0, 0, 0};  // masked: R, G, B, A
    bool luminance = false;            // masked: the red mask holds grey
    uint32_t width = 0, height = 0;
    uint32_t mip_levels = 1;
    size_t data_offset = kHeaderEnd;

    uint16_t OutBits() const {
        switch (kind) {
            case Kind::Bc4:
            case Kind::Bc4Signed:
                return 8;
            case Kind::Bc5:
            case Kind::Bc5Signed:
            case Kind::Bc6:
            case Kind::Bc6Signed:
                return 24;
            case Kind::Masked:
                if (masks[3] != 0) return 32;
                return luminance ? 8 : 24;
            default:
                return 32;
        }
    }
    uint32_t BlockBytes() const {
        return kind == Kind::Bc1 || kind == Kind::Bc4 || kind == Kind::Bc4Signed ? 8 : 16;
    }
    // Bytes of a level of this size, 0 when it cannot be counted in 64 bits (never here).
    uint64_t LevelBytes(uint32_t w, uint32_t h) const {
        if (kind == Kind::Masked) return (uint64_t{w} * bits + 7) / 8 * h;
        return ((uint64_t{w} + 3) / 4) * ((uint64_t{h} + 3) / 4) * BlockBytes();
    }
};

bool FourCcIs(const uint8_t* p, const char* code) { return std::memcmp(p, code, 4) == 0; }

void SetMasks(Layout& l, uint32_t bits, uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    l.kind = Kind::Masked;
    l.bits = bits;
    l.masks[0] = r, l.masks[1] = g, l.masks[2] = b, l.masks[3] = a;
}

// The DXGI formats read: block-compressed ones (typeless, UNORM and sRGB alike, the signed ones
// apart) and the common 8-bit-per-channel orders.
CodecStatus Dx10Layout(uint32_t format, Layout& l) {
    struct Compressed {
        uint32_t first, last;
        Kind kind;
    };
    static const Compressed kCompressed[] = {
        {70, 72, Kind::Bc1},       {73, 75, Kind::Bc2},       {76, 78, Kind::Bc3},
        {79, 80, Kind::Bc4},       {81, 81, Kind::Bc4Signed}, {82, 83, Kind::Bc5},
        {84, 84, Kind::Bc5Signed}, {94, 95, Kind::Bc6},       {96, 96, Kind::Bc6Signed},
        {97, 99, Kind::Bc7},
    };
    for (const Compressed& c : kCompressed) {
        if (format >= c.first && format <= c.last) {
            l.kind = c.kind;
            return CodecStatus::Ok;
        }
    }
    if (format >= 27 && format <= 29) {  // R8G8B8A8
        SetMasks(l, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000u);
    } else if (format == 87 || format == 90 || format == 91) {  // B8G8R8A8
        SetMasks(l, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000u);
    } else if (format == 88 || format == 92 || format == 93) {  // B8G8R8X8
        SetMasks(l, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    } else if (format == 61) {  // R8
        SetMasks(l, 8, 0xFF, 0, 0, 0);
        l.luminance = true;
    } else {
        return CodecStatus::Unsupported;  // floating-point formats among them
    }
    return CodecStatus::Ok;
}

// The header: sizes, the pixel layout and where level 0 begins; the data's length is checked
// against level 0 by the caller.
CodecStatus ReadLayout(const uint8_t* data, size_t size, Layout& l) {
    if (size < kHeaderEnd || std::memcmp(data, "DDS ", 4) != 0) return CodecStatus::NotThisFormat;
    const uint8_t* h = data + 4;
    if (ByteReader::LoadU32LE(h) != 124) return CodecStatus::Broken;
    l.height = ByteReader::LoadU32LE(h + 8);
    l.width = ByteReader::LoadU32LE(h + 12);
    const uint32_t mips = ByteReader::LoadU32LE(h + 24);
    l.mip_levels = mips == 0 ? 1 : (mips > kMaxMipLevels ? kMaxMipLevels : mips);
    const uint8_t* pf = h + 72;
    const uint32_t flags = ByteReader::LoadU32LE(pf + 4);
    const uint8_t* four_cc = pf + 8;
    const uint32_t bits = ByteReader::LoadU32LE(pf + 12);
    const uint32_t r = ByteReader::LoadU32LE(pf + 16), g = ByteReader::LoadU32LE(pf + 20);
    const uint32_t b = ByteReader::LoadU32LE(pf + 24), a = ByteReader::LoadU32LE(pf + 28);
    if (l.width == 0 || l.height == 0) return CodecStatus::Broken;
    if (flags & kFlagFourCc) {
        if (FourCcIs(four_cc, "DX10")) {
            if (size < kDx10End) return CodecStatus::Broken;
            l.data_offset = kDx10End;
            return Dx10Layout(ByteReader::LoadU32LE(data + kHeaderEnd), l);
        }
        if (FourCcIs(four_cc, "DXT1"))
            l.kind = Kind::Bc1;
        else if (FourCcIs(four_cc, "DXT2") || FourCcIs(four_cc, "DXT3"))
            l.kind = Kind::Bc2;
        else if (FourCcIs(four_cc, "DXT4") || FourCcIs(four_cc, "DXT5"))
            l.kind = Kind::Bc3;
        else if (FourCcIs(four_cc, "ATI1") || FourCcIs(four_cc, "BC4U"))
            l.kind = Kind::Bc4;
        else if (FourCcIs(four_cc, "BC4S"))
            l.kind = Kind::Bc4Signed;
        else if (FourCcIs(four_cc, "ATI2") || FourCcIs(four_cc, "BC5U"))
            l.kind = Kind::Bc5;
        else if (FourCcIs(four_cc, "BC5S"))
            l.kind = Kind::Bc5Signed;
        else
            return CodecStatus::Unsupported;
        return CodecStatus::Ok;
    }
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) return CodecStatus::Unsupported;
    if (flags & kFlagYuv) return CodecStatus::Unsupported;
    const uint32_t alpha = (flags & (kFlagAlphaPixels | kFlagAlphaOnly)) ? a : 0;
    if (flags & kFlagLuminance) {
        SetMasks(l, bits, r, 0, 0, alpha);
        l.luminance = true;
    } else if (flags & kFlagRgb) {
        SetMasks(l, bits, r, g, b, alpha);
    } else if (flags & kFlagAlphaOnly) {
        SetMasks(l, bits, 0, 0, 0, a);
    } else {
        return CodecStatus::Unsupported;
    }
    if ((r | g | b | alpha) == 0) return CodecStatus::Unsupported;
    return CodecStatus::Ok;
}

// One 4x4 block's pixels, RGBA, row by row.
struct Block {
    uint8_t px[16][4];
};

void Rgb565(uint32_t v, uint8_t* rgb) {
    const uint32_t r = v >> 11, g = (v >> 5) & 63, b = v & 31;
    rgb[0] = static_cast<uint8_t>(r << 3 | r >> 2);
    rgb[1] = static_cast<uint8_t>(g << 2 | g >> 4);
    rgb[2] = static_cast<uint8_t>(b << 3 | b >> 2);
}

// BC1's colours; `four` forces the four-colour mode (BC2 and BC3 colour halves).
void DecodeColours(const uint8_t* s, bool four, Block& out) {
    const uint32_t c0 = ByteReader::LoadU16LE(s), c1 = ByteReader::LoadU16LE(s + 2);
    uint8_t table[4][4];
    Rgb565(c0, table[0]);
    Rgb565(c1, table[1]);
    table[0][3] = table[1][3] = table[2][3] = table[3][3] = 255;
    for (int k = 0; k < 3; ++k) {
        const uint32_t a = table[0][k], b = table[1][k];
        if (four || c0 > c1) {
            table[2][k] = static_cast<uint8_t>((2 * a + b) / 3);
            table[3][k] = static_cast<uint8_t>((a + 2 * b) / 3);
        } else {
            table[2][k] = static_cast<uint8_t>((a + b) / 2);
            table[3][k] = 0;
        }
    }
    if (!four && c0 <= c1) table[3][3] = 0;
    const uint32_t indices = ByteReader::LoadU32LE(s + 4);
    for (int i = 0; i < 16; ++i) std::memcpy(out.px[i], table[(indices >> (2 * i)) & 3], 4);
}

// An interpolated 8-value channel (BC3 alpha, BC4, BC5) into channel `c` of the block.
void DecodeChannel(const uint8_t* s, bool is_signed, int c, Block& out) {
    int v0 = s[0], v1 = s[1];
    if (is_signed) {
        v0 = static_cast<int8_t>(s[0]), v1 = static_cast<int8_t>(s[1]);
        v0 = v0 < -127 ? -127 : v0, v1 = v1 < -127 ? -127 : v1;
    }
    int table[8] = {v0, v1};
    const int lo = is_signed ? -127 : 0, hi = is_signed ? 127 : 255;
    if (v0 > v1) {
        for (int i = 1; i < 7; ++i) table[i + 1] = ((7 - i) * v0 + i * v1) / 7;
    } else {
        for (int i = 1; i < 5; ++i) table[i + 1] = ((5 - i) * v0 + i * v1) / 5;
        table[6] = lo, table[7] = hi;
    }
    uint64_t bits = 0;
    for (int i = 0; i < 6; ++i) bits |= uint64_t{s[2 + i]} << (8 * i);
    for (int i = 0; i < 16; ++i) {
        const int v = table[(bits >> (3 * i)) & 7];
        out.px[i][c] = static_cast<uint8_t>(is_signed ? ((v + 127) * 255 + 127) / 254 : v);
    }
}

// BC7: eight modes of one to three subsets, per the format's published tables.
struct Bc7Mode {
    uint8_t subsets, partition_bits, rotation_bits, selector_bits, colour_bits, alpha_bits;
    uint8_t endpoint_pbits, shared_pbits, index_bits, index2_bits;
};
const Bc7Mode kBc7Modes[8] = {
    {3, 4, 0, 0, 4, 0, 1, 0, 3, 0}, {2, 6, 0, 0, 6, 0, 0, 1, 3, 0}, {3, 6, 0, 0, 5, 0, 0, 0, 2, 0},
    {2, 6, 0, 0, 7, 0, 1, 0, 2, 0}, {1, 0, 2, 1, 5, 6, 0, 0, 2, 3}, {1, 0, 2, 0, 7, 8, 0, 0, 2, 2},
    {1, 0, 0, 0, 7, 7, 1, 0, 4, 0}, {2, 6, 0, 0, 5, 5, 1, 0, 2, 0},
};

// Two-subset partitions: bit i set puts pixel i in subset 1.
const uint16_t kPartitions2[64] = {
    0xCCCC, 0x8888, 0xEEEE, 0xECC8, 0xC880, 0xFEEC, 0xFEC8, 0xEC80, 0xC800, 0xFFEC, 0xFE80,
    0xE800, 0xFFE8, 0xFF00, 0xFFF0, 0xF000, 0xF710, 0x008E, 0x7100, 0x08CE, 0x008C, 0x7310,
    0x3100, 0x8CCE, 0x088C, 0x3110, 0x6666, 0x366C, 0x17E8, 0x0FF0, 0x718E, 0x399C, 0xAAAA,
    0xF0F0, 0x5A5A, 0x33CC, 0x3C3C, 0x55AA, 0x9696, 0xA55A, 0x73CE, 0x13C8, 0x324C, 0x3BDC,
    0x6996, 0xC33C, 0x9966, 0x0660, 0x0272, 0x04E4, 0x4E40, 0x2720, 0xC936, 0x936C, 0x39C6,
    0x639C, 0x9336, 0x9CC6, 0x817E, 0xE718, 0xCCF0, 0x0FCC, 0x7744, 0xEE22};

// Three-subset partitions: the subset of each pixel, row by row.
const char kPartitions3[64][17] = {
    "0011001102212222", "0001001122112221", "0000200122112211", "0222002200110111",
    "0000000011221122", "0011001100220022", "0022002211111111", "0011001122112211",
    "0000000011112222", "0000111111112222", "0000111122222222", "0012001200120012",
    "0112011201120112", "0122012201220122", "0011011211221222", "0011200122002220",
    "0001001101121122", "0111001120012200", "0000112211221122", "0022002200221111",
    "0111011102220222", "0001000122212221", "0000001101220122", "0000110022102210",
    "0122012200110000", "0012001211222222", "0110122112210110", "0000011012211221",
    "0022110211020022", "0110011020022222", "0011012201220011", "0000200022112221",
    "0000000211221222", "0222002200120011", "0011001200220222", "0120012001200120",
    "0000111122220000", "0120120120120120", "0120201212010120", "0011220011220011",
    "0011112222000011", "0101010122222222", "0000000021212121", "0022112200221122",
    "0022001100220011", "0220122102201221", "0101222222220101", "0000212121212121",
    "0101010101012222", "0222011102220111", "0002111200021112", "0000211221122112",
    "0222011101110222", "0002111211120002", "0110011001102222", "0000000021122112",
    "0110011022222222", "0022001100110022", "0022112211220022", "0000000000002112",
    "0002000100020001", "0222122202221222", "0101222222222222", "0111201122012220",
};

const uint8_t kAnchor2[64] = {15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
                              15, 2,  8,  2,  2,  8,  8,  15, 2,  8,  2,  2,  8,  8,  2,  2,
                              15, 15, 6,  8,  2,  8,  15, 15, 2,  8,  2,  2,  2,  15, 15, 6,
                              6,  2,  6,  8,  15, 15, 2,  2,  15, 15, 15, 15, 15, 2,  2,  15};
const uint8_t kAnchor3a[64] = {3, 3,  15, 15, 8, 3,  15, 15, 8,  8,  6,  6,  6,  5,  3,  3,
                               3, 3,  8,  15, 3, 3,  6,  10, 5,  8,  8,  6,  8,  5,  15, 15,
                               8, 15, 3,  5,  6, 10, 8,  15, 15, 3,  15, 5,  15, 15, 15, 15,
                               3, 15, 5,  5,  5, 8,  5,  10, 5,  10, 8,  13, 15, 12, 3,  3};
const uint8_t kAnchor3b[64] = {15, 8, 8,  3,  15, 15, 3,  8,  15, 15, 15, 15, 15, 15, 15, 8,
                               15, 8, 15, 3,  15, 8,  15, 8,  3,  15, 6,  10, 15, 15, 10, 8,
                               15, 3, 15, 10, 10, 8,  9,  10, 6,  15, 8,  15, 3,  6,  6,  8,
                               15, 3, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 3,  15, 15, 8};

const uint8_t kWeights2[4] = {0, 21, 43, 64};
const uint8_t kWeights3[8] = {0, 9, 18, 27, 37, 46, 55, 64};
const uint8_t kWeights4[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};

class BlockBits {
public:
    explicit BlockBits(const uint8_t* s) : m_lo(Load64(s)), m_hi(Load64(s + 8)) {}
    uint32_t Take(uint32_t n) {
        uint32_t v = 0;
        if (n == 0) return 0;
        if (m_pos < 64) {
            v = static_cast<uint32_t>(m_lo >> m_pos);
            if (m_pos + n > 64) v |= static_cast<uint32_t>(m_hi << (64 - m_pos));
        } else {
            v = static_cast<uint32_t>(m_hi >> (m_pos - 64));
        }
        m_pos += n;
        return v & ((1u << n) - 1);
    }

private:
    static uint64_t Load64(const uint8_t* s) {
        return uint64_t{ByteReader::LoadU32LE(s)} | uint64_t{ByteReader::LoadU32LE(s + 4)} << 32;
    }
    uint64_t m_lo, m_hi;
    uint32_t m_pos = 0;
};

uint8_t Interpolate(uint32_t e0, uint32_t e1, uint32_t index, uint32_t bits) {
    const uint32_t w = bits == 2   ? kWeights2[index]
                       : bits == 3 ? kWeights3[index]
                                   : kWeights4[index];
    return static_cast<uint8_t>(((64 - w) * e0 + w * e1 + 32) >> 6);
}

void DecodeBc7(const uint8_t* s, Block& out) {
    uint32_t mode = 0;
    while (mode < 8 && !(s[0] & (1u << mode))) ++mode;
    if (mode == 8) {  // reserved: transparent black
        std::memset(out.px, 0, sizeof out.px);
        return;
    }
    const Bc7Mode& m = kBc7Modes[mode];
    BlockBits bits(s);
    bits.Take(mode + 1);
    const uint32_t partition = bits.Take(m.partition_bits);
    const uint32_t rotation = bits.Take(m.rotation_bits);
    const uint32_t selector = bits.Take(m.selector_bits);
    const uint32_t endpoints = m.subsets * 2u;
    uint32_t e[6][4] = {};
    for (int c = 0; c < 3; ++c) {
        for (uint32_t i = 0; i < endpoints; ++i) e[i][c] = bits.Take(m.colour_bits);
    }
    for (uint32_t i = 0; i < endpoints; ++i) e[i][3] = m.alpha_bits ? bits.Take(m.alpha_bits) : 255;
    uint32_t colour_precision = m.colour_bits, alpha_precision = m.alpha_bits;
    if (m.endpoint_pbits || m.shared_pbits) {
        uint32_t p[6];
        for (uint32_t i = 0; i < endpoints; ++i) {
            if (m.endpoint_pbits || i % 2 == 0)
                p[i] = bits.Take(1);
            else
                p[i] = p[i - 1];
        }
        for (uint32_t i = 0; i < endpoints; ++i) {
            for (int c = 0; c < 3; ++c) e[i][c] = e[i][c] << 1 | p[i];
            if (m.alpha_bits) e[i][3] = e[i][3] << 1 | p[i];
        }
        ++colour_precision;
        if (m.alpha_bits) ++alpha_precision;
    }
    for (uint32_t i = 0; i < endpoints; ++i) {
        for (int c = 0; c < 3; ++c) {
            e[i][c] = (e[i][c] << (8 - colour_precision)) | (e[i][c] >> (2 * colour_precision - 8));
        }
        if (m.alpha_bits) {
            e[i][3] = (e[i][3] << (8 - alpha_precision)) | (e[i][3] >> (2 * alpha_precision - 8));
        }
    }
    uint32_t subset_of[16];
    for (uint32_t i = 0; i < 16; ++i) {
        if (m.subsets == 2)
            subset_of[i] = (kPartitions2[partition] >> i) & 1;
        else if (m.subsets == 3)
            subset_of[i] = static_cast<uint32_t>(kPartitions3[partition][i] - '0');
        else
            subset_of[i] = 0;
    }
    auto is_anchor = [&](uint32_t i) {
        if (i == 0) return true;
        if (m.subsets == 2) return i == kAnchor2[partition];
        if (m.subsets == 3) return i == kAnchor3a[partition] || i == kAnchor3b[partition];
        return false;
    };
    uint32_t index1[16], index2[16] = {};
    for (uint32_t i = 0; i < 16; ++i) index1[i] = bits.Take(m.index_bits - (is_anchor(i) ? 1 : 0));
    if (m.index2_bits) {
        for (uint32_t i = 0; i < 16; ++i) index2[i] = bits.Take(m.index2_bits - (i == 0 ? 1 : 0));
    }
    for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t* a = e[2 * subset_of[i]];
        const uint32_t* b = e[2 * subset_of[i] + 1];
        uint8_t* px = out.px[i];
        if (m.index2_bits) {
            const bool swap = selector != 0;
            const uint32_t ci = swap ? index2[i] : index1[i],
                           cb = swap ? m.index2_bits : m.index_bits;
            const uint32_t ai = swap ? index1[i] : index2[i],
                           ab = swap ? m.index_bits : m.index2_bits;
            for (int c = 0; c < 3; ++c) px[c] = Interpolate(a[c], b[c], ci, cb);
            px[3] = Interpolate(a[3], b[3], ai, ab);
        } else {
            for (int c = 0; c < 4; ++c) px[c] = Interpolate(a[c], b[c], index1[i], m.index_bits);
        }
        if (rotation) std::swap(px[3], px[rotation - 1]);
    }
}

// BC6H: half-float RGB in fourteen modes, shown by the rule for linear light. Each mode's
// header bits after the mode number, as runs of (endpoint value, first bit, last bit) read
// lowest bit first; values 0-2 are region 0's first endpoint (R, G, B), 3-5 its second, 6-11
// region 1's pair. Modes 1-10 have two regions, 11-14 one.
struct Bc6Segment {
    uint8_t value, lo, hi;
};
struct Bc6Mode {
    uint8_t endpoint_bits, delta_bits[3];
    bool transformed;
};
const Bc6Mode kBc6Modes[14] = {
    {10, {5, 5, 5}, true}, {7, {6, 6, 6}, true},  {11, {5, 4, 4}, true},     {11, {4, 5, 4}, true},
    {11, {4, 4, 5}, true}, {9, {5, 5, 5}, true},  {8, {6, 5, 5}, true},      {8, {5, 6, 5}, true},
    {8, {5, 5, 6}, true},  {6, {6, 6, 6}, false}, {10, {10, 10, 10}, false}, {11, {9, 9, 9}, true},
    {12, {8, 8, 8}, true}, {16, {4, 4, 4}, true},
};
const uint8_t kBc6LayoutSizes[14] = {19, 23, 18, 20, 20, 19, 19, 21, 21, 23, 6, 9, 12, 24};
// clang-format off
const Bc6Segment kBc6Layouts[14][24] = {
    {{7,4,4}, {8,4,4}, {11,4,4}, {0,0,9}, {1,0,9}, {2,0,9}, {3,0,4}, {10,4,4}, {7,0,3}, {4,0,4},
     {11,0,0}, {10,0,3}, {5,0,4}, {11,1,1}, {8,0,3}, {6,0,4}, {11,2,2}, {9,0,4}, {11,3,3}},
    {{7,5,5}, {10,4,4}, {10,5,5}, {0,0,6}, {11,0,0}, {11,1,1}, {8,4,4}, {1,0,6}, {8,5,5}, {11,2,2},
     {7,4,4}, {2,0,6}, {11,3,3}, {11,5,5}, {11,4,4}, {3,0,5}, {7,0,3}, {4,0,5}, {10,0,3}, {5,0,5},
     {8,0,3}, {6,0,5}, {9,0,5}},
    {{0,0,9}, {1,0,9}, {2,0,9}, {3,0,4}, {0,10,10}, {7,0,3}, {4,0,3}, {1,10,10}, {11,0,0}, {10,0,3},
     {5,0,3}, {2,10,10}, {11,1,1}, {8,0,3}, {6,0,4}, {11,2,2}, {9,0,4}, {11,3,3}},
    {{0,0,9}, {1,0,9}, {2,0,9}, {3,0,3}, {0,10,10}, {10,4,4}, {7,0,3}, {4,0,4}, {1,10,10}, {10,0,3},
     {5,0,3}, {2,10,10}, {11,1,1}, {8,0,3}, {6,0,3}, {11,0,0}, {11,2,2}, {9,0,3}, {7,4,4},
     {11,3,3}},
    {{0,0,9}, {1,0,9}, {2,0,9}, {3,0,3}, {0,10,10}, {8,4,4}, {7,0,3}, {4,0,3}, {1,10,10}, {11,0,0},
     {10,0,3}, {5,0,4}, {2,10,10}, {8,0,3}, {6,0,3}, {11,1,1}, {11,2,2}, {9,0,3}, {11,4,4},
     {11,3,3}},
    {{0,0,8}, {8,4,4}, {1,0,8}, {7,4,4}, {2,0,8}, {11,4,4}, {3,0,4}, {10,4,4}, {7,0,3}, {4,0,4},
     {11,0,0}, {10,0,3}, {5,0,4}, {11,1,1}, {8,0,3}, {6,0,4}, {11,2,2}, {9,0,4}, {11,3,3}},
    {{0,0,7}, {10,4,4}, {8,4,4}, {1,0,7}, {11,2,2}, {7,4,4}, {2,0,7}, {11,3,3}, {11,4,4}, {3,0,5},
     {7,0,3}, {4,0,4}, {11,0,0}, {10,0,3}, {5,0,4}, {11,1,1}, {8,0,3}, {6,0,5}, {9,0,5}},
    {{0,0,7}, {11,0,0}, {8,4,4}, {1,0,7}, {7,5,5}, {7,4,4}, {2,0,7}, {10,5,5}, {11,4,4}, {3,0,4},
     {10,4,4}, {7,0,3}, {4,0,5}, {10,0,3}, {5,0,4}, {11,1,1}, {8,0,3}, {6,0,4}, {11,2,2}, {9,0,4},
     {11,3,3}},
    {{0,0,7}, {11,1,1}, {8,4,4}, {1,0,7}, {8,5,5}, {7,4,4}, {2,0,7}, {11,5,5}, {11,4,4}, {3,0,4},
     {10,4,4}, {7,0,3}, {4,0,4}, {11,0,0}, {10,0,3}, {5,0,5}, {8,0,3}, {6,0,4}, {11,2,2}, {9,0,4},
     {11,3,3}},
    {{0,0,5}, {10,4,4}, {11,0,0}, {11,1,1}, {8,4,4}, {1,0,5}, {7,5,5}, {8,5,5}, {11,2,2}, {7,4,4},
     {2,0,5}, {10,5,5}, {11,3,3}, {11,5,5}, {11,4,4}, {3,0,5}, {7,0,3}, {4,0,5}, {10,0,3}, {5,0,5},
     {8,0,3}, {6,0,5}, {9,0,5}},
    {{0,0,9}, {1,0,9}, {2,0,9}, {3,0,9}, {4,0,9}, {5,0,9}},
    {{0,0,9}, {1,0,9}, {2,0,9}, {3,0,8}, {0,10,10}, {4,0,8}, {1,10,10}, {5,0,8}, {2,10,10}},
    {{0,0,9}, {1,0,9}, {2,0,9}, {3,0,7}, {0,11,11}, {0,10,10}, {4,0,7}, {1,11,11}, {1,10,10},
     {5,0,7}, {2,11,11}, {2,10,10}},
    {{0,0,9}, {1,0,9}, {2,0,9}, {3,0,3}, {0,15,15}, {0,14,14}, {0,13,13}, {0,12,12}, {0,11,11},
     {0,10,10}, {4,0,3}, {1,15,15}, {1,14,14}, {1,13,13}, {1,12,12}, {1,11,11}, {1,10,10}, {5,0,3},
     {2,15,15}, {2,14,14}, {2,13,13}, {2,12,12}, {2,11,11}, {2,10,10}},
};
// clang-format on

int32_t SignExtend(uint32_t v, uint32_t bits) {
    const uint32_t sign = 1u << (bits - 1);
    return static_cast<int32_t>((v ^ sign) - sign);
}

// An endpoint of `bits` bits onto the interpolation range (16 bits, or signed 15 and sign).
int32_t Bc6Unquantize(int32_t v, uint32_t bits, bool is_signed) {
    if (!is_signed) {
        if (bits >= 15 || v == 0) return v;
        if (v == (1 << bits) - 1) return 0xFFFF;
        return ((v << 16) + 0x8000) >> bits;
    }
    if (bits >= 16) return v;
    const bool negative = v < 0;
    int32_t a = negative ? -v : v;
    if (a == 0) return 0;
    a = a >= (1 << (bits - 1)) - 1 ? 0x7FFF : ((a << 15) + 0x4000) >> (bits - 1);
    return negative ? -a : a;
}

float HalfToFloat(uint32_t h) {
    const uint32_t exponent = (h >> 10) & 31, mantissa = h & 1023;
    float v = exponent == 0    ? std::ldexp(static_cast<float>(mantissa), -24)
              : exponent == 31 ? (mantissa ? 0.0f : 65504.0f)  // NaN shows as 0, infinity as white
                               : std::ldexp(static_cast<float>(mantissa | 1024),
                                            static_cast<int>(exponent) - 25);
    return (h & 0x8000) ? -v : v;
}

// An interpolated value to the half float it stands for, then shown.
uint8_t Bc6Display(int32_t v, bool is_signed) {
    uint32_t half = 0;
    if (!is_signed) {
        half = static_cast<uint32_t>((v * 31) >> 6);
    } else {
        half = v < 0 ? 0x8000u | static_cast<uint32_t>(((-v) * 31) >> 5)
                     : static_cast<uint32_t>((v * 31) >> 5);
    }
    return LinearToDisplay8(HalfToFloat(half));
}

void DecodeBc6(const uint8_t* s, bool is_signed, Block& out) {
    BlockBits bits(s);
    uint32_t mode = bits.Take(2);
    if (mode >= 2) mode |= bits.Take(3) << 2;
    static const int8_t kModeOf[32] = {0,  1,  2, 10, -1, -1, 3, 11, -1, -1, 4, 12, -1, -1, 5, 13,
                                       -1, -1, 6, -1, -1, -1, 7, -1, -1, -1, 8, -1, -1, -1, 9, -1};
    const int index = mode < 2 ? static_cast<int>(mode) : kModeOf[mode];
    if (index < 0) {  // reserved: black
        for (auto& px : out.px) px[0] = px[1] = px[2] = 0, px[3] = 255;
        return;
    }
    const Bc6Mode& m = kBc6Modes[index];
    uint32_t e[12] = {};
    for (int i = 0; i < kBc6LayoutSizes[index]; ++i) {
        const Bc6Segment& seg = kBc6Layouts[index][i];
        e[seg.value] |= bits.Take(seg.hi - seg.lo + 1u) << seg.lo;
    }
    const bool two = index < 10;
    const uint32_t partition = two ? bits.Take(5) : 0;
    const uint32_t values = two ? 12 : 6;
    int32_t v[12];
    const uint32_t eb = m.endpoint_bits;
    for (uint32_t i = 0; i < values; ++i) {
        const uint32_t c = i % 3;
        if (i < 3) {
            v[i] = is_signed ? SignExtend(e[i], eb) : static_cast<int32_t>(e[i]);
        } else if (m.transformed) {
            const int32_t delta = SignExtend(e[i], m.delta_bits[c]);
            const uint32_t sum = (e[c] + static_cast<uint32_t>(delta)) & ((1u << eb) - 1u);
            v[i] = is_signed ? SignExtend(sum, eb) : static_cast<int32_t>(sum);
        } else {
            v[i] = is_signed ? SignExtend(e[i], eb) : static_cast<int32_t>(e[i]);
        }
        v[i] = Bc6Unquantize(v[i], eb, is_signed);
    }
    const uint32_t index_bits = two ? 3 : 4;
    for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t region = two ? (kPartitions2[partition] >> i) & 1 : 0;
        const bool anchor = i == 0 || (two && i == kAnchor2[partition]);
        const uint32_t k = bits.Take(index_bits - (anchor ? 1 : 0));
        const uint32_t w = two ? kWeights3[k] : kWeights4[k];
        for (uint32_t c = 0; c < 3; ++c) {
            const int32_t a = v[region * 6 + c], b = v[region * 6 + 3 + c];
            const int32_t mixed =
                (a * (64 - static_cast<int32_t>(w)) + b * static_cast<int32_t>(w) + 32) >> 6;
            out.px[i][c] = Bc6Display(mixed, is_signed);
        }
        out.px[i][3] = 255;
    }
}

void DecodeBlock(Kind kind, const uint8_t* s, Block& out) {
    switch (kind) {
        case Kind::Bc1:
            DecodeColours(s, false, out);
            break;
        case Kind::Bc2:
            DecodeColours(s + 8, true, out);
            for (int i = 0; i < 16; ++i) {
                out.px[i][3] = static_cast<uint8_t>(((s[i / 2] >> (4 * (i & 1))) & 15) * 17);
            }
            break;
        case Kind::Bc3:
            DecodeColours(s + 8, true, out);
            DecodeChannel(s, false, 3, out);
            break;
        case Kind::Bc4:
        case Kind::Bc4Signed:
            DecodeChannel(s, kind == Kind::Bc4Signed, 0, out);
            break;
        case Kind::Bc5:
        case Kind::Bc5Signed:
            DecodeChannel(s, kind == Kind::Bc5Signed, 0, out);
            DecodeChannel(s + 8, kind == Kind::Bc5Signed, 1, out);
            for (auto& px : out.px) px[2] = 0;
            break;
        case Kind::Bc6:
        case Kind::Bc6Signed:
            DecodeBc6(s, kind == Kind::Bc6Signed, out);
            break;
        case Kind::Bc7:
            DecodeBc7(s, out);
            break;
        case Kind::Masked:
            break;
    }
}

void DecodeBlocks(const Layout& l, const uint8_t* src, uint32_t width, uint32_t height,
                  DibCanvas& canvas) {
    const uint32_t out_step = l.OutBits() / 8u;
    const uint32_t blocks_across = (width + 3) / 4;
    Block block;
    for (uint32_t by = 0; by < height; by += 4) {
        for (uint32_t bx = 0; bx < blocks_across; ++bx, src += l.BlockBytes()) {
            DecodeBlock(l.kind, src, block);
            for (uint32_t y = by; y < by + 4 && y < height; ++y) {
                uint8_t* d = canvas.Row(y) + uint64_t{bx} * 4 * out_step;
                for (uint32_t x = bx * 4; x < bx * 4 + 4 && x < width; ++x, d += out_step) {
                    const uint8_t* px = block.px[(y - by) * 4 + (x - bx * 4)];
                    if (out_step == 1) {
                        d[0] = px[0];
                    } else {
                        d[0] = px[2], d[1] = px[1], d[2] = px[0];
                        if (out_step == 4) d[3] = px[3];
                    }
                }
            }
        }
    }
}

// A masked channel's value on 0..255 (255 where the mask is empty).
struct MaskedChannel {
    uint32_t mask = 0, shift = 0, max = 0;
    explicit MaskedChannel(uint32_t m) : mask(m) {
        if (!m) return;
        while (!((m >> shift) & 1)) ++shift;
        max = m >> shift;
    }
    uint8_t Of(uint32_t v) const { return mask ? ScaleSample((v & mask) >> shift, max) : 255; }
};

void DecodeMasked(const Layout& l, const uint8_t* src, uint32_t width, uint32_t height,
                  DibCanvas& canvas) {
    const MaskedChannel r(l.masks[0]), g(l.masks[1]), b(l.masks[2]), a(l.masks[3]);
    const uint32_t in_step = l.bits / 8u, out_step = l.OutBits() / 8u;
    const uint64_t pitch = uint64_t{width} * in_step;
    for (uint32_t y = 0; y < height; ++y, src += pitch) {
        uint8_t* d = canvas.Row(y);
        const uint8_t* s = src;
        for (uint32_t x = 0; x < width; ++x, s += in_step, d += out_step) {
            uint32_t v = 0;
            for (uint32_t k = 0; k < in_step; ++k) v |= uint32_t{s[k]} << (8 * k);
            if (l.luminance) {
                d[0] = r.Of(v);
                if (out_step > 1) d[1] = d[2] = d[0];
            } else {
                d[0] = l.masks[2] ? b.Of(v) : 0;
                d[1] = l.masks[1] ? g.Of(v) : 0;
                d[2] = l.masks[0] ? r.Of(v) : 0;
            }
            if (out_step == 4) d[3] = a.Of(v);
        }
    }
}

class DdsCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeDds; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= 4 && std::memcmp(p, "DDS ", 4) == 0;
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult&) const override {
        if (request.frame != 0)
            return Sniff(data, size) ? CodecStatus::NoFrame : CodecStatus::NotThisFormat;
        return Read(data, size, 0, canvas, nullptr);
    }

    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                           PictureHeader& header) const override {
        DibCanvas unused;
        return Read(data, size, 0, unused, &header);
    }

    // The smallest mipmap level that still makes a preview; none when level 0 is that level.
    CodecStatus DecodePreview(const uint8_t* data, size_t size, const DecodeRequest& request,
                              DibCanvas& canvas, DecodeResult&) const override {
        if (request.frame != 0) return CodecStatus::Unsupported;
        Layout l;
        const CodecStatus status = ReadLayout(data, size, l);
        if (status != CodecStatus::Ok) return status;
        uint32_t level = 0, w = l.width, h = l.height;
        while (level + 1 < l.mip_levels && QualifiesAsPreview(Half(w), Half(h))) {
            w = Half(w), h = Half(h), ++level;
        }
        if (level == 0) return CodecStatus::Unsupported;
        return Read(data, size, level, canvas, nullptr);
    }

private:
    static uint32_t Half(uint32_t v) { return v > 1 ? v / 2 : 1; }

    static CodecStatus Read(const uint8_t* data, size_t size, uint32_t level, DibCanvas& canvas,
                            PictureHeader* header) {
        Layout l;
        const CodecStatus status = ReadLayout(data, size, l);
        if (status != CodecStatus::Ok) return status;
        uint64_t offset = l.data_offset;
        uint32_t w = l.width, h = l.height;
        for (uint32_t i = 0; i < level; ++i, w = Half(w), h = Half(h)) offset += l.LevelBytes(w, h);
        // Sides are below 2^32, so a level's bytes fit in 64 bits; the data must hold it whole.
        const uint64_t need = l.LevelBytes(w, h);
        if (offset > size || need > size - offset) return CodecStatus::Broken;
        const uint16_t bits = l.OutBits();
        if (header) {
            header->width = w;
            header->height = h;
            header->bit_count = bits;
            header->result.type = kTypeDds;
            return CheckDeclaredSize(w, h);
        }
        const CodecStatus created = canvas.Create(w, h, bits);
        if (created != CodecStatus::Ok) return created;
        if (bits == 8) canvas.SetGreyPalette();
        if (l.kind == Kind::Masked) {
            DecodeMasked(l, data + offset, w, h, canvas);
        } else {
            DecodeBlocks(l, data + offset, w, h, canvas);
        }
        canvas.ClearRowPadding();
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& DdsBackend() {
    static const DdsCodec backend;
    return backend;
}
