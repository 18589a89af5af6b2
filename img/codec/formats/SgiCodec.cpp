// SGI (IRIS) images through our own reader: a 512-byte big-endian header, then the channels one
// after the other, each a stack of rows from the bottom up, verbatim or run-length encoded
// (offset and length tables give every row of every channel). 8- and 16-bit samples (16-bit
// rounded to 8), 1 to 4 channels: grey gives an 8-bit DIB with a grey ramp, grey and alpha and
// RGBA 32-bit BGRA with straight alpha, RGB 24-bit. Files of the obsolete colour-map kinds and
// with more than four channels are not read.
#include <vector>

#include "ByteReader.h"
#include "Checked.h"
#include "CodecBackends.h"
#include "SampleScale.h"

namespace {

constexpr size_t kHeaderSize = 512;

struct SgiHeader {
    bool rle = false;
    uint32_t bpc = 1;  // bytes a sample
    uint32_t width = 0, height = 0, channels = 0;
};

CodecStatus ParseHeader(const uint8_t* p, size_t size, SgiHeader& h) {
    if (size < kHeaderSize) return CodecStatus::Broken;
    const uint8_t storage = p[2];
    h.bpc = p[3];
    const uint16_t dimension = ByteReader::LoadU16BE(p + 4);
    h.width = ByteReader::LoadU16BE(p + 6);
    h.height = dimension >= 2 ? ByteReader::LoadU16BE(p + 8) : 1u;
    h.channels = dimension == 3 ? ByteReader::LoadU16BE(p + 10) : 1u;
    if (storage > 1 || (h.bpc != 1 && h.bpc != 2) || dimension < 1 || dimension > 3) {
        return CodecStatus::Broken;
    }
    h.rle = storage == 1;
    if (ByteReader::LoadU32BE(p + 104) != 0) return CodecStatus::Unsupported;  // colour maps
    if (h.channels == 0) return CodecStatus::Broken;
    if (h.channels > 4) return CodecStatus::Unsupported;
    return CheckDeclaredSize(h.width, h.height);
}

// One run-length encoded row into `out` (width samples). Each packet's count byte has the
// count in its low seven bits (0 ends the row); with the high bit set that many samples follow,
// else one sample to repeat. 16-bit files count and repeat 16-bit units.
bool ExpandRow(ByteReader in, uint32_t bpc, uint16_t* out, uint32_t width) {
    uint32_t x = 0;
    for (;;) {
        uint32_t unit = 0;
        auto next = [&](uint32_t& v) {
            uint16_t w = 0;
            uint8_t b = 0;
            const bool ok = bpc == 2 ? in.ReadU16BE(w) : in.ReadU8(b);
            v = bpc == 2 ? w : b;
            return ok;
        };
        if (!next(unit)) return false;
        const uint32_t count = unit & 0x7F;
        if (count == 0) break;
        if (count > width - x) return false;
        if (unit & 0x80) {
            for (uint32_t i = 0; i < count; ++i) {
                if (!next(unit)) return false;
                out[x++] = static_cast<uint16_t>(unit);
            }
        } else {
            if (!next(unit)) return false;
            for (uint32_t i = 0; i < count; ++i) out[x++] = static_cast<uint16_t>(unit);
        }
        if (x == width) break;
    }
    return x == width;
}

class SgiCodec final : public OnePassBackend<SgiCodec> {
public:
    uint32_t Type() const override { return kTypeSgi; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= 4 && p[0] == 0x01 && p[1] == 0xDA && p[2] <= 1 && (p[3] == 1 || p[3] == 2);
    }

    static CodecStatus Read(const uint8_t* data, size_t size, DibCanvas& canvas,
                            PictureHeader* header) {
        SgiHeader h;
        const CodecStatus parsed = ParseHeader(data, size, h);
        if (parsed != CodecStatus::Ok) return parsed;
        const uint64_t rows = uint64_t{h.height} * h.channels;
        // Verbatim data is whole; encoded data has its two tables.
        const uint64_t least = h.rle ? rows * 8 : rows * h.width * h.bpc;
        if (least > size - kHeaderSize) return CodecStatus::Broken;
        const uint16_t bit_count = h.channels == 1 ? 8 : (h.channels == 3 ? 24 : 32);
        const CodecStatus created = MeasureOrCreate(header, canvas, h.width, h.height, bit_count);
        if (created != CodecStatus::Ok || header) return created;
        if (bit_count == 8) canvas.SetGreyPalette();

        // BGR(A) slots of channels 0..3; grey and alpha fill B, G, R from channel 0.
        static const int kSlot[4][4] = {{0}, {0, 3}, {2, 1, 0}, {2, 1, 0, 3}};
        const int* slot = kSlot[h.channels - 1];
        const uint32_t step = bit_count / 8u;
        std::vector<uint16_t> row(h.width);
        for (uint32_t c = 0; c < h.channels; ++c) {
            for (uint32_t y = 0; y < h.height; ++y) {
                const uint64_t index = uint64_t{c} * h.height + y;
                if (h.rle) {
                    const uint32_t start = ByteReader::LoadU32BE(data + kHeaderSize + 4 * index);
                    const uint32_t length =
                        ByteReader::LoadU32BE(data + kHeaderSize + 4 * (rows + index));
                    if (start > size || length > size - start) return CodecStatus::Broken;
                    if (!ExpandRow(ByteReader(data + start, length), h.bpc, row.data(), h.width)) {
                        return CodecStatus::Broken;
                    }
                } else {
                    const uint8_t* s = data + kHeaderSize + index * h.width * h.bpc;
                    for (uint32_t x = 0; x < h.width; ++x) {
                        row[x] = h.bpc == 2 ? ByteReader::LoadU16BE(s + 2 * x) : s[x];
                    }
                }
                uint8_t* d = canvas.Row(h.height - 1 - y) + slot[c];
                for (uint32_t x = 0; x < h.width; ++x, d += step) {
                    const uint8_t v = h.bpc == 2 ? Reduce16(row[x]) : static_cast<uint8_t>(row[x]);
                    d[0] = v;
                    if (c == 0 && h.channels == 2) d[1] = d[2] = v;  // grey of grey and alpha
                }
            }
        }
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& SgiBackend() {
    static const SgiCodec backend;
    return backend;
}
