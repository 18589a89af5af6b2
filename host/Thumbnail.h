// Thumbnails: a picture reduced in the host so that its long side fits a thumbnail pane, each
// output pixel the mean of the box of source pixels it covers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DibImage.h"

// The long side of the thumbnails that `zemhost thumbs` writes.
constexpr uint32_t kThumbnailSide = 256;

struct ThumbnailSize {
    uint32_t width = 0;
    uint32_t height = 0;
};

// The size of a width x height picture reduced so that its long side is `side`, the short one
// rounded and at least 1; the picture's own size when it fits already.
ThumbnailSize FitWithin(uint32_t width, uint32_t height, uint32_t side);

// Reduces `image` to `size` (no larger than the image) by a box filter and returns it as a
// bottom-up packed DIB with a 40-byte header: 24-bit BI_RGB, or, when the image has alpha,
// 32-bit BI_RGB with straight alpha in the fourth bytes, as imgsrc gives (colours weighted by
// their alpha). False, with a message, when the size is out of range.
[[nodiscard]] bool ShrinkToDib(const DibImage& image, ThumbnailSize size, std::vector<uint8_t>& dib,
                               std::string& error);
