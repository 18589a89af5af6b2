#include "Orientation.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "CpuFeatures.h"

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

// Places `rows` band rows (stored rows first..) of `width` pixels that stay rows, mirrored or
// not.
template <size_t kBpp>
void PlaceBandRows(const uint8_t* band, size_t band_stride, uint32_t first, uint32_t rows,
                   uint32_t width, const Mapping& m, const DibCanvas& out) {
    const int64_t x0 = m.x0 + int64_t{first} * m.dxy, y0 = m.y0 + int64_t{first} * m.dyy;
    for (uint32_t i = 0; i < rows; ++i) {
        const uint8_t* src = band + i * band_stride;
        uint8_t* dst = out.Row(static_cast<uint32_t>(y0 + int64_t{i} * m.dyy)) + x0 * kBpp;
        const ptrdiff_t step = static_cast<ptrdiff_t>(m.dxx * static_cast<int64_t>(kBpp));
        for (uint32_t x = 0; x < width; ++x, src += kBpp, dst += step) CopyPixel<kBpp>(dst, src);
    }
}

// A quarter turn of one band: stored column x of the band becomes the run of shown row
// `first + x * down`, whose pixel j comes from band row runs[j].
struct TurnJob {
    const uint8_t* const* runs;
    uint32_t count;  // band rows, at most BandWriter::kMaxBandRows
    uint32_t width;  // stored columns
    uint8_t* first;
    ptrdiff_t down;
};

// From stored column `from` on, a pixel at a time, in tiles of 64 columns so that each shown
// row takes its run while the tile's band lines stay in cache.
template <size_t kBpp>
void TurnPortable(const TurnJob& job, uint32_t from) {
    constexpr uint32_t kTile = 64;
    for (uint32_t tx = from; tx < job.width; tx += kTile) {
        const uint32_t n = std::min(job.width - tx, kTile);
        for (uint32_t j = 0; j < job.count; ++j) {
            const uint8_t* src = job.runs[j] + size_t{tx} * kBpp;
            uint8_t* dst = job.first + static_cast<ptrdiff_t>(tx) * job.down + j * kBpp;
            for (uint32_t x = 0; x < n; ++x, src += kBpp, dst += job.down) {
                CopyPixel<kBpp>(dst, src);
            }
        }
    }
}

#ifdef PLUGIN_X86_KERNELS
// Copies a run of `size` bytes to a shown row: the whole 64-byte lines inside it with
// streaming stores, which do not first read into cache the lines that they overwrite (the
// picture is far larger than the cache, and its lines were pushed out as soon as the first
// band touched every page), the partial lines at its ends with ordinary stores.
PLUGIN_TARGET("ssse3")
inline void StreamRun(uint8_t* dst, const uint8_t* src, size_t size) {
    size_t head = static_cast<size_t>(-reinterpret_cast<uintptr_t>(dst)) & 63;
    if (head >= size) {
        std::memcpy(dst, src, size);
        return;
    }
    std::memcpy(dst, src, head);
    size_t at = head;
    for (; at + 64 <= size; at += 64) {
        for (size_t q = 0; q < 64; q += 16) {
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + at + q),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at + q)));
        }
    }
    std::memcpy(dst + at, src + at, size - at);
}

// Blocks of 4 band rows x 4 stored columns through registers: each row's four pixels are
// widened to four 32-bit lanes, the 4 x 4 block of lanes is transposed, narrowed back, and
// stored into four staged shown-row runs, which then go out to the picture whole. Reads up to
// 4 bytes past a band row's last pixel (the band has that slack).
template <size_t kBpp>
PLUGIN_TARGET("ssse3")
void TurnSsse3(const TurnJob& job) {
    static_assert(kBpp == 3 || kBpp == 4, "colour pixels");
    const __m128i widen = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i narrow = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const uint32_t width4 = job.width & ~3u, count4 = job.count & ~3u;
    const size_t run = size_t{job.count} * kBpp;
    alignas(16) uint8_t staged[4][BandWriter::kMaxBandRows * kBpp + 16];
    for (uint32_t x = 0; x < width4; x += 4) {
        const size_t at = size_t{x} * kBpp;
        // The band's rows are read side by side, more streams than the processor follows on
        // its own, and the band is larger than the second-level cache: each row's lines are
        // fetched ahead (every 16 pixels, less than a line apart).
        if ((x & 15) == 0) {
            for (uint32_t k = 0; k < job.count; ++k) {
                _mm_prefetch(reinterpret_cast<const char*>(job.runs[k] + at + 640), _MM_HINT_T0);
            }
        }
        uint32_t j = 0;
        for (; j < count4; j += 4) {
            __m128i r[4];
            for (uint32_t k = 0; k < 4; ++k) {
                r[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(job.runs[j + k] + at));
                if (kBpp == 3) r[k] = _mm_shuffle_epi8(r[k], widen);
            }
            const __m128i t0 = _mm_unpacklo_epi32(r[0], r[1]), t1 = _mm_unpacklo_epi32(r[2], r[3]);
            const __m128i t2 = _mm_unpackhi_epi32(r[0], r[1]), t3 = _mm_unpackhi_epi32(r[2], r[3]);
            __m128i c[4] = {_mm_unpacklo_epi64(t0, t1), _mm_unpackhi_epi64(t0, t1),
                            _mm_unpacklo_epi64(t2, t3), _mm_unpackhi_epi64(t2, t3)};
            for (uint32_t k = 0; k < 4; ++k) {
                if (kBpp == 3) c[k] = _mm_shuffle_epi8(c[k], narrow);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(&staged[k][size_t{j} * kBpp]), c[k]);
            }
        }
        for (; j < job.count; ++j) {
            for (uint32_t k = 0; k < 4; ++k) {
                CopyPixel<kBpp>(&staged[k][size_t{j} * kBpp], job.runs[j] + at + k * kBpp);
            }
        }
        for (uint32_t k = 0; k < 4; ++k) {
            StreamRun(job.first + static_cast<ptrdiff_t>(x + k) * job.down, staged[k], run);
        }
    }
    _mm_sfence();  // the streamed lines are seen before the picture is handed on
    TurnPortable<kBpp>(job, width4);
}
#endif

template <size_t kBpp>
void Turn(const TurnJob& job, KernelLevel level) {
#ifdef PLUGIN_X86_KERNELS
    if constexpr (kBpp == 3 || kBpp == 4) {
        if (level == KernelLevel::Best && CpuHasSsse3()) return TurnSsse3<kBpp>(job);
    }
#endif
    (void)level;
    TurnPortable<kBpp>(job, 0);
}

}  // namespace

BandWriter::BandWriter(DibCanvas& canvas, PictureOptions* options, KernelLevel level)
    : m_canvas(canvas),
      m_options(options),
      m_level(level),
      m_orientation(options && options->orientation >= 2 && options->orientation <= 8
                        ? options->orientation
                        : 1),
      m_colours(level) {}

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
    // (some 64 x 18 KB for a 6000-pixel colour picture) is decoded, then placed.
    m_band.reset();
    // Rows decoded in place are converted two at a time, while the decoder's colour output
    // is still in the first-level cache.
    m_bandRows = m_colours.Ready() && m_bpp > 1 ? 2 : 16;
    if (m_orientation != 1 && m_orientation != 4) {
        m_bandRows = std::min(kMaxBandRows, height);
        m_bandStride = (size_t{width} * m_bpp + 63) & ~size_t{63};
        // The slack lets the turn read a whole vector at the last pixel of the last row.
        m_band.reset(new (std::nothrow) uint8_t[m_bandStride * m_bandRows + 16]);
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
    if (m.dyx == 0) {
        if (m_bpp == 3) {
            PlaceBandRows<3>(band, m_bandStride, first, count, m_width, m, m_canvas);
        } else if (m_bpp == 4) {
            PlaceBandRows<4>(band, m_bandStride, first, count, m_width, m, m_canvas);
        } else {
            PlaceBandRows<1>(band, m_bandStride, first, count, m_width, m, m_canvas);
        }
        return;
    }
    // Stored row first + i runs down shown column x0 + (first + i) * dxy; its runs start at
    // the band's leftmost shown column.
    const uint8_t* runs[kMaxBandRows];
    for (uint32_t j = 0; j < count; ++j) {
        runs[j] = band + size_t{m.dxy > 0 ? j : count - 1 - j} * m_bandStride;
    }
    const int64_t left = m.x0 + int64_t{first} * m.dxy - (m.dxy > 0 ? 0 : int64_t{count} - 1);
    const TurnJob job{runs, count, m_width,
                      m_canvas.Row(static_cast<uint32_t>(m.y0)) + left * static_cast<int64_t>(m_bpp),
                      m_canvas.TopDownPitch() * static_cast<ptrdiff_t>(m.dyx)};
    if (m_bpp == 3) {
        Turn<3>(job, m_level);
    } else if (m_bpp == 4) {
        Turn<4>(job, m_level);
    } else {
        Turn<1>(job, m_level);
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
