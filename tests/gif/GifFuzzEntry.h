// The bodies of the GIF fuzz targets, shared with the test that replays their findings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "GifLzw.h"

namespace giftest {

// The picture read (image index from the last byte) and the information read of one input,
// checked against the literal reader where the image is small. Returns what went wrong, or an
// empty string.
std::string FuzzGif(const uint8_t* data, size_t size);

// The LZW decoder alone, against the literal decoder: byte 0 is the minimum code size, the last
// three bytes give width (and table walks only), height and options (interlace, row layout,
// sub-block wrapping).
std::string FuzzGifLzw(const uint8_t* data, size_t size);

// How decoded rows lie in memory: packed top-down (an index buffer), top-down with padding, or
// bottom-up with padding (the rows of a DIB).
enum class Rows { Packed, Padded, BottomUp };

struct DecodedRows {
    GifLzwResult result = GifLzwResult::EndCode;
    std::vector<uint8_t> indices;   // image order, packed
    bool padding_untouched = true;  // no byte outside the rows was written
};

// Runs the LZW decoder over `data` (minimum code size byte first, 0 to 11) into rows laid out
// as `rows` says, and collects them. With `walk_only` no string is copied from the rows.
DecodedRows DecodeLzwIntoRows(const std::vector<uint8_t>& data, int width, int height,
                              bool interlaced, Rows rows, bool walk_only = false);

}  // namespace giftest
