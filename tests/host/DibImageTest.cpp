#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "DibBuilder.h"
#include "DibImage.h"

namespace {

using Pixels = std::vector<uint8_t>;

// Converts a DIB held in a block of exactly its own size, so that a read past the end is caught
// by the sanitizers.
Pixels Convert(const std::vector<uint8_t>& dib, size_t expected_channels = 3) {
    std::vector<uint8_t> exact(dib);
    DibImage image;
    std::string error;
    EXPECT_TRUE(image.Load(exact.data(), exact.size(), error)) << error;
    EXPECT_EQ(image.Channels(), expected_channels);
    return image.ConvertAll();
}

TEST(DibImage, Converts24BitBottomUpRowsTopFirst) {
    // 2 x 2, rows padded from 6 to 8 bytes; the bottom row is stored first.
    auto dib = DibBuilder::Info(2, 2, 24)
                   .U8({1, 2, 3, 4, 5, 6, 0, 0})     // bottom row, BGR
                   .U8({7, 8, 9, 10, 11, 12, 0, 0})  // top row
                   .Bytes();
    EXPECT_EQ(Convert(dib), (Pixels{9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4}));
}

TEST(DibImage, Converts24BitTopDownRowsInStoredOrder) {
    auto dib = DibBuilder::Info(2, -2, 24)
                   .U8({1, 2, 3, 4, 5, 6, 0, 0})     // top row
                   .U8({7, 8, 9, 10, 11, 12, 0, 0})  // bottom row
                   .Bytes();
    EXPECT_EQ(Convert(dib), (Pixels{3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}));
}

TEST(DibImage, Converts8BitThroughShortPaletteWithBlackBeyondIt) {
    auto dib = DibBuilder::Info(3, 1, 8, BI_RGB, 3)
                   .Quad(10, 20, 30)
                   .Quad(40, 50, 60)
                   .Quad(70, 80, 90)
                   .U8({2, 0, 5, 0})  // index 5 lies beyond the three entries
                   .Bytes();
    EXPECT_EQ(Convert(dib), (Pixels{70, 80, 90, 10, 20, 30, 0, 0, 0}));
}

TEST(DibImage, Converts4BitHighNibbleFirst) {
    DibBuilder b = DibBuilder::Info(3, 1, 4);
    for (uint8_t i = 0; i < 16; ++i)
        b.Quad(static_cast<uint8_t>(i * 10), i, static_cast<uint8_t>(255 - i));
    auto dib = b.U8({0x1F, 0x20, 0, 0}).Bytes();  // pixels 1, 15, 2
    EXPECT_EQ(Convert(dib), (Pixels{10, 1, 254, 150, 15, 240, 20, 2, 253}));
}

TEST(DibImage, Converts1BitAcrossByteBoundary) {
    auto dib = DibBuilder::Info(10, 1, 1)
                   .Quad(0, 0, 0)
                   .Quad(255, 255, 255)
                   .U8({0xB0, 0x40, 0, 0})  // 1011 0000 01: pixels 0, 2, 3 and 9 are set
                   .Bytes();
    Pixels expected;
    for (int set : {1, 0, 1, 1, 0, 0, 0, 0, 0, 1}) {
        const uint8_t v = set ? 255 : 0;
        expected.insert(expected.end(), {v, v, v});
    }
    EXPECT_EQ(Convert(dib), expected);
}

TEST(DibImage, Converts16BitRgbAs555) {
    auto dib = DibBuilder::Info(4, 1, 16).U16({0x7C00, 0x03E0, 0x001F, 0x4210}).Bytes();
    // A 5-bit 16 scales to 16 * 255 / 31, rounded: 132.
    EXPECT_EQ(Convert(dib), (Pixels{255, 0, 0, 0, 255, 0, 0, 0, 255, 132, 132, 132}));
}

TEST(DibImage, Converts16BitBitFields565) {
    auto dib = DibBuilder::Info(3, 1, 16, BI_BITFIELDS)
                   .U32({0xF800, 0x07E0, 0x001F})  // red, green, blue masks
                   .U16({0xF800, 0x0400, 0xFFFF, 0})
                   .Bytes();
    // A 6-bit 32 scales to 32 * 255 / 63, rounded: 130.
    EXPECT_EQ(Convert(dib), (Pixels{255, 0, 0, 0, 130, 0, 255, 255, 255}));
}

// 32-bit BI_RGB: the fourth byte is straight alpha when any pixel sets it, else unused.
TEST(DibImage, Converts32BitRgbWithAlphaOnlyWhenAFourthByteIsSet) {
    auto opaque = DibBuilder::Info(2, 1, 32).U8({1, 2, 3, 0, 4, 5, 6, 0}).Bytes();
    EXPECT_EQ(Convert(opaque), (Pixels{3, 2, 1, 6, 5, 4}));
    auto alpha = DibBuilder::Info(2, 1, 32).U8({1, 2, 3, 0xFF, 4, 5, 6, 0}).Bytes();
    EXPECT_EQ(Convert(alpha, 4), (Pixels{3, 2, 1, 0xFF, 6, 5, 4, 0}));
}

TEST(DibImage, Converts32BitBitFieldsInAnyChannelOrder) {
    auto dib = DibBuilder::Info(1, 1, 32, BI_BITFIELDS)
                   .U32({0x000000FF, 0x0000FF00, 0x00FF0000})  // red low, blue high
                   .U32({0x00332211})
                   .Bytes();
    EXPECT_EQ(Convert(dib), (Pixels{0x11, 0x22, 0x33}));
}

TEST(DibImage, Converts32BitVersion5WithAlphaToRgba) {
    auto dib = DibBuilder::Info(2, 1, 32, BI_BITFIELDS, 0, 124)
                   .SetU32(40, 0x00FF0000)  // red mask
                   .SetU32(44, 0x0000FF00)  // green mask
                   .SetU32(48, 0x000000FF)  // blue mask
                   .SetU32(52, 0xFF000000)  // alpha mask
                   .U32({0, 0, 0})          // the 12 mask bytes the packed layout counts
                   .U32({0x80102030, 0x00FFFFFF})
                   .Bytes();
    EXPECT_EQ(Convert(dib, 4), (Pixels{0x10, 0x20, 0x30, 0x80, 255, 255, 255, 0}));
}

TEST(DibImage, Converts16BitVersion4WithAlphaToRgba) {
    auto dib = DibBuilder::Info(2, 1, 16, BI_BITFIELDS, 0, 108)
                   .SetU32(40, 0x0F00)
                   .SetU32(44, 0x00F0)
                   .SetU32(48, 0x000F)
                   .SetU32(52, 0xF000)
                   .U32({0, 0, 0})
                   .U16({0xF0F0, 0x8421})
                   .Bytes();
    // 4-bit values scale by 255 / 15: 8 -> 136, 4 -> 68, 2 -> 34, 1 -> 17.
    EXPECT_EQ(Convert(dib, 4), (Pixels{0, 255, 0, 255, 68, 34, 17, 136}));
}

TEST(DibImage, ConvertsCoreHeaderWithThreeByteEntries) {
    auto dib = DibBuilder::Core(3, 2, 1)
                   .Triple(255, 0, 0)
                   .Triple(0, 0, 255)
                   .U8({0xA0, 0, 0, 0})  // bottom row: 1 0 1
                   .U8({0x40, 0, 0, 0})  // top row: 0 1 0
                   .Bytes();
    EXPECT_EQ(Convert(dib), (Pixels{255, 0, 0, 0, 0, 255, 255, 0, 0,  //
                                    0, 0, 255, 255, 0, 0, 0, 0, 255}));
    auto rgb = DibBuilder::Core(1, 1, 24).U8({1, 2, 3, 0}).Bytes();
    EXPECT_EQ(Convert(rgb), (Pixels{3, 2, 1}));
}

TEST(DibImage, SkipsColourTableOfTrueColourDib) {
    // biClrUsed on a 24-bit DIB announces a table that the pixels follow.
    auto dib = DibBuilder::Info(1, 1, 24, BI_RGB, 2)
                   .U32({0xEEEEEEEE, 0xEEEEEEEE})
                   .U8({1, 2, 3, 0})
                   .Bytes();
    EXPECT_EQ(Convert(dib), (Pixels{3, 2, 1}));
}

TEST(DibImage, FindsRowsAfterColourTableLargerThan256Entries) {
    DibBuilder b = DibBuilder::Info(1, 1, 8, BI_RGB, 300);
    for (int i = 0; i < 300; ++i) b.Quad(static_cast<uint8_t>(i), 7, 7);
    auto dib = b.U8({200, 0, 0, 0}).Bytes();
    EXPECT_EQ(Convert(dib), (Pixels{200, 7, 7}));
}

struct Refusal {
    const char* name;
    std::vector<uint8_t> dib;
    const char* message;  // part of the error text
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> Rle8Dib(uint32_t compression, uint16_t bits) {
    DibBuilder b = DibBuilder::Info(2, 1, bits, compression, 2, 40, 4);
    return b.Quad(0, 0, 0).Quad(1, 1, 1).U8({2, 1, 0, 1}).Bytes();
}

std::vector<uint8_t> Truncated(std::vector<uint8_t> bytes, size_t n) {
    bytes.resize(n);
    return bytes;
}

std::vector<uint8_t> WithHeaderLength(std::vector<uint8_t> bytes, uint32_t length) {
    ByteReader::StoreU32LE(bytes.data(), length);
    return bytes;
}

class DibImageRefuses : public testing::TestWithParam<Refusal> {};

TEST_P(DibImageRefuses, WithClearMessage) {
    const Refusal& r = GetParam();
    std::vector<uint8_t> exact(r.dib);
    DibImage image;
    std::string error;
    EXPECT_FALSE(image.Load(exact.data(), exact.size(), error));
    EXPECT_NE(error.find(r.message), std::string::npos) << "error: " << error;
}

const std::vector<uint8_t> kRgb2x2 =
    DibBuilder::Info(2, 2, 24).U8({1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}).Bytes();

INSTANTIATE_TEST_SUITE_P(
    Dibs, DibImageRefuses,
    testing::Values(
        Refusal{"Rle8At4Bits", Rle8Dib(BI_RLE8, 4), "BI_RLE8 with 4 bits per pixel"},
        Refusal{"Rle4At8Bits", Rle8Dib(BI_RLE4, 8), "BI_RLE4 with 8 bits per pixel"},
        Refusal{"Rle8TopDown",
                DibBuilder::Info(2, -1, 8, BI_RLE8, 1, 40, 2).U32({0}).U8({0, 1}).Bytes(),
                "top-down rows"},
        Refusal{"Jpeg", Rle8Dib(BI_JPEG, 0), "embedded JPEG stream (BI_JPEG)"},
        Refusal{"Png", Rle8Dib(BI_PNG, 0), "embedded PNG stream (BI_PNG)"},
        Refusal{"UnknownCompression", DibBuilder::Info(1, 1, 24, 7).U32({0}).Bytes(),
                "unknown compression value 7"},
        Refusal{"BitCount0", DibBuilder::Info(1, 1, 0).U32({0}).Bytes(), "bit count 0"},
        Refusal{"BitCount2", DibBuilder::Info(1, 1, 2).U32({0, 0, 0, 0, 0}).Bytes(), "bit count 2"},
        Refusal{"BitCount64", DibBuilder::Info(1, 1, 64).U32({0, 0}).Bytes(), "bit count 64"},
        Refusal{"Core16Bit", DibBuilder::Core(1, 1, 16).U32({0}).Bytes(), "bit count 16"},
        Refusal{"BitFields24", DibBuilder::Info(1, 1, 24, BI_BITFIELDS).U32({1, 2, 3, 0}).Bytes(),
                "BI_BITFIELDS needs 16 or 32"},
        Refusal{"HeightZero", DibBuilder::Info(4, 0, 24).Bytes(), "no rows"},
        Refusal{"ShortByOneByte", Truncated(kRgb2x2, kRgb2x2.size() - 1),
                "shorter than the DIB it describes (56 bytes"},
        Refusal{"HugeColourTable", DibBuilder::Info(1, 1, 8, BI_RGB, 0x40000000).U32({0}).Bytes(),
                "shorter than the DIB it describes"},
        Refusal{"HeaderLength8", WithHeaderLength(kRgb2x2, 8), "below 12 bytes"},
        Refusal{"HeaderLength52", DibBuilder::Info(1, 1, 24, BI_RGB, 0, 52).U32({0}).Bytes(),
                "52 bytes is not one this host reads"},
        Refusal{"BlockShorterThanV5Header",
                Truncated(DibBuilder::Info(1, 1, 32, BI_RGB, 0, 124).U32({0}).Bytes(), 60),
                "shorter than the DIB header (124 bytes)"},
        Refusal{"WidthZero", DibBuilder::Info(0, 1, 24).U32({0}).Bytes(),
                "width 0 is not positive"},
        Refusal{"WidthNegative", DibBuilder::Info(-5, 1, 24).U32({0}).Bytes(),
                "width -5 is not positive"},
        Refusal{"MaskOutside16Bits",
                DibBuilder::Info(1, 1, 16, BI_BITFIELDS).U32({0x10000, 0x7E0, 0x1F, 0}).Bytes(),
                "mask 0x00010000 lies outside a 16-bit pixel"},
        Refusal{"MasksAllZero", DibBuilder::Info(1, 1, 32, BI_BITFIELDS).U32({0, 0, 0, 0}).Bytes(),
                "masks are all zero"},
        Refusal{"TooShortForHeaderLength", std::vector<uint8_t>{40, 0, 0}, "too short"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// Every prefix of a valid DIB is refused unless it holds the whole DIB, and no prefix leads to a
// read outside the block.
TEST(DibImage, EveryPrefixIsRefusedOrConvertedInBounds) {
    const std::vector<std::vector<uint8_t>> dibs = {
        kRgb2x2,
        DibBuilder::Info(3, 1, 8, BI_RGB, 3)
            .Quad(1, 2, 3)
            .Quad(4, 5, 6)
            .Quad(7, 8, 9)
            .U8({2, 0, 1, 0})
            .Bytes(),
        DibBuilder::Info(3, 1, 16, BI_BITFIELDS)
            .U32({0xF800, 0x07E0, 0x001F})
            .U16({1, 2, 3, 0})
            .Bytes(),
        DibBuilder::Info(2, 1, 32, BI_BITFIELDS, 0, 124)
            .SetU32(40, 0xFF)
            .SetU32(44, 0xFF00)
            .SetU32(48, 0xFF0000)
            .SetU32(52, 0xFF000000)
            .U32({0, 0, 0, 1, 2})
            .Bytes(),
        DibBuilder::Core(3, 2, 1)
            .Triple(1, 2, 3)
            .Triple(4, 5, 6)
            .U8({0xA0, 0, 0, 0, 0x40, 0, 0, 0})
            .Bytes(),
    };
    for (const auto& dib : dibs) {
        DibMeasures m;
        ASSERT_TRUE(MeasureDib(dib.data(), dib.size(), m));
        ASSERT_EQ(m.total_size, dib.size());
        for (size_t n = 0; n <= dib.size(); ++n) {
            std::vector<uint8_t> prefix(dib.begin(), dib.begin() + static_cast<std::ptrdiff_t>(n));
            DibImage image;
            std::string error;
            const bool ok = image.Load(prefix.data(), prefix.size(), error);
            EXPECT_EQ(ok, n == dib.size()) << "prefix " << n << ": " << error;
            if (ok) EXPECT_EQ(image.ConvertAll().size(), image.RowBytes() * image.Height());
        }
    }
}

// RLE pictures drawn as Windows draws them: runs, absolute stretches (with their padding), end of
// line, delta, runs clipped at the end of their row, skipped pixels at index 0, a stream that
// stops without its end mark. Colour i of the table is (10 i, i, 0); `rows` lists the indices
// from the top row down.
TEST(DibImage, DrawsRunLengthsAsWindowsDoes) {
    struct Case {
        const char* what;
        uint32_t compression;
        int32_t width, height;
        std::vector<uint8_t> stream;
        std::vector<uint8_t> rows;
    };
    const Case cases[] = {
        {"runs, end of line, absolute",
         BI_RLE8,
         3,
         2,
         {2, 5, 1, 7, 0, 0, 0, 3, 1, 2, 3, 0, 0, 1},
         {1, 2, 3, 5, 5, 7}},
        {"run past the row is clipped", BI_RLE8, 2, 2, {5, 9, 0, 0, 1, 4, 0, 1}, {4, 0, 9, 9}},
        {"absolute past the row", BI_RLE8, 2, 1, {0, 3, 6, 7, 8, 0, 0, 1}, {6, 7}},
        {"delta skips pixels", BI_RLE8, 3, 2, {0, 2, 1, 1, 1, 6, 0, 1}, {0, 6, 0, 0, 0, 0}},
        {"no end mark", BI_RLE8, 2, 1, {1, 3}, {3, 0}},
        {"rows beyond the top", BI_RLE8, 1, 1, {1, 2, 0, 0, 1, 3, 0, 1}, {2}},
        {"RLE4 run of two nibbles", BI_RLE4, 3, 1, {3, 0x12, 0, 1}, {1, 2, 1}},
        {"RLE4 absolute, then a run",
         BI_RLE4,
         4,
         1,
         {0, 3, 0x34, 0x50, 1, 0x9F, 0, 1},
         {3, 4, 5, 9}},
        {"RLE4 absolute of five, padded",
         BI_RLE4,
         6,
         1,
         {0, 5, 0x12, 0x34, 0x50, 0, 1, 0xE0, 0, 1},
         {1, 2, 3, 4, 5, 14}},
    };
    for (const Case& c : cases) {
        DibBuilder b =
            DibBuilder::Info(c.width, c.height, c.compression == BI_RLE8 ? 8 : 4, c.compression, 16,
                             40, static_cast<uint32_t>(c.stream.size()));
        for (uint8_t i = 0; i < 16; ++i) b.Quad(static_cast<uint8_t>(10 * i), i, 0);
        std::vector<uint8_t> dib = b.Bytes();
        dib.insert(dib.end(), c.stream.begin(), c.stream.end());
        DibImage image;
        std::string error;
        ASSERT_TRUE(image.Load(dib.data(), dib.size(), error)) << c.what << ": " << error;
        std::vector<uint8_t> expected;
        for (uint8_t index : c.rows) {
            expected.insert(expected.end(), {static_cast<uint8_t>(10 * index), index, 0});
        }
        EXPECT_EQ(image.ConvertAll(), expected) << c.what;
    }
}

}  // namespace
