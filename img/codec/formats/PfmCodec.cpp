// PFM (portable float maps) through our own reader: "PF" (RGB) or "Pf" (grey), the width and
// height, a scale whose sign gives the byte order (negative: little-endian) and whose magnitude
// is not applied, one white-space character, then 32-bit floats in rows from the bottom up. The
// values are shown by the high dynamic range rule (clamped to [0, 1], then the sRGB transfer
// curve): grey as an 8-bit DIB with a grey ramp, RGB as 24-bit.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ByteReader.h"
#include "Checked.h"
#include "CodecBackends.h"
#include "SampleScale.h"

namespace {

bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The next white-space separated word of the header.
bool NextWord(const uint8_t* data, size_t size, size_t& pos, std::string& word) {
    while (pos < size && IsSpace(data[pos])) ++pos;
    const size_t start = pos;
    while (pos < size && !IsSpace(data[pos]) && pos - start < 64) ++pos;
    word.assign(reinterpret_cast<const char*>(data) + start, pos - start);
    return !word.empty() && pos < size;
}

bool ParseU32(const std::string& s, uint32_t& out) {
    if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const uint64_t v = std::strtoull(s.c_str(), nullptr, 10);
    out = static_cast<uint32_t>(v);
    return v <= UINT32_MAX;
}

float LoadFloat(const uint8_t* p, bool little_endian) {
    const uint32_t bits = little_endian ? ByteReader::LoadU32LE(p) : ByteReader::LoadU32BE(p);
    float f = 0;
    std::memcpy(&f, &bits, 4);
    return f;
}

class PfmCodec final : public OnePassBackend<PfmCodec> {
public:
    uint32_t Type() const override { return kTypePfm; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= 3 && p[0] == 'P' && (p[1] == 'F' || p[1] == 'f') && IsSpace(p[2]);
    }

    static CodecStatus Read(const uint8_t* data, size_t size, DibCanvas& canvas,
                            PictureHeader* header) {
        const uint32_t channels = data[1] == 'F' ? 3 : 1;
        size_t pos = 2;
        std::string w, h, scale;
        uint32_t width = 0, height = 0;
        if (!NextWord(data, size, pos, w) || !NextWord(data, size, pos, h) ||
            !NextWord(data, size, pos, scale) || !ParseU32(w, width) || !ParseU32(h, height)) {
            return CodecStatus::Broken;
        }
        char* end = nullptr;
        const double s = std::strtod(scale.c_str(), &end);
        if (end != scale.c_str() + scale.size() || !(s == s)) return CodecStatus::Broken;
        const bool little_endian = s < 0 || (s == 0 && std::signbit(s));
        ++pos;  // the one white-space character after the scale
        const CodecStatus declared = CheckDeclaredSize(width, height);
        if (declared != CodecStatus::Ok) return declared;
        const uint64_t row_bytes = uint64_t{width} * channels * 4;
        if (row_bytes * height > size - pos) return CodecStatus::Broken;
        const uint16_t bit_count = channels == 3 ? 24 : 8;
        const CodecStatus created = MeasureOrCreate(header, canvas, width, height, bit_count);
        if (created != CodecStatus::Ok || header) return created;
        if (channels == 1) canvas.SetGreyPalette();
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* s_row = data + pos + (uint64_t{height} - 1 - y) * row_bytes;
            uint8_t* d = canvas.Row(y);
            for (uint32_t x = 0; x < width; ++x, s_row += 4 * channels, d += channels) {
                if (channels == 1) {
                    d[0] = LinearToDisplay8(LoadFloat(s_row, little_endian));
                    continue;
                }
                d[0] = LinearToDisplay8(LoadFloat(s_row + 8, little_endian));
                d[1] = LinearToDisplay8(LoadFloat(s_row + 4, little_endian));
                d[2] = LinearToDisplay8(LoadFloat(s_row, little_endian));
            }
        }
        canvas.ClearRowPadding();
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& PfmBackend() {
    static const PfmCodec backend;
    return backend;
}
