// dshowsrc loaded as a host loads it, on clips made by the tests: which frame each position
// selects, the information record, the two handle forms and the sources it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "DshowClips.h"
#include "TestSupport.h"

using cliptest::ClipPath;
using cliptest::FrameShownAt;
using cliptest::NamedClip;
using cliptest::ReadFrameNumber;
using testing_support::FreeHandle;
using testing_support::HandleBytes;

namespace {

constexpr double kClipLength = 4.0;

class DshowPlugin : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_plugin.ok) << m_plugin.error;
        std::string error;
        ASSERT_FALSE(cliptest::ClipDir(&error).empty()) << error;
    }

    PluginModule& P() { return m_plugin.module; }

    // GetPictureInfo into a zeroed long record.
    int32_t Info(const std::string& path, PictureInfoRecord& record, uint32_t flag = SPI_SRC_FILE) {
        std::memset(&record, 0, sizeof record);
        return P().GetPictureInfo(path.c_str(), 0, flag, &record);
    }

    // The frame number at a position, -2 when GetPicture fails.
    int FrameAt(const std::string& path, int32_t position) {
        PictureRequestBlock block;
        std::memset(&block, 0, sizeof block);
        std::memcpy(block.tag, "zem", 3);
        block.field52 = position;
        SpiHandle info = nullptr;
        const int32_t result = P().GetPicture(path.c_str(), 0, SPI_SRC_FILE, &info, nullptr,
                                              nullptr, reinterpret_cast<SpiUserData>(&block));
        if (result != SPI_OK) return -2;
        const std::vector<uint8_t> dib = HandleBytes(info);
        FreeHandle(info);
        return ReadFrameNumber(dib.data(), dib.size());
    }

    testing_support::LoadedPlugin m_plugin{"dshowsrc"};
};

class DshowClip : public DshowPlugin, public testing::WithParamInterface<NamedClip> {};

}  // namespace

namespace cliptest {
void PrintTo(const NamedClip& clip, std::ostream* os) { *os << clip.name; }
}  // namespace cliptest

namespace {

// The unaligned fields of the packed record, read without binding references to them.
double Length(const PictureInfoRecord& r) {
    double v;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(&r) + offsetof(PictureInfoRecord, streamLength), 8);
    return v;
}
uint32_t Codec(const PictureInfoRecord& r) {
    uint32_t v;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(&r) + offsetof(PictureInfoRecord, codec), 4);
    return v;
}
uint32_t ImageType(const PictureInfoRecord& r) {
    uint32_t v;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(&r) + offsetof(PictureInfoRecord, imageType), 4);
    return v;
}

std::string CodeText(uint32_t code) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += static_cast<char>((code >> (8 * i)) & 0xFF);
    return s;
}

}  // namespace

TEST_F(DshowPlugin, InformationStrings) {
    EXPECT_EQ(P().Info(0), "00IN");
    EXPECT_EQ(P().Info(1), "Video frame plug-in");
    EXPECT_EQ(P().Info(2), "*.mp4;*.avi;*.mpg;*.mkv;*.m4v");
    EXPECT_EQ(P().Info(3), "DirectShow");
    char buf[8];
    EXPECT_EQ(P().GetPluginInfo(2, buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "*.mp4;*");
    EXPECT_EQ(P().GetPluginInfo(4, buf, sizeof buf), 0);
    EXPECT_EQ(P().GetPreview(nullptr, 0, 0, nullptr, nullptr, nullptr, 0), SPI_NOT_IMPLEMENTED);
}

// With the file's head at hand only the name counts, whatever the bytes hold.
TEST_F(DshowPlugin, IsSupportedByNameWithAHead) {
    const std::vector<uint8_t> head(2048, 0xAB);
    const auto word = static_cast<SpiHeadWord>(reinterpret_cast<uintptr_t>(head.data()));
    for (const char* name : {"Movie.MP4", "a.mkv", "x.M4v", ".avi", "clip.mpg", "dir/sub.d/a.AVI",
                             "C:\\films\\b.mkv", "some.dir/noext.mp4"}) {
        EXPECT_EQ(P().IsSupported(name, word), 1) << name;
    }
    for (const char* name : {"movie", "movie.mp", "movie.mp44", "movie.mp4.txt", "movie.mov",
                             "dir.mp4/movie", ""}) {
        EXPECT_EQ(P().IsSupported(name, word), 0) << name;
    }
}

// Without a head the detector opens the file and the name does not count.
TEST_F(DshowPlugin, IsSupportedByOpeningTheFile) {
    const std::string dir = testing_support::MakeTempDir();
    std::vector<uint8_t> clip;
    ASSERT_TRUE(testing_support::ReadWholeFile(ClipPath("h264.mp4"), clip));
    ASSERT_TRUE(testing_support::WriteWholeFile(dir + "/clip.dat", clip));
    std::vector<uint8_t> noise(4096);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 7919 >> 3);
    ASSERT_TRUE(testing_support::WriteWholeFile(dir + "/noise.mp4", noise));
    ASSERT_TRUE(testing_support::WriteWholeFile(dir + "/empty.mkv", {}));
    // A one-pixel GIF: libavformat reads it as a stream of one frame, but it is no movie.
    const std::vector<uint8_t> gif = {
        'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 255, 255, 255,
        0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0, 0x3B};
    ASSERT_TRUE(testing_support::WriteWholeFile(dir + "/picture.mp4", gif));
    EXPECT_EQ(P().IsSupported((dir + "/picture.mp4").c_str(), 0), 0);
    EXPECT_EQ(P().IsSupported((dir + "/clip.dat").c_str(), 0), 1);
    EXPECT_EQ(P().IsSupported(ClipPath("audio-first.avi").c_str(), 1), 1);
    EXPECT_EQ(P().IsSupported((dir + "/noise.mp4").c_str(), 0), 0);
    EXPECT_EQ(P().IsSupported((dir + "/empty.mkv").c_str(), 0), 0);
    EXPECT_EQ(P().IsSupported((dir + "/missing.mp4").c_str(), 0xFFFF), 0);
    EXPECT_EQ(P().IsSupported(nullptr, 0), 0);
    testing_support::RemoveTree(dir);
}

TEST_P(DshowClip, InformationRecord) {
    const NamedClip& clip = GetParam();
    PictureInfoRecord record;
    std::memset(&record, 0x5A, sizeof record);
    ASSERT_EQ(P().GetPictureInfo(ClipPath(clip.name).c_str(), 12345, SPI_SRC_FILE, &record), 0);
    EXPECT_EQ(record.left, 0);
    EXPECT_EQ(record.top, 0);
    EXPECT_EQ(record.width, clip.want.width);
    EXPECT_EQ(record.height, clip.want.height);
    EXPECT_EQ(record.xDensity, 0);
    EXPECT_EQ(record.yDensity, 0);
    EXPECT_EQ(record.colorDepth, 0);
    EXPECT_EQ(CodeText(Codec(record)), clip.four_cc);
    if (clip.want.unseekable) {
        EXPECT_EQ(Length(record), 0.0);
    } else {
        // Matroska keeps one length for the file, which the audio may stretch by a few ms.
        EXPECT_NEAR(Length(record), kClipLength, clip.want.audio_first ? 0.03 : 0.001);
    }
    // Bytes the plug-in does not name keep the caller's values.
    EXPECT_EQ(record.reserved[0], 0x5A);
    EXPECT_EQ(ImageType(record), 0x5A5A5A5Au);
}

// Every frame, key frames, reference and non-reference B-frames alike, through the per-cent
// positions: -p takes p % of the 4-second length, so -1..-100 walk all 40 frames.
TEST_P(DshowClip, EveryPerCentPositionTakesTheFrameShowingThen) {
    const NamedClip& clip = GetParam();
    if (clip.want.unseekable) GTEST_SKIP() << "no length: no frame (see StreamWithoutLength)";
    const std::string path = ClipPath(clip.name);
    for (int p = 1; p <= 100; ++p) {
        const double seconds = p * kClipLength / 100.0;
        EXPECT_EQ(FrameAt(path, -p), FrameShownAt(seconds, clip.want.fps, clip.want.frames))
            << "position " << -p;
    }
}

// Seconds, the length itself, beyond it, and the per-cent values beyond -100.
TEST_P(DshowClip, PositionsInSecondsAndOutOfRange) {
    const NamedClip& clip = GetParam();
    if (clip.want.unseekable) GTEST_SKIP() << "no length: no frame (see StreamWithoutLength)";
    const std::string path = ClipPath(clip.name);
    const struct {
        int32_t position;
        int frame;
    } table[] = {
        {0, 0},     {1, 10},     {2, 20},      {3, 30},      {4, 39},  // 4 s is the length
        {5, 20},    {100, 20},   {INT_MAX, 20},                        // beyond it: the middle
        {-25, 10},  {-50, 20},   {-100, 39},   {-101, 20},   {-1000, 20}, {INT_MIN, 20},
    };
    for (const auto& row : table) {
        EXPECT_EQ(FrameAt(path, row.position), row.frame) << "position " << row.position;
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, DshowClip, testing::ValuesIn(cliptest::StandardClips()),
                         [](const testing::TestParamInfo<NamedClip>& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

// A block without the tag, or no block, takes the first frame; the file offset is ignored.
TEST_F(DshowPlugin, UntaggedBlockAndOffset) {
    const std::string path = ClipPath("h264.mkv");
    PictureRequestBlock block;
    std::memset(&block, 0, sizeof block);
    std::memcpy(block.tag, "zen", 3);
    block.field52 = -50;
    for (SpiUserData user : {SpiUserData{0}, reinterpret_cast<SpiUserData>(&block)}) {
        SpiHandle info = nullptr;
        ASSERT_EQ(P().GetPicture(path.c_str(), 777, SPI_SRC_FILE, &info, nullptr, nullptr, user),
                  0);
        const std::vector<uint8_t> dib = HandleBytes(info);
        FreeHandle(info);
        EXPECT_EQ(ReadFrameNumber(dib.data(), dib.size()), 0);
    }
}

// One handle: the detector's bitmap and at least 128 spare bytes. Two handles: the 40-byte
// header, and the rows with the spare tail.
TEST_F(DshowPlugin, OneAndTwoHandles) {
    const std::string path = ClipPath("padded.mp4");
    const size_t stride = (66 * 3 + 3) / 4 * 4;
    const size_t bitmap = 40 + stride * 38;
    const SpiHandle marker = reinterpret_cast<SpiHandle>(static_cast<intptr_t>(-9821));

    SpiHandle whole = nullptr;
    SpiHandle bits = marker;
    ASSERT_EQ(P().GetPicture(path.c_str(), 0, SPI_SRC_FILE, &whole, &bits, nullptr, 0), 0);
    EXPECT_EQ(bits, nullptr);
    const std::vector<uint8_t> one = HandleBytes(whole);
    FreeHandle(whole);
    ASSERT_GE(one.size(), bitmap + 128);
    EXPECT_TRUE(std::all_of(one.begin() + bitmap, one.end(), [](uint8_t v) { return v == 0; }));
    uint32_t size_image;
    std::memcpy(&size_image, one.data() + 20, 4);
    EXPECT_EQ(size_image, stride * 38);

    SpiHandle head = nullptr;
    bits = nullptr;
    ASSERT_EQ(P().GetPicture(path.c_str(), 0, SPI_SRC_FILE, &head, &bits, nullptr, 0), 0);
    const std::vector<uint8_t> h = HandleBytes(head);
    const std::vector<uint8_t> b = HandleBytes(bits);
    FreeHandle(head);
    FreeHandle(bits);
    ASSERT_EQ(h.size(), 40u);
    ASSERT_GE(b.size(), stride * 38 + 128);
    EXPECT_TRUE(std::equal(h.begin(), h.end(), one.begin()));
    EXPECT_TRUE(std::equal(b.begin(), b.begin() + static_cast<ptrdiff_t>(stride * 38),
                           one.begin() + 40));
}

// Only named files: memory and the other source kinds give 1 and touch nothing they need not.
TEST_F(DshowPlugin, SourcesOtherThanAFile) {
    std::vector<uint8_t> clip;
    ASSERT_TRUE(testing_support::ReadWholeFile(ClipPath("h264.mp4"), clip));
    const auto* bytes = reinterpret_cast<const char*>(clip.data());
    const auto size = static_cast<SpiLength>(clip.size());
    for (uint32_t flag : {1u, 2u, 7u}) {
        PictureInfoRecord record;
        std::memset(&record, 0x5A, sizeof record);
        EXPECT_EQ(P().GetPictureInfo(bytes, size, flag, &record), 1);
        EXPECT_EQ(record.left, 0);
        EXPECT_EQ(record.top, 0);
        EXPECT_EQ(record.xDensity + record.yDensity + record.colorDepth, 0);
        EXPECT_EQ(Length(record), 0.0);
        EXPECT_EQ(record.width, 0x5A5A5A5A);
        EXPECT_EQ(record.height, 0x5A5A5A5A);
        EXPECT_EQ(Codec(record), 0x5A5A5A5Au);
        for (intptr_t slot : {intptr_t{-9821}, intptr_t{0}}) {
            SpiHandle info = reinterpret_cast<SpiHandle>(intptr_t{1});
            SpiHandle bits = reinterpret_cast<SpiHandle>(slot);
            EXPECT_EQ(P().GetPicture(bytes, size, flag, &info, &bits, nullptr, 0), 1);
            EXPECT_EQ(info, nullptr);
            EXPECT_EQ(bits, nullptr);
        }
    }
    EXPECT_EQ(P().GetPictureInfo(ClipPath("h264.mp4").c_str(), 0, 0, nullptr), -1);
    EXPECT_EQ(P().GetPicture(ClipPath("h264.mp4").c_str(), 0, 0, nullptr, nullptr, nullptr, 0),
              -1);
}

// A file the detector cannot open: -1, a zeroed record, no handles.
TEST_F(DshowPlugin, UnreadableFiles) {
    for (const std::string path : {ClipPath("missing.mp4"), cliptest::ClipDir()}) {
        PictureInfoRecord record;
        std::memset(&record, 0x5A, sizeof record);
        EXPECT_EQ(P().GetPictureInfo(path.c_str(), 0, SPI_SRC_FILE, &record), -1) << path;
        EXPECT_EQ(record.width, 0);
        EXPECT_EQ(record.height, 0);
        EXPECT_EQ(Codec(record), 0u);
        EXPECT_EQ(Length(record), 0.0);
        SpiHandle info = nullptr;
        SpiHandle bits = nullptr;
        EXPECT_EQ(P().GetPicture(path.c_str(), 0, SPI_SRC_FILE, &info, &bits, nullptr, 0), -1);
        EXPECT_EQ(info, nullptr);
        EXPECT_EQ(bits, nullptr);
    }
}

// A Matroska stream written without a duration has no length: the information read finds it,
// with length 0, and the picture read fails even though its frames decode.
TEST_F(DshowPlugin, StreamWithoutLength) {
    const std::string path = ClipPath("no-length.mkv");
    PictureInfoRecord record;
    ASSERT_EQ(Info(path, record), 0);
    EXPECT_EQ(record.width, 64);
    EXPECT_EQ(Length(record), 0.0);
    for (int32_t position : {0, 1, -50}) EXPECT_EQ(FrameAt(path, position), -2) << position;
}
