// Camera RAW through the built module against LibRaw's own development, on CFA DNGs that the
// tests write with libtiff; plain TIFFs stay TIFF; damaged DNGs give a code.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <random>

#include "DamageSweep.h"
#include "ImgTestSupport.h"
#include "LibPictures.h"

namespace {

TEST(RawCodec, DngMatchesLibRawDevelopment) {
    std::mt19937 rng(31);
    for (int round = 0; round < 4; ++round) {
        const uint32_t width = 32 + 2 * (rng() % 40), height = 32 + 2 * (rng() % 30);
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        const std::vector<uint8_t> dng = img_test::MakeDng(width, height, {}, rng);
        std::vector<uint8_t> rgb;
        uint32_t w = 0, h = 0;
        ASSERT_TRUE(img_test::RawReference(dng, rgb, w, h));
        for (uint32_t type : {0u, 19u}) {
            const img_test::Picture got = img_test::Decode(dng, 0, 1, type);
            EXPECT_TRUE(img_test::SameRgba(got, img_test::ToRgba(rgb, 3), w, h)) << type;
            EXPECT_EQ(got.bit_count, 24);
            EXPECT_EQ(got.type_back, 19u);
        }
        EXPECT_NE(img_test::Decode(dng, 1).result, 0);
    }
}

// TIFF-structured, but no camera's: detection goes on to TIFF, and RAW asked for fails.
TEST(RawCodec, PlainTiffIsLeftToTheTiffBackEnd) {
    std::mt19937 rng(32);
    struct Kind {
        uint16_t photometric, bps, spp;
    } kinds[] = {{PHOTOMETRIC_RGB, 8, 3},
                 {PHOTOMETRIC_MINISBLACK, 16, 1},
                 {PHOTOMETRIC_MINISBLACK, 8, 1},
                 {PHOTOMETRIC_RGB, 16, 3}};
    for (const Kind& k : kinds) {
        img_test::TiffPage page;
        page.width = 40 + rng() % 40;
        page.height = 40 + rng() % 40;
        page.photometric = k.photometric, page.bps = k.bps, page.spp = k.spp;
        img_test::FillRandom(page, rng);
        const std::vector<uint8_t> tiff = img_test::MakeTiff({page});
        const img_test::Picture got = img_test::Decode(tiff);
        EXPECT_EQ(got.result, 0);
        EXPECT_EQ(got.type_back, 6u) << k.photometric << "/" << k.bps;
        EXPECT_EQ(img_test::Decode(tiff, 0, 1, 19).result, 2);
    }
}

TEST(RawCodec, TruncatedAndCorruptedDng) {
    std::mt19937 rng(33);
    // LibRaw develops even a tiny DNG slowly: fewer rounds, half of them in the header and
    // directory, which hold most of what LibRaw interprets.
    img_test::DamageSweep sweep;
    sweep.prefixes = 60, sweep.flips = 80, sweep.max_flips = 6, sweep.head_bytes = 400;
    sweep.seed = static_cast<uint32_t>(rng());
    img_test::SweepDamage(img_test::MakeDng(40, 32, {}, rng), sweep);
}

}  // namespace
