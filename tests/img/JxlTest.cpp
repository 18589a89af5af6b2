// JPEG XL through imgsrc against libjxl's own 8-bit decode of files made by libjxl's encoder:
// grey, grey+alpha, RGB and RGBA, lossless and lossy, 16-bit samples, animations frame by frame,
// and damaged files.
#include <gtest/gtest.h>
#include <jxl/decode.h>

#include <memory>
#include <string>
#include <vector>

#include "DamageSweep.h"
#include "ImgTestSupport.h"
#include "ModernEncoders.h"

namespace {

using modern_test::Raster;

// Every displayed frame as libjxl decodes it to 8-bit samples of the file's own layout
// (orientation kept, alpha unpremultiplied), widened to RGBA.
std::vector<std::vector<uint8_t>> LibjxlFrames(const std::vector<uint8_t>& bytes,
                                               JxlBasicInfo& info) {
    std::vector<std::vector<uint8_t>> frames;
    std::unique_ptr<JxlDecoder, void (*)(JxlDecoder*)> d(JxlDecoderCreate(nullptr),
                                                         JxlDecoderDestroy);
    JxlDecoderSubscribeEvents(d.get(), JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE);
    JxlDecoderSetKeepOrientation(d.get(), JXL_TRUE);
    JxlDecoderSetUnpremultiplyAlpha(d.get(), JXL_TRUE);
    JxlDecoderSetInput(d.get(), bytes.data(), bytes.size());
    JxlDecoderCloseInput(d.get());
    JxlPixelFormat format{0, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    std::vector<uint8_t> buffer;
    for (;;) {
        const JxlDecoderStatus s = JxlDecoderProcessInput(d.get());
        if (s == JXL_DEC_BASIC_INFO) {
            JxlDecoderGetBasicInfo(d.get(), &info);
            format.num_channels = info.num_color_channels + (info.alpha_bits ? 1 : 0);
            buffer.resize(size_t{info.xsize} * info.ysize * format.num_channels);
        } else if (s == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            JxlDecoderSetImageOutBuffer(d.get(), &format, buffer.data(), buffer.size());
        } else if (s == JXL_DEC_FULL_IMAGE) {
            frames.push_back(img_test::ToRgba(buffer, int(format.num_channels)));
        } else {
            if (s != JXL_DEC_SUCCESS) frames.clear();
            return frames;
        }
    }
}

uint16_t DibBits(const JxlBasicInfo& info) {
    return info.alpha_bits ? 32 : info.num_color_channels == 1 ? 8 : 24;
}

TEST(ImgJxl, StillPicturesMatchLibjxl) {
    struct Case {
        uint32_t width, height;
        int channels, depth;
        bool lossless;
    };
    const Case cases[] = {
        {1, 1, 3, 8, true},    {64, 48, 1, 8, true},   {64, 48, 2, 8, true},
        {64, 48, 3, 8, true},  {64, 48, 4, 8, true},   {64, 48, 1, 8, false},
        {64, 48, 3, 8, false}, {61, 37, 4, 8, false},  {300, 7, 3, 8, false},
        {45, 29, 3, 16, true}, {33, 18, 4, 16, false}, {270, 260, 3, 8, false},
    };
    uint32_t seed = 30;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " channels " +
                     std::to_string(c.channels) + ", " + std::to_string(c.depth) + " bits" +
                     (c.lossless ? " lossless" : " lossy"));
        const Raster raster =
            modern_test::PhotoLike(c.width, c.height, c.channels, ++seed, c.depth);
        const auto file = modern_test::EncodeJxl({raster}, c.lossless);
        ASSERT_FALSE(file.bytes.empty()) << file.error;
        JxlBasicInfo info{};
        const auto want = LibjxlFrames(file.bytes, info);
        ASSERT_EQ(want.size(), 1u);
        const img_test::Picture got = img_test::Decode(file.bytes);
        EXPECT_TRUE(img_test::SameRgba(got, want[0], c.width, c.height));
        EXPECT_EQ(got.bit_count, DibBits(info));
        EXPECT_EQ(got.type_back, 24u);
        if (c.lossless && c.depth == 8) {
            // Lossless 8-bit: the decode gives back the very samples encoded.
            EXPECT_TRUE(img_test::SameRgba(got, img_test::ToRgba(raster.samples, c.channels),
                                           c.width, c.height));
        }
        const img_test::Info record = img_test::GetInfo(file.bytes);
        EXPECT_EQ(record.result, 0);
        EXPECT_EQ(uint32_t{record.record.frameCount}, 1u);
        EXPECT_NE(img_test::Decode(file.bytes, 1).result, 0);
    }
}

TEST(ImgJxl, AnimationFramesMatchLibjxl) {
    struct Case {
        uint32_t width, height;
        int channels, frames;
        bool lossless;
    };
    const Case cases[] = {{40, 24, 4, 4, true}, {33, 21, 3, 3, false}, {16, 16, 1, 5, true}};
    uint32_t seed = 70;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.frames) + " frames, channels " + std::to_string(c.channels));
        std::vector<Raster> frames;
        for (int i = 0; i < c.frames; ++i) {
            frames.push_back(modern_test::PhotoLike(c.width, c.height, c.channels, ++seed));
        }
        const auto file = modern_test::EncodeJxl(frames, c.lossless);
        ASSERT_FALSE(file.bytes.empty()) << file.error;
        JxlBasicInfo info{};
        const auto want = LibjxlFrames(file.bytes, info);
        ASSERT_EQ(want.size(), size_t(c.frames));
        for (int i = 0; i < c.frames; ++i) {
            const img_test::Picture got = img_test::Decode(file.bytes, i);
            EXPECT_TRUE(img_test::SameRgba(got, want[size_t(i)], c.width, c.height))
                << "frame " << i;
        }
        EXPECT_NE(img_test::Decode(file.bytes, c.frames).result, 0);
        const uint32_t frame_count = img_test::GetInfo(file.bytes).record.frameCount;
        EXPECT_EQ(frame_count, uint32_t(c.frames));
    }
}

TEST(ImgJxl, DamagedFilesGiveACodeOrAPicture) {
    const auto lossy = modern_test::EncodeJxl({modern_test::PhotoLike(40, 30, 4, 1)}, false);
    const auto lossless = modern_test::EncodeJxl({modern_test::PhotoLike(40, 30, 1, 2)}, true);
    const auto animation = modern_test::EncodeJxl(
        {modern_test::PhotoLike(20, 12, 3, 3), modern_test::PhotoLike(20, 12, 3, 4)}, true);
    for (const auto* file : {&lossy, &lossless, &animation}) {
        ASSERT_FALSE(file->bytes.empty()) << file->error;
        img_test::DamageSweep sweep;
        sweep.frame = file == &animation ? 1 : 0;
        sweep.seed = 9, sweep.flips = 60, sweep.keep_head = 2;
        img_test::SweepDamage(file->bytes, sweep);
    }
}

}  // namespace
