// Writes the sample pictures of our own readers' formats into a folder (samples/ by default):
// a PSD with merged transparency, a two-entry icon, a run-length TGA, a 16-bit PPM and a QOI,
// drawn from gradients and a disc so that they regenerate byte for byte.
// Usage: img_make_own_samples [OUTPUT_DIR]
#include <cmath>
#include <cstdio>
#include <string>

#include "OwnWriters.h"

namespace {

// A top-down RGBA picture: gradients with a disc whose edge fades out.
std::vector<uint8_t> Drawing(uint32_t width, uint32_t height, bool alpha) {
    std::vector<uint8_t> out(size_t{width} * height * 4);
    const double cx = width / 2.0, cy = height / 2.0, r = std::fmin(cx, cy) * 0.8;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* q = out.data() + (size_t{y} * width + x) * 4;
            const double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
            const bool inside = d < r;
            q[0] = static_cast<uint8_t>(inside ? 230 : 255 * x / width);
            q[1] = static_cast<uint8_t>(inside ? 120 : 255 * y / height);
            q[2] = static_cast<uint8_t>(inside ? 40 : 160);
            const double fade = std::fmin(1.0, std::fmax(0.0, (r + 4 - d) / 8));
            q[3] = alpha ? static_cast<uint8_t>(std::lround(255 * fade)) : 255;
        }
    }
    return out;
}

bool Save(const std::string& dir, const char* name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> Psd() {
    own_writers::PsdSpec s;
    s.width = 96, s.height = 64;
    s.packbits = true;
    s.dpi = 150;
    s.has_layer_section = true;
    s.layer_count = -1;
    const std::vector<uint8_t> rgba = Drawing(s.width, s.height, true);
    s.planes.assign(4, std::vector<uint16_t>(size_t{s.width} * s.height));
    for (size_t i = 0; i < s.planes[0].size(); ++i) {
        for (int c = 0; c < 4; ++c) s.planes[static_cast<size_t>(c)][i] = rgba[i * 4 + c];
    }
    return own_writers::WritePsd(s);
}

std::vector<uint8_t> Ico() {
    std::vector<own_writers::IcoEntry> entries(2);
    // 16 x 16, 4-bit with a 16-colour ramp and a round AND mask.
    own_writers::IcoEntry& small = entries[0];
    small.width = small.height = 16;
    small.bits = 4;
    for (int i = 0; i < 16; ++i) {
        small.palette.insert(small.palette.end(), {static_cast<uint8_t>(i * 17), 80,
                                                   static_cast<uint8_t>(255 - i * 17), 0});
    }
    const std::vector<uint8_t> small_rgba = Drawing(16, 16, true);
    for (uint32_t i = 0; i < 256; ++i) {
        small.pixels.push_back(static_cast<uint8_t>((i % 16 + i / 16) / 2));
        small.mask.push_back(small_rgba[i * 4 + 3] < 128 ? 1 : 0);
    }
    // 48 x 48, 32-bit with its own alpha.
    own_writers::IcoEntry& big = entries[1];
    big.width = big.height = 48;
    const std::vector<uint8_t> rgba = Drawing(48, 48, true);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        big.pixels.insert(big.pixels.end(), {rgba[i + 2], rgba[i + 1], rgba[i], rgba[i + 3]});
        big.mask.push_back(rgba[i + 3] == 0 ? 1 : 0);
    }
    return own_writers::WriteIco(entries);
}

std::vector<uint8_t> Tga() {
    own_writers::TgaSpec s;
    s.image_type = 10;
    s.pixel_bits = 32;
    s.descriptor = 0x08;  // 8 alpha bits, bottom-up
    s.width = 80, s.height = 60;
    s.id = "zem sample";
    s.footer = true;
    const std::vector<uint8_t> rgba = Drawing(s.width, s.height, true);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        s.pixels.insert(s.pixels.end(), {rgba[i + 2], rgba[i + 1], rgba[i], rgba[i + 3]});
    }
    return own_writers::WriteTga(s);
}

std::vector<uint8_t> Ppm16() {
    own_writers::PnmSpec s;
    s.kind = 6;
    s.width = 72, s.height = 48;
    s.maxval = 65535;
    const std::vector<uint8_t> rgba = Drawing(s.width, s.height, false);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        for (int c = 0; c < 3; ++c) s.samples.push_back(static_cast<uint16_t>(rgba[i + c] * 257));
    }
    return own_writers::WritePnm(s);
}

std::vector<uint8_t> Qoi() { return own_writers::WriteQoi(100, 70, 4, Drawing(100, 70, true)); }

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "samples";
    const bool ok = Save(dir, "psd-rgb-alpha-rle.psd", Psd()) &&
                    Save(dir, "ico-two-entries.ico", Ico()) &&
                    Save(dir, "tga-rle-32-alpha.tga", Tga()) &&
                    Save(dir, "pnm-ppm-16bit.ppm", Ppm16()) && Save(dir, "qoi-rgba.qoi", Qoi());
    if (!ok) std::fprintf(stderr, "img_make_own_samples: cannot write into %s\n", dir.c_str());
    return ok ? 0 : 1;
}
