// PNM through our own reader: PBM, PGM and PPM in their ASCII (P1-P3) and binary (P4-P6) forms
// and PAM (P7) with its tuple types. Samples of any maxval up to 65535 are scaled to 8 bits with
// rounding. Bilevel pictures become 1-bit DIBs (entry 0 black), grey 8-bit with a grey ramp,
// colour 24-bit, and the tuple types with alpha 32-bit with straight alpha. Only the first
// picture of a file holding several is read.
#include <cstring>
#include <string>
#include <vector>

#include "ByteReader.h"
#include "Checked.h"
#include "CodecBackends.h"
#include "SampleScale.h"

namespace {

bool IsSpace(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Reads the header's and the ASCII raster's tokens; never past the end.
class PnmScanner {
public:
    PnmScanner(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    // Skips white space and '#' comments (which run to the end of the line).
    void SkipSpace() {
        while (m_pos < m_size) {
            if (m_data[m_pos] == '#') {
                while (m_pos < m_size && m_data[m_pos] != '\n' && m_data[m_pos] != '\r') ++m_pos;
            } else if (IsSpace(m_data[m_pos])) {
                ++m_pos;
            } else {
                return;
            }
        }
    }
    bool ReadNumber(uint32_t& out) {
        SkipSpace();
        size_t digits = 0;
        uint64_t v = 0;
        while (m_pos < m_size && m_data[m_pos] >= '0' && m_data[m_pos] <= '9') {
            v = v * 10 + (m_data[m_pos++] - '0');
            if (v > UINT32_MAX) return false;
            ++digits;
        }
        out = static_cast<uint32_t>(v);
        return digits > 0;
    }
    // A bit of P1's raster: '0' or '1', white space between them optional.
    bool ReadBit(uint8_t& out) {
        SkipSpace();
        if (m_pos >= m_size || (m_data[m_pos] != '0' && m_data[m_pos] != '1')) return false;
        out = static_cast<uint8_t>(m_data[m_pos++] - '0');
        return true;
    }
    // A PAM header line's first word and the rest of the line.
    bool ReadLine(std::string& key, std::string& value) {
        SkipSpace();
        const size_t start = m_pos;
        while (m_pos < m_size && m_data[m_pos] != '\n' && m_data[m_pos] != '\r') ++m_pos;
        if (m_pos >= m_size) return false;
        const std::string line(reinterpret_cast<const char*>(m_data) + start, m_pos - start);
        const size_t split = line.find_first_of(" \t");
        key = line.substr(0, split);
        value.clear();
        if (split != std::string::npos) {
            const size_t from = line.find_first_not_of(" \t", split);
            const size_t to = line.find_last_not_of(" \t");
            if (from != std::string::npos) value = line.substr(from, to - from + 1);
        }
        return true;
    }
    // The binary raster starts after one white-space character.
    bool EndHeader() {
        if (m_pos >= m_size || !IsSpace(m_data[m_pos])) return false;
        ++m_pos;
        return true;
    }
    // PAM's ENDHDR line ends with a newline (CR LF tolerated).
    bool EndPamHeader() {
        if (m_pos < m_size && m_data[m_pos] == '\r') ++m_pos;
        return EndHeader();
    }
    void Skip(size_t n) { m_pos += n; }
    size_t Position() const { return m_pos; }
    size_t Remaining() const { return m_size - m_pos; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

struct PnmHeader {
    uint8_t kind = 0;  // 1..7
    uint32_t width = 0, height = 0, depth = 0, maxval = 1;
    bool bilevel_black_is_one = false;  // PBM: 1 = black; PAM's BLACKANDWHITE: 1 = white
    bool has_alpha = false;
    bool ascii = false;
};

uint32_t ParseU32(const std::string& s, bool& ok) {
    uint64_t v = 0;
    ok = !s.empty() && s.size() <= 10;
    for (char c : s) {
        if (c < '0' || c > '9') ok = false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    ok = ok && v <= UINT32_MAX;
    return static_cast<uint32_t>(v);
}

CodecStatus ReadPamHeader(PnmScanner& s, PnmHeader& h) {
    std::string key, value;
    bool seen[4] = {false, false, false, false};
    for (int lines = 0;; ++lines) {
        if (lines > 1000 || !s.ReadLine(key, value)) return CodecStatus::Broken;
        if (key == "ENDHDR") break;
        bool ok = true;
        if (key == "WIDTH") {
            h.width = ParseU32(value, ok), seen[0] = true;
        } else if (key == "HEIGHT") {
            h.height = ParseU32(value, ok), seen[1] = true;
        } else if (key == "DEPTH") {
            h.depth = ParseU32(value, ok), seen[2] = true;
        } else if (key == "MAXVAL") {
            h.maxval = ParseU32(value, ok), seen[3] = true;
        }
        if (!ok) return CodecStatus::Broken;
    }
    if (!s.EndPamHeader()) return CodecStatus::Broken;
    if (!seen[0] || !seen[1] || !seen[2] || !seen[3]) return CodecStatus::Broken;
    // The depth tells the layout (1 grey, 2 grey and alpha, 3 RGB, 4 RGB and alpha), which is
    // what the standard tuple types declare; other tuple types are read the same way.
    if (h.depth < 1 || h.depth > 4) return CodecStatus::Unsupported;
    // BLACKANDWHITE is maxval 1 with 1 for white, as grey would have it.
    h.has_alpha = h.depth == 2 || h.depth == 4;
    return CodecStatus::Ok;
}

CodecStatus ReadPnmHeader(PnmScanner& s, const uint8_t* data, PnmHeader& h) {
    h.kind = static_cast<uint8_t>(data[1] - '0');
    s.Skip(2);
    if (h.kind == 7) return ReadPamHeader(s, h);
    h.ascii = h.kind <= 3;
    const bool bitmap = h.kind == 1 || h.kind == 4;
    h.depth = (h.kind == 3 || h.kind == 6) ? 3 : 1;
    h.bilevel_black_is_one = bitmap;
    if (!s.ReadNumber(h.width) || !s.ReadNumber(h.height)) return CodecStatus::Broken;
    if (!bitmap && !s.ReadNumber(h.maxval)) return CodecStatus::Broken;
    // P1's raster may begin right after the height; the others are one white space away.
    if (!h.ascii && !s.EndHeader()) return CodecStatus::Broken;
    return CodecStatus::Ok;
}

class PnmCodec final : public OnePassBackend<PnmCodec> {
public:
    uint32_t Type() const override { return kTypePnm; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= 3 && p[0] == 'P' && p[1] >= '1' && p[1] <= '7' && IsSpace(p[2]);
    }

    // With `header_only` set, the header is read and the raster's size checked against the data, and
    // the picture's measures reported instead of decoding it.
    static CodecStatus Read(const uint8_t* data, size_t size, DibCanvas& canvas,
                            PictureHeader* header_only) {
        PnmScanner s(data, size);
        PnmHeader h;
        const CodecStatus header = ReadPnmHeader(s, data, h);
        if (header != CodecStatus::Ok) return header;
        if (h.width == 0 || h.height == 0 || h.maxval == 0 || h.maxval > 65535) {
            return CodecStatus::Broken;
        }
        const bool bilevel = h.kind == 1 || h.kind == 4 || (h.maxval == 1 && h.depth == 1);
        // Check the raster against the file before anything is allocated: binary rasters must
        // be whole, ASCII ones hold at least a character per sample.
        uint64_t samples = 0, bytes = 0;
        if (!CheckedMul(uint64_t{h.width} * h.height, h.depth, samples)) return CodecStatus::Broken;
        if (h.kind == 4) {
            bytes = uint64_t{(h.width + 7u) / 8u} * h.height;
        } else {
            bytes = samples * (h.ascii ? 1 : (h.maxval > 255 ? 2 : 1));
        }
        if (bytes > s.Remaining()) return CodecStatus::Broken;

        const uint16_t bit_count = bilevel ? 1 : (h.depth == 1 ? 8 : (h.has_alpha ? 32 : 24));
        if (header_only) {
            header_only->width = h.width;
            header_only->height = h.height;
            header_only->bit_count = bit_count;
            return CodecStatus::Ok;
        }
        const CodecStatus created = canvas.Create(h.width, h.height, bit_count, bilevel);
        if (created != CodecStatus::Ok) return created;
        canvas.SetGreyPalette();
        if (bilevel) return ReadBilevel(s, data, h, canvas);
        return ReadSamples(s, data, h, canvas);
    }

private:
    static CodecStatus ReadBilevel(PnmScanner& s, const uint8_t* data, const PnmHeader& h,
                                   DibCanvas& canvas) {
        const uint32_t row_bytes = (h.width + 7) / 8;
        for (uint32_t y = 0; y < h.height; ++y) {
            uint8_t* d = canvas.Row(y);
            if (h.kind == 4) {
                // 1 is black: the DIB's entry 0.
                const uint8_t* row = data + s.Position();
                for (uint32_t i = 0; i < row_bytes; ++i) d[i] = static_cast<uint8_t>(~row[i]);
                s.Skip(row_bytes);
                continue;
            }
            for (uint32_t x = 0; x < h.width; ++x) {
                uint32_t v = 0;
                if (h.kind == 1) {
                    uint8_t bit = 0;
                    if (!s.ReadBit(bit)) return CodecStatus::Broken;
                    v = bit;
                } else if (!ReadSample(s, data, h, v)) {
                    return CodecStatus::Broken;
                }
                const bool white = h.bilevel_black_is_one ? v == 0 : v != 0;
                if (white) d[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
            }
        }
        return CodecStatus::Ok;
    }

    static bool ReadSample(PnmScanner& s, const uint8_t* data, const PnmHeader& h, uint32_t& v) {
        if (h.ascii) return s.ReadNumber(v);
        const uint8_t* p = data + s.Position();
        if (h.maxval > 255) {
            if (s.Remaining() < 2) return false;
            v = ByteReader::LoadU16BE(p);
            s.Skip(2);
        } else {
            if (s.Remaining() < 1) return false;
            v = p[0];
            s.Skip(1);
        }
        return true;
    }

    static CodecStatus ReadSamples(PnmScanner& s, const uint8_t* data, const PnmHeader& h,
                                   DibCanvas& canvas) {
        const uint32_t step = canvas.BitCount() / 8u;
        for (uint32_t y = 0; y < h.height; ++y) {
            uint8_t* d = canvas.Row(y);
            for (uint32_t x = 0; x < h.width; ++x, d += step) {
                uint8_t t[4];
                for (uint32_t c = 0; c < h.depth; ++c) {
                    uint32_t v = 0;
                    if (!ReadSample(s, data, h, v)) return CodecStatus::Broken;
                    t[c] = ScaleSample(v, h.maxval);
                }
                if (h.depth <= 2) {
                    d[0] = t[0];
                    if (step == 4) d[1] = d[2] = t[0], d[3] = t[1];
                } else {
                    d[0] = t[2], d[1] = t[1], d[2] = t[0];
                    if (step == 4) d[3] = t[3];
                }
            }
        }
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& PnmBackend() {
    static const PnmCodec backend;
    return backend;
}
