// Writes the JPEG and PNG pictures of samples/: a photo-like JPEG (4:2:0, 72 dpi), a CMYK JPEG
// with Adobe's marker (inks stored inverted), an RGBA PNG whose alpha fades across the picture,
// and a 256-colour palette PNG.
// Usage: jpegpng_make_samples SAMPLES_DIR
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "JpegPngKit.h"

namespace {

bool Save(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok && !bytes.empty();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SAMPLES_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const uint32_t w = 320, h = 240;
    const std::vector<uint8_t> rgb = jpegpng_kit::PhotoLike(w, h, 3, 2024);

    jpegpng_kit::JpegOptions jpeg;
    jpeg.quality = 85;
    jpeg.density_unit = 1;
    jpeg.x_density = jpeg.y_density = 72;

    jpegpng_kit::PngSpec rgba;
    rgba.width = w;
    rgba.height = h;
    rgba.colour_type = 6;  // RGB + alpha
    rgba.phys_unit = 1;
    rgba.x_ppu = rgba.y_ppu = 3780;  // 96 dpi
    jpegpng_kit::PngSpec palette = rgba;
    palette.colour_type = 3;
    for (int i = 0; i < 216; ++i) {  // a 6 x 6 x 6 colour cube
        palette.palette.push_back({static_cast<uint8_t>(i / 36 * 51),
                                   static_cast<uint8_t>(i / 6 % 6 * 51),
                                   static_cast<uint8_t>(i % 6 * 51)});
    }
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* p = &rgb[(size_t{y} * w + x) * 3];
            rgba.samples.insert(rgba.samples.end(),
                                {p[0], p[1], p[2], static_cast<uint16_t>(255 * x / (w - 1))});
            palette.samples.push_back(
                static_cast<uint16_t>((p[0] + 25) / 51 * 36 + (p[1] + 25) / 51 * 6 + (p[2] + 25) / 51));
        }
    }
    // The photo at half size in inks: black the darkness common to the three, stored inverted.
    jpegpng_kit::JpegOptions cmyk_options;
    cmyk_options.layout = jpegpng_kit::JpegLayout::CmykAdobe;
    cmyk_options.quality = 85;
    std::vector<uint8_t> cmyk;
    for (uint32_t y = 0; y < h; y += 2) {
        for (uint32_t x = 0; x < w; x += 2) {
            const uint8_t* p = &rgb[(size_t{y} * w + x) * 3];
            const int top = std::max({p[0], p[1], p[2]});
            for (int c = 0; c < 3; ++c) {
                const int ink = top ? (top - p[c]) * 255 / top : 0;
                cmyk.push_back(static_cast<uint8_t>(255 - ink));
            }
            cmyk.push_back(static_cast<uint8_t>(top));  // 255 - black
        }
    }
    const bool ok = Save(dir + "/jpeg-photo-420.jpg", jpegpng_kit::WriteJpeg(rgb.data(), w, h, jpeg)) &&
                    Save(dir + "/jpeg-cmyk-adobe.jpg",
                         jpegpng_kit::WriteJpeg(cmyk.data(), w / 2, h / 2, cmyk_options)) &&
                    Save(dir + "/png-rgba-alpha.png", jpegpng_kit::WritePng(rgba)) &&
                    Save(dir + "/png-palette-216.png", jpegpng_kit::WritePng(palette));
    if (!ok) std::fprintf(stderr, "cannot write the samples into %s\n", dir.c_str());
    return ok ? 0 : 1;
}
