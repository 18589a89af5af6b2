// Hand-built packed DIBs for the host tests: a header of the chosen kind, then whatever colour
// table, masks and rows the test appends, byte by byte.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "ByteReader.h"
#include "DibHelpers.h"

class DibBuilder {
public:
    // A BITMAPINFOHEADER (40 bytes), or a version 4 (108) or 5 (124) header of the same fields.
    static DibBuilder Info(int32_t width, int32_t height, uint16_t bits,
                           uint32_t compression = BI_RGB, uint32_t clr_used = 0,
                           uint32_t header_size = 40, uint32_t size_image = 0) {
        DibBuilder b;
        b.m_bytes.assign(header_size, 0);
        uint8_t* h = b.m_bytes.data();
        ByteReader::StoreU32LE(h, header_size);                        // biSize
        ByteReader::StoreU32LE(h + 4, static_cast<uint32_t>(width));   // biWidth
        ByteReader::StoreU32LE(h + 8, static_cast<uint32_t>(height));  // biHeight
        ByteReader::StoreU16LE(h + 12, 1);                             // biPlanes
        ByteReader::StoreU16LE(h + 14, bits);                          // biBitCount
        ByteReader::StoreU32LE(h + 16, compression);                   // biCompression
        ByteReader::StoreU32LE(h + 20, size_image);                    // biSizeImage
        ByteReader::StoreU32LE(h + 32, clr_used);                      // biClrUsed
        return b;
    }
    // A BITMAPCOREHEADER (12 bytes): 16-bit width and height, no compression.
    static DibBuilder Core(uint16_t width, uint16_t height, uint16_t bits) {
        DibBuilder b;
        b.m_bytes.assign(12, 0);
        uint8_t* h = b.m_bytes.data();
        ByteReader::StoreU32LE(h, 12);          // bcSize
        ByteReader::StoreU16LE(h + 4, width);   // bcWidth
        ByteReader::StoreU16LE(h + 6, height);  // bcHeight
        ByteReader::StoreU16LE(h + 8, 1);       // bcPlanes
        ByteReader::StoreU16LE(h + 10, bits);   // bcBitCount
        return b;
    }

    // Overwrites a 32-bit field of the header (masks inside a version 4 or 5 header).
    DibBuilder& SetU32(size_t offset, uint32_t value) {
        ByteReader::StoreU32LE(m_bytes.data() + offset, value);
        return *this;
    }
    DibBuilder& U8(std::initializer_list<uint8_t> values) {
        m_bytes.insert(m_bytes.end(), values.begin(), values.end());
        return *this;
    }
    DibBuilder& U16(std::initializer_list<uint16_t> values) {
        for (uint16_t v : values) U8({static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)});
        return *this;
    }
    DibBuilder& U32(std::initializer_list<uint32_t> values) {
        for (uint32_t v : values) {
            U8({static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)});
        }
        return *this;
    }
    // One RGBQUAD colour-table entry, given as red, green, blue.
    DibBuilder& Quad(uint8_t r, uint8_t g, uint8_t b) { return U8({b, g, r, 0}); }
    // One RGBTRIPLE entry of a core colour table.
    DibBuilder& Triple(uint8_t r, uint8_t g, uint8_t b) { return U8({b, g, r}); }

    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};
