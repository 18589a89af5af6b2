// JPEG 2000 through the built module against OpenJPEG's own decode, on pictures that OpenJPEG's
// encoder makes: grey, RGB, alpha, deep and signed samples, sub-sampled components, lossless and
// lossy, JP2 files and bare codestreams; then type codes, resolution, huge sizes and damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "DamageSweep.h"
#include "ImgTestSupport.h"
#include "LibPictures.h"

namespace {

using img_test::Jp2Picture;

struct Layout {
    const char* name;
    uint32_t components, precision;
    bool is_signed;
    uint32_t sub;  // sub-sampling of components 1 and 2 in both directions
    bool alpha, lossy;
    uint16_t dib_bits;
};

const Layout kLayouts[] = {
    {"grey-8", 1, 8, false, 1, false, false, 8},
    {"grey-4", 1, 4, false, 1, false, false, 8},
    {"grey-12-signed", 1, 12, true, 1, false, false, 8},
    {"grey-alpha-8", 2, 8, false, 1, true, false, 32},
    {"rgb-8", 3, 8, false, 1, false, false, 24},
    {"rgb-8-lossy", 3, 8, false, 1, false, true, 24},
    {"rgb-16", 3, 16, false, 1, false, false, 24},
    {"rgb-12-sub-sampled", 3, 12, false, 2, false, false, 24},
    {"rgba-8", 4, 8, false, 1, true, false, 32},
    {"rgba-10-lossy", 4, 10, false, 1, true, true, 32},
};

Jp2Picture MakePicture(const Layout& l, bool codestream, std::mt19937& rng) {
    Jp2Picture p;
    p.width = 1 + rng() % 60;
    p.height = 1 + rng() % 45;
    p.components = l.components;
    p.precision = l.precision;
    p.is_signed = l.is_signed;
    p.dx = p.dy = l.sub;
    p.alpha = l.alpha;
    p.lossy = l.lossy;
    p.codestream = codestream;
    p.colour_space = l.components >= 3 ? 1 : 2;  // sRGB, grey
    img_test::FillRandom(p, rng);
    return p;
}

TEST(Jp2Codec, EveryLayoutMatchesOpenJpeg) {
    std::mt19937 rng(21);
    for (const Layout& l : kLayouts) {
        for (bool codestream : {false, true}) {
            for (int round = 0; round < 3; ++round) {
                SCOPED_TRACE(std::string(l.name) + (codestream ? ", J2K" : ", JP2"));
                const std::vector<uint8_t> bytes =
                    img_test::MakeJp2(MakePicture(l, codestream, rng));
                ASSERT_FALSE(bytes.empty());
                std::vector<uint8_t> want;
                uint32_t width = 0, height = 0;
                ASSERT_TRUE(img_test::Jp2Reference(bytes, want, width, height));
                const img_test::Picture got = img_test::Decode(bytes);
                EXPECT_TRUE(img_test::SameRgba(got, want, width, height));
                EXPECT_EQ(got.bit_count, l.dib_bits);
                EXPECT_EQ(got.type_back, codestream ? 12u : 11u);
            }
        }
    }
}

// A request for either JPEG 2000 type reads both kinds and reports the one found.
TEST(Jp2Codec, EitherTypeReadsBothKinds) {
    std::mt19937 rng(22);
    for (bool codestream : {false, true}) {
        const std::vector<uint8_t> bytes =
            img_test::MakeJp2(MakePicture(kLayouts[4], codestream, rng));
        const uint32_t found = codestream ? 12 : 11;
        for (uint32_t asked : {11u, 12u}) {
            const img_test::Picture got = img_test::Decode(bytes, 0, 1, asked);
            EXPECT_EQ(got.result, 0) << asked;
            EXPECT_EQ(got.type_back, found) << asked;
        }
        // Packed record fields are copied (+) before GoogleTest binds a reference to them.
        EXPECT_EQ(+img_test::GetInfo(bytes).record.imageType, found);
        EXPECT_EQ(+img_test::GetInfo(bytes).record.frameCount, 1u);
        EXPECT_NE(img_test::Decode(bytes, 1).result, 0);  // a single frame
    }
}

TEST(Jp2Codec, ResolutionFromTheResBox) {
    std::mt19937 rng(23);
    const std::vector<uint8_t> plain = img_test::MakeJp2(MakePicture(kLayouts[4], false, rng));
    const img_test::Picture none = img_test::Decode(plain);
    ASSERT_EQ(none.result, 0);
    EXPECT_EQ(none.x_ppm, 3780);  // 96 dpi
    const img_test::Picture with = img_test::Decode(img_test::AddJp2Resolution(plain, 300, 150));
    ASSERT_EQ(with.result, 0);
    EXPECT_EQ(with.x_ppm, 11811);
    EXPECT_EQ(with.y_ppm, 5906);
    const img_test::Info info = img_test::GetInfo(img_test::AddJp2Resolution(plain, 300, 150));
    EXPECT_EQ(+info.record.xDensity, 300);
    EXPECT_EQ(+info.record.yDensity, 150);
}

// A codestream whose SIZ declares 100000 x 100000 in one tile: refused before OpenJPEG
// allocates the components.
TEST(Jp2Codec, HugeDeclaredSizeIsRefused) {
    std::mt19937 rng(24);
    std::vector<uint8_t> bytes = img_test::MakeJp2(MakePicture(kLayouts[0], true, rng));
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    };
    // SOC, SIZ marker, Lsiz, Rsiz, then Xsiz, Ysiz, XOsiz, YOsiz, XTsiz, YTsiz.
    put32(8, 100000), put32(12, 100000), put32(24, 100000), put32(28, 100000);
    EXPECT_NE(img_test::Decode(bytes).result, 0);
}

// A palette JP2 (pclr and cmap boxes, which OpenJPEG's encoder does not write): the index
// component becomes three colour columns, and the header read (checked by Decode) says 24 bits.
TEST(Jp2Codec, PaletteBoxesGiveColour) {
    std::mt19937 rng(26);
    std::vector<uint8_t> bytes = img_test::MakeJp2(MakePicture(kLayouts[0], false, rng));
    auto u32 = [&](size_t at) {
        return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
               uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
    };
    auto put32 = [](std::vector<uint8_t>& v, size_t at, uint32_t x) {
        for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (24 - 8 * i));
    };
    std::vector<uint8_t> pclr(8 + 3 + 3 + 256 * 3), cmap(8 + 3 * 4);
    put32(pclr, 0, uint32_t(pclr.size()));
    std::copy_n("pclr", 4, pclr.begin() + 4);
    pclr[8] = 1, pclr[9] = 0, pclr[10] = 3, pclr[11] = pclr[12] = pclr[13] = 7;  // 256 x 3, 8 bits
    for (size_t i = 14; i < pclr.size(); ++i) pclr[i] = static_cast<uint8_t>(rng());
    put32(cmap, 0, uint32_t(cmap.size()));
    std::copy_n("cmap", 4, cmap.begin() + 4);
    for (uint8_t c = 0; c < 3; ++c) cmap[8 + 4 * c + 2] = 1, cmap[8 + 4 * c + 3] = c;
    for (size_t at = 0; at + 8 <= bytes.size(); at += u32(at)) {
        if (std::equal(bytes.begin() + long(at + 4), bytes.begin() + long(at + 8), "jp2h")) {
            const uint32_t length = u32(at);
            for (size_t c = at + 8; c + 15 <= at + length; c += u32(c)) {
                if (std::equal(bytes.begin() + long(c + 4), bytes.begin() + long(c + 8), "colr")) {
                    put32(bytes, c + 11, 16);  // sRGB
                }
            }
            put32(bytes, at, length + uint32_t(pclr.size() + cmap.size()));
            bytes.insert(bytes.begin() + long(at + length), cmap.begin(), cmap.end());
            bytes.insert(bytes.begin() + long(at + length), pclr.begin(), pclr.end());
            break;
        }
    }
    std::vector<uint8_t> want;
    uint32_t width = 0, height = 0;
    ASSERT_TRUE(img_test::Jp2Reference(bytes, want, width, height));
    const img_test::Picture got = img_test::Decode(bytes);
    EXPECT_TRUE(img_test::SameRgba(got, want, width, height));
    EXPECT_EQ(got.bit_count, 24);
}

TEST(Jp2Codec, TruncatedAndCorruptedFiles) {
    std::mt19937 rng(25);
    for (const Layout* l : {&kLayouts[4], &kLayouts[7], &kLayouts[9]}) {
        for (bool codestream : {false, true}) {
            SCOPED_TRACE(std::string(l->name) + (codestream ? ", J2K" : ", JP2"));
            img_test::DamageSweep sweep;
            sweep.seed = static_cast<uint32_t>(rng());
            img_test::SweepDamage(img_test::MakeJp2(MakePicture(*l, codestream, rng)), sweep);
        }
    }
}

}  // namespace
