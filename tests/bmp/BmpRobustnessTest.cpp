// Damaged input through bmpsrc: every prefix of good bitmaps, corrupted headers and RLE streams,
// the fuzz findings, and a long loop of calls for the leak checkers.
#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "BmpTestUtil.h"
#include "platform/platform.h"

int FuzzBmp(const uint8_t* data, size_t size);

namespace {

using namespace bmp_test;

struct Sample {
    const char* name;
    Bytes bmp;
};

// Names the case in messages (the raw bytes of the struct include padding).
void PrintTo(const Sample& value, std::ostream* os) { *os << value.name; }

Bytes Rle8WithoutSize() {
    BmpSpec s = RleSpec(6, 3, false, Rle8Stream());
    s.size_image = 0;
    s.clr_used = 8;
    s.palette.resize(8);
    return BuildBmp(s);
}

std::vector<Sample> Samples() {
    BmpSpec rle8 = RleSpec(6, 3, false, Rle8Stream());
    rle8.clr_used = 8;
    rle8.palette.resize(8);
    BmpSpec rle4 = RleSpec(8, 3, true, Rle4Stream());
    return {
        {"Rle8", BuildBmp(rle8)},
        {"Rle8WithoutSize", Rle8WithoutSize()},
        {"Rle4", BuildBmp(rle4)},
        {"Pal8", BuildBmp(Pal8Spec(5, 4, 16))},
        {"Rgb24", BuildBmp(Rgb24Spec(5, 3))},
        {"Bitfields16", BuildBmp(Bitfields16Spec())},
        {"Core", BuildBmp(CoreSpec())},
        {"TopDown", BuildBmp(Pal8Spec(3, -5, 4))},
        {"BareDib", BuildBmp(Bare(Rgb24Spec()))},
    };
}

// A result is either a DIB with SPI_OK or a code with both slots null.
void ExpectConsistent(const Picture& p) {
    if (p.result == SPI_OK) {
        EXPECT_FALSE(p.info_null);
    } else {
        EXPECT_TRUE(p.result == SPI_FILE_READ_ERROR || p.result == SPI_OUT_OF_MEMORY) << p.result;
        EXPECT_TRUE(p.info_null);
        EXPECT_TRUE(p.bits_null);
    }
}

class BmpTruncation : public ::testing::TestWithParam<Sample> {};

TEST_P(BmpTruncation, EveryPrefixGivesACodeOrADib) {
    const Bytes& bmp = GetParam().bmp;
    const bool sized = GetParam().bmp != Rle8WithoutSize();
    for (size_t n = 0; n <= bmp.size(); ++n) {
        SCOPED_TRACE(n);
        const Picture one = PictureFromMemory(bmp, n);
        ExpectConsistent(one);
        // A bitmap that states its length is whole or refused.
        if (sized) EXPECT_EQ(one.result, n == bmp.size() ? SPI_OK : SPI_FILE_READ_ERROR);
        ExpectConsistent(PictureFromMemory(bmp, n, Form::TwoHandles));
        PictureInfoRecord record;
        const int32_t info = InfoFromMemory(bmp, n, record);
        EXPECT_TRUE(info == SPI_OK || info == SPI_FILE_READ_ERROR) << info;
        if (info != SPI_OK) EXPECT_EQ(record.width, 0);
    }
}

TEST_P(BmpTruncation, FilePrefixesBehaveLikeMemory) {
    const Bytes& bmp = GetParam().bmp;
    TempDir dir;
    const std::string path = dir.File("cut.bmp");
    for (size_t n = 0; n <= bmp.size(); n += 7) {
        SCOPED_TRACE(n);
        ASSERT_TRUE(testing_support::WriteWholeFile(path, Prefix(bmp, n)));
        const Picture file = PictureFromFile(path, 0);
        const Picture mem = PictureFromMemory(bmp, n);
        // An empty file cannot be mapped; otherwise the two sources agree.
        EXPECT_EQ(file.result, n == 0 ? SPI_FILE_READ_ERROR : mem.result);
        EXPECT_EQ(file.info, mem.info);
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, BmpTruncation, ::testing::ValuesIn(Samples()),
                         [](const ::testing::TestParamInfo<Sample>& info) {
                             return std::string(info.param.name);
                         });

// Pixel bytes an info header announces, whatever its compression; large when unsure.
double AnnouncedPixelBytes(const Bytes& data) {
    const size_t h = data.size() > 2 && data[0] == 'B' && data[1] == 'M' ? 14 : 0;
    if (data.size() < h + 16) return 0;
    const double width = static_cast<int32_t>(GetU32(data.data() + h + 4));
    const double height = static_cast<int32_t>(GetU32(data.data() + h + 8));
    const double bits = data[h + 14] | (data[h + 15] << 8);
    return width * bits / 8 * (height < 0 ? -height : height);
}

class BmpCorruption : public ::testing::TestWithParam<Sample> {};

// Random byte changes with fixed seeds, so that a failure can be replayed.
TEST_P(BmpCorruption, RandomByteChangesNeverCrash) {
    const Bytes& bmp = GetParam().bmp;
    std::mt19937 rng(20240601u + static_cast<uint32_t>(bmp.size()));
    for (int round = 0; round < 300; ++round) {
        Bytes data = bmp;
        const uint32_t changes = 1 + rng() % 6;
        for (uint32_t i = 0; i < changes; ++i) {
            // Most changes land in the headers, where they matter most.
            const size_t span = (rng() % 4 == 0) ? data.size() : std::min<size_t>(data.size(), 70);
            data[rng() % span] = static_cast<uint8_t>(rng());
        }
        SCOPED_TRACE(round);
        // Splitting copies the whole DIB: skip that for the decoded giants damaged RLE headers
        // can announce.
        const bool split = (round & 1) && AnnouncedPixelBytes(data) < (uint64_t{64} << 20);
        ExpectConsistent(PictureFromMemory(data, split ? Form::TwoHandles : Form::OneHandle));
        PictureInfoRecord record;
        const int32_t info = InfoFromMemory(data, data.size(), record);
        EXPECT_TRUE(info == SPI_OK || info == SPI_FILE_READ_ERROR);
    }
}

// Header fields set to extremes, one at a time.
TEST_P(BmpCorruption, ExtremeHeaderFields) {
    const Bytes& bmp = GetParam().bmp;
    const size_t h = bmp[0] == 'B' ? 14 : 0;
    const bool core = GetU32(bmp.data() + h) == 12;
    struct Field {
        size_t at;
        uint32_t value;
    };
    std::vector<Field> fields = {{0, 0}, {0, 11}, {0, 13}, {0, 0xFFFFFFFF}, {0, 64}, {0, 108}};
    if (core) {
        for (uint32_t v : {0u, 0xFFFFu, 0x7FFFu}) {
            fields.push_back({4, v | (v << 16)});        // width and height together
            fields.push_back({8, 0x00010000u * v + 1});  // bcBitCount
        }
    } else {
        for (uint32_t v : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0x10000u}) {
            fields.push_back({4, v});   // biWidth
            fields.push_back({8, v});   // biHeight
            fields.push_back({20, v});  // biSizeImage
            fields.push_back({32, v});  // biClrUsed
        }
        for (uint32_t v : {0u, 1u, 2u, 3u, 4u, 5u, 99u})
            fields.push_back({16, v});  // biCompression
        for (uint32_t v : {0u, 1u, 2u, 4u, 8u, 16u, 24u, 32u, 64u, 0xFFFFu}) {
            fields.push_back({12, 1u | (v << 16)});  // biPlanes, biBitCount
        }
    }
    for (const Field& f : fields) {
        SCOPED_TRACE(std::to_string(f.at) + "=" + std::to_string(f.value));
        Bytes data = bmp;
        SetU32(data, h + f.at, f.value);
        ExpectConsistent(PictureFromMemory(data));
        ExpectConsistent(PictureFromMemory(data, Form::TwoHandles));
        PictureInfoRecord record;
        InfoFromMemory(data, data.size(), record);
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, BmpCorruption, ::testing::ValuesIn(Samples()),
                         [](const ::testing::TestParamInfo<Sample>& info) {
                             return std::string(info.param.name);
                         });

// RLE streams of random codes over a small bitmap: each decodes or comes back compressed.
TEST(BmpCorruptRle, RandomStreamsStayInBounds) {
    std::mt19937 rng(7u);
    for (int round = 0; round < 2000; ++round) {
        const bool rle4 = round & 1;
        Bytes stream(1 + rng() % 64);
        for (uint8_t& b : stream) {
            // Small values make escape codes and short runs likely.
            b = static_cast<uint8_t>(rng() % 3 == 0 ? rng() % 4 : rng());
        }
        BmpSpec layout = RleSpec(1 + static_cast<int32_t>(rng() % 9),
                               1 + static_cast<int32_t>(rng() % 5), rle4, stream);
        if (rng() % 4 == 0) layout.size_image = 0;
        const Bytes bmp = BuildBmp(layout);
        SCOPED_TRACE(round);
        const Picture p = PictureFromMemory(bmp);
        ASSERT_EQ(p.result, SPI_OK);
        const uint32_t compression = GetU32(p.info.data() + 16);
        if (compression != 0) {
            EXPECT_EQ(Prefix(p.info, bmp.size() - 14), DibOf(bmp));
        }
    }
}

// ---- Fuzz findings and seeds, through the fuzz target's own function ----

TEST(BmpFuzzFiles, RunCleanThroughTheFuzzTarget) {
    size_t count = 0;
    for (const char* sub : {"/seed", "/regress"}) {
        const std::string dir = std::string(ZEM_BMP_DATA_DIR) + sub;
        std::vector<std::string> names;
        if (!platform::ListFiles(dir, "", names)) continue;
        for (const std::string& name : names) {
            Bytes data;
            ASSERT_TRUE(testing_support::ReadWholeFile(dir + "/" + name, data));
            SCOPED_TRACE(name);
            // Every option bit, whatever the file's last byte says.
            for (uint8_t options = 0; options < 8; ++options) {
                Bytes with_options = data;
                with_options.push_back(options);
                const HeapBytes heap(with_options);
                FuzzBmp(heap.data(), heap.size());
            }
            const HeapBytes heap(data);
            FuzzBmp(heap.data(), heap.size());
            ++count;
        }
    }
    EXPECT_GT(count, 0u);
}

// ---- Leaks: thousands of calls, checked by LeakSanitizer (asan preset) or valgrind ----

TEST(BmpLeakLoop, ThousandsOfCallsFreeEverything) {
    const std::vector<Sample> samples = Samples();
    const Bytes bad = Prefix(samples[3].bmp, samples[3].bmp.size() - 1);
    const Bytes rle_fails = BuildBmp(RleSpec(6, 2, false, RleStream().Run(9, 1).Get()));
    TempDir dir;
    const std::string path = dir.File("loop.bmp");
    ASSERT_TRUE(testing_support::WriteWholeFile(path, samples[0].bmp));
    size_t calls = 0;
    for (int i = 0; i < 400; ++i) {
        for (const Sample& s : samples) {
            ASSERT_EQ(PictureFromMemory(s.bmp).result, SPI_OK);
            ASSERT_EQ(PictureFromMemory(s.bmp, Form::TwoHandles).result, SPI_OK);
            PictureInfoRecord record;
            ASSERT_EQ(InfoFromMemory(s.bmp, s.bmp.size(), record), SPI_OK);
            calls += 3;
        }
        ASSERT_EQ(PictureFromMemory(bad).result, SPI_FILE_READ_ERROR);
        ASSERT_EQ(PictureFromMemory(rle_fails, Form::TwoHandles).result, SPI_OK);
        ASSERT_EQ(PictureFromFile(path, 0).result, SPI_OK);
        ASSERT_EQ(PictureFromFile(path, 0, Form::TwoHandles).result, SPI_OK);
        PictureInfoRecord record;
        ASSERT_EQ(InfoFromFile(path, 0, record), SPI_OK);
        calls += 5;
    }
    EXPECT_GE(calls, 10000u);
}

}  // namespace
