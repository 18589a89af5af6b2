// QOI through our own decoder of the published format: a 14-byte header, then a stream of
// RGB, RGBA, INDEX, DIFF, LUMA and RUN operations and an 8-byte end marker. Three channels give
// 24-bit BGR, four give 32-bit BGRA with straight alpha, opaque or not (the header says the
// picture has alpha; that is the file's promise, kept as it is).
#include <cstring>

#include "ByteReader.h"
#include "CodecBackends.h"

namespace {

constexpr size_t kHeaderSize = 14;

struct Pixel {
    uint8_t r = 0, g = 0, b = 0, a = 255;
};

size_t IndexOf(const Pixel& p) { return (p.r * 3u + p.g * 5u + p.b * 7u + p.a * 11u) % 64u; }

class QoiCodec final : public OnePassBackend<QoiCodec> {
public:
    uint32_t Type() const override { return kTypeQoi; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= 4 && std::memcmp(p, "qoif", 4) == 0;
    }

    // With `header_only` set, the header is read and the raster's size checked against the data, and
    // the picture's measures reported instead of decoding it.
    static CodecStatus Read(const uint8_t* data, size_t size, DibCanvas& canvas,
                            PictureHeader* header_only) {
        if (size < kHeaderSize) return CodecStatus::Broken;
        const uint32_t width = ByteReader::LoadU32BE(data + 4);
        const uint32_t height = ByteReader::LoadU32BE(data + 8);
        const uint8_t channels = data[12];
        // The colour space byte (13) only informs; the samples are taken as they are.
        if (channels != 3 && channels != 4) return CodecStatus::Broken;
        if (width == 0 || height == 0) return CodecStatus::Broken;
        // A byte covers at most 62 pixels (a run): refuse a picture its data cannot fill
        // before allocating it.
        if (uint64_t{width} * height > uint64_t{size - kHeaderSize} * 62) {
            return CodecStatus::Broken;
        }
        const uint16_t bit_count = channels == 4 ? 32 : 24;
        if (header_only) {
            header_only->width = width;
            header_only->height = height;
            header_only->bit_count = bit_count;
            return CodecStatus::Ok;
        }
        const CodecStatus created = canvas.Create(width, height, bit_count);
        if (created != CodecStatus::Ok) return created;

        ByteReader in(data + kHeaderSize, size - kHeaderSize);
        Pixel index[64] = {};
        for (Pixel& p : index) p.a = 0;
        Pixel px;
        uint32_t run = 0;
        const uint32_t step = bit_count / 8u;
        for (uint32_t y = 0; y < height; ++y) {
            uint8_t* d = canvas.Row(y);
            for (uint32_t x = 0; x < width; ++x, d += step) {
                if (run > 0) {
                    --run;
                } else {
                    uint8_t op = 0;
                    if (!in.ReadU8(op) || !Apply(op, in, index, px, run)) {
                        return CodecStatus::Broken;
                    }
                    index[IndexOf(px)] = px;
                }
                d[0] = px.b;
                d[1] = px.g;
                d[2] = px.r;
                if (step == 4) d[3] = px.a;
            }
        }
        // A missing end marker after the last pixel is forgiven.
        return CodecStatus::Ok;
    }

private:
    static bool Apply(uint8_t op, ByteReader& in, const Pixel* index, Pixel& px, uint32_t& run) {
        if (op == 0xFE) return in.ReadU8(px.r) && in.ReadU8(px.g) && in.ReadU8(px.b);
        if (op == 0xFF) {
            return in.ReadU8(px.r) && in.ReadU8(px.g) && in.ReadU8(px.b) && in.ReadU8(px.a);
        }
        const uint8_t arg = op & 0x3F;
        switch (op >> 6) {
            case 0:  // INDEX
                px = index[arg];
                return true;
            case 1:  // DIFF: -2..1 on each channel, wrapping
                px.r = static_cast<uint8_t>(px.r + ((arg >> 4) & 3) - 2);
                px.g = static_cast<uint8_t>(px.g + ((arg >> 2) & 3) - 2);
                px.b = static_cast<uint8_t>(px.b + (arg & 3) - 2);
                return true;
            case 2: {  // LUMA: green -32..31, red and blue -8..7 beyond green's change
                uint8_t next = 0;
                if (!in.ReadU8(next)) return false;
                const int dg = arg - 32;
                px.r = static_cast<uint8_t>(px.r + dg + (next >> 4) - 8);
                px.g = static_cast<uint8_t>(px.g + dg);
                px.b = static_cast<uint8_t>(px.b + dg + (next & 0x0F) - 8);
                return true;
            }
            default:  // RUN: this pixel and `arg` more
                run = arg;
                return true;
        }
    }
};

}  // namespace

const CodecBackend& QoiBackend() {
    static const QoiCodec backend;
    return backend;
}
