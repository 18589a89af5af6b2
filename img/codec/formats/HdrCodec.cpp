// Radiance HDR (RGBE) through our own reader: text header lines up to an empty one (the format,
// here 32-bit_rle_rgbe; XYZE is not read), a resolution line, then scan lines of RGBE pixels,
// flat, in the old run form (1 1 1 N repeats the last pixel) or in the adaptive run form (2 2
// and the width, then each of the four channels in runs of 128 + N or N literal bytes). The
// values are shown as written (an EXPOSURE line is not undone), by the high dynamic range rule:
// clamped to [0, 1], then the sRGB transfer curve, as a 24-bit DIB. Rows run top down or bottom
// up (-Y or +Y) and left to right or back (+X or -X); pictures stored by columns are not read.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "ByteReader.h"
#include "CodecBackends.h"
#include "SampleScale.h"

namespace {

constexpr size_t kMaxHeader = 65536;

struct HdrHeader {
    uint32_t width = 0, height = 0;
    bool bottom_up = false, right_to_left = false;
    size_t data_offset = 0;
};

// "-Y 480 +X 640" and its flips; false for anything else.
bool ParseResolution(std::string_view line, HdrHeader& h) {
    uint64_t n[2] = {};
    char sign[2] = {}, axis[2] = {};
    size_t i = 0;
    for (int k = 0; k < 2; ++k) {
        while (i < line.size() && line[i] == ' ') ++i;
        if (i + 2 > line.size()) return false;
        sign[k] = line[i], axis[k] = line[i + 1];
        i += 2;
        while (i < line.size() && line[i] == ' ') ++i;
        const size_t start = i;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9' && n[k] <= UINT32_MAX) {
            n[k] = n[k] * 10 + static_cast<uint32_t>(line[i++] - '0');
        }
        if (i == start || n[k] > UINT32_MAX || (sign[k] != '-' && sign[k] != '+')) return false;
    }
    if (axis[0] != 'Y' || axis[1] != 'X') return false;
    h.height = static_cast<uint32_t>(n[0]);
    h.width = static_cast<uint32_t>(n[1]);
    h.bottom_up = sign[0] == '+';
    h.right_to_left = sign[1] == '-';
    return true;
}

CodecStatus ParseHeader(const uint8_t* data, size_t size, HdrHeader& h) {
    const std::string_view text(reinterpret_cast<const char*>(data), std::min(size, kMaxHeader));
    size_t pos = 0;
    bool blank_seen = false;
    while (!blank_seen) {
        const size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) return CodecStatus::Broken;
        std::string_view line = text.substr(pos, eol - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // CR LF lines
        pos = eol + 1;
        if (line.compare(0, 7, "FORMAT=") == 0 && line.substr(7) != "32-bit_rle_rgbe") {
            return CodecStatus::Unsupported;
        }
        blank_seen = line.empty();
    }
    const size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) return CodecStatus::Broken;
    HdrHeader parsed;
    if (!ParseResolution(text.substr(pos, eol - pos), parsed)) {
        return text.substr(pos, 2).find('X') != std::string_view::npos ? CodecStatus::Unsupported
                                                                       : CodecStatus::Broken;
    }
    parsed.data_offset = eol + 1;
    h = parsed;
    return CheckDeclaredSize(h.width, h.height);
}

// One scan line of `width` RGBE pixels into `out`.
bool ReadScanLine(ByteReader& in, uint32_t width, uint8_t* out) {
    const uint8_t* p = in.Position();
    if (width >= 8 && width < 0x8000 && in.Remaining() >= 4 && p[0] == 2 && p[1] == 2 &&
        !(p[2] & 0x80) && (uint32_t{p[2]} << 8 | p[3]) == width) {
        if (!in.Skip(4)) return false;
        for (uint32_t c = 0; c < 4; ++c) {
            for (uint32_t x = 0; x < width;) {
                uint8_t count = 0, value = 0;
                if (!in.ReadU8(count) || count == 0 || count == 128) return false;
                const bool run = count > 128;
                const uint32_t n = run ? count - 128u : count;
                if (n > width - x) return false;
                for (uint32_t i = 0; i < n; ++i, ++x) {
                    if ((run && i == 0) || !run) {
                        if (!in.ReadU8(value)) return false;
                    }
                    out[4 * x + c] = value;
                }
            }
        }
        return true;
    }
    // Flat pixels, where 1 1 1 N repeats the last pixel N times (shifted 8 bits more for each
    // such pixel in a row).
    uint32_t shift = 0;
    for (uint32_t x = 0; x < width;) {
        uint8_t px[4];
        if (!in.ReadBytes(px, 4)) return false;
        if (px[0] == 1 && px[1] == 1 && px[2] == 1 && x > 0) {
            const uint64_t repeat = uint64_t{px[3]} << shift;
            if (repeat > width - x) return false;
            for (uint64_t i = 0; i < repeat; ++i, ++x) std::memcpy(out + 4 * x, out + 4 * (x - 1), 4);
            shift = shift < 24 ? shift + 8 : shift;
            continue;
        }
        shift = 0;
        std::memcpy(out + 4 * x, px, 4);
        ++x;
    }
    return true;
}

class HdrCodec final : public OnePassBackend<HdrCodec> {
public:
    uint32_t Type() const override { return kTypeHdr; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return (size >= 10 && std::memcmp(p, "#?RADIANCE", 10) == 0) ||
               (size >= 6 && std::memcmp(p, "#?RGBE", 6) == 0);
    }

    static CodecStatus Read(const uint8_t* data, size_t size, DibCanvas& canvas,
                            PictureHeader* header) {
        HdrHeader h;
        const CodecStatus parsed = ParseHeader(data, size, h);
        if (parsed != CodecStatus::Ok) return parsed;
        // A run of two bytes gives at most 127 samples: a pixel takes 8/127 bytes at least.
        const uint64_t available = size - h.data_offset;
        if (uint64_t{h.width} * h.height * 8 > available * 127 + 127) return CodecStatus::Broken;
        if (header) {
            header->width = h.width;
            header->height = h.height;
            header->bit_count = 24;
            return CodecStatus::Ok;
        }
        const CodecStatus created = canvas.Create(h.width, h.height, 24);
        if (created != CodecStatus::Ok) return created;
        ByteReader in(data + h.data_offset, static_cast<size_t>(available));
        std::vector<uint8_t> line(uint64_t{h.width} * 4);
        for (uint32_t y = 0; y < h.height; ++y) {
            if (!ReadScanLine(in, h.width, line.data())) return CodecStatus::Broken;
            uint8_t* d = canvas.Row(h.bottom_up ? h.height - 1 - y : y);
            for (uint32_t x = 0; x < h.width; ++x) {
                const uint8_t* s = &line[4 * uint64_t{h.right_to_left ? h.width - 1 - x : x}];
                uint8_t* q = d + 3 * uint64_t{x};
                // RGBE: mantissas scaled by 2^(E - 136), as ImageMagick reads them.
                const float f = s[3] == 0 ? 0.0f : std::ldexp(1.0f, s[3] - 136);
                q[0] = LinearToDisplay8(s[2] * f);
                q[1] = LinearToDisplay8(s[1] * f);
                q[2] = LinearToDisplay8(s[0] * f);
            }
        }
        canvas.ClearRowPadding();
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& HdrBackend() {
    static const HdrCodec backend;
    return backend;
}
