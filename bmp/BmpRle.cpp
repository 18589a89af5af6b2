// Run-length encoded bitmaps (BI_RLE8, BI_RLE4) expanded into plain rows.
#include <cstring>

#include "BmpFile.h"
#include "ByteReader.h"
#include "Checked.h"
#include "GlobalBlock.h"

namespace {

// The cursor of an RLE decode: a column (bytes for RLE8, pixels for RLE4) and a row counted
// from the first row of the pixel array. Moves may take it anywhere; only writes are checked.
struct Cursor {
    uint64_t column = 0;
    uint64_t row = 0;
};

// Reads the source two bytes at a time and dispatches the escape codes shared by both schemes.
// `run` writes n copies of a value, `literal` writes n values from the source; each returns false
// when a write would leave the pixel array.
template <class RunFn, class LiteralFn, class LiteralBytesFn>
bool DecodeRle(const uint8_t* src, size_t size, Cursor& cur, RunFn run, LiteralFn literal,
               LiteralBytesFn literal_bytes) {
    ByteReader in(src, size);
    for (;;) {
        uint8_t first, second;
        if (!in.ReadU8(first) || !in.ReadU8(second)) return true;  // no end-of-bitmap code
        if (first > 0) {
            if (!run(first, second)) return false;
            continue;
        }
        switch (second) {
            case 0:  // end of line
                cur.column = 0;
                ++cur.row;
                break;
            case 1:  // end of bitmap
                return true;
            case 2: {  // delta
                uint8_t dx, dy;
                if (!in.ReadU8(dx) || !in.ReadU8(dy)) return true;
                cur.column += dx;
                cur.row += dy;
                break;
            }
            default: {  // absolute run, padded to an even number of bytes
                const size_t bytes = literal_bytes(second);
                const size_t avail = bytes < in.Remaining() ? bytes : in.Remaining();
                // Data that ends right after the code writes nothing, so it cannot fail the
                // decode wherever the cursor was moved.
                if (avail == 0) return true;
                if (!literal(in.Position(), second, avail)) return false;
                if (avail < bytes) return true;  // the data ended inside the run
                if (!in.Skip(bytes + (bytes & 1))) return true;
                break;
            }
        }
    }
}

}  // namespace

bool DecodeRle8(uint8_t* dest, uint64_t stride, uint64_t rows, const uint8_t* src, size_t size) {
    Cursor cur;
    auto fits = [&](uint64_t n) { return cur.row < rows && cur.column + n <= stride; };
    auto run = [&](uint8_t n, uint8_t value) {
        if (!fits(n)) return false;
        std::memset(dest + cur.row * stride + cur.column, value, n);
        cur.column += n;
        return true;
    };
    auto literal = [&](const uint8_t* p, uint8_t, size_t avail) {
        if (!fits(avail)) return false;
        std::memcpy(dest + cur.row * stride + cur.column, p, avail);
        cur.column += avail;
        return true;
    };
    auto literal_bytes = [](uint8_t n) { return static_cast<size_t>(n); };
    return DecodeRle(src, size, cur, run, literal, literal_bytes);
}

bool DecodeRle4(uint8_t* dest, uint64_t stride, uint64_t rows, const uint8_t* src, size_t size) {
    Cursor cur;
    // Pixels are counted in nibbles: pixel x lives in byte x / 2, high nibble first.
    auto fits = [&](uint64_t n) { return cur.row < rows && (cur.column + n + 1) / 2 <= stride; };
    auto put = [&](uint8_t pixel) {
        uint8_t* byte = dest + cur.row * stride + cur.column / 2;
        if (cur.column & 1) {
            *byte = static_cast<uint8_t>(*byte | (pixel & 0x0F));
        } else {
            *byte = static_cast<uint8_t>(pixel << 4);
        }
        ++cur.column;
    };
    auto run = [&](uint8_t n, uint8_t colours) {
        if (!fits(n)) return false;
        const uint8_t pair[2] = {static_cast<uint8_t>(colours >> 4),
                                 static_cast<uint8_t>(colours & 0x0F)};
        for (unsigned i = 0; i < n; ++i) put(pair[i & 1]);
        return true;
    };
    auto literal = [&](const uint8_t* p, uint8_t n, size_t avail) {
        const size_t pixels = n < avail * 2 ? n : avail * 2;
        if (!fits(pixels)) return false;
        for (size_t i = 0; i < pixels; ++i) {
            put(static_cast<uint8_t>((i & 1) ? (p[i / 2] & 0x0F) : (p[i / 2] >> 4)));
        }
        return true;
    };
    auto literal_bytes = [](uint8_t n) { return static_cast<size_t>((n + 1) / 2); };
    return DecodeRle(src, size, cur, run, literal, literal_bytes);
}

SpiHandle DecompressRleDib(const uint8_t* header, size_t available, const DibMeasures& m) {
    if (!m.IsInfoType() || (m.compression != BI_RLE8 && m.compression != BI_RLE4)) {
        return nullptr;
    }
    const uint64_t head_part = m.HeaderPartSize();
    uint64_t out_size;
    if (!CheckedAdd(head_part, m.uncompressed_image_size, out_size) ||
        out_size > kMaxRleOutputBytes || !FitsSizeT(out_size) || head_part > available) {
        return nullptr;
    }
    OwnedHandle out = OwnedHandle::Allocate(static_cast<size_t>(out_size), true);
    if (!out) return nullptr;
    ScopedLock lock(out.Get());
    if (!lock) return nullptr;
    uint8_t* dib = lock.Data();
    // The decoded DIB keeps the file's own colour table, so it looks like the file.
    std::memcpy(dib, header, static_cast<size_t>(head_part));
    ByteReader::StoreU32LE(dib + 16, BI_RGB);  // biCompression
    ByteReader::StoreU32LE(dib + 20, 0);       // biSizeImage

    // The compressed bytes are biSizeImage long; writers that leave it 0 get the rest of the data.
    const uint8_t* src = header + head_part;
    const size_t rest = available - static_cast<size_t>(head_part);
    const size_t src_size =
        (m.image_size != 0 && m.image_size < rest) ? static_cast<size_t>(m.image_size) : rest;
    uint8_t* pixels = dib + head_part;
    const bool ok = m.compression == BI_RLE8
                        ? DecodeRle8(pixels, m.stride, m.abs_height, src, src_size)
                        : DecodeRle4(pixels, m.stride, m.abs_height, src, src_size);
    return ok ? out.Release() : nullptr;
}
