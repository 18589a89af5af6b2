// imgsrc reads BMP files as BMP writers lay them out: bit-field masks inside version 2 to 5
// headers, BI_ALPHABITFIELDS, alpha masks, gaps before the rows that bfOffBits accounts for.
// Each file is built by the tests' BMP builder and checked pixel by pixel against the colours
// its masks or palette give; cut short by a byte, it fails.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "BmpBuilder.h"
#include "ImgTestSupport.h"

namespace {

using bmp_test::BmpSpec;

struct Layout {
    const char* what;
    uint32_t header_size;
    uint16_t bit_count;
    uint32_t compression;
    std::vector<uint32_t> masks;  // red, green, blue (, alpha); none for BI_RGB
    bool masks_after;
    size_t gap;
    bool top_down;
    uint16_t want_bits;
};

const Layout kLayouts[] = {
    {"V5, 32-bit ARGB", 124, 32, 3, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, false, 0, false, 32},
    {"V5, 32-bit, no alpha mask", 124, 32, 3, {0xFF0000, 0xFF00, 0xFF, 0}, false, 0, true, 24},
    {"V5, 32-bit, 10-bit channels", 124, 32, 3, {0x3FF00000, 0xFFC00, 0x3FF}, false, 0, false,
     24},
    {"V4, 32-bit BGRA order", 108, 32, 3, {0xFF00, 0xFF0000, 0xFF000000, 0xFF}, false, 0, false,
     32},
    {"V5, 16-bit 565", 124, 16, 3, {0xF800, 0x7E0, 0x1F}, false, 0, false, 24},
    {"V4, 16-bit 4444", 108, 16, 3, {0xF00, 0xF0, 0xF, 0xF000}, false, 0, true, 32},
    {"V3, 32-bit ARGB", 56, 32, 3, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, false, 0, false, 32},
    {"V2, 16-bit 555", 52, 16, 3, {0x7C00, 0x3E0, 0x1F}, false, 0, false, 24},
    {"BI_ALPHABITFIELDS after a 40-byte header", 40, 16, 6, {0xF00, 0xF0, 0xF, 0xF000}, true, 0,
     false, 32},
    {"40-byte header, masks after it", 40, 32, 3, {0xFF, 0xFF00, 0xFF0000}, true, 0, false, 24},
    {"V5, masks also after the header", 124, 32, 3, {0xFF0000, 0xFF00, 0xFF}, true, 0, false, 24},
    {"V5, 8-bit, gap before the rows", 124, 8, 0, {}, false, 6, true, 8},
    {"V5, 24-bit, gap before the rows", 124, 24, 0, {}, false, 10, false, 24},
    {"40-byte header, 4-bit, gap before the rows", 40, 4, 0, {}, false, 2, false, 4},
    {"V4, 32-bit BI_RGB", 108, 32, 0, {}, false, 0, false, 24},
    // OS/2 version 2 headers run to 64 bytes and are followed by 4-byte colour entries.
    {"OS/2 version 2, 8-bit", 64, 8, 0, {}, false, 0, false, 8},
    {"OS/2 version 2, 4-bit, gap before the rows", 64, 4, 0, {}, false, 3, true, 4},
};

uint8_t Channel(uint32_t pixel, uint32_t mask) {
    if (mask == 0) return 0;
    uint32_t shift = 0;
    while (((mask >> shift) & 1) == 0) ++shift;
    const double max = mask >> shift;
    return static_cast<uint8_t>(std::lround(((pixel & mask) >> shift) * 255.0 / max));
}

TEST(ImgBmpLayouts, WritersLayoutsDecodeToTheirColours) {
    const int width = 7, height = 5;
    const std::vector<uint32_t> palette = bmp_test::TestPalette(256);
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(l.what);
        auto pixel = [&](int x, int y) {
            const uint32_t v = (static_cast<uint32_t>(x) * 2654435761u) ^
                               (static_cast<uint32_t>(y) * 40503u * 65537u);
            return l.bit_count >= 32 ? v : v & ((1u << l.bit_count) - 1);
        };
        BmpSpec s;
        s.header_size = l.header_size;
        s.width = width;
        s.height = l.top_down ? -height : height;
        s.bit_count = l.bit_count;
        s.compression = l.compression;
        s.masks = l.masks;
        s.masks_after = l.masks_after;
        s.gap.assign(l.gap, 0xA5);
        if (l.bit_count <= 8) s.palette = bmp_test::TestPalette(size_t{1} << l.bit_count);
        s.bits = bmp_test::PackRows(width, height, l.bit_count, pixel);
        const std::vector<uint8_t> file = bmp_test::BuildBmp(s);
        const img_test::Picture got = img_test::Decode(file);
        // Rows cut short fail the decode rather than being read from elsewhere.
        EXPECT_EQ(img_test::Decode({file.begin(), file.end() - 1}).result, 2);

        std::vector<uint32_t> masks = l.masks;
        if (masks.empty()) masks = {0xFF0000, 0xFF00, 0xFF};
        if (masks.size() == 3) masks.push_back(0);
        std::vector<uint8_t> want;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const uint32_t p = pixel(x, l.top_down ? y : height - 1 - y);
                const uint32_t rgb = l.bit_count <= 8 ? palette[p] : p;
                const uint32_t colour_masks[3] = {0xFF0000, 0xFF00, 0xFF};
                for (int c = 0; c < 3; ++c) {
                    want.push_back(Channel(rgb, l.bit_count <= 8 ? colour_masks[c] : masks[c]));
                }
                want.push_back(masks[3] ? Channel(p, masks[3]) : 255);
            }
        }
        EXPECT_TRUE(img_test::SameRgba(got, want, width, height));
        EXPECT_EQ(got.bit_count, l.want_bits);
        EXPECT_EQ(got.x_ppm, 2835);
    }
}

// RLE bitmaps in every layout that imgsrc draws them from: the 40-byte header that it takes over
// as bmpsrc expands it, and the others that it expands into its own rows (top-down, a longer
// header, a gap before the stream, an OS/2 version 2 header). Row 1 of the stream holds a run
// that passes the end of the row: it is clipped, as Windows draws it.
TEST(ImgBmpLayouts, RunLengthLayoutsDrawClipped) {
    const int width = 4, height = 3;
    const struct {
        const char* what;
        uint32_t header_size;
        bool rle4;
        bool top_down;
        size_t gap;
    } kRle[] = {
        {"RLE8, 40-byte header", 40, false, false, 0},
        {"RLE4, 40-byte header", 40, true, false, 0},
        {"RLE8, top-down", 40, false, true, 0},
        {"RLE4, top-down", 40, true, true, 0},
        {"RLE8, V5", 124, false, false, 0},
        {"RLE8, gap before the stream", 40, false, false, 6},
        {"RLE4, OS/2 version 2", 64, true, false, 0},
    };
    auto index = [](int x, int stored_row) { return stored_row == 1 ? 7 : stored_row * 4 + x + 1; };
    for (const auto& r : kRle) {
        SCOPED_TRACE(r.what);
        bmp_test::RleStream stream;
        for (int row = 0; row < height; ++row) {
            if (row == 1) {
                stream.Run(6, r.rle4 ? 0x77 : 7);
            } else {
                bmp_test::Bytes values;
                for (int x = 0; x < width; ++x) values.push_back(uint8_t(index(x, row)));
                r.rle4 ? stream.Absolute4(values) : stream.Absolute8(values);
            }
            stream.EndOfLine();
        }
        BmpSpec s = bmp_test::RleSpec(width, r.top_down ? -height : height, r.rle4,
                                      stream.EndOfBitmap().Get());
        s.header_size = r.header_size;
        s.gap.assign(r.gap, 0x33);
        const img_test::Picture got = img_test::Decode(bmp_test::BuildBmp(s));
        std::vector<uint8_t> want;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const uint32_t c = s.palette[size_t(index(x, r.top_down ? y : height - 1 - y))];
                want.insert(want.end(), {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c), 255});
            }
        }
        EXPECT_TRUE(img_test::SameRgba(got, want, width, height));
        EXPECT_EQ(got.bit_count, r.rle4 ? 4 : 8);
    }
}

// Compressions that imgsrc cannot draw are refused (2) by the picture read and the header read
// alike, rather than read as plain rows: OS/2's Huffman 1D and RLE24 take the values that
// Windows headers give to BI_BITFIELDS and BI_JPEG.
TEST(ImgBmpLayouts, RefusesWhatItCannotDraw) {
    const struct {
        const char* what;
        uint32_t header_size;
        uint16_t bit_count;
        uint32_t compression;
    } kRefused[] = {
        {"OS/2 version 2, Huffman 1D", 64, 1, 3},
        {"OS/2 version 2, RLE24", 64, 24, 4},
        {"40-byte header, 1-bit BI_BITFIELDS", 40, 1, 3},
    };
    for (const auto& r : kRefused) {
        SCOPED_TRACE(r.what);
        BmpSpec s;
        s.header_size = r.header_size;
        s.width = 16;
        s.height = 4;
        s.bit_count = r.bit_count;
        s.compression = r.compression;
        if (r.bit_count <= 8) s.palette = bmp_test::TestPalette(size_t{1} << r.bit_count);
        s.bits.assign(bmp_test::StrideFor(16, r.bit_count) * 4, 0x5A);
        const std::vector<uint8_t> file = bmp_test::BuildBmp(s);
        EXPECT_EQ(img_test::Decode(file).result, 2);
        EXPECT_EQ(img_test::GetInfo(file).result, 2);
    }
}

}  // namespace
