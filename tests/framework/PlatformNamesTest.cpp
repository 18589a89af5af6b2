// File names reach the plug-ins as ANSI strings and are turned into wide names before a file is
// opened. Every name that exists on disk must still open: on POSIX any byte string (the bytes
// that are not UTF-8 travel through U+DC80..U+DCFF), on Windows any name in the ANSI code page.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
using testing_support::FreeHandle;
using testing_support::HandleBytes;
using testing_support::LoadedPlugin;

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

// A 3 x 2 24-bit BMP file with distinct pixel bytes.
std::vector<uint8_t> SmallBmp() {
    const uint32_t stride = 12;  // 9 bytes of pixels, padded to 4
    std::vector<uint8_t> f(14 + 40 + stride * 2, 0);
    f[0] = 'B';
    f[1] = 'M';
    Put32(f, 2, static_cast<uint32_t>(f.size()));
    Put32(f, 10, 54);
    Put32(f, 14, 40);
    Put32(f, 18, 3);
    Put32(f, 22, 2);
    f[26] = 1;
    f[28] = 24;
    for (size_t i = 54; i < f.size(); ++i) f[i] = static_cast<uint8_t>(i * 5 + 3);
    return f;
}

class TempFolder {
public:
    TempFolder() : m_path(testing_support::MakeTempDir()) {}
    ~TempFolder() { testing_support::RemoveTree(m_path); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// Decodes the file named `ansi_name` through every path that takes a file name, and checks that
// the picture is the one in `bmp`.
void ExpectOpensByName(const char* ansi_name, const std::vector<uint8_t>& bmp) {
    LoadedPlugin plugin("bmpsrc");
    ASSERT_TRUE(plugin.ok) << plugin.error;
    PluginModule& m = plugin.module;

    EXPECT_EQ(m.IsSupported(ansi_name, 0), 1) << "the file head was not read";

    PictureInfoRecord info;
    std::memset(&info, 0, sizeof info);
    ASSERT_EQ(m.GetPictureInfo(ansi_name, 0, SPI_SRC_FILE, &info), SPI_OK);
    EXPECT_EQ(info.width, 3);
    EXPECT_EQ(info.height, 2);
    EXPECT_EQ(info.colorDepth, 24);

    SpiHandle dib = nullptr;
    SpiHandle bits = reinterpret_cast<SpiHandle>(static_cast<intptr_t>(SPI_PACKED_DIB_MARKER));
    ASSERT_EQ(m.GetPicture(ansi_name, 0, SPI_SRC_FILE, &dib, &bits, nullptr, 0), SPI_OK);
    ASSERT_NE(dib, nullptr);
    EXPECT_EQ(bits, nullptr);
    const std::vector<uint8_t> got = HandleBytes(dib);
    FreeHandle(dib);
    const std::vector<uint8_t> want(bmp.begin() + 14, bmp.end());
    ASSERT_GE(got.size(), want.size());
    EXPECT_EQ(
        std::vector<uint8_t>(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(want.size())),
        want);
}

#if defined(_WIN32)

TEST(PlatformNames, FileNamedInTheAnsiCodePageOpens) {
    // "café.bmp": é is 0xE9 in code page 1252, the default of Western systems and of Wine.
    if (platform::AnsiToWide("caf\xE9") != L"caf\u00E9") {
        GTEST_SKIP() << "the ANSI code page is not 1252: byte 0xE9 is not U+00E9 here";
    }
    TempFolder dir;
    ASSERT_FALSE(dir.Path().empty());
    // The file is created under its wide name, independently of the conversion under test.
    const fs::path wide_path =
        fs::path(platform::AnsiToWide(dir.Path().c_str())) / L"caf\u00E9.bmp";
    const std::vector<uint8_t> bmp = SmallBmp();
    {
        std::ofstream out(wide_path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bmp.data()),
                  static_cast<std::streamsize>(bmp.size()));
        ASSERT_TRUE(out.good());
    }
    const std::string ansi_name = dir.Path() + "\\caf\xE9.bmp";
    ExpectOpensByName(ansi_name.c_str(), bmp);
}

TEST(PlatformNames, CodePageNamesRoundTrip) {
    EXPECT_EQ(platform::AnsiToWide("plain.bmp"), L"plain.bmp");
    EXPECT_EQ(platform::WideToNative(L"plain.bmp"), "plain.bmp");
    if (platform::AnsiToWide("\xE9") == L"\u00E9") {
        EXPECT_EQ(platform::WideToNative(L"caf\u00E9"), "caf\xE9");
    }
    EXPECT_EQ(platform::AnsiToWide(""), L"");
    EXPECT_EQ(platform::AnsiToWide(nullptr), L"");
}

#else

TEST(PlatformNames, FileNamedWithBytesThatAreNotUtf8Opens) {
    TempFolder dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string name = dir.Path() + "/\xFF\xFE.bmp";
    const std::vector<uint8_t> bmp = SmallBmp();
    ASSERT_TRUE(testing_support::WriteWholeFile(name, bmp));  // the bytes go to open() as they are
    ExpectOpensByName(name.c_str(), bmp);
}

TEST(PlatformNames, FileNamedInUtf8Opens) {
    TempFolder dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string name = dir.Path() + "/caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x96\xBC.bmp";
    const std::vector<uint8_t> bmp = SmallBmp();
    ASSERT_TRUE(testing_support::WriteWholeFile(name, bmp));
    ExpectOpensByName(name.c_str(), bmp);
}

TEST(PlatformNames, Utf8DecodesAndOtherBytesEscape) {
    EXPECT_EQ(platform::AnsiToWide("caf\xC3\xA9"), L"caf\u00E9");
    EXPECT_EQ(platform::AnsiToWide("\xE2\x82\xAC"), L"\u20AC");
    // A lone byte, an overlong form, an encoded surrogate and a cut sequence are not UTF-8.
    EXPECT_EQ(platform::AnsiToWide("\xFF"), std::wstring(1, static_cast<wchar_t>(0xDCFF)));
    EXPECT_EQ(platform::AnsiToWide("\xC0\xAF"),
              std::wstring({static_cast<wchar_t>(0xDCC0), static_cast<wchar_t>(0xDCAF)}));
    EXPECT_EQ(platform::AnsiToWide("\xED\xA0\x80").size(), 3u);
    EXPECT_EQ(platform::AnsiToWide("a\xE2\x82"),
              std::wstring({L'a', static_cast<wchar_t>(0xDCE2), static_cast<wchar_t>(0xDC82)}));
}

TEST(PlatformNames, EveryByteStringRoundTrips) {
    for (int b = 1; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        EXPECT_EQ(platform::WideToNative(platform::AnsiToWide(one.c_str())), one) << b;
    }
    // Random names mixing ASCII, valid sequences and stray bytes.
    std::mt19937 rng(12345);
    const std::vector<std::string> pieces = {
        "a",    "/",    ".",    "\xC3\xA9", "\xE2\x82\xAC",     "\xF0\x9F\x96\xBC",
        "\xFF", "\x80", "\xC3", "\xED\xA0", "\xF4\x90\x80\x80", "\xE0\x80"};
    for (int round = 0; round < 2000; ++round) {
        std::string name;
        const size_t n = rng() % 8 + 1;
        for (size_t i = 0; i < n; ++i) name += pieces[rng() % pieces.size()];
        ASSERT_EQ(platform::WideToNative(platform::AnsiToWide(name.c_str())), name);
    }
}

#endif

}  // namespace
