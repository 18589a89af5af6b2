// Run-length encoded bitmaps (BI_RLE8, BI_RLE4) expanded into plain rows. Nothing here knows
// about plug-ins or DIB headers: the caller says where the rows live and how a run that passes
// the end of its row is treated.
#pragma once

#include <cstddef>
#include <cstdint>

// What happens to a run or an absolute stretch that passes the end of its row, or to pixels
// placed beyond the last row.
enum class RleOverflow {
    // The decode fails. The packed-DIB reader then returns the bitmap still compressed; the
    // limit of a row is its stride (the padding bytes may be written).
    Fail,
    // The pixels past the row's width, and rows past the last, are dropped, not wrapped onto
    // the next row: what Windows draws for such a bitmap.
    Clip,
};

// The rows an RLE stream is expanded into: row r (counted from the first row of the pixel
// array, the bottom row of a bottom-up bitmap) starts at first_row + r * pitch and holds
// `stride` bytes of 8-bit indices (RLE8) or of 4-bit ones, high nibble first (RLE4). The rows
// must be zeroed by the caller: pixels that the stream skips keep index 0.
struct RleRows {
    uint8_t* first_row = nullptr;
    ptrdiff_t pitch = 0;
    uint64_t stride = 0;
    uint64_t width = 0;  // pixels of a row
    uint64_t count = 0;  // rows
};

// Expands a BI_RLE8 (`bit_count` 8) or BI_RLE4 (4) stream of `size` bytes. Cursor moves (end of
// line, delta) never fail; a stream that ends without an end-of-bitmap code ends the expansion
// with what it drew. With RleOverflow::Fail, false when a write would leave the rows.
bool ExpandRle(uint32_t bit_count, const uint8_t* src, size_t size, const RleRows& rows,
               RleOverflow overflow);

// The packed-DIB reader's decoders: rows of `stride` bytes, `rows` of them, at `dest`, with
// RleOverflow::Fail.
bool DecodeRle8(uint8_t* dest, uint64_t stride, uint64_t rows, const uint8_t* src, size_t size);
bool DecodeRle4(uint8_t* dest, uint64_t stride, uint64_t rows, const uint8_t* src, size_t size);
