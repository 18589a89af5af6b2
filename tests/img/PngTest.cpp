// PNG through the built module against libpng used directly (expand, 16-to-8 scaling, tRNS to
// alpha, no gamma): the PNG suite of the corpus, pictures written with libpng in every colour
// type, bit depth and interlace, damaged files, and the encoder read back by libpng.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "CodecBackends.h"
#include "ImgTestSupport.h"
#include "JpegPngKit.h"
#include "TestSupport.h"

namespace {

using jpegpng_kit::PngPixels;

// The DIB depth the back end gives for a file of this colour type, depth and tRNS.
uint16_t WantBits(int colour_type, int depth, bool trns) {
    if (trns || (colour_type & PNG_COLOR_MASK_ALPHA)) return 32;
    if (colour_type == PNG_COLOR_TYPE_PALETTE) return static_cast<uint16_t>(depth == 2 ? 4 : depth);
    if (colour_type == PNG_COLOR_TYPE_GRAY) return depth == 1 ? 1 : 8;
    return 24;
}

// The module's picture equals libpng's, 16-bit samples within 1, in the documented DIB form.
::testing::AssertionResult MatchesLibpng(const std::vector<uint8_t>& png) {
    const PngPixels ref = jpegpng_kit::ReadPngReference(png);
    if (!ref.ok) return ::testing::AssertionFailure() << "libpng cannot read it";
    const img_test::Picture got = img_test::Decode(png);
    ::testing::AssertionResult same = img_test::SameRgba(
        got, img_test::ToRgba(ref.pixels, ref.channels), ref.width, ref.height,
        ref.depth == 16 ? 1 : 0);
    if (!same) return same;
    const uint16_t bits = WantBits(ref.colour_type, ref.depth, ref.trns);
    if (got.bit_count != bits) {
        return ::testing::AssertionFailure() << got.bit_count << "-bit DIB, want " << bits;
    }
    const double want_dpi_x = ref.phys_metre && ref.x_ppm && ref.y_ppm
                                  ? std::round(ref.x_ppm * 0.0254) : 96;
    if (std::abs(got.x_ppm * 0.0254 - want_dpi_x) > 0.5) {
        return ::testing::AssertionFailure() << "x resolution " << got.x_ppm << " per metre";
    }
    return ::testing::AssertionSuccess();
}

TEST(PngDecode, PngSuiteDecodesAsLibpngReadsItAndCorruptFilesFail) {
    ZEM_REQUIRE_CORPUS(corpus);
    const std::filesystem::path dir = std::filesystem::path(corpus) / "pngsuite";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no pngsuite in the corpus";
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".png") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    int valid = 0, corrupt = 0;
    for (const auto& path : files) {
        const std::string name = path.filename().string();
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(testing_support::ReadWholeFile(path.string(), bytes));
        if (name[0] == 'x') {
            ++corrupt;
            EXPECT_NE(img_test::Decode(bytes).result, 0);
            EXPECT_NE(img_test::Decode(bytes, 0, 1, kTypePng).result, 0);
        } else {
            ++valid;
            EXPECT_TRUE(MatchesLibpng(bytes));
        }
    }
    EXPECT_EQ(valid, 161);
    EXPECT_EQ(corrupt, 14);
}

uint32_t Next(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

int ChannelsOf(int colour_type) {
    static const int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
    return kChannels[colour_type];
}

// Random samples of the layout; a tRNS entry when asked (palette alphas, or a key that the
// first pixel matches).
jpegpng_kit::PngSpec RandomSpec(int colour_type, int depth, bool interlaced, bool trns,
                                uint32_t max_side, uint32_t& seed, uint32_t min_side = 1) {
    jpegpng_kit::PngSpec s;
    s.width = min_side + Next(seed) % (max_side - min_side + 1);
    s.height = min_side + Next(seed) % (max_side - min_side + 1);
    s.colour_type = colour_type;
    s.depth = depth;
    s.interlaced = interlaced;
    const uint32_t levels = 1u << depth;
    uint32_t limit = levels;
    if (colour_type == PNG_COLOR_TYPE_PALETTE) {
        limit = 1 + Next(seed) % levels;
        for (uint32_t i = 0; i < limit; ++i) {
            s.palette.push_back({static_cast<uint8_t>(Next(seed)), static_cast<uint8_t>(Next(seed)),
                                 static_cast<uint8_t>(Next(seed))});
        }
        if (trns) {
            for (uint32_t i = 0, n = 1 + Next(seed) % limit; i < n; ++i) {
                s.palette_alpha.push_back(static_cast<uint8_t>(Next(seed)));
            }
        }
    }
    const size_t count = size_t{s.width} * s.height * static_cast<size_t>(ChannelsOf(colour_type));
    for (size_t i = 0; i < count; ++i) s.samples.push_back(static_cast<uint16_t>(Next(seed) % limit));
    if (trns && colour_type != PNG_COLOR_TYPE_PALETTE) {
        s.colour_key = true;
        for (int c = 0; c < ChannelsOf(colour_type); ++c) s.key[c] = s.samples[static_cast<size_t>(c)];
    }
    if (Next(seed) % 2) {
        s.phys_unit = static_cast<int>(Next(seed) % 2);
        s.x_ppu = 1 + Next(seed) % 20000;
        s.y_ppu = 1 + Next(seed) % 20000;
    }
    return s;
}

struct Layout {
    int colour_type;
    std::vector<int> depths;
    bool trns_allowed;
};

const Layout kLayouts[] = {
    {PNG_COLOR_TYPE_GRAY, {1, 2, 4, 8, 16}, true},
    {PNG_COLOR_TYPE_RGB, {8, 16}, true},
    {PNG_COLOR_TYPE_PALETTE, {1, 2, 4, 8}, true},
    {PNG_COLOR_TYPE_GRAY_ALPHA, {8, 16}, false},
    {PNG_COLOR_TYPE_RGB_ALPHA, {8, 16}, false},
};

TEST(PngDecode, MatchesLibpngInEveryColourTypeDepthAndInterlace) {
    uint32_t seed = 11;
    for (const Layout& l : kLayouts) {
        for (int depth : l.depths) {
            for (int interlaced = 0; interlaced < 2; ++interlaced) {
                for (int trns = 0; trns < (l.trns_allowed ? 2 : 1); ++trns) {
                    for (uint32_t max_side : {9u, 70u}) {
                        const jpegpng_kit::PngSpec shape =
                            RandomSpec(l.colour_type, depth, interlaced, trns, max_side, seed);
                        SCOPED_TRACE("type " + std::to_string(l.colour_type) + " depth " +
                                     std::to_string(depth) + (interlaced ? " Adam7" : "") +
                                     (trns ? " tRNS " : " ") + std::to_string(shape.width) +
                                     "x" + std::to_string(shape.height));
                        const std::vector<uint8_t> png = jpegpng_kit::WritePng(shape);
                        ASSERT_FALSE(png.empty());
                        EXPECT_TRUE(MatchesLibpng(png));
                    }
                }
            }
        }
    }
}

// A damaged file gives a code or a sound picture, never a crash (the asan preset runs this too).
void ExpectCodeOrPicture(const std::vector<uint8_t>& bytes) {
    const img_test::Picture got = img_test::Decode(bytes);
    if (got.result == 0) {
        ASSERT_TRUE(got.error.empty()) << got.error;
    } else {
        ASSERT_TRUE(got.dib.empty());
    }
}

TEST(PngDecode, TruncatedAndCorruptedFilesGiveACodeOrAPicture) {
    uint32_t seed = 5;
    const jpegpng_kit::PngSpec specs[] = {
        RandomSpec(PNG_COLOR_TYPE_RGB_ALPHA, 16, true, false, 24, seed, 20),
        RandomSpec(PNG_COLOR_TYPE_PALETTE, 2, false, true, 40, seed, 30),
        RandomSpec(PNG_COLOR_TYPE_GRAY, 4, true, true, 40, seed, 30),
        RandomSpec(PNG_COLOR_TYPE_RGB, 8, false, false, 30, seed, 20),
    };
    for (const jpegpng_kit::PngSpec& shape : specs) {
        const std::vector<uint8_t> png = jpegpng_kit::WritePng(shape);
        SCOPED_TRACE("type " + std::to_string(shape.colour_type));
        for (size_t n = 0; n < png.size(); ++n) {
            const std::vector<uint8_t> prefix(png.begin(), png.begin() + n);
            ASSERT_NE(img_test::Decode(prefix).result, 0) << n << " bytes";
        }
        // Half the damaged files get their check sums rewritten, so the damage reaches the
        // header, palette and image-data parsing.
        for (int round = 0; round < 400; ++round) {
            std::vector<uint8_t> damaged = png;
            const int flips = 1 + static_cast<int>(Next(seed) % 4);
            for (int f = 0; f < flips; ++f) {
                damaged[8 + Next(seed) % (damaged.size() - 8)] ^=
                    static_cast<uint8_t>(1 + Next(seed) % 255);
            }
            if (round % 2) jpegpng_kit::FixPngCrcs(damaged);
            ExpectCodeOrPicture(damaged);
        }
    }
}

TEST(PngDecode, OversizedHeaderIsOutOfMemoryAndFramesBeyondZeroFail) {
    uint32_t seed = 3;
    std::vector<uint8_t> png =
        jpegpng_kit::WritePng(RandomSpec(PNG_COLOR_TYPE_RGB, 8, false, false, 8, seed));
    EXPECT_NE(img_test::Decode(png, 1).result, 0);
    // IHDR at 16: 40000 x 40000 is over the picture limit though within libpng's own.
    const uint8_t size[8] = {0, 0, 0x9C, 0x40, 0, 0, 0x9C, 0x40};
    std::copy(size, size + 8, png.begin() + 16);
    jpegpng_kit::FixPngCrcs(png);
    EXPECT_EQ(img_test::Decode(png).result, SPI_OUT_OF_MEMORY);
}

// ---- Encoding --------------------------------------------------------------------------------

TEST(PngEncode, KeepsTheDibsFormAndPixelsExactly) {
    struct Case {
        uint16_t bits;
        bool grey, alpha;
        int want_type, want_depth;
    };
    const Case cases[] = {
        {1, false, false, PNG_COLOR_TYPE_PALETTE, 1},
        {4, false, false, PNG_COLOR_TYPE_PALETTE, 4},
        {8, false, false, PNG_COLOR_TYPE_PALETTE, 8},
        {4, true, false, PNG_COLOR_TYPE_PALETTE, 4},
        {8, true, false, PNG_COLOR_TYPE_GRAY, 8},
        {24, false, false, PNG_COLOR_TYPE_RGB, 8},
        {32, false, false, PNG_COLOR_TYPE_RGB, 8},
        {32, false, true, PNG_COLOR_TYPE_RGB_ALPHA, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + (c.grey ? " grey" : "") + (c.alpha ? " alpha" : ""));
        const jpegpng_kit::TestDib dib = jpegpng_kit::MakeDib(c.bits, c.grey, c.alpha, 45, 29);
        std::vector<uint8_t> png;
        ASSERT_EQ(PngBackend().Encode(dib.view, EncodeOptions{}, png), CodecStatus::Ok);
        const PngPixels ref = jpegpng_kit::ReadPngReference(png);
        ASSERT_TRUE(ref.ok);
        EXPECT_EQ(ref.colour_type, c.want_type);
        EXPECT_EQ(ref.depth, c.want_depth);
        EXPECT_EQ(img_test::ToRgba(ref.pixels, ref.channels), jpegpng_kit::DibRgba(dib.view));
        EXPECT_TRUE(ref.phys_metre);
        EXPECT_NEAR(ref.x_ppm * 0.0254, 200, 0.5);
        EXPECT_NEAR(ref.y_ppm * 0.0254, 100, 0.5);
        const img_test::Picture back = img_test::Decode(png);
        ASSERT_EQ(back.result, 0);
        EXPECT_EQ(back.bit_count, c.alpha ? 32 : c.bits == 32 ? 24 : c.bits);
    }
}

}  // namespace
