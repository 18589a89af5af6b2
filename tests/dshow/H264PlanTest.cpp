// A time seek into H.264 decodes only the pictures the asked-for frame reaches through its
// reference lists, with stand-ins for the other reference pictures. Every frame it returns must
// equal the same frame of a plain decode of the whole clip, over the reference structures
// libx264 makes: pyramids normal and strict, many references, weighted and temporal-direct
// prediction, several slices, CAVLC, open GOPs, fields, MP4, Matroska and MPEG-TS framing.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "ClipMaker.h"
#include "DibConvert.h"
#include "DibHelpers.h"
#include "FfmpegPtr.h"
#include "H264Refs.h"
#include "TestSupport.h"
#include "TimeSeek.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

constexpr int kWidth = 128;
constexpr int kHeight = 96;
constexpr int kFps = 10;
constexpr int kFrames = 48;

struct Structure {
    const char* name;
    const char* muxer;
    const char* preset;
    int b_frames;
    const char* params;
    bool stands_in;  // some frame needs fewer than all reference pictures before it
};

const Structure kStructures[] = {
    {"pyramid", "mp4", "veryfast", 3, "", true},
    {"pyramid_annex_b", "mpegts", "veryfast", 3, "", true},
    {"pyramid_many_refs", "matroska", "medium", 3, "ref=4", true},
    {"strict_temporal_direct", "mp4", "medium", 5, "b-pyramid=strict:direct=temporal:ref=5", true},
    {"wide_pyramid_weighted", "mp4", "medium", 8, "b-adapt=2:ref=6:weightp=2:weightb=1", true},
    {"several_slices", "mp4", "veryfast", 3, "slices=3", true},
    {"cavlc", "mp4", "veryfast", 3, "cabac=0", true},
    {"open_gop", "mp4", "veryfast", 3, "open-gop=1", true},
    {"b_not_referenced", "mp4", "veryfast", 2, "b-pyramid=none:ref=3", true},
    {"p_only", "mp4", "veryfast", 0, "ref=3", false},
    {"interlaced", "mp4", "veryfast", 2, "interlaced=1", false},
};

void PrintTo(const Structure& s, std::ostream* os) { *os << s.name; }

// Every frame of the clip in presentation order as 24-bit bottom-up rows, decoded one packet
// after another by a plain single-threaded decoder.
std::vector<std::vector<uint8_t>> DecodeEveryFrame(const std::string& path) {
    std::vector<std::vector<uint8_t>> frames;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return frames;
    video::FormatPtr fmt(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0) return frames;
    const AVStream* st = raw->streams[0];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    video::CodecPtr ctx(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(ctx.get(), st->codecpar);
    ctx->thread_count = 1;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return frames;
    video::PacketPtr pkt(av_packet_alloc());
    video::FramePtr frame(av_frame_alloc());
    uint64_t stride = 0;
    if (!DibStrideFor(24, kWidth, stride)) return frames;
    const size_t size = static_cast<size_t>(stride) * kHeight;
    auto drain = [&] {
        while (avcodec_receive_frame(ctx.get(), frame.get()) == 0) {
            frames.emplace_back(size);
            if (video::FrameConverter().ToBgr24Rows(frame.get(), kWidth, kHeight,
                                                    frames.back().data()) != video::Status::Ok) {
                frames.back().clear();
            }
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(raw, pkt.get()) >= 0) {
        if (pkt->stream_index == 0) avcodec_send_packet(ctx.get(), pkt.get());
        av_packet_unref(pkt.get());
        drain();
    }
    avcodec_send_packet(ctx.get(), nullptr);
    drain();
    return frames;
}

// Whether the plan for some packet gives a stand-in for a reference picture before it, and
// leaves out only pictures that are no references (nal_ref_idc of the packet's first slice).
bool PlansStandIn(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return false;
    video::FormatPtr fmt(raw);
    std::vector<video::PacketPtr> packets;
    for (;;) {
        video::PacketPtr pkt(av_packet_alloc());
        if (av_read_frame(raw, pkt.get()) < 0) break;
        if (pkt->stream_index == 0) packets.push_back(std::move(pkt));
    }
    const AVCodecParameters* par = raw->streams[0]->codecpar;
    const bool avcc = par->extradata_size > 0 && par->extradata[0] == 1;
    auto is_reference = [avcc](const AVPacket& p) {
        for (int i = 0; i + 4 < p.size;) {
            int head = i + 4;
            if (!avcc) {  // Annex B: the byte after a start code
                if (p.data[i] != 0 || p.data[i + 1] != 0 || p.data[i + 2] != 1) {
                    ++i;
                    continue;
                }
                head = i + 3;
            }
            const int type = p.data[head] & 0x1F;
            if (type == 1 || type == 5) return (p.data[head] >> 5 & 3) != 0;
            i = avcc ? i + 4 + (p.data[i] << 24 | p.data[i + 1] << 16 | p.data[i + 2] << 8 |
                                p.data[i + 3])
                     : head;
        }
        return false;
    };
    std::vector<video::ByteSpan> spans;
    for (const auto& p : packets) spans.push_back({p->data, static_cast<size_t>(p->size)});
    bool stood_in = false;
    for (size_t want = 0; want < spans.size(); ++want) {
        const video::H264Plan plan = video::PlanH264Decode(
            {par->extradata, static_cast<size_t>(par->extradata_size)}, spans, want);
        for (size_t i = 0; i < plan.send.size(); ++i) {
            if (!plan.send[i]) EXPECT_FALSE(is_reference(*packets[i])) << want << " " << i;
            if (!plan.stand_in[i].empty()) stood_in = true;
        }
    }
    return stood_in;
}

class H264Plan : public ::testing::TestWithParam<Structure> {};

TEST_P(H264Plan, EveryFrameEqualsThePlainDecode) {
    const Structure& s = GetParam();
    const std::string dir = testing_support::MakeTempDir();
    const std::string path = dir + "/" + s.name;
    cliptest::ClipSpec want;
    want.muxer = s.muxer;
    want.width = kWidth;
    want.height = kHeight;
    want.fps = kFps;
    want.frames = kFrames;
    want.gop = 24;
    want.b_frames = s.b_frames;
    want.grain = true;
    want.motion = true;
    want.x264_preset = s.preset;
    want.x264_params = s.params;
    std::string error;
    ASSERT_TRUE(cliptest::MakeClip(path, want, error)) << error;

    const auto expected = DecodeEveryFrame(path);
    ASSERT_EQ(expected.size(), static_cast<size_t>(kFrames));
    EXPECT_EQ(PlansStandIn(path), s.stands_in);

    video::TimedMedia media;
    ASSERT_EQ(media.Open(path), video::Status::Ok);
    std::vector<uint8_t> rows(expected[0].size());
    for (int n = 0; n < kFrames; ++n) {
        std::fill(rows.begin(), rows.end(), 0);
        ASSERT_EQ(media.FrameAt(0, (n + 0.5) / kFps, kWidth, kHeight, rows.data()),
                  video::Status::Ok)
            << n;
        ASSERT_TRUE(rows == expected[static_cast<size_t>(n)]) << s.name << ": frame " << n;
    }
    testing_support::RemoveTree(dir);
}

INSTANTIATE_TEST_SUITE_P(X264, H264Plan, ::testing::ValuesIn(kStructures),
                         [](const auto& info) { return std::string(info.param.name); });

// Damaged headers end planning with "decode everything", never a read outside the packet.
TEST(H264PlanInput, ShortAndDamagedHeadersGiveNoPlan) {
    const uint8_t avcc_head[] = {1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 40};  // claims 40 bytes of SPS
    const uint8_t idr_cut[] = {0, 0, 0, 9, 0x65, 0x88};                 // length past the end
    const uint8_t no_sps[] = {0, 0, 1, 0x65, 0x88, 0x84, 0x00};        // Annex B, no SPS/PPS
    const std::vector<video::ByteSpan> cut{{idr_cut, sizeof idr_cut}};
    const std::vector<video::ByteSpan> bare{{no_sps, sizeof no_sps}};
    EXPECT_TRUE(video::PlanH264Decode({avcc_head, sizeof avcc_head}, cut, 0).send.empty());
    EXPECT_TRUE(video::PlanH264Decode({}, bare, 0).send.empty());
    EXPECT_TRUE(video::PlanH264Decode({}, bare, 1).send.empty());
    EXPECT_TRUE(video::PlanH264Decode({}, {}, 0).send.empty());
}

}  // namespace
