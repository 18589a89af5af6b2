// Measures of a packed DIB: header, colour table (or bit masks), then pixel rows padded to
// 4 bytes. All measures are computed in 64 bits and checked.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    BI_RGB = 0,
    BI_RLE8 = 1,
    BI_RLE4 = 2,
    BI_BITFIELDS = 3,
    BI_JPEG = 4,
    BI_PNG = 5,
};

constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kFileHeaderSize = 14;

struct DibMeasures {
    uint32_t header_size = 0;
    int32_t kind = 0;  // 2 core, 3 info, 4 version 4, 5 version 5, 0 any other length
    int32_t width = 0;
    int32_t height = 0;  // as stored: negative for top-down rows
    uint32_t bit_count = 0;
    uint32_t compression = BI_RGB;
    uint32_t size_image = 0;
    uint64_t abs_height = 0;
    uint64_t stride = 0;
    uint64_t image_size = 0;  // for RLE, JPEG and PNG the stored biSizeImage
    uint64_t color_count = 0;
    uint64_t color_table_size = 0;  // bytes from the end of the header to the first row
    uint64_t total_size = 0;
    uint64_t uncompressed_image_size = 0;  // stride * |height|, whatever the compression

    bool IsInfoType() const { return kind >= 3; }
    bool IsTopDown() const { return height < 0; }
    uint64_t HeaderPartSize() const { return header_size + color_table_size; }
};

// Reads the header at `header`, of which `available` bytes may be read, and measures it. False
// when the header fields do not fit in `available`, the header length is below 12, the width is
// negative (or 0, unless `allow_empty`: a DIB this process built for an empty picture), or a
// measure overflows 64 bits. Whether the data holds total_size bytes is the caller's check.
[[nodiscard]] bool MeasureDib(const uint8_t* header, size_t available, DibMeasures& out,
                              bool allow_empty = false);

// Bytes per row for a bit count and width, rounded up to a multiple of 4; false on overflow.
[[nodiscard]] bool DibStrideFor(uint64_t bit_count, uint64_t width, uint64_t& stride);

// The fields of a BITMAPINFOHEADER that a writer sets; the rest (planes 1, reserved) are fixed.
struct InfoHeaderFields {
    int32_t width = 0;
    int32_t height = 0;  // negative for top-down rows
    uint16_t bit_count = 0;
    uint32_t compression = BI_RGB;
    uint32_t size_image = 0;
    int32_t x_pels_per_meter = 0;
    int32_t y_pels_per_meter = 0;
    uint32_t colors_used = 0;
    uint32_t colors_important = 0;
};

// Writes a 40-byte BITMAPINFOHEADER, little-endian, at `out`. The one writer every plug-in and
// stand-in uses, so that all of them fill the same fields the same way.
void WriteInfoHeader(uint8_t* out, const InfoHeaderFields& fields);

// The measures of a DIB that this process is about to build: a 40-byte header, `colors` table
// entries, then rows of `bit_count` bits for `width` by `height` pixels. False when a measure
// overflows 64 bits, the size does not fit a size_t, or the image passes 4 GiB (biSizeImage).
struct NewDibLayout {
    uint64_t stride = 0;
    uint64_t image_size = 0;
    uint64_t header_part = 0;  // header plus colour table
    uint64_t total_size = 0;
};
[[nodiscard]] bool PlanNewDib(uint64_t width, uint64_t height, uint32_t bit_count,
                              uint64_t colors, NewDibLayout& out);

// The design's single-value helpers over a header known to be readable (a block this process
// made or has measured). Each returns -1 when the header cannot be measured.
int64_t DibHeaderSize(const void* header);
int32_t DibHeaderKind(const void* header);
int64_t DibWidth(const void* header);
int64_t DibHeight(const void* header);
int64_t DibBitCount(const void* header);
int64_t DibRowStride(const void* header);
int64_t DibImageSize(const void* header);
int64_t DibColorCount(const void* header);
int64_t DibColorTableSize(const void* header);
int64_t DibTotalSize(const void* header);
