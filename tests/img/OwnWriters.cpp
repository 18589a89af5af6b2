#include "OwnWriters.h"

#include <cmath>
#include <cstring>

namespace own_writers {

std::vector<uint8_t> RandomRgba(std::mt19937& rng, uint32_t width, uint32_t height, bool alpha) {
    const size_t n = size_t{width} * height;
    std::vector<uint8_t> out(n * 4);
    for (size_t i = 0; i < n; ++i) {
        uint8_t* q = out.data() + i * 4;
        const uint32_t kind = i == 0 ? 9 : rng() % 10;
        if (kind < 3) {
            std::memcpy(q, q - 4, 4);
        } else if (kind < 5) {
            for (int k = 0; k < 4; ++k) q[k] = static_cast<uint8_t>(q[k - 4] + rng() % 5 - 2);
        } else if (kind < 6) {
            std::memcpy(q, out.data() + (rng() % i) * 4, 4);
        } else {
            for (int k = 0; k < 4; ++k) q[k] = static_cast<uint8_t>(rng());
        }
        if (!alpha) q[3] = 255;
    }
    if (alpha && n > 0) out[3] = 128;  // never wholly transparent
    return out;
}

void PutU16BE(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}
void PutU32BE(std::vector<uint8_t>& out, uint32_t v) {
    PutU16BE(out, v >> 16);
    PutU16BE(out, v);
}
void PutU16LE(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32LE(std::vector<uint8_t>& out, uint32_t v) {
    PutU16LE(out, v);
    PutU16LE(out, v >> 16);
}

std::vector<uint8_t> PackBits(const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    size_t i = 0;
    while (i < size) {
        size_t run = 1;
        while (i + run < size && run < 128 && data[i + run] == data[i]) ++run;
        if (run >= 2) {
            out.push_back(static_cast<uint8_t>(257 - run));
            out.push_back(data[i]);
            i += run;
            continue;
        }
        size_t literal = 1;
        while (i + literal < size && literal < 128 &&
               !(i + literal + 1 < size && data[i + literal] == data[i + literal + 1])) {
            ++literal;
        }
        out.push_back(static_cast<uint8_t>(literal - 1));
        out.insert(out.end(), data + i, data + i + literal);
        i += literal;
    }
    return out;
}

namespace {

// One channel's rows as stored: bits packed from the high end, bytes, or big-endian pairs.
std::vector<uint8_t> PsdRow(const PsdSpec& s, const std::vector<uint16_t>& plane, uint32_t y) {
    std::vector<uint8_t> row;
    const uint16_t* p = plane.data() + static_cast<size_t>(y) * s.width;
    if (s.depth == 1) {
        row.assign((s.width + 7) / 8, 0);
        for (uint32_t x = 0; x < s.width; ++x) {
            if (p[x]) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        }
    } else {
        for (uint32_t x = 0; x < s.width; ++x) {
            if (s.depth == 16) {
                PutU16BE(row, p[x]);
            } else {
                row.push_back(static_cast<uint8_t>(p[x]));
            }
        }
    }
    return row;
}

void PutFixed(std::vector<uint8_t>& out, double v) {
    PutU32BE(out, static_cast<uint32_t>(std::lround(v * 65536)));
}

}  // namespace

std::vector<uint8_t> WritePsd(const PsdSpec& s) {
    const bool psb = s.version == 2;
    std::vector<uint8_t> out = {'8', 'B', 'P', 'S'};
    PutU16BE(out, s.version);
    out.insert(out.end(), 6, 0);
    PutU16BE(out, static_cast<uint32_t>(s.planes.size()));
    PutU32BE(out, s.height);
    PutU32BE(out, s.width);
    PutU16BE(out, s.depth);
    PutU16BE(out, s.mode);

    PutU32BE(out, static_cast<uint32_t>(s.palette.size()));
    out.insert(out.end(), s.palette.begin(), s.palette.end());

    // Resources: an unrelated one with an odd name and odd length first, then the resolution.
    std::vector<uint8_t> res = {'8', 'B', 'I', 'M'};
    PutU16BE(res, 0x0404);
    res.insert(res.end(), {3, 'a', 'b', 'c'});
    PutU32BE(res, 3);
    res.insert(res.end(), {1, 2, 3, 0});
    if (s.dpi > 0) {
        res.insert(res.end(), {'8', 'B', 'I', 'M'});
        PutU16BE(res, 0x03ED);
        res.insert(res.end(), {0, 0});
        PutU32BE(res, 16);
        PutFixed(res, s.dpi);
        PutU16BE(res, 1);
        PutU16BE(res, 1);
        PutFixed(res, s.dpi);
        PutU16BE(res, 1);
        PutU16BE(res, 1);
    }
    PutU32BE(out, static_cast<uint32_t>(res.size()));
    out.insert(out.end(), res.begin(), res.end());

    std::vector<uint8_t> layers;
    auto put_length = [&](std::vector<uint8_t>& to, uint64_t v) {
        if (psb) PutU32BE(to, static_cast<uint32_t>(v >> 32));
        PutU32BE(to, static_cast<uint32_t>(v));
    };
    if (s.has_layer_section) {
        if (s.count_in_lr16) {
            put_length(layers, 0);  // no layer info of its own
            PutU32BE(layers, 0);    // no global mask
            layers.insert(layers.end(), {'8', 'B', 'I', 'M', 'L', 'r', '1', '6'});
            put_length(layers, 4);
            PutU16BE(layers, static_cast<uint16_t>(s.layer_count));
            PutU16BE(layers, 0);
        } else {
            put_length(layers, 2);
            PutU16BE(layers, static_cast<uint16_t>(s.layer_count));
            PutU32BE(layers, 0);
        }
    }
    put_length(out, layers.size());
    out.insert(out.end(), layers.begin(), layers.end());

    PutU16BE(out, s.packbits ? 1 : 0);
    if (!s.packbits) {
        for (const auto& plane : s.planes) {
            for (uint32_t y = 0; y < s.height; ++y) {
                const std::vector<uint8_t> row = PsdRow(s, plane, y);
                out.insert(out.end(), row.begin(), row.end());
            }
        }
        return out;
    }
    std::vector<uint8_t> counts, body;
    for (const auto& plane : s.planes) {
        for (uint32_t y = 0; y < s.height; ++y) {
            const std::vector<uint8_t> row = PsdRow(s, plane, y);
            const std::vector<uint8_t> packed = PackBits(row.data(), row.size());
            if (psb) {
                PutU32BE(counts, static_cast<uint32_t>(packed.size()));
            } else {
                PutU16BE(counts, static_cast<uint32_t>(packed.size()));
            }
            body.insert(body.end(), packed.begin(), packed.end());
        }
    }
    out.insert(out.end(), counts.begin(), counts.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::vector<uint8_t> WriteQoi(uint32_t width, uint32_t height, int channels,
                              const std::vector<uint8_t>& rgba) {
    std::vector<uint8_t> out = {'q', 'o', 'i', 'f'};
    PutU32BE(out, width);
    PutU32BE(out, height);
    out.push_back(static_cast<uint8_t>(channels));
    out.push_back(0);
    struct Px {
        uint8_t r, g, b, a;
        bool operator==(const Px& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
    };
    Px index[64] = {};
    Px prev{0, 0, 0, 255};
    int run = 0;
    const size_t n = size_t{width} * height;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* q = rgba.data() + i * 4;
        const Px px{q[0], q[1], q[2], q[3]};
        if (px == prev) {
            ++run;
            if (run == 62 || i + 1 == n) {
                out.push_back(static_cast<uint8_t>(0xC0 | (run - 1)));
                run = 0;
            }
            continue;
        }
        if (run > 0) {
            out.push_back(static_cast<uint8_t>(0xC0 | (run - 1)));
            run = 0;
        }
        const size_t h = (px.r * 3u + px.g * 5u + px.b * 7u + px.a * 11u) % 64u;
        if (index[h] == px) {
            out.push_back(static_cast<uint8_t>(h));
        } else {
            index[h] = px;
            if (px.a == prev.a) {
                const int vr = static_cast<int8_t>(px.r - prev.r);
                const int vg = static_cast<int8_t>(px.g - prev.g);
                const int vb = static_cast<int8_t>(px.b - prev.b);
                const int vg_r = vr - vg, vg_b = vb - vg;
                if (vr >= -2 && vr <= 1 && vg >= -2 && vg <= 1 && vb >= -2 && vb <= 1) {
                    out.push_back(
                        static_cast<uint8_t>(0x40 | (vr + 2) << 4 | (vg + 2) << 2 | (vb + 2)));
                } else if (vg_r >= -8 && vg_r <= 7 && vg >= -32 && vg <= 31 && vg_b >= -8 &&
                           vg_b <= 7) {
                    out.push_back(static_cast<uint8_t>(0x80 | (vg + 32)));
                    out.push_back(static_cast<uint8_t>((vg_r + 8) << 4 | (vg_b + 8)));
                } else {
                    out.insert(out.end(), {0xFE, px.r, px.g, px.b});
                }
            } else {
                out.insert(out.end(), {0xFF, px.r, px.g, px.b, px.a});
            }
        }
        prev = px;
    }
    out.insert(out.end(), {0, 0, 0, 0, 0, 0, 0, 1});
    return out;
}

std::vector<uint8_t> WritePnm(const PnmSpec& s) {
    std::string head = "P" + std::to_string(s.kind) + "\n";
    if (s.kind == 7) {
        head += "WIDTH " + std::to_string(s.width) + "\nHEIGHT " + std::to_string(s.height) +
                "\nDEPTH " + std::to_string(s.depth) + "\nMAXVAL " + std::to_string(s.maxval) +
                "\n";
        if (!s.tuple_type.empty()) head += "TUPLTYPE " + s.tuple_type + "\n";
        head += "ENDHDR\n";
    } else {
        if (s.comments) head += "# written by the tests\n";
        head += std::to_string(s.width) + (s.comments ? " #width\n" : " ") +
                std::to_string(s.height) + "\n";
        if (s.kind != 1 && s.kind != 4) head += std::to_string(s.maxval) + "\n";
    }
    std::vector<uint8_t> out(head.begin(), head.end());
    const size_t per_row = size_t{s.width} * s.depth;
    for (uint32_t y = 0; y < s.height; ++y) {
        const uint16_t* row = s.samples.data() + y * per_row;
        if (s.kind == 4) {
            std::vector<uint8_t> bits((s.width + 7) / 8, 0);
            for (uint32_t x = 0; x < s.width; ++x) {
                if (row[x]) bits[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
            }
            out.insert(out.end(), bits.begin(), bits.end());
        } else if (s.kind <= 3) {
            // P1 rows alternate between packed digits and spaced ones; lines stay short.
            std::string text;
            for (size_t i = 0; i < per_row; ++i) {
                text += std::to_string(row[i]);
                if (s.kind != 1 || y % 2) text += (i % 12 == 11) ? "\n" : " ";
            }
            text += "\n";
            out.insert(out.end(), text.begin(), text.end());
        } else {
            for (size_t i = 0; i < per_row; ++i) {
                if (s.maxval > 255) out.push_back(static_cast<uint8_t>(row[i] >> 8));
                out.push_back(static_cast<uint8_t>(row[i]));
            }
        }
    }
    return out;
}

std::vector<uint8_t> WriteTga(const TgaSpec& s) {
    const size_t bytes = (s.pixel_bits + 7u) / 8u;
    const size_t entry_bytes = (s.map_entry_bits + 7u) / 8u;
    std::vector<uint8_t> out = {static_cast<uint8_t>(s.id.size()),
                                static_cast<uint8_t>(s.map.empty() ? 0 : 1), s.image_type};
    PutU16LE(out, s.map_first);
    PutU16LE(out, static_cast<uint32_t>(entry_bytes ? s.map.size() / entry_bytes : 0));
    out.push_back(s.map_entry_bits);
    PutU32LE(out, 0);  // origin
    PutU16LE(out, s.width);
    PutU16LE(out, s.height);
    out.push_back(s.pixel_bits);
    out.push_back(s.descriptor);
    out.insert(out.end(), s.id.begin(), s.id.end());
    out.insert(out.end(), s.map.begin(), s.map.end());
    // The pixels in stored order.
    std::vector<const uint8_t*> order;
    for (uint32_t row = 0; row < s.height; ++row) {
        const uint32_t y = (s.descriptor & 0x20) ? row : s.height - 1u - row;
        for (uint32_t i = 0; i < s.width; ++i) {
            const uint32_t x = (s.descriptor & 0x10) ? s.width - 1u - i : i;
            order.push_back(s.pixels.data() + (size_t{y} * s.width + x) * bytes);
        }
    }
    auto same = [&](size_t a, size_t b) { return std::memcmp(order[a], order[b], bytes) == 0; };
    if (s.image_type < 9) {
        for (const uint8_t* p : order) out.insert(out.end(), p, p + bytes);
    } else {
        size_t i = 0;
        while (i < order.size()) {
            size_t run = 1;
            while (i + run < order.size() && run < 128 && same(i, i + run)) ++run;
            if (run > 1) {
                out.push_back(static_cast<uint8_t>(0x80 | (run - 1)));
                out.insert(out.end(), order[i], order[i] + bytes);
                i += run;
                continue;
            }
            size_t raw = 1;
            while (i + raw < order.size() && raw < 128 &&
                   !(i + raw + 1 < order.size() && same(i + raw, i + raw + 1))) {
                ++raw;
            }
            out.push_back(static_cast<uint8_t>(raw - 1));
            for (size_t k = 0; k < raw; ++k)
                out.insert(out.end(), order[i + k], order[i + k] + bytes);
            i += raw;
        }
    }
    if (s.footer) {
        PutU32LE(out, 0);
        PutU32LE(out, 0);
        const char tag[] = "TRUEVISION-XFILE.";
        out.insert(out.end(), tag, tag + sizeof tag);
    }
    return out;
}

namespace {

std::vector<uint8_t> IcoDib(const IcoEntry& e) {
    std::vector<uint8_t> out;
    PutU32LE(out, 40);
    PutU32LE(out, e.width);
    PutU32LE(out, e.height * 2);
    PutU16LE(out, 1);
    PutU16LE(out, e.bits);
    PutU32LE(out, 0);
    PutU32LE(out, 0);
    PutU32LE(out, 0);
    PutU32LE(out, 0);
    PutU32LE(out, static_cast<uint32_t>(e.palette.size() / 4));
    PutU32LE(out, 0);
    out.insert(out.end(), e.palette.begin(), e.palette.end());
    const size_t stride = (size_t{e.width} * e.bits + 31) / 32 * 4;
    const size_t mask_stride = (size_t{e.width} + 31) / 32 * 4;
    const size_t bytes = e.bits >= 8 ? e.bits / 8u : 0;
    for (uint32_t row = 0; row < e.height; ++row) {
        const uint32_t y = e.height - 1 - row;
        std::vector<uint8_t> line(stride, 0);
        for (uint32_t x = 0; x < e.width; ++x) {
            const size_t i = size_t{y} * e.width + x;
            if (bytes) {
                std::memcpy(line.data() + x * bytes, e.pixels.data() + i * bytes, bytes);
            } else {
                const uint32_t shift = 8 - e.bits * (x % (8u / e.bits) + 1);
                line[x * e.bits / 8] |= static_cast<uint8_t>(e.pixels[i] << shift);
            }
        }
        out.insert(out.end(), line.begin(), line.end());
    }
    if (e.mask.empty()) return out;
    for (uint32_t row = 0; row < e.height; ++row) {
        const uint32_t y = e.height - 1 - row;
        std::vector<uint8_t> line(mask_stride, 0);
        for (uint32_t x = 0; x < e.width; ++x) {
            if (e.mask[size_t{y} * e.width + x])
                line[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        }
        out.insert(out.end(), line.begin(), line.end());
    }
    return out;
}

}  // namespace

std::vector<uint8_t> WriteIco(const std::vector<IcoEntry>& entries, bool cursor) {
    std::vector<uint8_t> out;
    PutU16LE(out, 0);
    PutU16LE(out, cursor ? 2 : 1);
    PutU16LE(out, static_cast<uint32_t>(entries.size()));
    std::vector<std::vector<uint8_t>> bodies;
    size_t offset = 6 + 16 * entries.size();
    for (const IcoEntry& e : entries) {
        bodies.push_back(e.png.empty() ? IcoDib(e) : e.png);
        out.push_back(static_cast<uint8_t>(e.width >= 256 ? 0 : e.width));
        out.push_back(static_cast<uint8_t>(e.height >= 256 ? 0 : e.height));
        out.push_back(static_cast<uint8_t>(e.bits <= 8 ? (1u << e.bits) & 0xFF : 0));
        out.push_back(0);
        PutU16LE(out, cursor ? 3 : 1);  // hot spot x, or planes
        PutU16LE(out, cursor ? 5 : e.bits);
        PutU32LE(out, static_cast<uint32_t>(bodies.back().size()));
        PutU32LE(out, static_cast<uint32_t>(offset));
        offset += bodies.back().size();
    }
    for (const auto& body : bodies) out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace own_writers
