// A slow, literal GIF reader used as an oracle: one value at a time through a prefix/suffix table
// and an output stack, PutPixel with the interlace pass table, and a DIB built row by row. It
// shares no code with gifsrc, so that the fast decoder can be checked against it on any input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace giftest {

// Decodes image data at data[pos] (the LZW minimum code size byte) into `indices`, which holds
// width * height zeros on entry, rows top-down. Returns 0 (end code), 1 (minimum code size 12
// or more) or 2 (the data ended first). It reads to the end code or the end of the data, or, with
// `stop_when_complete`, until every row has been written (then returning 0).
int ReferenceDecodeImageData(const uint8_t* data, size_t size, size_t pos, int width, int height,
                             bool interlaced, std::vector<uint8_t>& indices,
                             bool stop_when_complete = false);

struct ReferencePicture {
    int32_t result = 0;
    int32_t width = 0;  // of the selected image
    int32_t height = 0;
    int32_t colour_bits = 0;
    std::vector<uint8_t> dib;  // the packed DIB when result is 0
};

// The whole picture read: stream walk, image selection, decoding and the DIB.
ReferencePicture ReferenceDecodePicture(const uint8_t* data, size_t size, int32_t image_index,
                                        uint64_t max_pixels = uint64_t{1} << 30,
                                        bool stop_when_complete = false);

}  // namespace giftest
