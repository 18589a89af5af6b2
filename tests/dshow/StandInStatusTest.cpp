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
// file, and a stream whose codec no decoder knows.
TEST(VideoStatus, FfmpegErrorsByCause) {
    const std::string dir = testing_support::MakeTempDir();
    const auto open_error = [](const std::string& path, int* best_audio = nullptr) {
        AVFormatContext* fmt = nullptr;
        const int error = avformat_open_input(&fmt, path.c_str(), nullptr, nullptr);
        const AVCodec* decoder = nullptr;
        if (error >= 0 && best_audio) {
            *best_audio = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
        }
        avformat_close_input(&fmt);
        return error;
    };
    ASSERT_TRUE(
        testing_support::WriteWholeFile(dir + "/junk.avi", std::vector<uint8_t>(4096, 'x')));
    // A WAVE file whose format tag (0x7A7A) names no codec.
    ASSERT_TRUE(testing_support::WriteWholeFile(
        dir + "/unknown.wav",
        {'R', 'I', 'F', 'F', 36, 0,    0,    0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
         ' ', 16,  0,   0,   0,  0x7A, 0x7A, 1,   0,   0x40, 0x1F, 0,   0,   0x40, 0x1F,
         0,   0,   1,   0,   8,  0,    'd',  'a', 't', 'a',  0,    0,   0,   0}));
    int no_decoder = 0;
    ASSERT_GE(open_error(dir + "/unknown.wav", &no_decoder), 0);
    video::PacketPtr packet = video::MakePacket();
    av_max_alloc(1 << 16);
    const int no_memory = av_new_packet(packet.get(), 1 << 20);
    av_max_alloc(INT_MAX);
    const struct {
        const char* cause;
        int error;
        Status status;
    } table[] = {
        {"success", 0, Status::Ok},
        {"allocation refused", no_memory, Status::NoMemory},
        {"junk bytes", open_error(dir + "/junk.avi"), Status::Broken},
        {"missing file", open_error(dir + "/missing.mp4"), Status::Broken},
        {"codec without a decoder", no_decoder, Status::Unsupported},
    };
    for (const auto& row : table) {
        EXPECT_STREQ(video::StatusName(video::StatusOfAvError(row.error)),
                     video::StatusName(row.status))
            << row.cause << ": " << row.error;
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
