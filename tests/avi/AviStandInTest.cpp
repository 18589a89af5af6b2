// The AVIFile stand-in called directly: its records, key frames against libavformat's reading of
// the same index, frames fetched by sample number in any order, and the RIFF/index reader on
// every prefix of a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "../bmp/DibToRgb.h"
#include "AviFixtures.h"
#include "AviRiff.h"
#include "AviStandIn.h"
#include "TestSupport.h"
#include "platform/platform.h"

int FuzzAviRiff(const uint8_t* data, size_t size);

using namespace avitest;

namespace {

struct Opened {
    explicit Opened(const std::string& path) {
        const std::wstring wide = platform::AnsiToWide(path.c_str());
        rc = AVIFileOpenW(&file, wide.c_str(), OF_READ, nullptr);
    }
    ~Opened() {
        if (stream) AVIStreamRelease(stream);
        if (file) AVIFileRelease(file);
    }
    // The first video stream.
    bool Video() {
        for (LONG i = 0; AVIFileGetStream(file, &stream, 0, i) == AVIERR_OK; ++i) {
            AVISTREAMINFOW info{};
            if (AVIStreamInfoW(stream, &info, sizeof info) == AVIERR_OK &&
                info.fccType == streamtypeVIDEO) {
                return true;
            }
            AVIStreamRelease(stream);
            stream = nullptr;
        }
        return false;
    }
    HRESULT rc;
    PAVIFILE file = nullptr;
    PAVISTREAM stream = nullptr;
};

std::string Text(const WCHAR* w) {
    std::string s;
    for (; *w; ++w) s += static_cast<char>(*w);
    return s;
}

TEST(AviStandIn, Records) {
    const std::string path = Fixture("audio-first");
    ASSERT_FALSE(path.empty()) << FixtureError("audio-first");
    Opened f(path);
    ASSERT_EQ(f.rc, AVIERR_OK);
    AVIFILEINFOW fi{};
    ASSERT_EQ(AVIFileInfoW(f.file, &fi, sizeof fi), AVIERR_OK);
    EXPECT_EQ(fi.dwWidth, 64u);
    EXPECT_EQ(fi.dwHeight, 48u);
    EXPECT_EQ(fi.dwStreams, 2u);
    // The file's rate and length are those of the stream that lasts longest, the first of
    // equals: here the sound, 4 s of 8000 samples a second.
    EXPECT_EQ(fi.dwLength, 32000u);
    EXPECT_EQ(fi.dwRate / std::max<DWORD>(fi.dwScale, 1), 8000u);
    PAVISTREAM audio = nullptr;
    ASSERT_EQ(AVIFileGetStream(f.file, &audio, 0, 0), AVIERR_OK);
    AVISTREAMINFOW si{};
    ASSERT_EQ(AVIStreamInfoW(audio, &si, sizeof si), AVIERR_OK);
    EXPECT_EQ(si.fccType, streamtypeAUDIO);
    EXPECT_EQ(AVIStreamGetFrameOpen(audio, nullptr), nullptr);  // audio has no frames
    AVIStreamRelease(audio);
    ASSERT_TRUE(f.Video());
    ASSERT_EQ(AVIStreamInfoW(f.stream, &si, sizeof si), AVIERR_OK);
    EXPECT_EQ(si.dwRate, 25u);
    EXPECT_EQ(si.dwScale, 1u);
    EXPECT_EQ(si.dwLength, 100u);
    EXPECT_EQ(si.rcFrame.right, 64);
    EXPECT_EQ(si.rcFrame.bottom, 48);
    // The data rate of both streams: 2-byte samples at 8000 a second, and the largest video
    // chunk 25 times a second.
    EXPECT_EQ(fi.dwMaxBytesPerSec, 16000u + 25u * si.dwSuggestedBufferSize);
    EXPECT_FALSE(Text(si.szName).empty());
    EXPECT_EQ(AVIStreamLength(f.stream), 100);
    EXPECT_EQ(AVIStreamStart(f.stream), 0);
    PAVISTREAM none = reinterpret_cast<PAVISTREAM>(1);
    EXPECT_EQ(AVIFileGetStream(f.file, &none, 0, 2), AVIERR_NODATA);
    EXPECT_EQ(none, nullptr);
    // A short record gets what fits and says so.
    AVIFILEINFOW part{};
    EXPECT_EQ(AVIFileInfoW(f.file, &part, 20), AVIERR_BUFFERTOOSMALL);
    EXPECT_EQ(part.dwWidth, 0u);
    EXPECT_EQ(part.dwSuggestedBufferSize, fi.dwSuggestedBufferSize);
}

TEST(AviStandIn, OpenFailures) {
    PAVIFILE file = reinterpret_cast<PAVIFILE>(1);
    EXPECT_EQ(AVIFileOpenW(&file, L"/no/such/file.avi", OF_READ, nullptr), AVIERR_FILEOPEN);
    EXPECT_EQ(file, nullptr);
    const std::string dir = testing_support::MakeTempDir();
    const std::string wave = dir + "/x.avi";
    ASSERT_TRUE(testing_support::WriteWholeFile(wave, std::vector<uint8_t>(64, 'W')));
    const std::wstring wide = platform::AnsiToWide(wave.c_str());
    EXPECT_EQ(AVIFileOpenW(&file, wide.c_str(), OF_READ, nullptr), AVIERR_BADFORMAT);
    EXPECT_EQ(file, nullptr);
    testing_support::RemoveTree(dir);
}

TEST(AviStandIn, FindSampleFollowsTheIndex) {
    for (const char* name : {"mpeg4-gop10", "codec-libx264", "codec-cinepak", "one-key"}) {
        SCOPED_TRACE(name);
        const std::string path = Fixture(name);
        ASSERT_FALSE(path.empty()) << FixtureError(name);
        const std::vector<bool> keys = LibavformatKeyFrames(path);
        ASSERT_FALSE(keys.empty());
        Opened f(path);
        ASSERT_EQ(f.rc, AVIERR_OK);
        ASSERT_TRUE(f.Video());
        const LONG n = AVIStreamLength(f.stream);
        ASSERT_EQ(static_cast<size_t>(n), keys.size());
        for (LONG pos = -2; pos <= n + 1; ++pos) {
            LONG next = -1, prev = -1;
            for (LONG k = std::max<LONG>(pos, 0); k < n && next < 0; ++k) {
                if (keys[static_cast<size_t>(k)]) next = k;
            }
            for (LONG k = std::min<LONG>(pos, n - 1); k >= 0 && prev < 0; --k) {
                if (keys[static_cast<size_t>(k)]) prev = k;
            }
            EXPECT_EQ(AVIStreamFindSample(f.stream, pos, FIND_KEY | FIND_NEXT), next) << pos;
            EXPECT_EQ(AVIStreamFindSample(f.stream, pos, FIND_KEY | FIND_PREV), prev) << pos;
        }
    }
}

// Every sample decodes to its own frame, fetched in a shuffled order: each fetch seeks to the
// key frame at or before it, or carries on from the frame fetched last.
TEST(AviStandIn, EverySampleInAnyOrder) {
    for (const char* name : {"mpeg4-gop10", "codec-libx264", "codec-cinepak", "codec-msvideo1",
                             "codec-msrle", "codec-rawvideo-8", "no-index-mpeg4"}) {
        SCOPED_TRACE(name);
        const std::string path = Fixture(name);
        ASSERT_FALSE(path.empty()) << FixtureError(name);
        Opened f(path);
        ASSERT_EQ(f.rc, AVIERR_OK);
        ASSERT_TRUE(f.Video());
        PGETFRAME getter = AVIStreamGetFrameOpen(f.stream, nullptr);
        ASSERT_NE(getter, nullptr);
        const LONG n = AVIStreamLength(f.stream);
        std::vector<LONG> order;
        for (LONG i = 0; i < n; ++i) order.push_back(i);
        std::shuffle(order.begin() + n / 2, order.end(), std::mt19937(3));
        for (LONG i : order) {
            const auto* dib = static_cast<const uint8_t*>(AVIStreamGetFrame(getter, i));
            ASSERT_NE(dib, nullptr) << i;
            bmp_test::RgbImage image;
            ASSERT_EQ(bmp_test::DibToRgb(dib, SIZE_MAX / 2, image), "");
            EXPECT_EQ(ReadFrameNumber(image.rgb.data(), image.width, image.height), i);
        }
        EXPECT_EQ(AVIStreamGetFrame(getter, n), nullptr);
        EXPECT_EQ(AVIStreamGetFrame(getter, -1), nullptr);
        EXPECT_EQ(AVIStreamGetFrameClose(getter), AVIERR_OK);
    }
}

// Every prefix of a file (the truncation sweep) and the reader's own checks on it.
TEST(AviRiff, EveryPrefix) {
    const std::string path = Fixture("audio-first");
    ASSERT_FALSE(path.empty());
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(testing_support::ReadWholeFile(path, bytes));
    avi::Contents whole;
    ASSERT_EQ(avi::ParseAvi(bytes.data(), bytes.size(), whole), avi::ParseStatus::Ok);
    EXPECT_EQ(whole.streams.size(), 2u);
    EXPECT_EQ(whole.streams[1].chunks.size(), 100u);
    const size_t step = std::max<size_t>(1, bytes.size() / 3000);
    for (size_t n = 0; n <= bytes.size(); n += (n < 2048 ? 1 : step)) {
        std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
        FuzzAviRiff(prefix.data(), prefix.size());
    }
}

}  // namespace
