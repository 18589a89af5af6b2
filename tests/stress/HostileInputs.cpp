// Hostile files for the bounded-time test, each at most 1 MB, written byte by byte here (the
// compression bombs with a deflate writer of their own, so that every target builds them).
#include <algorithm>
#include <cstring>
#include <random>

#include "StressKit.h"

namespace stress {

namespace {

constexpr size_t kMiB = 1 << 20;

struct Writer {
    std::vector<uint8_t> b;
    void U8(uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
    void U16(uint32_t v) { U8(v), U8(v >> 8); }
    void U32(uint32_t v) { U16(v & 0xFFFF), U16(v >> 16); }
    void U16BE(uint32_t v) { U8(v >> 8), U8(v); }
    void U32BE(uint32_t v) { U16BE(v >> 16), U16BE(v & 0xFFFF); }
    void Text(const char* s) { b.insert(b.end(), s, s + std::strlen(s)); }
    void Fill(size_t n, uint8_t v) { b.insert(b.end(), n, v); }
    void Put32At(size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
};

// A BMP with a 40-byte header and `data` after the colour table.
std::vector<uint8_t> Bmp(int32_t width, int32_t height, uint16_t bits, uint32_t compression,
                         const std::vector<uint8_t>& data) {
    Writer w;
    const uint32_t colours = bits <= 8 ? 1u << bits : 0;
    const uint32_t offset = 14 + 40 + colours * 4;
    w.Text("BM");
    w.U32(offset + static_cast<uint32_t>(data.size()));
    w.U32(0);
    w.U32(offset);
    w.U32(40), w.U32(static_cast<uint32_t>(width)), w.U32(static_cast<uint32_t>(height));
    w.U16(1), w.U16(bits), w.U32(compression), w.U32(static_cast<uint32_t>(data.size()));
    w.U32(2835), w.U32(2835), w.U32(colours), w.U32(0);
    for (uint32_t i = 0; i < colours; ++i) w.U32(i * 0x010101u);
    w.b.insert(w.b.end(), data.begin(), data.end());
    return w.b;
}

// A GIF screen and the given image descriptors; each image carries `lzw` as its data.
std::vector<uint8_t> Gif(uint16_t width, uint16_t height, size_t images, uint16_t image_width,
                         uint16_t image_height, const std::vector<uint8_t>& lzw) {
    Writer w;
    w.Text("GIF89a");
    w.U16(width), w.U16(height), w.U8(0x80), w.U8(0), w.U8(0);  // 2-colour global table
    w.Fill(6, 0x7F);
    for (size_t i = 0; i < images && w.b.size() + lzw.size() + 16 < kMiB; ++i) {
        w.U8(0x2C), w.U16(0), w.U16(0), w.U16(image_width), w.U16(image_height), w.U8(0);
        w.U8(2);  // minimum code size
        for (size_t at = 0; at < lzw.size(); at += 255) {
            const size_t n = std::min<size_t>(255, lzw.size() - at);
            w.U8(static_cast<uint32_t>(n));
            w.b.insert(w.b.end(), lzw.begin() + static_cast<long>(at),
                       lzw.begin() + static_cast<long>(at + n));
        }
        w.U8(0);
    }
    w.U8(0x3B);
    return w.b;
}

void PngChunk(Writer& w, const char* type, const std::vector<uint8_t>& data) {
    w.U32BE(static_cast<uint32_t>(data.size()));
    const size_t start = w.b.size();
    w.Text(type);
    w.b.insert(w.b.end(), data.begin(), data.end());
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = start; i < w.b.size(); ++i) {
        crc ^= w.b[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    w.U32BE(crc ^ 0xFFFFFFFFu);
}

// An 8-bit grey PNG whose IDAT is `idat` (already deflated).
std::vector<uint8_t> Png(uint32_t width, uint32_t height, const std::vector<uint8_t>& idat) {
    Writer w;
    const uint8_t signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    w.b.assign(signature, signature + 8);
    Writer ihdr;
    ihdr.U32BE(width), ihdr.U32BE(height), ihdr.U8(8), ihdr.U8(0), ihdr.U8(0), ihdr.U8(0),
        ihdr.U8(0);
    PngChunk(w, "IHDR", ihdr.b);
    PngChunk(w, "IDAT", idat);
    PngChunk(w, "IEND", {});
    return w.b;
}

// `count` zero bytes as a zlib stream: one fixed-code block of a literal 0 and then copies of
// 258 bytes at distance 1, 13 bits each: about 160 bytes out for every byte in.
std::vector<uint8_t> DeflatedZeros(size_t count) {
    Writer w;
    w.U8(0x78), w.U8(0x01);
    uint32_t acc = 0;
    int used = 0;
    auto bits_lsb = [&](uint32_t value, int n) {  // header fields, least significant bit first
        for (int i = 0; i < n; ++i) {
            acc |= ((value >> i) & 1u) << used;
            if (++used == 8) w.U8(acc), acc = 0, used = 0;
        }
    };
    auto code = [&](uint32_t value, int n) {  // Huffman codes, most significant bit first
        for (int i = n - 1; i >= 0; --i) bits_lsb(value >> i, 1);
    };
    bits_lsb(1, 1), bits_lsb(1, 2);  // final block, fixed codes
    size_t left = count;
    if (left > 0) code(0x30, 8), --left;  // literal 0
    for (; left >= 258; left -= 258) code(0xC5, 8), code(0, 5);  // length 258, distance 1
    for (; left > 0; --left) code(0x30, 8);
    code(0, 7);  // end of block
    if (used > 0) w.U8(acc);
    const uint32_t a = 1, b = static_cast<uint32_t>(count % 65521);
    w.U32BE((b << 16) | a);  // Adler-32 of zeros: a stays 1, b grows by 1 a byte
    return w.b;
}

// A little-endian TIFF with one IFD per entry of `next`, each 8-bit grey of the given size with
// a single strip of 16 bytes; IFD i points to IFD next[i] (-1 ends the chain).
std::vector<uint8_t> Tiff(uint32_t width, uint32_t height, const std::vector<int>& next) {
    Writer w;
    w.Text("II"), w.U16(42), w.U32(8);
    const uint32_t ifd_size = 2 + 8 * 12 + 4;
    const uint32_t data_at = 8 + ifd_size * static_cast<uint32_t>(next.size());
    for (size_t i = 0; i < next.size(); ++i) {
        w.U16(8);
        auto entry = [&](uint16_t tag, uint16_t type, uint32_t value) {
            w.U16(tag), w.U16(type), w.U32(1), w.U32(value);
        };
        entry(256, 4, width);
        entry(257, 4, height);
        entry(258, 3, 8);
        entry(259, 3, 1);
        entry(262, 3, 1);
        entry(273, 4, data_at);
        entry(278, 4, height);
        entry(279, 4, 16);
        w.U32(next[i] < 0 ? 0 : 8 + ifd_size * static_cast<uint32_t>(next[i]));
    }
    w.Fill(16, 0x80);
    return w.b;
}

// A baseline grey JPEG header declaring width x height, and a scan of a few bytes.
std::vector<uint8_t> JpegHeader(uint16_t width, uint16_t height) {
    Writer w;
    w.U16BE(0xFFD8);
    w.U16BE(0xFFDB), w.U16BE(67), w.U8(0), w.Fill(64, 1);  // quantisation table
    w.U16BE(0xFFC0), w.U16BE(11), w.U8(8), w.U16BE(height), w.U16BE(width), w.U8(1), w.U8(1),
        w.U8(0x11), w.U8(0);
    // DC and AC tables with one code each (length 1).
    w.U16BE(0xFFC4), w.U16BE(20), w.U8(0x00), w.U8(1), w.Fill(15, 0), w.U8(0);
    w.U16BE(0xFFC4), w.U16BE(20), w.U8(0x10), w.U8(1), w.Fill(15, 0), w.U8(0);
    w.U16BE(0xFFDA), w.U16BE(8), w.U8(1), w.U8(1), w.U8(0x00), w.U8(0), w.U8(63), w.U8(0);
    w.Fill(8, 0x00);
    return w.b;
}

// Our own readers of PCX/DCX, SGI, XPM, XBM, Sun raster, HDR and PFM: sizes that the data
// cannot hold, and 1 MB of runs, each run as long as the format allows.
std::vector<NamedBytes> HostileOwnFormats() {
    std::vector<NamedBytes> out;
    auto pcx = [](uint16_t width, uint16_t height, size_t run_bytes) {
        Writer w;
        w.U8(10), w.U8(5), w.U8(1), w.U8(8), w.U32(0), w.U16(width - 1u), w.U16(height - 1u);
        w.Fill(53, 0), w.U8(1), w.U16(width), w.Fill(60, 0);
        for (size_t i = 0; i < run_bytes / 2; ++i) w.U8(0xFF), w.U8(7);  // runs of 63
        return w.b;
    };
    out.push_back({"pcx 65535x65535 from its header", pcx(65535, 65535, 0)});
    out.push_back({"pcx 4096x4096 of 1 MB of runs", pcx(4096, 4096, kMiB - 256)});
    Writer dcx;
    dcx.U32(987654321);
    for (uint32_t i = 0; i < 1023; ++i) dcx.U32(4 + 4 * 1024);
    dcx.U32(0);
    const std::vector<uint8_t> page = pcx(2000, 2000, 65536);
    dcx.b.insert(dcx.b.end(), page.begin(), page.end());
    out.push_back({"dcx 1023 pages, all one", dcx.b});
    // SGI: every row of a 2048x2048 RGBA picture points at one row's runs.
    Writer sgi;
    sgi.U16BE(474), sgi.U8(1), sgi.U8(1), sgi.U16BE(3), sgi.U16BE(2048), sgi.U16BE(2048),
        sgi.U16BE(4), sgi.Fill(500, 0);
    const uint32_t rows = 2048 * 4, runs_at = 512 + 8 * rows;
    for (uint32_t i = 0; i < rows; ++i) sgi.U32BE(runs_at);
    for (uint32_t i = 0; i < rows; ++i) sgi.U32BE(200);
    for (int i = 0; i < 16; ++i) sgi.U8(127), sgi.U8(9);
    sgi.U8(16), sgi.U8(9), sgi.U8(0);
    out.push_back({"sgi 2048x2048x4, every row one row of runs", sgi.b});
    sgi.b.resize(600);
    out.push_back({"sgi 2048x2048x4, tables cut", sgi.b});
    Writer text;
    text.Text("/* XPM */\nstatic char *x[] = {\n\"60000 60000 16000000 4\",\n\"a c red\"};\n");
    out.push_back({"xpm 60000x60000 of 16 M colours", text.b});
    text.b.clear();
    text.Text("#define x_width 65535\n#define x_height 65535\nstatic char x_bits[] = {0x00};\n");
    out.push_back({"xbm 65535x65535 from one byte", text.b});
    Writer sun;
    sun.U32BE(0x59A66A95), sun.U32BE(4096), sun.U32BE(4096), sun.U32BE(8), sun.U32BE(0),
        sun.U32BE(2), sun.U32BE(0), sun.U32BE(0);
    while (sun.b.size() < kMiB - 3) sun.U8(0x80), sun.U8(255), sun.U8(3);  // runs of 256
    out.push_back({"sun raster 4096x4096 of 1 MB of runs", sun.b});
    Writer hdr;
    hdr.Text("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 32000 +X 32000\n");
    while (hdr.b.size() < kMiB - 2100) {
        hdr.U8(2), hdr.U8(2), hdr.U8(32000 >> 8), hdr.U8(32000 & 255);
        for (int i = 0; i < 4 * 252; ++i) hdr.U8(255), hdr.U8(1);  // runs of 127
    }
    out.push_back({"hdr 32000x32000 of 1 MB of runs", hdr.b});
    text.b.clear();
    text.Text("PF\n65535 65535\n-1.0\n");
    text.Fill(64, 0);
    out.push_back({"pfm 65535x65535 from 64 bytes", text.b});
    return out;
}

}  // namespace

std::vector<NamedBytes> HostileBmp() {
    std::vector<NamedBytes> out;
    // 2^30 - 32768 pixels declared; the data ends the picture at once.
    out.push_back({"bmp rle8 32768x32767, end of bitmap", Bmp(32768, 32767, 8, 1, {0, 1})});
    out.push_back({"bmp rle4 32768x32767, no data", Bmp(32768, 32767, 4, 2, {})});
    // Runs that only ever end lines, and deltas that only move right, filling 1 MB.
    std::vector<uint8_t> eol, delta;
    while (eol.size() < kMiB - 2048) eol.push_back(0), eol.push_back(0);
    while (delta.size() < kMiB - 2048) delta.insert(delta.end(), {0, 2, 255, 0});
    out.push_back({"bmp rle8 1 MB of end-of-line", Bmp(32768, 32767, 8, 1, eol)});
    out.push_back({"bmp rle8 1 MB of right deltas", Bmp(32768, 32767, 8, 1, delta)});
    out.push_back({"bmp 24-bit 16384x16384, 100 bytes", Bmp(16384, 16384, 24, 0,
                                                             std::vector<uint8_t>(100, 7))});
    out.push_back({"bmp 32-bit top-down 2^30 pixels", Bmp(32768, -32768, 32, 0, {1, 2, 3})});
    return out;
}

std::vector<NamedBytes> HostileGif() {
    std::vector<NamedBytes> out;
    // Clear codes only (code size 3: clear is 4): the stream never yields a pixel.
    std::vector<uint8_t> clears(kMiB - 8192);
    for (size_t i = 0; i < clears.size(); ++i) clears[i] = (i % 3 == 0) ? 0x24 : (i % 3 == 1 ? 0x49 : 0x92);
    out.push_back({"gif 1 MB of clear codes", Gif(1000, 1000, 1, 1000, 1000, clears)});
    out.push_back({"gif 65535x16384 picture from 3 bytes", Gif(65535, 16384, 1, 65535, 16384,
                                                               {0x44, 0x01, 0x00})});
    out.push_back({"gif 65535x65535 screen of 1x1 images", Gif(65535, 65535, 200000, 1, 1,
                                                               {0x44, 0x01})});
    std::vector<uint8_t> noise(kMiB - 8192);
    std::mt19937 random(11);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
    out.push_back({"gif 16384x16384 of LZW noise", Gif(16384, 16384, 1, 16384, 16384, noise)});
    return out;
}

std::vector<NamedBytes> HostileImg() {
    std::vector<NamedBytes> out = HostileBmp();
    for (NamedBytes& n : HostileGif()) out.push_back(std::move(n));
    // 64 MB of zero rows in 64 KB of deflate; and 900 M pixels declared over a few bytes.
    out.push_back({"png 8192x8192 deflate bomb", Png(8192, 8192, DeflatedZeros(8192u * 8193u))});
    out.push_back({"png 30000x30000 over 40 bytes", Png(30000, 30000, DeflatedZeros(64))});
    // TIFF directory chains: one looping on itself, one of two IFDs pointing at each other, and
    // 1 MB worth of directories in a row.
    out.push_back({"tiff IFD pointing at itself", Tiff(16, 16, {0})});
    out.push_back({"tiff two IFDs in a loop", Tiff(16, 16, {1, 0})});
    std::vector<int> chain;
    for (int i = 0; i < 9000; ++i) chain.push_back(i + 1);
    chain.back() = -1;
    out.push_back({"tiff chain of 9000 IFDs", Tiff(16, 16, chain)});
    out.push_back({"tiff 32768x32767 from 16 bytes", Tiff(32768, 32767, {-1})});
    out.push_back({"jpeg 32767x32767 from 8 bytes", JpegHeader(32767, 32767)});
    out.push_back({"jpeg 65000x16000 from 8 bytes", JpegHeader(65000, 16000)});
    for (NamedBytes& n : HostileOwnFormats()) out.push_back(std::move(n));
    return out;
}

std::vector<NamedBytes> HostileAvi() {
    std::vector<NamedBytes> out;
    // An uncompressed 64x64 8-bit AVI that declares a million frames, whose index points at
    // random offsets with random sizes and flags; and one whose movi list is a million frames
    // of 0 bytes.
    auto make = [](bool random_index) {
        Writer w;
        w.Text("RIFF"), w.U32(0), w.Text("AVI ");
        w.Text("LIST"), w.U32(4 + 8 + 56 + 8 + 4 + 8 + 56 + 8 + 40 + 1024), w.Text("hdrl");
        w.Text("avih"), w.U32(56);
        w.U32(40000), w.U32(0), w.U32(0), w.U32(0x10), w.U32(1000000), w.U32(0), w.U32(1),
            w.U32(0), w.U32(64), w.U32(64), w.Fill(16, 0);
        w.Text("LIST"), w.U32(4 + 8 + 56 + 8 + 40 + 1024), w.Text("strl");
        w.Text("strh"), w.U32(56), w.Text("vids"), w.Text("DIB "), w.U32(0), w.U32(0), w.U32(0),
            w.U32(1), w.U32(25), w.U32(0), w.U32(1000000), w.U32(4096), w.U32(0xFFFFFFFF),
            w.U32(0), w.U16(0), w.U16(0), w.U16(64), w.U16(64);
        w.Text("strf"), w.U32(40 + 1024);
        w.U32(40), w.U32(64), w.U32(64), w.U16(1), w.U16(8), w.U32(0), w.U32(4096), w.Fill(16, 0);
        for (uint32_t i = 0; i < 256; ++i) w.U32(i * 0x010101u);
        const size_t movi = w.b.size();
        w.Text("LIST"), w.U32(0), w.Text("movi");
        const size_t frames = random_index ? 8 : 120000;
        for (size_t i = 0; i < frames; ++i) {
            w.Text("00db");
            w.U32(random_index ? 4096 : 0);
            if (random_index) w.Fill(4096, static_cast<uint8_t>(i));
        }
        w.Put32At(movi + 4, static_cast<uint32_t>(w.b.size() - movi - 8));
        if (random_index) {
            std::mt19937 random(5);  // 32-bit values
            const size_t entries = (kMiB - w.b.size() - 8) / 16;
            w.Text("idx1"), w.U32(static_cast<uint32_t>(entries * 16));
            for (size_t i = 0; i < entries; ++i) {
                w.Text(i % 7 ? "00db" : "01wb");
                w.U32(static_cast<uint32_t>(random() & 0x11u)), w.U32(static_cast<uint32_t>(random())),
                    w.U32(static_cast<uint32_t>(random() % 70000u));
            }
        }
        w.Put32At(4, static_cast<uint32_t>(w.b.size() - 8));
        return w.b;
    };
    out.push_back({"avi index pointing everywhere", make(true)});
    out.push_back({"avi 120000 empty frames", make(false)});
    return out;
}

}  // namespace stress
