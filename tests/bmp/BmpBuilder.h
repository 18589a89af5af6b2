// Makes BMP files and bare packed DIBs in memory for the tests: any bit count, a colour table,
// bit masks, top-down rows, core (12-byte) headers, and RLE8/RLE4 streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace bmp_test {

using Bytes = std::vector<uint8_t>;

inline void PutU16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

inline void PutU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) |
           (static_cast<uint32_t>(p[3]) << 24);
}

inline void SetU32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

// What goes into one bitmap. The fields are written as given, without checks, so that tests can
// build inconsistent headers as easily as good ones.
struct BmpSpec {
    uint32_t header_size = 40;  // 12 core, 40 info, 108 v4, 124 v5, or any other value
    int32_t width = 1;
    int32_t height = 1;  // negative: rows stored top-down
    uint16_t bit_count = 24;
    uint32_t compression = 0;  // BI_RGB 0, BI_RLE8 1, BI_RLE4 2, BI_BITFIELDS 3
    uint32_t size_image = 0;
    uint32_t clr_used = 0;
    std::vector<uint32_t> palette;  // 0x00RRGGBB, written B, G, R (and 0 for non-core headers)
    std::vector<uint32_t> masks;    // written after the header (red, green, blue)
    bool masks_after = true;        // false: only inside larger headers, as BMP writers do
    Bytes gap;                      // bytes between the colour table and the rows
    Bytes bits;                     // pixel rows, or the compressed stream
    Bytes trailing;                 // bytes after the bitmap
    bool file_header = true;        // false: a bare packed DIB
};

// Lays the bitmap out: BITMAPFILEHEADER (unless bare), header, masks, colour table, bits.
inline Bytes BuildBmp(const BmpSpec& s) {
    Bytes dib;
    PutU32(dib, s.header_size);  // biSize / bcSize
    if (s.header_size == 12) {
        PutU16(dib, static_cast<uint32_t>(s.width));   // bcWidth
        PutU16(dib, static_cast<uint32_t>(s.height));  // bcHeight
        PutU16(dib, 1);                                // bcPlanes
        PutU16(dib, s.bit_count);                      // bcBitCount
    } else {
        PutU32(dib, static_cast<uint32_t>(s.width));   // biWidth
        PutU32(dib, static_cast<uint32_t>(s.height));  // biHeight
        PutU16(dib, 1);                                // biPlanes
        PutU16(dib, s.bit_count);                      // biBitCount
        PutU32(dib, s.compression);                    // biCompression
        PutU32(dib, s.size_image);                     // biSizeImage
        PutU32(dib, 2835);                             // biXPelsPerMeter
        PutU32(dib, 2835);                             // biYPelsPerMeter
        PutU32(dib, s.clr_used);                       // biClrUsed
        PutU32(dib, 0);                                // biClrImportant
        // Larger headers carry the masks at 40 as well; the rest stays zero.
        for (size_t i = 0; i < s.masks.size() && dib.size() + 4 <= s.header_size; ++i) {
            PutU32(dib, s.masks[i]);
        }
        if (dib.size() < s.header_size && s.header_size <= 4096) dib.resize(s.header_size, 0);
    }
    if (s.masks_after) {
        for (uint32_t m : s.masks) PutU32(dib, m);
    }
    for (uint32_t c : s.palette) {
        dib.push_back(static_cast<uint8_t>(c));        // blue
        dib.push_back(static_cast<uint8_t>(c >> 8));   // green
        dib.push_back(static_cast<uint8_t>(c >> 16));  // red
        if (s.header_size != 12) dib.push_back(0);     // reserved
    }
    dib.insert(dib.end(), s.gap.begin(), s.gap.end());
    const size_t off_bits = dib.size();
    dib.insert(dib.end(), s.bits.begin(), s.bits.end());
    dib.insert(dib.end(), s.trailing.begin(), s.trailing.end());
    if (!s.file_header) return dib;

    Bytes file;
    file.push_back('B');  // bfType
    file.push_back('M');
    PutU32(file, static_cast<uint32_t>(14 + dib.size()));  // bfSize
    PutU16(file, 0);                                       // bfReserved1
    PutU16(file, 0);                                       // bfReserved2
    PutU32(file, static_cast<uint32_t>(14 + off_bits));    // bfOffBits
    file.insert(file.end(), dib.begin(), dib.end());
    return file;
}

inline size_t StrideFor(int32_t width, uint16_t bit_count) {
    return (static_cast<size_t>(bit_count) * static_cast<size_t>(width) + 31) / 32 * 4;
}

// Packs `rows` rows of `width` pixels, pixel (x, row) = value(x, row), row 0 first in the array.
// Indexed pixels are packed high bits first; 16-bit values are little-endian; 24- and 32-bit
// values are 0xAARRGGBB written B, G, R (, A).
inline Bytes PackRows(int32_t width, int32_t rows, uint16_t bit_count,
                      const std::function<uint32_t(int, int)>& value) {
    const size_t stride = StrideFor(width, bit_count);
    Bytes out(stride * static_cast<size_t>(rows), 0);
    for (int y = 0; y < rows; ++y) {
        uint8_t* row = out.data() + stride * static_cast<size_t>(y);
        for (int x = 0; x < width; ++x) {
            const uint32_t v = value(x, y);
            const auto ux = static_cast<size_t>(x);
            switch (bit_count) {
                case 1:
                case 2:
                case 4: {
                    const size_t bit = ux * bit_count;
                    const unsigned shift = 8 - bit_count - static_cast<unsigned>(bit % 8);
                    row[bit / 8] = static_cast<uint8_t>(row[bit / 8] |
                                                        ((v & ((1u << bit_count) - 1)) << shift));
                    break;
                }
                case 8:
                    row[ux] = static_cast<uint8_t>(v);
                    break;
                case 16:
                    row[2 * ux] = static_cast<uint8_t>(v);
                    row[2 * ux + 1] = static_cast<uint8_t>(v >> 8);
                    break;
                default:
                    for (size_t i = 0; i < bit_count / 8u; ++i) {
                        row[ux * (bit_count / 8u) + i] = static_cast<uint8_t>(v >> (8 * i));
                    }
                    break;
            }
        }
    }
    return out;
}

// Distinct colours for a colour table of n entries.
inline std::vector<uint32_t> TestPalette(size_t n) {
    std::vector<uint32_t> p(n);
    for (size_t i = 0; i < n; ++i) {
        p[i] = static_cast<uint32_t>((i * 37 + 11) % 256 << 16 | (i * 91 + 7) % 256 << 8 |
                                     (255 - i % 256));
    }
    return p;
}

// A BI_RLE8 or BI_RLE4 stream, code by code.
class RleStream {
public:
    RleStream& Run(uint8_t count, uint8_t value) { return Put({count, value}); }
    RleStream& EndOfLine() { return Put({0, 0}); }
    RleStream& EndOfBitmap() { return Put({0, 1}); }
    RleStream& Delta(uint8_t dx, uint8_t dy) { return Put({0, 2, dx, dy}); }
    // RLE8 absolute run: the bytes, padded to an even length.
    RleStream& Absolute8(const Bytes& values) {
        Put({0, static_cast<uint8_t>(values.size())});
        m_bytes.insert(m_bytes.end(), values.begin(), values.end());
        if (values.size() & 1) m_bytes.push_back(0);
        return *this;
    }
    // RLE4 absolute run of nibbles, packed high nibble first and padded to an even byte count.
    RleStream& Absolute4(const Bytes& nibbles) {
        Put({0, static_cast<uint8_t>(nibbles.size())});
        Bytes packed((nibbles.size() + 1) / 2, 0);
        for (size_t i = 0; i < nibbles.size(); ++i) {
            packed[i / 2] =
                static_cast<uint8_t>(packed[i / 2] | ((nibbles[i] & 0x0F) << ((i & 1) ? 0 : 4)));
        }
        if (packed.size() & 1) packed.push_back(0);
        m_bytes.insert(m_bytes.end(), packed.begin(), packed.end());
        return *this;
    }
    RleStream& Put(std::initializer_list<uint8_t> raw) {
        m_bytes.insert(m_bytes.end(), raw.begin(), raw.end());
        return *this;
    }
    const Bytes& Get() const { return m_bytes; }

private:
    Bytes m_bytes;
};

// An RLE bitmap around `stream`, with biSizeImage set to the stream length.
inline BmpSpec RleSpec(int32_t width, int32_t height, bool rle4, const Bytes& stream) {
    BmpSpec s;
    s.width = width;
    s.height = height;
    s.bit_count = rle4 ? 4 : 8;
    s.compression = rle4 ? 2 : 1;
    s.palette = TestPalette(rle4 ? 16 : 256);
    s.bits = stream;
    s.size_image = static_cast<uint32_t>(stream.size());
    return s;
}

// An exact-size heap copy of the first `n` bytes, so that AddressSanitizer reports any read past
// the data the plug-in was given.
class HeapBytes {
public:
    HeapBytes(const Bytes& src, size_t n) : m_data(new uint8_t[n]), m_size(n) {
        if (n) std::memcpy(m_data.get(), src.data(), n);
    }
    explicit HeapBytes(const Bytes& src) : HeapBytes(src, src.size()) {}
    const uint8_t* data() const { return m_data.get(); }
    const char* chars() const { return reinterpret_cast<const char*>(m_data.get()); }
    size_t size() const { return m_size; }

private:
    std::unique_ptr<uint8_t[]> m_data;
    size_t m_size;
};

}  // namespace bmp_test
