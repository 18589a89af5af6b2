// Pictures in WebP, HEIF/AVIF and JPEG XL made with each format's own encoder (libwebp with its
// animation encoder, libheif with its AV1 and HEVC plug-ins, libjxl), for the back ends' tests,
// the benchmark and the sample generator. An encoder that fails gives no bytes and says why.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace modern_test {

// One picture: top-down rows, `channels` 8-bit samples a pixel (1 grey, 2 grey+alpha, 3 RGB,
// 4 RGBA), or 16-bit little-endian samples when `bit_depth` is above 8.
struct Raster {
    uint32_t width = 0;
    uint32_t height = 0;
    int channels = 3;
    int bit_depth = 8;
    std::vector<uint8_t> samples;
};

// Smooth gradients, a few shapes and some noise: what photographs and drawings both have.
// Alpha, where there is a channel for it, runs from transparent to opaque with a solid block.
Raster PhotoLike(uint32_t width, uint32_t height, int channels, uint32_t seed, int bit_depth = 8);

struct Encoded {
    std::vector<uint8_t> bytes;
    std::string error;  // why there are no bytes
};

// libwebp: RGB or RGBA rasters, lossy at `quality` or lossless.
Encoded EncodeWebp(const Raster& raster, bool lossless, float quality = 80);
// WebPAnimEncoder: every raster one frame of 100 ms (all of one size, RGBA or RGB).
Encoded EncodeWebpAnimation(const std::vector<Raster>& frames, bool lossless);

enum class HeifCodec { Hevc, Av1 };
const char* HeifCodecName(HeifCodec codec);
// Whether this libheif has an encoder plug-in for the codec.
bool HeifEncoderAvailable(HeifCodec codec);
// One file with every raster a top-level image; the first is the primary image. RGB or RGBA,
// 8 bits or more.
// `orientation` (an EXIF value, 1 to 8) is written as irot and imir properties; `clap` crops
// sizes the codec cannot code with a clap property rather than a grid.
// `thumbnails` lists the bounding boxes of thumbnail items that libheif's encoder adds to every
// image (scaled by libheif, with the image's orientation).
// `nclx` (primaries, transfer, matrix, full range), where primaries is not 0, describes the
// colours of every image in an nclx property; the encoder converts RGB to YCbCr by its matrix.
struct HeifShape {
    int orientation = 1;
    bool clap = false;
    std::vector<int> thumbnails;
    int nclx[4] = {};
    std::vector<uint8_t> icc;  // written as a 'prof' colour property
};
Encoded EncodeHeif(HeifCodec codec, const std::vector<Raster>& images, int quality = 70,
                   bool lossless = false, HeifShape shape = HeifShape());

// libjxl: one raster a still picture, several an animation of 100 ms frames. Grey, grey+alpha,
// RGB or RGBA; lossless keeps the samples exactly. `p3` describes the colours as Display P3
// primaries on a gamma 2.2 curve instead of sRGB; `orientation` (EXIF 1 to 8) is written in
// the basic information.
Encoded EncodeJxl(const std::vector<Raster>& frames, bool lossless, float distance = 1.0f,
                  int effort = 3, bool p3 = false, int orientation = 1);

}  // namespace modern_test
