// Decoded frames as Windows DIB rows: a packed DIB (BITMAPINFOHEADER, colour table, rows padded
// to 4 bytes, bottom-up) or bare 24-bit bottom-up BGR rows. Sizes are checked before allocating;
// measures and header come from the framework's DIB helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "FfmpegPtr.h"
#include "Status.h"

namespace video {

// The pixel layout of a DIB made from a frame.
enum class DibLayout {
    Bgr24,   // 24-bit BGR, BI_RGB
    Rgb555,  // 16-bit, 5 bits each, BI_RGB
    Pal8,    // 8-bit indices and the frame's palette (PAL8 frames only)
};

// Scales and converts frames with swscale; keeps its context between calls of the same shape.
class FrameConverter {
public:
    // Writes `height` rows of `width` 24-bit BGR pixels, bottom-up and padded to 4 bytes, to
    // `rows` (DibStrideFor(24, width) * height bytes). The frame is scaled to that size when its
    // own differs. Unsupported when swscale takes no frames of that pixel format, NoMemory when
    // it cannot set up, Broken for a frame without pixels.
    [[nodiscard]] Status ToBgr24Rows(const AVFrame* frame, int width, int height, uint8_t* rows);

    // A whole packed DIB of the frame at its own size in `layout` (the colour table for Pal8:
    // `palette_entries` entries of the frame's palette, 1..256). Unsupported when the frame
    // cannot be given in that layout; NoMemory when memory is short or the DIB would pass 31
    // bits.
    [[nodiscard]] Status ToPackedDib(const AVFrame* frame, DibLayout layout, int palette_entries,
                                     std::vector<uint8_t>& dib);

private:
    Status Convert(const AVFrame* frame, int width, int height, AVPixelFormat format, uint8_t* rows,
                   uint32_t stride);

    SwsPtr m_sws;
};

}  // namespace video
