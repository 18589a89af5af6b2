// Small writers of the TIFF structure for the preview suites and benchmark: the payload of an
// APP1 "Exif" segment whose IFD1 points at a JPEG thumbnail, in either byte order, with the
// offset and length open to damage; an uncompressed RGB TIFF with a NewSubfileType per page; a
// directory of IFD1's kind appended to a TIFF file's chain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

namespace img_test {

struct ExifSpec {
    std::vector<uint8_t> thumbnail;  // the JPEG that IFD1 points at
    bool big_endian = false;
    bool ifd1 = true;          // false: IFD0 ends the chain
    int64_t offset = -1;       // JPEGInterchangeFormat; -1: where the thumbnail is written
    int64_t length = -1;       // JPEGInterchangeFormatLength; -1: its size
    int64_t ifd1_offset = -1;  // IFD0's link; -1: where IFD1 is written
};

inline std::vector<uint8_t> ExifApp1(const ExifSpec& s) {
    std::vector<uint8_t> out = {'E', 'x', 'i', 'f', 0, 0};
    auto u16 = [&](uint32_t v) {
        const uint8_t a = static_cast<uint8_t>(v), b = static_cast<uint8_t>(v >> 8);
        out.insert(out.end(), s.big_endian ? std::initializer_list<uint8_t>{b, a}
                                           : std::initializer_list<uint8_t>{a, b});
    };
    auto u32 = [&](uint64_t v) {
        if (s.big_endian) u16(static_cast<uint32_t>(v >> 16) & 0xFFFF);
        u16(static_cast<uint32_t>(v) & 0xFFFF);
        if (!s.big_endian) u16(static_cast<uint32_t>(v >> 16) & 0xFFFF);
    };
    auto entry = [&](uint32_t tag, uint32_t type, uint64_t value) {
        u16(tag), u16(type), u32(1);
        if (type == 3) {
            u16(static_cast<uint32_t>(value)), u16(0);
        } else {
            u32(value);
        }
    };
    // Offsets count from the TIFF header: IFD0 at 8 (one entry), IFD1 at 26 (three), the
    // thumbnail at 68.
    out.insert(out.end(), s.big_endian ? std::initializer_list<uint8_t>{'M', 'M'}
                                       : std::initializer_list<uint8_t>{'I', 'I'});
    u16(42), u32(8);
    u16(1), entry(274, 3, 1);  // Orientation
    u32(!s.ifd1 ? 0 : s.ifd1_offset >= 0 ? static_cast<uint64_t>(s.ifd1_offset) : 26);
    if (!s.ifd1) return out;
    u16(3), entry(259, 3, 6);  // Compression: JPEG
    entry(513, 4, s.offset >= 0 ? static_cast<uint64_t>(s.offset) : 68);
    entry(514, 4, s.length >= 0 ? static_cast<uint64_t>(s.length) : s.thumbnail.size());
    u32(0);
    out.insert(out.end(), s.thumbnail.begin(), s.thumbnail.end());
    return out;
}

inline uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return at + 4 > b.size() ? 0
                             : b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}
inline void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Appends a directory of EXIF's IFD1 kind (NewSubfileType 1, JPEGInterchangeFormat and its
// length) to the end of a little-endian file's chain; the thumbnail follows it.
inline std::vector<uint8_t> AppendJpegIfd(std::vector<uint8_t> tiff,
                                          const std::vector<uint8_t>& jpeg, int64_t offset = -1,
                                          int64_t length = -1) {
    size_t link = 4;  // the offset that holds the last directory's link
    for (uint32_t ifd = Le32(tiff, 4); ifd != 0; ifd = Le32(tiff, link)) {
        link = ifd + 2 + size_t{static_cast<uint16_t>(Le32(tiff, ifd))} * 12;
    }
    const auto at = static_cast<uint32_t>((tiff.size() + 1) & ~size_t{1});
    tiff.resize(at);
    PutLe32(tiff, link, at);
    const uint32_t data = at + 2 + 3 * 12 + 4;
    const uint32_t values[3][2] = {
        {254, 1},
        {513, offset >= 0 ? static_cast<uint32_t>(offset) : data},
        {514, length >= 0 ? static_cast<uint32_t>(length) : static_cast<uint32_t>(jpeg.size())}};
    tiff.insert(tiff.end(), {3, 0});
    for (const auto& v : values) {
        tiff.insert(tiff.end(), {static_cast<uint8_t>(v[0]), static_cast<uint8_t>(v[0] >> 8), 4, 0,
                                 1, 0, 0, 0, 0, 0, 0, 0});
        PutLe32(tiff, tiff.size() - 4, v[1]);
    }
    tiff.insert(tiff.end(), 4, 0);
    tiff.insert(tiff.end(), jpeg.begin(), jpeg.end());
    return tiff;
}

// One page of an uncompressed little-endian RGB TIFF: rows of `rgb`, in one strip.
struct RawTiffPage {
    uint32_t width = 0, height = 0;
    uint32_t subfile = 0;  // NewSubfileType: 1 marks a reduced-resolution page
    std::vector<uint8_t> rgb;
};

inline std::vector<uint8_t> WriteRawTiff(const std::vector<RawTiffPage>& pages) {
    std::vector<uint8_t> out = {'I', 'I', 42, 0, 0, 0, 0, 0};
    size_t link = 4;
    for (const RawTiffPage& p : pages) {
        const auto bps_at = static_cast<uint32_t>(out.size());
        out.insert(out.end(), {8, 0, 8, 0, 8, 0});
        const auto strip = static_cast<uint32_t>(out.size());
        out.insert(out.end(), p.rgb.begin(), p.rgb.end());
        if (out.size() & 1) out.push_back(0);
        PutLe32(out, link, static_cast<uint32_t>(out.size()));
        const uint32_t entries[][3] = {
            // tag, type, value
            {254, 4, p.subfile}, {256, 4, p.width},
            {257, 4, p.height},  {258, 3, bps_at},
            {259, 3, 1},         {262, 3, 2},
            {273, 4, strip},     {277, 3, 3},
            {278, 4, p.height},  {279, 4, static_cast<uint32_t>(p.rgb.size())}};
        out.insert(out.end(), {static_cast<uint8_t>(std::size(entries)), 0});
        for (const auto& e : entries) {
            const uint32_t count = e[0] == 258 ? 3 : 1;
            out.insert(out.end(), {static_cast<uint8_t>(e[0]), static_cast<uint8_t>(e[0] >> 8),
                                   static_cast<uint8_t>(e[1]), 0, static_cast<uint8_t>(count), 0, 0,
                                   0, 0, 0, 0, 0});
            PutLe32(out, out.size() - 4, e[2]);
        }
        link = out.size();
        out.insert(out.end(), 4, 0);
    }
    return out;
}

}  // namespace img_test
