// bmpsrc through its module, called exactly as a host calls it: IsSupported in both forms,
// GetPictureInfo and GetPicture over files (with offsets) and memory, in both handle forms.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "BmpTestUtil.h"

namespace {

using namespace bmp_test;

// ---- IsSupported ----

struct HeadCase {
    const char* name;
    Bytes head;
    int32_t expected;
};

// Names the case in messages (the raw bytes of the struct include padding).
void PrintTo(const HeadCase& value, std::ostream* os) { *os << value.name; }

Bytes Head(uint32_t header_size, uint16_t bit_count, char first = 'B') {
    BmpSpec s = Rgb24Spec();
    s.bit_count = bit_count;
    Bytes b = BuildBmp(s);
    SetU32(b, 14, header_size);
    b[0] = static_cast<uint8_t>(first);
    return b;
}

std::vector<HeadCase> HeadCases() {
    std::vector<HeadCase> cases;
    for (uint16_t bits : {0, 1, 4, 8, 16, 24, 32}) {
        cases.push_back({"", Head(40, bits), 1});
    }
    for (uint16_t bits : {2, 3, 15, 48, 64}) cases.push_back({"", Head(40, bits), 0});
    cases.push_back({"Core", BuildBmp(CoreSpec()), 0});
    cases.push_back({"V4", Head(108, 24), 0});
    cases.push_back({"V5", Head(124, 24), 0});
    cases.push_back({"NoSignature", Head(40, 24, 'X'), 0});
    cases.push_back({"BareDib", BuildBmp(Bare(Rgb24Spec())), 0});
    return cases;
}

class BmpIsSupported : public ::testing::TestWithParam<HeadCase> {};

TEST_P(BmpIsSupported, SameAnswerForHeadAndFile) {
    const HeadCase& c = GetParam();
    // Pointer form: the host hands the first 2 KB of the file, zero-padded.
    Bytes head(2048, 0);
    std::copy(c.head.begin(),
              c.head.begin() + static_cast<long>(std::min<size_t>(2048, c.head.size())),
              head.begin());
    const HeapBytes heap(head);
    EXPECT_EQ(Bmpsrc().IsSupported("ignored.bmp", reinterpret_cast<SpiHeadWord>(heap.data())),
              c.expected);
    // File form: the plug-in reads the head itself.
    TempDir dir;
    const std::string path = dir.File("head.bmp");
    ASSERT_TRUE(testing_support::WriteWholeFile(path, c.head));
    EXPECT_EQ(Bmpsrc().IsSupported(path.c_str(), 0), c.expected);
    EXPECT_EQ(Bmpsrc().IsSupported(path.c_str(), 0xFFFF), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Heads, BmpIsSupported, ::testing::ValuesIn(HeadCases()),
                         [](const ::testing::TestParamInfo<HeadCase>& info) {
                             std::string name = info.param.name;
                             if (name.empty()) {
                                 name = "Info" + std::to_string(info.param.head[28]) + "Bits";
                             }
                             return name + (info.param.expected ? "Taken" : "Refused");
                         });

TEST(BmpIsSupportedFile, MissingOrShortFilesAreRefused) {
    TempDir dir;
    EXPECT_EQ(Bmpsrc().IsSupported(dir.File("missing.bmp").c_str(), 0), 0);
    EXPECT_EQ(Bmpsrc().IsSupported(dir.Path().c_str(), 0), 0);  // a folder
    const std::string empty = dir.File("empty.bmp");
    ASSERT_TRUE(testing_support::WriteWholeFile(empty, {}));
    EXPECT_EQ(Bmpsrc().IsSupported(empty.c_str(), 0), 0);
    const std::string sig = dir.File("sig.bmp");
    ASSERT_TRUE(testing_support::WriteWholeFile(sig, {'B', 'M'}));
    EXPECT_EQ(Bmpsrc().IsSupported(sig.c_str(), 0), 0);
}

// ---- Reads from every source ----

struct SourceCase {
    const char* name;
    BmpSpec layout;
    size_t split_at;  // where the two-handle form cuts the packed DIB
};

// Names the case in messages (the raw bytes of the struct include padding).
void PrintTo(const SourceCase& value, std::ostream* os) { *os << value.name; }

class BmpSources : public ::testing::TestWithParam<SourceCase> {};

TEST_P(BmpSources, FileOffsetAndMemoryAgree) {
    const SourceCase& c = GetParam();
    const Bytes bmp = BuildBmp(c.layout);
    const Bytes dib = DibOf(bmp);

    const Picture mem = PictureFromMemory(bmp);
    ASSERT_EQ(mem.result, SPI_OK);
    EXPECT_TRUE(mem.bits_null);
    EXPECT_EQ(Prefix(mem.info, dib.size()), dib);

    TempDir dir;
    const std::string plain = dir.File("plain.bmp");
    ASSERT_TRUE(testing_support::WriteWholeFile(plain, bmp));
    Bytes shifted(37 + bmp.size(), 0xCC);  // some other data in front of the bitmap
    std::copy(bmp.begin(), bmp.end(), shifted.begin() + 37);
    const std::string offset_file = dir.File("offset.dat");
    ASSERT_TRUE(testing_support::WriteWholeFile(offset_file, shifted));

    for (const auto& [path, offset] :
         {std::pair{plain, SpiLength{0}}, {offset_file, SpiLength{37}}}) {
        SCOPED_TRACE(path);
        const Picture one = PictureFromFile(path, offset);
        ASSERT_EQ(one.result, SPI_OK);
        EXPECT_EQ(Prefix(one.info, dib.size()), dib);

        EXPECT_EQ(HeaderPartSize(dib), c.split_at);
        ExpectSplit(PictureFromFile(path, offset, Form::TwoHandles), dib, c.split_at);

        PictureInfoRecord record;
        ASSERT_EQ(InfoFromFile(path, offset, record), SPI_OK);
        EXPECT_EQ(record.left, 0);
        EXPECT_EQ(record.top, 0);
        EXPECT_EQ(record.width, c.layout.width);
        EXPECT_EQ(record.height, c.layout.height);
        EXPECT_EQ(record.colorDepth, c.layout.bit_count);
    }

    PictureInfoRecord record;
    ASSERT_EQ(InfoFromMemory(bmp, bmp.size(), record), SPI_OK);
    EXPECT_EQ(record.width, c.layout.width);
    EXPECT_EQ(record.height, c.layout.height);
    EXPECT_EQ(record.colorDepth, c.layout.bit_count);
    // bmpsrc hands out no information handle: those bytes stay the caller's.
    uint8_t handle_bytes[sizeof(SpiHandle)];
    std::memcpy(handle_bytes, reinterpret_cast<const uint8_t*>(&record) + 22, sizeof handle_bytes);
    for (uint8_t b : handle_bytes) EXPECT_EQ(b, 0x5A);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BmpSources,
    ::testing::Values(SourceCase{"Rgb24", Rgb24Spec(), 40},
                      SourceCase{"Pal8", Pal8Spec(5, 4, 0 + 16), 40 + 64},
                      SourceCase{"Pal8FullTable", Pal8Spec(5, 4, 256), 40 + 1024},
                      SourceCase{"Bitfields16", Bitfields16Spec(), 52},
                      SourceCase{"TopDown", Rgb24Spec(3, -2), 40},
                      SourceCase{"Core", CoreSpec(), 12 + 768}),
    [](const ::testing::TestParamInfo<SourceCase>& info) { return std::string(info.param.name); });

TEST(BmpPlugin, TopDownHeightStaysNegative) {
    const Bytes bmp = BuildBmp(Pal8Spec(5, -4));
    const Picture p = PictureFromMemory(bmp);
    ASSERT_EQ(p.result, SPI_OK);
    EXPECT_EQ(static_cast<int32_t>(GetU32(p.info.data() + 8)), -4);
    PictureInfoRecord record;
    ASSERT_EQ(InfoFromMemory(bmp, bmp.size(), record), SPI_OK);
    EXPECT_EQ(record.height, -4);
}

TEST(BmpPlugin, CoreHeaderComesBackWholeAndCorrect) {
    const Bytes bmp = BuildBmp(CoreSpec());
    const Picture p = PictureFromMemory(bmp);
    ASSERT_EQ(p.result, SPI_OK);
    ASSERT_GE(p.info.size(), bmp.size() - 14);
    EXPECT_EQ(Prefix(p.info, bmp.size() - 14), DibOf(bmp));
    PictureInfoRecord record;
    ASSERT_EQ(InfoFromMemory(bmp, bmp.size(), record), SPI_OK);
    EXPECT_EQ(record.width, 5);
    EXPECT_EQ(record.height, 3);
    EXPECT_EQ(record.colorDepth, 8);
}

TEST(BmpPlugin, TrailingBytesStayAtTheEnd) {
    BmpSpec s = Rgb24Spec();
    s.trailing = {1, 2, 3, 4, 5, 6, 7};
    const Bytes bmp = BuildBmp(s);
    const Picture p = PictureFromMemory(bmp);
    ASSERT_EQ(p.result, SPI_OK);
    EXPECT_EQ(Prefix(p.info, 71), DibOf(bmp));
    ExpectSplit(PictureFromMemory(bmp, Form::TwoHandles), DibOf(bmp), 40);
}

TEST(BmpPlugin, BarePackedDibIsCopiedUnchanged) {
    const Bytes dib = BuildBmp(Bare(Pal8Spec()));
    const Picture p = PictureFromMemory(dib);
    ASSERT_EQ(p.result, SPI_OK);
    EXPECT_EQ(Prefix(p.info, dib.size()), dib);
}

TEST(BmpPlugin, RleBitmapsArriveDecodedInBothForms) {
    const Bytes bmp = BuildBmp(RleSpec(6, 3, false, Rle8Stream()));
    const Picture two = PictureFromMemory(bmp, Form::TwoHandles);
    ASSERT_EQ(two.result, SPI_OK);
    ASSERT_GE(two.info.size(), 40u + 1024u);
    EXPECT_EQ(GetU32(two.info.data() + 16), 0u);  // biCompression
    EXPECT_EQ(Prefix(two.bits, 24), Rle8Pixels());
    // The colour table is the file's.
    EXPECT_EQ(Bytes(two.info.begin() + 40, two.info.begin() + 40 + 1024),
              Bytes(bmp.begin() + 54, bmp.begin() + 54 + 1024));

    const Bytes bmp4 = BuildBmp(RleSpec(8, 3, true, Rle4Stream()));
    const Picture one = PictureFromMemory(bmp4);
    ASSERT_EQ(one.result, SPI_OK);
    EXPECT_EQ(Bytes(one.info.begin() + 104, one.info.begin() + 116), Rle4Pixels());
}

TEST(BmpPlugin, OffsetAtOrPastTheEndIsAReadError) {
    const Bytes bmp = BuildBmp(Rgb24Spec());
    TempDir dir;
    const std::string path = dir.File("a.bmp");
    ASSERT_TRUE(testing_support::WriteWholeFile(path, bmp));
    for (SpiLength offset : {SpiLength(bmp.size()), SpiLength(bmp.size() + 5), SpiLength{1}}) {
        EXPECT_EQ(PictureFromFile(path, offset).result, SPI_FILE_READ_ERROR) << offset;
    }
    EXPECT_EQ(PictureFromFile(dir.File("missing.bmp"), 0).result, SPI_FILE_READ_ERROR);
}

}  // namespace
