// TGA through our own reader: colour-mapped, true-colour and grey pictures, uncompressed or
// run-length encoded (packets may run on from one row into the next), with either origin.
// Alpha follows the header's alpha-bit count: 32-bit pixels (or colour-map entries) with alpha
// bits, 16-bit ones with an alpha bit and 16-bit grey with an alpha byte give 32-bit BGRA; with
// no alpha bits declared the extra bits are ignored. Colour-mapped pictures without alpha stay
// 8-bit with the map as palette, grey ones 8-bit with a grey ramp, the rest 24-bit BGR.
//
// TGA has no signature, so Sniff accepts only headers whose every field is consistent.
#include <cstring>

#include "ByteReader.h"
#include "Checked.h"
#include "CodecBackends.h"
#include "SampleScale.h"

namespace {

constexpr size_t kHeaderSize = 18;

struct TgaHeader {
    uint8_t id_length = 0;
    uint8_t map_type = 0;
    uint8_t image_type = 0;
    uint16_t map_first = 0;
    uint16_t map_length = 0;
    uint8_t map_entry_bits = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t pixel_bits = 0;
    uint8_t descriptor = 0;

    uint8_t BaseType() const { return image_type & 7; }  // 1 mapped, 2 true colour, 3 grey
    bool IsRle() const { return image_type >= 9; }
    uint32_t AlphaBits() const { return descriptor & 0x0F; }
    bool IsTopDown() const { return (descriptor & 0x20) != 0; }
    bool IsRightToLeft() const { return (descriptor & 0x10) != 0; }
    uint64_t MapBytes() const { return uint64_t{map_length} * ((map_entry_bits + 7u) / 8u); }
};

TgaHeader ParseHeader(const uint8_t* p) {
    TgaHeader h;
    h.id_length = p[0];
    h.map_type = p[1];
    h.image_type = p[2];
    h.map_first = ByteReader::LoadU16LE(p + 3);
    h.map_length = ByteReader::LoadU16LE(p + 5);
    h.map_entry_bits = p[7];
    h.width = ByteReader::LoadU16LE(p + 12);
    h.height = ByteReader::LoadU16LE(p + 14);
    h.pixel_bits = p[16];
    h.descriptor = p[17];
    return h;
}

bool IsColourBits(uint8_t bits) { return bits == 15 || bits == 16 || bits == 24 || bits == 32; }

// Whether every field agrees with the others: the only test TGA allows.
bool IsConsistent(const TgaHeader& h, size_t size) {
    const uint8_t t = h.image_type;
    if (t != 1 && t != 2 && t != 3 && t != 9 && t != 10 && t != 11) return false;
    if (h.width == 0 || h.height == 0 || (h.descriptor & 0xC0) != 0) return false;
    if (h.map_type > 1) return false;
    if (h.map_type == 1) {
        if (!IsColourBits(h.map_entry_bits) || h.map_length == 0) return false;
    } else if (h.map_length != 0) {
        return false;
    }
    switch (h.BaseType()) {
        case 1:
            if (h.map_type != 1 || h.pixel_bits != 8) return false;
            break;
        case 2:
            if (!IsColourBits(h.pixel_bits)) return false;
            break;
        default:
            if (h.pixel_bits != 8 && h.pixel_bits != 16) return false;
    }
    const uint32_t alpha = h.AlphaBits();
    const uint8_t colour_bits = h.BaseType() == 1 ? h.map_entry_bits : h.pixel_bits;
    if (alpha != 0 && !(alpha == 8 && (colour_bits == 32 || colour_bits == 16)) &&
        !(alpha == 1 && colour_bits == 16)) {
        return false;
    }
    return kHeaderSize + h.id_length + h.MapBytes() <= size;
}

// A stored pixel (or map entry) of `bits` bits as B, G, R, A.
void Expand(const uint8_t* p, uint32_t bits, bool alpha, uint8_t* out) {
    if (bits <= 16) {
        const uint32_t v = ByteReader::LoadU16LE(p);
        Expand555(v, out);
        out[3] = alpha && bits == 16 ? ((v & 0x8000) ? 255 : 0) : 255;
        return;
    }
    out[0] = p[0];
    out[1] = p[1];
    out[2] = p[2];
    out[3] = alpha && bits == 32 ? p[3] : 255;
}

// The stored pixels in file order, raw or from run-length packets.
class PixelStream {
public:
    PixelStream(ByteReader data, uint32_t pixel_bytes, bool rle)
        : m_data(data), m_pixelBytes(pixel_bytes), m_rle(rle) {}

    const uint8_t* Next() {
        if (!m_rle) {
            const uint8_t* p = m_data.Position();
            return m_data.Skip(m_pixelBytes) ? p : nullptr;
        }
        if (m_left == 0) {
            uint8_t header = 0;
            if (!m_data.ReadU8(header)) return nullptr;
            m_left = (header & 0x7Fu) + 1;
            m_repeat = (header & 0x80) != 0;
            if (m_repeat) {
                m_pixel = m_data.Position();
                if (!m_data.Skip(m_pixelBytes)) return nullptr;
            }
        }
        --m_left;
        if (m_repeat) return m_pixel;
        const uint8_t* p = m_data.Position();
        return m_data.Skip(m_pixelBytes) ? p : nullptr;
    }

private:
    ByteReader m_data;
    const uint8_t* m_pixel = nullptr;
    uint32_t m_pixelBytes;
    uint32_t m_left = 0;
    bool m_repeat = false;
    bool m_rle;
};

class TgaCodec final : public OnePassBackend<TgaCodec> {
public:
    uint32_t Type() const override { return kTypeTga; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= kHeaderSize && IsConsistent(ParseHeader(p), size);
    }

    // With `header` set, the header, colour map and raster size are checked and the picture's
    // measures reported instead of decoding it.
    static CodecStatus Read(const uint8_t* data, size_t size, DibCanvas& canvas,
                            PictureHeader* header) {
        const TgaHeader h = ParseHeader(data);
        ByteReader r(data, size);
        ByteReader map;
        if (!r.Skip(kHeaderSize + h.id_length) || !r.Take(static_cast<size_t>(h.MapBytes()), map)) {
            return CodecStatus::Broken;
        }
        const bool alpha = h.AlphaBits() > 0;
        const uint32_t pixel_bytes = (h.pixel_bits + 7u) / 8u;
        const uint32_t entry_bytes = (h.map_entry_bits + 7u) / 8u;
        // Without run-length packets the raster must be whole; with them, a packet of at most
        // 128 pixels takes a header and a pixel at least.
        const uint64_t pixel_count = uint64_t{h.width} * h.height;
        const uint64_t least =
            h.IsRle() ? (pixel_count + 127) / 128 * (1u + pixel_bytes) : pixel_count * pixel_bytes;
        if (least > r.Remaining()) return CodecStatus::Broken;
        uint16_t bit_count = alpha ? 32 : 24;
        if (!alpha && h.BaseType() != 2) bit_count = 8;
        const CodecStatus created = MeasureOrCreate(header, canvas, h.width, h.height, bit_count);
        if (created != CodecStatus::Ok || header) return created;
        if (bit_count == 8 && h.BaseType() == 3) canvas.SetGreyPalette();
        if (bit_count == 8 && h.BaseType() == 1) {
            for (uint32_t i = 0; i < h.map_length && h.map_first + i < 256; ++i) {
                uint8_t c[4];
                Expand(map.Position() + uint64_t{i} * entry_bytes, h.map_entry_bits, false, c);
                canvas.Palette()[h.map_first + i] = RgbQuad{c[0], c[1], c[2], 0};
            }
        }

        PixelStream pixels(r, pixel_bytes, h.IsRle());
        const uint32_t step = bit_count / 8u;
        for (uint32_t row = 0; row < h.height; ++row) {
            uint8_t* d = canvas.Row(h.IsTopDown() ? row : h.height - 1u - row);
            for (uint32_t i = 0; i < h.width; ++i) {
                const uint8_t* p = pixels.Next();
                if (!p) return CodecStatus::Broken;
                const uint32_t x = h.IsRightToLeft() ? h.width - 1u - i : i;
                uint8_t* q = d + uint64_t{x} * step;
                if (h.BaseType() == 3) {
                    if (step == 1) {
                        q[0] = p[0];
                    } else {
                        q[0] = q[1] = q[2] = p[0];
                        q[3] = p[1];
                    }
                } else if (h.BaseType() == 2) {
                    uint8_t c[4];
                    Expand(p, h.pixel_bits, alpha, c);
                    std::memcpy(q, c, step);
                } else if (step == 1) {
                    q[0] = p[0];
                } else {
                    // Indices outside the map are transparent black.
                    uint8_t c[4] = {0, 0, 0, 0};
                    const uint32_t entry = p[0] - uint32_t{h.map_first};
                    if (p[0] >= h.map_first && entry < h.map_length) {
                        Expand(map.Position() + uint64_t{entry} * entry_bytes, h.map_entry_bits,
                               true, c);
                    }
                    std::memcpy(q, c, 4);
                }
            }
        }
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& TgaBackend() {
    static const TgaCodec backend;
    return backend;
}
