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
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// Located strings are addressed by 32-bit offsets into the rows.
constexpr size_t kMaxLocatableRegion = size_t{1} << 31;

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
        std::memset(m_prefix, 0, sizeof m_prefix);
        std::memset(m_suffix, 0, sizeof m_suffix);
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

GifLzwResult GifLzwDecoder::Run(uint32_t min_code_size, GifPixelPlacer& placer) {
    const uint32_t clear_code = 1u << min_code_size;
    const uint32_t end_code = clear_code + 1;
    uint32_t next_code = clear_code + 2;
    uint32_t code_size = min_code_size + 1;
    uint32_t mask = (1u << code_size) - 1;

    uint8_t* const region = placer.RegionStart();
    const size_t region_size = placer.RegionSize();
    const bool can_locate = region_size <= kMaxLocatableRegion;
    const bool linear = placer.IsLinear();
    uint8_t* const stack_end = m_stack + kMaxCodes;

    // A stream may omit the leading clear code: it starts as if one had just been read.
    bool just_cleared = true;
    uint32_t prev_code = 0;
    uint8_t first_value = 0;  // first value of the string written last
    // Where the string of the previous code was written, when it is stable and lies in one
    // piece in the rows (length 0 otherwise).
    bool prev_stable = false;
    uint32_t prev_offset = 0;
    uint32_t prev_length = 0;

    for (;;) {
        if (m_bitCount < code_size && !Refill(code_size)) return GifLzwResult::DataEnded;
        const auto code = static_cast<uint32_t>(m_bits & mask);
        m_bits >>= code_size;
        m_bitCount -= code_size;

        if (code == clear_code) {
            // The table entries are not erased; they are redefined in order from here on.
            next_code = clear_code + 2;
            code_size = min_code_size + 1;
            mask = (1u << code_size) - 1;
            just_cleared = true;
            continue;
        }
        if (code == end_code) return GifLzwResult::EndCode;

        const uint32_t room = placer.RoomInRow();
        const auto cur_offset = can_locate ? static_cast<uint32_t>(placer.Cursor() - region) : 0;

        if (just_cleared) {
            // The first code after a clear code is written as a value, whatever it is.
            just_cleared = false;
            first_value = StoredValue(code);
            placer.PutPixel(first_value);
            prev_code = code;
            prev_stable = code < clear_code;
            prev_offset = cur_offset;
            prev_length = prev_stable && can_locate ? 1 : 0;
            if (placer.IsFinished()) return GifLzwResult::ImageComplete;
            continue;
        }

        uint32_t cur_length;
        uint8_t cur_first;
        bool cur_stable;
        const bool beyond_table = code >= next_code;
        if (!beyond_table && code < clear_code) {
            cur_first = StoredValue(code);
            placer.PutPixel(cur_first);
            cur_length = 1;
            cur_stable = true;
        } else if (!beyond_table && m_length[code] != 0) {
            const uint32_t offset = m_offset[code];
            cur_length = m_length[code];
            cur_first = region[offset];
            Emit(placer, region + offset, cur_length, offset + size_t{16} <= region_size);
            cur_stable = true;
        } else if (beyond_table && prev_length != 0) {
            // The code the encoder was still defining (or one beyond it): the previous string
            // followed by its own first value.
            cur_first = region[prev_offset];
            Emit(placer, region + prev_offset, prev_length,
                 prev_offset + size_t{16} <= region_size);
            placer.PutPixel(first_value);
            cur_length = prev_length + 1;
            cur_stable = false;  // settled below, once the entry is defined
        } else {
            // Walk the table back to a root, collecting the string back to front. A chain that
            // does not reach a root within 4095 steps is cut there.
            uint8_t* top = stack_end;
            uint32_t count = 0;
            uint32_t c = code;
            if (beyond_table) {
                *--top = first_value;
                count = 1;
                c = prev_code;
            }
            while (c >= clear_code) {
                if (count == kMaxCodes - 1) break;
                *--top = m_suffix[c];
                c = m_prefix[c];
                ++count;
            }
            *--top = StoredValue(c);
            ++count;
            cur_first = *top;
            Emit(placer, top, count, true);
            cur_length = count;
            cur_stable = !beyond_table && m_stable[code] != 0;
        }

        if (next_code < kMaxCodes) {
            // A full table is kept as it stands until a clear code arrives.
            const uint32_t n = next_code;
            m_prefix[n] = static_cast<uint16_t>(prev_code);
            m_suffix[n] = cur_first;
            m_stable[n] = prev_stable ? 1 : 0;
            const bool adjacent = prev_length != 0 && cur_offset == prev_offset + prev_length;
            m_length[n] = static_cast<uint16_t>(adjacent ? prev_length + 1 : 0);
            m_offset[n] = prev_offset;
            if (beyond_table) cur_stable = code == n && prev_stable;
            ++next_code;
            if (next_code > mask && code_size < 12) {
                ++code_size;
                mask = (1u << code_size) - 1;
            }
        }

        prev_code = code;
        first_value = cur_first;
        prev_stable = cur_stable;
        prev_offset = cur_offset;
        const bool in_one_piece = cur_length <= room || linear;
        prev_length = cur_stable && can_locate && in_one_piece ? cur_length : 0;
        if (placer.IsFinished()) return GifLzwResult::ImageComplete;
    }
}
