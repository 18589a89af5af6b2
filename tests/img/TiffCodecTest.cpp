// TIFF through the built module against libtiff's own RGBA reader, on pictures that libtiff
// writes: every colour layout, strips and tiles, each compression libtiff has, several pages;
// then resolution, damaged directory chains, truncation and byte flips, and the writer.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

#include "CxImage.h"
#include "DamageSweep.h"
#include "ImgTestSupport.h"
#include "LibPictures.h"
#include "TestSupport.h"

namespace {

using img_test::TiffPage;

enum Extra : uint16_t { kNone, kAssociated, kUnassociated };

struct Layout {
    const char* name;
    uint16_t photometric, bps, spp;
    Extra extra;
    uint16_t planar;
    uint16_t dib_bits;
    int tolerance;
    bool premultiplied;  // libtiff's RGBA reader premultiplies this layout's alpha
    bool jpeg;           // may be JPEG-compressed
    // libtiff 4.5's RGBA reader misplaces the samples of partial tiles in this layout (more
    // than one byte a pixel, grey); the reference is then read from the same page in strips.
    bool strip_reference = false;
};

constexpr uint16_t C = PLANARCONFIG_CONTIG, S = PLANARCONFIG_SEPARATE;

const Layout kLayouts[] = {
    {"bilevel", PHOTOMETRIC_MINISBLACK, 1, 1, kNone, C, 1, 0, false, false},
    {"bilevel-min-is-white", PHOTOMETRIC_MINISWHITE, 1, 1, kNone, C, 1, 0, false, false},
    {"palette-1", PHOTOMETRIC_PALETTE, 1, 1, kNone, C, 1, 0, false, false},
    {"palette-2", PHOTOMETRIC_PALETTE, 2, 1, kNone, C, 4, 0, false, false},
    {"palette-4", PHOTOMETRIC_PALETTE, 4, 1, kNone, C, 4, 0, false, false},
    {"palette-8", PHOTOMETRIC_PALETTE, 8, 1, kNone, C, 8, 0, false, false},
    {"grey-2", PHOTOMETRIC_MINISBLACK, 2, 1, kNone, C, 8, 0, false, false},
    {"grey-4", PHOTOMETRIC_MINISBLACK, 4, 1, kNone, C, 8, 0, false, false},
    {"grey-8", PHOTOMETRIC_MINISBLACK, 8, 1, kNone, C, 8, 0, false, true},
    {"grey-8-min-is-white", PHOTOMETRIC_MINISWHITE, 8, 1, kNone, C, 8, 0, false, false},
    {"grey-16", PHOTOMETRIC_MINISBLACK, 16, 1, kNone, C, 8, 1, false, false, true},
    {"grey-alpha-8", PHOTOMETRIC_MINISBLACK, 8, 2, kUnassociated, C, 32, 0, false, false, true},
    {"rgb-8", PHOTOMETRIC_RGB, 8, 3, kNone, C, 24, 0, false, true},
    {"rgb-16", PHOTOMETRIC_RGB, 16, 3, kNone, C, 24, 1, false, false},
    {"rgba-8", PHOTOMETRIC_RGB, 8, 4, kUnassociated, C, 32, 0, true, false},
    {"rgba-8-associated", PHOTOMETRIC_RGB, 8, 4, kAssociated, C, 32, 1, true, false},
    {"rgba-16", PHOTOMETRIC_RGB, 16, 4, kUnassociated, C, 32, 1, true, false},
    {"cmyk-8", PHOTOMETRIC_SEPARATED, 8, 4, kNone, C, 24, 0, false, false},
    {"ycbcr-jpeg", PHOTOMETRIC_YCBCR, 8, 3, kNone, C, 24, 0, false, true},
    {"ycbcr-raw", PHOTOMETRIC_YCBCR, 8, 3, kNone, C, 24, 0, false, false},
    {"rgb-8-planes", PHOTOMETRIC_RGB, 8, 3, kNone, S, 24, 0, false, false},
    {"rgba-8-planes-associated", PHOTOMETRIC_RGB, 8, 4, kAssociated, S, 32, 1, true, false},
};

const Layout& Named(const std::string& name) {
    for (const Layout& l : kLayouts) {
        if (name == l.name) return l;
    }
    throw std::invalid_argument(name);
}

TiffPage MakePage(const Layout& l, uint16_t compression, uint32_t tile, std::mt19937& rng) {
    TiffPage p;
    p.width = 1 + rng() % 70;
    p.height = 1 + rng() % 50;
    p.photometric = l.photometric;
    p.bps = l.bps;
    p.spp = l.spp;
    p.planar = l.planar;
    p.compression = compression;
    p.tile = tile;
    p.rows_per_strip = tile ? 0 : 1 + rng() % 20;
    if (compression == COMPRESSION_JPEG) p.rows_per_strip = 16;
    if (l.extra != kNone) {
        p.extra_samples = {l.extra == kAssociated ? uint16_t{EXTRASAMPLE_ASSOCALPHA}
                                                  : uint16_t{EXTRASAMPLE_UNASSALPHA}};
    }
    img_test::FillRandom(p, rng);
    return p;
}

// Our straight alpha premultiplied as libtiff's RGBA reader does, for comparison with it.
std::vector<uint8_t> Premultiplied(std::vector<uint8_t> rgba) {
    for (size_t i = 0; i < rgba.size(); i += 4) {
        for (int c = 0; c < 3; ++c) rgba[i + c] = (rgba[i + 3] * rgba[i + c] + 127) / 255;
    }
    return rgba;
}

::testing::AssertionResult MatchesLibtiff(const std::vector<uint8_t>& tiff, int page,
                                          const Layout& l,
                                          const std::vector<uint8_t>* reference = nullptr) {
    std::vector<uint8_t> want;
    uint32_t width = 0, height = 0;
    if (!img_test::TiffReference(reference ? *reference : tiff, reference ? 0 : page, want, width,
                                 height)) {
        return ::testing::AssertionFailure() << "libtiff cannot read it";
    }
    img_test::Picture got = img_test::Decode(tiff, page);
    if (got.result == 0 && got.bit_count != l.dib_bits) {
        return ::testing::AssertionFailure() << "bit count " << got.bit_count;
    }
    if (l.premultiplied) got.rgba = Premultiplied(got.rgba);
    return img_test::SameRgba(got, want, width, height, l.tolerance);
}

// 8-bit contiguous CMYK as the back ends turn it into RGB: R = (255 - C)(255 - K) / 255, rounded
// (libtiff's RGBA reader truncates the product, so it is no reference here).
std::vector<uint8_t> CmykReference(const TiffPage& p) {
    std::vector<uint8_t> rgba;
    for (size_t i = 0; i + 3 < p.pixels.size(); i += p.spp) {
        const uint8_t* s = &p.pixels[i];
        for (int c = 0; c < 3; ++c) {
            rgba.push_back(static_cast<uint8_t>(std::lround((255 - s[c]) * (255 - s[3]) / 255.0)));
        }
        rgba.push_back(255);
    }
    return rgba;
}

std::string CompressionName(uint16_t c) {
    switch (c) {
        case COMPRESSION_NONE:
            return "none";
        case COMPRESSION_LZW:
            return "lzw";
        case COMPRESSION_ADOBE_DEFLATE:
            return "deflate";
        case COMPRESSION_PACKBITS:
            return "packbits";
        case COMPRESSION_JPEG:
            return "jpeg";
    }
    return std::to_string(c);
}

TEST(TiffCodec, EveryLayoutMatchesLibtiffInStripsAndTiles) {
    std::mt19937 rng(6);
    const uint16_t compressions[] = {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE,
                                     COMPRESSION_PACKBITS, COMPRESSION_JPEG};
    int checked = 0;
    for (const Layout& l : kLayouts) {
        for (uint16_t compression : compressions) {
            if (!TIFFIsCODECConfigured(compression)) continue;
            if (compression == COMPRESSION_JPEG && !l.jpeg) continue;
            if (compression != COMPRESSION_JPEG && std::string(l.name) == "ycbcr-jpeg") continue;
            for (uint32_t tile : {0u, 16u, 32u}) {
                if (tile && l.planar == S) continue;
                SCOPED_TRACE(std::string(l.name) + ", " + CompressionName(compression) +
                             (tile ? ", tiles of " + std::to_string(tile) : ", strips"));
                TiffPage page = MakePage(l, compression, tile, rng);
                const std::vector<uint8_t> tiff = img_test::MakeTiff({page});
                ASSERT_FALSE(tiff.empty());
                page.tile = 0;
                const std::vector<uint8_t> strips = img_test::MakeTiff({page});
                if (l.photometric == PHOTOMETRIC_SEPARATED) {
                    EXPECT_TRUE(img_test::SameRgba(img_test::Decode(tiff), CmykReference(page),
                                                   page.width, page.height));
                } else {
                    EXPECT_TRUE(
                        MatchesLibtiff(tiff, 0, l, tile && l.strip_reference ? &strips : nullptr));
                }
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 150);
}

TEST(TiffCodec, EveryPageIsAFrame) {
    std::mt19937 rng(7);
    const Layout* layouts[] = {&Named("rgb-8"), &Named("palette-8"), &Named("grey-8"),
                               &Named("rgba-8")};
    std::vector<TiffPage> pages;
    for (const Layout* l : layouts) pages.push_back(MakePage(*l, COMPRESSION_LZW, 0, rng));
    pages[1].tile = 16;
    const std::vector<uint8_t> tiff = img_test::MakeTiff(pages);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(layouts[i]->name);
        EXPECT_TRUE(MatchesLibtiff(tiff, i, *layouts[i]));
    }
    const img_test::Info info = img_test::GetInfo(tiff);
    EXPECT_EQ(info.result, 0);
    EXPECT_EQ(+info.record.frameCount, 4u);
    EXPECT_EQ(+info.record.imageType, 6u);
    EXPECT_EQ(img_test::Decode(tiff, 4).result, 2);
    EXPECT_EQ(img_test::Decode(tiff, -1).result, 2);
}

// 16-bit associated alpha is undone before the samples are reduced to 8 bits: undone after
// it, colours where alpha is low were up to 15 levels off.
TEST(TiffCodec, SixteenBitAssociatedAlphaIsUndoneAtFullPrecision) {
    std::mt19937 rng(12);
    TiffPage p;
    p.width = 61, p.height = 7, p.bps = 16, p.spp = 4;
    p.extra_samples = {EXTRASAMPLE_ASSOCALPHA};
    p.compression = COMPRESSION_LZW;
    std::vector<uint16_t> samples;
    std::vector<uint8_t> want;
    auto to8 = [](double v) { return static_cast<uint8_t>(std::lround(v * 255 / 65535)); };
    for (uint32_t i = 0; i < p.width * p.height; ++i) {
        const uint32_t a = i == 0 ? 4241 : rng() % (i % 2 ? 65536 : 6000);  // mostly low
        for (int c = 0; c < 3; ++c) {
            const uint32_t v = i == 0 ? 4233 : rng() % (a + 1);
            samples.push_back(static_cast<uint16_t>(v));
            want.push_back(a ? to8(std::min(65535.0, std::round(v * 65535.0 / a))) : 0);
        }
        samples.push_back(static_cast<uint16_t>(a));
        want.push_back(to8(a));
    }
    p.pixels.resize(samples.size() * 2);
    std::memcpy(p.pixels.data(), samples.data(), p.pixels.size());
    const img_test::Picture got = img_test::Decode(img_test::MakeTiff({p}));
    EXPECT_EQ(got.bit_count, 32);
    EXPECT_TRUE(img_test::SameRgba(got, want, p.width, p.height));
}

// Deep samples in every storage layout against pixels computed from the samples themselves:
// 16-bit premultiplied RGBA contiguous and in separate planes of strips and of tiles (separate
// planes were unpremultiplied after the reduction to 8 bits, up to 151 levels off), 12-bit
// integers (ScaleSample onto 8 bits), 16-, 24- and 32-bit floats (linear light: associated
// alpha undone, clamped to [0, 1], the sRGB curve). The header read agrees with each; the
// first is read from a BigTIFF as well; each is then cut and damaged.
struct DeepCase {
    const char* name;
    uint16_t photometric, bps, spp, format;
    Extra extra;
    uint16_t planar;
    uint32_t tile;
};

constexpr uint16_t U = SAMPLEFORMAT_UINT, F = SAMPLEFORMAT_IEEEFP;
constexpr uint16_t kGrey = PHOTOMETRIC_MINISBLACK, kRgb = PHOTOMETRIC_RGB;

const DeepCase kDeep[] = {
    {"rgba-16-associated", kRgb, 16, 4, U, kAssociated, C, 0},
    {"rgba-16-associated-planes", kRgb, 16, 4, U, kAssociated, S, 0},
    {"rgba-16-associated-tiled-planes", kRgb, 16, 4, U, kAssociated, S, 16},
    {"rgba-16-planes", kRgb, 16, 4, U, kUnassociated, S, 0},
    {"grey-12", kGrey, 12, 1, U, kNone, C, 0},
    {"grey-alpha-12-associated-tiled-planes", kGrey, 12, 2, U, kAssociated, S, 16},
    {"rgb-12-tiled", kRgb, 12, 3, U, kNone, C, 16},
    {"rgba-12-associated-planes", kRgb, 12, 4, U, kAssociated, S, 0},
    {"grey-float-32", kGrey, 32, 1, F, kNone, C, 0},
    {"rgb-float-16-tiled", kRgb, 16, 3, F, kNone, C, 16},
    {"rgb-float-24-planes", kRgb, 24, 3, F, kNone, S, 0},
    {"rgba-float-32-associated-tiled-planes", kRgb, 32, 4, F, kAssociated, S, 16},
};

// A value exactly representable in the float of `bits` (k / 1024, |k| < 2048) as stored.
uint32_t NarrowFloat(double v, uint16_t bits) {
    if (bits == 32) {
        const auto f = static_cast<float>(v);
        uint32_t out;
        std::memcpy(&out, &f, 4);
        return out;
    }
    const int mantissa_bits = bits == 16 ? 10 : 16, bias = bits == 16 ? 15 : 63;
    if (v == 0) return 0;
    int e = 0;
    const double m = std::frexp(std::fabs(v), &e);  // |v| = m 2^e, m in [0.5, 1)
    const auto mantissa = static_cast<uint32_t>(std::lround((m * 2 - 1) * (1 << mantissa_bits)));
    const auto sign = static_cast<uint32_t>(v < 0) << (bits - 1);
    return sign | static_cast<uint32_t>(e - 1 + bias) << mantissa_bits | mantissa;
}

// Sample `index` of row `y` (the pixel's samples in order) as libtiff takes it: 16- and 32-bit
// words in the machine's order, 24-bit floats as three bytes of it, other depths packed from
// the high bit.
void PutSample(TiffPage& p, uint32_t y, uint64_t index, uint32_t v) {
    uint8_t* row = p.pixels.data() + y * p.RowBytes();
    if (p.bps % 8 == 0) {
        for (uint32_t b = 0; b < p.bps / 8u; ++b) row[index * (p.bps / 8) + b] = v >> (8 * b) & 255;
        return;
    }
    for (uint32_t b = 0; b < p.bps; ++b) {
        const uint64_t bit = index * p.bps + b;
        if (v >> (p.bps - 1 - b) & 1) row[bit / 8] |= 0x80 >> (bit % 8);
    }
}

uint8_t Srgb8(double v) {
    v = std::min(1.0, std::max(0.0, v));
    const double e = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
    return static_cast<uint8_t>(std::lround(e * 255));
}

TEST(TiffCodec, DeepSamplesInEveryLayoutMatchAReferenceAtTheirOwnPrecision) {
    for (const DeepCase& c : kDeep) {
        SCOPED_TRACE(c.name);
        std::mt19937 rng(29);  // the same samples for every layout of a kind
        TiffPage p;
        p.width = 37, p.height = 23, p.rows_per_strip = 5, p.tile = c.tile;
        p.photometric = c.photometric, p.bps = c.bps, p.spp = c.spp, p.planar = c.planar;
        p.sample_format = c.format;
        p.compression = COMPRESSION_LZW;
        if (c.extra != kNone) {
            p.extra_samples = {c.extra == kAssociated ? uint16_t{EXTRASAMPLE_ASSOCALPHA}
                                                      : uint16_t{EXTRASAMPLE_UNASSALPHA}};
        }
        p.pixels.assign(p.RowBytes() * p.height, 0);
        const bool floating = c.format == F, alpha = c.extra != kNone;
        const uint32_t colours = c.spp - (alpha ? 1 : 0);
        const double max = floating ? 1024 : (1 << c.bps) - 1;  // floats as k / 1024
        std::vector<uint8_t> want;
        for (uint32_t y = 0; y < p.height; ++y) {
            for (uint32_t x = 0; x < p.width; ++x) {
                // Mostly low alpha, where undoing it late loses most.
                const auto a = static_cast<uint32_t>(
                    !alpha ? max : rng() % (x % 2 ? static_cast<uint32_t>(max) + 1 : 300));
                uint8_t rgb[3] = {};
                for (uint32_t s = 0; s < colours; ++s) {
                    uint32_t v = c.extra == kAssociated ? rng() % (a + 1) : rng() % 1400;
                    if (!floating) v = c.extra == kAssociated ? v : rng() % (uint32_t(max) + 1);
                    const double k = floating && c.extra != kAssociated ? v - 100.0 : v;
                    const double straight = c.extra != kAssociated
                                                ? k
                                                : (a ? std::min(max, std::round(k * max / a)) : 0);
                    rgb[s] = floating ? Srgb8(c.extra == kAssociated ? (a ? k / a : 0) : k / max)
                                      : static_cast<uint8_t>(std::lround(straight * 255 / max));
                    PutSample(p, y, uint64_t{x} * c.spp + s,
                              floating ? NarrowFloat(k / 1024, c.bps) : v);
                }
                if (alpha) {
                    PutSample(p, y, uint64_t{x} * c.spp + colours,
                              floating ? NarrowFloat(a / 1024.0, c.bps) : a);
                }
                for (int i = 0; i < 3; ++i) want.push_back(rgb[colours == 1 ? 0 : i]);
                want.push_back(static_cast<uint8_t>(std::lround(a * 255 / max)));
            }
        }
        const std::vector<uint8_t> tiff = img_test::MakeTiff({p});
        ASSERT_FALSE(tiff.empty());
        const img_test::Picture got = img_test::Decode(tiff);
        EXPECT_EQ(got.bit_count, alpha ? 32 : colours == 1 ? 8 : 24);
        EXPECT_TRUE(img_test::SameRgba(got, want, p.width, p.height, floating ? 1 : 0));
        EXPECT_TRUE(img_test::InfoAgrees(tiff, got));
        // The same page in a BigTIFF: its 64-bit offsets are TIFF too, and read alike.
        if (&c == kDeep) {
            EXPECT_TRUE(img_test::SameRgba(img_test::Decode(img_test::MakeTiff({p}, "w8")), want,
                                           p.width, p.height));
        }
        // Cut and flipped, every layout's band and sample readers end with a code.
        img_test::DamageSweep sweep;
        sweep.prefixes = 40, sweep.flips = 40, sweep.max_flips = 6, sweep.seed = rng();
        img_test::SweepDamage(tiff, sweep);
    }
}

TEST(TiffCodec, ResolutionFromTheTags) {
    struct Case {
        float x, y;
        uint16_t unit;
        int32_t x_ppm, y_ppm;
    } cases[] = {
        {300, 150, RESUNIT_INCH, 11811, 5906},
        {100, 100, RESUNIT_CENTIMETER, 10000, 10000},
        {72, 72, RESUNIT_NONE, 3780, 3780},  // aspect only: the default 96 dpi
        {0, 0, RESUNIT_INCH, 3780, 3780},    // no tags
    };
    std::mt19937 rng(8);
    for (const Case& c : cases) {
        TiffPage p = MakePage(Named("rgb-8"), COMPRESSION_NONE, 0, rng);
        p.x_res = c.x, p.y_res = c.y, p.res_unit = c.unit;
        const img_test::Picture got = img_test::Decode(img_test::MakeTiff({p}));
        ASSERT_EQ(got.result, 0);
        EXPECT_EQ(got.x_ppm, c.x_ppm) << c.x << " unit " << c.unit;
        EXPECT_EQ(got.y_ppm, c.y_ppm) << c.y << " unit " << c.unit;
    }
}

uint32_t Load32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

void Store32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

// Offset of the little-endian IFD that follows `ifd`'s entries (its "next" field).
size_t NextField(const std::vector<uint8_t>& b, size_t ifd) {
    uint16_t entries;
    std::memcpy(&entries, b.data() + ifd, 2);
    return ifd + 2 + entries * 12u;
}

TEST(TiffCodec, DamagedDirectoryChainsAndSizes) {
    std::mt19937 rng(9);
    std::vector<TiffPage> pages = {MakePage(Named("rgb-8"), COMPRESSION_NONE, 0, rng),
                                   MakePage(Named("grey-8"), COMPRESSION_NONE, 0, rng)};
    const std::vector<uint8_t> two = img_test::MakeTiff(pages);
    ASSERT_EQ(two[0], 'I');  // the edits below are little-endian
    const size_t first = Load32(two, 4);
    const size_t second = Load32(two, NextField(two, first));

    std::vector<uint8_t> loop = two;  // the second directory points back to the first
    Store32(loop, NextField(loop, second), static_cast<uint32_t>(first));
    const img_test::Info info = img_test::GetInfo(loop);
    EXPECT_EQ(info.result, 0);
    EXPECT_EQ(+info.record.frameCount, 2u);
    EXPECT_TRUE(MatchesLibtiff(loop, 1, Named("grey-8")));
    EXPECT_EQ(img_test::Decode(loop, 2).result, 2);

    std::vector<uint8_t> self = two;  // the first directory points at itself
    Store32(self, NextField(self, first), static_cast<uint32_t>(first));
    EXPECT_EQ(+img_test::GetInfo(self).record.frameCount, 1u);

    // Width and length of 100000 each: far beyond the largest picture, refused before libtiff
    // or the DIB allocate for it.
    std::vector<uint8_t> huge = two;
    uint16_t entries;
    std::memcpy(&entries, huge.data() + first, 2);
    for (uint16_t i = 0; i < entries; ++i) {
        const size_t e = first + 2 + i * 12u;
        uint16_t tag, type;
        std::memcpy(&tag, huge.data() + e, 2);
        std::memcpy(&type, huge.data() + e + 2, 2);
        if (tag != TIFFTAG_IMAGEWIDTH && tag != TIFFTAG_IMAGELENGTH) continue;
        if (type == TIFF_SHORT) {
            const uint16_t big = 60000;
            std::memcpy(huge.data() + e + 8, &big, 2);
        } else {
            Store32(huge, e + 8, 100000);
        }
    }
    const img_test::Picture got = img_test::Decode(huge);
    EXPECT_NE(got.result, 0);
}

// Prefixes and random byte flips of a few small files of each kind.
TEST(TiffCodec, TruncatedAndCorruptedFiles) {
    std::mt19937 rng(10);
    std::vector<std::vector<uint8_t>> files;
    for (const Layout* l : {&Named("rgb-8"), &Named("palette-8"), &Named("rgba-8-associated"),
                            &Named("rgb-8-planes"), &Named("ycbcr-raw")}) {
        files.push_back(img_test::MakeTiff({MakePage(*l, COMPRESSION_LZW, 0, rng)}));
        files.push_back(img_test::MakeTiff(
            {MakePage(*l, COMPRESSION_ADOBE_DEFLATE, l->planar == S ? 0 : 16, rng)}));
    }
    if (TIFFIsCODECConfigured(COMPRESSION_JPEG)) {
        files.push_back(
            img_test::MakeTiff({MakePage(Named("ycbcr-jpeg"), COMPRESSION_JPEG, 16, rng)}));
    }
    img_test::DamageSweep sweep;
    sweep.prefixes = 300, sweep.flips = 150, sweep.max_flips = 8;
    for (const std::vector<uint8_t>& file : files) {
        sweep.seed = static_cast<uint32_t>(rng());
        img_test::SweepDamage(file, sweep);
    }
}

// The writer: each DIB kind that a decode gives is written and read back unchanged, as the
// TIFF kind that suits it, with its resolution.
TEST(TiffCodec, WriterKeepsEveryDibKind) {
    struct Case {
        const char* layout;
        uint16_t photometric;
    } cases[] = {
        {"bilevel", PHOTOMETRIC_MINISBLACK}, {"bilevel-min-is-white", PHOTOMETRIC_MINISWHITE},
        {"palette-1", PHOTOMETRIC_PALETTE},  {"palette-4", PHOTOMETRIC_PALETTE},
        {"palette-8", PHOTOMETRIC_PALETTE},  {"grey-8", PHOTOMETRIC_MINISBLACK},
        {"rgb-8", PHOTOMETRIC_RGB},          {"rgba-8", PHOTOMETRIC_RGB}};
    std::mt19937 rng(11);
    for (const Case& c : cases) {
        const Layout& l = Named(c.layout);
        SCOPED_TRACE(l.name);
        TiffPage page = MakePage(l, COMPRESSION_NONE, 0, rng);
        page.x_res = 200, page.y_res = 300;
        CxImage image;
        const std::vector<uint8_t> source = img_test::MakeTiff({page});
        ASSERT_TRUE(image.Decode(source.data(), static_cast<uint32_t>(source.size()), 0));
        SpiHandle dib = image.CopyToHandle();
        const std::vector<uint8_t> dib_bytes = testing_support::HandleBytes(dib);
        ASSERT_TRUE(image.CreateFromHANDLE(dib));
        testing_support::FreeHandle(dib);
        uint8_t* encoded = nullptr;
        int32_t size = 0;
        ASSERT_TRUE(image.Encode(encoded, size, kTypeTiff));
        const std::vector<uint8_t> tiff(encoded, encoded + size);
        CxImage::FreeMemory(encoded);

        const img_test::Picture back = img_test::Decode(tiff);
        ASSERT_EQ(back.result, 0);
        // Header, palette, rows and resolution; handles may be rounded up beyond the DIB.
        const size_t length = 40 + Load32(dib_bytes, 32) * 4 + Load32(dib_bytes, 20);
        ASSERT_LE(length, std::min(back.dib.size(), dib_bytes.size()));
        const auto differ =
            std::mismatch(dib_bytes.begin(), dib_bytes.begin() + static_cast<ptrdiff_t>(length),
                          back.dib.begin());
        EXPECT_EQ(differ.first - dib_bytes.begin(), static_cast<ptrdiff_t>(length));
        EXPECT_EQ(img_test::TiffTag(tiff, TIFFTAG_PHOTOMETRIC), c.photometric);
        EXPECT_EQ(img_test::TiffTag(tiff, TIFFTAG_COMPRESSION), COMPRESSION_LZW);
    }
}

}  // namespace
