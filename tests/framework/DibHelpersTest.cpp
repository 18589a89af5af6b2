#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ByteReader.h"
#include "DibHelpers.h"

namespace {

// A BITMAPINFOHEADER-style header of `size` bytes with the fields the measures read.
std::vector<uint8_t> Header(uint32_t size, int32_t width, int32_t height, uint16_t bits,
                            uint32_t compression = BI_RGB, uint32_t size_image = 0,
                            uint32_t clr_used = 0) {
    std::vector<uint8_t> h(size < 40 ? 40 : size, 0);
    ByteReader::StoreU32LE(h.data(), size);                              // biSize
    ByteReader::StoreU32LE(h.data() + 4, static_cast<uint32_t>(width));   // biWidth
    ByteReader::StoreU32LE(h.data() + 8, static_cast<uint32_t>(height));  // biHeight
    ByteReader::StoreU16LE(h.data() + 12, 1);                            // biPlanes
    ByteReader::StoreU16LE(h.data() + 14, bits);                         // biBitCount
    ByteReader::StoreU32LE(h.data() + 16, compression);                  // biCompression
    ByteReader::StoreU32LE(h.data() + 20, size_image);                   // biSizeImage
    ByteReader::StoreU32LE(h.data() + 32, clr_used);                     // biClrUsed
    return h;
}

TEST(DibHelpers, MeasuresInfoHeaders) {
    auto rgb = Header(40, 3, 2, 24);
    EXPECT_EQ(DibRowStride(rgb.data()), 12);
    EXPECT_EQ(DibImageSize(rgb.data()), 24);
    EXPECT_EQ(DibColorTableSize(rgb.data()), 0);
    EXPECT_EQ(DibTotalSize(rgb.data()), 64);

    auto pal = Header(40, 5, 4, 8);
    EXPECT_EQ(DibRowStride(pal.data()), 8);
    EXPECT_EQ(DibImageSize(pal.data()), 32);
    EXPECT_EQ(DibColorTableSize(pal.data()), 1024);
    EXPECT_EQ(DibTotalSize(pal.data()), 1096);
    auto pal16 = Header(40, 5, 4, 8, BI_RGB, 0, 16);
    EXPECT_EQ(DibColorTableSize(pal16.data()), 64);

    EXPECT_EQ(DibColorTableSize(Header(40, 4, 4, 16, BI_BITFIELDS).data()), 12);
    EXPECT_EQ(DibColorTableSize(Header(124, 4, 4, 32, BI_BITFIELDS).data()), 12);
    EXPECT_EQ(DibImageSize(Header(40, 100, 100, 8, BI_RLE8, 500).data()), 500);
    EXPECT_EQ(DibHeaderKind(Header(108, 1, 1, 8).data()), 4);
    EXPECT_EQ(DibHeaderKind(Header(52, 1, 1, 8).data()), 0);
}

TEST(DibHelpers, ColourCountsByBitCount) {
    EXPECT_EQ(DibColorCount(Header(40, 1, 1, 1).data()), 2);
    EXPECT_EQ(DibColorCount(Header(40, 1, 1, 4).data()), 16);
    EXPECT_EQ(DibColorCount(Header(40, 1, 1, 8).data()), 256);
    for (uint16_t bits : {16, 24, 32}) EXPECT_EQ(DibColorCount(Header(40, 1, 1, bits).data()), 0);
}

TEST(DibHelpers, CoreHeadersUseTheirOwnFields) {
    std::vector<uint8_t> core(12 + 3 * 256, 0);
    ByteReader::StoreU32LE(core.data(), 12);      // bcSize
    ByteReader::StoreU16LE(core.data() + 4, 5);   // bcWidth
    ByteReader::StoreU16LE(core.data() + 6, 3);   // bcHeight
    ByteReader::StoreU16LE(core.data() + 8, 1);   // bcPlanes
    ByteReader::StoreU16LE(core.data() + 10, 8);  // bcBitCount
    DibMeasures m;
    ASSERT_TRUE(MeasureDib(core.data(), core.size(), m));
    EXPECT_EQ(m.kind, 2);
    EXPECT_EQ(m.width, 5);
    EXPECT_EQ(m.height, 3);
    EXPECT_EQ(m.color_table_size, 768u);  // 3-byte entries
    EXPECT_EQ(m.total_size, 12u + 768u + 24u);
}

TEST(DibHelpers, TopDownMeasuresWithAbsoluteHeight) {
    auto h = Header(40, 3, -2, 24);
    DibMeasures m;
    ASSERT_TRUE(MeasureDib(h.data(), h.size(), m));
    EXPECT_TRUE(m.IsTopDown());
    EXPECT_EQ(m.height, -2);
    EXPECT_EQ(m.total_size, 64u);
}

TEST(DibHelpers, RejectsUnmeasurableHeaders) {
    DibMeasures m;
    EXPECT_FALSE(MeasureDib(nullptr, 100, m));
    for (int32_t width : {0, -1, INT32_MIN}) {
        auto h = Header(40, width, 1, 24);
        EXPECT_FALSE(MeasureDib(h.data(), h.size(), m)) << width;
    }
    auto small = Header(8, 1, 1, 24);
    EXPECT_FALSE(MeasureDib(small.data(), small.size(), m));
    // Header fields past the available bytes are never read.
    auto info = Header(40, 1, 1, 24);
    EXPECT_FALSE(MeasureDib(info.data(), 35, m));
    EXPECT_TRUE(MeasureDib(info.data(), 36, m));
}

TEST(DibHelpers, LargestMeasuresDoNotWrap) {
    // 65535 bits x 2^31-1 pixels x 2^31 rows stays within 64 bits only through checked math.
    auto h = Header(40, INT32_MAX, INT32_MIN, 65535);
    DibMeasures m;
    EXPECT_FALSE(MeasureDib(h.data(), h.size(), m));
    EXPECT_EQ(DibTotalSize(h.data()), -1);
    auto big = Header(40, INT32_MAX, INT32_MAX, 32);
    ASSERT_TRUE(MeasureDib(big.data(), big.size(), m));
    EXPECT_EQ(m.stride, uint64_t{INT32_MAX} * 4);
    EXPECT_EQ(m.image_size, uint64_t{INT32_MAX} * 4 * INT32_MAX);
    auto clr = Header(40, 1, 1, 8, BI_RGB, 0, UINT32_MAX);
    ASSERT_TRUE(MeasureDib(clr.data(), clr.size(), m));
    EXPECT_EQ(m.color_table_size, uint64_t{UINT32_MAX} * 4);
}

}  // namespace

// The writer's header, measured by the reader, gives back the writer's plan.
TEST(DibHelpers, WrittenHeadersMeasureAsPlanned) {
    const struct { int32_t width, height; uint16_t bits; uint32_t colors; } cases[] = {
        {1, 1, 1, 2}, {13, 7, 4, 16}, {3, -5, 8, 256}, {641, 480, 24, 0}, {5, 3, 32, 0}};
    for (const auto& c : cases) {
        NewDibLayout plan;
        const uint64_t rows = c.height < 0 ? uint64_t(-c.height) : uint64_t(c.height);
        ASSERT_TRUE(PlanNewDib(uint64_t(c.width), rows, c.bits, c.colors, plan));
        InfoHeaderFields f;
        f.width = c.width;
        f.height = c.height;
        f.bit_count = c.bits;
        f.size_image = uint32_t(plan.image_size);
        f.colors_used = c.colors;
        std::vector<uint8_t> h(40, 0xEE);
        WriteInfoHeader(h.data(), f);
        DibMeasures m;
        ASSERT_TRUE(MeasureDib(h.data(), h.size(), m));
        EXPECT_EQ(m.stride, plan.stride);
        EXPECT_EQ(m.HeaderPartSize(), plan.header_part);
        EXPECT_EQ(m.total_size, plan.total_size);
        EXPECT_EQ(ByteReader::LoadU16LE(h.data() + 12), 1u);
        EXPECT_EQ(ByteReader::LoadU32LE(h.data() + 36), 0u);
    }
    NewDibLayout plan;
    EXPECT_FALSE(PlanNewDib(UINT32_MAX, UINT32_MAX, 32, 0, plan));  // image past 4 GiB
    EXPECT_FALSE(PlanNewDib(UINT64_MAX, 1, 24, 0, plan));
}
