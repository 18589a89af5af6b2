// The Windows dshowsrc through the system's media detector (Wine's, over GStreamer) on the
// clips that the native build writes: the information read, the frame read where the detector
// offers it, and COM left on the calling thread as it was found.
#include <objbase.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

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

TEST_F(DshowWine, FrameThroughTheSystemDetector) {
    SpiHandle info = nullptr;
    const int32_t result = m_plugin.module.GetPicture(ClipPath("h264.mp4").c_str(), 0,
                                                      SPI_SRC_FILE, &info, nullptr, nullptr, 0);
    if (result == -1 && !info) {
        GTEST_SKIP() << "the system's media detector gives no bitmaps (Wine's does not implement "
                        "IMediaDet::GetBitmapBits)";
    }
    ASSERT_EQ(result, 0);
    const std::vector<uint8_t> dib = testing_support::HandleBytes(info);
    testing_support::FreeHandle(info);
    ASSERT_GE(dib.size(), 40u + 128u);
    int32_t width;
    std::memcpy(&width, dib.data() + 4, 4);
    EXPECT_EQ(width, 64);
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
