// Small writers for the formats that imgsrc reads with its own readers (PSD, QOI, PNM, TGA,
// ICO), written from the formats' published descriptions for the tests and the samples. Each
// writes exactly what its shape struct says, including variants a reader must cope with.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace own_writers {

// A random top-down RGBA picture with runs, small steps and repeats of earlier pixels as well as
// noise, so run-length and delta coders meet every case. Alpha is 255 unless `alpha`.
std::vector<uint8_t> RandomRgba(std::mt19937& rng, uint32_t width, uint32_t height, bool alpha);

// Big-endian and little-endian appenders.
void PutU16BE(std::vector<uint8_t>& out, uint32_t v);
void PutU32BE(std::vector<uint8_t>& out, uint32_t v);
void PutU16LE(std::vector<uint8_t>& out, uint32_t v);
void PutU32LE(std::vector<uint8_t>& out, uint32_t v);

// PackBits as PSD (and TIFF) use it: literal runs of up to 128 bytes, repeats of 2..128.
std::vector<uint8_t> PackBits(const uint8_t* data, size_t size);

// A PSD or PSB document holding only its merged image.
struct PsdSpec {
    uint16_t version = 1;  // 2: PSB
    uint16_t mode = 3;     // 0 bitmap, 1 grey, 2 indexed, 3 RGB, 4 CMYK, 8 duotone
    uint16_t depth = 8;    // 1, 8 or 16
    uint32_t width = 1, height = 1;
    // One plane per channel, width * height samples each (bitmap: 0 or 1, 1 = black).
    std::vector<std::vector<uint16_t>> planes;
    std::vector<uint8_t> palette;  // indexed: 768 bytes, reds then greens then blues
    bool packbits = false;
    double dpi = 0;  // 0: no ResolutionInfo
    bool has_layer_section = false;
    int16_t layer_count = 0;     // negative: the first extra channel is the merged transparency
    bool count_in_lr16 = false;  // the count in an Lr16 tagged block, as 16-bit documents do
};
std::vector<uint8_t> WritePsd(const PsdSpec& shape);

// QOI from top-down RGBA (4 bytes a pixel; with 3 channels the alpha bytes must be 255).
std::vector<uint8_t> WriteQoi(uint32_t width, uint32_t height, int channels,
                              const std::vector<uint8_t>& rgba);

// A PBM, PGM, PPM (ASCII or binary) or PAM file.
struct PnmSpec {
    int kind = 6;  // 1..7 for P1..P7
    uint32_t width = 1, height = 1;
    uint32_t maxval = 255;  // PBM: ignored
    uint32_t depth = 3;     // samples a pixel; implied by the kind except for PAM
    std::string tuple_type;
    std::vector<uint16_t> samples;  // top-down, depth a pixel (PBM: 1 = black)
    bool comments = true;           // '#' lines in the header (not PAM)
};
std::vector<uint8_t> WritePnm(const PnmSpec& shape);

// A TGA file. The pixels are given top-down, left to right, in their stored byte form; the
// writer stores them in the order the descriptor's origin bits say and, for types 9 to 11,
// packs them into run-length packets that run on across rows.
struct TgaSpec {
    uint8_t image_type = 2;  // 1, 2, 3, 9, 10, 11
    uint8_t pixel_bits = 24;
    uint8_t descriptor = 0;  // alpha bits, 0x10 right to left, 0x20 top down
    uint16_t width = 1, height = 1;
    uint8_t map_entry_bits = 0;
    uint16_t map_first = 0;
    std::vector<uint8_t> map;     // stored entries
    std::vector<uint8_t> pixels;  // (pixel_bits + 7) / 8 bytes a pixel
    std::string id;
    bool footer = false;  // the 26-byte TGA 2.0 footer
};
std::vector<uint8_t> WriteTga(const TgaSpec& shape);

// One entry of an icon or cursor: a PNG stream, or a DIB of 1, 4, 8, 16, 24 or 32 bits with its
// AND mask.
struct IcoEntry {
    uint32_t width = 1, height = 1;
    uint16_t bits = 32;
    std::vector<uint8_t> palette;  // 4 bytes (B, G, R, 0) an entry
    std::vector<uint8_t> pixels;   // top-down: an index a byte, or B G R (A), or 16-bit LE
    std::vector<uint8_t> mask;     // top-down, a byte a pixel: 1 transparent; empty: no mask
    std::vector<uint8_t> png;      // when set, the entry is these bytes
};
std::vector<uint8_t> WriteIco(const std::vector<IcoEntry>& entries, bool cursor = false);

}  // namespace own_writers
