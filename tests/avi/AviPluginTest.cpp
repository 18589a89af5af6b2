// avisrc loaded as a host loads it, on AVI files made by libavformat: which frame each position
// selects, every codec, the failure table, and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../bmp/DibToRgb.h"
#include "AviFixtures.h"
#include "TestSupport.h"
#include "platform/com.h"

#if defined(_WIN32)
#include <windows.h>
#endif

using namespace avitest;
using testing_support::FreeHandle;
using testing_support::HandleBytes;

namespace {

constexpr int32_t kFailed = -99999;  // no frame came back

// Viewers set up COM on the thread that calls a plug-in; avifil32 needs it.
const platform::ComScope g_com;

// Wine's avifil32 answers FIND_KEY as if the first frame were the only key frame, and gives
// frame 0 of uncompressed streams for every sample: under Wine, avisrc returns the first frame.
bool UnderWine() {
#if defined(_WIN32)
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

class AviPlugin : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_plugin.ok) << m_plugin.error; }
    PluginModule& P() { return m_plugin.module; }

    static std::string Need(const std::string& name) {
        const std::string& path = Fixture(name);
        EXPECT_FALSE(path.empty()) << name << ": " << FixtureError(name);
        return path;
    }

    // Whether this system's AVIFile interface decodes the file's first video stream (the
    // stand-in decodes every codec of the fixtures; Windows has the codecs it has).
    bool Decodes(const std::string& path) {
        std::vector<uint8_t> dib;
        uint8_t block[60] = {'z', 'e', 'm'};
        return Get(path, block, dib) == SPI_OK;
    }

    // GetPicture on the file with a request block holding `position` (none for kNoBlock).
    int32_t Get(const std::string& path, const uint8_t* block, std::vector<uint8_t>& dib,
                bool split = false) {
        SpiHandle info = nullptr;
        SpiHandle bits = split ? nullptr : reinterpret_cast<SpiHandle>(
                                               static_cast<intptr_t>(SPI_PACKED_DIB_MARKER));
        const int32_t rc = P().GetPicture(path.c_str(), 0, SPI_SRC_FILE, &info, &bits, nullptr,
                                          reinterpret_cast<SpiUserData>(block));
        dib.clear();
        if (info) {
            dib = HandleBytes(info);
            FreeHandle(info);
        }
        if (bits) {
            const std::vector<uint8_t> rows = HandleBytes(bits);
            dib.insert(dib.end(), rows.begin(), rows.end());
            FreeHandle(bits);
        }
        return rc;
    }

    // GetPreview on the file as one packed DIB.
    int32_t Preview(const std::string& path, std::vector<uint8_t>& dib) {
        SpiHandle info = nullptr;
        SpiHandle bits = reinterpret_cast<SpiHandle>(static_cast<intptr_t>(SPI_PACKED_DIB_MARKER));
        const int32_t rc =
            P().GetPreview(path.c_str(), 0, SPI_SRC_FILE, &info, &bits, nullptr, 0);
        dib = HandleBytes(info);
        FreeHandle(info);
        return rc;
    }

    static bmp_test::RgbImage Pixels(const std::vector<uint8_t>& dib) {
        bmp_test::RgbImage image;
        EXPECT_EQ(bmp_test::DibToRgb(dib.data(), dib.size(), image), "");
        return image;
    }

    // The frame number that GetPicture returns at `position`, or kFailed.
    int32_t FrameAt(const std::string& path, int32_t position, bool with_block = true) {
        uint8_t block[60] = {'z', 'e', 'm'};
        std::memcpy(block + 52, &position, 4);
        std::vector<uint8_t> dib;
        if (Get(path, with_block ? block : nullptr, dib) != SPI_OK) return kFailed;
        return NumberOf(dib);
    }

    // The bits block of a two-handle GetPicture.
    std::vector<uint8_t> SplitRows(const std::string& path, const uint8_t* block) {
        SpiHandle info = nullptr, bits = nullptr;
        std::vector<uint8_t> rows;
        if (P().GetPicture(path.c_str(), 0, SPI_SRC_FILE, &info, &bits, nullptr,
                           reinterpret_cast<SpiUserData>(block)) == SPI_OK) {
            rows = HandleBytes(bits);
        }
        FreeHandle(info);
        FreeHandle(bits);
        return rows;
    }

    static int32_t NumberOf(const std::vector<uint8_t>& dib) {
        bmp_test::RgbImage image;
        const std::string e = bmp_test::DibToRgb(dib.data(), dib.size(), image);
        EXPECT_EQ(e, "");
        if (!e.empty()) return kFailed;
        return ReadFrameNumber(image.rgb.data(), image.width, image.height);
    }

    testing_support::LoadedPlugin m_plugin{"avisrc"};
};

struct PositionCase {
    const char* fixture;
    int32_t position;
    int32_t frame;  // kFailed: GetPicture returns 3
};

// mpeg4-gop10: 100 frames at 25 per second, key frames 0, 10, ... 90.
const PositionCase kPositions[] = {
    {"mpeg4-gop10", -1, 10},     // 1 % is frame 1; the next key frame is 10
    {"mpeg4-gop10", -10, 10},    // a key frame itself
    {"mpeg4-gop10", -50, 50},
    {"mpeg4-gop10", -55, 60},
    {"mpeg4-gop10", -91, 90},    // frame 91: no key frame after it, so the one before it
    {"mpeg4-gop10", -100, 90},   // the last frame (99), not one past it: the last key frame
    {"mpeg4-gop10", -101, 50},   // below -100 means 50 %
    {"mpeg4-gop10", INT32_MIN, 50},
    {"mpeg4-gop10", 0, 0},
    {"mpeg4-gop10", 1, 30},      // 25 frames per second: frame 25, key frame 30
    {"mpeg4-gop10", 3, 80},      // frame 75, key frame 80
    {"mpeg4-gop10", 4, kFailed},  // frame 100 lies past the end
    {"mpeg4-gop10", INT32_MAX, kFailed},
    {"rate-59-2", 10, 290},      // 29.5 frames per second counts as 29
    {"rate-59-2", 11, 319},      // 29 * 11: the last of 320 frames
    {"rate-59-2", 12, kFailed},  // 348 lies past the end
    {"ntsc", 2, 58},             // 29.97 frames per second counts as 29
    {"scale0", 5, 5},            // dwScale 0: one frame per second
    {"scale0", 12, kFailed},
    {"audio-first", -50, 50},
    {"two-video", -50, 20},      // the first video stream's frame
    {"bad-first-video", -50, kFailed},  // the second stream is never tried
    {"audio-only", -50, kFailed},
    {"one-key", -50, 0},         // only the first frame is a key frame
    {"one-key", -100, 0},
    {"one-key", 2, 0},
    {"one-key", 4, kFailed},
    {"no-index-mjpeg", -50, 20},  // no index: frames found by scanning, each a key frame
    {"no-index-mpeg4", -50, 0},   // no index: only the first frame is known to be a key frame
};

class AviPositions : public AviPlugin, public testing::WithParamInterface<PositionCase> {};

TEST_P(AviPositions, SelectsTheKeyFrame) {
    const PositionCase& c = GetParam();
    const std::string path = Need(c.fixture);
    ASSERT_FALSE(path.empty());
#if defined(_WIN32)
    // The table's files are MPEG-4 and MJPEG; under Wine there is neither decoder nor FIND_KEY.
    if (UnderWine() || !Decodes(Need("mpeg4-gop10")) || !Decodes(Need("rate-59-2"))) {
        GTEST_SKIP() << "avifil32 here decodes no MPEG-4 or MJPEG, or finds key frames as Wine";
    }
#endif
    EXPECT_EQ(FrameAt(path, c.position), c.frame) << c.fixture << " at " << c.position;
}

INSTANTIATE_TEST_SUITE_P(Table, AviPositions, testing::ValuesIn(kPositions),
                         [](const testing::TestParamInfo<PositionCase>& info) {
                             std::string name = std::string(info.param.fixture) + "_" +
                                                std::to_string(info.index);
                             for (char& ch : name) {
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             }
                             return name;
                         });

// Without a request block, or with one not tagged "zem", the position is 1 %.
TEST_F(AviPlugin, DefaultPositionIsOnePerCent) {
    const std::string path = Need("mpeg4-gop10");
    ASSERT_FALSE(path.empty());
    if (!Decodes(path)) GTEST_SKIP() << "avifil32 here has no MPEG-4 decoder";
    EXPECT_EQ(FrameAt(path, 0, false), UnderWine() ? 0 : 10);
    uint8_t untagged[60] = {'z', 'e', 'n'};
    const int32_t zero = 0;
    std::memcpy(untagged + 52, &zero, 4);
    std::vector<uint8_t> dib;
    ASSERT_EQ(Get(path, untagged, dib), SPI_OK);
    EXPECT_EQ(NumberOf(dib), UnderWine() ? 0 : 10);
}

// Every codec gives the key frame at 50 % (key frames every 5), whole and split, in the bit
// count of the default output format.
TEST_F(AviPlugin, EveryCodecWholeAndSplit) {
    for (size_t i = 0; i < kCodecCaseCount; ++i) {
        const CodecCase& c = kCodecCases[i];
        const std::string name = CodecFixtureName(c);
        SCOPED_TRACE(name);
        const std::string path = Need(name);
        if (path.empty()) continue;
#if defined(_WIN32)
        // Wine's msvfw32 (64-bit) faults inside AVIStreamGetFrameOpen on MS RLE streams and
        // leaves the process unusable.
        if (UnderWine() && std::string(c.codec) == "msrle") {
            std::printf("Wine's MS RLE decompression faults; %s not tried\n", name.c_str());
            continue;
        }
        if (!Decodes(path)) {
            std::printf("avifil32 here has no decoder for %s\n", name.c_str());
            continue;
        }
#endif
        const int frames = FixtureSpec(name).frames;
        uint8_t block[60] = {'z', 'e', 'm'};
        const int32_t position = -50;
        std::memcpy(block + 52, &position, 4);
        std::vector<uint8_t> whole, split;
        ASSERT_EQ(Get(path, block, whole), SPI_OK);
        ASSERT_EQ(Get(path, block, split, true), SPI_OK);
        ASSERT_GE(whole.size(), 40u);
        uint16_t bits = 0;
        int32_t width = 0, height = 0;
        uint32_t colors = 0;
        std::memcpy(&width, &whole[4], 4);
        std::memcpy(&height, &whole[8], 4);
        std::memcpy(&bits, &whole[14], 2);
        std::memcpy(&colors, &whole[32], 4);
        EXPECT_EQ(bits, c.bit_count);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(std::abs(height), c.height);  // stored rows keep their orientation
        // The split gives the same header and rows (each block may be longer than asked for).
        const size_t head = 40 + 4 * (colors ? colors : bits <= 8 ? 1u << bits : 0u);
        const size_t image = (static_cast<size_t>(bits) * width + 31) / 32 * 4 * std::abs(height);
        ASSERT_GE(whole.size(), head + image);
        ASSERT_GE(split.size(), head + image);
        EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(head),
                               split.begin()));
        const std::vector<uint8_t> rows = SplitRows(path, block);
        ASSERT_GE(rows.size(), image);
        EXPECT_TRUE(std::equal(rows.begin(), rows.begin() + static_cast<ptrdiff_t>(image),
                               whole.begin() + static_cast<ptrdiff_t>(head)));
        const std::vector<bool> keys = IndexKeyFrames(path);
        EXPECT_EQ(NumberOf(whole), UnderWine() ? 0 : ExpectedKeyFrame(keys, frames / 2));
    }
}

// The preview of every fixture is the key frame at or before 10 % of the first video stream
// (its first frame when none is marked there), with the very pixels that GetPicture gives for
// the same key frame.
TEST_F(AviPlugin, PreviewIsTheKeyFrameAtOrBeforeTenPerCent) {
    for (const std::string& name : FixtureNames()) {
        SCOPED_TRACE(name);
        const std::string path = Need(name);
        if (path.empty()) continue;
#if defined(_WIN32)
        // Wine's decompressor faults on MS RLE, and its avifil32 asserts on a dwScale of 0.
        if (UnderWine() && (name == "codec-msrle" || name == "scale0")) continue;
#endif
        std::vector<bool> keys = IndexKeyFrames(path);
        // Without an index, every frame of an intra-only codec counts as a key frame.
        if (name == "no-index-mjpeg") keys.assign(keys.size(), true);
        const bool pictures = Decodes(path);
#if defined(_WIN32)
        if (!pictures && !keys.empty()) continue;  // no decoder for it here
#endif
        std::vector<uint8_t> preview;
        const int32_t rc = Preview(path, preview);
        if (!pictures) {
            EXPECT_NE(rc, SPI_OK);
            continue;
        }
        ASSERT_EQ(rc, SPI_OK);
        int expected = 0;
        for (int k = static_cast<int>(keys.size()) / 10; k > 0 && !UnderWine(); --k) {
            if (keys[static_cast<size_t>(k)]) {
                expected = k;
                break;
            }
        }
        EXPECT_EQ(NumberOf(preview), expected);
        const bmp_test::RgbImage shown = Pixels(preview);
        bool compared = false;
        for (const int32_t position : {-10, 0}) {
            uint8_t block[60] = {'z', 'e', 'm'};
            std::memcpy(block + 52, &position, 4);
            std::vector<uint8_t> picture;
            if (Get(path, block, picture) == SPI_OK && NumberOf(picture) == expected) {
                const bmp_test::RgbImage same = Pixels(picture);
                EXPECT_EQ(same.width, shown.width);
                EXPECT_EQ(same.height, shown.height);
                EXPECT_TRUE(same.rgb == shown.rgb);
                compared = true;
            }
        }
        EXPECT_TRUE(compared) << "no position gives the preview's frame " << expected;
    }
}

TEST_F(AviPlugin, InformationRecord) {
    const std::string path = Need("audio-first");
    ASSERT_FALSE(path.empty());
    PictureInfoRecord r;
    std::memset(&r, 0x5A, sizeof r);
    ASSERT_EQ(P().GetPictureInfo(path.c_str(), 0, SPI_SRC_FILE, &r), SPI_OK);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 0);
    EXPECT_EQ(r.width, 64);
    EXPECT_EQ(r.height, 48);
    EXPECT_EQ(r.xDensity, 0);
    EXPECT_EQ(r.yDensity, 0);
    EXPECT_EQ(r.colorDepth, 0);
    SpiHandle info_handle = reinterpret_cast<SpiHandle>(1);
    std::memcpy(&info_handle, reinterpret_cast<const uint8_t*>(&r) + 22, sizeof info_handle);
    EXPECT_EQ(info_handle, nullptr);
    EXPECT_EQ(r.reserved[0], 0x5A);  // bytes beyond the short record stay the caller's
    // The offset in file mode is stored and never applied.
    ASSERT_EQ(P().GetPictureInfo(path.c_str(), 4096, SPI_SRC_FILE, &r), SPI_OK);
    EXPECT_EQ(r.width, 64);
    const std::string decodable = Need("codec-msvideo1");
    SpiHandle info = nullptr;
    ASSERT_EQ(P().GetPicture(decodable.c_str(), 12345, SPI_SRC_FILE, &info, nullptr, nullptr, 0),
              SPI_OK);
    FreeHandle(info);
}

TEST_F(AviPlugin, FailureTable) {
    const std::string good = Need("mpeg4-gop10");
    ASSERT_FALSE(good.empty());
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(testing_support::ReadWholeFile(good, bytes));
    const std::string dir = testing_support::MakeTempDir();
    const std::string not_avi = dir + "/not.avi";
    ASSERT_TRUE(testing_support::WriteWholeFile(not_avi, {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W',
                                                          'A', 'V', 'E'}));
    const std::string missing = dir + "/missing.avi";
    const char* mem = reinterpret_cast<const char*>(bytes.data());
    const auto len = static_cast<SpiLength>(bytes.size());

    PictureInfoRecord r;
    EXPECT_EQ(P().GetPictureInfo(good.c_str(), 0, SPI_SRC_FILE, nullptr), SPI_NOT_IMPLEMENTED);
    struct SourceCase {
        const char* what;
        const char* buffer;
        SpiLength length;
        uint32_t flag;
        int32_t result;
    };
    const SourceCase info_cases[] = {
        {"memory source", mem, len, SPI_SRC_MEMORY, SPI_NOT_IMPLEMENTED},
        {"source kind 2", good.c_str(), 0, 2, SPI_FILE_READ_ERROR},
        {"not AVI", not_avi.c_str(), 0, SPI_SRC_FILE, SPI_UNKNOWN_FORMAT},
        {"missing file", missing.c_str(), 0, SPI_SRC_FILE, SPI_UNKNOWN_FORMAT},
    };
    for (const SourceCase& c : info_cases) {
        std::memset(&r, 0x5A, sizeof r);
        EXPECT_EQ(P().GetPictureInfo(c.buffer, c.length, c.flag, &r), c.result) << c.what;
        EXPECT_EQ(r.width, 0) << c.what;
        EXPECT_EQ(r.height, 0) << c.what;
        EXPECT_EQ(r.colorDepth, 0) << c.what;
    }

    SpiHandle info = nullptr, bits = nullptr;
    EXPECT_EQ(P().GetPicture(good.c_str(), 0, SPI_SRC_FILE, nullptr, &bits, nullptr, 0),
              SPI_NOT_IMPLEMENTED);
    const SourceCase picture_cases[] = {
        {"memory source", mem, len, SPI_SRC_MEMORY, SPI_NOT_IMPLEMENTED},
        {"source kind 3", good.c_str(), 0, 3, SPI_NOT_IMPLEMENTED},
        {"not AVI", not_avi.c_str(), 0, SPI_SRC_FILE, SPI_BROKEN_DATA},
        {"missing file", missing.c_str(), 0, SPI_SRC_FILE, SPI_BROKEN_DATA},
    };
    for (const SourceCase& c : picture_cases) {
        info = bits = reinterpret_cast<SpiHandle>(1);
        EXPECT_EQ(P().GetPicture(c.buffer, c.length, c.flag, &info, &bits, nullptr, 0), c.result)
            << c.what;
        EXPECT_EQ(info, nullptr) << c.what;
        EXPECT_EQ(bits, nullptr) << c.what;
    }
    testing_support::RemoveTree(dir);
}

TEST_F(AviPlugin, HeaderTestAndInformationStrings) {
    struct HeadCase {
        const char* head;
        int32_t result;
    };
    const HeadCase heads[] = {
        {"RIFF\x10\0\0\0AVI ", 1}, {"RIFF\0\0\0\0AVIX", 1}, {"RIFF\0\0\0\0AVI\0", 1},
        {"RIFF\0\0\0\0AVJ ", 0},   {"RIFF\0\0\0\0WAVE", 0}, {"RIFX\0\0\0\0AVI ", 0},
        {"riff\0\0\0\0AVI ", 0},   {"RIFF\0\0\0\0BVI ", 0},
    };
    for (const HeadCase& h : heads) {
        std::vector<uint8_t> head(2048, 0);
        std::memcpy(head.data(), h.head, 12);
        EXPECT_EQ(P().IsSupported("x.avi", reinterpret_cast<SpiHeadWord>(head.data())), h.result)
            << h.head;
    }
    const std::string good = Need("mpeg4-gop10");
    EXPECT_EQ(P().IsSupported(good.c_str(), 0), 1);
    EXPECT_EQ(P().IsSupported("/no/such/file.avi", 0), 0);

    const char* expected[] = {"00IN", "AVI frame plug-in", "*.avi", "AVI"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(P().Info(i), expected[i]);
    char buffer[8];
    EXPECT_EQ(P().GetPluginInfo(1, buffer, 4), 3);
    EXPECT_STREQ(buffer, "AVI");
    EXPECT_EQ(P().GetPluginInfo(4, buffer, 8), 0);
    EXPECT_EQ(P().GetPluginInfo(-1, buffer, 8), 0);
    EXPECT_EQ(P().GetPreview(good.c_str(), 0, 0, nullptr, nullptr, nullptr, 0),
              SPI_NOT_IMPLEMENTED);
}

// Files cut short and files with bytes changed give a result code, never a crash (the sanitizer
// build watches for reads out of bounds and leaks).
TEST_F(AviPlugin, DamagedFilesGiveACode) {
#if defined(_WIN32)
    GTEST_SKIP() << "damaged files test our own AVIFile layer; avifil32 is the system's";
#endif
    for (const char* name : {"codec-msrle", "audio-first", "codec-mjpeg", "codec-rawvideo-8"}) {
        const std::string path = Need(name);
        if (path.empty()) continue;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(testing_support::ReadWholeFile(path, bytes));
        const std::string dir = testing_support::MakeTempDir();
        const std::string damaged = dir + "/damaged.avi";
        std::mt19937 random(7);
        std::vector<std::vector<uint8_t>> variants;
        for (size_t cut : {size_t{11}, size_t{12}, size_t{100}, size_t{400}, bytes.size() / 3,
                           bytes.size() / 2, bytes.size() - 20, bytes.size() - 1}) {
            variants.emplace_back(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(cut));
        }
        for (int i = 0; i < 24; ++i) {
            std::vector<uint8_t> v = bytes;
            for (int k = 0; k < 8; ++k) {
                // Most changes land in the headers and the index, where they matter most.
                const size_t at = (k % 2 ? random() % 600 : random() % v.size());
                v[at] = static_cast<uint8_t>(random());
            }
            variants.push_back(std::move(v));
        }
        for (const std::vector<uint8_t>& v : variants) {
            ASSERT_TRUE(testing_support::WriteWholeFile(damaged, v));
            for (int32_t position : {-50, -100, 0}) {
                std::vector<uint8_t> dib;
                uint8_t block[60] = {'z', 'e', 'm'};
                std::memcpy(block + 52, &position, 4);
                const int32_t rc = Get(damaged, block, dib);
                EXPECT_TRUE(rc == SPI_OK || rc == SPI_BROKEN_DATA) << name << ": " << rc;
            }
            PictureInfoRecord r;
            const int32_t rc = P().GetPictureInfo(damaged.c_str(), 0, SPI_SRC_FILE, &r);
            EXPECT_TRUE(rc == SPI_OK || rc == SPI_UNKNOWN_FORMAT) << name << ": " << rc;
        }
        testing_support::RemoveTree(dir);
    }
}

}  // namespace
