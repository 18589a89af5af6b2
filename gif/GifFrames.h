// The blocks of a GIF stream as an animation viewer needs them: the Logical Screen, the colour
// tables and, for each image, its Image Descriptor, the Graphic Control Extension before it and
// where its data lies. The block walk decodes no pixels; one image's indices are decoded on
// request with the plug-in's own LZW decoder. gifsrc does not use this: it keeps raw images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "GifFile.h"

struct GifFrameBlock {
    uint16_t left = 0;
    uint16_t top = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    bool interlaced = false;
    int32_t local_bits = 0;  // entries 2^local_bits; 0: no Local Color Table
    size_t local_table = 0;  // offset of the Local Color Table
    size_t data = 0;         // offset of the LZW minimum code size byte
    bool complete = false;   // the data sub-blocks run to their terminator
    uint8_t disposal = 0;    // disposal method of the Graphic Control Extension (0: none)
    bool has_transparency = false;
    uint8_t transparent_index = 0;
};

struct GifStreamBlocks {
    // The Logical Screen; an empty one (width or height 0, as some writers leave it) takes the
    // first image's extents. Images are clipped to it otherwise: a damaged descriptor that
    // announces a huge image cannot make a huge screen of a small one.
    uint32_t screen_width = 0;
    uint32_t screen_height = 0;
    int32_t colour_bits = 0;  // of the Logical Screen Descriptor (the grey ramp without a table)
    int32_t global_bits = 0;  // entries 2^global_bits; 0: no Global Color Table
    size_t global_table = 0;
    std::vector<GifFrameBlock> frames;  // the last one may be incomplete
};

// Walks the blocks of the stream up to image `last_frame` (negative: to the end), without
// decoding image data: the one count of a stream's images. Ok when the header and screen were
// read, whatever followed; the walk stops at the first image whose data does not run to its
// terminator, at the trailer or at any byte that begins no block. An image counts once its
// descriptor and colour table are whole, as gifsrc shows it: an image whose data was cut shows
// what arrived (kept, as incomplete), and one cut inside its descriptor or colour table shows
// nothing and is not counted. May throw std::bad_alloc.
[[nodiscard]] GifResult WalkGifBlocks(const uint8_t* data, size_t size, int32_t last_frame,
                                      GifStreamBlocks& out);

// The bit count of frame `frame` (0 when there is no such image) as the codec layer composes
// it, from the blocks alone:
// - 32 (BGRA) when any image 0..frame has a transparent index, or when the screen may hold
//   uncovered (transparent) pixels after the frame. Coverage is tracked simply: the screen is
//   covered once an image spans all of it, and stops being so when an image's disposal clears
//   its rectangle to the background (browsers clear to transparent) or restores the screen as it
//   was before that image. Partial images that together cover the screen still count as
//   uncovered, which costs an opaque alpha channel and nothing else.
// - 24 (BGR) otherwise when images 0..frame do not all use the Global Color Table.
// - otherwise 1, 4 or 8 with the global table (or the grey ramp gifsrc uses without one).
int32_t GifComposedBitCount(const GifStreamBlocks& blocks, int32_t frame);

// The rectangle of `frame` that lies on the screen; empty (width 0) when none does.
struct GifScreenRect {
    uint32_t left = 0, top = 0, width = 0, height = 0;
};
GifScreenRect GifVisibleRect(const GifStreamBlocks& blocks, const GifFrameBlock& frame);

// How far the indices of an image reached: every row of the interlace passes before `pass`, the
// rows of `pass` above `row`, and `column` pixels of that row. A finished image reached all.
struct GifReach {
    int32_t pass = kGifFinishedPass;
    int32_t row = 0;
    uint32_t column = 0;
    bool interlaced = false;

    bool Finished() const { return pass == kGifFinishedPass; }
    // The number of leading pixels of row y that hold decoded indices (0 or width but for one row).
    uint32_t PixelsIn(uint32_t y, uint32_t width) const;
};

// Decodes the indices of `frame` into `indices`: frame.width * frame.height zero bytes, rows
// top-down. Ok also when the data ends before its end code (the rest keeps 0; `reach`, when
// given, tells which pixels hold data); BadSignature for a minimum code size above 11, NoMemory
// when the decoder's tables cannot be had.
[[nodiscard]] GifResult DecodeGifFrameIndices(const uint8_t* data, size_t size,
                                              const GifFrameBlock& frame, uint8_t* indices,
                                              GifReach* reach = nullptr);

// Decodes the indices of `frame` a row at a time, with one row of memory: `row` is called with
// each image row as it completes (in interlace order) and its `reached` leading pixels that hold
// data (the width, but for the row the data ended in). Results as DecodeGifFrameIndices.
using GifRowFn = void (*)(void* context, int32_t row, const uint8_t* indices, uint32_t reached);
[[nodiscard]] GifResult DecodeGifFrameRows(const uint8_t* data, size_t size,
                                           const GifFrameBlock& frame, GifRowFn row,
                                           void* context, GifReach* reach);

// The last image at or before `frame` (and at or before `limit`) from which composing can start
// with an empty screen: image 0, an opaque image that covers the screen (and, unless it is the
// frame itself, does not restore what was before it), or the image after one that covers the
// screen and is disposed of to the background.
int32_t GifKeyFrame(const GifStreamBlocks& blocks, int32_t frame, int32_t limit);
