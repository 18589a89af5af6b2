// AVIF image sequences through the built module: a sequence of distinct frames (with and
// without alpha) made by libavif's encoder, each frame at its index against libavif's own
// decode of it; the header read names the frame count. Skipped where libavif has no encoder.
#include <avif/avif.h>
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "CodecTypes.h"
#include "DamageSweep.h"
#include "ImgTestSupport.h"

namespace {

struct EncoderFree {
    void operator()(avifEncoder* e) const { avifEncoderDestroy(e); }
};
struct DecoderFree {
    void operator()(avifDecoder* d) const { avifDecoderDestroy(d); }
};
struct ImageFree {
    void operator()(avifImage* i) const { avifImageDestroy(i); }
};

// A sequence of `frames` pictures, each a gradient shifted by its index; empty on failure.
std::vector<uint8_t> EncodeSequence(uint32_t w, uint32_t h, int frames, bool alpha) {
    std::unique_ptr<avifEncoder, EncoderFree> encoder(avifEncoderCreate());
    encoder->speed = 10;
    encoder->minQuantizer = encoder->maxQuantizer = 10;
    encoder->timescale = 10;
    for (int k = 0; k < frames; ++k) {
        std::unique_ptr<avifImage, ImageFree> image(
            avifImageCreate(w, h, 8, AVIF_PIXEL_FORMAT_YUV444));
        avifRGBImage rgb;
        avifRGBImageSetDefaults(&rgb, image.get());
        std::vector<uint8_t> pixels(size_t{w} * h * 4);
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                uint8_t* p = &pixels[(size_t{y} * w + x) * 4];
                p[0] = static_cast<uint8_t>(x * 8 + k * 60), p[1] = static_cast<uint8_t>(y * 8);
                p[2] = static_cast<uint8_t>(k * 80),
                p[3] = alpha ? static_cast<uint8_t>(x * 7) : 255;
            }
        }
        rgb.pixels = pixels.data();
        rgb.rowBytes = w * 4;
        rgb.ignoreAlpha = !alpha;  // no alpha plane
        if (avifImageRGBToYUV(image.get(), &rgb) != AVIF_RESULT_OK) return {};
        if (avifEncoderAddImage(encoder.get(), image.get(), 1, AVIF_ADD_IMAGE_FLAG_NONE) !=
            AVIF_RESULT_OK) {
            return {};
        }
    }
    avifRWData out = AVIF_DATA_EMPTY;
    if (avifEncoderFinish(encoder.get(), &out) != AVIF_RESULT_OK) return {};
    std::vector<uint8_t> bytes(out.data, out.data + out.size);
    avifRWDataFree(&out);
    return bytes;
}

// libavif's decode of frame k as top-down RGBA.
std::vector<uint8_t> LibavifFrame(const std::vector<uint8_t>& file, uint32_t k) {
    std::unique_ptr<avifDecoder, DecoderFree> d(avifDecoderCreate());
    d->requestedSource = AVIF_DECODER_SOURCE_TRACKS;
    if (avifDecoderSetIOMemory(d.get(), file.data(), file.size()) != AVIF_RESULT_OK ||
        avifDecoderParse(d.get()) != AVIF_RESULT_OK ||
        avifDecoderNthImage(d.get(), k) != AVIF_RESULT_OK) {
        return {};
    }
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, d->image);
    rgb.depth = 8;
    std::vector<uint8_t> pixels(size_t{d->image->width} * d->image->height * 4);
    rgb.pixels = pixels.data();
    rgb.rowBytes = d->image->width * 4;
    if (avifImageYUVToRGB(d->image, &rgb) != AVIF_RESULT_OK) return {};
    return pixels;
}

TEST(ImgAvifSequence, EveryFrameAtItsIndex) {
    if (avifCodecName(AVIF_CODEC_CHOICE_AUTO, AVIF_CODEC_FLAG_CAN_ENCODE) == nullptr) {
        GTEST_SKIP() << "libavif has no AV1 encoder here";
    }
    for (bool alpha : {false, true}) {
        const std::vector<uint8_t> file = EncodeSequence(20, 12, 4, alpha);
        ASSERT_FALSE(file.empty());
        const img_test::Info info = img_test::GetInfo(file);
        EXPECT_EQ(info.result, 0);
        EXPECT_EQ(uint32_t{info.record.frameCount}, 4u);
        EXPECT_EQ(uint32_t{info.record.imageType}, uint32_t{kTypeAvif});
        for (int32_t k : {2, 0, 3, 1}) {
            const img_test::Picture p = img_test::Decode(file, k);
            EXPECT_EQ(p.bit_count, alpha ? 32 : 24);
            EXPECT_TRUE(img_test::SameRgba(p, LibavifFrame(file, static_cast<uint32_t>(k)), 20, 12))
                << "frame " << k;
        }
        EXPECT_NE(img_test::Decode(file, 4).result, 0);
        img_test::DamageSweep sweep;
        sweep.prefixes = 30;
        sweep.flips = 40;
        sweep.frame = 2;
        img_test::SweepDamage(file, sweep);
    }
}

}  // namespace
