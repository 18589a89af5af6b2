// XBM bitmaps through our own reader: C source with "#define NAME_width W" and "NAME_height H",
// then an array of W x H bits, each row padded, the first pixel in the lowest bit. X11 files
// hold bytes ("char" arrays), X10 files 16-bit words ("short" arrays). A set bit is the
// foreground, shown black on white: a 1-bit DIB with entry 0 black.
#include <algorithm>
#include <string_view>

#include "ByteReader.h"
#include "CodecBackends.h"

namespace {

// The number after the first "#define ..._<suffix>" in the text; false when there is none.
bool DefinedValue(std::string_view text, std::string_view suffix, uint32_t& out) {
    for (size_t at = text.find("#define"); at != std::string_view::npos;
         at = text.find("#define", at + 1)) {
        const size_t eol = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, eol - at);
        const size_t name = line.find(suffix);
        if (name == std::string_view::npos) continue;
        size_t i = name + suffix.size();
        if (i >= line.size() || (line[i] != ' ' && line[i] != '\t')) continue;
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        uint64_t v = 0;
        const size_t start = i;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9' && v <= UINT32_MAX) {
            v = v * 10 + static_cast<uint32_t>(line[i++] - '0');
        }
        if (i == start || v > UINT32_MAX) return false;
        out = static_cast<uint32_t>(v);
        return true;
    }
    return false;
}

// The array's numbers, hexadecimal (0x..) or decimal, in order.
class NumberScanner {
public:
    explicit NumberScanner(std::string_view text) : m_text(text) {}

    bool Next(uint32_t& out) {
        while (m_pos < m_text.size() && !(m_text[m_pos] >= '0' && m_text[m_pos] <= '9')) {
            if (m_text[m_pos] == '}') return false;
            ++m_pos;
        }
        if (m_pos >= m_text.size()) return false;
        uint32_t base = 10;
        if (m_text[m_pos] == '0' && m_pos + 1 < m_text.size() &&
            (m_text[m_pos + 1] == 'x' || m_text[m_pos + 1] == 'X')) {
            base = 16;
            m_pos += 2;
        }
        uint64_t v = 0;
        size_t digits = 0;
        for (; m_pos < m_text.size(); ++m_pos, ++digits) {
            const char c = m_text[m_pos];
            int d = -1;
            if (c >= '0' && c <= '9') d = c - '0';
            if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
            if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
            if (d < 0) break;
            v = v * base + static_cast<uint32_t>(d);
            if (v > 0xFFFF) return false;
        }
        out = static_cast<uint32_t>(v);
        return digits > 0;
    }

private:
    std::string_view m_text;
    size_t m_pos = 0;
};

uint8_t ReverseBits(uint8_t b) {
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

class XbmCodec final : public OnePassBackend<XbmCodec> {
public:
    uint32_t Type() const override { return kTypeXbm; }

    // "#define" at the start with "_width" on its line (comments before it are not looked past).
    bool Sniff(const uint8_t* p, size_t size) const override {
        const std::string_view head(reinterpret_cast<const char*>(p), std::min<size_t>(size, 256));
        const size_t start = head.find_first_not_of(" \t\r\n");
        if (start == std::string_view::npos || head.compare(start, 7, "#define") != 0) return false;
        const size_t eol = head.find('\n', start);
        const size_t width = head.find("_width", start);
        return width != std::string_view::npos && width < eol;
    }

    static CodecStatus Read(const uint8_t* data, size_t size, DibCanvas& canvas,
                            PictureHeader* header) {
        const std::string_view text(reinterpret_cast<const char*>(data), size);
        uint32_t width = 0, height = 0;
        if (!DefinedValue(text, "_width", width) || !DefinedValue(text, "_height", height)) {
            return CodecStatus::Broken;
        }
        const CodecStatus declared = CheckDeclaredSize(width, height);
        if (declared != CodecStatus::Ok) return declared;
        const size_t open = text.find('{');
        if (open == std::string_view::npos) return CodecStatus::Broken;
        // X10's arrays are of 16-bit words ("short"), X11's of bytes.
        const size_t newline = text.rfind('\n', open);
        const size_t line_start = newline == std::string_view::npos ? 0 : newline;
        const std::string_view declaration = text.substr(line_start, open - line_start);
        const bool x10 = declaration.find("short") != std::string_view::npos;
        const uint32_t unit_bits = x10 ? 16 : 8;
        const uint64_t units_per_row = (uint64_t{width} + unit_bits - 1) / unit_bits;
        // Each number takes two characters at least ("0,").
        if (units_per_row * height * 2 > size - open) return CodecStatus::Broken;
        if (header) {
            header->width = width;
            header->height = height;
            header->bit_count = 1;
            return CodecStatus::Ok;
        }
        const CodecStatus created = canvas.Create(width, height, 1);
        if (created != CodecStatus::Ok) return created;
        canvas.Palette()[1] = RgbQuad{255, 255, 255, 0};
        NumberScanner numbers(text.substr(open + 1));
        const uint32_t row_bytes = (width + 7) / 8;
        for (uint32_t y = 0; y < height; ++y) {
            uint8_t* d = canvas.Row(y);
            for (uint64_t u = 0; u < units_per_row; ++u) {
                uint32_t v = 0;
                if (!numbers.Next(v)) return CodecStatus::Broken;
                for (uint32_t k = 0; k < unit_bits / 8; ++k) {
                    const uint64_t at = u * (unit_bits / 8) + k;
                    // Set bits are black (entry 0), lowest bit first.
                    if (at < row_bytes) d[at] = static_cast<uint8_t>(~ReverseBits(static_cast<uint8_t>(v >> (8 * k))));
                }
            }
        }
        canvas.ClearRowPadding();
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& XbmBackend() {
    static const XbmCodec backend;
    return backend;
}
