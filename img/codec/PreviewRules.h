// What a preview is: a picture for a thumbnail of up to 256 pixels. A thumbnail that a file
// holds qualifies when its long side is at least 160 pixels (the smallest that qualifies is
// taken); a reduced decode aims at a long side of at least 256 pixels; a picture smaller than
// that is its own preview.
#pragma once

#include <cstdint>

constexpr uint32_t kPreviewMinEmbedded = 160;  // long side of the smallest embedded thumbnail
constexpr uint32_t kPreviewTarget = 256;       // long side that a reduced decode aims at

// Whether an embedded thumbnail of this size is large enough to stand for the picture.
inline bool QualifiesAsPreview(uint32_t width, uint32_t height) {
    return (width > height ? width : height) >= kPreviewMinEmbedded;
}

// The smallest scale N/8 (N = 1..8) at which a picture of this size, its sides rounded up as
// DCT scaling rounds them, keeps a long side of at least kPreviewTarget; 8 for a picture whose
// long side is already smaller.
inline uint32_t PreviewScaleEighths(uint32_t width, uint32_t height) {
    const uint64_t long_side = width > height ? width : height;
    for (uint32_t n = 1; n < 8; ++n) {
        if ((long_side * n + 7) / 8 >= kPreviewTarget) return n;
    }
    return 8;
}
