// Pictures that Pillow writes or reads, against Pillow's own decode of every frame
// (tests/img/pillow_oracle.py writes both): DDS of every layout and block format, ICO and CUR
// entries in the order a viewer shows them, MPO images, ICNS entries. Decode checks on each
// frame 0 that the header read agrees. Then hand-made hostile DDS files: cut, huge, damaged.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#ifndef _WIN32
#include <sys/wait.h>
#endif
#include <vector>

#include "ByteReader.h"
#include "CodecTypes.h"
#include "DamageSweep.h"
#include "ImgTestSupport.h"
#include "TestSupport.h"

namespace {

using namespace testing_support;

// BC6H: Pillow shows linear light cut to 8 bits (`want`), this system the sRGB level of the
// light; each of ours must lie within the sRGB levels of the light that Pillow's level spans.
::testing::AssertionResult ShowsPillowsLinearLevels(const img_test::Picture& got,
                                                    const std::vector<uint8_t>& want) {
    if (got.rgba.size() != want.size()) return ::testing::AssertionFailure() << "size differs";
    auto level = [](double linear) {
        const double s =
            linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
        return 255 * s;
    };
    for (size_t i = 0; i < want.size(); ++i) {
        const int p = want[i], ours = got.rgba[i];
        const double lo = i % 4 == 3 ? p : std::floor(level(p / 255.0) - 1e-3);
        const double hi = i % 4 == 3 || p == 255 ? p : std::ceil(level((p + 1) / 255.0) + 1e-3);
        if (ours < lo || ours > hi) {
            return ::testing::AssertionFailure() << "sample " << i << ": " << ours << ", Pillow's "
                                                 << p << " shows as " << lo << " to " << hi;
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(ImgPillowOracle, EveryFrameEqualsPillows) {
#ifdef _WIN32
    GTEST_SKIP() << "Pillow runs on the native build only";
#else
    const std::string dir = MakeTempDir();
    const std::string python =
        std::ifstream("/usr/bin/python3").good() ? "/usr/bin/python3" : "python3";
    const std::string command = python + " " ZEM_SOURCE_DIR "/tests/img/pillow_oracle.py " + dir;
    const int status = std::system(command.c_str());
    if (status != 0) RemoveTree(dir);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "Pillow (python3-pil) is not installed: " << command;
    }
    ASSERT_EQ(status, 0) << command;
    std::ifstream manifest(dir + "/manifest.txt");
    std::string line;
    int files = 0;
    while (std::getline(manifest, line)) {
        std::istringstream fields(line);
        std::string name;
        uint32_t width = 0, height = 0;
        int32_t frames = 0;
        int tolerance = 0;
        ASSERT_TRUE(fields >> name >> width >> height >> frames >> tolerance) << line;
        SCOPED_TRACE(name);
        ++files;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(ReadWholeFile(dir + "/" + name, bytes));
        EXPECT_EQ(uint32_t{img_test::GetInfo(bytes).record.frameCount}, uint32_t(frames));
        for (int32_t k = 0; k < frames; ++k) {
            std::vector<uint8_t> want;
            ASSERT_TRUE(ReadWholeFile(dir + "/" + name + "." + std::to_string(k) + ".rgba", want));
            const img_test::Picture got = img_test::Decode(bytes, k);
            EXPECT_EQ(got.result, 0) << "frame " << k;
            const uint32_t w = k == 0 ? width : got.width, h = k == 0 ? height : got.height;
            EXPECT_EQ(size_t{w} * h * 4, want.size()) << "frame " << k;
            EXPECT_TRUE(tolerance < 0 ? ShowsPillowsLinearLevels(got, want)
                                      : img_test::SameRgba(got, want, w, h, tolerance))
                << "frame " << k;
        }
        EXPECT_NE(img_test::Decode(bytes, frames).result, 0);
        // Cut and changed copies of the small files (directories, indexes, element lists,
        // blocks at the edges) each give a code or a picture.
        if (bytes.size() < 100000) {
            img_test::DamageSweep sweep;
            sweep.prefixes = 24;
            sweep.flips = 24;
            sweep.frame = frames - 1;
            img_test::SweepDamage(bytes, sweep);
        }
        // An icon's preview is its smallest picture with a long side of at least 160 pixels.
        if (name == "icns-png.icns") EXPECT_EQ(img_test::Preview(bytes).width, 256u);
    }
    EXPECT_GE(files, 9);
    RemoveTree(dir);
#endif
}

// A DDS header for `fourcc` (or uncompressed 32-bit BGRA when empty) and `data_bytes` of data.
std::vector<uint8_t> DdsFile(uint32_t width, uint32_t height, const char* fourcc, size_t data_bytes,
                             uint8_t fill = 0x5A) {
    std::vector<uint8_t> f(128, 0);
    std::memcpy(f.data(), "DDS ", 4);
    ByteReader::StoreU32LE(&f[4], 124);
    ByteReader::StoreU32LE(&f[12], height);
    ByteReader::StoreU32LE(&f[16], width);
    ByteReader::StoreU32LE(&f[76], 32);
    if (*fourcc) {
        ByteReader::StoreU32LE(&f[80], 4);
        std::memcpy(&f[84], fourcc, 4);
    } else {
        ByteReader::StoreU32LE(&f[80], 0x41);
        ByteReader::StoreU32LE(&f[88], 32);
        const uint32_t masks[4] = {0xFF0000, 0xFF00, 0xFF, 0xFF000000u};
        for (int i = 0; i < 4; ++i) ByteReader::StoreU32LE(&f[92 + 4 * i], masks[i]);
    }
    f.resize(f.size() + data_bytes, fill);
    return f;
}

// One BC6H block of mode 11 (one region, 10-bit endpoints (0, 100, 495) and (495, 300, 0),
// indices 0 to 15), its pixels worked out by hand from the format's unquantising and
// interpolation, as half floats shown by the rule for linear light. Then a signed block of mode 1
// whose base is -1 and whose deltas are 0: every endpoint is the base, so every pixel is black.
TEST(ImgDds, Bc6hBlockAsWorkedOut) {
    const uint8_t block[16] = {0x03, 0x00, 0x32, 0xde, 0x7b, 0x8f, 0x25, 0x00,
                               0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe};
    std::vector<uint8_t> file = DdsFile(4, 4, "DX10", 0);
    const uint8_t dx10[20] = {95, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    file.insert(file.end(), dx10, dx10 + 20);
    file.insert(file.end(), block, block + 16);
    const uint8_t rgb[16][3] = {{0, 1, 255}, {0, 1, 193},  {0, 2, 133},  {1, 2, 98},
                                {2, 3, 71},  {3, 3, 51},   {7, 5, 33},   {13, 6, 21},
                                {21, 8, 13}, {33, 11, 7},  {51, 14, 3},  {71, 17, 2},
                                {98, 21, 1}, {133, 25, 0}, {193, 31, 0}, {255, 35, 0}};
    std::vector<uint8_t> want;
    for (const auto& p : rgb) want.insert(want.end(), {p[0], p[1], p[2], 255});
    const img_test::Picture got = img_test::Decode(file);
    EXPECT_EQ(got.bit_count, 24);
    EXPECT_TRUE(img_test::SameRgba(got, want, 4, 4, 1));
    file[128] = 96;  // signed
    std::memset(&file[148], 0, 16);
    ByteReader::StoreU32LE(&file[148], 0x3FF << 5);  // mode 1's red base
    want.clear();
    for (int i = 0; i < 16; ++i) want.insert(want.end(), {0, 0, 0, 255});
    EXPECT_TRUE(img_test::SameRgba(img_test::Decode(file), want, 4, 4, 0));
}

// Huge declared sizes on little data, data one byte short of level 0, a DX10 header cut off,
// unknown codes: each a code, nothing allocated first; damaged copies give a code or a picture.
TEST(ImgDds, HostileFilesEndWithACode) {
    EXPECT_EQ(img_test::Decode(DdsFile(5, 3, "DXT5", 2 * 16)).result, 0);
    const std::vector<std::vector<uint8_t>> refused = {
        DdsFile(0x7FFFFFF0, 0x7FFFFFF0, "DXT1", 64),
        DdsFile(0xFFFFFFFF, 1, "", 64),
        DdsFile(65536, 65536, "ATI2", 1024),
        DdsFile(5, 3, "DXT5", 2 * 16 - 1),
        DdsFile(7, 3, "", 7 * 3 * 4 - 1),
        DdsFile(4, 4, "DX10", 3),
        DdsFile(4, 4, "ABCD", 64),
        DdsFile(0, 4, "DXT1", 64),
    };
    for (const std::vector<uint8_t>& f : refused) {
        EXPECT_NE(img_test::Decode(f).result, 0);
        EXPECT_NE(img_test::GetInfo(f).result, 0);
    }
    for (const char* fourcc : {"DXT1", "DXT5", "ATI2", ""}) {
        img_test::DamageSweep sweep;
        sweep.prefixes = 40;
        sweep.flips = 60;
        sweep.head_bytes = 128;
        img_test::SweepDamage(DdsFile(9, 6, fourcc, 9 * 6 * 4), sweep);
    }
}

}  // namespace
