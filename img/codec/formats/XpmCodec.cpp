// XPM (version 3) pixmaps through our own reader: the C strings of the file, in order, give the
// values line ("width height colours chars-per-pixel"), one line per colour (its characters,
// then key and value pairs: c colour, g grey, g4 four-level grey, m mono, s symbol) and one line
// per row. A colour is "None" (transparent), #RGB, #RRGGBB, #RRRGGGBBB or #RRRRGGGGBBBB, or an
// X11 colour name (the common ones and grey0..grey100; case and spaces do not matter). Pictures
// with a transparent colour give 32-bit BGRA; the others an 8-bit DIB with the colours as
// palette, or 24-bit beyond 256 colours. Pixels of characters that no colour line names are
// transparent, or the first colour where there is no transparency.
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ByteReader.h"
#include "CodecBackends.h"
#include "SampleScale.h"

namespace {

constexpr char kSignature[] = "/* XPM */";
constexpr uint32_t kMaxCharsPerPixel = 31;

// The file's C strings in order, comments skipped; never past the end.
class StringScanner {
public:
    StringScanner(const uint8_t* data, size_t size)
        : m_text(reinterpret_cast<const char*>(data), size) {}

    bool Next(std::string_view& out) {
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos];
            if (c == '/' && m_text.compare(m_pos, 2, "/*") == 0) {
                const size_t end = m_text.find("*/", m_pos + 2);
                if (end == std::string_view::npos) return false;
                m_pos = end + 2;
            } else if (c == '"') {
                const size_t end = m_text.find('"', m_pos + 1);
                if (end == std::string_view::npos) return false;
                out = m_text.substr(m_pos + 1, end - m_pos - 1);
                m_pos = end + 1;
                return true;
            } else {
                ++m_pos;
            }
        }
        return false;
    }

private:
    std::string_view m_text;
    size_t m_pos = 0;
};

struct NamedColour {
    const char* name;
    uint8_t r, g, b;
};

// X11's values for the names that XPM files commonly use (lower case, without spaces).
const NamedColour kColours[] = {
    {"black", 0, 0, 0},          {"white", 255, 255, 255},     {"red", 255, 0, 0},
    {"green", 0, 255, 0},        {"blue", 0, 0, 255},          {"yellow", 255, 255, 0},
    {"cyan", 0, 255, 255},       {"magenta", 255, 0, 255},     {"gray", 190, 190, 190},
    {"lightgray", 211, 211, 211}, {"darkgray", 169, 169, 169}, {"dimgray", 105, 105, 105},
    {"slategray", 112, 128, 144}, {"lightslategray", 119, 136, 153},
    {"darkslategray", 47, 79, 79}, {"gainsboro", 220, 220, 220}, {"whitesmoke", 245, 245, 245},
    {"orange", 255, 165, 0},     {"darkorange", 255, 140, 0},  {"purple", 160, 32, 240},
    {"brown", 165, 42, 42},      {"pink", 255, 192, 203},      {"navy", 0, 0, 128},
    {"navyblue", 0, 0, 128},     {"maroon", 176, 48, 96},      {"gold", 255, 215, 0},
    {"violet", 238, 130, 238},   {"khaki", 240, 230, 140},     {"salmon", 250, 128, 114},
    {"tan", 210, 180, 140},      {"beige", 245, 245, 220},     {"ivory", 255, 255, 240},
    {"wheat", 245, 222, 179},    {"turquoise", 64, 224, 208},  {"coral", 255, 127, 80},
    {"orchid", 218, 112, 214},   {"plum", 221, 160, 221},      {"lavender", 230, 230, 250},
    {"skyblue", 135, 206, 235},  {"steelblue", 70, 130, 180},  {"royalblue", 65, 105, 225},
    {"darkblue", 0, 0, 139},     {"darkgreen", 0, 100, 0},     {"darkred", 139, 0, 0},
    {"lightblue", 173, 216, 230}, {"lightyellow", 255, 255, 224}, {"forestgreen", 34, 139, 34},
    {"seagreen", 46, 139, 87},   {"sienna", 160, 82, 45},      {"chocolate", 210, 105, 30},
    {"firebrick", 178, 34, 34},  {"tomato", 255, 99, 71},      {"olivedrab", 107, 142, 35},
    {"snow", 255, 250, 250},     {"linen", 250, 240, 230},     {"azure", 240, 255, 255},
    {"aquamarine", 127, 255, 212}, {"chartreuse", 127, 255, 0}, {"limegreen", 50, 205, 50},
    {"mediumblue", 0, 0, 205},   {"midnightblue", 25, 25, 112}, {"peachpuff", 255, 218, 185},
    {"darkcyan", 0, 139, 139},   {"darkmagenta", 139, 0, 139}, {"lightcyan", 224, 255, 255},
    {"cadetblue", 95, 158, 160}, {"deepskyblue", 0, 191, 255}, {"dodgerblue", 30, 144, 255},
    {"indianred", 205, 92, 92},  {"hotpink", 255, 105, 180},   {"deeppink", 255, 20, 147},
    {"yellowgreen", 154, 205, 50}, {"springgreen", 0, 255, 127}, {"lightgreen", 144, 238, 144},
    {"palegreen", 152, 251, 152}, {"darkkhaki", 189, 183, 107}, {"goldenrod", 218, 165, 32},
    {"darkgoldenrod", 184, 134, 11}, {"saddlebrown", 139, 69, 19}, {"peru", 205, 133, 63},
    {"burlywood", 222, 184, 135}, {"moccasin", 255, 228, 181}, {"mintcream", 245, 255, 250},
    {"honeydew", 240, 255, 240}, {"lemonchiffon", 255, 250, 205}, {"cornsilk", 255, 248, 220},
    {"seashell", 255, 245, 238}, {"oldlace", 253, 245, 230},   {"antiquewhite", 250, 235, 215},
    {"lightpink", 255, 182, 193}, {"thistle", 216, 191, 216},  {"mediumpurple", 147, 112, 219},
    {"darkviolet", 148, 0, 211}, {"blueviolet", 138, 43, 226}, {"slateblue", 106, 90, 205},
    {"darkslateblue", 72, 61, 139}, {"lightsteelblue", 176, 196, 222},
    {"cornflowerblue", 100, 149, 237}, {"powderblue", 176, 224, 230},
    {"paleturquoise", 175, 238, 238}, {"darkturquoise", 0, 206, 209},
    {"mediumseagreen", 60, 179, 113}, {"lawngreen", 124, 252, 0}, {"rosybrown", 188, 143, 143},
    {"sandybrown", 244, 164, 96}, {"orangered", 255, 69, 0},   {"lightsalmon", 255, 160, 122},
    {"darksalmon", 233, 150, 122}, {"lightcoral", 240, 128, 128}, {"mistyrose", 255, 228, 225},
    {"papayawhip", 255, 239, 213}, {"blanchedalmond", 255, 235, 205}, {"bisque", 255, 228, 196},
    {"navajowhite", 255, 222, 173}, {"floralwhite", 255, 250, 240}, {"ghostwhite", 248, 248, 255},
    {"aliceblue", 240, 248, 255}, {"lightgoldenrodyellow", 250, 250, 210},
    {"palegoldenrod", 238, 232, 170}, {"mediumvioletred", 199, 21, 133},
    {"palevioletred", 219, 112, 147}, {"mediumorchid", 186, 85, 211},
    {"darkorchid", 153, 50, 204}, {"darkolivegreen", 85, 107, 47}, {"lightseagreen", 32, 178, 170},
    {"mediumaquamarine", 102, 205, 170}, {"mediumturquoise", 72, 209, 204},
    {"mediumspringgreen", 0, 250, 154}, {"greenyellow", 173, 255, 47},
    {"lightskyblue", 135, 206, 250}, {"mediumslateblue", 123, 104, 238},
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A colour value as RGBA; false when it names no colour this reader knows.
bool ParseColour(std::string_view value, uint8_t* rgba) {
    rgba[3] = 255;
    std::string name;
    for (char c : value) {
        if (c == ' ' || c == '\t') continue;
        name += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if (name == "none") {
        rgba[0] = rgba[1] = rgba[2] = rgba[3] = 0;
        return true;
    }
    if (!name.empty() && name[0] == '#') {
        const size_t digits = name.size() - 1;
        if (digits == 0 || digits % 3 != 0 || digits > 12) return false;
        const size_t n = digits / 3;
        for (size_t c = 0; c < 3; ++c) {
            uint32_t v = 0;
            for (size_t i = 0; i < n; ++i) {
                const int d = HexDigit(name[1 + c * n + i]);
                if (d < 0) return false;
                v = v * 16 + static_cast<uint32_t>(d);
            }
            rgba[c] = ScaleSample(v, (1u << (4 * n)) - 1);
        }
        return true;
    }
    for (size_t at = name.find("grey"); at != std::string::npos; at = name.find("grey")) {
        name[at + 2] = 'a';
    }
    if (name.size() > 4 && name.compare(0, 4, "gray") == 0 && name.size() <= 7 &&
        name.find_first_not_of("0123456789", 4) == std::string::npos) {
        // grayN: N percent of white, as X11's table rounds it.
        const uint32_t n = static_cast<uint32_t>(std::stoul(name.substr(4)));
        if (n > 100) return false;
        const uint32_t hundredths = n * 255 % 100;
        uint32_t v = n * 255 / 100 + (hundredths > 50 ? 1 : 0);
        if (hundredths == 50 && (n == 10 || n == 30 || n == 70)) ++v;  // X11's own choices
        rgba[0] = rgba[1] = rgba[2] = static_cast<uint8_t>(v);
        return true;
    }
    for (const NamedColour& c : kColours) {
        if (name == c.name) {
            rgba[0] = c.r, rgba[1] = c.g, rgba[2] = c.b;
            return true;
        }
    }
    return false;
}

// A colour line's value for the best key it has: c, then g, g4, m.
std::string_view ColourValue(std::string_view rest) {
    std::vector<std::string_view> words;
    for (size_t i = 0; i < rest.size();) {
        while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t')) ++i;
        const size_t start = i;
        while (i < rest.size() && rest[i] != ' ' && rest[i] != '\t') ++i;
        if (i > start) words.push_back(rest.substr(start, i - start));
    }
    auto is_key = [](std::string_view w) {
        return w == "c" || w == "g" || w == "g4" || w == "m" || w == "s";
    };
    std::string_view best;
    int best_rank = 99;
    for (size_t i = 0; i < words.size(); ++i) {
        if (!is_key(words[i])) continue;
        size_t j = i + 1;
        while (j < words.size() && !is_key(words[j])) ++j;
        if (j == i + 1) continue;
        const int rank = words[i] == "c" ? 0 : words[i] == "g" ? 1 : words[i] == "g4" ? 2
                                             : words[i] == "m" ? 3 : 99;
        if (rank < best_rank) {
            best_rank = rank;
            const char* from = words[i + 1].data();
            best = std::string_view(from, static_cast<size_t>(words[j - 1].data() +
                                                              words[j - 1].size() - from));
        }
        i = j - 1;
    }
    return best;
}

bool ParseValues(std::string_view s, uint32_t* out, int count) {
    size_t i = 0;
    for (int k = 0; k < count; ++k) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        uint64_t v = 0;
        const size_t start = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9' && v <= UINT32_MAX) {
            v = v * 10 + static_cast<uint32_t>(s[i++] - '0');
        }
        if (i == start || v > UINT32_MAX) return false;
        out[k] = static_cast<uint32_t>(v);
    }
    return true;
}

class XpmCodec final : public OnePassBackend<XpmCodec> {
public:
    uint32_t Type() const override { return kTypeXpm; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        const size_t n = sizeof kSignature - 1;
        return size >= n && std::memcmp(p, kSignature, n) == 0;
    }

    static CodecStatus Read(const uint8_t* data, size_t size, DibCanvas& canvas,
                            PictureHeader* header) {
        StringScanner strings(data + sizeof kSignature - 1, size - (sizeof kSignature - 1));
        std::string_view line;
        uint32_t v[4] = {};
        if (!strings.Next(line) || !ParseValues(line, v, 4)) return CodecStatus::Broken;
        const uint32_t width = v[0], height = v[1], colours = v[2], cpp = v[3];
        if (colours == 0 || cpp == 0) return CodecStatus::Broken;
        if (cpp > kMaxCharsPerPixel) return CodecStatus::Unsupported;
        const CodecStatus declared = CheckDeclaredSize(width, height);
        if (declared != CodecStatus::Ok) return declared;
        // Every colour line holds its characters and a key; every row its characters.
        if (uint64_t{colours} * (cpp + 3) + uint64_t{width} * height * cpp > size) {
            return CodecStatus::Broken;
        }
        std::vector<uint8_t> table(uint64_t{colours} * 4);
        std::unordered_map<std::string_view, uint32_t> index;
        bool transparent = false;
        for (uint32_t i = 0; i < colours; ++i) {
            if (!strings.Next(line) || line.size() < cpp) return CodecStatus::Broken;
            uint8_t* rgba = &table[uint64_t{i} * 4];
            if (!ParseColour(ColourValue(line.substr(cpp)), rgba)) {
                rgba[0] = rgba[1] = rgba[2] = 0, rgba[3] = 255;  // unknown names show black
            }
            transparent = transparent || rgba[3] == 0;
            index.emplace(line.substr(0, cpp), i);
        }
        const uint16_t bit_count = transparent ? 32 : (colours <= 256 ? 8 : 24);
        const CodecStatus created = MeasureOrCreate(header, canvas, width, height, bit_count);
        if (created != CodecStatus::Ok || header) return created;
        if (bit_count == 8) {
            for (uint32_t i = 0; i < colours; ++i) {
                canvas.Palette()[i] = RgbQuad{table[4 * i + 2], table[4 * i + 1], table[4 * i], 0};
            }
        }
        const uint32_t step = bit_count / 8u;
        for (uint32_t y = 0; y < height; ++y) {
            if (!strings.Next(line) || line.size() < uint64_t{width} * cpp) {
                return CodecStatus::Broken;
            }
            uint8_t* d = canvas.Row(y);
            for (uint32_t x = 0; x < width; ++x, d += step) {
                const auto found = index.find(line.substr(uint64_t{x} * cpp, cpp));
                const bool known = found != index.end();
                const uint32_t i = known ? found->second : 0;
                if (step == 1) {
                    d[0] = static_cast<uint8_t>(i);
                    continue;
                }
                const uint8_t* c = &table[uint64_t{i} * 4];
                d[0] = c[2], d[1] = c[1], d[2] = c[0];
                if (step == 4) d[3] = known ? c[3] : 0;
                if (step == 4 && !known) d[0] = d[1] = d[2] = 0;
            }
        }
        canvas.ClearRowPadding();
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& XpmBackend() {
    static const XpmCodec backend;
    return backend;
}
