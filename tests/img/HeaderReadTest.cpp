// The information read answers from the headers: over every sample and the public PNG and BMP
// suites it agrees with the picture read of frame 0 (img_test::Decode checks each one), and it
// keeps its answer when the pixel data is damaged, which a read that decoded could not.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "ImgTestSupport.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> SortedFiles(const fs::path& dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> Bytes(const fs::path& path) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(testing_support::ReadWholeFile(path.string(), bytes)) << path;
    return bytes;
}

// Decodes every file (Decode compares the header read with each picture it gets); returns how
// many decoded.
int DecodeAll(const std::vector<fs::path>& files) {
    int decoded = 0;
    for (const fs::path& path : files) {
        SCOPED_TRACE(path.string());
        const std::vector<uint8_t> bytes = Bytes(path);
        const img_test::Picture picture = img_test::Decode(bytes);
        // What cannot be read as a picture is no picture to the header read either, unless only
        // its pixel data is at fault, which the header read does not reach: PngSuite's
        // xcsn0g01.png, whose IDAT checksum is wrong, is the one such file of the suites.
        if (picture.result != 0 && path.filename() != "xcsn0g01.png") {
            EXPECT_NE(img_test::GetInfo(bytes).result, 0)
                << "the header read takes what the picture read refuses with "
                << picture.result;
        }
        decoded += picture.result == 0;
    }
    return decoded;
}

TEST(ImgHeaderRead, AgreesWithThePictureReadOverSamplesAndSuites) {
    const int samples = DecodeAll(SortedFiles(fs::path(ZEM_SOURCE_DIR) / "samples"));
    EXPECT_GE(samples, 20);  // Windows builds read fewer formats
    ZEM_REQUIRE_CORPUS(corpus);
    const int png = DecodeAll(SortedFiles(fs::path(corpus) / "pngsuite"));
    const int bmp = DecodeAll(SortedFiles(fs::path(corpus) / "bmpsuite-g"));
    EXPECT_GE(png, 150);
    EXPECT_GE(bmp, 20);
}

// The second half of each file zeroed: formats whose headers all sit in the first half answer
// as before, though the pixels (or part of them) are gone.
TEST(ImgHeaderRead, AnswersWithoutThePixelData) {
#ifdef _WIN32
    // JPEG, PNG and the like go through WIC there, and Wine's WIC decoders read the pixels when
    // the decoder is made.
    std::set<std::string> header_first = {".psd", ".qoi", ".ppm", ".tga", ".bmp", ".ico"};
#else
    std::set<std::string> header_first = {".jpg", ".png", ".jp2", ".psd",  ".qoi", ".ppm",
                                          ".tga", ".bmp", ".ico", ".avif", ".webp"};
#endif
    header_first.insert({".dds", ".pcx", ".dcx", ".sgi", ".xpm", ".xbm", ".wbmp", ".ras", ".hdr", ".pfm"});
    int checked = 0;
    for (const fs::path& path : SortedFiles(fs::path(ZEM_SOURCE_DIR) / "samples")) {
        if (!header_first.count(path.extension().string())) continue;
        SCOPED_TRACE(path.string());
        const std::vector<uint8_t> bytes = Bytes(path);
        std::vector<uint8_t> damaged = bytes;
        std::fill(damaged.begin() + static_cast<ptrdiff_t>(damaged.size() / 2), damaged.end(), 0);
        const img_test::Info whole = img_test::GetInfo(bytes);
        // A format this build does not read.
        if (whole.result != 0 && img_test::Decode(bytes).result != 0) continue;
        const img_test::Info cut = img_test::GetInfo(damaged);
        ASSERT_EQ(whole.result, 0);
        EXPECT_EQ(cut.result, 0);
        EXPECT_EQ(+cut.record.width, +whole.record.width);
        EXPECT_EQ(+cut.record.height, +whole.record.height);
        EXPECT_EQ(+cut.record.colorDepth, +whole.record.colorDepth);
        EXPECT_EQ(+cut.record.xDensity, +whole.record.xDensity);
        EXPECT_EQ(+cut.record.frameCount, +whole.record.frameCount);
        ++checked;
    }
    EXPECT_GE(checked, 6);
}

}  // namespace
