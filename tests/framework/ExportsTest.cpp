// The request flow every plug-in shares, driven through a built module exactly as a host drives
// it: the library loaded by path, the five exports called by name. bmpsrc stands in for all.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ByteReader.h"
#include "DibHelpers.h"
#include "SPI_BASE.h"
#include "TestSupport.h"
#include "platform/platform.h"

namespace {

using testing_support::FreeHandle;
using testing_support::HandleBytes;
using testing_support::LoadedPlugin;

// A BMP file: 40-byte header, `colours` palette entries (or 3 masks for bit fields), pixel rows
// filled with a running byte pattern.
std::vector<uint8_t> MakeBmp(int32_t width, int32_t height, uint16_t bits, uint32_t colours,
                             uint32_t compression = BI_RGB) {
    uint64_t stride;
    EXPECT_TRUE(DibStrideFor(bits, static_cast<uint64_t>(width), stride));
    const uint32_t rows = static_cast<uint32_t>(height < 0 ? -height : height);
    const uint32_t entries = colours ? colours : (bits <= 8 ? 1u << bits : 0u);
    const uint32_t table = entries * 4 + (compression == BI_BITFIELDS ? 12 : 0);
    const uint32_t image = static_cast<uint32_t>(stride) * rows;
    std::vector<uint8_t> f(14 + 40 + table + image, 0);
    uint8_t* p = f.data();
    p[0] = 'B';
    p[1] = 'M';
    ByteReader::StoreU32LE(p + 2, static_cast<uint32_t>(f.size()));  // bfSize
    ByteReader::StoreU32LE(p + 10, 14 + 40 + table);                 // bfOffBits
    uint8_t* h = p + 14;
    ByteReader::StoreU32LE(h, 40);                                // biSize
    ByteReader::StoreU32LE(h + 4, static_cast<uint32_t>(width));  // biWidth
    ByteReader::StoreU32LE(h + 8, static_cast<uint32_t>(height)); // biHeight
    ByteReader::StoreU16LE(h + 12, 1);                            // biPlanes
    ByteReader::StoreU16LE(h + 14, bits);                         // biBitCount
    ByteReader::StoreU32LE(h + 16, compression);                  // biCompression
    ByteReader::StoreU32LE(h + 20, image);                        // biSizeImage
    ByteReader::StoreU32LE(h + 32, colours);                      // biClrUsed
    if (compression == BI_BITFIELDS) {
        ByteReader::StoreU32LE(h + 40, 0xF800);  // red mask
        ByteReader::StoreU32LE(h + 44, 0x07E0);  // green mask
        ByteReader::StoreU32LE(h + 48, 0x001F);  // blue mask
    }
    for (uint32_t i = 0; i < entries; ++i) h[40 + 4 * i] = static_cast<uint8_t>(i);
    for (uint32_t i = 0; i < image; ++i) h[40 + table + i] = static_cast<uint8_t>(i * 7 + 1);
    return f;
}

class Exports : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bmp.ok) << bmp.error; }
    PluginModule& M() { return bmp.module; }

    int32_t GetFromMemory(const std::vector<uint8_t>& data, SpiHandle* info, SpiHandle* bits,
                          uint32_t flag = SPI_SRC_MEMORY) {
        return M().GetPicture(reinterpret_cast<const char*>(data.data()),
                              static_cast<SpiLength>(data.size()), flag, info, bits, nullptr, 0);
    }

    LoadedPlugin bmp{"bmpsrc"};
};

TEST_F(Exports, PluginInfoCopiesCutAndZeroFill) {
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(M().GetPluginInfo(1, buf, 10), 9);
    EXPECT_STREQ(buf, "BMP to DI");
    EXPECT_EQ(buf[9], 0);
    EXPECT_EQ(M().GetPluginInfo(1, buf, sizeof buf), 24);
    EXPECT_STREQ(buf, "BMP to DIB image plug-in");
    EXPECT_EQ(M().GetPluginInfo(0, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "00IN");
    EXPECT_EQ(M().GetPluginInfo(2, buf, sizeof buf), 11);
    EXPECT_STREQ(buf, "*.bmp;*.dib");
    EXPECT_EQ(M().GetPluginInfo(3, buf, sizeof buf), 3);

    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(M().GetPluginInfo(4, buf, sizeof buf), 0);
    EXPECT_EQ(M().GetPluginInfo(-1, buf, sizeof buf), 0);
    for (char c : buf) EXPECT_EQ(c, 0);

    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(M().GetPluginInfo(1, buf, 1), 0);  // room for the terminator only
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[1], 'x');
    EXPECT_EQ(M().GetPluginInfo(1, buf, 0), 0);
    EXPECT_EQ(buf[1], 'x');
    EXPECT_EQ(M().GetPluginInfo(1, buf, -5), 0);
    EXPECT_EQ(M().GetPluginInfo(1, nullptr, 10), 0);
}

TEST_F(Exports, PreviewIsNeverOffered) {
    SpiHandle info = reinterpret_cast<SpiHandle>(uintptr_t{0x1234});
    SpiHandle bits = reinterpret_cast<SpiHandle>(uintptr_t{0x5678});
    auto bmp_file = MakeBmp(3, 2, 24, 0);
    EXPECT_EQ(M().GetPreview(reinterpret_cast<const char*>(bmp_file.data()),
                             static_cast<SpiLength>(bmp_file.size()), SPI_SRC_MEMORY, &info, &bits,
                             nullptr, 0),
              SPI_NOT_IMPLEMENTED);
    EXPECT_EQ(info, reinterpret_cast<SpiHandle>(uintptr_t{0x1234}));
    EXPECT_EQ(bits, reinterpret_cast<SpiHandle>(uintptr_t{0x5678}));
    EXPECT_EQ(M().GetPreview(nullptr, 0, 7, nullptr, nullptr, nullptr, 0), SPI_NOT_IMPLEMENTED);
}

TEST_F(Exports, MarkerAsksForOneWholeHandle) {
    auto file = MakeBmp(3, 2, 24, 0);
    const std::vector<uint8_t> dib(file.begin() + 14, file.end());
    std::vector<SpiHandle> markers = {
        reinterpret_cast<SpiHandle>(static_cast<intptr_t>(SPI_PACKED_DIB_MARKER)),
        reinterpret_cast<SpiHandle>(static_cast<uintptr_t>(static_cast<uint32_t>(-9821)))};
    for (SpiHandle marker : markers) {
        SpiHandle info = nullptr, bits = marker;
        ASSERT_EQ(GetFromMemory(file, &info, &bits), SPI_OK);
        EXPECT_EQ(bits, nullptr);
        auto got = HandleBytes(info);
        ASSERT_GE(got.size(), dib.size());
        EXPECT_TRUE(std::equal(dib.begin(), dib.end(), got.begin()));
        FreeHandle(info);
    }
    // Without a bits slot the whole DIB comes back as well.
    SpiHandle info = nullptr;
    ASSERT_EQ(GetFromMemory(file, &info, nullptr), SPI_OK);
    EXPECT_EQ(HandleBytes(info).at(4), 3);
    FreeHandle(info);
}

struct SplitCase {
    const char* name;
    uint16_t bits;
    uint32_t colours;
    uint32_t compression;
    size_t header_part;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class ExportsSplit : public Exports, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(ExportsSplit, TwoHandlesSplitAfterTheColourTable) {
    const SplitCase& c = GetParam();
    auto file = MakeBmp(5, 3, c.bits, c.colours, c.compression);
    const std::vector<uint8_t> dib(file.begin() + 14, file.end());
    for (uintptr_t slot_value : {uintptr_t{0}, uintptr_t{1}, uintptr_t{0xDEADBEEF}}) {
        SpiHandle info = nullptr, bits = reinterpret_cast<SpiHandle>(slot_value);
        ASSERT_EQ(GetFromMemory(file, &info, &bits), SPI_OK);
        ASSERT_NE(info, nullptr);
        ASSERT_NE(bits, nullptr);
        auto head = HandleBytes(info);
        auto rest = HandleBytes(bits);
        ASSERT_GE(head.size(), c.header_part);
        EXPECT_TRUE(std::equal(dib.begin(), dib.begin() + static_cast<long>(c.header_part),
                               head.begin()));
        ASSERT_GE(rest.size(), dib.size() - c.header_part);
        EXPECT_TRUE(std::equal(dib.begin() + static_cast<long>(c.header_part), dib.end(),
                               rest.begin()));
        FreeHandle(info);
        FreeHandle(bits);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ExportsSplit,
    ::testing::Values(SplitCase{"rgb24", 24, 0, BI_RGB, 40},
                      SplitCase{"pal8", 8, 0, BI_RGB, 40 + 1024},
                      SplitCase{"pal8used16", 8, 16, BI_RGB, 40 + 64},
                      SplitCase{"pal1", 1, 0, BI_RGB, 40 + 8},
                      SplitCase{"bitfields16", 16, 0, BI_BITFIELDS, 52}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Exports, SourceKindsAndMissingSlots) {
    auto file = MakeBmp(3, 2, 24, 0);
    // Only the low three bits choose the source.
    SpiHandle info = nullptr;
    EXPECT_EQ(GetFromMemory(file, &info, nullptr, 0xFFFFFF00u | SPI_SRC_MEMORY), SPI_OK);
    FreeHandle(info);

    for (uint32_t kind : {2u, 3u, 7u}) {
        SpiHandle i = reinterpret_cast<SpiHandle>(uintptr_t{0x11});
        SpiHandle b = reinterpret_cast<SpiHandle>(uintptr_t{0x22});
        EXPECT_EQ(GetFromMemory(file, &i, &b, kind), SPI_NOT_IMPLEMENTED);
        EXPECT_EQ(i, nullptr);
        EXPECT_EQ(b, nullptr);

        alignas(8) PictureInfoRecord rec;
        std::memset(&rec, 0xAB, sizeof rec);
        EXPECT_EQ(M().GetPictureInfo(reinterpret_cast<const char*>(file.data()),
                                     static_cast<SpiLength>(file.size()), kind, &rec),
                  SPI_FILE_READ_ERROR);
        EXPECT_EQ(rec.left, 0);
        EXPECT_EQ(rec.width, 0);
        EXPECT_EQ(rec.height, 0);
        EXPECT_EQ(rec.xDensity, 0);
        EXPECT_EQ(rec.colorDepth, 0);
        // Fields this plug-in does not own keep the caller's bytes.
        EXPECT_EQ(reinterpret_cast<uintptr_t>(rec.infoHandle) & 0xFF, 0xABu);
        EXPECT_EQ(rec.reserved[0], 0xAB);
        const uint32_t image_type = rec.imageType;  // packed field: copy before binding
        EXPECT_EQ(image_type, 0xABABABABu);
    }
    EXPECT_EQ(GetFromMemory(file, nullptr, nullptr), SPI_NOT_IMPLEMENTED);
    EXPECT_EQ(M().GetPictureInfo(reinterpret_cast<const char*>(file.data()),
                                 static_cast<SpiLength>(file.size()), SPI_SRC_MEMORY, nullptr),
              SPI_NOT_IMPLEMENTED);
    // A memory source without bytes, or with a negative length, has no usable data.
    SpiHandle i = nullptr;
    EXPECT_EQ(M().GetPicture(nullptr, 10, SPI_SRC_MEMORY, &i, nullptr, nullptr, 0),
              SPI_FILE_READ_ERROR);
    EXPECT_EQ(M().GetPicture(reinterpret_cast<const char*>(file.data()), -1, SPI_SRC_MEMORY, &i,
                             nullptr, nullptr, 0),
              SPI_FILE_READ_ERROR);
    EXPECT_EQ(M().GetPicture(nullptr, 0, SPI_SRC_FILE, &i, nullptr, nullptr, 0),
              SPI_FILE_READ_ERROR);
    EXPECT_EQ(i, nullptr);
}

TEST_F(Exports, FailedReadLeavesBothSlotsNull) {
    auto file = MakeBmp(3, 2, 24, 0);
    file.pop_back();  // one byte short of the bitmap
    SpiHandle info = reinterpret_cast<SpiHandle>(uintptr_t{0x11});
    SpiHandle bits = reinterpret_cast<SpiHandle>(uintptr_t{0x22});
    EXPECT_EQ(GetFromMemory(file, &info, &bits), SPI_FILE_READ_ERROR);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(bits, nullptr);
}

TEST_F(Exports, FileSourcesWithOffsets) {
    const std::string dir = testing_support::MakeTempDir();
    ASSERT_FALSE(dir.empty());
    auto bmp_file = MakeBmp(5, 3, 8, 0);
    std::vector<uint8_t> wrapped(100 + bmp_file.size(), 0x5A);
    std::copy(bmp_file.begin(), bmp_file.end(), wrapped.begin() + 100);
    const std::string plain = dir + "/plain.bmp", inner = dir + "/wrapped.bin";
    ASSERT_TRUE(testing_support::WriteWholeFile(plain, bmp_file));
    ASSERT_TRUE(testing_support::WriteWholeFile(inner, wrapped));

    SpiHandle info = nullptr, bits = nullptr;
    ASSERT_EQ(M().GetPicture(inner.c_str(), 100, SPI_SRC_FILE, &info, &bits, nullptr, 0), SPI_OK);
    auto head = HandleBytes(info);
    EXPECT_EQ(head.at(4), 5);
    FreeHandle(info);
    FreeHandle(bits);

    alignas(8) PictureInfoRecord rec{};
    EXPECT_EQ(M().GetPictureInfo(inner.c_str(), 100, SPI_SRC_FILE, &rec), SPI_OK);
    EXPECT_EQ(rec.width, 5);
    EXPECT_EQ(rec.height, 3);
    EXPECT_EQ(rec.colorDepth, 8);

    const auto size = static_cast<SpiLength>(wrapped.size());
    info = nullptr;
    EXPECT_EQ(M().GetPicture(inner.c_str(), size, SPI_SRC_FILE, &info, nullptr, nullptr, 0),
              SPI_FILE_READ_ERROR);
    EXPECT_EQ(M().GetPictureInfo(inner.c_str(), size, SPI_SRC_FILE, &rec), SPI_FILE_READ_ERROR);
    EXPECT_EQ(rec.width, 0);
    EXPECT_EQ(M().GetPicture((dir + "/missing.bmp").c_str(), 0, SPI_SRC_FILE, &info, nullptr,
                             nullptr, 0),
              SPI_FILE_READ_ERROR);
    EXPECT_EQ(info, nullptr);

    // The head test reads the named file itself when the second argument is not a pointer.
    EXPECT_EQ(M().IsSupported(plain.c_str(), 0), 1);
    EXPECT_EQ(M().IsSupported(plain.c_str(), 0xFFFF), 1);
    EXPECT_EQ(M().IsSupported(inner.c_str(), 0), 0);
    EXPECT_EQ(M().IsSupported((dir + "/missing.bmp").c_str(), 0), 0);
    std::vector<uint8_t> head_bytes(kHeadSize, 0);
    std::copy(bmp_file.begin(), bmp_file.end(), head_bytes.begin());
    EXPECT_EQ(M().IsSupported("whatever.txt", reinterpret_cast<SpiHeadWord>(head_bytes.data())), 1);
    testing_support::RemoveTree(dir);
}

// The split measures the header with the DIB helpers and never copies past the block.
TEST(SplitPackedDib, HeaderLargerThanTheBlockYieldsBrokenData) {
    SpiHandle dib = platform::MemAlloc(100, true);
    auto* p = static_cast<uint8_t*>(platform::MemLock(dib));
    ByteReader::StoreU32LE(p, 40);      // biSize
    ByteReader::StoreU32LE(p + 4, 1);   // biWidth
    ByteReader::StoreU32LE(p + 8, 1);   // biHeight
    ByteReader::StoreU16LE(p + 14, 8);  // biBitCount: 256 entries do not fit in 100 bytes
    platform::MemUnlock(dib);
    SpiHandle info = reinterpret_cast<SpiHandle>(uintptr_t{1});
    SpiHandle bits = reinterpret_cast<SpiHandle>(uintptr_t{1});
    EXPECT_EQ(SPI_BASE::SplitPackedDib(dib, &info, &bits), SPI_BROKEN_DATA);  // frees dib
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(bits, nullptr);
}

TEST(SplitPackedDib, CoreHeaderSplitsAfterThreeByteEntries) {
    const size_t total = 12 + 3 * 2 + 4 * 2;  // 1-bit, 2 entries, 2 rows of 4 bytes
    SpiHandle dib = platform::MemAlloc(total, true);
    auto* p = static_cast<uint8_t*>(platform::MemLock(dib));
    ByteReader::StoreU32LE(p, 12);      // bcSize
    ByteReader::StoreU16LE(p + 4, 3);   // bcWidth
    ByteReader::StoreU16LE(p + 6, 2);   // bcHeight
    ByteReader::StoreU16LE(p + 8, 1);   // bcPlanes
    ByteReader::StoreU16LE(p + 10, 1);  // bcBitCount
    p[18] = 0xA0;
    platform::MemUnlock(dib);
    SpiHandle info = nullptr, bits = nullptr;
    ASSERT_EQ(SPI_BASE::SplitPackedDib(dib, &info, &bits), SPI_OK);
    EXPECT_GE(platform::MemSize(info), 18u);
    EXPECT_EQ(HandleBytes(bits).at(0), 0xA0);
    FreeHandle(info);
    FreeHandle(bits);
}

}  // namespace

namespace {

TEST(SplitPackedDib, EmptyPictureSplitsIntoHeaderAndNoBits) {
    // An empty GIF image comes back as a DIB of width 0: it splits like any other.
    const size_t total = 40 + 4 * 2;
    SpiHandle dib = platform::MemAlloc(total, true);
    auto* p = static_cast<uint8_t*>(platform::MemLock(dib));
    ByteReader::StoreU32LE(p, 40);     // biSize
    ByteReader::StoreU32LE(p + 8, 3);  // biHeight, with biWidth 0
    ByteReader::StoreU16LE(p + 14, 1); // biBitCount
    platform::MemUnlock(dib);
    SpiHandle info = nullptr, bits = nullptr;
    ASSERT_EQ(SPI_BASE::SplitPackedDib(dib, &info, &bits), SPI_OK);
    EXPECT_GE(platform::MemSize(info), 48u);
    EXPECT_NE(bits, nullptr);
    FreeHandle(info);
    FreeHandle(bits);
    // A negative width is never measured.
    dib = platform::MemAlloc(total, true);
    p = static_cast<uint8_t*>(platform::MemLock(dib));
    ByteReader::StoreU32LE(p, 40);
    ByteReader::StoreU32LE(p + 4, 0xFFFFFFFF);
    platform::MemUnlock(dib);
    EXPECT_EQ(SPI_BASE::SplitPackedDib(dib, &info, &bits), SPI_BROKEN_DATA);
}

}  // namespace
