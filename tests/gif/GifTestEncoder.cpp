#include "GifTestEncoder.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <unordered_map>

namespace giftest {

namespace {

class BitWriter {
public:
    void Put(uint32_t code, int bits) {
        m_acc |= static_cast<uint64_t>(code) << m_count;
        m_count += bits;
        while (m_count >= 8) {
            m_out.push_back(static_cast<uint8_t>(m_acc));
            m_acc >>= 8;
            m_count -= 8;
        }
    }
    std::vector<uint8_t> Finish() {
        if (m_count > 0) m_out.push_back(static_cast<uint8_t>(m_acc));
        m_acc = 0;
        m_count = 0;
        return std::move(m_out);
    }

private:
    std::vector<uint8_t> m_out;
    uint64_t m_acc = 0;
    int m_count = 0;
};

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

int TableSizeBits(size_t table_bytes) {
    int bits = 1;
    while ((size_t{3} << bits) < table_bytes) ++bits;
    return bits;
}

}  // namespace

// The decoder defines each entry one code later than the encoder, so the encoder widens its
// codes when its next free code passes 2^size, one code after the decoder's next code reaches it.
std::vector<uint8_t> LzwEncode(const std::vector<uint16_t>& indices, const LzwOptions& options) {
    const int m = options.min_code_size;
    const uint32_t clear = 1u << m;
    const uint32_t end = clear + 1;
    uint32_t next = clear + 2;
    int size = m + 1;
    std::unordered_map<uint32_t, uint16_t> dict;
    BitWriter w;
    int codes_since_full = -1;
    auto reset = [&] {
        dict.clear();
        next = clear + 2;
        size = m + 1;
        codes_since_full = -1;
    };
    auto add_entry = [&](uint32_t key) {
        if (next >= 4096) return;
        dict[key] = static_cast<uint16_t>(next++);
        if (next > (1u << size) && size < 12) ++size;
    };

    if (options.leading_clear) w.Put(clear, size);
    if (!indices.empty()) {
        uint32_t prefix = indices[0];
        for (size_t i = 1; i < indices.size(); ++i) {
            const uint32_t key = (prefix << 12) | indices[i];
            auto it = dict.find(key);
            if (it != dict.end()) {
                prefix = it->second;
                continue;
            }
            w.Put(prefix, size);
            add_entry(key);
            if (next == 4096) {
                if (!options.deferred_clear) {
                    w.Put(clear, size);
                    reset();
                } else if (codes_since_full < 0) {
                    codes_since_full = 0;
                } else if (options.clear_after_full > 0 &&
                           ++codes_since_full >= options.clear_after_full) {
                    w.Put(clear, size);
                    reset();
                }
            }
            prefix = indices[i];
        }
        w.Put(prefix, size);
        if (next < 4096 && ++next > (1u << size) && size < 12) ++size;
    }
    if (options.end_code) w.Put(end, size);
    return w.Finish();
}

std::vector<uint8_t> SubBlocks(const std::vector<uint8_t>& data, size_t block_size,
                               bool terminator) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < data.size(); i += block_size) {
        const size_t n = std::min(block_size, data.size() - i);
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), data.begin() + static_cast<ptrdiff_t>(i),
                   data.begin() + static_cast<ptrdiff_t>(i + n));
    }
    if (terminator) out.push_back(0);
    return out;
}

std::vector<int> StreamRowOrder(int height, bool interlaced) {
    std::vector<int> rows;
    if (!interlaced) {
        for (int y = 0; y < height; ++y) rows.push_back(y);
        return rows;
    }
    const int starts[4] = {0, 4, 2, 1};
    const int steps[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass) {
        for (int y = starts[pass]; y < height; y += steps[pass]) rows.push_back(y);
    }
    return rows;
}

std::vector<uint16_t> ToStreamOrder(const std::vector<uint16_t>& image, int width, int height,
                                    bool interlaced) {
    std::vector<uint16_t> out;
    out.reserve(image.size());
    for (int y : StreamRowOrder(height, interlaced)) {
        const auto row = image.begin() + static_cast<ptrdiff_t>(y) * width;
        out.insert(out.end(), row, row + width);
    }
    return out;
}

GifBuilder& GifBuilder::Header(const char* signature) {
    m_bytes.insert(m_bytes.end(), signature, signature + 6);
    return *this;
}

GifBuilder& GifBuilder::Screen(uint16_t width, uint16_t height,
                               const std::vector<uint8_t>& global_table, int size_bits) {
    PutU16(m_bytes, width);
    PutU16(m_bytes, height);
    const int bits = global_table.empty() ? size_bits : TableSizeBits(global_table.size());
    uint8_t packed = static_cast<uint8_t>(0x70 | (bits - 1));
    if (!global_table.empty()) packed |= 0x80;
    m_bytes.push_back(packed);
    m_bytes.push_back(0);  // background colour index
    m_bytes.push_back(0);  // pixel aspect ratio
    m_bytes.insert(m_bytes.end(), global_table.begin(), global_table.end());
    return *this;
}

GifBuilder& GifBuilder::Comment(const std::string& text, size_t block_size) {
    return Extension(0xFE, std::vector<uint8_t>(text.begin(), text.end()), block_size);
}

GifBuilder& GifBuilder::Extension(uint8_t label, const std::vector<uint8_t>& body,
                                  size_t block_size) {
    m_bytes.push_back(0x21);
    m_bytes.push_back(label);
    const auto blocks = SubBlocks(body, block_size);
    m_bytes.insert(m_bytes.end(), blocks.begin(), blocks.end());
    return *this;
}

GifBuilder& GifBuilder::GraphicControl(uint16_t delay, int transparent_index, int disposal) {
    const auto flags = static_cast<uint8_t>((disposal & 7) << 2 | (transparent_index >= 0 ? 1 : 0));
    const auto transparent = static_cast<uint8_t>(transparent_index >= 0 ? transparent_index : 0);
    return Extension(
        0xF9, {flags, static_cast<uint8_t>(delay), static_cast<uint8_t>(delay >> 8), transparent});
}

GifBuilder& GifBuilder::Image(const GifImage& image) {
    m_bytes.push_back(0x2C);
    PutU16(m_bytes, image.left);
    PutU16(m_bytes, image.top);
    PutU16(m_bytes, image.width);
    PutU16(m_bytes, image.height);
    uint8_t packed = image.interlaced ? 0x40 : 0;
    if (!image.local_table.empty()) {
        packed =
            static_cast<uint8_t>(packed | 0x80 | (TableSizeBits(image.local_table.size()) - 1));
    }
    m_bytes.push_back(packed);
    m_bytes.insert(m_bytes.end(), image.local_table.begin(), image.local_table.end());
    if (image.raw_data) {
        m_bytes.insert(m_bytes.end(), image.data.begin(), image.data.end());
        return *this;
    }
    m_bytes.push_back(static_cast<uint8_t>(image.lzw.min_code_size));
    const auto codes = LzwEncode(
        ToStreamOrder(image.indices, image.width, image.height, image.interlaced), image.lzw);
    const auto blocks = SubBlocks(codes, image.block_size);
    m_bytes.insert(m_bytes.end(), blocks.begin(), blocks.end());
    return *this;
}

GifBuilder& GifBuilder::Trailer() {
    m_bytes.push_back(0x3B);
    return *this;
}

GifBuilder& GifBuilder::Raw(const std::vector<uint8_t>& bytes) {
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    return *this;
}

std::vector<uint8_t> Palette(int bits, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> table(size_t{3} << bits);
    for (auto& b : table) b = static_cast<uint8_t>(rng());
    return table;
}

std::vector<uint8_t> RampPalette(int bits, uint32_t seed) {
    std::mt19937 rng(seed);
    uint8_t stops[4][3];
    for (auto& stop : stops) {
        for (auto& c : stop) c = static_cast<uint8_t>(rng());
    }
    stops[0][0] = stops[0][1] = stops[0][2] = 10;  // from near black
    const size_t n = size_t{1} << bits;
    std::vector<uint8_t> table(3 * n);
    for (size_t i = 0; i < n; ++i) {
        const double t = n > 1 ? 3.0 * static_cast<double>(i) / static_cast<double>(n - 1) : 0.0;
        const size_t k = std::min<size_t>(static_cast<size_t>(t), 2);
        const double f = t - static_cast<double>(k);
        for (size_t c = 0; c < 3; ++c) {
            table[3 * i + c] =
                static_cast<uint8_t>(stops[k][c] + f * (stops[k + 1][c] - stops[k][c]) + 0.5);
        }
    }
    return table;
}

std::vector<uint16_t> PhotoLike(int width, int height, int colours, uint32_t seed, int noise) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> jitter(-noise, noise);
    std::vector<uint16_t> out(static_cast<size_t>(width) * static_cast<size_t>(height));
    const double phase = static_cast<double>(seed % 97);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            // Two crossing gradients with a slow wave, like sky over a landscape.
            const double fx = static_cast<double>(x) / (width > 1 ? width - 1 : 1);
            const double fy = static_cast<double>(y) / (height > 1 ? height - 1 : 1);
            const double wave = 0.5 + 0.5 * std::sin(fx * 9.0 + fy * 5.0 + phase);
            const double v = 0.55 * fx + 0.35 * fy + 0.1 * wave;
            int c = static_cast<int>(v * (colours - 1) + 0.5) + (noise > 0 ? jitter(rng) : 0);
            c = c < 0 ? 0 : (c >= colours ? colours - 1 : c);
            out[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
                static_cast<uint16_t>(c);
        }
    }
    return out;
}

std::vector<uint16_t> RandomIndices(size_t count, int colours, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint16_t> out(count);
    for (auto& v : out) v = static_cast<uint16_t>(rng() % static_cast<uint32_t>(colours));
    return out;
}

std::vector<uint8_t> SimpleGif(int width, int height, const std::vector<uint16_t>& indices,
                               int bits, bool interlaced, uint32_t seed) {
    GifImage image;
    image.width = static_cast<uint16_t>(width);
    image.height = static_cast<uint16_t>(height);
    image.indices = indices;
    image.interlaced = interlaced;
    image.lzw.min_code_size = bits < 2 ? 2 : bits;
    return GifBuilder()
        .Header()
        .Screen(image.width, image.height, Palette(bits, seed))
        .Image(image)
        .Trailer()
        .Bytes();
}

}  // namespace giftest
