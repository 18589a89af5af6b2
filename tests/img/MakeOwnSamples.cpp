// Writes the sample pictures of our own readers' formats into a folder (samples/ by default):
// a PSD with merged transparency, a two-entry icon, a run-length TGA, a 16-bit PPM, a QOI, a
// 256-colour PCX and a two-page DCX, a run-length SGI with alpha, an XPM with a transparent
// colour, an XBM, a WBMP, a run-length Sun raster with a colour map, a run-length Radiance HDR
// and a PFM, drawn from gradients and a disc so that they regenerate byte for byte.
// Usage: img_make_own_samples [OUTPUT_DIR]
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "OwnWriters.h"

namespace {

// A top-down RGBA picture: gradients with a disc whose edge fades out.
std::vector<uint8_t> Drawing(uint32_t width, uint32_t height, bool alpha) {
    std::vector<uint8_t> out(size_t{width} * height * 4);
    const double cx = width / 2.0, cy = height / 2.0, r = std::fmin(cx, cy) * 0.8;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* q = out.data() + (size_t{y} * width + x) * 4;
            const double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
            const bool inside = d < r;
            q[0] = static_cast<uint8_t>(inside ? 230 : 255 * x / width);
            q[1] = static_cast<uint8_t>(inside ? 120 : 255 * y / height);
            q[2] = static_cast<uint8_t>(inside ? 40 : 160);
            const double fade = std::fmin(1.0, std::fmax(0.0, (r + 4 - d) / 8));
            q[3] = alpha ? static_cast<uint8_t>(std::lround(255 * fade)) : 255;
        }
    }
    return out;
}

bool Save(const std::string& dir, const char* name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> Psd() {
    own_writers::PsdSpec s;
    s.width = 96, s.height = 64;
    s.packbits = true;
    s.dpi = 150;
    s.has_layer_section = true;
    s.layer_count = -1;
    const std::vector<uint8_t> rgba = Drawing(s.width, s.height, true);
    s.planes.assign(4, std::vector<uint16_t>(size_t{s.width} * s.height));
    for (size_t i = 0; i < s.planes[0].size(); ++i) {
        for (int c = 0; c < 4; ++c) s.planes[static_cast<size_t>(c)][i] = rgba[i * 4 + c];
    }
    return own_writers::WritePsd(s);
}

std::vector<uint8_t> Ico() {
    std::vector<own_writers::IcoEntry> entries(2);
    // 16 x 16, 4-bit with a 16-colour ramp and a round AND mask.
    own_writers::IcoEntry& small = entries[0];
    small.width = small.height = 16;
    small.bits = 4;
    for (int i = 0; i < 16; ++i) {
        small.palette.insert(small.palette.end(), {static_cast<uint8_t>(i * 17), 80,
                                                   static_cast<uint8_t>(255 - i * 17), 0});
    }
    const std::vector<uint8_t> small_rgba = Drawing(16, 16, true);
    for (uint32_t i = 0; i < 256; ++i) {
        small.pixels.push_back(static_cast<uint8_t>((i % 16 + i / 16) / 2));
        small.mask.push_back(small_rgba[i * 4 + 3] < 128 ? 1 : 0);
    }
    // 48 x 48, 32-bit with its own alpha.
    own_writers::IcoEntry& big = entries[1];
    big.width = big.height = 48;
    const std::vector<uint8_t> rgba = Drawing(48, 48, true);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        big.pixels.insert(big.pixels.end(), {rgba[i + 2], rgba[i + 1], rgba[i], rgba[i + 3]});
        big.mask.push_back(rgba[i + 3] == 0 ? 1 : 0);
    }
    return own_writers::WriteIco(entries);
}

std::vector<uint8_t> Tga() {
    own_writers::TgaSpec s;
    s.image_type = 10;
    s.pixel_bits = 32;
    s.descriptor = 0x08;  // 8 alpha bits, bottom-up
    s.width = 80, s.height = 60;
    s.id = "zem sample";
    s.footer = true;
    const std::vector<uint8_t> rgba = Drawing(s.width, s.height, true);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        s.pixels.insert(s.pixels.end(), {rgba[i + 2], rgba[i + 1], rgba[i], rgba[i + 3]});
    }
    return own_writers::WriteTga(s);
}

std::vector<uint8_t> Ppm16() {
    own_writers::PnmSpec s;
    s.kind = 6;
    s.width = 72, s.height = 48;
    s.maxval = 65535;
    const std::vector<uint8_t> rgba = Drawing(s.width, s.height, false);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        for (int c = 0; c < 3; ++c) s.samples.push_back(static_cast<uint16_t>(rgba[i + c] * 257));
    }
    return own_writers::WritePnm(s);
}

std::vector<uint8_t> Qoi() { return own_writers::WriteQoi(100, 70, 4, Drawing(100, 70, true)); }

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kW = 100, kH = 70;

// A 3-3-2 colour index, and the palette it indexes.
uint8_t Index332(const uint8_t* rgba) {
    return static_cast<uint8_t>((rgba[0] >> 5) << 5 | (rgba[1] >> 5) << 2 | rgba[2] >> 6);
}
uint8_t Level332(uint32_t index, int c) {
    const uint32_t v = c == 0 ? index >> 5 : c == 1 ? (index >> 2) & 7 : index & 3;
    return static_cast<uint8_t>(v * 255 / (c == 2 ? 3 : 7));
}

// PCX scan lines with runs (a run of 63 at most; literal bytes of 0xC0 and up take a run of 1).
void PcxRuns(Bytes& out, const uint8_t* line, size_t n) {
    for (size_t i = 0; i < n;) {
        size_t run = 1;
        while (i + run < n && run < 63 && line[i + run] == line[i]) ++run;
        if (run > 1 || line[i] >= 0xC0) out.push_back(static_cast<uint8_t>(0xC0 | run));
        out.push_back(line[i]);
        i += run;
    }
}

// An 8-bit (3-3-2 palette) or 24-bit (three planes) PCX of the drawing.
Bytes Pcx(bool rgb) {
    Bytes out = {10, 5, 1, 8, 0, 0, 0, 0};
    own_writers::PutU16LE(out, kW - 1), own_writers::PutU16LE(out, kH - 1);
    own_writers::PutU16LE(out, 96), own_writers::PutU16LE(out, 96);
    out.resize(65, 0);
    out.push_back(rgb ? 3 : 1);
    own_writers::PutU16LE(out, kW), own_writers::PutU16LE(out, 1);
    out.resize(128, 0);
    const Bytes rgba = Drawing(kW, kH, false);
    Bytes line(kW);
    for (uint32_t y = 0; y < kH; ++y) {
        for (int plane = 0; plane < (rgb ? 3 : 1); ++plane) {
            for (uint32_t x = 0; x < kW; ++x) {
                const uint8_t* p = &rgba[(size_t{y} * kW + x) * 4];
                line[x] = rgb ? p[plane] : Index332(p);
            }
            PcxRuns(out, line.data(), kW);
        }
    }
    if (!rgb) {
        out.push_back(0x0C);
        for (uint32_t i = 0; i < 256; ++i) {
            for (int c = 0; c < 3; ++c) out.push_back(Level332(i, c));
        }
    }
    return out;
}

Bytes Dcx() {
    const Bytes pages[2] = {Pcx(false), Pcx(true)};
    Bytes out;
    own_writers::PutU32LE(out, 987654321);
    own_writers::PutU32LE(out, 16), own_writers::PutU32LE(out, 16 + pages[0].size());
    own_writers::PutU32LE(out, 0);
    for (const Bytes& p : pages) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// SGI RGBA, every row run-length encoded (runs of 3 or more, literals between them).
Bytes Sgi() {
    Bytes out;
    own_writers::PutU16BE(out, 474);
    out.insert(out.end(), {1, 1});
    own_writers::PutU16BE(out, 3), own_writers::PutU16BE(out, kW), own_writers::PutU16BE(out, kH);
    own_writers::PutU16BE(out, 4), own_writers::PutU32BE(out, 0), own_writers::PutU32BE(out, 255);
    out.resize(512, 0);
    const Bytes rgba = Drawing(kW, kH, true);
    Bytes rows;
    std::vector<uint32_t> starts, lengths;
    for (int c = 0; c < 4; ++c) {
        for (uint32_t y = 0; y < kH; ++y) {  // bottom-up
            const uint8_t* row = &rgba[size_t{kH - 1 - y} * kW * 4 + c];
            starts.push_back(static_cast<uint32_t>(rows.size()));
            for (uint32_t x = 0; x < kW;) {
                uint32_t run = 1;
                while (x + run < kW && run < 127 && row[4 * (x + run)] == row[4 * x]) ++run;
                if (run >= 3) {
                    rows.insert(rows.end(), {static_cast<uint8_t>(run), row[4 * x]});
                    x += run;
                    continue;
                }
                uint32_t n = 0;
                while (x + n < kW && n < 127 &&
                       !(x + n + 2 < kW && row[4 * (x + n)] == row[4 * (x + n + 1)] &&
                         row[4 * (x + n)] == row[4 * (x + n + 2)])) {
                    ++n;
                }
                n = n == 0 ? 1 : n;
                rows.push_back(static_cast<uint8_t>(0x80 | n));
                for (uint32_t i = 0; i < n; ++i) rows.push_back(row[4 * (x + i)]);
                x += n;
            }
            rows.push_back(0);
            lengths.push_back(static_cast<uint32_t>(rows.size()) - starts.back());
        }
    }
    const uint32_t base = 512 + 8 * static_cast<uint32_t>(starts.size());
    for (uint32_t v : starts) own_writers::PutU32BE(out, base + v);
    for (uint32_t v : lengths) own_writers::PutU32BE(out, v);
    out.insert(out.end(), rows.begin(), rows.end());
    return out;
}

// XPM of 8 colours (the drawing's top bits) and None where it is mostly transparent.
Bytes Xpm() {
    const Bytes rgba = Drawing(kW, kH, true);
    std::string text = "/* XPM */\nstatic char *sample_xpm[] = {\n\"" + std::to_string(kW) + " " +
                       std::to_string(kH) + " 9 1\",\n\"  c None\",\n";
    for (int i = 0; i < 8; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "\"%c c #%02X%02X%02X\",\n", 'a' + i, i & 4 ? 255 : 0,
                      i & 2 ? 255 : 0, i & 1 ? 255 : 0);
        text += line;
    }
    for (uint32_t y = 0; y < kH; ++y) {
        text += '"';
        for (uint32_t x = 0; x < kW; ++x) {
            const uint8_t* p = &rgba[(size_t{y} * kW + x) * 4];
            text += p[3] < 128 ? ' ' : static_cast<char>('a' + (p[0] >> 7 << 2 | p[1] >> 7 << 1 | p[2] >> 7));
        }
        text += y + 1 < kH ? "\",\n" : "\"};\n";
    }
    return Bytes(text.begin(), text.end());
}

// Whether the drawing's pixel is light, for the bilevel formats.
bool IsLight(const Bytes& rgba, uint32_t x, uint32_t y) {
    const uint8_t* p = &rgba[(size_t{y} * kW + x) * 4];
    return p[0] + p[1] + p[2] > 360;
}

Bytes Xbm() {
    const Bytes rgba = Drawing(kW, kH, false);
    std::string text = "#define sample_width " + std::to_string(kW) + "\n#define sample_height " +
                       std::to_string(kH) + "\nstatic unsigned char sample_bits[] = {";
    for (uint32_t y = 0; y < kH; ++y) {
        for (uint32_t b = 0; b < (kW + 7) / 8; ++b) {
            uint32_t v = 0;
            for (uint32_t i = 0; i < 8 && 8 * b + i < kW; ++i) {
                if (!IsLight(rgba, 8 * b + i, y)) v |= 1u << i;  // set bits are black
            }
            char word[8];
            std::snprintf(word, sizeof word, "0x%02x", v);
            text += (y | b) ? (b % 12 ? ", " : ",\n   ") : "\n   ";
            text += word;
        }
    }
    text += "};\n";
    return Bytes(text.begin(), text.end());
}

Bytes Wbmp() {
    const Bytes rgba = Drawing(kW, kH, false);
    Bytes out = {0, 0, static_cast<uint8_t>(kW), static_cast<uint8_t>(kH)};
    for (uint32_t y = 0; y < kH; ++y) {
        for (uint32_t b = 0; b < (kW + 7) / 8; ++b) {
            uint32_t v = 0;
            for (uint32_t i = 0; i < 8 && 8 * b + i < kW; ++i) {
                if (IsLight(rgba, 8 * b + i, y)) v |= 0x80u >> i;  // 1 is white
            }
            out.push_back(static_cast<uint8_t>(v));
        }
    }
    return out;
}

// Sun raster, 8 bits with the 3-3-2 colour map, run-length encoded (type 2).
Bytes SunRaster() {
    const Bytes rgba = Drawing(kW, kH, false);
    Bytes raw;
    for (size_t i = 0; i < rgba.size(); i += 4) raw.push_back(Index332(&rgba[i]));  // kW is even
    Bytes body;
    for (size_t i = 0; i < raw.size();) {
        size_t run = 1;
        while (i + run < raw.size() && run < 256 && raw[i + run] == raw[i]) ++run;
        if (run >= 3 || raw[i] == 0x80) {
            body.insert(body.end(), {0x80, static_cast<uint8_t>(run - 1)});
            if (run > 1 || raw[i] != 0x80) body.push_back(raw[i]);
        } else {
            body.insert(body.end(), raw.begin() + static_cast<long>(i),
                        raw.begin() + static_cast<long>(i + run));
        }
        i += run;
    }
    Bytes out;
    for (uint32_t v : {0x59A66A95u, kW, kH, 8u, static_cast<uint32_t>(body.size()), 2u, 1u, 768u}) {
        own_writers::PutU32BE(out, v);
    }
    for (int c = 0; c < 3; ++c) {
        for (uint32_t i = 0; i < 256; ++i) out.push_back(Level332(i, c));
    }
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// Linear light for the high dynamic range formats: the drawing squared, up to 2 (past white).
float Linear(const Bytes& rgba, size_t i) { return 2.0f * std::pow(rgba[i] / 255.0f, 2.0f); }

// Radiance HDR in the adaptive run-length form (runs of 3 or more, literals between them).
Bytes Hdr() {
    const Bytes rgba = Drawing(kW, kH, false);
    const std::string head = "#?RADIANCE\n# zem sample\nFORMAT=32-bit_rle_rgbe\n\n-Y " +
                             std::to_string(kH) + " +X " + std::to_string(kW) + "\n";
    Bytes out(head.begin(), head.end());
    Bytes line(size_t{kW} * 4);
    for (uint32_t y = 0; y < kH; ++y) {
        for (uint32_t x = 0; x < kW; ++x) {
            const size_t at = (size_t{y} * kW + x) * 4;
            float v[3] = {Linear(rgba, at), Linear(rgba, at + 1), Linear(rgba, at + 2)};
            const float m = std::fmax(v[0], std::fmax(v[1], v[2]));
            int e = 0;
            const float scale = m < 1e-32f ? 0.0f : std::frexp(m, &e) * 256.0f / m;
            for (int c = 0; c < 3; ++c) line[4 * x + c] = static_cast<uint8_t>(v[c] * scale);
            line[4 * x + 3] = m < 1e-32f ? 0 : static_cast<uint8_t>(e + 128);
        }
        out.insert(out.end(), {2, 2, 0, static_cast<uint8_t>(kW)});
        for (int c = 0; c < 4; ++c) {
            for (uint32_t x = 0; x < kW;) {
                uint32_t run = 1;
                while (x + run < kW && run < 127 && line[4 * (x + run) + c] == line[4 * x + c]) ++run;
                if (run >= 3) {
                    out.insert(out.end(), {static_cast<uint8_t>(128 + run), line[4 * x + c]});
                } else {
                    out.push_back(static_cast<uint8_t>(run));
                    for (uint32_t i = 0; i < run; ++i) out.push_back(line[4 * (x + i) + c]);
                }
                x += run;
            }
        }
    }
    return out;
}

// PFM, colour, little-endian, rows from the bottom up.
Bytes Pfm() {
    const Bytes rgba = Drawing(kW, kH, false);
    const std::string head = "PF\n" + std::to_string(kW) + " " + std::to_string(kH) + "\n-1.0\n";
    Bytes out(head.begin(), head.end());
    for (uint32_t y = kH; y-- > 0;) {
        for (uint32_t x = 0; x < kW; ++x) {
            for (int c = 0; c < 3; ++c) {
                const float v = Linear(rgba, (size_t{y} * kW + x) * 4 + c);
                uint32_t bits = 0;
                std::memcpy(&bits, &v, 4);
                own_writers::PutU32LE(out, bits);
            }
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "samples";
    const bool ok = Save(dir, "psd-rgb-alpha-rle.psd", Psd()) &&
                    Save(dir, "ico-two-entries.ico", Ico()) &&
                    Save(dir, "tga-rle-32-alpha.tga", Tga()) &&
                    Save(dir, "pnm-ppm-16bit.ppm", Ppm16()) && Save(dir, "qoi-rgba.qoi", Qoi()) &&
                    Save(dir, "pcx-palette-256.pcx", Pcx(false)) &&
                    Save(dir, "dcx-pages-2.dcx", Dcx()) && Save(dir, "sgi-rgba-rle.sgi", Sgi()) &&
                    Save(dir, "xpm-8-colours-none.xpm", Xpm()) &&
                    Save(dir, "xbm-disc.xbm", Xbm()) && Save(dir, "wbmp-disc.wbmp", Wbmp()) &&
                    Save(dir, "ras-rle-map-256.ras", SunRaster()) &&
                    Save(dir, "hdr-rle.hdr", Hdr()) && Save(dir, "pfm-rgb.pfm", Pfm());
    if (!ok) std::fprintf(stderr, "img_make_own_samples: cannot write into %s\n", dir.c_str());
    return ok ? 0 : 1;
}
