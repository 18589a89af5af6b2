// JPEG pictures turned and converted band by band as they decode: every orientation, on heights
// and widths that end inside a band and inside a placement tile, in colour (with a P3 profile),
// grey and CMYK, against the as-stored picture turned here and converted by lcms2 itself; and the
// table-driven conversion of matrix-shaper profiles against lcms2's transform over a dense sample
// of colours; and the band writer's vector and portable turns against a reference.
#include <gtest/gtest.h>
#include <lcms2.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ColourManage.h"
#include "ImgTestSupport.h"
#include "Orientation.h"
#include "JpegPngKit.h"

namespace {

using img_test::Picture;
using jpegpng_kit::JpegLayout;

// An RGB profile of these primaries (D65 white) and one gamma for all three channels.
std::vector<uint8_t> RgbProfile(const cmsCIExyYTRIPLE& primaries, double gamma) {
    cmsCIExyY white = {0.3127, 0.3290, 1.0};
    cmsToneCurve* curve = cmsBuildGamma(nullptr, gamma);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE p = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::vector<uint8_t> icc(size);
    cmsSaveProfileToMem(p, icc.data(), &size);
    cmsCloseProfile(p);
    cmsFreeToneCurve(curve);
    return icc;
}
const cmsCIExyYTRIPLE kP3 = {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}};
const cmsCIExyYTRIPLE kAdobe = {{0.640, 0.330, 1}, {0.210, 0.710, 1}, {0.150, 0.060, 1}};

// lcms2's own conversion to sRGB (perceptual), in place, alpha kept.
void LcmsToSrgb(const std::vector<uint8_t>& icc, uint8_t* pixels, size_t count, bool bgra) {
    cmsHPROFILE in = cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    const cmsUInt32Number format = bgra ? TYPE_BGRA_8 : TYPE_RGBA_8;
    cmsHTRANSFORM t =
        cmsCreateTransform(in, format, srgb, format, INTENT_PERCEPTUAL, cmsFLAGS_COPY_ALPHA);
    ASSERT_NE(t, nullptr);
    cmsDoTransform(t, pixels, pixels, static_cast<cmsUInt32Number>(count));
    cmsDeleteTransform(t);
    cmsCloseProfile(srgb);
    cmsCloseProfile(in);
}

// A JPEG with an EXIF orientation and, when given, an ICC profile.
std::vector<uint8_t> OrientedJpeg(JpegLayout layout, uint32_t w, uint32_t h, uint8_t orientation,
                                  const std::vector<uint8_t>& icc) {
    jpegpng_kit::JpegOptions options;
    options.layout = layout;
    options.app1 = {'E',  'x',  'i', 'f', 0, 0, 'I', 'I', 42,          0, 8, 0, 0, 0, 1, 0,
                    0x12, 0x01, 3,   0,   1, 0, 0,   0,   orientation, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> pixels =
        jpegpng_kit::PhotoLike(w, h, jpegpng_kit::JpegChannels(layout), w * 31 + h);
    std::vector<uint8_t> jpeg = jpegpng_kit::WriteJpeg(pixels.data(), w, h, options);
    if (!icc.empty()) {
        const size_t length = 2 + 14 + icc.size();
        std::vector<uint8_t> seg = {0xFF, 0xE2, static_cast<uint8_t>(length >> 8),
                                    static_cast<uint8_t>(length)};
        const char tag[12] = "ICC_PROFILE";
        seg.insert(seg.end(), tag, tag + 12);
        seg.push_back(1), seg.push_back(1);
        seg.insert(seg.end(), icc.begin(), icc.end());
        jpeg.insert(jpeg.begin() + 2, seg.begin(), seg.end());
    }
    return jpeg;
}

Picture Read(const std::vector<uint8_t>& bytes, uint32_t options) {
    Picture out;
    PictureRequestBlock block{};
    std::memcpy(block.tag, "zem", 3);
    block.field56 = static_cast<int32_t>(options);
    SpiHandle dib = nullptr;
    out.result = img_test::Imgsrc().GetPicture(
        reinterpret_cast<const char*>(bytes.data()), static_cast<SpiLength>(bytes.size()),
        SPI_SRC_MEMORY, &dib, nullptr, nullptr, reinterpret_cast<SpiUserData>(&block));
    out.type_back = static_cast<uint32_t>(block.field56);
    if (dib) img_test::TakeDib(dib, out);
    return out;
}

// The stored RGBA picture shown upright: shown (X, Y) is stored (sx, sy) below.
std::vector<uint8_t> Upright(const std::vector<uint8_t>& rgba, uint32_t w, uint32_t h, int o) {
    const bool swap = o >= 5;
    const uint32_t ow = swap ? h : w, oh = swap ? w : h;
    std::vector<uint8_t> out(rgba.size());
    for (uint32_t Y = 0; Y < oh; ++Y) {
        for (uint32_t X = 0; X < ow; ++X) {
            uint32_t sx = X, sy = Y;
            switch (o) {
                case 2:
                    sx = w - 1 - X;
                    break;
                case 3:
                    sx = w - 1 - X, sy = h - 1 - Y;
                    break;
                case 4:
                    sy = h - 1 - Y;
                    break;
                case 5:
                    sx = Y, sy = X;
                    break;
                case 6:
                    sx = Y, sy = h - 1 - X;
                    break;
                case 7:
                    sx = w - 1 - Y, sy = h - 1 - X;
                    break;
                case 8:
                    sx = w - 1 - Y, sy = X;
                    break;
                default:
                    break;
            }
            std::memcpy(&out[(size_t{Y} * ow + X) * 4], &rgba[(size_t{sy} * w + sx) * 4], 4);
        }
    }
    return out;
}

TEST(OrientationBands, EveryOrientationOnBandAndTileEdgesInColourGreyAndCmyk) {
    if (!ColourManagementAvailable()) GTEST_SKIP() << "this build converts no colours";
    const std::vector<uint8_t> p3 = RgbProfile(kP3, 2.4);
    const struct {
        JpegLayout layout;
        bool profile;
    } kinds[] = {
        {JpegLayout::Baseline420, true}, {JpegLayout::Grey, false}, {JpegLayout::CmykAdobe, false}};
    // 150 columns: tiles of 64 end inside; 70 rows: bands of 64 end inside.
    const uint32_t sizes[][2] = {{150, 37}, {61, 70}, {1, 33}};
    for (const auto& kind : kinds) {
        for (const auto& size : sizes) {
            const uint32_t w = size[0], h = size[1];
            for (uint8_t o = 1; o <= 8; ++o) {
                SCOPED_TRACE(::testing::Message()
                             << "layout " << static_cast<int>(kind.layout) << ", " << w << "x" << h
                             << ", orientation " << int{o});
                const std::vector<uint8_t> icc = kind.profile ? p3 : std::vector<uint8_t>{};
                const std::vector<uint8_t> jpeg = OrientedJpeg(kind.layout, w, h, o, icc);
                const Picture stored = Read(jpeg, 0);
                const Picture turned = Read(jpeg, kOptionUpright);
                const Picture both = Read(jpeg, kOptionUpright | kOptionSrgb);
                ASSERT_EQ(stored.result, 0);
                ASSERT_EQ(turned.type_back & kOptionUpright, uint32_t{kOptionUpright});
                ASSERT_EQ(both.type_back & kOptionMask, uint32_t{kOptionMask});
                const bool swap = o >= 5;
                const uint32_t ow = swap ? h : w, oh = swap ? w : h;
                const std::vector<uint8_t> want = Upright(stored.rgba, w, h, o);
                EXPECT_EQ(turned.bit_count, stored.bit_count);
                EXPECT_TRUE(img_test::SameRgba(turned, want, ow, oh, 0));
                std::vector<uint8_t> srgb = want;
                if (kind.profile) LcmsToSrgb(icc, srgb.data(), size_t{ow} * oh, false);
                EXPECT_TRUE(img_test::SameRgba(both, srgb, ow, oh, kind.profile ? 2 : 0));
                const img_test::Info info = img_test::GetInfo(jpeg, kOptionUpright | kOptionSrgb);
                EXPECT_EQ(info.record.width, static_cast<int32_t>(ow));
                EXPECT_EQ(info.record.height, static_cast<int32_t>(oh));
            }
        }
    }
}

// Both kernels (the vector one runs where the processor has AVX-512 VBMI), on 32- and 24-bit
// rows whose lengths end inside a vector's 64 pixels: within 2 of lcms2, within 1 of each
// other, alpha untouched.
TEST(OrientationBands, MatrixShaperTablesStayWithinTwoOfLcmsOverADenseSample) {
    if (!ColourManagementAvailable()) GTEST_SKIP() << "this build converts no colours";
    std::vector<uint8_t> sample;  // every fifth level of each channel, then all greys
    for (int r = 0; r <= 255; r += 5) {
        for (int g = 0; g <= 255; g += 5) {
            for (int b = 0; b <= 255; b += 5) {
                sample.insert(sample.end(), {uint8_t(b), uint8_t(g), uint8_t(r), uint8_t(r ^ g)});
            }
        }
    }
    for (int v = 0; v < 256; ++v)
        sample.insert(sample.end(), {uint8_t(v), uint8_t(v), uint8_t(v), 7});
    const size_t count = sample.size() / 4;
    for (const auto* primaries : {&kP3, &kAdobe}) {
        SCOPED_TRACE(primaries == &kP3 ? "P3" : "Adobe RGB");
        const std::vector<uint8_t> icc = RgbProfile(*primaries, primaries == &kP3 ? 2.4 : 2.2);
        std::vector<uint8_t> want = sample;
        LcmsToSrgb(icc, want.data(), count, true);
        for (const size_t bpp : {4, 3}) {
            std::vector<uint8_t> got[2];
            for (const KernelLevel level : {KernelLevel::Best, KernelLevel::Portable}) {
                SrgbConverter converter(level);
                ASSERT_EQ(converter.Prepare(icc.data(), icc.size(), uint16_t(bpp * 8)),
                          CodecStatus::Ok);
                std::vector<uint8_t>& out = got[level == KernelLevel::Best ? 0 : 1];
                for (size_t p = 0; p < count; ++p)
                    out.insert(out.end(), &sample[p * 4], &sample[p * 4] + bpp);
                for (size_t at = 0, row = 1000; at < count;
                     at += row, row = row == 1000 ? 171 : 1000) {
                    converter.ConvertPixels(&out[at * bpp], uint32_t(std::min(row, count - at)));
                }
            }
            int worst = 0, apart = 0;
            for (size_t i = 0; i < got[0].size(); ++i) {
                const size_t at = i / bpp * 4 + i % bpp;
                if (i % bpp == 3) {
                    ASSERT_EQ(got[0][i], sample[at]) << "alpha of pixel " << i / bpp;
                    continue;
                }
                worst = std::max(
                    {worst, std::abs(got[0][i] - want[at]), std::abs(got[1][i] - want[at])});
                apart = std::max(apart, std::abs(got[0][i] - got[1][i]));
            }
            EXPECT_LE(worst, 2) << bpp * 8 << " bits";
            EXPECT_LE(apart, 1) << bpp * 8 << " bits";
        }
    }
}

}  // namespace

namespace {

// Random stored rows handed to a BandWriter band by band, as a decoder would.
void WriteBands(const std::vector<uint8_t>& stored, uint32_t w, uint32_t h, uint16_t bits,
                uint8_t orientation, KernelLevel level, DibCanvas& canvas) {
    PictureOptions options;
    options.orientation = orientation;
    BandWriter writer(canvas, &options, level);
    EXPECT_EQ(writer.Create(w, h, bits), CodecStatus::Ok);
    const size_t row_bytes = size_t{w} * (bits / 8u);
    for (uint32_t first = 0; first < h; first += writer.BandRows()) {
        const uint32_t count = std::min(writer.BandRows(), h - first);
        for (uint32_t y = first; y < first + count; ++y) {
            std::memcpy(writer.Row(y), stored.data() + y * row_bytes, row_bytes);
        }
        writer.Commit(first, count);
    }
    writer.Finish();
}

}  // namespace

// The vector turn (4 x 4 blocks, stores that spill into the next pixels of a run) against the
// portable loop and a pixel-by-pixel reference, for 8-, 24- and 32-bit rows (JPEG never gives
// 32) on sides that end inside a block, a band and a prefetch distance.
TEST(OrientationBands, VectorAndPortableTurnsPlaceEveryPixelAlike) {
    const uint32_t sizes[][2] = {{1, 1}, {3, 7}, {37, 70}, {70, 37}, {101, 66}};
    for (const uint16_t bits : {8, 24, 32}) {
        const size_t bpp = bits / 8u;
        for (const auto& size : sizes) {
            const uint32_t w = size[0], h = size[1];
            std::vector<uint8_t> stored(size_t{w} * h * bpp);
            for (size_t i = 0; i < stored.size(); ++i) {
                stored[i] = static_cast<uint8_t>(i * 37 + i / 7);
            }
            for (uint8_t o = 1; o <= 8; ++o) {
                SCOPED_TRACE(::testing::Message() << bits << " bits, " << w << "x" << h
                                                  << ", orientation " << int{o});
                DibCanvas best, portable;
                WriteBands(stored, w, h, bits, o, KernelLevel::Best, best);
                WriteBands(stored, w, h, bits, o, KernelLevel::Portable, portable);
                // The reference places stored pixels through Upright's mapping, 4 bytes a pixel.
                std::vector<uint8_t> quads(size_t{w} * h * 4);
                for (size_t p = 0; p < size_t{w} * h; ++p) {
                    std::memcpy(&quads[p * 4], &stored[p * bpp], bpp);
                }
                const std::vector<uint8_t> want = Upright(quads, w, h, o);
                const uint32_t ow = o >= 5 ? h : w, oh = o >= 5 ? w : h;
                ASSERT_EQ(best.Width(), ow);
                ASSERT_EQ(best.Height(), oh);
                size_t wrong = 0;
                for (uint32_t y = 0; y < oh; ++y) {
                    for (uint32_t x = 0; x < ow; ++x) {
                        const uint8_t* expect = &want[(size_t{y} * ow + x) * 4];
                        wrong += std::memcmp(best.Row(y) + x * bpp, expect, bpp) != 0;
                        wrong += std::memcmp(portable.Row(y) + x * bpp, expect, bpp) != 0;
                    }
                }
                EXPECT_EQ(wrong, 0u);
            }
        }
    }
}
