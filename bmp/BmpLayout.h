// Where the parts of a BMP file or bare packed DIB lie, by two rules:
// - the packed-DIB rule that BmpFile follows: the DIB starts after the file header (when the
//   data starts "BM"), and the rows follow the colour table and masks as the DIB helpers
//   measure them, whatever bfOffBits says;
// - the file's own layout, as BMP writers lay it out: masks inside headers of 52 bytes and more,
//   16 bytes of masks after a 40-byte header for BI_ALPHABITFIELDS, 4-byte colour entries after
//   OS/2 version 2 headers (16 to 64 bytes), and the rows at bfOffBits, which may leave a gap.
// Nothing here reads a pixel; readers take the parts from here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "DibHelpers.h"

constexpr uint32_t kAlphaBitFields = 6;  // BI_ALPHABITFIELDS: four masks after a 40-byte header

// Which family a DIB header belongs to, by its length.
enum class BmpHeaderFamily {
    Core,     // 12 bytes, 16-bit sides, 3-byte colour entries
    Os2V2,    // 16 to 64 bytes but 40, 52 and 56; compression 3 is Huffman 1D and 4 RLE24
    Info,     // 40 bytes and the longer Windows headers (52, 56, 108, 124, ...)
};

struct BmpLayout {
    // Both rules.
    const uint8_t* header = nullptr;  // the DIB header, just after the file header if any
    size_t available = 0;             // bytes from `header` to the end of the data
    bool has_file_header = false;

    // The packed-DIB rule: valid when `packed_ok`.
    bool packed_ok = false;
    DibMeasures packed;

    // The file's own layout: valid when `own_ok` (a header whose fields lie in the data, sides
    // that can be measured). Offsets count from `header`.
    bool own_ok = false;
    BmpHeaderFamily family = BmpHeaderFamily::Info;
    DibMeasures own;  // width, height, bit count, compression, stride, colours
    uint32_t entry_size = 4;    // bytes of a colour entry
    uint64_t table_start = 0;   // the colour table, after the masks that follow a header
    uint64_t rows = 0;          // the pixel rows, or the compressed stream
    uint64_t rows_size = 0;     // bytes there: stride * rows, or the stream's length
    bool has_alpha_mask = false;

    // Whether the rows lie where the packed-DIB rule puts them and the header reads the same by
    // both rules, so that the packed-DIB reading gives the file's picture.
    bool RulesAgree() const;
    // Whether the file's rows (or stream) lie within the data.
    bool RowsFit() const { return rows <= available && rows_size <= available - rows; }
    bool IsRle() const;
    const uint8_t* Masks() const { return header + kInfoHeaderSize; }  // red, green, blue, alpha
};

// Plans both layouts of the data. False only when there is no header to plan from: no data, or
// data that starts "BM" and ends inside the file header.
bool PlanBmpLayout(const uint8_t* data, size_t size, BmpLayout& out);
