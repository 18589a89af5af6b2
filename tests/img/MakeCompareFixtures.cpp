// Writes the pictures on which the Windows suites compare imgsrc.dll with the native imgsrc,
// made by the libraries' own writers: JPEG of every layout (odd sizes, one large enough for a
// reduced preview), TIFF of each compression, JPEG 2000 files and codestreams, DNG files with
// JPEG and bitmap previews, WebP and JPEG XL stills and animations.
//   make_compare_fixtures OUTPUT_DIR
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "JpegPngKit.h"
#include "LibPictures.h"
#include "ModernEncoders.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool Write(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    const bool ok = f && !bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f && std::fclose(f) != 0) return false;
    if (!ok) std::fprintf(stderr, "make_compare_fixtures: cannot write %s\n", path.c_str());
    return ok;
}

Bytes Jpeg(jpegpng_kit::JpegLayout layout, uint32_t w, uint32_t h) {
    jpegpng_kit::JpegOptions options;
    options.layout = layout;
    const int channels = jpegpng_kit::JpegChannels(layout);
    return jpegpng_kit::WriteJpeg(jpegpng_kit::PhotoLike(w, h, channels, w + h).data(), w, h,
                                  options);
}

img_test::TiffPage Page(uint16_t compression, uint16_t spp, uint16_t bps, std::mt19937& rng) {
    img_test::TiffPage p;
    p.width = 75, p.height = 43;
    p.compression = compression, p.spp = spp, p.bps = bps;
    p.photometric = spp >= 3 ? 2 : 1;
    if (spp == 4) p.extra_samples = {2};  // unassociated alpha
    img_test::FillRandom(p, rng);
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_compare_fixtures OUTPUT_DIR\n");
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";
    std::mt19937 rng(25);
    bool ok = true;
    using jpegpng_kit::JpegLayout;
    const struct {
        const char* name;
        JpegLayout layout;
    } jpegs[] = {{"420", JpegLayout::Baseline420},
                 {"422", JpegLayout::Baseline422},
                 {"444", JpegLayout::Baseline444},
                 {"grey", JpegLayout::Grey},
                 {"progressive", JpegLayout::Progressive},
                 {"arithmetic", JpegLayout::Arithmetic},
                 {"progressive-arithmetic", JpegLayout::ProgressiveArithmetic},
                 {"cmyk-adobe", JpegLayout::CmykAdobe},
                 {"cmyk-plain", JpegLayout::CmykPlain},
                 {"ycck", JpegLayout::Ycck}};
    for (const auto& j : jpegs) ok &= Write(dir + "jpeg-" + j.name + ".jpg", Jpeg(j.layout, 93, 61));
    ok &= Write(dir + "jpeg-large-420.jpg", Jpeg(JpegLayout::Baseline420, 1203, 805));

    // TIFF: uncompressed, LZW, Deflate, PackBits and JPEG strips; tiles; 16-bit; alpha.
    ok &= Write(dir + "tiff-compressions.tif",
                img_test::MakeTiff({Page(1, 3, 8, rng), Page(5, 3, 8, rng), Page(8, 1, 8, rng),
                                    Page(32773, 3, 8, rng), Page(7, 3, 8, rng)}));
    img_test::TiffPage tiled = Page(8, 4, 16, rng);
    tiled.tile = 32;
    ok &= Write(dir + "tiff-tiled-rgba16.tif", img_test::MakeTiff({tiled}));
    // A page with its reduced-resolution page after it: the preview.
    img_test::TiffPage large = Page(5, 3, 8, rng), reduced = Page(5, 3, 8, rng);
    large.width = 480, large.height = 320;
    reduced.width = 240, reduced.height = 160, reduced.subfile_type = 1;
    img_test::FillRandom(large, rng);
    img_test::FillRandom(reduced, rng);
    ok &= Write(dir + "tiff-reduced-page.tif", img_test::MakeTiff({large, reduced}));

    // JPEG 2000: JP2 and codestream, lossless and lossy, 16-bit grey, sub-sampled chroma,
    // alpha, and one large enough for a reduced-resolution preview.
    const struct {
        const char* name;
        uint32_t width, height, components, precision, sub;
        bool alpha, codestream, lossy;
    } jp2s[] = {{"jp2-rgb.jp2", 77, 51, 3, 8, 1, false, false, false},
                {"jp2-rgba-lossy.jp2", 64, 40, 4, 8, 1, true, false, true},
                {"jp2-grey16.jp2", 50, 33, 1, 16, 1, false, false, false},
                {"jp2-subsampled.j2k", 66, 42, 3, 8, 2, false, true, true},
                {"jp2-large.j2k", 700, 420, 3, 8, 1, false, true, true}};
    for (const auto& j : jp2s) {
        img_test::Jp2Picture p;
        p.width = j.width, p.height = j.height, p.components = j.components;
        p.precision = j.precision, p.dx = p.dy = j.sub;
        p.alpha = j.alpha, p.codestream = j.codestream, p.lossy = j.lossy;
        if (j.sub > 1) p.colour_space = 3;  // OPJ_CLRSPC_SYCC
        img_test::FillRandom(p, rng);
        ok &= Write(dir + j.name, img_test::MakeJp2(p));
    }

    // DNG: developed with the camera's white balance; previews as JPEG and as bitmap.
    img_test::DngPreview jpeg_preview;
    jpeg_preview.width = 320, jpeg_preview.height = 240;
    jpeg_preview.jpeg = Jpeg(JpegLayout::Baseline420, 320, 240);
    img_test::DngPreview rgb_preview;
    rgb_preview.width = 200, rgb_preview.height = 160, rgb_preview.orientation = 6;
    rgb_preview.rgb = jpegpng_kit::PhotoLike(200, 160, 3, 7);
    ok &= Write(dir + "dng-plain.dng", img_test::MakeDng(96, 64, {}, rng));
    ok &= Write(dir + "dng-jpeg-preview.dng", img_test::MakeDng(128, 96, {}, rng, 4095, &jpeg_preview));
    ok &= Write(dir + "dng-rgb-preview.dng", img_test::MakeDng(100, 80, {}, rng, 16383, &rgb_preview));

    // WebP and JPEG XL, stills and animations.
    using modern_test::PhotoLike;
    const auto frames = [](int channels) {
        return std::vector<modern_test::Raster>{PhotoLike(61, 39, channels, 1),
                                                PhotoLike(61, 39, channels, 2),
                                                PhotoLike(61, 39, channels, 3)};
    };
    const struct {
        const char* name;
        modern_test::Encoded file;
    } modern[] = {
        {"webp-lossy.webp", modern_test::EncodeWebp(PhotoLike(81, 53, 3, 4), false)},
        {"webp-lossless-alpha.webp", modern_test::EncodeWebp(PhotoLike(81, 53, 4, 5), true)},
        {"webp-animation.webp", modern_test::EncodeWebpAnimation(frames(4), false)},
        {"jxl-lossless.jxl", modern_test::EncodeJxl({PhotoLike(81, 53, 3, 6)}, true)},
        {"jxl-lossy-alpha.jxl", modern_test::EncodeJxl({PhotoLike(81, 53, 4, 7)}, false)},
        {"jxl-grey16.jxl", modern_test::EncodeJxl({PhotoLike(40, 30, 1, 8, 16)}, true)},
        {"jxl-animation.jxl", modern_test::EncodeJxl(frames(3), false)}};
    for (const auto& m : modern) {
        if (m.file.bytes.empty()) std::fprintf(stderr, "%s: %s\n", m.name, m.file.error.c_str());
        ok &= Write(dir + m.name, m.file.bytes);
    }
    return ok ? 0 : 1;
}
