// A packed DIB as returned by a plug-in, read as rows of RGB or RGBA pixels from the top of the
// picture down. Every measure is checked against the block before a pixel byte is read. RLE4 and
// RLE8 pictures are drawn out first, as Windows draws them (below).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BitFieldChannel.h"
#include "DibHelpers.h"

class DibImage {
public:
    // Checks the packed DIB in [data, data + size) and prepares the conversion. The bytes must
    // outlive the object. False, with a message saying why, when the DIB cannot be converted.
    [[nodiscard]] bool Load(const uint8_t* data, size_t size, std::string& error);

    uint32_t Width() const { return m_width; }
    uint32_t Height() const { return m_height; }
    // 4 when the DIB carries alpha (bit fields in a version 4 or 5 header with an alpha mask, or
    // 32-bit BI_RGB whose fourth bytes are not all 0), else 3.
    size_t Channels() const { return m_has_alpha ? 4 : 3; }
    bool HasAlpha() const { return m_has_alpha; }
    size_t RowBytes() const { return static_cast<size_t>(m_width) * Channels(); }
    const DibMeasures& Measures() const { return m_measures; }

    // Writes row `y` (0 is the top row of the picture) as RowBytes() bytes at `out`.
    void ConvertRow(uint32_t y, uint8_t* out) const;
    // Every row, top to bottom.
    std::vector<uint8_t> ConvertAll() const;

private:
    struct Rgb {
        uint8_t r = 0, g = 0, b = 0;
    };

    [[nodiscard]] bool LoadPalette(const uint8_t* data, std::string& error);
    [[nodiscard]] bool LoadMasks(const uint8_t* data, std::string& error);
    [[nodiscard]] bool ExpandRunLengths(const uint8_t* stream, size_t size, std::string& error);
    const uint8_t* RowData(uint32_t y) const;
    bool AnyFourthByte() const;

    DibMeasures m_measures;
    const uint8_t* m_pixels = nullptr;
    uint64_t m_stride = 0;
    bool m_top_down = false;
    // An RLE4 or RLE8 picture drawn out as uncompressed rows of its bit count, bottom-up.
    std::vector<uint8_t> m_expanded;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint32_t m_bit_count = 0;
    bool m_has_alpha = false;
    // Indices beyond the colour table show black.
    std::array<Rgb, 256> m_palette{};
    BitFieldChannel m_red, m_green, m_blue, m_alpha;
};
