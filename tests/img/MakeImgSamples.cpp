// Writes the TIFF (RGB pages, CMYK), JPEG 2000 and DNG samples of the main job with the libraries' own writers:
//   make_img_samples OUTPUT_DIR
// The pictures are drawn from gradients, so the same bytes come out on every run.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "LibPictures.h"

namespace {

constexpr uint32_t kWidth = 160, kHeight = 120;

// A colourful scene in 0..1: hue across, brightness down, with a disc in the middle.
void Scene(uint32_t x, uint32_t y, double rgb[3]) {
    const double u = x / double(kWidth - 1), v = y / double(kHeight - 1);
    const double dx = u - 0.5, dy = v - 0.5;
    const bool disc = dx * dx + dy * dy < 0.06;
    rgb[0] = disc ? 0.95 : u;
    rgb[1] = disc ? 0.85 : 0.5 + 0.5 * std::sin(6.0 * u) * (1 - v);
    rgb[2] = disc ? 0.2 : 1 - u * v;
}

img_test::TiffPage RgbPage() {
    img_test::TiffPage p;
    p.width = kWidth, p.height = kHeight;
    p.compression = 5;  // LZW
    p.x_res = p.y_res = 150;
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            double c[3];
            Scene(x, y, c);
            for (double v : c) p.pixels.push_back(static_cast<uint8_t>(v * 255 + 0.5));
        }
    }
    return p;
}

img_test::TiffPage PalettePage() {
    img_test::TiffPage p;
    p.width = kWidth, p.height = kHeight;
    p.photometric = 3, p.spp = 1, p.bps = 8;  // palette
    p.compression = 8;                        // Deflate
    p.tile = 64;
    p.colormap.resize(3 * 256);
    for (uint32_t i = 0; i < 256; ++i) {
        p.colormap[i] = static_cast<uint16_t>((i & 0xE0) * 257);
        p.colormap[256 + i] = static_cast<uint16_t>(((i << 3) & 0xE0) * 257);
        p.colormap[512 + i] = static_cast<uint16_t>(((i << 6) & 0xC0) * 257);
    }
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            double c[3];
            Scene(x, y, c);
            p.pixels.push_back(static_cast<uint8_t>(static_cast<int>(c[0] * 7.99) << 5 |
                                                    static_cast<int>(c[1] * 7.99) << 2 |
                                                    static_cast<int>(c[2] * 3.99)));
        }
    }
    return p;
}

img_test::TiffPage Grey16Page() {
    img_test::TiffPage p;
    p.width = kWidth, p.height = kHeight;
    p.photometric = 1, p.spp = 1, p.bps = 16;  // min-is-black
    p.compression = 32773;                     // PackBits
    p.pixels.resize(static_cast<size_t>(kWidth) * kHeight * 2);
    auto* v = reinterpret_cast<uint16_t*>(p.pixels.data());
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            double c[3];
            Scene(x, y, c);
            v[y * kWidth + x] =
                static_cast<uint16_t>((0.3 * c[0] + 0.59 * c[1] + 0.11 * c[2]) * 65535);
        }
    }
    return p;
}

// The scene as CMYK inks: black takes the darkness common to all three, the colour inks the
// rest (inks 0..255, no ink = 0).
void SceneInks(uint32_t x, uint32_t y, uint8_t cmyk[4]) {
    double c[3];
    Scene(x, y, c);
    const double k = 1 - std::max({c[0], c[1], c[2]});
    for (int i = 0; i < 3; ++i) {
        cmyk[i] = static_cast<uint8_t>((k < 1 ? (1 - c[i] - k) / (1 - k) : 0) * 255 + 0.5);
    }
    cmyk[3] = static_cast<uint8_t>(k * 255 + 0.5);
}

img_test::TiffPage CmykPage() {
    img_test::TiffPage p;
    p.width = kWidth / 2, p.height = kHeight / 2;
    p.photometric = 5, p.spp = 4, p.bps = 8;  // separated (CMYK)
    p.compression = 5;                        // LZW
    for (uint32_t y = 0; y < p.height; ++y) {
        for (uint32_t x = 0; x < p.width; ++x) {
            uint8_t cmyk[4];
            SceneInks(2 * x, 2 * y, cmyk);
            p.pixels.insert(p.pixels.end(), cmyk, cmyk + 4);
        }
    }
    return p;
}

std::vector<uint8_t> Jp2() {
    img_test::Jp2Picture p;
    p.width = kWidth, p.height = kHeight;
    p.components = 3;
    p.planes.assign(3, std::vector<int32_t>(static_cast<size_t>(kWidth) * kHeight));
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            double c[3];
            Scene(x, y, c);
            for (int i = 0; i < 3; ++i) {
                p.planes[i][y * kWidth + x] = static_cast<int32_t>(c[i] * 255 + 0.5);
            }
        }
    }
    return img_test::AddJp2Resolution(img_test::MakeJp2(p), 300, 300);
}

std::vector<uint8_t> Dng() {
    // The scene seen through an RGGB filter; the camera's red and blue are weaker (as-shot
    // neutral 0.5, 1, 0.7).
    const uint16_t white = 4095;
    const double gain[3] = {0.5, 1.0, 0.7};
    std::vector<uint16_t> mosaic(static_cast<size_t>(kWidth) * kHeight);
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            double c[3];
            Scene(x, y, c);
            const int filter = (y % 2) + (x % 2);  // 0 red, 1 green, 2 blue
            mosaic[y * kWidth + x] = static_cast<uint16_t>(c[filter] * gain[filter] * 0.8 * white);
        }
    }
    std::mt19937 unused(0);
    return img_test::MakeDng(kWidth, kHeight, mosaic, unused, white);
}

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || bytes.empty()) {
        if (f) std::fclose(f);
        std::fprintf(stderr, "make_img_samples: cannot write %s\n", path.c_str());
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_img_samples OUTPUT_DIR\n");
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";
    const bool ok = Write(dir + "tiff-pages-3.tif",
                          img_test::MakeTiff({RgbPage(), PalettePage(), Grey16Page()})) &&
                    Write(dir + "tiff-cmyk.tif", img_test::MakeTiff({CmykPage()})) &&
                    Write(dir + "jp2-rgb-300dpi.jp2", Jp2()) && Write(dir + "dng-cfa.dng", Dng());
    return ok ? 0 : 1;
}
