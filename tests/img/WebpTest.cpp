// WebP through imgsrc against libwebp's own decode of files made by libwebp's encoders: still
// pictures lossy and lossless with and without alpha at many sizes, animations frame by frame
// against WebPAnimDecoder, and damaged files.
#include <gtest/gtest.h>
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "DamageSweep.h"
#include "ImgTestSupport.h"
#include "ModernEncoders.h"

namespace {

using modern_test::Raster;

std::vector<uint8_t> LibwebpRgba(const std::vector<uint8_t>& bytes, int& w, int& h) {
    uint8_t* rgba = WebPDecodeRGBA(bytes.data(), bytes.size(), &w, &h);
    std::vector<uint8_t> out;
    if (rgba) out.assign(rgba, rgba + size_t(w) * size_t(h) * 4);
    WebPFree(rgba);
    return out;
}

// Every frame as WebPAnimDecoder composes it, RGBA; alpha forced opaque for files without it.
std::vector<std::vector<uint8_t>> LibwebpFrames(const std::vector<uint8_t>& bytes, bool& alpha) {
    WebPAnimDecoderOptions options;
    WebPAnimDecoderOptionsInit(&options);
    options.color_mode = MODE_RGBA;
    const WebPData data{bytes.data(), bytes.size()};
    std::unique_ptr<WebPAnimDecoder, void (*)(WebPAnimDecoder*)> d(
        WebPAnimDecoderNew(&data, &options), WebPAnimDecoderDelete);
    std::vector<std::vector<uint8_t>> frames;
    WebPAnimInfo info;
    if (!d || !WebPAnimDecoderGetInfo(d.get(), &info)) return frames;
    alpha = (WebPDemuxGetI(WebPAnimDecoderGetDemuxer(d.get()), WEBP_FF_FORMAT_FLAGS) &
             ALPHA_FLAG) != 0;
    uint8_t* rgba = nullptr;
    int timestamp = 0;
    while (WebPAnimDecoderGetNext(d.get(), &rgba, &timestamp)) {
        frames.emplace_back(rgba, rgba + size_t(info.canvas_width) * info.canvas_height * 4);
        if (!alpha) {
            for (size_t i = 3; i < frames.back().size(); i += 4) frames.back()[i] = 255;
        }
    }
    return frames;
}

struct StillCase {
    uint32_t width, height;
    int channels;
    bool lossless;
};

TEST(ImgWebp, StillPicturesMatchLibwebp) {
    const StillCase cases[] = {
        {1, 1, 3, false},   {1, 1, 4, true},     {2, 3, 4, false},  {7, 5, 3, true},
        {64, 48, 3, false}, {64, 48, 4, false},  {64, 48, 3, true}, {64, 48, 4, true},
        {257, 3, 4, false}, {3, 259, 3, false},  {131, 97, 4, true}, {320, 200, 3, false},
    };
    uint32_t seed = 1;
    for (const StillCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " channels " +
                     std::to_string(c.channels) + (c.lossless ? " lossless" : " lossy"));
        const auto file = modern_test::EncodeWebp(
            modern_test::PhotoLike(c.width, c.height, c.channels, ++seed), c.lossless);
        ASSERT_FALSE(file.bytes.empty()) << file.error;
        WebPBitstreamFeatures features;
        ASSERT_EQ(WebPGetFeatures(file.bytes.data(), file.bytes.size(), &features),
                  VP8_STATUS_OK);
        int w = 0, h = 0;
        const std::vector<uint8_t> want = LibwebpRgba(file.bytes, w, h);
        const img_test::Picture got = img_test::Decode(file.bytes);
        EXPECT_TRUE(img_test::SameRgba(got, want, uint32_t(w), uint32_t(h)));
        EXPECT_EQ(got.bit_count, features.has_alpha ? 32 : 24);
        EXPECT_EQ(got.type_back, 21u);
        EXPECT_EQ(got.x_ppm, 3780);  // no resolution in WebP: 96 dpi
        const img_test::Info info = img_test::GetInfo(file.bytes);
        EXPECT_EQ(info.result, 0);
        EXPECT_EQ(uint32_t{info.record.frameCount}, 1u);
        EXPECT_EQ(uint32_t{info.record.imageType}, 21u);
        EXPECT_NE(img_test::Decode(file.bytes, 1).result, 0) << "frame 1 of a still picture";
    }
}

TEST(ImgWebp, AnimationFramesMatchWebPAnimDecoder) {
    struct AnimCase {
        uint32_t width, height;
        int channels, frames;
        bool lossless;
    };
    const AnimCase cases[] = {{48, 32, 4, 5, false}, {40, 30, 3, 3, true}, {17, 9, 4, 4, true}};
    uint32_t seed = 100;
    for (const AnimCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.frames) + " frames of " + std::to_string(c.width) + "x" +
                     std::to_string(c.height) + " channels " + std::to_string(c.channels));
        std::vector<Raster> frames;
        for (int i = 0; i < c.frames; ++i) {
            Raster r = modern_test::PhotoLike(c.width, c.height, c.channels, seed);
            // Change a band only, so that the encoder writes partial frames to compose.
            const Raster other = modern_test::PhotoLike(c.width, c.height, c.channels, ++seed);
            const size_t row = size_t{c.width} * size_t(c.channels);
            for (uint32_t y = c.height / 3; y < c.height / 3 + 1 + i % 3 && y < c.height; ++y) {
                std::copy_n(other.samples.begin() + ptrdiff_t(row * y), row,
                            r.samples.begin() + ptrdiff_t(row * y));
            }
            frames.push_back(std::move(r));
        }
        const auto file = modern_test::EncodeWebpAnimation(frames, c.lossless);
        ASSERT_FALSE(file.bytes.empty()) << file.error;
        bool alpha = false;
        const auto want = LibwebpFrames(file.bytes, alpha);
        ASSERT_EQ(want.size(), size_t(c.frames));
        for (int i = 0; i < c.frames; ++i) {
            const img_test::Picture got = img_test::Decode(file.bytes, i);
            EXPECT_TRUE(img_test::SameRgba(got, want[size_t(i)], c.width, c.height))
                << "frame " << i;
            EXPECT_EQ(got.bit_count, alpha ? 32 : 24);
        }
        EXPECT_NE(img_test::Decode(file.bytes, c.frames).result, 0);
        EXPECT_NE(img_test::Decode(file.bytes, -1).result, 0);
        const uint32_t frame_count = img_test::GetInfo(file.bytes).record.frameCount;
        EXPECT_EQ(frame_count, uint32_t(c.frames));
    }
}

// An animation whose canvas (VP8X, up to 2^24 a side; libwebp itself takes areas below 2^32)
// exceeds what the codec layer builds is refused from the header as out of memory (4), before
// the animation decoder allocates its canvas.
TEST(ImgWebp, OverLargeCanvasIsRefusedBeforeDecoding) {
    std::vector<uint8_t> file = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P',
                                 'V', 'P', '8', 'X', 10, 0, 0, 0, 0x12, 0, 0, 0,
                                 0xFF, 0xFF, 0x00, 0xFF, 0x7F, 0x00,  // 65536 x 32768
                                 'A', 'N', 'I', 'M', 6, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const uint32_t riff = uint32_t(file.size() - 8);
    file[4] = uint8_t(riff);
    EXPECT_EQ(img_test::Decode(file).result, 4);
    EXPECT_NE(img_test::GetInfo(file).result, 0);
}

TEST(ImgWebp, DamagedFilesGiveACodeOrAPicture) {
    const auto lossy = modern_test::EncodeWebp(modern_test::PhotoLike(40, 30, 4, 7), false);
    const auto lossless = modern_test::EncodeWebp(modern_test::PhotoLike(40, 30, 3, 8), true);
    std::vector<Raster> frames;
    for (uint32_t i = 0; i < 3; ++i) frames.push_back(modern_test::PhotoLike(24, 16, 4, 20 + i));
    const auto animation = modern_test::EncodeWebpAnimation(frames, false);
    for (const auto* file : {&lossy, &lossless, &animation}) {
        ASSERT_FALSE(file->bytes.empty()) << file->error;
        img_test::DamageSweep sweep;
        sweep.frame = file == &animation ? 2 : 0;
        sweep.seed = 5, sweep.flips = 60, sweep.keep_head = 16;
        img_test::SweepDamage(file->bytes, sweep);
    }
}

}  // namespace
