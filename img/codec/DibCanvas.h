// The packed DIB that a back end decodes into: one movable block holding a BITMAPINFOHEADER,
// the colour table and bottom-up rows, so rows are decoded straight into the memory that the
// host receives. Sizes are computed in 64 bits and checked before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "CodecTypes.h"
#include "GlobalBlock.h"

struct RgbQuad {
    uint8_t blue, green, red, reserved;
};

class DibCanvas {
public:
    // Largest picture, in pixels, that the codec layer builds. Fuzz builds lower it, so that
    // the search does not spend its memory on huge pictures.
#ifdef ZEM_CODEC_MAX_PIXELS
    static constexpr uint64_t kMaxPixels = ZEM_CODEC_MAX_PIXELS;
#else
    static constexpr uint64_t kMaxPixels = uint64_t{1} << 30;
#endif

    DibCanvas() = default;
    ~DibCanvas();
    DibCanvas(const DibCanvas&) = delete;
    DibCanvas& operator=(const DibCanvas&) = delete;

    // Allocates the DIB (header written, colour table zeroed, rows not cleared unless
    // `zero_rows`) and keeps it locked. `bit_count` is 1, 4, 8, 24 or 32; indexed pictures
    // get 2^bit_count colour-table entries. NoMemory for empty or over-large pictures too
    // (width or height 0 gives Broken).
    [[nodiscard]] CodecStatus Create(uint32_t width, uint32_t height, uint16_t bit_count,
                                     bool zero_rows = false);
    // The canvas of a picture of grey or colour samples, with alpha or without: 32-bit BGRA
    // when there is alpha, else an 8-bit grey ramp or 24-bit BGR.
    static uint16_t SampleBits(bool grey, bool alpha) { return alpha ? 32 : (grey ? 8 : 24); }
    [[nodiscard]] CodecStatus CreateForSamples(uint32_t width, uint32_t height, bool grey,
                                               bool alpha);
    // What Create would say of these measures before allocating; `total` the DIB's size.
    [[nodiscard]] static CodecStatus Measure(uint32_t width, uint32_t height, uint16_t bit_count,
                                             uint64_t& total);
    // Takes over a packed DIB that is already in the canvas's form (40-byte header, BI_RGB,
    // bottom-up, 1, 4, 8, 24 or 32 bits), as our own BMP and GIF readers build them. On failure
    // the DIB is freed and the canvas stays empty.
    [[nodiscard]] CodecStatus Adopt(SpiHandle dib);
    // Convenience for the common table kinds.
    void SetPalette(const RgbQuad* colours, uint32_t count);
    void SetGreyPalette();  // a ramp over all 2^bit_count entries
    // Zeroes the bits after each row's last pixel up to the stride, for decoders that fill rows
    // pixel by pixel or copy a file's rows (so no stale memory or stray file bits reach the host).
    void ClearRowPadding();

    // Row y counted from the top of the picture.
    uint8_t* Row(uint32_t y) const { return m_bottomRow - static_cast<ptrdiff_t>(y) * m_stride; }
    ptrdiff_t Stride() const { return m_stride; }
    // Distance from one row to the next lower one in memory (negative: rows are bottom-up).
    // With Row(0) and this, a library that writes top-down rows at a pitch can fill the DIB.
    ptrdiff_t TopDownPitch() const { return -m_stride; }
    RgbQuad* Palette() const { return m_palette; }

    uint32_t Width() const { return m_width; }
    uint32_t Height() const { return m_height; }
    uint16_t BitCount() const { return m_bitCount; }
    bool IsCreated() const { return m_block.Get() != nullptr; }

    // Dots per inch into biXPelsPerMeter / biYPelsPerMeter.
    void SetResolution(double x_dpi, double y_dpi);
    // Hands the DIB on, unlocked; the canvas is empty afterwards.
    SpiHandle Release();
    void Reset();
    // Exchanges the pictures of two canvases (a transform builds its result in a second one).
    void Swap(DibCanvas& other) noexcept;

private:
    OwnedHandle m_block;
    uint8_t* m_base = nullptr;  // locked header
    uint8_t* m_bottomRow = nullptr;  // first row in memory = last row of the picture
    RgbQuad* m_palette = nullptr;
    ptrdiff_t m_stride = 0;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint16_t m_bitCount = 0;
};

// A picture's declared measures against the canvas's limits, before anything is allocated or a
// library is asked to decode it: Broken when a side is 0, NoMemory past kMaxPixels (or a side
// beyond a header's signed 32 bits), as Create would answer.
[[nodiscard]] CodecStatus CheckDeclaredSize(uint64_t width, uint64_t height);
