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

TEST(VideoStatus, FfmpegErrorsByCause) {
    const struct {
        int error;
        Status status;
    } table[] = {
        {0, Status::Ok},
        {AVERROR(ENOMEM), Status::NoMemory},
        {AVERROR_DECODER_NOT_FOUND, Status::Unsupported},
        {AVERROR_PATCHWELCOME, Status::Unsupported},
        {AVERROR_INVALIDDATA, Status::Broken},
        {AVERROR(EIO), Status::Broken},
    };
    for (const auto& row : table) {
        EXPECT_STREQ(video::StatusName(video::StatusOfAvError(row.error)),
                     video::StatusName(row.status))
            << row.error;
    }
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
