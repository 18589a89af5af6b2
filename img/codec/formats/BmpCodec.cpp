// BMP through the plug-ins' own reader (bmpsrc's BmpFile, which also expands RLE). DIBs already
// in the canvas's form are taken over as they are; the others (top-down rows, OS/2 headers,
// 16-bit and bit-field pixels) are converted to 24-bit BGR, or 32-bit BGRA when an alpha mask
// is declared. Files whose rows do not lie where bmpsrc's packed-DIB rule puts them (masks kept
// inside version 2 to 5 headers, BI_ALPHABITFIELDS, a gap before the rows) are read from the
// file's own layout instead.
#include <cstring>

#include "BmpFile.h"
#include "ByteReader.h"
#include "Checked.h"
#include "CodecBackends.h"

namespace {

constexpr uint32_t kAlphaBitFields = 6;  // BI_ALPHABITFIELDS: four masks after a 40-byte header

struct Channel {
    uint32_t mask = 0;
    uint32_t shift = 0;
    uint32_t max = 0;

    explicit Channel(uint32_t m = 0) : mask(m) {
        if (!mask) return;
        while (((mask >> shift) & 1) == 0) ++shift;
        max = mask >> shift;
    }
    uint8_t Take(uint32_t pixel) const {
        if (!max) return 0;
        const uint64_t v = (pixel & mask) >> shift;
        return static_cast<uint8_t>((v * 255 + max / 2) / max);
    }
};

class BmpCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeBmp; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= 2 && p[0] == 'B' && p[1] == 'M';
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        if (request.frame != 0) return CodecStatus::NoFrame;
        FileLayout layout;
        const CodecStatus own = PlanFileLayout(data, size, layout);
        if (own == CodecStatus::Ok) {
            ReadResolution(layout.header, result);
            return Convert(layout.header, layout.header + layout.table_start,
                           layout.header + layout.rows, layout.m, canvas);
        }
        if (own != CodecStatus::NotThisFormat) return own;
        BmpFile bmp;
        bmp.SetMemorySource(data, size);
        const int32_t read = bmp.ReadPictureFromMemory();
        if (read == SPI_OUT_OF_MEMORY) return CodecStatus::NoMemory;
        OwnedHandle dib(bmp.TakeResultDib());
        if (read != SPI_OK || !dib) return CodecStatus::Broken;
        if (!IsCanvasForm(dib.Get())) return Convert(dib.Get(), canvas, result);
        ReadResolution(dib.Get(), result);
        return canvas.Adopt(dib.Release());
    }

    // The header alone: what Decode's conversion would make of it.
    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                     PictureHeader& header) const override {
        FileLayout layout;
        const CodecStatus own = PlanFileLayout(data, size, layout);
        if (own == CodecStatus::Ok) {
            const DibMeasures& m = layout.m;
            header.width = static_cast<uint32_t>(m.width);
            header.height = static_cast<uint32_t>(m.abs_height);
            header.bit_count = static_cast<uint16_t>(m.bit_count <= 8 ? m.bit_count : 24);
            if (m.bit_count >= 16 && HasAlphaMask(layout.header, m)) header.bit_count = 32;
            ReadResolution(layout.header, header.result);
            return CodecStatus::Ok;
        }
        if (own != CodecStatus::NotThisFormat) return own;
        size_t skip = 0;
        if (size >= 2 && data[0] == 'B' && data[1] == 'M') skip = kFileHeaderSize;
        if (size < skip) return CodecStatus::Broken;
        const uint8_t* dib = data + skip;
        const size_t available = size - skip;
        DibMeasures m;
        if (!MeasureDib(dib, available, m) || m.total_size > available || m.abs_height == 0) {
            return CodecStatus::Broken;
        }
        const uint32_t c = m.compression;
        uint16_t bits = 0;
        switch (m.bit_count) {
            case 1: case 4: case 8: case 24: {
                const bool rle = m.IsInfoType() && ((m.bit_count == 8 && c == BI_RLE8) ||
                                                    (m.bit_count == 4 && c == BI_RLE4));
                if (c != BI_RGB && !rle) return CodecStatus::Unsupported;
                bits = static_cast<uint16_t>(m.bit_count);
                break;
            }
            case 16: case 32:
                if (c == BI_RGB) {
                    bits = 24;
                } else if (c == BI_BITFIELDS) {
                    const bool alpha = m.header_size >= 56 && available >= kInfoHeaderSize + 16 &&
                                       ByteReader::LoadU32LE(dib + kInfoHeaderSize + 12) != 0;
                    bits = alpha ? 32 : 24;
                } else {
                    return CodecStatus::Unsupported;
                }
                break;
            default:
                return CodecStatus::Unsupported;
        }
        if (m.IsInfoType()) {
            const auto x_ppm = static_cast<int32_t>(ByteReader::LoadU32LE(dib + 24));
            const auto y_ppm = static_cast<int32_t>(ByteReader::LoadU32LE(dib + 28));
            if (x_ppm > 0 && y_ppm > 0) {
                header.result.x_dpi = x_ppm * 0.0254;
                header.result.y_dpi = y_ppm * 0.0254;
            }
        }
        header.width = static_cast<uint32_t>(m.width);
        header.height = static_cast<uint32_t>(m.abs_height);
        header.bit_count = bits;
        return CodecStatus::Ok;
    }

private:
    // Where a BMP file's own layout differs from the packed-DIB rule that
    // bmpsrc follows (masks after every info header, rows straight after the colour table):
    // writers keep the masks inside headers of 52 bytes and more, put 16 bytes of masks after a
    // 40-byte header for BI_ALPHABITFIELDS, and say in bfOffBits where the rows begin, which
    // may leave a gap. PlanFileLayout finds where its parts lie (NotThisFormat: the layouts
    // agree, and the packed-DIB reading takes the file); Convert then reads it.
    struct FileLayout {
        const uint8_t* header = nullptr;  // the info header, just after the file header
        DibMeasures m;
        uint64_t table_start = 0;  // colour table, and rows, as offsets from `header`
        uint64_t rows = 0;
    };

    static CodecStatus PlanFileLayout(const uint8_t* data, size_t size, FileLayout& layout) {
        DibMeasures& m = layout.m;
        if (size < kFileHeaderSize + kInfoHeaderSize || data[0] != 'B' || data[1] != 'M') {
            return CodecStatus::NotThisFormat;
        }
        const uint8_t* header = data + kFileHeaderSize;
        const size_t available = size - kFileHeaderSize;
        // BITMAPINFOHEADER and its version 2 to 5 extensions (OS/2 headers are left alone).
        const uint32_t header_size = ByteReader::LoadU32LE(header);
        if (header_size != 40 && header_size != 52 && header_size != 56 && header_size != 108 &&
            header_size != 124) {
            return CodecStatus::NotThisFormat;
        }
        if (header_size > available) return CodecStatus::Broken;
        m.header_size = header_size;
        m.kind = 3;
        m.width = ByteReader::LoadI32LE(header + 4);
        m.height = ByteReader::LoadI32LE(header + 8);
        m.bit_count = ByteReader::LoadU16LE(header + 14);
        m.compression = ByteReader::LoadU32LE(header + 16);
        const uint32_t clr_used = ByteReader::LoadU32LE(header + 32);
        const bool bit_fields =
            m.compression == BI_BITFIELDS || m.compression == kAlphaBitFields;
        const bool indexed = m.bit_count == 1 || m.bit_count == 4 || m.bit_count == 8;
        if ((m.compression != BI_RGB && !bit_fields) ||
            (bit_fields && m.bit_count != 16 && m.bit_count != 32) ||
            (!indexed && m.bit_count != 16 && m.bit_count != 24 && m.bit_count != 32) ||
            m.width <= 0 || m.height == 0 || m.height == INT32_MIN) {
            return CodecStatus::NotThisFormat;
        }
        m.abs_height = static_cast<uint64_t>(m.height < 0 ? -int64_t{m.height} : m.height);
        m.color_count = indexed ? (clr_used != 0 ? clr_used : uint64_t{1} << m.bit_count) : 0;
        const uint64_t masks_after =
            header_size == kInfoHeaderSize && bit_fields
                ? (m.compression == kAlphaBitFields ? 16 : 12)
                : 0;
        const uint64_t table_start = header_size + masks_after;
        const uint64_t table_end = table_start + 4 * m.color_count;
        uint64_t image = 0;
        if (!DibStrideFor(m.bit_count, static_cast<uint64_t>(m.width), m.stride) ||
            !CheckedMul(m.stride, m.abs_height, image)) {
            return CodecStatus::NoMemory;
        }
        // The rows start at bfOffBits when that lies past the header and its masks, inside the
        // file; a bfOffBits outside those bounds is no offset, and the rows follow the table.
        const uint32_t off_bits = ByteReader::LoadU32LE(data + 10);
        uint64_t rows = table_end;
        if (off_bits >= kFileHeaderSize + table_start && off_bits <= size) {
            rows = off_bits - uint64_t{kFileHeaderSize};
        }
        const uint64_t packed_rule =
            header_size + 4 * m.color_count + (m.compression == BI_BITFIELDS ? 12 : 0);
        const bool layouts_agree = rows == packed_rule && m.compression != kAlphaBitFields &&
                                   header_size != 52 && header_size != 56;
        if (layouts_agree) return CodecStatus::NotThisFormat;
        if (rows > available || image > available - rows || table_start > available) {
            return CodecStatus::Broken;
        }
        // Colour entries that would overlap the rows (a table shorter than biClrUsed says) are
        // not read.
        const uint64_t table_room = rows > table_start ? (rows - table_start) / 4 : 0;
        if (m.color_count > table_room) m.color_count = table_room;
        layout.header = header;
        layout.table_start = table_start;
        layout.rows = rows;
        return CodecStatus::Ok;
    }

    // Whether a 16- or 32-bit header declares an alpha mask: in headers of 56 bytes and more,
    // or after the other masks for BI_ALPHABITFIELDS.
    static bool HasAlphaMask(const uint8_t* header, const DibMeasures& m) {
        const bool bit_fields = m.compression == BI_BITFIELDS || m.compression == kAlphaBitFields;
        return bit_fields && (m.header_size >= 56 || m.compression == kAlphaBitFields) &&
               ByteReader::LoadU32LE(header + kInfoHeaderSize + 12) != 0;
    }

    // Whether the DIB is already a 40-byte-header, BI_RGB, bottom-up 1-, 4-, 8- or 24-bit one.
    static bool IsCanvasForm(SpiHandle dib) {
        ScopedLock lock(dib);
        DibMeasures m;
        if (!lock || !MeasureDib(lock.Data(), platform::MemSize(dib), m)) return false;
        const bool indexed = m.bit_count == 1 || m.bit_count == 4 || m.bit_count == 8;
        return m.header_size == kInfoHeaderSize && m.compression == BI_RGB && !m.IsTopDown() &&
               (indexed || m.bit_count == 24);
    }

    static void ReadResolution(SpiHandle dib, DecodeResult& result) {
        ScopedLock lock(dib);
        DibMeasures m;
        if (!lock || !MeasureDib(lock.Data(), platform::MemSize(dib), m) || !m.IsInfoType()) {
            return;
        }
        ReadResolution(lock.Data(), result);
    }

    // biXPelsPerMeter and biYPelsPerMeter of an info-type header.
    static void ReadResolution(const uint8_t* header, DecodeResult& result) {
        const auto x_ppm = static_cast<int32_t>(ByteReader::LoadU32LE(header + 24));
        const auto y_ppm = static_cast<int32_t>(ByteReader::LoadU32LE(header + 28));
        if (x_ppm > 0 && y_ppm > 0) {
            result.x_dpi = x_ppm * 0.0254;
            result.y_dpi = y_ppm * 0.0254;
        }
    }

    static CodecStatus Convert(SpiHandle dib, DibCanvas& canvas, DecodeResult& result) {
        ReadResolution(dib, result);
        const size_t available = platform::MemSize(dib);
        ScopedLock lock(dib);
        if (!lock) return CodecStatus::NoMemory;
        DibMeasures m;
        if (!MeasureDib(lock.Data(), available, m) || m.total_size > available ||
            m.abs_height == 0) {
            return CodecStatus::Broken;
        }
        return Convert(lock.Data(), lock.Data() + m.header_size, lock.Data() + m.HeaderPartSize(),
                       m, canvas);
    }

    // Converts the rows at `rows` (colour entries at `table`; masks at byte 40 of the header).
    static CodecStatus Convert(const uint8_t* header, const uint8_t* table, const uint8_t* rows,
                               const DibMeasures& m, DibCanvas& canvas) {
        const auto height = static_cast<uint32_t>(m.abs_height);
        const auto width = static_cast<uint32_t>(m.width);
        auto source_row = [&](uint32_t y) {
            const uint64_t stored = m.IsTopDown() ? y : height - 1 - y;
            return rows + stored * m.stride;
        };
        const bool indexed = m.bit_count == 1 || m.bit_count == 4 || m.bit_count == 8;
        if (indexed || m.bit_count == 24) {
            if (m.compression != BI_RGB) return CodecStatus::Unsupported;
            const CodecStatus created =
                canvas.Create(width, height, static_cast<uint16_t>(m.bit_count));
            if (created != CodecStatus::Ok) return created;
            if (indexed) {
                // OS/2 headers carry 3-byte colour entries, the others 4-byte ones.
                const uint64_t entry = m.kind == 2 ? 3 : 4;
                const uint64_t room = uint64_t{1} << m.bit_count;
                for (uint64_t i = 0; i < m.color_count && i < room; ++i) {
                    const uint8_t* c = table + i * entry;
                    canvas.Palette()[i] = RgbQuad{c[0], c[1], c[2], 0};
                }
            }
            const auto bytes = static_cast<size_t>((uint64_t{width} * m.bit_count + 7) / 8);
            for (uint32_t y = 0; y < height; ++y) std::memcpy(canvas.Row(y), source_row(y), bytes);
            return CodecStatus::Ok;
        }
        if (m.bit_count != 16 && m.bit_count != 32) return CodecStatus::Unsupported;
        uint32_t masks[4] = {0, 0, 0, 0};
        if (m.compression == BI_BITFIELDS || m.compression == kAlphaBitFields) {
            // The masks follow a 40-byte header, or sit inside the larger ones; the alpha mask
            // in headers of 56 bytes and more, or after the others for BI_ALPHABITFIELDS.
            const uint8_t* at = header + kInfoHeaderSize;
            for (int i = 0; i < 3; ++i) masks[i] = ByteReader::LoadU32LE(at + 4 * i);
            if (HasAlphaMask(header, m)) masks[3] = ByteReader::LoadU32LE(at + 12);
        } else if (m.compression == BI_RGB) {
            if (m.bit_count == 16) {
                masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
            } else {
                masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
            }
        } else {
            return CodecStatus::Unsupported;
        }
        const Channel red(masks[0]), green(masks[1]), blue(masks[2]), alpha(masks[3]);
        const bool has_alpha = masks[3] != 0;
        const CodecStatus created = canvas.Create(width, height, has_alpha ? 32 : 24);
        if (created != CodecStatus::Ok) return created;
        const uint32_t step = has_alpha ? 4 : 3;
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* s = source_row(y);
            uint8_t* d = canvas.Row(y);
            for (uint32_t x = 0; x < width; ++x, d += step) {
                const uint32_t pixel = m.bit_count == 16 ? ByteReader::LoadU16LE(s + 2 * x)
                                                         : ByteReader::LoadU32LE(s + 4 * x);
                d[0] = blue.Take(pixel);
                d[1] = green.Take(pixel);
                d[2] = red.Take(pixel);
                if (has_alpha) d[3] = alpha.Take(pixel);
            }
        }
        return CodecStatus::Ok;
    }

public:
    CodecStatus Encode(const DibView& view, const EncodeOptions&,
                       std::vector<uint8_t>& out) const override;
};

// A BMP file of the picture as it stands: 40-byte header, its palette, bottom-up rows.
CodecStatus BmpCodec::Encode(const DibView& v, const EncodeOptions&,
                             std::vector<uint8_t>& out) const {
    const uint64_t colours = v.bit_count <= 8 ? uint64_t{1} << v.bit_count : 0;
    NewDibLayout layout;
    if (!PlanNewDib(v.width, v.height, v.bit_count, colours, layout)) return CodecStatus::NoMemory;
    DibMeasures m;
    m.header_size = kInfoHeaderSize;
    m.color_table_size = layout.header_part - kInfoHeaderSize;
    m.total_size = layout.total_size;
    uint8_t file_header[kFileHeaderSize];
    if (!BuildBmpFileHeader(m, file_header)) return CodecStatus::NoMemory;
    out.assign(file_header, file_header + kFileHeaderSize);
    out.resize(static_cast<size_t>(kFileHeaderSize + m.total_size));
    uint8_t* h = out.data() + kFileHeaderSize;
    InfoHeaderFields fields;
    fields.width = static_cast<int32_t>(v.width);
    fields.height = static_cast<int32_t>(v.height);  // bottom-up
    fields.bit_count = v.bit_count;
    fields.size_image = static_cast<uint32_t>(layout.image_size);
    auto pels_per_metre = [](double dpi) {
        return static_cast<int32_t>(static_cast<uint32_t>(dpi / 0.0254 + 0.5));
    };
    fields.x_pels_per_meter = pels_per_metre(v.x_dpi);
    fields.y_pels_per_meter = pels_per_metre(v.y_dpi);
    fields.colors_used = static_cast<uint32_t>(colours);
    WriteInfoHeader(h, fields);
    if (v.palette) {
        const uint64_t n = v.palette_size < colours ? v.palette_size : colours;
        std::memcpy(h + kInfoHeaderSize, v.palette, static_cast<size_t>(4 * n));
    }
    uint8_t* rows = h + layout.header_part;
    const auto bytes = static_cast<size_t>((uint64_t{v.width} * v.bit_count + 7) / 8);
    for (uint32_t y = 0; y < v.height; ++y) {
        std::memcpy(rows + static_cast<size_t>((v.height - 1 - y) * layout.stride), v.Row(y),
                    bytes);
    }
    return CodecStatus::Ok;
}

}  // namespace

const CodecBackend& BmpBackend() {
    static const BmpCodec backend;
    return backend;
}
