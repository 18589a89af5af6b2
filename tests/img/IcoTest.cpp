// ICO and CUR through the built module: every DIB depth with and without mask transparency, all
// as frames of one file, largest first; a PNG entry (Linux: made with libpng); damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "CodecTypes.h"
#include "DamageSweep.h"
#include "ImgTestSupport.h"
#include "OwnWriters.h"

#ifdef ZEM_ICO_PNG_ENTRY
#include <png.h>
#endif

namespace {

using own_writers::IcoEntry;

struct IcoCase {
    uint16_t bits;
    int mask;         // 0 all opaque, 1 some transparent, 2 none stored
    bool zero_alpha;  // 32-bit: every alpha byte 0, so the mask gives alpha
    uint16_t want_bits;
};

const IcoCase kCases[] = {
    {1, 0, false, 1},   {1, 1, false, 32},  {4, 0, false, 4},   {4, 1, false, 32},
    {8, 0, false, 8},   {8, 1, false, 32},  {8, 2, false, 8},   {16, 0, false, 24},
    {16, 1, false, 32}, {24, 0, false, 24}, {24, 1, false, 32}, {24, 2, false, 24},
    {32, 0, false, 32}, {32, 1, false, 32}, {32, 1, true, 32},
};

IcoEntry MakeEntry(const IcoCase& c, std::mt19937& rng, std::vector<uint8_t>& want) {
    IcoEntry e;
    e.bits = c.bits;
    e.width = 1 + rng() % 48;
    e.height = 1 + rng() % 48;
    const size_t n = size_t{e.width} * e.height;
    uint32_t colours = 0;
    if (c.bits <= 8) {
        // Sometimes fewer table entries than the depth allows.
        colours = (1u << c.bits) - (rng() % 2 ? 0 : (1u << c.bits) / 2);
        e.palette.resize(colours * 4);
        for (size_t i = 0; i < e.palette.size(); ++i) {
            e.palette[i] = i % 4 == 3 ? 0 : static_cast<uint8_t>(rng());
        }
    }
    const size_t bytes = c.bits >= 8 ? c.bits / 8u : 1;
    e.pixels.resize(n * bytes);
    for (size_t i = 0; i < n; ++i) {
        uint8_t* p = e.pixels.data() + i * bytes;
        if (c.bits <= 8) {
            p[0] = static_cast<uint8_t>(rng() % colours);
        } else {
            for (size_t k = 0; k < bytes; ++k) p[k] = static_cast<uint8_t>(rng());
            if (c.bits == 32 && c.zero_alpha) p[3] = 0;
        }
    }
    if (c.bits == 32 && !c.zero_alpha) e.pixels[3] = 200;
    if (c.mask != 2) {
        e.mask.resize(n);
        for (size_t i = 1; i < n; ++i) e.mask[i] = c.mask == 1 && rng() % 3 == 0;
        if (c.mask == 1 && n > 1) e.mask[n - 1] = 1;
    }
    const bool mask_alpha = c.want_bits == 32 && (c.bits != 32 || c.zero_alpha);
    want.assign(n * 4, 255);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = e.pixels.data() + i * bytes;
        uint8_t* q = want.data() + i * 4;
        if (c.bits <= 8) {
            const uint8_t* entry = e.palette.data() + p[0] * 4;
            q[0] = entry[2], q[1] = entry[1], q[2] = entry[0];
        } else if (c.bits == 16) {
            const int v = p[0] | p[1] << 8;
            for (int k = 0; k < 3; ++k) {
                q[2 - k] = static_cast<uint8_t>(std::lround(((v >> (5 * k)) & 31) * 255.0 / 31));
            }
        } else {
            q[0] = p[2], q[1] = p[1], q[2] = p[0];
            if (c.bits == 32) q[3] = p[3];
        }
        if (mask_alpha) q[3] = !e.mask.empty() && e.mask[i] ? 0 : 255;
    }
    return e;
}

TEST(Ico, EveryEntryIsAFrameDecodedExactly) {
    std::mt19937 rng(5);
    for (bool cursor : {false, true}) {
        std::vector<IcoEntry> entries;
        std::vector<std::vector<uint8_t>> wants;
        for (const IcoCase& c : kCases) {
            wants.emplace_back();
            entries.push_back(MakeEntry(c, rng, wants.back()));
        }
        const std::vector<uint8_t> file = own_writers::WriteIco(entries, cursor);
        const img_test::Info info = img_test::GetInfo(file);
        ASSERT_EQ(info.result, 0);
        EXPECT_EQ(uint32_t{info.record.imageType}, uint32_t{kTypeIco});
        EXPECT_EQ(uint32_t{info.record.frameCount}, uint32_t{std::size(kCases)});
        // Frames run largest first, then deepest first, file order breaking ties.
        std::vector<size_t> order(entries.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            const uint32_t pa = entries[a].width * entries[a].height;
            const uint32_t pb = entries[b].width * entries[b].height;
            return pa != pb ? pa > pb : entries[a].bits > entries[b].bits;
        });
        for (size_t frame = 0; frame < entries.size(); ++frame) {
            const size_t i = order[frame];
            for (uint32_t type : {0u, uint32_t{kTypeIco}}) {
                const img_test::Picture p =
                    img_test::Decode(file, static_cast<int32_t>(frame), 1, type);
                SCOPED_TRACE(::testing::Message()
                             << (cursor ? "cursor" : "icon") << " entry " << i << " bits "
                             << kCases[i].bits << " mask " << kCases[i].mask << " "
                             << entries[i].width << "x" << entries[i].height);
                EXPECT_TRUE(img_test::SameRgba(p, wants[i], entries[i].width, entries[i].height));
                EXPECT_EQ(p.bit_count, kCases[i].want_bits);
            }
        }
        EXPECT_NE(img_test::Decode(file, static_cast<int32_t>(entries.size())).result, 0);
        EXPECT_NE(img_test::Decode(file, -1).result, 0);
    }
}

#ifdef ZEM_ICO_PNG_ENTRY
void AppendBytes(png_structp png, png_bytep data, png_size_t n) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}

// An RGBA PNG; only trivially destructible locals live across the library's longjmp.
bool WritePng(const uint8_t* rgba, uint32_t width, uint32_t height, std::vector<uint8_t>* out) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, out, AppendBytes, nullptr);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t y = 0; y < height; ++y) {
        png_write_row(png, const_cast<png_bytep>(rgba + size_t{y} * width * 4));
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

// A PNG entry after a smaller DIB one: frame 0, as the larger, decoded by the PNG back end when
// the module has one, else that frame alone fails while the other still decodes.
TEST(Ico, PngEntry) {
    std::mt19937 rng(6);
    std::vector<uint8_t> dib_want;
    std::vector<IcoEntry> entries = {MakeEntry(kCases[10], rng, dib_want), IcoEntry{}};
    IcoEntry& png = entries[1];
    png.width = 60, png.height = 50;
    const std::vector<uint8_t> rgba = own_writers::RandomRgba(rng, png.width, png.height, true);
    ASSERT_TRUE(WritePng(rgba.data(), png.width, png.height, &png.png));
    const std::vector<uint8_t> file = own_writers::WriteIco(entries);
    EXPECT_TRUE(img_test::SameRgba(img_test::Decode(file, 1), dib_want, entries[0].width,
                                   entries[0].height));
    const bool module_reads_png = img_test::Decode(png.png, 0, 1, kTypePng).result == 0;
    const img_test::Picture p = img_test::Decode(file, 0);
    if (module_reads_png) {
        EXPECT_TRUE(img_test::SameRgba(p, rgba, png.width, png.height));
    } else {
        EXPECT_NE(p.result, 0);
        EXPECT_TRUE(p.dib.empty());
    }
}
#endif

TEST(Ico, DamagedFilesGiveACodeOrAPicture) {
    std::mt19937 rng(4);
    for (size_t i : {size_t{1}, size_t{3}, size_t{8}, size_t{13}}) {
        std::vector<uint8_t> want;
        const std::vector<IcoEntry> entries = {MakeEntry(kCases[i], rng, want)};
        const std::vector<uint8_t> file = own_writers::WriteIco(entries);
        img_test::DamageSweep sweep;
        sweep.seed = static_cast<uint32_t>(i);
        sweep.prefixes = file.size() / 3;
        sweep.flips = 200;
        img_test::SweepDamage(file, sweep);
    }
}

}  // namespace
