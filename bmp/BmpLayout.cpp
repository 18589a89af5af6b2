#include "BmpLayout.h"

#include "ByteReader.h"
#include "Checked.h"

namespace {

// Reads the fields of the file's own header: the core header, or the longer ones, which keep
// their fields at the same places as far as their length goes.
bool ReadOwnHeader(BmpLayout& l) {
    DibMeasures& m = l.own;
    if (l.available < 4) return false;
    const uint8_t* h = l.header;
    const uint32_t size = ByteReader::LoadU32LE(h);
    if (size > l.available || (size < 16 && size != kCoreHeaderSize)) return false;
    m.header_size = size;
    if (size == kCoreHeaderSize) {
        l.family = BmpHeaderFamily::Core;
        l.entry_size = 3;
        m.kind = 2;
        m.width = ByteReader::LoadU16LE(h + 4);
        m.height = ByteReader::LoadU16LE(h + 6);
        m.bit_count = ByteReader::LoadU16LE(h + 10);
        return true;
    }
    const bool os2 = size <= 64 && size != 40 && size != 52 && size != 56;
    l.family = os2 ? BmpHeaderFamily::Os2V2 : BmpHeaderFamily::Info;
    m.kind = size == 40 ? 3 : size == 108 ? 4 : size == 124 ? 5 : 0;
    m.width = ByteReader::LoadI32LE(h + 4);
    m.height = ByteReader::LoadI32LE(h + 8);
    m.bit_count = ByteReader::LoadU16LE(h + 14);
    // OS/2 version 2 headers may end after any of their fields; the missing ones are 0.
    m.compression = size >= 20 ? ByteReader::LoadU32LE(h + 16) : BI_RGB;
    m.size_image = size >= 24 ? ByteReader::LoadU32LE(h + 20) : 0;
    m.color_count = size >= 36 ? ByteReader::LoadU32LE(h + 32) : 0;  // biClrUsed, for now
    return true;
}

bool PlanOwnLayout(const uint8_t* data, size_t size, BmpLayout& l) {
    if (!ReadOwnHeader(l)) return false;
    DibMeasures& m = l.own;
    if (m.width <= 0 || m.height == 0 || m.height == INT32_MIN) return false;
    m.abs_height = static_cast<uint64_t>(m.height < 0 ? -int64_t{m.height} : m.height);
    if (!DibStrideFor(m.bit_count, static_cast<uint64_t>(m.width), m.stride) ||
        !CheckedMul(m.stride, m.abs_height, m.uncompressed_image_size)) {
        return false;
    }
    const uint32_t c = m.compression;
    const bool info = l.family == BmpHeaderFamily::Info;
    const bool bit_fields = info && (c == BI_BITFIELDS || c == kAlphaBitFields);
    const bool indexed = m.bit_count == 1 || m.bit_count == 4 || m.bit_count == 8;
    const uint64_t clr_used = m.color_count;
    const uint64_t entries = clr_used != 0 ? clr_used : indexed ? uint64_t{1} << m.bit_count : 0;
    const uint64_t masks_after =
        m.header_size == kInfoHeaderSize && bit_fields ? (c == kAlphaBitFields ? 16 : 12) : 0;
    l.table_start = m.header_size + masks_after;
    const uint64_t table_end = l.table_start + l.entry_size * entries;

    // The rows start at bfOffBits when that lies past the header and its masks, inside the
    // file; a bfOffBits outside those bounds is no offset, and the rows follow the table. A
    // bare DIB has no offset: its rows lie where the packed-DIB rule puts them.
    l.rows = table_end;
    if (l.has_file_header) {
        const uint32_t off_bits = ByteReader::LoadU32LE(data + 10);
        if (off_bits >= kFileHeaderSize + l.table_start && off_bits <= size) {
            l.rows = off_bits - uint64_t{kFileHeaderSize};
        }
    } else if (l.packed_ok && l.packed.kind != 0) {
        l.rows = l.packed.HeaderPartSize();
    }
    // Colour entries that would overlap the rows (a table shorter than biClrUsed says) are not
    // read; only indexed pictures read theirs.
    const uint64_t room = l.rows > l.table_start ? (l.rows - l.table_start) / l.entry_size : 0;
    m.color_count = indexed ? (entries < room ? entries : room) : 0;
    if (l.IsRle()) {
        // The stream is biSizeImage long; writers that leave it 0 give it the rest of the data.
        const uint64_t rest = l.rows <= l.available ? l.available - l.rows : 0;
        l.rows_size = m.size_image != 0 ? m.size_image : rest;
    } else {
        l.rows_size = m.uncompressed_image_size;
    }
    m.image_size = l.rows_size;
    // The alpha mask: in headers of 56 bytes and more, or after the others for
    // BI_ALPHABITFIELDS.
    l.has_alpha_mask = bit_fields && (m.header_size >= 56 || c == kAlphaBitFields) &&
                       l.available >= kInfoHeaderSize + 16 &&
                       ByteReader::LoadU32LE(l.header + kInfoHeaderSize + 12) != 0;
    return true;
}

}  // namespace

bool BmpLayout::IsRle() const {
    return family != BmpHeaderFamily::Core &&
           (own.compression == BI_RLE8 || own.compression == BI_RLE4);
}

bool BmpLayout::RulesAgree() const {
    // Headers of 52 and 56 bytes are not measured as info headers by the packed-DIB rule, and
    // it knows no BI_ALPHABITFIELDS.
    return packed_ok && own_ok && packed.IsInfoType() && own.compression != kAlphaBitFields &&
           rows == packed.HeaderPartSize();
}

bool PlanBmpLayout(const uint8_t* data, size_t size, BmpLayout& out) {
    out = BmpLayout();
    if (!data) return false;
    out.header = data;
    out.available = size;
    // The file header is skipped when there is one. The packed-DIB rule consults none of its
    // other fields: the pixel bits follow the colour table directly.
    if (size >= 2 && data[0] == 'B' && data[1] == 'M') {
        if (size < kFileHeaderSize) return false;
        out.has_file_header = true;
        out.header += kFileHeaderSize;
        out.available -= kFileHeaderSize;
    }
    out.packed_ok = MeasureDib(out.header, out.available, out.packed);
    out.own_ok = PlanOwnLayout(data, size, out);
    return true;
}
