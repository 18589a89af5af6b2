// BMP through the plug-ins' own reader (bmp/): its layout planner says where a file's parts lie
// and its RLE expander draws RLE bitmaps. Files whose rows lie where bmpsrc's packed-DIB rule
// puts them and that are already in the canvas's form are taken over as bmpsrc reads them; the
// others (top-down rows, core and OS/2 headers, 16-bit and bit-field pixels, masks kept inside
// version 2 to 5 headers, BI_ALPHABITFIELDS, a gap before the rows) are read from the file's
// own layout and converted to the canvas's form: indexed and 24-bit BGR, or 32-bit BGRA when an
// alpha mask is declared. RLE runs that pass the end of their row are clipped, as Windows draws
// them.
#include <cstring>

#include "BitFieldChannel.h"
#include "BmpFile.h"
#include "BmpLayout.h"
#include "BmpRle.h"
#include "ByteReader.h"
#include "CodecBackends.h"

namespace {

class BmpCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeBmp; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= 2 && p[0] == 'B' && p[1] == 'M';
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        if (request.frame != 0) return CodecStatus::NoFrame;
        BmpLayout layout;
        uint16_t bits = 0;
        const CodecStatus checked = Check(data, size, layout, bits);
        if (checked != CodecStatus::Ok) return checked;
        ReadResolution(layout, result);
        if (layout.RulesAgree() && IsCanvasForm(layout)) {
            if (layout.IsRle()) {
                OwnedHandle dib(DecompressRleDib(layout.header, layout.available, layout.packed,
                                                 RleOverflow::Clip));
                if (!dib) return CodecStatus::NoMemory;
                return canvas.Adopt(dib.Release());
            }
            BmpFile bmp;
            bmp.SetMemorySource(data, size);
            const int32_t read = bmp.ReadPictureFromMemory();
            if (read == SPI_OUT_OF_MEMORY) return CodecStatus::NoMemory;
            OwnedHandle dib(bmp.TakeResultDib());
            if (read != SPI_OK || !dib) return CodecStatus::Broken;
            return canvas.Adopt(dib.Release());
        }
        if (layout.IsRle()) return Expand(layout, canvas);
        return Convert(layout, canvas);
    }

    // The header alone: what Decode makes of it, by the same checks.
    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                           PictureHeader& header) const override {
        BmpLayout layout;
        uint16_t bits = 0;
        const CodecStatus checked = Check(data, size, layout, bits);
        if (checked != CodecStatus::Ok) return checked;
        header.width = static_cast<uint32_t>(layout.own.width);
        header.height = static_cast<uint32_t>(layout.own.abs_height);
        header.bit_count = bits;
        ReadResolution(layout, header.result);
        return CodecStatus::Ok;
    }

private:
    // Plans the file and says whether Decode can read it, and at which bit count: the one
    // judgement that the picture read and the header read share.
    static CodecStatus Check(const uint8_t* data, size_t size, BmpLayout& layout,
                             uint16_t& bits) {
        if (!PlanBmpLayout(data, size, layout) || !layout.own_ok) return CodecStatus::Broken;
        const DibMeasures& m = layout.own;
        const uint32_t c = m.compression;
        const bool indexed = m.bit_count == 1 || m.bit_count == 4 || m.bit_count == 8;
        const bool packed = m.bit_count == 16 || m.bit_count == 32;
        if (!indexed && !packed && m.bit_count != 24) return CodecStatus::Unsupported;
        bits = static_cast<uint16_t>(indexed ? m.bit_count : layout.has_alpha_mask ? 32 : 24);
        bool drawable = c == BI_RGB;
        if (layout.IsRle()) {
            drawable = m.bit_count == (c == BI_RLE8 ? 8u : 4u);
        } else if (layout.family == BmpHeaderFamily::Info &&
                   (c == BI_BITFIELDS || c == kAlphaBitFields)) {
            drawable = packed;
        }
        // Others: BI_JPEG and BI_PNG, and OS/2's Huffman 1D and RLE24.
        if (!drawable) return CodecStatus::Unsupported;
        if (!layout.RowsFit()) return CodecStatus::Broken;
        return CodecStatus::Ok;
    }

    // Whether the file is, or its RLE bitmap expands to, a 40-byte-header, BI_RGB, bottom-up
    // 1-, 4-, 8- or 24-bit DIB.
    static bool IsCanvasForm(const BmpLayout& layout) {
        const DibMeasures& m = layout.own;
        const bool indexed = m.bit_count == 1 || m.bit_count == 4 || m.bit_count == 8;
        return m.header_size == kInfoHeaderSize && (m.compression == BI_RGB || layout.IsRle()) &&
               !m.IsTopDown() && (indexed || m.bit_count == 24);
    }

    // biXPelsPerMeter and biYPelsPerMeter, which OS/2 version 2 headers keep at the same places.
    static void ReadResolution(const BmpLayout& layout, DecodeResult& result) {
        if (layout.family == BmpHeaderFamily::Core || layout.own.header_size < 32) return;
        const auto x_ppm = static_cast<int32_t>(ByteReader::LoadU32LE(layout.header + 24));
        const auto y_ppm = static_cast<int32_t>(ByteReader::LoadU32LE(layout.header + 28));
        if (x_ppm > 0 && y_ppm > 0) {
            result.x_dpi = x_ppm * 0.0254;
            result.y_dpi = y_ppm * 0.0254;
        }
    }

    static void CopyPalette(const BmpLayout& layout, DibCanvas& canvas) {
        const DibMeasures& m = layout.own;
        const uint8_t* table = layout.header + layout.table_start;
        const uint64_t room = uint64_t{1} << m.bit_count;
        for (uint64_t i = 0; i < m.color_count && i < room; ++i) {
            const uint8_t* c = table + i * layout.entry_size;
            canvas.Palette()[i] = RgbQuad{c[0], c[1], c[2], 0};
        }
    }

    // Draws an RLE8 or RLE4 stream into the canvas's rows.
    static CodecStatus Expand(const BmpLayout& layout, DibCanvas& canvas) {
        const DibMeasures& m = layout.own;
        const auto height = static_cast<uint32_t>(m.abs_height);
        const CodecStatus created = canvas.Create(static_cast<uint32_t>(m.width), height,
                                                  static_cast<uint16_t>(m.bit_count), true);
        if (created != CodecStatus::Ok) return created;
        CopyPalette(layout, canvas);
        // The stream's first row is the bottom one, or the top one of a top-down bitmap.
        RleRows rows;
        rows.first_row = m.IsTopDown() ? canvas.Row(0) : canvas.Row(height - 1);
        rows.pitch = m.IsTopDown() ? canvas.TopDownPitch() : canvas.Stride();
        rows.stride = static_cast<uint64_t>(canvas.Stride());
        rows.width = static_cast<uint64_t>(m.width);
        rows.count = height;
        ExpandRle(m.bit_count, layout.header + layout.rows, static_cast<size_t>(layout.rows_size),
                  rows, RleOverflow::Clip);
        return CodecStatus::Ok;
    }

    // Converts the file's rows into the canvas's form.
    static CodecStatus Convert(const BmpLayout& layout, DibCanvas& canvas) {
        const DibMeasures& m = layout.own;
        const uint8_t* rows = layout.header + layout.rows;
        const auto height = static_cast<uint32_t>(m.abs_height);
        const auto width = static_cast<uint32_t>(m.width);
        auto source_row = [&](uint32_t y) {
            const uint64_t stored = m.IsTopDown() ? y : height - 1 - y;
            return rows + stored * m.stride;
        };
        const bool indexed = m.bit_count == 1 || m.bit_count == 4 || m.bit_count == 8;
        if (indexed || m.bit_count == 24) {
            const CodecStatus created =
                canvas.Create(width, height, static_cast<uint16_t>(m.bit_count));
            if (created != CodecStatus::Ok) return created;
            if (indexed) CopyPalette(layout, canvas);
            const auto bytes = static_cast<size_t>((uint64_t{width} * m.bit_count + 7) / 8);
            for (uint32_t y = 0; y < height; ++y) std::memcpy(canvas.Row(y), source_row(y), bytes);
            return CodecStatus::Ok;
        }
        uint32_t masks[4] = {0, 0, 0, 0};
        if (m.compression == BI_BITFIELDS || m.compression == kAlphaBitFields) {
            // The masks follow a 40-byte header, or sit inside the larger ones.
            for (int i = 0; i < 3; ++i) masks[i] = ByteReader::LoadU32LE(layout.Masks() + 4 * i);
            if (layout.has_alpha_mask) masks[3] = ByteReader::LoadU32LE(layout.Masks() + 12);
        } else if (m.bit_count == 16) {
            masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
        } else {
            masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
        }
        const BitFieldChannel red(masks[0]), green(masks[1]), blue(masks[2]), alpha(masks[3]);
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
