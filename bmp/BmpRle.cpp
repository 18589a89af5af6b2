// Run-length encoded bitmaps (BI_RLE8, BI_RLE4) expanded into plain rows.
#include "BmpRle.h"

#include <cstring>

#include "BmpFile.h"
#include "ByteReader.h"
#include "Checked.h"
#include "GlobalBlock.h"

namespace {

// Writes pixels at the cursor of an RLE decode: a column in pixels and a row counted from the
// first row of the pixel array. Moves may take the cursor anywhere; only writes are checked.
class RleWriter {
public:
    RleWriter(uint32_t bit_count, const RleRows& rows, RleOverflow overflow)
        : m_rows(rows),
          m_four(bit_count == 4),
          m_clip(overflow == RleOverflow::Clip),
          // A failing decode allows the whole stride (padding included); a clipped one stops
          // at the last pixel.
          m_limit(m_clip ? rows.width : (m_four ? rows.stride * 2 : rows.stride)) {}

    uint64_t column = 0;
    uint64_t row = 0;

    // Whether a clipped decode has passed its last row, where nothing more can be drawn.
    bool IsPastEnd() const { return m_clip && row >= m_rows.count; }

    // Writes n pixels, pixel i = value(i), and advances the cursor past all n. False when the
    // decode fails; a clipped decode drops the pixels that fall outside the rows. `bytes`, for
    // RLE8, holds the n indices themselves, or is null for a run of value(0).
    template <class ValueFn>
    bool Put(uint64_t n, const uint8_t* bytes, ValueFn value) {
        uint64_t keep = n;
        if (row >= m_rows.count || column >= m_limit) {
            keep = 0;
        } else if (n > m_limit - column) {
            keep = m_limit - column;
        }
        if (keep < n && !m_clip) return false;
        column += n;
        if (keep == 0) return true;  // the row is not addressed: it may lie far outside
        const uint64_t x0 = column - n;
        uint8_t* line = m_rows.first_row + static_cast<ptrdiff_t>(row) * m_rows.pitch;
        if (!m_four) {
            if (bytes) {
                std::memcpy(line + x0, bytes, static_cast<size_t>(keep));
            } else {
                std::memset(line + x0, value(0), static_cast<size_t>(keep));
            }
            return true;
        }
        for (uint64_t i = 0; i < keep; ++i) {
            const uint64_t x = x0 + i;
            const auto pixel = static_cast<uint8_t>(value(i));
            if (x & 1) {
                line[x / 2] = static_cast<uint8_t>(line[x / 2] | (pixel & 0x0F));
            } else {
                line[x / 2] = static_cast<uint8_t>(pixel << 4);  // clears the odd pixel too
            }
        }
        return true;
    }

private:
    const RleRows& m_rows;
    bool m_four;
    bool m_clip;
    uint64_t m_limit;  // pixels a row takes
};

}  // namespace

// Reads the stream two bytes at a time: a run (count, value) or an escape (0, code).
bool ExpandRle(uint32_t bit_count, const uint8_t* src, size_t size, const RleRows& rows,
               RleOverflow overflow) {
    const bool four = bit_count == 4;
    RleWriter out(bit_count, rows, overflow);
    ByteReader in(src, size);
    while (!out.IsPastEnd()) {
        uint8_t first, second;
        if (!in.ReadU8(first) || !in.ReadU8(second)) return true;  // no end-of-bitmap code
        if (first > 0) {  // a run: one index, or two nibbles taken in turn
            const uint8_t pair[2] = {static_cast<uint8_t>(second >> 4),
                                     static_cast<uint8_t>(second & 0x0F)};
            if (!out.Put(first, nullptr,
                         [&](uint64_t i) { return four ? pair[i & 1] : second; })) {
                return false;
            }
            continue;
        }
        switch (second) {
            case 0:  // end of line
                out.column = 0;
                ++out.row;
                break;
            case 1:  // end of bitmap
                return true;
            case 2: {  // delta: right, and further into the pixel array
                uint8_t dx, dy;
                if (!in.ReadU8(dx) || !in.ReadU8(dy)) return true;
                out.column += dx;
                out.row += dy;
                break;
            }
            default: {  // absolute run, padded to an even number of bytes
                const size_t bytes = four ? (second + 1u) / 2 : second;
                const size_t avail = bytes < in.Remaining() ? bytes : in.Remaining();
                // Data that ends right after the code writes nothing, so it cannot fail the
                // decode wherever the cursor was moved.
                if (avail == 0) return true;
                const uint8_t* p = in.Position();
                const size_t pixels = four ? (second < avail * 2 ? second : avail * 2) : avail;
                const bool put = out.Put(pixels, p, [&](uint64_t i) {
                    if (!four) return p[i];
                    return static_cast<uint8_t>((i & 1) ? (p[i / 2] & 0x0F) : (p[i / 2] >> 4));
                });
                if (!put) return false;
                if (avail < bytes) return true;  // the data ended inside the run
                if (!in.Skip(bytes + (bytes & 1))) return true;
                break;
            }
        }
    }
    return true;
}

bool DecodeRle8(uint8_t* dest, uint64_t stride, uint64_t rows, const uint8_t* src, size_t size) {
    const RleRows target{dest, static_cast<ptrdiff_t>(stride), stride, stride, rows};
    return ExpandRle(8, src, size, target, RleOverflow::Fail);
}

bool DecodeRle4(uint8_t* dest, uint64_t stride, uint64_t rows, const uint8_t* src, size_t size) {
    const RleRows target{dest, static_cast<ptrdiff_t>(stride), stride, stride * 2, rows};
    return ExpandRle(4, src, size, target, RleOverflow::Fail);
}

SpiHandle DecompressRleDib(const uint8_t* header, size_t available, const DibMeasures& m,
                           RleOverflow overflow) {
    if (!m.IsInfoType() || (m.compression != BI_RLE8 && m.compression != BI_RLE4)) {
        return nullptr;
    }
    const uint64_t head_part = m.HeaderPartSize();
    uint64_t out_size;
    if (!CheckedAdd(head_part, m.uncompressed_image_size, out_size) ||
        out_size > kMaxRleOutputBytes || !FitsSizeT(out_size) || head_part > available) {
        return nullptr;
    }
    OwnedHandle out = OwnedHandle::Allocate(static_cast<size_t>(out_size), true);
    if (!out) return nullptr;
    ScopedLock lock(out.Get());
    if (!lock) return nullptr;
    uint8_t* dib = lock.Data();
    // The decoded DIB keeps the file's own colour table, so it looks like the file.
    std::memcpy(dib, header, static_cast<size_t>(head_part));
    ByteReader::StoreU32LE(dib + 16, BI_RGB);  // biCompression
    ByteReader::StoreU32LE(dib + 20, 0);       // biSizeImage

    // The compressed bytes are biSizeImage long; writers that leave it 0 get the rest of the data.
    const uint8_t* src = header + head_part;
    const size_t rest = available - static_cast<size_t>(head_part);
    const size_t src_size =
        (m.image_size != 0 && m.image_size < rest) ? static_cast<size_t>(m.image_size) : rest;
    RleRows rows;
    rows.first_row = dib + head_part;
    rows.pitch = static_cast<ptrdiff_t>(m.stride);
    rows.stride = m.stride;
    rows.width = static_cast<uint64_t>(m.width);
    rows.count = m.abs_height;
    const uint32_t bits = m.compression == BI_RLE8 ? 8 : 4;
    return ExpandRle(bits, src, src_size, rows, overflow) ? out.Release() : nullptr;
}
