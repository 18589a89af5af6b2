// QOI through the built module: random pictures from our encoder of the published format, both
// channel counts, every operation; then hand-made streams and damaged files.
#include <gtest/gtest.h>

#include <random>

#include "CodecTypes.h"
#include "DamageSweep.h"
#include "ImgTestSupport.h"
#include "OwnWriters.h"

namespace {

TEST(Qoi, RandomPicturesDecodeExactly) {
    std::mt19937 rng(25);
    for (int round = 0; round < 40; ++round) {
        const int channels = round % 2 ? 4 : 3;
        const uint32_t width = 1 + rng() % 70, height = 1 + rng() % 30;
        // Every fourth RGBA picture is opaque: four channels still give 32 bits.
        const bool alpha = channels == 4 && round % 8 != 1;
        const std::vector<uint8_t> rgba = own_writers::RandomRgba(rng, width, height, alpha);
        const std::vector<uint8_t> file = own_writers::WriteQoi(width, height, channels, rgba);
        for (uint32_t type : {0u, uint32_t{kTypeQoi}}) {
            const img_test::Picture p = img_test::Decode(file, 0, 1, type);
            SCOPED_TRACE(::testing::Message()
                         << channels << " channels " << width << "x" << height << " type " << type);
            EXPECT_TRUE(img_test::SameRgba(p, rgba, width, height));
            EXPECT_EQ(p.bit_count, channels == 4 ? 32 : 24);
            EXPECT_EQ(p.type_back, uint32_t{kTypeQoi});
        }
    }
}

// Streams an encoder would not write but the format allows: a run over the end of a row, an
// INDEX of a never-set slot (transparent black), RGBA in a 3-channel file, no end marker.
TEST(Qoi, HandMadeStreams) {
    std::vector<uint8_t> file = {
        'q',  'o', 'i', 'f', 0,    0,  0,  3,  0,  0,
        0,    2,   3,   1,   0xFF, 10, 20, 30, 40,  // (10,20,30,40), alpha dropped
        0xC2,                                       // three more, across the row end
        0x05,                                       // index 5: never set
        0x5A};                                      // DIFF -1,0,0: red wraps
    const img_test::Picture p = img_test::Decode(file);
    const std::vector<uint8_t> want = {10, 20, 30, 255, 10, 20, 30, 255, 10,  20, 30, 255,
                                       10, 20, 30, 255, 0,  0,  0,  255, 255, 0,  0,  255};
    EXPECT_TRUE(img_test::SameRgba(p, want, 3, 2));
    // One pixel short: broken.
    file.pop_back();
    EXPECT_NE(img_test::Decode(file).result, 0);
    // Zero size and a channel count of 2 are broken; so is a frame beyond the first.
    std::vector<uint8_t> bad = {'q', 'o', 'i', 'f', 0, 0, 0, 0, 0, 0, 0, 2, 3, 0, 0xC1};
    EXPECT_NE(img_test::Decode(bad).result, 0);
    bad[7] = 1, bad[12] = 2;
    EXPECT_NE(img_test::Decode(bad).result, 0);
    bad[12] = 3;
    EXPECT_EQ(img_test::Decode(bad, 0).result, 0);
    EXPECT_NE(img_test::Decode(bad, 1).result, 0);
}

// 30000 x 30000 pixels cannot come from 100 bytes, even as runs: refused before allocating.
TEST(Qoi, LargeClaimsOnSmallDataAreRefused) {
    std::vector<uint8_t> file = {'q', 'o', 'i', 'f', 0, 0, 0x75, 0x30, 0, 0, 0x75, 0x30, 4, 0};
    file.resize(114, 0xFD);
    EXPECT_NE(img_test::Decode(file).result, 0);
}

TEST(Qoi, DamagedFilesGiveACodeOrAPicture) {
    std::mt19937 rng(26);
    for (int channels : {3, 4}) {
        const std::vector<uint8_t> rgba = own_writers::RandomRgba(rng, 23, 17, channels == 4);
        img_test::DamageSweep sweep;
        sweep.seed = static_cast<uint32_t>(channels);
        sweep.prefixes = SIZE_MAX;
        sweep.flips = 200;
        img_test::SweepDamage(own_writers::WriteQoi(23, 17, channels, rgba), sweep);
    }
}

}  // namespace
