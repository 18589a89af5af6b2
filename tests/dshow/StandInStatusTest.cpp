// Failures of video/ and of the media-detector stand-in keep their cause: a shortage of memory,
// data that cannot be read and a format without a decoder or conversion come out apart.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "ClipMaker.h"
#include "Decoder.h"
#include "DibConvert.h"
#include "MediaDet.h"
#include "TestSupport.h"

namespace {

using video::Status;

// The errors that FFmpeg's own calls give for each cause, not a copy of the mapping: memory
// refused (an allocation past av_max_alloc's limit), a demuxer that reads junk or a missing
// file, a stream whose codec no decoder knows, and a seek that the input cannot do.
TEST(VideoStatus, FfmpegErrorsByCause) {
    const std::string dir = testing_support::MakeTempDir();
    ASSERT_FALSE(dir.empty());
    const auto open_error = [](const std::string& path) {
        AVFormatContext* fmt = nullptr;
        const int error = avformat_open_input(&fmt, path.c_str(), nullptr, nullptr);
        avformat_close_input(&fmt);
        return error;
    };
    const std::string junk = dir + "/junk.avi";
    ASSERT_TRUE(testing_support::WriteWholeFile(junk, std::vector<uint8_t>(4096, 'x')));
    // A WAVE file whose format tag (0x7A7A) names no codec.
    std::vector<uint8_t> wave = {'R', 'I', 'F', 'F', 44, 0, 0, 0, 'W', 'A', 'V', 'E',
                                 'f', 'm', 't', ' ', 16, 0, 0, 0, 0x7A, 0x7A, 1, 0,
                                 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0,
                                 'd', 'a', 't', 'a', 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::string unknown = dir + "/unknown-codec.wav";
    ASSERT_TRUE(testing_support::WriteWholeFile(unknown, wave));
    int no_decoder = 0;
    {
        AVFormatContext* fmt = nullptr;
        ASSERT_GE(avformat_open_input(&fmt, unknown.c_str(), nullptr, nullptr), 0);
        avformat_find_stream_info(fmt, nullptr);
        const AVCodec* decoder = nullptr;
        no_decoder = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
        avformat_close_input(&fmt);
    }
    int no_memory = 0;
    {
        video::PacketPtr packet = video::MakePacket();
        av_max_alloc(1 << 16);
        no_memory = av_new_packet(packet.get(), 1 << 20);
        av_max_alloc(INT_MAX);
    }
    int no_seek = 0;
    {
        auto* buffer = static_cast<unsigned char*>(av_malloc(4096));
        AVIOContext* io = avio_alloc_context(
            buffer, 4096, 0, nullptr, [](void*, uint8_t*, int) { return AVERROR_EOF; }, nullptr,
            nullptr);
        ASSERT_NE(io, nullptr);
        no_seek = static_cast<int>(avio_size(io));
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
    const struct {
        const char* cause;
        int error;
        Status status;
    } table[] = {
        {"success", 0, Status::Ok},
        {"allocation refused", no_memory, Status::NoMemory},
        {"junk bytes", open_error(junk), Status::Broken},
        {"missing file", open_error(dir + "/missing.mp4"), Status::Broken},
        {"codec without a decoder", no_decoder, Status::Unsupported},
        {"input without a seek", no_seek, Status::Unsupported},
    };
    for (const auto& row : table) {
        char text[AV_ERROR_MAX_STRING_SIZE] = "";
        av_strerror(row.error, text, sizeof text);
        EXPECT_STREQ(video::StatusName(video::StatusOfAvError(row.error)),
                     video::StatusName(row.status))
            << row.cause << ": " << row.error << " (" << text << ")";
    }
    testing_support::RemoveTree(dir);
}

TEST(VideoStatus, DecoderAndConverterTellTheCause) {
    video::Decoder decoder;
    EXPECT_EQ(decoder.Open(video::CodecSetup()), Status::Unsupported);  // no codec named

    video::FramePtr frame = video::MakeFrame();
    ASSERT_TRUE(frame);
    frame->width = 16;
    frame->height = 16;
    frame->format = AV_PIX_FMT_YUV420P;
    ASSERT_GE(av_frame_get_buffer(frame.get(), 0), 0);
    video::FrameConverter converter;
    std::vector<uint8_t> dib;
    EXPECT_EQ(converter.ToPackedDib(nullptr, video::DibLayout::Bgr24, 0, dib), Status::Broken);
    // A palette DIB wants a palette frame.
    EXPECT_EQ(converter.ToPackedDib(frame.get(), video::DibLayout::Pal8, 256, dib),
              Status::Unsupported);
    // Rows wider than 31 bits are never allocated.
    EXPECT_EQ(converter.ToBgr24Rows(frame.get(), INT_MAX, 1, nullptr), Status::NoMemory);
    ASSERT_EQ(converter.ToPackedDib(frame.get(), video::DibLayout::Bgr24, 0, dib), Status::Ok);
    EXPECT_EQ(dib.size(), 40u + 48 * 16);
}

// The detector answers a file that is no clip with E_FAIL, and a bitmap beyond its 32-bit sizes
// with E_OUTOFMEMORY.
TEST(StandInStatus, DetectorResultsByCause) {
    const std::string dir = testing_support::MakeTempDir();
    const std::string text = dir + "/not-a-clip.mp4";
    const std::string clip = dir + "/clip.mp4";
    std::string error;
    ASSERT_TRUE(testing_support::WriteWholeFile(text, {'h', 'e', 'l', 'l', 'o', '\n'}));
    ASSERT_TRUE(cliptest::MakeClip(clip, cliptest::ClipSpec(), error)) << error;
    auto* detector = new MediaDet;
    std::wstring name(text.begin(), text.end());
    EXPECT_EQ(detector->put_Filename(name.data()), E_FAIL);
    name.assign(clip.begin(), clip.end());
    ASSERT_EQ(detector->put_Filename(name.data()), S_OK);
    LONG size = 0;
    EXPECT_EQ(detector->GetBitmapBits(0.0, &size, nullptr, 100000, 100000), E_OUTOFMEMORY);
    EXPECT_EQ(detector->GetBitmapBits(0.0, &size, nullptr, 0, 0), S_OK);
    detector->Release();
    testing_support::RemoveTree(dir);
}

}  // namespace
