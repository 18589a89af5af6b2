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
