// The good files of the public BMP suite, decoded through bmpsrc exactly as a host calls it,
// must show the pixels of their reference pictures.
#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "BmpTestUtil.h"
#include "DibToRgb.h"
#include "platform/platform.h"

namespace {

using namespace bmp_test;

struct CorpusFile {
    const char* bmp;
    const char* reference;  // null: compare size and decoding only
    int32_t stored_height;  // biHeight as the file stores it
    bool is_supported;      // IsSupported admits only 40-byte headers
};

// Names the case in messages (the raw bytes of the struct include padding).
void PrintTo(const CorpusFile& value, std::ostream* os) { *os << value.bmp; }

// The suite's own table of files and references (README.md beside the files).
const CorpusFile kFiles[] = {
    {"pal1.bmp", "ref-pal1.png", 64, true},
    {"pal1wb.bmp", "ref-pal1.png", 64, true},
    {"pal1bg.bmp", "ref-pal1bg.png", 64, true},
    {"pal4.bmp", "ref-pal4.png", 64, true},
    {"pal4gs.bmp", "ref-pal4gs.png", 64, true},
    {"pal4rle.bmp", "ref-pal4.png", 64, true},
    {"pal8.bmp", "ref-pal8.png", 64, true},
    {"pal8-0.bmp", "ref-pal8.png", 64, true},
    {"pal8gs.bmp", "ref-pal8gs.png", 64, true},
    {"pal8rle.bmp", "ref-pal8.png", 64, true},
    {"pal8w126.bmp", "ref-pal8w126.png", 63, true},
    {"pal8w125.bmp", "ref-pal8w125.png", 62, true},
    {"pal8w124.bmp", "ref-pal8w124.png", 61, true},
    {"pal8topdown.bmp", "ref-pal8.png", -64, true},
    {"pal8nonsquare.bmp", nullptr, 32, true},  // its reference is stretched
    {"pal8os2.bmp", "ref-pal8.png", 64, false},
    {"pal8v4.bmp", "ref-pal8.png", 64, false},
    {"pal8v5.bmp", "ref-pal8.png", 64, false},
    {"rgb16.bmp", "ref-rgb16.png", 64, true},
    {"rgb16bfdef.bmp", "ref-rgb16.png", 64, true},
    {"rgb16-565.bmp", "ref-rgb16-565.png", 64, true},
    {"rgb16-565pal.bmp", "ref-rgb16-565.png", 64, true},
    {"rgb24.bmp", "ref-rgb24.png", 64, true},
    {"rgb24pal.bmp", "ref-rgb24.png", 64, true},
    {"rgb32.bmp", "ref-rgb24.png", 64, true},
    {"rgb32bfdef.bmp", "ref-rgb24.png", 64, true},
    {"rgb32bf.bmp", "ref-rgb24.png", 64, true},
};

std::string SuiteDir(const std::string& corpus) { return corpus + "/bmpsuite-g"; }

// Describes the first differing pixel, or returns an empty string.
std::string FirstDifference(const RgbImage& got, const RgbImage& want) {
    if (got.width != want.width || got.height != want.height) {
        return "size " + std::to_string(got.width) + "x" + std::to_string(got.height) +
               ", reference " + std::to_string(want.width) + "x" + std::to_string(want.height);
    }
    for (size_t i = 0; i < got.rgb.size(); i += 3) {
        if (got.rgb[i] != want.rgb[i] || got.rgb[i + 1] != want.rgb[i + 1] ||
            got.rgb[i + 2] != want.rgb[i + 2]) {
            const size_t pixel = i / 3;
            return "pixel (" + std::to_string(pixel % static_cast<size_t>(got.width)) + ", " +
                   std::to_string(pixel / static_cast<size_t>(got.width)) + ") is " +
                   std::to_string(got.rgb[i]) + "," + std::to_string(got.rgb[i + 1]) + "," +
                   std::to_string(got.rgb[i + 2]) + ", reference " + std::to_string(want.rgb[i]) +
                   "," + std::to_string(want.rgb[i + 1]) + "," + std::to_string(want.rgb[i + 2]);
        }
    }
    return {};
}

class BmpSuite : public ::testing::TestWithParam<CorpusFile> {};

TEST_P(BmpSuite, DecodesToTheReferencePixels) {
    ZEM_REQUIRE_CORPUS(corpus);
    const CorpusFile& c = GetParam();
    const std::string path = SuiteDir(corpus) + "/" + c.bmp;
    Bytes file;
    ASSERT_TRUE(testing_support::ReadWholeFile(path, file)) << path;

    // Memory source, one handle: the decoded DIB.
    const Picture from_memory = PictureFromMemory(file);
    ASSERT_EQ(from_memory.result, SPI_OK);
    ASSERT_FALSE(from_memory.info_null);
    RgbImage got;
    const std::string error = DibToRgb(from_memory.info.data(), from_memory.info.size(), got);
    ASSERT_EQ(error, "") << c.bmp;

    // The header keeps the stored height, top-down ones included.
    const uint8_t* header = from_memory.info.data();
    if (header[0] == 12) {
        EXPECT_EQ(header[6] | (header[7] << 8), c.stored_height);
    } else {
        EXPECT_EQ(static_cast<int32_t>(GetU32(header + 8)), c.stored_height);
    }

    if (c.reference) {
        RgbImage want;
        ASSERT_EQ(ReadPngRgb(SuiteDir(corpus) + "/" + c.reference, want), "");
        EXPECT_EQ(FirstDifference(got, want), "") << c.bmp;
    } else {
        EXPECT_EQ(got.width, 127);
        EXPECT_EQ(got.height, 32);
    }

    // The file source and the two-handle form hand out the same bytes.
    // A decoded RLE bitmap is longer than the compressed one in the file.
    size_t dib_size = file.size() - 14;
    if (header[0] != 12 && GetU32(header + 16) == 0) {
        const size_t stride =
            (static_cast<size_t>(header[14]) * static_cast<size_t>(got.width) + 31) / 32 * 4;
        dib_size = std::max(
            dib_size, HeaderPartSize(from_memory.info) + stride * static_cast<size_t>(got.height));
    }
    const Bytes decoded = Prefix(from_memory.info, dib_size);
    const Picture from_file = PictureFromFile(path, 0);
    ASSERT_EQ(from_file.result, SPI_OK);
    EXPECT_EQ(Prefix(from_file.info, dib_size), decoded);
    ExpectSplit(PictureFromFile(path, 0, Form::TwoHandles), decoded, HeaderPartSize(decoded));

    PictureInfoRecord record;
    ASSERT_EQ(InfoFromFile(path, 0, record), SPI_OK);
    EXPECT_EQ(record.width, got.width);
    EXPECT_EQ(record.height, c.stored_height);

    EXPECT_EQ(Bmpsrc().IsSupported(path.c_str(), 0), c.is_supported ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Good, BmpSuite, ::testing::ValuesIn(kFiles),
                         [](const ::testing::TestParamInfo<CorpusFile>& info) {
                             std::string name = info.param.bmp;
                             name = name.substr(0, name.size() - 4);
                             for (char& ch : name) {
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             }
                             return name;
                         });

// A file added to the suite folder without a line in the table above would go untested.
TEST(BmpSuiteTable, CoversEveryFile) {
    ZEM_REQUIRE_CORPUS(corpus);
    std::vector<std::string> names;
    ASSERT_TRUE(platform::ListFiles(SuiteDir(corpus), ".bmp", names));
    std::set<std::string> listed;
    for (const CorpusFile& c : kFiles) listed.insert(c.bmp);
    for (const std::string& name : names) EXPECT_EQ(listed.count(name), 1u) << name;
    EXPECT_EQ(names.size(), std::size(kFiles));
}

}  // namespace
