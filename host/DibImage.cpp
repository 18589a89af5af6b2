#include "DibImage.h"

#include "BmpRle.h"
#include "ByteReader.h"
#include "Checked.h"

namespace {

std::string Hex(uint32_t value) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s = "0x";
    for (int i = 7; i >= 0; --i) s += kDigits[(value >> (i * 4)) & 0xF];
    return s;
}

const char* CompressionName(uint32_t compression) {
    switch (compression) {
        case BI_RGB:
            return "BI_RGB";
        case BI_RLE8:
            return "BI_RLE8";
        case BI_RLE4:
            return "BI_RLE4";
        case BI_BITFIELDS:
            return "BI_BITFIELDS";
        case BI_JPEG:
            return "BI_JPEG";
        case BI_PNG:
            return "BI_PNG";
        default:
            return nullptr;
    }
}

// Says why MeasureDib refused a header, from the fields it reads.
std::string WhyUnmeasurable(const uint8_t* data, size_t size) {
    const uint32_t header_size = ByteReader::LoadU32LE(data);
    if (header_size < kCoreHeaderSize) {
        return "the DIB header length " + std::to_string(header_size) + " is below 12 bytes";
    }
    const size_t need = header_size == kCoreHeaderSize ? kCoreHeaderSize : 36;
    if (size < need) {
        return "the block (" + std::to_string(size) + " bytes) ends inside the DIB header";
    }
    const int32_t width = header_size == kCoreHeaderSize ? ByteReader::LoadU16LE(data + 4)
                                                         : ByteReader::LoadI32LE(data + 4);
    if (width <= 0) return "the DIB width " + std::to_string(width) + " is not positive";
    return "the DIB measures overflow";
}

}  // namespace

bool DibImage::Load(const uint8_t* data, size_t size, std::string& error) {
    *this = DibImage();
    if (!data || size < 4) {
        error = "the block (" + std::to_string(size) + " bytes) is too short to hold a DIB header";
        return false;
    }
    DibMeasures m;
    if (!MeasureDib(data, size, m)) {
        error = WhyUnmeasurable(data, size);
        return false;
    }
    if (m.kind == 0) {
        error = "a DIB header of " + std::to_string(m.header_size) +
                " bytes is not one this host reads (12, 40, 108 or 124 bytes)";
        return false;
    }
    if (m.header_size > size) {
        error = "the block (" + std::to_string(size) + " bytes) is shorter than the DIB header (" +
                std::to_string(m.header_size) + " bytes)";
        return false;
    }
    const uint32_t c = m.compression;
    const bool rle = c == BI_RLE8 || c == BI_RLE4;
    if (rle && (m.kind < 3 || m.bit_count != (c == BI_RLE8 ? 8u : 4u) || m.IsTopDown())) {
        error = std::string("the DIB is ") + CompressionName(c) + " with " +
                std::to_string(m.bit_count) + " bits per pixel" +
                (m.IsTopDown() ? " and top-down rows" : "") + ", which no RLE bitmap has";
        return false;
    }
    if (c == BI_JPEG || c == BI_PNG) {
        error = std::string("the DIB holds an embedded ") + (c == BI_JPEG ? "JPEG" : "PNG") +
                " stream (" + CompressionName(c) + "); cannot convert";
        return false;
    }
    if (c != BI_RGB && c != BI_BITFIELDS && !rle) {
        error =
            "the DIB has the unknown compression value " + std::to_string(c) + "; cannot convert";
        return false;
    }
    const uint32_t bits = m.bit_count;
    const bool known_bits = m.kind == 2 ? (bits == 1 || bits == 4 || bits == 8 || bits == 24)
                                        : (bits == 1 || bits == 4 || bits == 8 || bits == 16 ||
                                           bits == 24 || bits == 32);
    if (!known_bits) {
        error = "the DIB bit count " + std::to_string(bits) + " is not one this host converts (" +
                (m.kind == 2 ? "1, 4, 8 or 24" : "1, 4, 8, 16, 24 or 32") + " bits)";
        return false;
    }
    if (c == BI_BITFIELDS && bits != 16 && bits != 32) {
        error = "BI_BITFIELDS needs 16 or 32 bits per pixel, not " + std::to_string(bits);
        return false;
    }
    if (m.abs_height == 0) {
        error = "the DIB has no rows (height 0); cannot convert";
        return false;
    }
    if (m.total_size > size) {
        error = "the block (" + std::to_string(size) + " bytes) is shorter than the DIB it " +
                "describes (" + std::to_string(m.total_size) + " bytes: header " +
                std::to_string(m.header_size) + ", colour table " +
                std::to_string(m.color_table_size) + ", pixels " + std::to_string(m.image_size) +
                ")";
        return false;
    }
    uint64_t row_bytes;
    if (m.abs_height > UINT32_MAX || !CheckedMul(static_cast<uint64_t>(m.width), 4, row_bytes) ||
        !FitsSizeT(row_bytes)) {
        error = "the DIB is too large to convert";
        return false;
    }

    m_measures = m;
    m_width = static_cast<uint32_t>(m.width);
    m_height = static_cast<uint32_t>(m.abs_height);
    m_bit_count = bits;
    m_pixels = data + m.HeaderPartSize();
    m_stride = m.stride;
    m_top_down = m.IsTopDown();
    if (rle) {
        if (!LoadPalette(data, error)) return false;
        // The stream runs to biSizeImage, or to the end of the block when that is 0.
        const uint64_t available = size - m.HeaderPartSize();
        const uint64_t stream_size =
            m.image_size != 0 && m.image_size < available ? m.image_size : available;
        return ExpandRunLengths(m_pixels, static_cast<size_t>(stream_size), error);
    }
    if (bits <= 8) return LoadPalette(data, error);
    if (bits == 16 || bits == 32) return LoadMasks(data, error);
    return true;
}

// Reads the colour table: RGBQUAD entries after an info-type header, RGBTRIPLE after a core one.
bool DibImage::LoadPalette(const uint8_t* data, std::string&) {
    const size_t entry_size = m_measures.kind == 2 ? 3 : 4;
    const size_t usable = size_t{1} << m_bit_count;  // at most 256
    const size_t count =
        m_measures.color_count < usable ? static_cast<size_t>(m_measures.color_count) : usable;
    const uint8_t* table = data + m_measures.header_size;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = table + i * entry_size;
        m_palette[i] = Rgb{e[2], e[1], e[0]};
    }
    return true;
}

// Sets up the channel masks: 5-5-5 for 16-bit BI_RGB, 8-8-8 for 32-bit BI_RGB (its fourth byte
// is straight alpha when any pixel sets it: the multi-format plug-in's pictures with alpha; a DIB
// whose fourth bytes are all 0 is opaque), else the three masks after a 40-byte header or the four inside a version 4 or 5
// header, whose fourth is the alpha mask.
bool DibImage::LoadMasks(const uint8_t* data, std::string& error) {
    uint32_t masks[4] = {0, 0, 0, 0};
    if (m_measures.compression == BI_RGB) {
        if (m_bit_count == 16) {
            masks[0] = 0x7C00;
            masks[1] = 0x03E0;
            masks[2] = 0x001F;
        } else {
            masks[0] = 0x00FF0000;
            masks[1] = 0x0000FF00;
            masks[2] = 0x000000FF;
            if (AnyFourthByte()) masks[3] = 0xFF000000;
        }
    } else {
        // Both layouts keep the colour masks at byte 40: inside a version 4 or 5 header, or
        // right after a 40-byte one, where the measured colour table counts them.
        for (int i = 0; i < 3; ++i) masks[i] = ByteReader::LoadU32LE(data + 40 + 4 * i);
        if (m_measures.kind >= 4) masks[3] = ByteReader::LoadU32LE(data + 52);
    }
    const uint64_t pixel_limit = uint64_t{1} << m_bit_count;
    for (uint32_t mask : masks) {
        if (mask >= pixel_limit) {
            error = "the bit-field mask " + Hex(mask) + " lies outside a " +
                    std::to_string(m_bit_count) + "-bit pixel";
            return false;
        }
    }
    if ((masks[0] | masks[1] | masks[2]) == 0) {
        error = "the DIB's red, green and blue bit-field masks are all zero";
        return false;
    }
    m_red = BitFieldChannel(masks[0]);
    m_green = BitFieldChannel(masks[1]);
    m_blue = BitFieldChannel(masks[2]);
    m_alpha = BitFieldChannel(masks[3]);
    m_has_alpha = masks[3] != 0;
    return true;
}

// Draws an RLE8 or RLE4 stream as Windows draws such a bitmap, with the BMP reader's expander:
// a run or an absolute stretch that passes the end of its row is clipped there; pixels that the
// stream skips (by a delta, an early end of line or end of bitmap) keep index 0; a stream that
// ends without its end-of-bitmap mark shows what it drew. m_expanded holds the drawn rows,
// bottom-up at the DIB's own stride and bit count.
bool DibImage::ExpandRunLengths(const uint8_t* stream, size_t size, std::string& error) {
    uint64_t pixels;
    uint64_t bytes;
    if (!CheckedMul(uint64_t{m_width}, uint64_t{m_height}, pixels) ||
        pixels > (uint64_t{1} << 31) || !CheckedMul(m_stride, uint64_t{m_height}, bytes) ||
        !FitsSizeT(bytes)) {
        error = "the RLE picture is too large to draw out";
        return false;
    }
    m_expanded.assign(static_cast<size_t>(bytes), 0);
    RleRows rows;
    rows.first_row = m_expanded.data();
    rows.pitch = static_cast<ptrdiff_t>(m_stride);
    rows.stride = m_stride;
    rows.width = m_width;
    rows.count = m_height;
    ExpandRle(m_bit_count, stream, size, rows, RleOverflow::Clip);
    m_pixels = nullptr;  // RowData reads m_expanded, wherever a copy of this object keeps it
    m_top_down = false;
    return true;
}

bool DibImage::AnyFourthByte() const {
    for (uint32_t y = 0; y < m_height; ++y) {
        const uint8_t* row = RowData(y);
        for (uint32_t x = 0; x < m_width; ++x) {
            if (row[size_t{x} * 4 + 3] != 0) return true;
        }
    }
    return false;
}

const uint8_t* DibImage::RowData(uint32_t y) const {
    const uint64_t row = m_top_down ? y : (m_height - 1 - uint64_t{y});
    return (m_expanded.empty() ? m_pixels : m_expanded.data()) + row * m_stride;
}

void DibImage::ConvertRow(uint32_t y, uint8_t* out) const {
    if (y >= m_height) return;
    const uint8_t* row = RowData(y);
    const size_t channels = Channels();
    for (uint32_t x = 0; x < m_width; ++x, out += channels) {
        switch (m_bit_count) {
            case 1:
            case 4:
            case 8: {
                uint32_t index;
                if (m_bit_count == 1) {
                    index = (row[x >> 3] >> (7 - (x & 7))) & 1u;
                } else if (m_bit_count == 4) {
                    index = (x & 1) ? (row[x >> 1] & 0x0Fu) : (row[x >> 1] >> 4);
                } else {
                    index = row[x];
                }
                const Rgb& c = m_palette[index];
                out[0] = c.r;
                out[1] = c.g;
                out[2] = c.b;
                break;
            }
            case 24: {
                const uint8_t* p = row + size_t{x} * 3;
                out[0] = p[2];
                out[1] = p[1];
                out[2] = p[0];
                break;
            }
            default: {  // 16 and 32 bits, through the channel masks
                const uint32_t pixel = m_bit_count == 16
                                           ? ByteReader::LoadU16LE(row + size_t{x} * 2)
                                           : ByteReader::LoadU32LE(row + size_t{x} * 4);
                out[0] = m_red.Take(pixel);
                out[1] = m_green.Take(pixel);
                out[2] = m_blue.Take(pixel);
                if (m_has_alpha) out[3] = m_alpha.Take(pixel);
                break;
            }
        }
    }
}

std::vector<uint8_t> DibImage::ConvertAll() const {
    std::vector<uint8_t> pixels(RowBytes() * m_height);
    for (uint32_t y = 0; y < m_height; ++y) ConvertRow(y, pixels.data() + RowBytes() * y);
    return pixels;
}
