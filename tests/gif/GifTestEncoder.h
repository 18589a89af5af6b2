// A small GIF writer for tests, fuzz seeds and benchmarks: an LZW encoder with switches for the
// odd streams that readers meet, and a block builder for whole files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace giftest {

struct LzwOptions {
    int min_code_size = 8;      // 2 to 11; every index must be below 2^min_code_size
    bool leading_clear = true;  // start with a clear code
    bool end_code = true;       // finish with the end code
    // A full table: emit a clear code (false), or keep coding with the table as it stands
    // ("deferred clear"), sending a clear code only `clear_after_full` codes later (0: never).
    bool deferred_clear = false;
    int clear_after_full = 0;
};

// The LZW code stream for `indices` (least significant bit first), without sub-blocks.
std::vector<uint8_t> LzwEncode(const std::vector<uint16_t>& indices, const LzwOptions& options);

// `data` cut into sub-blocks of at most `block_size` bytes, with a terminator when asked.
std::vector<uint8_t> SubBlocks(const std::vector<uint8_t>& data, size_t block_size = 255,
                               bool terminator = true);

// The image rows in the order an encoder sends them (interlace passes, or top to bottom).
std::vector<int> StreamRowOrder(int height, bool interlaced);
// Image-order indices (rows top-down) rearranged into stream order.
std::vector<uint16_t> ToStreamOrder(const std::vector<uint16_t>& image, int width, int height,
                                    bool interlaced);

struct GifImage {
    uint16_t left = 0;
    uint16_t top = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    std::vector<uint16_t> indices;  // image order, width * height
    bool interlaced = false;
    std::vector<uint8_t> local_table;  // RGB triples, 2 to 256 entries (a power of 2); or none
    LzwOptions lzw;
    size_t block_size = 255;
    // When set, the image data is these bytes (minimum code size byte and sub-blocks
    // included) instead of the encoded indices.
    bool raw_data = false;
    std::vector<uint8_t> data;
};

class GifBuilder {
public:
    GifBuilder& Header(const char* signature = "GIF89a");
    // Logical Screen Descriptor and Global Color Table (RGB triples; empty: none, with the
    // size field still set to `size_bits` - 1).
    GifBuilder& Screen(uint16_t width, uint16_t height, const std::vector<uint8_t>& global_table,
                       int size_bits = 1);
    GifBuilder& Comment(const std::string& text, size_t block_size = 255);
    GifBuilder& Extension(uint8_t label, const std::vector<uint8_t>& body, size_t block_size = 255);
    // Graphic Control Extension; `disposal` 0 to 7 (2 background, 3 previous).
    GifBuilder& GraphicControl(uint16_t delay, int transparent_index = -1, int disposal = 0);
    GifBuilder& Image(const GifImage& image);
    GifBuilder& Trailer();
    GifBuilder& Raw(const std::vector<uint8_t>& bytes);
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};

// A colour table of 2^bits entries with colours from `seed`.
std::vector<uint8_t> Palette(int bits, uint32_t seed);
// A colour table of 2^bits entries running smoothly through a few colours chosen by `seed`.
std::vector<uint8_t> RampPalette(int bits, uint32_t seed);
// Photo-like content: smooth gradients plus noise, indices below `colours`.
std::vector<uint16_t> PhotoLike(int width, int height, int colours, uint32_t seed, int noise = 6);
// Uniformly random indices below `colours`.
std::vector<uint16_t> RandomIndices(size_t count, int colours, uint32_t seed);
// A one-image GIF of the given indices (image order) with a global table of 2^bits colours.
std::vector<uint8_t> SimpleGif(int width, int height, const std::vector<uint16_t>& indices,
                               int bits, bool interlaced = false, uint32_t seed = 1);

}  // namespace giftest
