// The Windows dshowsrc through the system's media detector (Wine's, over GStreamer) on the
// clips that the native build writes: the information read, frames (from the plug-in's own
// filter graph where the detector gives none) against the Linux stand-in's, faults, and COM
// left on the calling thread as it was found.
#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "ClipMaker.h"
#include "DshowClips.h"
#include "TestSupport.h"

namespace {

struct WineClip {
    const char* name;
    int width;
    int height;
};

// The clips whose containers Wine's DirectShow opens through GStreamer. Wine's parser hands the
// detector decoded video, so the compression code is that of the decoded format, not the
// stream's.
const WineClip kClips[] = {
    {"h264.mp4", 64, 48},        {"h264.mkv", 64, 48},        {"mpeg4.avi", 64, 48},
    {"mpeg4.m4v", 64, 48},       {"audio-first.mp4", 64, 48}, {"audio-first.mkv", 64, 48},
    {"audio-first.avi", 64, 48}, {"odd-444.mkv", 33, 17},     {"padded.mp4", 66, 38},
};

std::string ClipPath(const char* name) { return std::string(ZEM_DSHOW_CLIP_DIR) + "\\" + name; }

bool HaveClips() {
    std::vector<uint8_t> bytes;
    return testing_support::ReadWholeFile(ClipPath("h264.mp4"), bytes) && !bytes.empty();
}

double Length(const PictureInfoRecord& r) {
    double v;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(&r) + offsetof(PictureInfoRecord, streamLength),
                8);
    return v;
}

uint32_t Codec(const PictureInfoRecord& r) {
    uint32_t v;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(&r) + offsetof(PictureInfoRecord, codec), 4);
    return v;
}

class DshowWine : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_plugin.ok) << m_plugin.error;
        if (!HaveClips()) {
            GTEST_SKIP() << "no clips in " << ZEM_DSHOW_CLIP_DIR
                         << " (the native default build's dshow_make_clips writes them)";
        }
        // As an image viewer does: a single-threaded apartment on the calling thread.
        m_com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    }
    void TearDown() override {
        if (SUCCEEDED(m_com)) CoUninitialize();
    }

    int32_t Info(const std::string& path, PictureInfoRecord& record) {
        std::memset(&record, 0, sizeof record);
        return m_plugin.module.GetPictureInfo(path.c_str(), 0, SPI_SRC_FILE, &record);
    }

    // GetPicture at a position, the one-handle form; the block's bytes in `dib`.
    int32_t Frame(const std::string& path, int32_t position, std::vector<uint8_t>& dib) {
        PictureRequestBlock block;
        std::memset(&block, 0, sizeof block);
        std::memcpy(block.tag, "zem", 3);
        block.field52 = position;
        SpiHandle info = nullptr;
        const int32_t result =
            m_plugin.module.GetPicture(path.c_str(), 0, SPI_SRC_FILE, &info, nullptr, nullptr,
                                       reinterpret_cast<SpiUserData>(&block));
        dib = testing_support::HandleBytes(info);
        if (info) testing_support::FreeHandle(info);
        return result;
    }

    testing_support::LoadedPlugin m_plugin{"dshowsrc"};
    HRESULT m_com = E_FAIL;
};

}  // namespace

TEST_F(DshowWine, InformationThroughTheSystemDetector) {
    for (const WineClip& clip : kClips) {
        PictureInfoRecord record;
        ASSERT_EQ(Info(ClipPath(clip.name), record), 0) << clip.name;
        EXPECT_EQ(record.width, clip.width) << clip.name;
        EXPECT_EQ(record.height, clip.height) << clip.name;
        EXPECT_EQ(record.colorDepth, 0) << clip.name;
        EXPECT_NEAR(Length(record), 4.0, 0.05) << clip.name;
        const uint32_t code = Codec(record);
        std::printf("%-16s %d x %d, %.3f s, compression 0x%08X '%.4s'\n", clip.name, record.width,
                    record.height, Length(record), code, reinterpret_cast<const char*>(&code));
        EXPECT_EQ(m_plugin.module.IsSupported(ClipPath(clip.name).c_str(), 0), 1) << clip.name;
    }
    PictureInfoRecord record;
    EXPECT_EQ(Info(ClipPath("missing.mp4"), record), -1);
    EXPECT_EQ(record.width, 0);
    EXPECT_EQ(m_plugin.module.IsSupported(ClipPath("missing.mp4").c_str(), 0), 0);
}

// Frames through the module at the positions of the Linux frame tests: the frame number that
// the pixels carry, and every pixel against the frame that the Linux stand-in decodes there
// (NAME.frames beside the clip). Two decoders and two colour conversions differ by a few
// levels; a wrong frame, a flipped or shifted picture differs by hundreds.
TEST_F(DshowWine, FramesEqualTheStandInsAtTheLinuxPositions) {
    constexpr int kTolerance = 12;
    for (const WineClip& clip : kClips) {
        std::vector<uint8_t> refs;
        ASSERT_TRUE(testing_support::ReadWholeFile(ClipPath(clip.name) + ".frames", refs))
            << clip.name << ": no reference frames (written by dshow_make_clips)";
        const uint8_t* ref = refs.data();
        size_t differing = 0;
        int largest = 0;
        for (const cliptest::WinePosition& at : cliptest::kWinePositions) {
            int32_t position;
            uint32_t ref_size;
            ASSERT_LE(ref + 8, refs.data() + refs.size()) << clip.name;
            std::memcpy(&position, ref, 4);
            std::memcpy(&ref_size, ref + 4, 4);
            ASSERT_EQ(position, at.position);
            ASSERT_LE(ref + 8 + ref_size, refs.data() + refs.size()) << clip.name;
            const uint8_t* want = ref + 8;
            ref += 8 + ref_size;
            std::vector<uint8_t> dib;
            ASSERT_EQ(Frame(ClipPath(clip.name), at.position, dib), 0)
                << clip.name << " at " << at.position;
            const size_t stride = (static_cast<size_t>(clip.width) * 3 + 3) / 4 * 4;
            const size_t bytes = stride * static_cast<size_t>(clip.height);
            ASSERT_GE(dib.size(), 40 + bytes + 128) << clip.name;
            ASSERT_EQ(ref_size, 40 + bytes) << clip.name;
            EXPECT_EQ(std::memcmp(dib.data(), want, 40), 0) << clip.name << " header";
            EXPECT_EQ(cliptest::ReadFrameNumber(dib.data(), dib.size()), at.frame)
                << clip.name << " at " << at.position;
            EXPECT_EQ(cliptest::ReadFrameNumber(want, ref_size), at.frame) << clip.name;
            for (int y = 0; y < clip.height; ++y) {
                for (int x = 0; x < clip.width; ++x) {
                    int pixel = 0;
                    for (int c = 0; c < 3; ++c) {
                        const size_t i = 40 + static_cast<size_t>(y) * stride + 3u * x + c;
                        pixel = std::max(pixel, std::abs(dib[i] - want[i]));
                    }
                    differing += pixel > 0;
                    largest = std::max(largest, pixel);
                }
            }
        }
        std::printf("%-16s %zu frames: %zu of %zu pixels differ from the stand-in's, by %d at "
                    "most\n",
                    clip.name, std::size(cliptest::kWinePositions), differing,
                    std::size(cliptest::kWinePositions) * clip.width * clip.height, largest);
        EXPECT_LE(largest, kTolerance) << clip.name;
    }
}

// Every per-cent position of a clip with B-frames and of one whose video starts after its
// audio: -p takes p % of the 4-second length, so -1..-100 walk all 40 frames.
TEST_F(DshowWine, EveryPerCentPositionTakesTheFrameShowingThen) {
    for (const char* name : {"h264.mp4", "audio-first.mkv"}) {
        for (int p = 1; p <= 100; ++p) {
            std::vector<uint8_t> dib;
            ASSERT_EQ(Frame(ClipPath(name), -p, dib), 0) << name << " at " << -p;
            EXPECT_EQ(cliptest::ReadFrameNumber(dib.data(), dib.size()),
                      cliptest::FrameShownAt(p * 4.0 / 100.0, 10, 40))
                << name << " at " << -p;
        }
    }
}

// Files without a frame end with -1 and leave nothing behind: one that Wine's DirectShow does
// not open (MPEG program stream), one whose coded frames are damaged (the detector reads its
// index, the graph decodes nothing), and a missing one. A file cut off after 60 % gives, at
// 90 %, a time past its last frame: the last frame it has, as at 100 %. Wine's parser (8.0)
// keeps some 34 handles for every file it opens, in the media detector as in our graph: so a
// frame request on these files must leave what an information request leaves, and on a good
// file no more than one more opening of it.
TEST_F(DshowWine, FaultsEndWithMinusOneAndLeaveNothing) {
    const std::string dir = testing_support::MakeTempDir();
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(testing_support::ReadWholeFile(ClipPath("h264.mp4"), bytes));
    const auto mdat = std::search(bytes.begin(), bytes.end(), "mdat", "mdat" + 4);
    ASSERT_NE(mdat, bytes.end());
    for (auto it = mdat + 20; it < bytes.end() && it < mdat + 2020; ++it) *it ^= 0x5A;
    ASSERT_TRUE(testing_support::WriteWholeFile(dir + "\\damaged.mp4", bytes));
    ASSERT_TRUE(testing_support::ReadWholeFile(ClipPath("audio-first.mkv"), bytes));
    bytes.resize(bytes.size() * 6 / 10);
    ASSERT_TRUE(testing_support::WriteWholeFile(dir + "\\cut.mkv", bytes));

    std::vector<uint8_t> dib;
    ASSERT_EQ(Frame(dir + "\\cut.mkv", -90, dib), 0);
    const int past_the_end = cliptest::ReadFrameNumber(dib.data(), dib.size());
    ASSERT_EQ(Frame(dir + "\\cut.mkv", -100, dib), 0);
    EXPECT_EQ(past_the_end, cliptest::ReadFrameNumber(dib.data(), dib.size()));
    EXPECT_GT(past_the_end, 0);
    EXPECT_LT(past_the_end, 36);

    const std::string faults[] = {ClipPath("mpeg2.mpg"), dir + "\\damaged.mp4",
                                  ClipPath("missing.mp4")};
    for (const std::string& path : faults) {
        EXPECT_EQ(Frame(path, -50, dib), -1) << path;
        EXPECT_EQ(Frame(path, 0, dib), -1) << path;
    }
    // What each kind of request leaves, over three rounds after one warm-up round.
    const auto leaves = [&](bool frames, const std::vector<std::string>& files) {
        const auto round = [&] {
            for (const std::string& path : files) {
                PictureInfoRecord record;
                if (frames) {
                    Frame(path, -50, dib);
                } else {
                    Info(path, record);
                }
            }
        };
        round();
        const long handles = testing_support::TableHandleCount();
        const long threads = testing_support::ThreadCount();
        for (int i = 0; i < 3; ++i) round();
        return std::make_pair(testing_support::TableHandleCount() - handles,
                              testing_support::ThreadCount() - threads);
    };
    const std::vector<std::string> bad(std::begin(faults), std::end(faults));
    const auto info = leaves(false, bad);
    const auto frames = leaves(true, bad);
    std::printf("9 frame requests on these files left %ld handles and %ld threads (information "
                "requests on them: %ld and %ld)\n",
                frames.first, frames.second, info.first, info.second);
    EXPECT_EQ(frames.first, info.first);
    EXPECT_LE(frames.second, info.second);
    const std::vector<std::string> good = {ClipPath("h264.mkv")};
    const auto good_info = leaves(false, good);
    const auto good_frames = leaves(true, good);
    std::printf("3 frame requests on a good file left %ld handles and %ld threads (information "
                "requests: %ld and %ld)\n",
                good_frames.first, good_frames.second, good_info.first, good_info.second);
    EXPECT_LE(good_frames.first - good_info.first, good_info.first);
    EXPECT_LE(good_frames.second, good_info.second);
    testing_support::RemoveTree(dir);
}

// A host thread in a multithreaded apartment: the plug-in reads all the same and leaves the
// thread's COM as it was (its own CoInitialize fails there, and is not balanced).
TEST_F(DshowWine, ComLeftAsFoundOnAMultithreadedThread) {
    bool read_ok = false;
    HRESULT after = E_FAIL;
    std::thread worker([&] {
        if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return;
        PictureInfoRecord record;
        std::memset(&record, 0, sizeof record);
        read_ok = m_plugin.module.GetPictureInfo(ClipPath("h264.mkv").c_str(), 0, SPI_SRC_FILE,
                                                 &record) == 0 &&
                  record.width == 64;
        // Still in the multithreaded apartment: asking for it again only counts up.
        after = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(after)) CoUninitialize();
        CoUninitialize();
    });
    worker.join();
    EXPECT_TRUE(read_ok);
    EXPECT_EQ(after, S_FALSE);
}

// GetPreview where the detector tells no key frames: the plug-in's own graph asks the parser
// for a key-frame seek to 10 %, which Wine's parser answers with the exact time, so the frame
// showing at 10 %, frame 4, every byte as GetPicture gives it there, in one handle and in two.
TEST_F(DshowWine, PreviewIsTheFrameAtTenPerCent) {
    for (const WineClip& clip : kClips) {
        const std::string path = ClipPath(clip.name);
        std::vector<uint8_t> picture;
        ASSERT_EQ(Frame(path, -10, picture), 0) << clip.name;
        SpiHandle info = nullptr;
        ASSERT_EQ(m_plugin.module.GetPreview(path.c_str(), 0, SPI_SRC_FILE, &info, nullptr,
                                             nullptr, 0),
                  0)
            << clip.name;
        const std::vector<uint8_t> whole = testing_support::HandleBytes(info);
        testing_support::FreeHandle(info);
        SpiHandle head = nullptr;
        SpiHandle bits = nullptr;
        ASSERT_EQ(m_plugin.module.GetPreview(path.c_str(), 0, SPI_SRC_FILE, &head, &bits,
                                             nullptr, 0),
                  0)
            << clip.name;
        std::vector<uint8_t> split = testing_support::HandleBytes(head);
        const std::vector<uint8_t> rows = testing_support::HandleBytes(bits);
        split.insert(split.end(), rows.begin(), rows.end());
        testing_support::FreeHandle(head);
        testing_support::FreeHandle(bits);
        const size_t stride = (static_cast<size_t>(clip.width) * 3 + 3) / 4 * 4;
        const size_t bytes = 40 + stride * static_cast<size_t>(clip.height);
        ASSERT_GE(whole.size(), bytes + 128) << clip.name;
        ASSERT_GE(split.size(), bytes + 128) << clip.name;
        EXPECT_EQ(cliptest::ReadFrameNumber(whole.data(), whole.size()), 4) << clip.name;
        EXPECT_EQ(std::memcmp(whole.data(), picture.data(), bytes), 0) << clip.name;
        EXPECT_EQ(std::memcmp(split.data(), picture.data(), bytes), 0) << clip.name;
        // The bytes that pad the rows are zero, not whatever the decoder's buffer held.
        for (size_t y = 0, pixels = clip.width * 3u; y < static_cast<size_t>(clip.height); ++y) {
            for (size_t x = pixels; x < stride; ++x) {
                ASSERT_EQ(whole[40 + y * stride + x], 0) << clip.name << " row " << y;
            }
        }
    }
    SpiHandle info = nullptr;
    EXPECT_EQ(m_plugin.module.GetPreview(ClipPath("missing.mp4").c_str(), 0, SPI_SRC_FILE, &info,
                                         nullptr, nullptr, 0),
              -1);
    EXPECT_EQ(info, nullptr);
}
