// A read-only view of an uncompressed packed DIB (1, 4, 8, 24 or 32 bits, BI_RGB), for the
// encoders: the picture that CreateFromHANDLE takes in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "DibCanvas.h"

struct DibView {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bit_count = 0;     // 1, 4, 8, 24 or 32
    const RgbQuad* palette = nullptr;  // for 1, 4 and 8 bits
    uint32_t palette_size = 0;
    double x_dpi = 96, y_dpi = 96;
    // 32-bit pictures: whether the fourth byte carries alpha (any byte other than 0 in it).
    bool has_alpha = false;

    // Row y counted from the top.
    const uint8_t* Row(uint32_t y) const { return top_row + static_cast<ptrdiff_t>(y) * pitch; }
    const uint8_t* top_row = nullptr;
    ptrdiff_t pitch = 0;

    // True when every palette entry is grey (r = g = b) and the entries form the ramp i*255/(n-1).
    bool IsGreyRamp() const;
};
