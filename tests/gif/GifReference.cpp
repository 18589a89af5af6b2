#include "GifReference.h"

#include <cstring>

namespace giftest {

namespace {

constexpr int kStep[5] = {8, 8, 4, 2, 0};
constexpr int kFirst[5] = {0, 4, 2, 1, 0};

// The placement state: where the next value goes, pass by pass.
struct Placement {
    int64_t width, height, column = 0, row = 0, step, pass, row_offset = 0;
    std::vector<uint8_t>& out;

    Placement(int w, int h, bool interlaced, std::vector<uint8_t>& indices)
        : width(w), height(h), step(interlaced ? 8 : 1), pass(interlaced ? 0 : 3), out(indices) {}

    void Put(int value) {
        if (pass == 4) return;  // every row written: the value is dropped
        if (value >= 0 && value <= 255 && row_offset + column < static_cast<int64_t>(out.size())) {
            out[static_cast<size_t>(row_offset + column)] = static_cast<uint8_t>(value);
        }
        if (++column != width) return;
        column = 0;
        row += step;
        if (row >= height) {
            do {
                ++pass;
                step = kStep[pass];
                row = kFirst[pass];
            } while (pass < 4 && row >= height);
        }
        row_offset = row * width;
    }
};

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool Read(void* dst, size_t n) {
        if (n > size - pos) return false;
        if (n) std::memcpy(dst, data + pos, n);
        pos += n;
        return true;
    }
    bool Skip(size_t n) {
        if (n > size - pos) return false;
        pos += n;
        return true;
    }
    bool SkipBlocks() {
        for (;;) {
            uint8_t n;
            if (!Read(&n, 1)) return false;
            if (n == 0) return true;
            if (!Skip(n)) return false;
        }
    }
};

void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + static_cast<size_t>(i)] = static_cast<uint8_t>(x >> (8 * i));
}

}  // namespace

int ReferenceDecodeImageData(const uint8_t* data, size_t size, size_t pos, int width, int height,
                             bool interlaced, std::vector<uint8_t>& indices,
                             bool stop_when_complete) {
    if (pos >= size) return 2;
    const int m = data[pos++];
    if (m >= 12) return 1;
    if (stop_when_complete && (width == 0 || height == 0)) return 0;
    const int clear = 1 << m;
    const int end = clear + 1;
    int next = clear + 2;
    int code_size = m + 1;
    int mask = (1 << code_size) - 1;
    constexpr int kJustCleared = -1;  // a stream may omit the leading clear code
    int prev = kJustCleared;
    int first = 0;
    std::vector<int> prefix(4096, 0), suffix(4096, 0), stack;
    uint8_t block[256];
    size_t block_length = 0;
    size_t block_pos = 0;
    uint32_t bit_buffer = 0;
    int bits = 0;
    Placement place(width, height, interlaced, indices);

    for (;;) {
        if (stop_when_complete && place.pass == 4) return 0;
        while (bits < code_size) {
            if (block_pos == block_length) {
                if (pos >= size) return 2;
                const size_t n = data[pos];
                if (n == 0 || n > size - pos - 1) return 2;
                std::memcpy(block, data + pos + 1, n);
                pos += n + 1;
                block_length = n;
                block_pos = 0;
            }
            bit_buffer |= static_cast<uint32_t>(block[block_pos++]) << bits;
            bits += 8;
        }
        const int code = static_cast<int>(bit_buffer & static_cast<uint32_t>(mask));
        bit_buffer >>= code_size;
        bits -= code_size;

        if (code == clear) {
            code_size = m + 1;
            mask = (1 << code_size) - 1;
            next = clear + 2;
            prev = kJustCleared;
            continue;
        }
        if (code == end) return 0;
        if (prev == kJustCleared) {
            place.Put(code);
            prev = code;
            first = code;
            continue;
        }
        int c;
        stack.clear();
        if (code >= next) {
            stack.push_back(first);
            c = prev;
            first = prev;
        } else {
            c = code;
            first = code;
        }
        while (c >= clear) {
            if (stack.size() >= 4095) break;
            stack.push_back(suffix[static_cast<size_t>(c)]);
            c = prefix[static_cast<size_t>(c)];
            first = c;
        }
        stack.push_back(c);
        while (!stack.empty()) {
            place.Put(stack.back());
            stack.pop_back();
        }
        if (next < 4096) {  // a full table stays as it is
            prefix[static_cast<size_t>(next)] = prev;
            suffix[static_cast<size_t>(next)] = first;
            ++next;
            if (next > mask && code_size < 12) {
                ++code_size;
                mask = (1 << code_size) - 1;
            }
        }
        prev = code;
    }
}

ReferencePicture ReferenceDecodePicture(const uint8_t* data, size_t size, int32_t image_index,
                                        uint64_t max_pixels, bool stop_when_complete) {
    ReferencePicture pic;
    Reader r{data, data ? size : 0};
    uint8_t red[256] = {}, green[256] = {}, blue[256] = {};
    bool has_table = false;
    auto read_table = [&](int count) {
        has_table = true;
        for (int i = 0; i < count; ++i) {
            uint8_t rgb[3];
            if (!r.Read(rgb, 3)) return false;
            red[i] = rgb[0];
            green[i] = rgb[1];
            blue[i] = rgb[2];
        }
        return true;
    };
    auto fail = [&](int32_t code) {
        pic.result = code;
        pic.dib.clear();
        return pic;
    };

    uint8_t header[6], screen[7];
    if (!r.Read(header, 6)) return fail(2);
    if (std::memcmp(header, "GIF87a", 6) != 0 && std::memcmp(header, "GIF89a", 6) != 0) {
        return fail(1);
    }
    if (!r.Read(screen, 7)) return fail(2);
    pic.colour_bits = (screen[4] & 7) + 1;
    if ((screen[4] & 0x80) && !read_table(1 << pic.colour_bits)) return fail(2);

    for (uint32_t skip = static_cast<uint32_t>(image_index); skip != 0; --skip) {
        uint8_t b, label, desc[9], lzw;
        if (!r.Read(&b, 1)) return fail(2);
        while (b == 0x21) {
            if (!r.Read(&label, 1) || !r.SkipBlocks() || !r.Read(&b, 1)) return fail(2);
        }
        if (b != 0x2C) return fail(3);
        if (!r.Read(desc, 9)) return fail(2);
        if ((desc[8] & 0x80) && !r.Skip(size_t{3} << ((desc[8] & 7) + 1))) return fail(2);
        if (!r.Read(&lzw, 1) || !r.SkipBlocks()) return fail(2);
    }
    uint8_t b, label, desc[9];
    if (!r.Read(&b, 1)) return fail(2);
    while (b == 0x21) {
        if (!r.Read(&label, 1)) return fail(2);
        if (label == 0xF9 ? !r.Skip(6) : !r.SkipBlocks()) return fail(2);
        if (!r.Read(&b, 1)) return fail(2);
    }
    if (b != 0x2C) return fail(3);
    if (!r.Read(desc, 9)) return fail(2);
    pic.width = desc[4] | (desc[5] << 8);
    pic.height = desc[6] | (desc[7] << 8);
    if (desc[8] & 0x80) {
        if (!read_table(1 << ((desc[8] & 7) + 1))) return fail(2);
        pic.colour_bits = (desc[8] & 7) + 1;
    }
    const bool interlaced = (desc[8] & 0x40) != 0;

    // Chosen order: a minimum code size of 12 or more is reported before the size limit.
    if (r.pos < r.size && data[r.pos] >= 12) return fail(1);
    const uint64_t pixels = static_cast<uint64_t>(pic.width) * static_cast<uint64_t>(pic.height);
    if (pixels > max_pixels) return fail(4);
    std::vector<uint8_t> indices(static_cast<size_t>(pixels), 0);
    const int decoded = ReferenceDecodeImageData(data, r.size, r.pos, pic.width, pic.height,
                                                 interlaced, indices, stop_when_complete);
    if (decoded == 1) return fail(1);

    const int bit_count = pic.colour_bits == 1 ? 1 : (pic.colour_bits <= 4 ? 4 : 8);
    const int colours = 1 << bit_count;
    const size_t stride =
        (static_cast<size_t>(pic.width) * static_cast<size_t>(bit_count) + 31) / 32 * 4;
    const size_t head = 40 + 4 * static_cast<size_t>(colours);
    const auto h = static_cast<size_t>(pic.height);
    const auto w = static_cast<size_t>(pic.width);
    pic.dib.assign(head + h * stride, 0);
    Put32(pic.dib, 0, 40);
    Put32(pic.dib, 4, static_cast<uint32_t>(pic.width));
    Put32(pic.dib, 8, static_cast<uint32_t>(pic.height));
    pic.dib[12] = 1;
    pic.dib[14] = static_cast<uint8_t>(bit_count);
    Put32(pic.dib, 20, static_cast<uint32_t>(h * stride));
    for (int j = 0; j < colours; ++j) {
        uint8_t* e = &pic.dib[40 + 4 * static_cast<size_t>(j)];
        if (has_table) {
            e[0] = blue[j];
            e[1] = green[j];
            e[2] = red[j];
        } else {
            e[0] = e[1] = e[2] = static_cast<uint8_t>(j * (255 / (colours - 1)));
        }
    }
    const int per_byte = 8 / bit_count;
    const int value_mask = colours - 1;
    for (size_t y = 0; y < h; ++y) {
        uint8_t* row = &pic.dib[head + (h - 1 - y) * stride];
        for (size_t x = 0; x < w; x += static_cast<size_t>(per_byte)) {
            int byte = 0;
            for (int k = 0; k < per_byte; ++k) {
                const size_t xx = x + static_cast<size_t>(k);
                byte = (byte << bit_count) | (xx < w ? (indices[y * w + xx] & value_mask) : 0);
            }
            row[x / static_cast<size_t>(per_byte)] = static_cast<uint8_t>(byte);
        }
    }
    pic.result = 0;
    return pic;
}

}  // namespace giftest
