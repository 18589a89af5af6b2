// WBMP (type 0) through our own reader: a type field of 0, a fixed header byte, width and height
// as multi-byte integers (seven bits a byte, the high bit set on every byte but the last), then
// the rows, each padded to a byte, the first pixel in the highest bit, 1 white. A 1-bit DIB with
// entry 0 black. The format has no signature: Sniff takes only a type-0 header whose rows fill
// the file exactly.
#include <cstring>

#include "ByteReader.h"
#include "CodecBackends.h"

namespace {

// A multi-byte integer of at most 32 bits.
bool ReadMultiByte(ByteReader& in, uint32_t& out) {
    uint64_t v = 0;
    for (int i = 0; i < 5; ++i) {
        uint8_t b = 0;
        if (!in.ReadU8(b)) return false;
        v = v << 7 | (b & 0x7Fu);
        if (v > UINT32_MAX) return false;
        if (!(b & 0x80)) {
            out = static_cast<uint32_t>(v);
            return true;
        }
    }
    return false;
}

struct WbmpHeader {
    uint32_t width = 0, height = 0;
    size_t data_offset = 0;
};

bool ParseHeader(const uint8_t* data, size_t size, WbmpHeader& h) {
    ByteReader in(data, size);
    uint32_t type = 0;
    uint8_t fixed = 0;
    // Extension headers (the fixed byte's high bit) belong to types other than 0.
    if (!ReadMultiByte(in, type) || type != 0 || !in.ReadU8(fixed) || fixed != 0) return false;
    if (!ReadMultiByte(in, h.width) || !ReadMultiByte(in, h.height)) return false;
    h.data_offset = size - in.Remaining();
    return h.width != 0 && h.height != 0;
}

class WbmpCodec final : public OnePassBackend<WbmpCodec> {
public:
    uint32_t Type() const override { return kTypeWbmp; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        WbmpHeader h;
        return ParseHeader(p, size, h) &&
               (uint64_t{h.width} + 7) / 8 * h.height == size - h.data_offset;
    }

    static CodecStatus Read(const uint8_t* data, size_t size, DibCanvas& canvas,
                            PictureHeader* header) {
        WbmpHeader h;
        if (!ParseHeader(data, size, h)) return CodecStatus::Broken;
        const CodecStatus declared = CheckDeclaredSize(h.width, h.height);
        if (declared != CodecStatus::Ok) return declared;
        const uint64_t row_bytes = (uint64_t{h.width} + 7) / 8;
        if (row_bytes * h.height > size - h.data_offset) return CodecStatus::Broken;
        if (header) {
            header->width = h.width;
            header->height = h.height;
            header->bit_count = 1;
            return CodecStatus::Ok;
        }
        const CodecStatus created = canvas.Create(h.width, h.height, 1);
        if (created != CodecStatus::Ok) return created;
        canvas.Palette()[1] = RgbQuad{255, 255, 255, 0};
        for (uint32_t y = 0; y < h.height; ++y) {
            std::memcpy(canvas.Row(y), data + h.data_offset + y * row_bytes, static_cast<size_t>(row_bytes));
        }
        canvas.ClearRowPadding();
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& WbmpBackend() {
    static const WbmpCodec backend;
    return backend;
}
