// Pictures for the JPEG and PNG suites, the benchmark and the sample generator: photo-like
// content, files written with libjpeg and libpng themselves, and libpng's own reading of a PNG as
// the reference the back end must match.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "DibView.h"

namespace jpegpng_kit {

// Smooth gradients and soft shapes with light noise, `channels` interleaved 8-bit samples.
std::vector<uint8_t> PhotoLike(uint32_t width, uint32_t height, int channels, uint32_t seed);

enum class JpegLayout {
    Baseline420,
    Baseline422,
    Baseline444,
    Grey,
    Progressive,
    Arithmetic,
    ProgressiveArithmetic,
    CmykAdobe,  // CMYK with Adobe's marker: the inks stored inverted
    CmykPlain,  // CMYK without it
    Ycck,       // always with Adobe's marker
};

struct JpegOptions {
    JpegLayout layout = JpegLayout::Baseline420;
    int quality = 90;
    int density_unit = -1;  // -1: no JFIF marker
    uint16_t x_density = 1, y_density = 1;
    std::vector<uint8_t> app1;  // written as an APP1 marker when not empty
};

// 1, 3 or 4 samples a pixel (grey, RGB, CMYK).
int JpegChannels(JpegLayout layout);
std::vector<uint8_t> WriteJpeg(const uint8_t* pixels, uint32_t width, uint32_t height,
                               const JpegOptions& options);

struct PngSpec {
    uint32_t width = 1, height = 1;
    int colour_type = 2;  // PNG_COLOR_TYPE_*
    int depth = 8;
    bool interlaced = false;
    std::vector<uint16_t> samples;  // per channel, at the file's depth (indices for palettes)
    std::vector<std::array<uint8_t, 3>> palette;
    std::vector<uint8_t> palette_alpha;  // tRNS of a palette
    bool colour_key = false;             // tRNS of grey or RGB: key below
    uint16_t key[3] = {0, 0, 0};
    int phys_unit = -1;  // -1: no pHYs
    uint32_t x_ppu = 0, y_ppu = 0;
};
std::vector<uint8_t> WritePng(const PngSpec& shape);

// libpng's reading with expansion, 16-to-8 scaling and tRNS to alpha, no gamma handling.
struct PngPixels {
    bool ok = false;
    uint32_t width = 0, height = 0;
    int channels = 0;  // 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA
    int depth = 0, colour_type = 0;
    bool trns = false;
    bool phys_metre = false;
    uint32_t x_ppm = 0, y_ppm = 0;
    std::vector<uint8_t> pixels;
};
PngPixels ReadPngReference(const std::vector<uint8_t>& bytes);

// Rewrites the CRC of every complete chunk, so that damage inside a chunk reaches the decoder.
void FixPngCrcs(std::vector<uint8_t>& bytes);

// A photo-like picture as a DIB view of `bits`: BGR, BGRA (alpha varying when `alpha`), or
// indices into a colour or grey ramp of 2^bits entries. Rows top-down, 200 x 100 dpi.
struct TestDib {
    std::vector<uint8_t> pixels;
    std::vector<RgbQuad> palette;
    DibView view;
};
TestDib MakeDib(uint16_t bits, bool grey, bool alpha, uint32_t width, uint32_t height);
// The view's pixels as top-down RGBA (alpha 255 unless the view has alpha).
std::vector<uint8_t> DibRgba(const DibView& view);

}  // namespace jpegpng_kit
