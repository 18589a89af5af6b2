// A small EXIF writer for the preview suites and benchmark: the payload of an APP1 "Exif"
// segment whose IFD1 points at a JPEG thumbnail, in either byte order, with the offset and length
// open to damage.
#pragma once

#include <cstdint>
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

}  // namespace img_test
