// BmpFile's reads and the RLE decoders, driven directly.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "BmpFile.h"
#include "BmpTestUtil.h"

namespace {

using namespace bmp_test;

struct ReadResult {
    int32_t result = 0;
    bool has_dib = false;
    Bytes dib;
    int32_t width = 0, height = 0, bit_count = 0;
};

// ReadPictureFromMemory over an exact-size heap copy of the first `n` bytes.
ReadResult ReadPicture(const Bytes& data, size_t n) {
    const HeapBytes copy(data, n);
    BmpFile file;
    file.SetMemorySource(copy.data(), n);
    ReadResult r;
    r.result = file.ReadPictureFromMemory();
    SpiHandle dib = file.TakeResultDib();
    r.has_dib = dib != nullptr;
    r.dib = testing_support::HandleBytes(dib);
    testing_support::FreeHandle(dib);
    r.width = file.Width();
    r.height = file.Height();
    r.bit_count = file.BitCount();
    return r;
}

ReadResult ReadPicture(const Bytes& data) { return ReadPicture(data, data.size()); }

ReadResult ReadInfo(const Bytes& data, size_t n) {
    const HeapBytes copy(data, n);
    BmpFile file;
    file.SetMemorySource(copy.data(), n);
    ReadResult r;
    r.result = file.ReadInfoFromMemory();
    r.width = file.Width();
    r.height = file.Height();
    r.bit_count = file.BitCount();
    return r;
}

// ---- RLE decoders ----

TEST(BmpRle, Rle8DecodesRunsAbsoluteRunsAndMoves) {
    Bytes pixels(24, 0);
    const Bytes stream = Rle8Stream();
    ASSERT_TRUE(DecodeRle8(pixels.data(), 8, 3, stream.data(), stream.size()));
    EXPECT_EQ(pixels, Rle8Pixels());
}

TEST(BmpRle, Rle4DecodesNibblesHighFirst) {
    Bytes pixels(12, 0);
    const Bytes stream = Rle4Stream();
    ASSERT_TRUE(DecodeRle4(pixels.data(), 4, 3, stream.data(), stream.size()));
    EXPECT_EQ(pixels, Rle4Pixels());
}

TEST(BmpRle, DecodedDibKeepsTheFileColourTable) {
    for (bool rle4 : {false, true}) {
        SCOPED_TRACE(rle4 ? "RLE4" : "RLE8");
        const BmpSpec layout =
            rle4 ? RleSpec(8, 3, true, Rle4Stream()) : RleSpec(6, 3, false, Rle8Stream());
        const Bytes bmp = BuildBmp(layout);
        const ReadResult r = ReadPicture(bmp);
        ASSERT_EQ(r.result, SPI_OK);
        const size_t head_part = 40 + 4 * layout.palette.size();
        const Bytes pixels = rle4 ? Rle4Pixels() : Rle8Pixels();
        ASSERT_GE(r.dib.size(), head_part + pixels.size());
        // Header as read, except that the bitmap is no longer compressed.
        Bytes want_head(bmp.begin() + 14, bmp.begin() + 14 + static_cast<long>(head_part));
        SetU32(want_head, 16, 0);  // biCompression
        SetU32(want_head, 20, 0);  // biSizeImage
        EXPECT_EQ(Prefix(r.dib, head_part), want_head);
        EXPECT_EQ(Bytes(r.dib.begin() + static_cast<long>(head_part),
                        r.dib.begin() + static_cast<long>(head_part + pixels.size())),
                  pixels);
        EXPECT_EQ(r.width, layout.width);
        EXPECT_EQ(r.bit_count, layout.bit_count);
    }
}

TEST(BmpRle, SizeImageZeroReadsToTheEndOfTheData) {
    BmpSpec layout = RleSpec(6, 3, false, Rle8Stream());
    layout.size_image = 0;
    const ReadResult r = ReadPicture(BuildBmp(layout));
    ASSERT_EQ(r.result, SPI_OK);
    EXPECT_EQ(GetU32(r.dib.data() + 16), 0u);
    EXPECT_EQ(Bytes(r.dib.begin() + 1064, r.dib.begin() + 1088), Rle8Pixels());
}

struct RleCase {
    const char* name;
    bool rle4;
    int32_t width;
    int32_t height;
    Bytes stream;
};

// Names the case in messages (the raw bytes of the struct include padding).
void PrintTo(const RleCase& value, std::ostream* os) { *os << value.name; }

std::string RleCaseName(const ::testing::TestParamInfo<RleCase>& info) { return info.param.name; }

bool Decode(const RleCase& c, Bytes& pixels) {
    const size_t stride = StrideFor(c.width, c.rle4 ? 4 : 8);
    pixels.assign(stride * static_cast<size_t>(c.height), 0);
    return c.rle4 ? DecodeRle4(pixels.data(), stride, static_cast<uint64_t>(c.height),
                               c.stream.data(), c.stream.size())
                  : DecodeRle8(pixels.data(), stride, static_cast<uint64_t>(c.height),
                               c.stream.data(), c.stream.size());
}

// A write that would land outside the pixel array fails the decode; the read then hands out
// the compressed bitmap exactly as it was given.
class BmpRleOutside : public ::testing::TestWithParam<RleCase> {};

TEST_P(BmpRleOutside, FailsAndReturnsTheCompressedDib) {
    const RleCase& c = GetParam();
    Bytes pixels;
    EXPECT_FALSE(Decode(c, pixels));
    const Bytes bmp = BuildBmp(RleSpec(c.width, c.height, c.rle4, c.stream));
    const ReadResult r = ReadPicture(bmp);
    ASSERT_EQ(r.result, SPI_OK);
    EXPECT_EQ(Prefix(r.dib, DibOf(bmp).size()), DibOf(bmp));
}

INSTANTIATE_TEST_SUITE_P(
    Writes, BmpRleOutside,
    ::testing::Values(
        RleCase{"Rle8RunPastStride", false, 6, 2, RleStream().Run(9, 1).EndOfBitmap().Get()},
        RleCase{"Rle8SecondRunPastStride", false, 6, 2,
                RleStream().Run(5, 1).Run(4, 2).EndOfBitmap().Get()},
        RleCase{"Rle8AbsolutePastStride", false, 6, 2,
                RleStream().Absolute8({1, 2, 3, 4, 5, 6, 7, 8, 9}).EndOfBitmap().Get()},
        RleCase{"Rle8AfterLastRow", false, 6, 2,
                RleStream().EndOfLine().EndOfLine().Run(1, 1).Get()},
        RleCase{"Rle8DeltaBelowThenRun", false, 6, 2, RleStream().Delta(0, 5).Run(1, 1).Get()},
        RleCase{"Rle8DeltaRightThenAbsolute", false, 6, 2,
                RleStream().Delta(200, 0).Absolute8({1, 2, 3}).Get()},
        RleCase{"Rle4RunPastStride", true, 8, 2, RleStream().Run(9, 0x11).EndOfBitmap().Get()},
        RleCase{"Rle4AbsolutePastStride", true, 8, 2,
                RleStream().Absolute4({1, 2, 3, 4, 5, 6, 7, 8, 9}).Get()},
        RleCase{"Rle4AfterLastRow", true, 8, 1, RleStream().EndOfLine().Run(1, 0x10).Get()}),
    RleCaseName);

// Moves and streams that end early are not errors: the decode keeps what it wrote.
struct RleGoodCase {
    RleCase c;
    Bytes pixels;
};

// Names the case in messages (the raw bytes of the struct include padding).
void PrintTo(const RleGoodCase& value, std::ostream* os) { *os << value.c.name; }

class BmpRleEndsWell : public ::testing::TestWithParam<RleGoodCase> {};

TEST_P(BmpRleEndsWell, KeepsWhatWasDecoded) {
    const RleGoodCase& g = GetParam();
    Bytes pixels;
    ASSERT_TRUE(Decode(g.c, pixels));
    EXPECT_EQ(pixels, g.pixels);
    const ReadResult r =
        ReadPicture(BuildBmp(RleSpec(g.c.width, g.c.height, g.c.rle4, g.c.stream)));
    ASSERT_EQ(r.result, SPI_OK);
    EXPECT_EQ(GetU32(r.dib.data() + 16), 0u) << "still compressed";
    const size_t head = 40 + 4 * (g.c.rle4 ? 16 : 256);
    EXPECT_EQ(Bytes(r.dib.begin() + static_cast<long>(head),
                    r.dib.begin() + static_cast<long>(head + pixels.size())),
              g.pixels);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, BmpRleEndsWell,
    ::testing::Values(
        RleGoodCase{{"DeltaFarAwayThenEnd", false, 4, 1,
                     RleStream().Run(1, 7).Delta(255, 255).EndOfBitmap().Get()},
                    {7, 0, 0, 0}},
        RleGoodCase{{"EndOfLinesPastLastRow", false, 4, 1,
                     RleStream().Run(4, 7).EndOfLine().EndOfLine().EndOfLine().EndOfBitmap().Get()},
                    {7, 7, 7, 7}},
        RleGoodCase{
            {"DeltaPastEndThenDataEnds", false, 4, 1, RleStream().Run(2, 7).Delta(9, 9).Get()},
            {7, 7, 0, 0}},
        RleGoodCase{{"DeltaPastEndThenBareAbsoluteCode", false, 4, 1,
                     RleStream().Run(2, 7).Delta(9, 9).Put({0, 5}).Get()},
                    {7, 7, 0, 0}},
        RleGoodCase{{"Rle4DeltaPastEndThenBareAbsoluteCode", true, 8, 1,
                     RleStream().Run(2, 0x9A).Delta(40, 0).Put({0, 5}).Get()},
                    {0x9A, 0, 0, 0}},
        RleGoodCase{
            {"NoEndOfBitmap", false, 4, 2, RleStream().Run(3, 7).EndOfLine().Run(2, 9).Get()},
            {7, 7, 7, 0, 9, 9, 0, 0}},
        RleGoodCase{{"AbsoluteRunCutShort", false, 4, 1, RleStream().Put({0, 5, 1, 2}).Get()},
                    {1, 2, 0, 0}},
        RleGoodCase{{"Rle4AbsoluteRunCutShort", true, 8, 1, RleStream().Put({0, 7, 0x12}).Get()},
                    {0x12, 0, 0, 0}},
        RleGoodCase{{"DeltaCutShort", false, 4, 1, RleStream().Run(1, 3).Put({0, 2, 1}).Get()},
                    {3, 0, 0, 0}},
        RleGoodCase{{"Rle8RunFillsPadding", false, 6, 1, RleStream().Run(8, 4).EndOfBitmap().Get()},
                    {4, 4, 4, 4, 4, 4, 4, 4}},
        RleGoodCase{{"Rle4OddColumnOrsLowNibble", true, 8, 1,
                     RleStream().Run(1, 0x50).Run(3, 0x6E).EndOfBitmap().Get()},
                    {0x56, 0xE6, 0, 0}}),
    [](const ::testing::TestParamInfo<RleGoodCase>& info) {
        return std::string(info.param.c.name);
    });

TEST(BmpRle, OutputBeyondTheDecodeLimitStaysCompressed) {
    // 40000 x 40000 pixels of 8 bits would need 1.6 GB for a few bytes of RLE.
    const Bytes bmp =
        BuildBmp(RleSpec(40000, 40000, false, RleStream().Run(4, 1).EndOfBitmap().Get()));
    const ReadResult r = ReadPicture(bmp);
    ASSERT_EQ(r.result, SPI_OK);
    EXPECT_EQ(Prefix(r.dib, DibOf(bmp).size()), DibOf(bmp));
}

// ---- Plain reads ----

struct PlainCase {
    const char* name;
    BmpSpec layout;
};

// Names the case in messages (the raw bytes of the struct include padding).
void PrintTo(const PlainCase& value, std::ostream* os) { *os << value.name; }

class BmpPlainRead : public ::testing::TestWithParam<PlainCase> {};

TEST_P(BmpPlainRead, CopiesTheDibWhole) {
    const BmpSpec& layout = GetParam().layout;
    const Bytes bmp = BuildBmp(layout);
    const ReadResult r = ReadPicture(bmp);
    ASSERT_EQ(r.result, SPI_OK);
    ASSERT_GE(r.dib.size(), DibOf(bmp).size());
    EXPECT_EQ(Prefix(r.dib, DibOf(bmp).size()), DibOf(bmp));
    for (size_t i = DibOf(bmp).size(); i < r.dib.size(); ++i) ASSERT_EQ(r.dib[i], 0) << i;
    EXPECT_EQ(r.width, layout.width);
    EXPECT_EQ(r.height, layout.height);
    EXPECT_EQ(r.bit_count, layout.bit_count);

    const ReadResult info = ReadInfo(bmp, bmp.size());
    EXPECT_EQ(info.result, SPI_OK);
    EXPECT_EQ(info.width, layout.width);
    EXPECT_EQ(info.height, layout.height);
    EXPECT_EQ(info.bit_count, layout.bit_count);
}

BmpSpec WithTrailing(BmpSpec s) {
    s.trailing = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    return s;
}

BmpSpec V5Bitfields32() {
    BmpSpec s;
    s.header_size = 124;
    s.width = 2;
    s.height = 2;
    s.bit_count = 32;
    s.compression = 3;
    s.masks = {0xFF0000, 0xFF00, 0xFF};
    s.bits =
        PackRows(2, 2, 32, [](int x, int y) { return static_cast<uint32_t>(x * 0x10203 + y); });
    return s;
}

BmpSpec Pal1() {
    BmpSpec s;
    s.width = 9;
    s.height = 2;
    s.bit_count = 1;
    s.palette = {0x000000, 0xFFFFFF};
    s.bits = PackRows(9, 2, 1, [](int x, int y) { return static_cast<uint32_t>((x + y) & 1); });
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BmpPlainRead,
    ::testing::Values(
        PlainCase{"Rgb24", Rgb24Spec()}, PlainCase{"Pal8", Pal8Spec()}, PlainCase{"Pal1", Pal1()},
        PlainCase{"Bitfields16", Bitfields16Spec()}, PlainCase{"V5Bitfields32", V5Bitfields32()},
        PlainCase{"TopDown24", Rgb24Spec(3, -2)}, PlainCase{"TopDownPal8", Pal8Spec(5, -4)},
        PlainCase{"Core", CoreSpec()}, PlainCase{"TrailingBytes", WithTrailing(Rgb24Spec())},
        PlainCase{"BareDib", Bare(Pal8Spec())}, PlainCase{"BareCore", Bare(CoreSpec())}),
    [](const ::testing::TestParamInfo<PlainCase>& info) { return std::string(info.param.name); });

TEST(BmpFileRead, SixtyFourByteDibAndOneByteLess) {
    const Bytes bmp = BuildBmp(Rgb24Spec());
    ASSERT_EQ(bmp.size(), 14u + 40u + 24u);
    const ReadResult whole = ReadPicture(bmp);
    ASSERT_EQ(whole.result, SPI_OK);
    EXPECT_GE(whole.dib.size(), 64u);
    const ReadResult short_one = ReadPicture(bmp, bmp.size() - 1);
    EXPECT_EQ(short_one.result, SPI_FILE_READ_ERROR);
    EXPECT_FALSE(short_one.has_dib);
}

// ---- Data that cannot hold what it announces ----

struct BadCase {
    const char* name;
    Bytes data;
};

// Names the case in messages (the raw bytes of the struct include padding).
void PrintTo(const BadCase& value, std::ostream* os) { *os << value.name; }

BmpSpec Patched(BmpSpec s, void (*patch)(BmpSpec&)) {
    patch(s);
    return s;
}

Bytes PatchedHeader(const Bytes& bmp, size_t at, uint32_t value) {
    Bytes b = bmp;
    SetU32(b, at, value);
    return b;
}

std::vector<BadCase> BadCases() {
    const Bytes rgb = BuildBmp(Rgb24Spec());
    const Bytes pal = BuildBmp(Pal8Spec());
    return {
        {"Empty", {}},
        {"SignatureOnly", {'B', 'M'}},
        {"FileHeaderCutShort", Prefix(rgb, 13)},
        {"FileHeaderOnly", Prefix(rgb, 14)},
        {"HeaderFieldsCutShort", Prefix(rgb, 14 + 35)},
        {"OneBitmapByteShort", Prefix(rgb, rgb.size() - 1)},
        {"ZeroWidth", PatchedHeader(rgb, 18, 0)},
        {"NegativeWidth", PatchedHeader(rgb, 18, static_cast<uint32_t>(-3))},
        {"WidthIntMin", PatchedHeader(rgb, 18, 0x80000000u)},
        {"MeasuresNearTheLimit", BuildBmp(Patched(Rgb24Spec(),
                                                  [](BmpSpec& s) {
                                                      s.width = INT32_MAX;
                                                      s.height = INT32_MAX;
                                                      s.bit_count = 32;
                                                  }))},
        {"BitCountOverflow", BuildBmp(Patched(Rgb24Spec(),
                                              [](BmpSpec& s) {
                                                  s.width = INT32_MAX;
                                                  s.height = INT32_MIN;
                                                  s.bit_count = 65535;
                                              }))},
        {"HugeHeight", PatchedHeader(rgb, 22, 0x7FFFFFFF)},
        {"HugeNegativeHeight", PatchedHeader(rgb, 22, 0x80000000u)},
        {"HugeWidth", PatchedHeader(rgb, 18, 0x7FFFFFFF)},
        {"HugeClrUsed", PatchedHeader(pal, 14 + 32, 0xFFFFFFFF)},
        {"MissingColourTable", BuildBmp(Patched(Pal8Spec(), [](BmpSpec& s) { s.clr_used = 0; }))},
        {"HeaderSizeZero", PatchedHeader(rgb, 14, 0)},
        {"HeaderSizeEleven", PatchedHeader(rgb, 14, 11)},
        {"HeaderSizeThirteen", PatchedHeader(rgb, 14, 13)},
        {"HeaderSizeHuge", PatchedHeader(rgb, 14, 0xFFFFFFFF)},
        {"RleSizeImagePastData", BuildBmp(Patched(RleSpec(6, 3, false, Rle8Stream()),
                                                  [](BmpSpec& s) { s.size_image = 500; }))},
        {"CoreHeaderCutShort", Prefix(BuildBmp(CoreSpec()), 14 + 11)},
        {"CorePaletteCutShort", Prefix(BuildBmp(CoreSpec()), 14 + 12 + 700)},
        {"BareDibCutShort", Prefix(BuildBmp(Bare(Rgb24Spec())), 63)},
    };
}

class BmpRejects : public ::testing::TestWithParam<BadCase> {};

TEST_P(BmpRejects, WithFileReadErrorAndNoDib) {
    const Bytes& data = GetParam().data;
    const ReadResult r = ReadPicture(data);
    EXPECT_EQ(r.result, SPI_FILE_READ_ERROR);
    EXPECT_FALSE(r.has_dib);
    // The plug-in hands out nothing either, in both forms.
    for (Form form : {Form::OneHandle, Form::TwoHandles}) {
        const Picture p = PictureFromMemory(data, form);
        EXPECT_EQ(p.result, SPI_FILE_READ_ERROR);
        EXPECT_TRUE(p.info_null);
        EXPECT_TRUE(p.bits_null);
    }
}

INSTANTIATE_TEST_SUITE_P(Headers, BmpRejects, ::testing::ValuesIn(BadCases()),
                         [](const ::testing::TestParamInfo<BadCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- Info reads of short data ----

struct ShortInfo {
    const char* name;
    Bytes data;
    size_t needed;  // shortest length whose info read succeeds
};

// Names the case in messages (the raw bytes of the struct include padding).
void PrintTo(const ShortInfo& value, std::ostream* os) { *os << value.name; }

class BmpShortInfo : public ::testing::TestWithParam<ShortInfo> {};

TEST_P(BmpShortInfo, GivesFileReadErrorAndAZeroRecord) {
    const ShortInfo& s = GetParam();
    for (size_t n = 0; n < s.needed; ++n) {
        SCOPED_TRACE(n);
        const ReadResult r = ReadInfo(s.data, n);
        EXPECT_EQ(r.result, SPI_FILE_READ_ERROR);
        EXPECT_EQ(r.width, 0);
        EXPECT_EQ(r.height, 0);
        EXPECT_EQ(r.bit_count, 0);
        PictureInfoRecord record;
        EXPECT_EQ(InfoFromMemory(s.data, n, record), SPI_FILE_READ_ERROR);
        EXPECT_EQ(record.left, 0);
        EXPECT_EQ(record.top, 0);
        EXPECT_EQ(record.width, 0);
        EXPECT_EQ(record.height, 0);
        EXPECT_EQ(record.xDensity, 0);
        EXPECT_EQ(record.yDensity, 0);
        EXPECT_EQ(record.colorDepth, 0);
    }
    const ReadResult r = ReadInfo(s.data, s.needed);
    EXPECT_EQ(r.result, SPI_OK);
    EXPECT_NE(r.width, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, BmpShortInfo,
    ::testing::Values(ShortInfo{"InfoHeader", BuildBmp(Rgb24Spec()), 14 + 16},
                      ShortInfo{"CoreHeader", BuildBmp(CoreSpec()), 14 + 12},
                      ShortInfo{"BareInfoHeader", BuildBmp(Bare(Rgb24Spec())), 16},
                      ShortInfo{"BareCoreHeader", BuildBmp(Bare(CoreSpec())), 12}),
    [](const ::testing::TestParamInfo<ShortInfo>& info) { return std::string(info.param.name); });

TEST(BmpFileInfo, ReadsFieldsWithoutCheckingTheBitmap) {
    // Only the header is needed: the bitmap itself may be missing.
    const Bytes bmp = BuildBmp(Pal8Spec(7, -9));
    const ReadResult r = ReadInfo(bmp, 14 + 40);
    EXPECT_EQ(r.result, SPI_OK);
    EXPECT_EQ(r.width, 7);
    EXPECT_EQ(r.height, -9);
    EXPECT_EQ(r.bit_count, 8);
    const ReadResult core = ReadInfo(BuildBmp(CoreSpec()), 14 + 12);
    EXPECT_EQ(core.width, 5);
    EXPECT_EQ(core.height, 3);
    EXPECT_EQ(core.bit_count, 8);
}

}  // namespace
