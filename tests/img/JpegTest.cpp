// JPEG through the built module against TurboJPEG used directly, on pictures written with
// libjpeg in every layout, at every scale; resolution sources; damaged and oversized files; the
// encoder read back by TurboJPEG.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "CodecBackends.h"
#include "ImgTestSupport.h"
#include "JpegPngKit.h"

namespace {

using jpegpng_kit::JpegLayout;

struct Layout {
    const char* name;
    JpegLayout layout;
};

const Layout kLayouts[] = {
    {"baseline 4:2:0", JpegLayout::Baseline420},
    {"baseline 4:2:2", JpegLayout::Baseline422},
    {"baseline 4:4:4", JpegLayout::Baseline444},
    {"grey", JpegLayout::Grey},
    {"progressive", JpegLayout::Progressive},
    {"arithmetic", JpegLayout::Arithmetic},
    {"progressive arithmetic", JpegLayout::ProgressiveArithmetic},
    {"CMYK, Adobe", JpegLayout::CmykAdobe},
    {"CMYK, no Adobe marker", JpegLayout::CmykPlain},
    {"YCCK", JpegLayout::Ycck},
};

uint32_t Next(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

std::vector<uint8_t> MakeJpeg(JpegLayout layout, uint32_t width, uint32_t height, uint32_t seed,
                              jpegpng_kit::JpegOptions options = {}) {
    options.layout = layout;
    const std::vector<uint8_t> pixels =
        jpegpng_kit::PhotoLike(width, height, jpegpng_kit::JpegChannels(layout), seed);
    return jpegpng_kit::WriteJpeg(pixels.data(), width, height, options);
}

// The factor TurboJPEG offers that is the smallest not below 1/scale.
tjscalingfactor FactorFor(int scale) {
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    tjscalingfactor best{1, 1};
    for (int i = 0; i < count; ++i) {
        const tjscalingfactor f = factors[i];
        if (f.num <= f.denom && f.num * scale >= f.denom && f.num * best.denom < best.num * f.denom) {
            best = f;
        }
    }
    return best;
}

struct Reference {
    bool ok = false;
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgba;
};

// tjDecompress2 at the factor for `scale`; CMYK turned into RGB as the back end documents it.
Reference TurboDecode(const std::vector<uint8_t>& jpeg, int scale, JpegLayout layout) {
    Reference ref;
    tjhandle tj = tjInitDecompress();
    int width = 0, height = 0, subsamp = 0, colourspace = 0;
    auto* src = const_cast<unsigned char*>(jpeg.data());
    const auto size = static_cast<unsigned long>(jpeg.size());
    if (tjDecompressHeader3(tj, src, size, &width, &height, &subsamp, &colourspace) != 0) {
        tjDestroy(tj);
        return ref;
    }
    const tjscalingfactor f = FactorFor(scale);
    ref.width = static_cast<uint32_t>(TJSCALED(width, f));
    ref.height = static_cast<uint32_t>(TJSCALED(height, f));
    const int channels = jpegpng_kit::JpegChannels(layout);
    const int format = channels == 1 ? TJPF_GRAY : channels == 3 ? TJPF_RGB : TJPF_CMYK;
    std::vector<uint8_t> pixels(size_t{ref.width} * ref.height * static_cast<size_t>(channels));
    ref.ok = tjDecompress2(tj, src, size, pixels.data(), static_cast<int>(ref.width), 0,
                           static_cast<int>(ref.height), format, 0) == 0;
    tjDestroy(tj);
    if (channels == 4) {
        const bool inverted = layout != JpegLayout::CmykPlain;
        std::vector<uint8_t> rgb(pixels.size() / 4 * 3);
        for (size_t i = 0; i < pixels.size() / 4; ++i) {
            const uint8_t* p = &pixels[i * 4];
            const auto ink = [inverted](uint8_t v) { return inverted ? v : 255 - v; };
            for (int c = 0; c < 3; ++c) {
                rgb[i * 3 + c] = static_cast<uint8_t>((ink(p[c]) * ink(p[3]) + 127) / 255);
            }
        }
        ref.rgba = img_test::ToRgba(rgb, 3);
    } else {
        ref.rgba = img_test::ToRgba(pixels, channels);
    }
    return ref;
}

TEST(JpegDecode, MatchesTurboJpegInEveryLayoutAtEveryScale) {
    uint32_t seed = 7;
    for (const Layout& l : kLayouts) {
        for (int round = 0; round < 3; ++round) {
            const uint32_t width = 1 + Next(seed) % (round == 2 ? 300 : 90);
            const uint32_t height = 1 + Next(seed) % (round == 2 ? 200 : 90);
            SCOPED_TRACE(std::string(l.name) + " " + std::to_string(width) + "x" +
                         std::to_string(height));
            const std::vector<uint8_t> jpeg = MakeJpeg(l.layout, width, height, seed);
            for (int scale = 1; scale <= 32; ++scale) {
                SCOPED_TRACE("scale " + std::to_string(scale));
                const Reference ref = TurboDecode(jpeg, scale, l.layout);
                ASSERT_TRUE(ref.ok);
                const img_test::Picture got = img_test::Decode(jpeg, 0, scale);
                ASSERT_TRUE(img_test::SameRgba(got, ref.rgba, ref.width, ref.height));
                EXPECT_EQ(got.bit_count, l.layout == JpegLayout::Grey ? 8 : 24);
                EXPECT_EQ(got.type_back, uint32_t{kTypeJpeg});
            }
        }
    }
}

TEST(JpegDecode, GreyIsAnIndexedRampAndOnlyFrameZeroExists) {
    const std::vector<uint8_t> jpeg = MakeJpeg(JpegLayout::Grey, 20, 10, 3);
    const img_test::Picture got = img_test::Decode(jpeg);
    ASSERT_EQ(got.result, 0);
    ASSERT_EQ(got.bit_count, 8);
    for (int i = 0; i < 256; ++i) {
        const uint8_t* entry = got.dib.data() + 40 + i * 4;
        ASSERT_TRUE(entry[0] == i && entry[1] == i && entry[2] == i) << "palette entry " << i;
    }
    EXPECT_NE(img_test::Decode(jpeg, 1).result, 0);
}

std::vector<uint8_t> ExifResolution(bool big_endian, uint32_t x_num, uint32_t x_den,
                                    uint32_t y_num, uint32_t y_den, uint16_t unit) {
    std::vector<uint8_t> t = {'E', 'x', 'i', 'f', 0, 0};  // offsets below count from after it
    const auto u16 = [&](uint32_t v) {
        if (big_endian) {
            t.push_back(static_cast<uint8_t>(v >> 8));
            t.push_back(static_cast<uint8_t>(v));
        } else {
            t.push_back(static_cast<uint8_t>(v));
            t.push_back(static_cast<uint8_t>(v >> 8));
        }
    };
    const auto u32 = [&](uint32_t v) {
        big_endian ? (u16(v >> 16), u16(v & 0xFFFF)) : (u16(v & 0xFFFF), u16(v >> 16));
    };
    t.push_back(big_endian ? 'M' : 'I');
    t.push_back(big_endian ? 'M' : 'I');
    u16(42);
    u32(8);
    u16(3);  // three entries, then the next-IFD link, then the two rationals at 50
    u16(0x011A), u16(5), u32(1), u32(50);
    u16(0x011B), u16(5), u32(1), u32(58);
    u16(0x0128), u16(3), u32(1), u16(unit), u16(0);
    u32(0);
    u32(x_num), u32(x_den), u32(y_num), u32(y_den);
    return t;
}

TEST(JpegDecode, ResolutionFromJfifThenExifElse96) {
    struct Case {
        const char* name;
        int unit;
        uint16_t x, y;
        std::vector<uint8_t> app1;
        int want_x, want_y;
    };
    const Case cases[] = {
        {"JFIF dots per inch", 1, 300, 150, {}, 300, 150},
        {"JFIF dots per cm", 2, 100, 50, {}, 254, 127},
        {"JFIF aspect only", 0, 2, 1, {}, 96, 96},
        {"no JFIF, no EXIF", -1, 0, 0, {}, 96, 96},
        {"EXIF, little-endian, inches", -1, 0, 0, ExifResolution(false, 144, 2, 600, 1, 2), 72, 600},
        {"EXIF, big-endian, centimetres", -1, 0, 0, ExifResolution(true, 40, 1, 80, 1, 3), 102, 203},
        {"JFIF aspect, then EXIF", 0, 1, 1, ExifResolution(true, 200, 1, 200, 1, 2), 200, 200},
        {"JFIF wins over EXIF", 1, 72, 72, ExifResolution(false, 300, 1, 300, 1, 2), 72, 72},
        {"EXIF without unit meaning", -1, 0, 0, ExifResolution(false, 300, 1, 300, 1, 1), 96, 96},
        {"EXIF zero denominator", -1, 0, 0, ExifResolution(false, 300, 0, 300, 1, 2), 96, 96},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        jpegpng_kit::JpegOptions options;
        options.density_unit = c.unit;
        options.x_density = c.x;
        options.y_density = c.y;
        options.app1 = c.app1;
        const img_test::Picture got =
            img_test::Decode(MakeJpeg(JpegLayout::Baseline420, 16, 16, 1, options));
        ASSERT_EQ(got.result, 0);
        EXPECT_NEAR(got.x_ppm * 0.0254, c.want_x, 0.5);
        EXPECT_NEAR(got.y_ppm * 0.0254, c.want_y, 0.5);
    }
}

// Sets the frame size in the file's SOFn marker.
void SetFrameSize(std::vector<uint8_t>& jpeg, uint16_t width, uint16_t height) {
    for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
        const uint8_t m = jpeg[i + 1];
        if (jpeg[i] == 0xFF && (m == 0xC0 || m == 0xC1 || m == 0xC2 || m == 0xC9 || m == 0xCA)) {
            jpeg[i + 5] = static_cast<uint8_t>(height >> 8), jpeg[i + 6] = height & 0xFF;
            jpeg[i + 7] = static_cast<uint8_t>(width >> 8), jpeg[i + 8] = width & 0xFF;
            return;
        }
    }
    FAIL() << "no frame header";
}

TEST(JpegDecode, OversizedFramesAreOutOfMemoryBeforeAnyPictureMemory) {
    std::vector<uint8_t> baseline = MakeJpeg(JpegLayout::Baseline420, 16, 16, 2);
    SetFrameSize(baseline, 60000, 60000);
    EXPECT_EQ(img_test::Decode(baseline).result, SPI_OUT_OF_MEMORY);
    // Progressive streams keep every coefficient, whatever the output scale.
    std::vector<uint8_t> progressive = MakeJpeg(JpegLayout::Progressive, 16, 16, 2);
    SetFrameSize(progressive, 40000, 40000);
    EXPECT_EQ(img_test::Decode(progressive, 0, 32).result, SPI_OUT_OF_MEMORY);
}

// A damaged file gives a code or a sound picture, never a crash (the asan preset runs this too).
void ExpectCodeOrPicture(const std::vector<uint8_t>& bytes, int scale) {
    const img_test::Picture got = img_test::Decode(bytes, 0, scale);
    if (got.result == 0) {
        ASSERT_TRUE(got.error.empty()) << got.error;
        ASSERT_GT(got.width, 0u);
    } else {
        ASSERT_TRUE(got.dib.empty());
    }
}

TEST(JpegDecode, TruncatedAndCorruptedFilesGiveACodeOrAPicture) {
    const JpegLayout layouts[] = {JpegLayout::Baseline420, JpegLayout::Progressive,
                                  JpegLayout::Arithmetic, JpegLayout::ProgressiveArithmetic,
                                  JpegLayout::Ycck, JpegLayout::Grey};
    uint32_t seed = 99;
    for (JpegLayout layout : layouts) {
        const std::vector<uint8_t> jpeg = MakeJpeg(layout, 40, 33, seed);
        SCOPED_TRACE(static_cast<int>(layout));
        for (size_t n = 0; n < jpeg.size(); ++n) {
            ExpectCodeOrPicture(std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + n),
                                static_cast<int>(n % 4 + 1));
        }
        for (int round = 0; round < 300; ++round) {
            std::vector<uint8_t> damaged = jpeg;
            const int flips = 1 + static_cast<int>(Next(seed) % 4);
            for (int f = 0; f < flips; ++f) {
                damaged[2 + Next(seed) % (damaged.size() - 2)] ^= static_cast<uint8_t>(1 + Next(seed) % 255);
            }
            ExpectCodeOrPicture(damaged, 1 + round % 3);
        }
    }
}

// ---- Encoding --------------------------------------------------------------------------------

TEST(JpegEncode, BaselineFourTwoZeroAtTheGivenQualityAsTurboJpegEncodes) {
    struct Case {
        uint16_t bits;
        bool grey;
    };
    const Case cases[] = {{24, false}, {32, false}, {8, true}, {8, false}, {4, false}, {1, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + (c.grey ? " grey" : " colour"));
        const jpegpng_kit::TestDib dib = jpegpng_kit::MakeDib(c.bits, c.grey, false, 97, 61);
        EncodeOptions options;
        options.jpeg_quality = 95;
        std::vector<uint8_t> fine, coarse;
        ASSERT_EQ(JpegBackend().Encode(dib.view, options, fine), CodecStatus::Ok);
        options.jpeg_quality = 20;
        ASSERT_EQ(JpegBackend().Encode(dib.view, options, coarse), CodecStatus::Ok);
        EXPECT_LT(coarse.size(), fine.size());

        tjhandle tj = tjInitDecompress();
        int w = 0, h = 0, subsamp = -1, space = -1;
        ASSERT_EQ(tjDecompressHeader3(tj, fine.data(), fine.size(), &w, &h, &subsamp, &space), 0);
        EXPECT_EQ(subsamp, c.grey ? TJSAMP_GRAY : TJSAMP_420);
        std::vector<uint8_t> rgb(size_t{97} * 61 * 3);
        ASSERT_EQ(tjDecompress2(tj, fine.data(), fine.size(), rgb.data(), 97, 0, 61, TJPF_RGB, 0), 0);
        tjDestroy(tj);
        tj = nullptr;
        bool baseline = false;
        for (size_t i = 0; i + 1 < fine.size() && !baseline; ++i) {
            baseline = fine[i] == 0xFF && fine[i + 1] == 0xC0;
        }
        EXPECT_TRUE(baseline);
        // TurboJPEG's own encoder, given the same colours at the same settings, gives a
        // picture that decodes to the same pixels.
        const std::vector<uint8_t> rgba = jpegpng_kit::DibRgba(dib.view);
        std::vector<uint8_t> source;
        for (size_t i = 0; i < rgba.size(); i += 4) {
            source.insert(source.end(), rgba.begin() + i, rgba.begin() + i + (c.grey ? 1 : 3));
        }
        unsigned char* theirs = nullptr;
        unsigned long their_size = 0;
        tjhandle enc = tjInitCompress();
        ASSERT_EQ(tjCompress2(enc, source.data(), 97, 0, 61, c.grey ? TJPF_GRAY : TJPF_RGB, &theirs,
                              &their_size, c.grey ? TJSAMP_GRAY : TJSAMP_420, 95,
                              TJFLAG_ACCURATEDCT), 0);
        tjDestroy(enc);
        std::vector<uint8_t> their_rgb(rgb.size());
        tj = tjInitDecompress();
        ASSERT_EQ(tjDecompress2(tj, theirs, their_size, their_rgb.data(), 97, 0, 61, TJPF_RGB, 0), 0);
        tjDestroy(tj);
        tjFree(theirs);
        EXPECT_EQ(rgb, their_rgb);
        const img_test::Picture back = img_test::Decode(fine);
        ASSERT_EQ(back.result, 0);
        EXPECT_NEAR(back.x_ppm * 0.0254, 200, 0.5);
        EXPECT_NEAR(back.y_ppm * 0.0254, 100, 0.5);
    }
}

}  // namespace
