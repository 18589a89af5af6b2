// Sun raster files through our own reader: a 32-byte big-endian header, an optional colour map
// (all reds, then all greens, then all blues) and rows padded to 16 bits. Types 0 and 1 store
// the rows as they are, type 2 run-length encodes them (0x80 N V repeats V N + 1 times; 0x80 0
// is a single 0x80; runs may cross rows), type 3 stores colour in RGB order instead of BGR.
// Depths 1 (1 black, or the map's two colours), 8 (the map as palette, or grey), 24 (BGR or
// RGB) and 32 (a pad byte before each pixel's BGR or RGB, not shown as alpha).
#include <cstring>
#include <vector>

#include "ByteReader.h"
#include "CodecBackends.h"
#include "RunStream.h"

namespace {

constexpr size_t kHeaderSize = 32;
constexpr uint8_t kMagic[4] = {0x59, 0xA6, 0x6A, 0x95};

struct SunHeader {
    uint32_t width = 0, height = 0, depth = 0, type = 0, map_type = 0, map_length = 0;
};

// A packet of Sun's run-length code: 0x80 N V repeats V N + 1 times, 0x80 0 is a single 0x80,
// and any other byte stands for itself.
bool SunPacket(ByteReader& in, uint32_t& count, uint8_t& value) {
    uint8_t b = 0, n = 0;
    if (!in.ReadU8(b)) return false;
    count = 1, value = b;
    if (b != 0x80) return true;
    if (!in.ReadU8(n)) return false;
    if (n == 0) return true;
    count = n + 1u;
    return in.ReadU8(value);
}

class SunRasterCodec final : public OnePassBackend<SunRasterCodec> {
public:
    uint32_t Type() const override { return kTypeSunRaster; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= 4 && std::memcmp(p, kMagic, 4) == 0;
    }

    static CodecStatus Read(const uint8_t* data, size_t size, DibCanvas& canvas,
                            PictureHeader* header) {
        if (size < kHeaderSize) return CodecStatus::Broken;
        SunHeader h;
        h.width = ByteReader::LoadU32BE(data + 4);
        h.height = ByteReader::LoadU32BE(data + 8);
        h.depth = ByteReader::LoadU32BE(data + 12);
        h.type = ByteReader::LoadU32BE(data + 20);
        h.map_type = ByteReader::LoadU32BE(data + 24);
        h.map_length = ByteReader::LoadU32BE(data + 28);
        if (h.type > 3 || h.map_type > 2) return CodecStatus::Unsupported;
        if (h.depth != 1 && h.depth != 8 && h.depth != 24 && h.depth != 32) {
            return CodecStatus::Unsupported;
        }
        // A raw (type 2) map is not colours: ignored. An RGB map gives colours to 1 and 8 bits.
        const bool rgb_map = h.map_type == 1 && h.map_length >= 3;
        if (h.map_length > size - kHeaderSize) return CodecStatus::Broken;
        const CodecStatus declared = CheckDeclaredSize(h.width, h.height);
        if (declared != CodecStatus::Ok) return declared;
        const uint64_t row_bytes = (uint64_t{h.width} * h.depth + 15) / 16 * 2;
        const uint64_t available = size - kHeaderSize - h.map_length;
        // A run of three bytes gives at most 256.
        const bool rle = h.type == 2;
        if (row_bytes * h.height > (rle ? available * 86 : available)) return CodecStatus::Broken;
        const uint16_t bit_count = h.depth <= 8 ? static_cast<uint16_t>(h.depth) : 24;
        const CodecStatus created = MeasureOrCreate(header, canvas, h.width, h.height, bit_count);
        if (created != CodecStatus::Ok || header) return created;
        RgbQuad* palette = canvas.Palette();
        if (h.depth <= 8) {
            if (rgb_map) {
                const uint32_t entries = h.map_length / 3;
                const uint8_t* map = data + kHeaderSize;
                for (uint32_t i = 0; i < entries && i < (1u << h.depth); ++i) {
                    palette[i] = RgbQuad{map[2 * entries + i], map[entries + i], map[i], 0};
                }
            } else if (h.depth == 8) {
                canvas.SetGreyPalette();
            } else {
                palette[0] = RgbQuad{255, 255, 255, 0};  // 0 white, 1 black
            }
        }
        RunStream rows(ByteReader(data + kHeaderSize + h.map_length, static_cast<size_t>(available)),
                       rle, SunPacket);
        std::vector<uint8_t> row(static_cast<size_t>(row_bytes));
        const bool rgb_order = h.type == 3;
        const uint32_t pad = h.depth == 32 ? 1 : 0;
        for (uint32_t y = 0; y < h.height; ++y) {
            if (!rows.Read(row.data(), row.size())) return CodecStatus::Broken;
            uint8_t* d = canvas.Row(y);
            if (h.depth <= 8) {
                std::memcpy(d, row.data(), static_cast<size_t>((uint64_t{h.width} * h.depth + 7) / 8));
                continue;
            }
            const uint8_t* s = row.data() + pad;
            for (uint32_t x = 0; x < h.width; ++x, d += 3, s += 3 + pad) {
                d[0] = rgb_order ? s[2] : s[0];
                d[1] = s[1];
                d[2] = rgb_order ? s[0] : s[2];
            }
        }
        canvas.ClearRowPadding();
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& SunRasterBackend() {
    static const SunRasterCodec backend;
    return backend;
}
