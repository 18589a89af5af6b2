#include "GifLzw.h"

#include <cassert>
#include <cstring>

namespace {

// A value that reaches a pixel position: colour indices above 255 store nothing, and since every
// position starts at 0 and is written at most once, storing 0 has the same effect.
inline uint8_t StoredValue(uint32_t value) {
    return value <= 255 ? static_cast<uint8_t>(value) : uint8_t{0};
}

inline uint64_t LoadU64LE(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

constexpr uint32_t kOffsetMask = 0x3FFFFFFF;
constexpr uint32_t kStableBit = 0x80000000;

}  // namespace

void GifPixelPlacer::Start(const GifRowLayout& layout) {
    m_layout = layout;
    m_width = layout.width;
    m_pixelColumn = 0;
    m_pixelRow = 0;
    m_linear = false;
    m_regionStart = nullptr;
    m_regionSize = 0;
    if (!layout.base || layout.width == 0 || layout.height == 0) {
        // Nothing can ever be stored: the image is complete before it starts.
        m_row = nullptr;
        m_rowStep = 0;
        m_interlacePass = kGifFinishedPass;
        return;
    }
    m_row = layout.base;
    if (layout.interlaced) {
        m_interlacePass = 0;
        m_rowStep = kGifInterlacePasses[0].rowStep;
    } else {
        m_interlacePass = 3;
        m_rowStep = 1;
    }
    m_linear = !layout.interlaced && layout.pitch == static_cast<ptrdiff_t>(layout.width);
    const ptrdiff_t last_row = static_cast<ptrdiff_t>(layout.height - 1) * layout.pitch;
    m_regionStart = last_row < 0 ? layout.base + last_row : layout.base;
    m_regionSize = static_cast<size_t>(last_row < 0 ? -last_row : last_row) + layout.width;
}

// A row is complete: on to the next row of this pass, or to the first row of the next pass that
// has one. A pass whose first row lies at or beyond the height holds no rows.
void GifPixelPlacer::NextRow() {
    if (m_layout.row_sink) m_layout.row_sink(m_layout.sink_context, m_pixelRow, m_row);
    m_pixelColumn = 0;
    m_pixelRow += m_rowStep;
    const auto height = static_cast<int32_t>(m_layout.height);
    while (m_pixelRow >= height) {
        if (++m_interlacePass >= kGifFinishedPass) {
            m_interlacePass = kGifFinishedPass;
            m_rowStep = 0;
            m_pixelRow = 0;
            m_row = nullptr;
            return;
        }
        m_rowStep = kGifInterlacePasses[m_interlacePass].rowStep;
        m_pixelRow = kGifInterlacePasses[m_interlacePass].firstRow;
    }
    m_row = m_layout.base + static_cast<ptrdiff_t>(m_pixelRow) * m_layout.pitch;
}

void GifPixelPlacer::PutPixels(const uint8_t* src, uint32_t count) {
    while (count != 0 && !IsFinished()) {
        const uint32_t room = RoomInRow();
        const uint32_t n = count < room ? count : room;
        std::memcpy(m_row + m_pixelColumn, src, n);
        src += n;
        count -= n;
        Advance(n);
    }
}

void GifPixelPlacer::ClearAhead(uint32_t count) {
    if (IsFinished()) return;
    const uint32_t room = RoomInRow();
    std::memset(m_row + m_pixelColumn, 0, count < room ? count : room);
}

GifLzwResult GifLzwDecoder::Decode(const uint8_t* data, size_t size, size_t& pos,
                                   uint32_t min_code_size, GifPixelPlacer& placer) {
    assert(min_code_size <= kMaxMinimumCodeSize);
    m_data = data;
    m_size = data ? size : 0;
    m_pos = pos;
    m_sourceDone = false;
    m_bufPos = 0;
    m_bufEnd = 0;
    m_bits = 0;
    m_bitCount = 0;
    GifLzwResult result = GifLzwResult::ImageComplete;
    if (min_code_size > kMaxMinimumCodeSize) {
        result = GifLzwResult::DataEnded;  // the caller rejects these sizes; decode nothing
    } else if (!placer.IsFinished()) {
        // Codes that were never defined read as the string "0 0": prefix 0, suffix 0.
        std::memset(m_link, 0, sizeof m_link);
        result = Run(min_code_size, placer);
        // A bulk copy may have written up to 16 bytes beyond the last index; those positions
        // were never reached and must read 0.
        placer.ClearAhead(kSlack);
    }
    pos = m_pos;
    return result;
}

// Copies the payload of the next complete sub-blocks behind what is left of the gather buffer.
// The terminator, the end of the data and a sub-block that the data cuts short all end the
// source; the bytes of a cut sub-block are not used.
bool GifLzwDecoder::Gather() {
    const size_t left = m_bufEnd - m_bufPos;
    std::memmove(m_gather, m_gather + m_bufPos, left);
    m_bufPos = 0;
    m_bufEnd = left;
    while (!m_sourceDone && kGatherBytes - m_bufEnd >= 255) {
        if (m_pos >= m_size) {
            m_sourceDone = true;
            break;
        }
        const size_t n = m_data[m_pos];
        if (n == 0) {
            ++m_pos;
            m_sourceDone = true;
            break;
        }
        if (n > m_size - m_pos - 1) {
            m_sourceDone = true;
            break;
        }
        std::memcpy(m_gather + m_bufEnd, m_data + m_pos + 1, n);
        m_bufEnd += n;
        m_pos += n + 1;
    }
    return m_bufEnd > left;
}

// Tops up the bit buffer; false when the data holds fewer than `need_bits` further bits.
bool GifLzwDecoder::Refill(uint32_t need_bits) {
    if (m_bufEnd - m_bufPos < 8 && !m_sourceDone) Gather();
    if (m_bufEnd - m_bufPos >= 8) {
        // Load 8 bytes and keep the whole ones that fit; the partial byte above them is read
        // again next time, so the bits beyond m_bitCount always equal the stream's next bits.
        m_bits |= LoadU64LE(m_gather + m_bufPos) << m_bitCount;
        m_bufPos += (63 - m_bitCount) >> 3;
        m_bitCount |= 56;
        return true;
    }
    while (m_bitCount <= 56 && m_bufPos < m_bufEnd) {
        m_bits |= static_cast<uint64_t>(m_gather[m_bufPos++]) << m_bitCount;
        m_bitCount += 8;
    }
    return m_bitCount >= need_bits;
}

// Writes a string at the current position. Strings that fit the row are copied in one go (16
// bytes at a time when that stays inside the row and `can_read_ahead` allows reading 16 bytes
// from `src`); others go through the placer row by row.
void GifLzwDecoder::Emit(GifPixelPlacer& placer, const uint8_t* src, uint32_t count,
                         bool can_read_ahead) {
    const uint32_t room = placer.RoomInRow();
    if (count > room) {
        placer.PutPixels(src, count);
        return;
    }
    uint8_t* dst = placer.Cursor();
    if (count <= 16 && room >= 16 && can_read_ahead) {
        uint8_t chunk[16];
        std::memcpy(chunk, src, 16);
        std::memcpy(dst, chunk, 16);
    } else {
        std::memcpy(dst, src, count);
    }
    placer.Advance(count);
}

// The decoder keeps the write position, the bit buffer and the previous code in locals: stores
// into the rows (bytes) could otherwise alias every member and force reloads after each string.
GifLzwResult GifLzwDecoder::Run(uint32_t min_code_size, GifPixelPlacer& placer) {
    const uint32_t clear_code = 1u << min_code_size;
    const uint32_t end_code = clear_code + 1;
    // The next free entry; 0 while no code has been read since the last clear code.
    uint32_t next_code = 0;
    uint32_t code_size = min_code_size + 1;
    uint32_t mask = (1u << code_size) - 1;

    uint8_t* const region = placer.RegionStart();
    const size_t region_size = placer.RegionSize();
    const uint32_t locate_mask = region_size <= m_locateLimit ? ~0u : 0u;
    const bool linear = placer.IsLinear();
    uint8_t* const stack_end = m_stack + kMaxCodes;

    for (uint32_t r = 0; r < clear_code; ++r) {
        m_roots[r] = StoredValue(r);
        m_link[r] = 1;
        m_place[r] = r | kStableBit;
    }
    std::memset(m_roots + clear_code, 0, kSlack);

    uint8_t* dst = placer.Cursor();
    uint8_t* row_end = placer.RowEnd();
    uint64_t bits = 0;
    uint32_t bit_count = 0;
    size_t buf_pos = 0;
    size_t buf_end = 0;

    uint32_t prev_code = 0;
    uint32_t first_value = 0;  // first value of the string written last (kept wide: a spilled
                               // byte reloaded as a word stalls the pipeline)
    // Where the string of the previous code was written (offset, and kStableBit when it is
    // stable), and its length when it is stable and lies in one piece in the rows (else 0).
    uint32_t prev_place = 0;
    uint32_t prev_length = 0;

    // Defines the next table entry as the previous string followed by `cur_first`, the first
    // value of the string just written at `cur_offset`.
    auto define = [&](uint32_t cur_first, uint32_t cur_offset) {
        if (next_code >= kMaxCodes) return;  // a full table stays as it is until a clear code
        const bool adjacent =
            (cur_offset == (prev_place & kOffsetMask) + prev_length) & (prev_length != 0);
        const uint32_t length = prev_length + 1;
        m_link[next_code] =
            (adjacent ? length : 0) | (prev_code << 12) | (static_cast<uint32_t>(cur_first) << 24);
        m_place[next_code] = prev_place;
        ++next_code;
        if (next_code > mask && code_size < 12) {
            ++code_size;
            mask = (1u << code_size) - 1;
        }
    };

    for (;;) {
        if (bit_count < code_size) {
            if (buf_end - buf_pos >= 8) {
                // Load 8 bytes and keep the whole ones that fit; the partial byte above them is
                // read again next time, so the bits beyond bit_count equal the stream's next bits.
                bits |= LoadU64LE(m_gather + buf_pos) << bit_count;
                buf_pos += (63 - bit_count) >> 3;
                bit_count |= 56;
            } else {
                m_bits = bits;
                m_bitCount = bit_count;
                m_bufPos = buf_pos;
                m_bufEnd = buf_end;
                const bool ok = Refill(code_size);
                bits = m_bits;
                bit_count = m_bitCount;
                buf_pos = m_bufPos;
                buf_end = m_bufEnd;
                if (!ok) {
                    placer.Seek(dst);
                    return GifLzwResult::DataEnded;
                }
            }
        }
        const auto code = static_cast<uint32_t>(bits & mask);
        bits >>= code_size;
        bit_count -= code_size;

        // The common case: a root or a table entry whose string already stands in the rows and
        // fits in the rest of the current row.
        if (code - clear_code >= 2 && code < next_code) {
            const uint32_t length = m_link[code] & 0xFFF;
            const auto room = static_cast<size_t>(row_end - dst);
            if (length != 0 && length <= room) {
                const uint32_t place = m_place[code];
                const uint8_t* src = (code < clear_code ? m_roots : region) + (place & kOffsetMask);
                const uint32_t cur_first = *src;
                const auto cur_offset = static_cast<uint32_t>(dst - region) & kOffsetMask;
                const size_t chunks = (length + 15) & ~size_t{15};
                // 16 bytes at a time where both ends allow it (roots read from m_roots, which has
                // room; the test against the rows only makes them take the exact copy in tiny
                // pictures); what lands beyond the string is overwritten later.
                if (chunks <= room && (place & kOffsetMask) + chunks <= region_size) {
                    for (size_t i = 0; i < chunks; i += 16) {
                        uint8_t chunk[16];
                        std::memcpy(chunk, src + i, 16);
                        std::memcpy(dst + i, chunk, 16);
                    }
                } else {
                    std::memcpy(dst, src, length);
                }
                dst += length;
                define(cur_first, cur_offset);
                prev_code = code;
                first_value = cur_first;
                prev_place = cur_offset | kStableBit;
                prev_length = length & locate_mask;
                if (dst == row_end) {
                    placer.Seek(dst);
                    if (placer.IsFinished()) return GifLzwResult::ImageComplete;
                    dst = placer.Cursor();
                    row_end = placer.RowEnd();
                }
                continue;
            }
        }

        if (code == clear_code) {
            // The table entries are not erased; they are redefined in order from here on.
            next_code = 0;
            code_size = min_code_size + 1;
            mask = (1u << code_size) - 1;
            continue;
        }
        if (code == end_code) {
            placer.Seek(dst);
            return GifLzwResult::EndCode;
        }

        placer.Seek(dst);
        const uint32_t room = placer.RoomInRow();
        const auto cur_offset = static_cast<uint32_t>(dst - region) & kOffsetMask;
        if (next_code == 0) {
            // The first code after a clear code (or at the start: a stream may omit the leading
            // clear code) is written as a value, whatever it is; it defines no entry.
            next_code = clear_code + 2;
            first_value = StoredValue(code);
            placer.PutPixel(static_cast<uint8_t>(first_value));
            prev_code = code;
            const bool stable = code < clear_code;
            prev_place = cur_offset | (stable ? kStableBit : 0);
            prev_length = stable ? 1 & locate_mask : 0;
        } else {
            const bool beyond_table = code >= next_code;
            const uint32_t located = beyond_table ? 0 : m_link[code] & 0xFFF;
            uint32_t cur_length;
            uint32_t cur_first;
            bool cur_stable;
            if (located != 0) {
                // A known string that runs on into the next rows.
                const uint32_t offset = m_place[code] & kOffsetMask;
                const uint8_t* src = (code < clear_code ? m_roots : region) + offset;
                cur_first = *src;
                placer.PutPixels(src, located);
                cur_length = located;
                cur_stable = true;
            } else if (beyond_table && prev_length != 0) {
                // The code the encoder was still defining (or one beyond it): the previous
                // string followed by its own first value.
                const uint32_t offset = prev_place & kOffsetMask;
                const uint8_t* src = region + offset;
                cur_first = *src;
                Emit(placer, src, prev_length, offset + size_t{16} <= region_size);
                placer.PutPixel(static_cast<uint8_t>(first_value));
                cur_length = prev_length + 1;
                cur_stable = false;  // settled below, once the entry is defined
            } else {
                // Walk the table back to a root, collecting the string back to front. A chain
                // that does not reach a root within 4095 steps is cut there.
                uint8_t* top = stack_end;
                uint32_t count = 0;
                uint32_t c = code;
                if (beyond_table) {
                    *--top = static_cast<uint8_t>(first_value);
                    count = 1;
                    c = prev_code;
                }
                while (c >= clear_code) {
                    if (count == kMaxCodes - 1) break;
                    const uint32_t link = m_link[c];
                    *--top = static_cast<uint8_t>(link >> 24);
                    c = (link >> 12) & 0xFFF;
                    ++count;
                }
                *--top = StoredValue(c);
                ++count;
                cur_first = *top;
                Emit(placer, top, count, true);
                cur_length = count;
                cur_stable = !beyond_table && (m_place[code] & kStableBit) != 0;
            }
            const uint32_t defined = next_code;
            const bool prev_stable = (prev_place & kStableBit) != 0;
            define(cur_first, cur_offset);
            if (beyond_table) cur_stable = code == defined && prev_stable;
            prev_code = code;
            first_value = cur_first;
            prev_place = cur_offset | (cur_stable ? kStableBit : 0);
            const bool in_one_piece = cur_length <= room || linear;
            prev_length = cur_stable && in_one_piece ? cur_length & locate_mask : 0;
        }
        if (placer.IsFinished()) return GifLzwResult::ImageComplete;
        dst = placer.Cursor();
        row_end = placer.RowEnd();
    }
}
