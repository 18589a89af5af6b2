// dshowsrc's GetPreview through the built module: on every clip and sample video, the key frame
// at or before 10 % of the stream's length, against the frame that FFmpeg decodes first after a
// backward seek to that time; -1 where no frame can be had; the two handle forms alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "DibConvert.h"
#include "DshowClips.h"
#include "FfmpegPtr.h"
#include "TestSupport.h"

using testing_support::FreeHandle;
using testing_support::HandleBytes;

namespace {

// The reference: FFmpeg's backward seek to 10 % of the first video stream's length (the
// stream's own, else the container's), then the first frame decoded from the key packet found
// there, as a 40-byte header and 24-bit bottom-up rows. A seek that fails or lands after the time
// (an MPEG program stream seeks by searching timestamps) gives way to the first frame of the
// file. Empty when FFmpeg decodes no frame.
std::vector<uint8_t> FfmpegKeyFrame(const std::string& path) {
    for (const bool seek : {true, false}) {
        AVFormatContext* raw = nullptr;
        if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return {};
        video::FormatPtr fmt(raw);
        const int index = avformat_find_stream_info(raw, nullptr) < 0
                              ? -1
                              : av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (index < 0) return {};
        const AVStream* st = raw->streams[index];
        const int64_t first = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
        const int64_t length = st->duration > 0 ? st->duration
                                                : av_rescale_q(std::max<int64_t>(raw->duration, 0),
                                                               AV_TIME_BASE_Q, st->time_base);
        if (length <= 0) return {};
        const int64_t target = first + length / 10;
        if (seek && av_seek_frame(raw, index, target, AVSEEK_FLAG_BACKWARD) < 0) continue;
        const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
        video::CodecPtr ctx(avcodec_alloc_context3(codec));
        if (!ctx || avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0 ||
            avcodec_open2(ctx.get(), codec, nullptr) < 0) {
            return {};
        }
        video::PacketPtr pkt = video::MakePacket();
        video::FramePtr frame = video::MakeFrame();
        bool started = false, late = false, got = false;
        while (!got && !late && av_read_frame(raw, pkt.get()) >= 0) {
            if (pkt->stream_index == index && !started && (pkt->flags & AV_PKT_FLAG_KEY)) {
                started = true;
                late = seek && (pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts) > target;
            }
            if (started && pkt->stream_index == index) avcodec_send_packet(ctx.get(), pkt.get());
            av_packet_unref(pkt.get());
            got = avcodec_receive_frame(ctx.get(), frame.get()) >= 0;
        }
        if (late) continue;
        if (!got && avcodec_send_packet(ctx.get(), nullptr) >= 0) {
            got = avcodec_receive_frame(ctx.get(), frame.get()) >= 0;
        }
        if (!got) return {};
        const int w = frame->width, h = frame->height;
        std::vector<uint8_t> dib(40 + static_cast<size_t>(video::DibStride(24, w)) * h);
        video::WriteInfoHeader(dib.data(), w, h, 24, 0);
        if (!video::FrameConverter().ToBgr24Rows(frame.get(), w, h, dib.data() + 40)) return {};
        return dib;
    }
    return {};
}

class DshowPreview : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_plugin.ok) << m_plugin.error; }

    // GetPreview in one handle (`whole`) and in two (header and bits, joined into `split`).
    int32_t Preview(const std::string& path, std::vector<uint8_t>& whole,
                    std::vector<uint8_t>& split) {
        SpiHandle info = nullptr;
        SpiHandle bits = reinterpret_cast<SpiHandle>(static_cast<intptr_t>(SPI_PACKED_DIB_MARKER));
        const int32_t rc =
            m_plugin.module.GetPreview(path.c_str(), 0, SPI_SRC_FILE, &info, &bits, nullptr, 0);
        whole = HandleBytes(info);
        FreeHandle(info);
        EXPECT_EQ(bits, nullptr);
        SpiHandle head = nullptr;
        bits = nullptr;
        EXPECT_EQ(
            m_plugin.module.GetPreview(path.c_str(), 0, SPI_SRC_FILE, &head, &bits, nullptr, 0),
            rc);
        split = HandleBytes(head);
        const std::vector<uint8_t> rows = HandleBytes(bits);
        split.insert(split.end(), rows.begin(), rows.end());
        FreeHandle(head);
        FreeHandle(bits);
        if (rc != SPI_OK) {
            EXPECT_TRUE(whole.empty() && split.empty() && rows.empty()) << "handles on failure";
        }
        return rc;
    }

    // The preview of a readable video: FFmpeg's key frame, every byte, whole and split.
    void ExpectKeyFrame(const std::string& path, int expected_number) {
        SCOPED_TRACE(path);
        const std::vector<uint8_t> want = FfmpegKeyFrame(path);
        ASSERT_FALSE(want.empty()) << "FFmpeg decodes no frame there";
        std::vector<uint8_t> whole;
        std::vector<uint8_t> split;
        ASSERT_EQ(Preview(path, whole, split), SPI_OK);
        ASSERT_GE(whole.size(), want.size() + 128);
        ASSERT_GE(split.size(), want.size() + 128);
        EXPECT_EQ(std::memcmp(whole.data(), want.data(), want.size()), 0)
            << "FFmpeg decodes frame " << cliptest::ReadFrameNumber(want.data(), want.size());
        EXPECT_EQ(std::memcmp(split.data(), want.data(), want.size()), 0);
        if (expected_number >= 0) {
            EXPECT_EQ(cliptest::ReadFrameNumber(whole.data(), whole.size()), expected_number);
        }
    }

    testing_support::LoadedPlugin m_plugin{"dshowsrc"};
};

}  // namespace

// Every clip: 10 % of 4 seconds is frame 4, and the key frame at or before it is the last
// multiple of the clip's key-frame interval not after 4.
TEST_F(DshowPreview, EveryClipGivesTheKeyFrameAtOrBeforeTenPerCent) {
    std::string error;
    ASSERT_FALSE(cliptest::ClipDir(&error).empty()) << error;
    for (const cliptest::NamedClip& clip : cliptest::StandardClips()) {
        const std::string path = cliptest::ClipPath(clip.name);
        if (clip.want.unseekable) {
            std::vector<uint8_t> whole, split;
            EXPECT_EQ(Preview(path, whole, split), -1) << clip.name << ": no length, no frame";
            continue;
        }
        const int frame = cliptest::FrameShownAt(0.4, clip.want.fps, clip.want.frames);
        ExpectKeyFrame(path, frame / clip.want.gop * clip.want.gop);
    }
}

TEST_F(DshowPreview, SampleVideos) {
    int seen = 0;
    for (const char* name : {"video-h264.mp4", "video-audio-first.mkv", "clip-audio-video.avi"}) {
        const std::string path = std::string(ZEM_SOURCE_DIR) + "/samples/" + name;
        if (!std::filesystem::exists(path)) continue;
        ExpectKeyFrame(path, -1);
        ++seen;
    }
    if (seen == 0) GTEST_SKIP() << "no sample videos in samples/";
}

// Missing, a folder, bytes that are no movie, and a clip cut short before its index: -1.
TEST_F(DshowPreview, UnreadableAndDamagedFilesGiveMinusOne) {
    std::string error;
    ASSERT_FALSE(cliptest::ClipDir(&error).empty()) << error;
    std::vector<uint8_t> clip;
    ASSERT_TRUE(testing_support::ReadWholeFile(cliptest::ClipPath("h264.mp4"), clip));
    const std::string cut = cliptest::ClipDir() + "/preview-cut.mp4";
    const std::string junk = cliptest::ClipDir() + "/preview-junk.avi";
    std::ofstream(cut, std::ios::binary)
        .write(reinterpret_cast<const char*>(clip.data()),
               static_cast<std::streamsize>(clip.size() / 3));
    std::ofstream(junk, std::ios::binary) << std::string(4096, 'x');
    for (const std::string& path :
         {cliptest::ClipPath("missing.mp4"), cliptest::ClipDir(), cut, junk}) {
        std::vector<uint8_t> whole, split;
        EXPECT_EQ(Preview(path, whole, split), -1) << path;
    }
    SpiHandle info = nullptr;
    EXPECT_EQ(m_plugin.module.GetPreview(cut.c_str(), 0, 1, &info, nullptr, nullptr, 0), 1);
    EXPECT_EQ(info, nullptr);
}
