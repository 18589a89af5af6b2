// dshowsrc's GetPreview through the built module: on every clip and sample video, the key frame
// at or before 10 % of the stream's length, against the frame that FFmpeg decodes first after a
// backward seek to that time; -1 where no frame can be had; the two handle forms alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "DshowClips.h"
#include "FfmpegPtr.h"
#include "TestSupport.h"

extern "C" {
#include <libswscale/swscale.h>
}

using testing_support::FreeHandle;
using testing_support::HandleBytes;

namespace {

// A file opened by libavformat, its best video stream, and the time 10 % into that stream
// (of the stream's own length, else the container's).
struct Opened {
    video::FormatPtr fmt;
    int index = -1;
    int64_t target = 0;

    explicit Opened(const std::string& path) {
        AVFormatContext* raw = nullptr;
        if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return;
        fmt.reset(raw);
        if (avformat_find_stream_info(raw, nullptr) < 0) return;
        index = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (index < 0) return;
        const AVStream* st = raw->streams[index];
        const int64_t length = st->duration > 0 ? st->duration
                                                : av_rescale_q(std::max<int64_t>(raw->duration, 0),
                                                               AV_TIME_BASE_Q, st->time_base);
        if (length <= 0) index = -1;
        target = (st->start_time != AV_NOPTS_VALUE ? st->start_time : 0) + length / 10;
    }

    // The time of the next key packet of the stream; AV_NOPTS_VALUE at the end.
    int64_t NextKey(video::PacketPtr& pkt) {
        av_packet_unref(pkt.get());
        while (av_read_frame(fmt.get(), pkt.get()) >= 0) {
            const int64_t t = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
            const bool key = pkt->stream_index == index && (pkt->flags & AV_PKT_FLAG_KEY);
            if (key && t != AV_NOPTS_VALUE) return t;
            av_packet_unref(pkt.get());
        }
        return AV_NOPTS_VALUE;
    }
};

// The frame as dshowsrc hands it out, built without the product's converter, stride plan or
// header writer: swscale's BGR24 (same size, exact rounding, full chroma interpolation: the
// conversion the plug-ins use) in top-down rows, turned bottom-up into rows padded to 4 bytes
// with zeros, behind a header written field by field.
std::vector<uint8_t> ReferenceDib(const AVFrame* frame) {
    const int w = frame->width, h = frame->height;
    const size_t stride = (size_t{3} * w + 3) & ~size_t{3};
    std::vector<uint8_t> dib(40 + stride * h, 0);
    SwsContext* sws = sws_getContext(
        w, h, static_cast<AVPixelFormat>(frame->format), w, h, AV_PIX_FMT_BGR24,
        SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
    // Bottom-up: the first row goes last.
    uint8_t* dst[4] = {dib.data() + 40 + stride * (h - 1), nullptr, nullptr, nullptr};
    const int dst_stride[4] = {-static_cast<int>(stride), 0, 0, 0};
    const bool converted =
        sws && sws_scale(sws, frame->data, frame->linesize, 0, h, dst, dst_stride) == h;
    sws_freeContext(sws);
    const uint32_t fields[][3] = {{0, 40, 4}, {4, uint32_t(w), 4}, {8, uint32_t(h), 4},
                                  {12, 1, 2}, {14, 24, 2},         {20, uint32_t(stride * h), 4}};
    for (const auto& [at, value, bytes] : fields) {
        for (uint32_t i = 0; i < bytes; ++i) dib[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return converted ? dib : std::vector<uint8_t>();
}

// The reference: the key frame that FFmpeg's backward seek to 10 % finds, decoded from its
// packet on up to the first frame that comes out, as a 40-byte header and 24-bit bottom-up rows.
// Where the seek fails or lands after the time (an MPEG program stream seeks by searching
// timestamps), a walk over the key packets from the start finds the last one not after it.
// Empty when FFmpeg decodes no frame.
std::vector<uint8_t> FfmpegKeyFrame(const std::string& path) {
    video::PacketPtr pkt = video::MakePacket();
    Opened seek(path);
    if (seek.index < 0) return {};
    int64_t key = av_seek_frame(seek.fmt.get(), seek.index, seek.target, AVSEEK_FLAG_BACKWARD) >= 0
                      ? seek.NextKey(pkt)
                      : AV_NOPTS_VALUE;
    Opened o(path);
    if (key == AV_NOPTS_VALUE || key > seek.target) {
        key = o.NextKey(pkt);
        for (int64_t k = key; k != AV_NOPTS_VALUE && k <= o.target; k = o.NextKey(pkt)) key = k;
        o = Opened(path);
    }
    const AVStream* st = o.fmt->streams[o.index];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    video::CodecPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx || avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0 ||
        avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        return {};
    }
    video::FramePtr frame = video::MakeFrame();
    for (int64_t k = o.NextKey(pkt); k != AV_NOPTS_VALUE && k != key;) k = o.NextKey(pkt);
    bool got = false;
    do {
        if (pkt->stream_index == o.index) avcodec_send_packet(ctx.get(), pkt.get());
        av_packet_unref(pkt.get());
        got = avcodec_receive_frame(ctx.get(), frame.get()) >= 0;
    } while (!got && av_read_frame(o.fmt.get(), pkt.get()) >= 0);
    if (!got && avcodec_send_packet(ctx.get(), nullptr) >= 0) {
        got = avcodec_receive_frame(ctx.get(), frame.get()) >= 0;
    }
    if (!got) return {};
    return ReferenceDib(frame.get());
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

// Every clip (and the sample videos): 10 % of 4 seconds is frame 4, and the key frame at or
// before it the last multiple of the clip's key-frame interval not after 4. The standard clips
// have key frames 12 apart, so that is their first frame; more clips, in each container, with
// key frames 3 apart (B-frames or not) and intra-only MPEG-2, give frame 3 and frame 4.
TEST_F(DshowPreview, EveryClipGivesTheKeyFrameAtOrBeforeTenPerCent) {
    std::string error;
    ASSERT_FALSE(cliptest::ClipDir(&error).empty()) << error;
    std::vector<cliptest::NamedClip> clips = cliptest::StandardClips();
    for (const auto& [name, muxer, codec, gop] :
         {std::make_tuple("gop3.mp4", "mp4", cliptest::Codec::H264, 3),
          std::make_tuple("gop3.mkv", "matroska", cliptest::Codec::H264, 3),
          std::make_tuple("gop3.avi", "avi", cliptest::Codec::Mpeg4, 3),
          std::make_tuple("gop1.mpg", "vob", cliptest::Codec::Mpeg2, 1)}) {
        cliptest::ClipSpec recipe;
        recipe.muxer = muxer;
        recipe.codec = codec;
        recipe.gop = gop;
        recipe.b_frames = codec == cliptest::Codec::Mpeg4 ? 0 : 1;
        recipe.grain = codec == cliptest::Codec::Mpeg2;  // a program stream packet per frame
        if (recipe.grain) recipe.width = 128, recipe.height = 96;
        ASSERT_TRUE(cliptest::MakeClip(cliptest::ClipPath(name), recipe, error)) << error;
        clips.push_back({name, recipe, ""});
    }
    for (const cliptest::NamedClip& clip : clips) {
        const std::string path = cliptest::ClipPath(clip.name);
        if (clip.want.unseekable) {
            std::vector<uint8_t> whole, split;
            EXPECT_EQ(Preview(path, whole, split), -1) << clip.name << ": no length, no frame";
            continue;
        }
        const int frame = cliptest::FrameShownAt(0.4, clip.want.fps, clip.want.frames);
        ExpectKeyFrame(path, frame / clip.want.gop * clip.want.gop);
    }
    for (const char* name : {"video-h264.mp4", "video-audio-first.mkv", "clip-audio-video.avi"}) {
        const std::string path = std::string(ZEM_SOURCE_DIR) + "/samples/" + name;
        if (std::filesystem::exists(path)) ExpectKeyFrame(path, -1);
    }
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
