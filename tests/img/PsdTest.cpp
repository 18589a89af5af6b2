// PSD and PSB through the built module: random merged images in every mode, depth and
// compression written by our writer, decoded exactly; the alpha rule, resolution, frames and
// damaged files.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "CodecTypes.h"
#include "DamageSweep.h"
#include "ImgTestSupport.h"
#include "OwnWriters.h"

namespace {

using own_writers::PsdSpec;

struct PsdCase {
    const char* name;
    uint16_t mode;
    uint16_t depth;
    bool packbits;
    uint16_t version;
    int extra_channels;   // channels after the colour ones
    int16_t layer_count;  // negative: the first extra channel is alpha
    bool lr16;
    uint16_t want_bits;
};

const PsdCase kCases[] = {
    {"bitmap raw", 0, 1, false, 1, 0, 0, false, 1},
    {"bitmap rle psb", 0, 1, true, 2, 0, 0, false, 1},
    {"grey8 raw", 1, 8, false, 1, 0, 0, false, 8},
    {"grey8 rle", 1, 8, true, 1, 0, 0, false, 8},
    {"grey16 rle psb", 1, 16, true, 2, 0, 0, false, 8},
    {"duotone8 raw", 8, 8, false, 1, 0, 0, false, 8},
    {"grey8 alpha", 1, 8, true, 1, 1, -1, false, 32},
    {"grey16 alpha lr16", 1, 16, false, 1, 1, -2, true, 32},
    {"indexed raw", 2, 8, false, 1, 0, 0, false, 8},
    {"indexed rle", 2, 8, true, 1, 0, 0, false, 8},
    {"rgb8 raw", 3, 8, false, 1, 0, 0, false, 24},
    {"rgb8 rle", 3, 8, true, 1, 0, 0, false, 24},
    {"rgb16 raw", 3, 16, false, 1, 0, 0, false, 24},
    {"rgb16 rle psb", 3, 16, true, 2, 0, 0, false, 24},
    {"rgb8 spot channel, layers", 3, 8, true, 1, 1, 3, false, 24},
    {"rgb8 extra channel, no layers", 3, 8, false, 1, 1, 0, false, 24},
    {"rgb8 alpha", 3, 8, true, 1, 2, -1, false, 32},
    {"rgb16 alpha lr16 psb", 3, 16, true, 2, 1, -3, true, 32},
    {"cmyk8 raw", 4, 8, false, 1, 0, 0, false, 24},
    {"cmyk8 rle", 4, 8, true, 1, 0, 0, false, 24},
    {"cmyk16 rle", 4, 16, true, 1, 0, 0, false, 24},
    {"cmyk8 alpha psb", 4, 8, false, 2, 1, -1, false, 32},
};

uint8_t To8(uint16_t v, uint16_t depth) {
    return depth == 16 ? static_cast<uint8_t>(std::lround(v * 255.0 / 65535.0))
                       : static_cast<uint8_t>(v);
}

// A random document of the case's kind, with the top-down RGBA it should decode to.
PsdSpec MakeDocument(const PsdCase& c, std::mt19937& rng, std::vector<uint8_t>& want) {
    PsdSpec s;
    s.version = c.version;
    s.mode = c.mode;
    s.depth = c.depth;
    s.packbits = c.packbits;
    s.width = 1 + rng() % 37;
    s.height = 1 + rng() % 23;
    s.has_layer_section = c.layer_count != 0;
    s.layer_count = c.layer_count;
    s.count_in_lr16 = c.lr16;
    const int colours = c.mode == 3 ? 3 : (c.mode == 4 ? 4 : 1);
    const uint32_t n = s.width * s.height;
    const uint32_t max = c.depth == 1 ? 1 : (c.depth == 16 ? 65535 : 255);
    s.planes.assign(static_cast<size_t>(colours + c.extra_channels), std::vector<uint16_t>(n));
    for (auto& plane : s.planes) {
        // Runs as well as noise, so PackBits writes both kinds of packet.
        for (uint32_t i = 0; i < n; ++i) {
            plane[i] =
                (i > 0 && rng() % 3 == 0) ? plane[i - 1] : static_cast<uint16_t>(rng() % (max + 1));
        }
    }
    if (c.mode == 2) {
        s.palette.resize(768);
        for (auto& b : s.palette) b = static_cast<uint8_t>(rng());
    }
    const bool alpha = c.layer_count < 0;
    want.assign(size_t{n} * 4, 255);
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t* q = want.data() + size_t{i} * 4;
        auto at = [&](int plane) { return To8(s.planes[static_cast<size_t>(plane)][i], c.depth); };
        switch (c.mode) {
            case 0:
                q[0] = q[1] = q[2] = s.planes[0][i] ? 0 : 255;
                break;
            case 2:
                for (int k = 0; k < 3; ++k)
                    q[k] = s.palette[static_cast<size_t>(k) * 256 + s.planes[0][i]];
                break;
            case 3:
                for (int k = 0; k < 3; ++k) q[k] = at(k);
                break;
            case 4: {
                // Stored inverted: 255 - ink. R = (255 - C)(255 - K) / 255.
                const double k_white = at(3);
                for (int k = 0; k < 3; ++k) {
                    q[k] = static_cast<uint8_t>(std::lround(at(k) * k_white / 255.0));
                }
                break;
            }
            default:
                q[0] = q[1] = q[2] = at(0);
        }
        if (alpha) q[3] = at(colours);
    }
    return s;
}

TEST(Psd, EveryModeDepthAndCompressionDecodesExactly) {
    std::mt19937 rng(20);
    for (const PsdCase& c : kCases) {
        for (int round = 0; round < 4; ++round) {
            std::vector<uint8_t> want;
            const PsdSpec s = MakeDocument(c, rng, want);
            const std::vector<uint8_t> file = own_writers::WritePsd(s);
            for (uint32_t type : {0u, uint32_t{kTypePsd}}) {
                const img_test::Picture p = img_test::Decode(file, 0, 1, type);
                SCOPED_TRACE(::testing::Message()
                             << c.name << " " << s.width << "x" << s.height << " type " << type);
                EXPECT_TRUE(img_test::SameRgba(p, want, s.width, s.height));
                EXPECT_EQ(p.bit_count, c.want_bits);
                EXPECT_EQ(p.type_back, uint32_t{kTypePsd});
            }
        }
    }
}

TEST(Psd, ResolutionFramesAndUnsupportedVariants) {
    std::mt19937 rng(21);
    std::vector<uint8_t> want;
    PsdSpec s = MakeDocument(kCases[11], rng, want);
    s.dpi = 300;
    const std::vector<uint8_t> file = own_writers::WritePsd(s);
    const img_test::Info info = img_test::GetInfo(file);
    ASSERT_EQ(info.result, 0);
    EXPECT_EQ(int{info.record.xDensity}, 300);
    EXPECT_EQ(int{info.record.yDensity}, 300);
    EXPECT_EQ(uint32_t{info.record.imageType}, uint32_t{kTypePsd});
    EXPECT_EQ(uint32_t{info.record.frameCount}, 1u);
    const img_test::Picture p = img_test::Decode(file);
    EXPECT_EQ(p.x_ppm, std::lround(300 / 0.0254));
    EXPECT_NE(img_test::Decode(file, 1).result, 0);  // one frame only

    s.dpi = 0;
    EXPECT_EQ(int{img_test::GetInfo(own_writers::WritePsd(s)).record.xDensity}, 96);

    // Lab documents and ZIP-compressed merged data are not read.
    PsdSpec lab = s;
    lab.mode = 9;
    EXPECT_NE(img_test::Decode(own_writers::WritePsd(lab)).result, 0);
    PsdSpec raw = s;
    raw.packbits = false;
    std::vector<uint8_t> zip = own_writers::WritePsd(raw);
    zip[zip.size() - raw.planes.size() * raw.width * raw.height - 1] = 2;
    EXPECT_NE(img_test::Decode(zip).result, 0);
}

// A header that claims a picture far larger than its data is refused before the picture is
// allocated (raw rows missing, or packed lengths too small to hold a row).
TEST(Psd, LargeClaimsOnSmallDataAreRefused) {
    for (bool packbits : {false, true}) {
        PsdSpec s;
        s.planes.assign(3, std::vector<uint16_t>(64 * 64, 7));
        s.width = s.height = 64;
        s.packbits = packbits;
        std::vector<uint8_t> file = own_writers::WritePsd(s);
        own_writers::PutU32BE(file, 0);
        for (int k = 0; k < 2; ++k) {  // height at 14, width at 18
            file[14 + 4 * k] = 0, file[15 + 4 * k] = 0, file[16 + 4 * k] = 0x71,
                          file[17 + 4 * k] = 0x48;
        }
        EXPECT_NE(img_test::Decode(file).result, 0) << packbits;
    }
}

TEST(Psd, DamagedDocumentsGiveACodeOrAPicture) {
    std::mt19937 rng(22);
    for (size_t i : {size_t{3}, size_t{13}, size_t{17}, size_t{21}, size_t{0}}) {
        std::vector<uint8_t> want;
        PsdSpec s = MakeDocument(kCases[i], rng, want);
        s.dpi = 72;
        img_test::DamageSweep sweep;
        sweep.seed = static_cast<uint32_t>(i);
        sweep.prefixes = SIZE_MAX;
        sweep.flips = 200;
        img_test::SweepDamage(own_writers::WritePsd(s), sweep);
    }
}

}  // namespace
