#include "Orientation.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Where the shown pixel (x, y) is stored, as a start and a step per x: the stored
// (x0 + x * dxx + y * dxy, y0 + x * dyx + y * dyy), for a stored picture of w x h.
struct Mapping {
    int64_t x0, y0, dxx, dxy, dyx, dyy;
};

Mapping MappingFor(uint8_t orientation, int64_t w, int64_t h) {
    switch (orientation) {
        case 2:
            return {w - 1, 0, -1, 0, 0, 1};  // mirrored
        case 3:
            return {w - 1, h - 1, -1, 0, 0, -1};  // half turn
        case 4:
            return {0, h - 1, 1, 0, 0, -1};  // flipped
        case 5:
            return {0, 0, 0, 1, 1, 0};  // transposed
        case 6:
            return {0, h - 1, 0, 1, -1, 0};  // quarter turn clockwise
        case 7:
            return {w - 1, h - 1, 0, -1, -1, 0};  // transversed
        case 8:
            return {w - 1, 0, 0, -1, 1, 0};  // quarter turn anticlockwise
        default:
            return {0, 0, 1, 0, 0, 1};
    }
}

uint32_t GetBits(const uint8_t* row, int64_t x, uint16_t bits) {
    const int64_t bit = x * bits;
    const int shift = 8 - bits - static_cast<int>(bit & 7);
    return (row[bit >> 3] >> shift) & ((1u << bits) - 1);
}

void SetBits(uint8_t* row, int64_t x, uint16_t bits, uint32_t value) {
    const int64_t bit = x * bits;
    const int shift = 8 - bits - static_cast<int>(bit & 7);
    const auto mask = static_cast<uint8_t>(((1u << bits) - 1) << shift);
    row[bit >> 3] = static_cast<uint8_t>((row[bit >> 3] & ~mask) | (value << shift));
}

// Mirroring and flipping keep the sides: done in place, with no second picture in memory.
void TurnInPlace(DibCanvas& canvas, uint8_t orientation) {
    const uint32_t w = canvas.Width(), h = canvas.Height();
    const size_t bpp = canvas.BitCount() / 8u;
    if (orientation == 3 || orientation == 4) {
        const size_t bytes = size_t{w} * bpp;
        uint8_t row[256];
        for (uint32_t y = 0; y < h / 2; ++y) {
            uint8_t* a = canvas.Row(y);
            uint8_t* b = canvas.Row(h - 1 - y);
            for (size_t at = 0; at < bytes; at += sizeof row) {
                const size_t n = std::min(sizeof row, bytes - at);
                std::memcpy(row, a + at, n);
                std::memcpy(a + at, b + at, n);
                std::memcpy(b + at, row, n);
            }
        }
    }
    if (orientation == 2 || orientation == 3) {
        uint8_t pixel[4];
        for (uint32_t y = 0; y < h; ++y) {
            uint8_t* r = canvas.Row(y);
            for (uint32_t x = 0; x < w / 2; ++x) {
                uint8_t* a = r + size_t{x} * bpp;
                uint8_t* b = r + size_t{w - 1 - x} * bpp;
                std::memcpy(pixel, a, bpp);
                std::memcpy(a, b, bpp);
                std::memcpy(b, pixel, bpp);
            }
        }
    }
}

// Where the stored pixel (x, y) is shown: (x0 + x * dxx + y * dxy, y0 + x * dyx + y * dyy),
// the inverse of MappingFor.
Mapping ShownAt(uint8_t orientation, int64_t w, int64_t h) {
    switch (orientation) {
        case 2:
            return {w - 1, 0, -1, 0, 0, 1};
        case 3:
            return {w - 1, h - 1, -1, 0, 0, -1};
        case 4:
            return {0, h - 1, 1, 0, 0, -1};
        case 5:
            return {0, 0, 0, 1, 1, 0};
        case 6:
            return {h - 1, 0, 0, -1, 1, 0};
        case 7:
            return {h - 1, w - 1, 0, -1, -1, 0};
        case 8:
            return {0, w - 1, 0, 1, -1, 0};
        default:
            return {0, 0, 1, 0, 0, 1};
    }
}

template <size_t kBpp>
inline void CopyPixel(uint8_t* dst, const uint8_t* src) {
    std::memcpy(dst, src, kBpp);
}

// Places `rows` band rows (stored rows first..) of `width` pixels: each stored row becomes a
// shown row (mirrored or not) or, for the quarter turns, a shown column. Quarter turns go by
// tiles of 64 stored columns, so that each shown row takes the band's pixels in one run while
// the tile's band lines stay in cache.
template <size_t kBpp>
void PlaceBand(const uint8_t* band, size_t band_stride, uint32_t first, uint32_t rows,
               uint32_t width, const Mapping& m, const DibCanvas& out) {
    const int64_t x0 = m.x0 + int64_t{first} * m.dxy, y0 = m.y0 + int64_t{first} * m.dyy;
    if (m.dyx == 0) {  // rows stay rows
        for (uint32_t i = 0; i < rows; ++i) {
            const uint8_t* src = band + i * band_stride;
            uint8_t* dst = out.Row(static_cast<uint32_t>(y0 + int64_t{i} * m.dyy)) + x0 * kBpp;
            const ptrdiff_t step = static_cast<ptrdiff_t>(m.dxx * static_cast<int64_t>(kBpp));
            for (uint32_t x = 0; x < width; ++x, src += kBpp, dst += step)
                CopyPixel<kBpp>(dst, src);
        }
        return;
    }
    // Shown (x0 + i * dxy, y0 + x * dyx): stored row i runs down shown column x0 + i * dxy.
    const ptrdiff_t across = static_cast<ptrdiff_t>(m.dxy * static_cast<int64_t>(kBpp));
    const ptrdiff_t down = out.TopDownPitch() * static_cast<ptrdiff_t>(m.dyx);
    constexpr uint32_t kTile = 64;
    for (uint32_t tx = 0; tx < width; tx += kTile) {
        const uint32_t n = std::min(width - tx, kTile);
        uint8_t* base = out.Row(static_cast<uint32_t>(y0 + int64_t{tx} * m.dyx)) + x0 * kBpp;
        for (uint32_t i = 0; i < rows; ++i) {
            const uint8_t* src = band + i * band_stride + size_t{tx} * kBpp;
            uint8_t* dst = base + static_cast<ptrdiff_t>(i) * across;
            for (uint32_t x = 0; x < n; ++x, src += kBpp, dst += down) CopyPixel<kBpp>(dst, src);
        }
    }
}

}  // namespace

BandWriter::BandWriter(DibCanvas& canvas, PictureOptions* options)
    : m_canvas(canvas),
      m_options(options),
      m_orientation(options && options->orientation >= 2 && options->orientation <= 8
                        ? options->orientation
                        : 1) {}

CodecStatus BandWriter::Create(uint32_t width, uint32_t height, uint16_t bits) {
    if (bits != 8 && bits != 24 && bits != 32) return CodecStatus::Unsupported;
    if (m_options && m_options->srgb) {
        m_options->converted = m_options->icc_size == 0
                                   ? CodecStatus::Ok
                                   : m_colours.Prepare(m_options->icc, m_options->icc_size, bits);
        if (m_options->converted == CodecStatus::NoMemory) return CodecStatus::NoMemory;
    }
    const bool swap = OrientationSwapsSides(m_orientation);
    const CodecStatus made = m_canvas.Create(swap ? height : width, swap ? width : height, bits);
    if (made != CodecStatus::Ok) return made;
    m_width = width, m_height = height, m_bpp = bits / 8u;
    // As stored or flipped, rows are decoded where they are shown; otherwise a band of rows
    // (some 32 x 18 KB for a 6000-pixel colour picture) is decoded, then placed.
    m_band.reset();
    if (m_orientation != 1 && m_orientation != 4) {
        m_bandRows = 32;
        m_bandStride = (size_t{width} * m_bpp + 63) & ~size_t{63};
        m_band.reset(new (std::nothrow) uint8_t[m_bandStride * m_bandRows]);
        if (!m_band) {
            m_canvas.Reset();
            return CodecStatus::NoMemory;
        }
    }
    return CodecStatus::Ok;
}

uint8_t* BandWriter::Row(uint32_t y) const {
    if (m_band) return m_band.get() + (y % m_bandRows) * m_bandStride;
    return m_canvas.Row(m_orientation == 4 ? m_height - 1 - y : y);
}

void BandWriter::Commit(uint32_t first, uint32_t count) {
    if (m_colours.Ready() && m_bpp > 1) {
        for (uint32_t i = 0; i < count; ++i) m_colours.ConvertPixels(Row(first + i), m_width);
    }
    if (!m_band) return;
    const Mapping m = ShownAt(m_orientation, m_width, m_height);
    const uint8_t* band = Row(first);
    if (m_bpp == 3) {
        PlaceBand<3>(band, m_bandStride, first, count, m_width, m, m_canvas);
    } else if (m_bpp == 4) {
        PlaceBand<4>(band, m_bandStride, first, count, m_width, m, m_canvas);
    } else {
        PlaceBand<1>(band, m_bandStride, first, count, m_width, m, m_canvas);
    }
}

void BandWriter::Finish() {
    if (m_colours.Ready() && m_bpp == 1) m_colours.ConvertPalette(m_canvas.Palette(), 256);
    if (m_options) m_options->applied = true;
}

CodecStatus ApplyOrientation(DibCanvas& canvas, uint8_t orientation) {
    if (orientation < 2 || orientation > 8 || !canvas.IsCreated()) return CodecStatus::Ok;
    const uint32_t w = canvas.Width(), h = canvas.Height();
    const uint16_t bits = canvas.BitCount();
    if (bits >= 8 && orientation <= 4) {
        TurnInPlace(canvas, orientation);
        return CodecStatus::Ok;
    }
    const bool swap = OrientationSwapsSides(orientation);
    DibCanvas out;
    const CodecStatus made = out.Create(swap ? h : w, swap ? w : h, bits, bits < 8);
    if (made != CodecStatus::Ok) return made;
    if (bits <= 8) out.SetPalette(canvas.Palette(), 1u << bits);
    const Mapping m = MappingFor(orientation, w, h);
    const uint32_t ow = out.Width(), oh = out.Height();
    if (bits >= 8) {
        const size_t bpp = bits / 8u;
        const ptrdiff_t down = canvas.TopDownPitch();
        const ptrdiff_t step =
            static_cast<ptrdiff_t>(m.dxx * static_cast<int64_t>(bpp) + m.dyx * down);
        // Blocks of 64 x 64, so that a quarter turn walks the stored rows in cache-sized pieces.
        constexpr uint32_t kBlock = 64;
        for (uint32_t by = 0; by < oh; by += kBlock) {
            const uint32_t ey = std::min(oh, by + kBlock);
            for (uint32_t bx = 0; bx < ow; bx += kBlock) {
                const uint32_t ex = std::min(ow, bx + kBlock);
                for (uint32_t y = by; y < ey; ++y) {
                    const int64_t sx = m.x0 + int64_t{bx} * m.dxx + int64_t{y} * m.dxy;
                    const int64_t sy = m.y0 + int64_t{bx} * m.dyx + int64_t{y} * m.dyy;
                    const uint8_t* src = canvas.Row(static_cast<uint32_t>(sy)) + sx * bpp;
                    uint8_t* dst = out.Row(y) + size_t{bx} * bpp;
                    if (bpp == 3) {
                        for (uint32_t x = bx; x < ex; ++x, src += step, dst += 3) {
                            dst[0] = src[0], dst[1] = src[1], dst[2] = src[2];
                        }
                    } else if (bpp == 4) {
                        for (uint32_t x = bx; x < ex; ++x, src += step, dst += 4) {
                            std::memcpy(dst, src, 4);
                        }
                    } else {
                        for (uint32_t x = bx; x < ex; ++x, src += step, dst += bpp) {
                            std::memcpy(dst, src, bpp);
                        }
                    }
                }
            }
        }
    } else {
        for (uint32_t y = 0; y < oh; ++y) {
            uint8_t* dst = out.Row(y);
            for (uint32_t x = 0; x < ow; ++x) {
                const int64_t sx = m.x0 + int64_t{x} * m.dxx + int64_t{y} * m.dxy;
                const int64_t sy = m.y0 + int64_t{x} * m.dyx + int64_t{y} * m.dyy;
                SetBits(dst, x, bits, GetBits(canvas.Row(static_cast<uint32_t>(sy)), sx, bits));
            }
        }
    }
    canvas.Swap(out);
    return CodecStatus::Ok;
}
