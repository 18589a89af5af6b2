// TGA through the built module: every image type, raw and run-length, each pixel and map-entry
// size, all four origins, decoded exactly; detection by header checks; damaged files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "CodecTypes.h"
#include "DamageSweep.h"
#include "ImgTestSupport.h"
#include "OwnWriters.h"

namespace {

struct TgaCase {
    uint8_t image_type;
    uint8_t pixel_bits;
    uint8_t map_entry_bits;
    uint8_t alpha_bits;
    uint16_t want_bits;
};

const TgaCase kCases[] = {
    {1, 8, 24, 0, 8},  {9, 8, 24, 0, 8},   {1, 8, 16, 0, 8},  {9, 8, 15, 0, 8},
    {1, 8, 32, 0, 8},  {9, 8, 32, 8, 32},  {1, 8, 16, 1, 32}, {2, 15, 0, 0, 24},
    {2, 16, 0, 0, 24}, {10, 16, 0, 1, 32}, {2, 24, 0, 0, 24}, {10, 24, 0, 0, 24},
    {2, 32, 0, 8, 32}, {10, 32, 0, 8, 32}, {2, 32, 0, 0, 24}, {3, 8, 0, 0, 8},
    {11, 8, 0, 0, 8},  {3, 16, 0, 8, 32},  {11, 16, 0, 0, 8},
};

// A stored colour of `bits` bits as RGBA.
void Colour(const uint8_t* p, int bits, bool alpha, uint8_t* q) {
    if (bits <= 16) {
        const int v = p[0] | p[1] << 8;
        for (int k = 0; k < 3; ++k) {
            q[2 - k] = static_cast<uint8_t>(std::lround(((v >> (5 * k)) & 31) * 255.0 / 31));
        }
        q[3] = alpha && bits == 16 && !(v & 0x8000) ? 0 : 255;
    } else {
        q[0] = p[2], q[1] = p[1], q[2] = p[0];
        q[3] = alpha && bits == 32 ? p[3] : 255;
    }
}

own_writers::TgaSpec MakeFile(const TgaCase& c, uint8_t origin, std::mt19937& rng,
                              std::vector<uint8_t>& want) {
    own_writers::TgaSpec s;
    s.image_type = c.image_type;
    s.pixel_bits = c.pixel_bits;
    s.descriptor = static_cast<uint8_t>(origin | c.alpha_bits);
    s.width = static_cast<uint16_t>(1 + rng() % 45);
    s.height = static_cast<uint16_t>(1 + rng() % 25);
    s.id = std::string(rng() % 5, 'i');
    s.footer = rng() % 2 == 0;
    const bool alpha = c.alpha_bits != 0;
    uint32_t map_length = 0;
    if (c.map_entry_bits) {
        s.map_entry_bits = c.map_entry_bits;
        map_length = 1 + rng() % 200;
        s.map_first = static_cast<uint16_t>(rng() % (257 - map_length));
        s.map.resize(map_length * ((c.map_entry_bits + 7u) / 8u));
        for (auto& b : s.map) b = static_cast<uint8_t>(rng());
        s.map[s.map.size() - 1] |= 0x80;  // some alpha
    }
    const size_t bytes = (c.pixel_bits + 7u) / 8u;
    const size_t n = size_t{s.width} * s.height;
    s.pixels.resize(n * bytes);
    for (size_t i = 0; i < n; ++i) {
        uint8_t* p = s.pixels.data() + i * bytes;
        if (i > 0 && rng() % 3 == 0) {
            std::memcpy(p, p - bytes, bytes);
        } else if (c.map_entry_bits) {
            p[0] = static_cast<uint8_t>(s.map_first + rng() % map_length);
        } else {
            for (size_t k = 0; k < bytes; ++k) p[k] = static_cast<uint8_t>(rng());
        }
    }
    if (alpha && !c.map_entry_bits) s.pixels[bytes - 1] |= 0x80;  // some alpha
    want.assign(n * 4, 255);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = s.pixels.data() + i * bytes;
        uint8_t* q = want.data() + i * 4;
        if (c.map_entry_bits) {
            const size_t entry = (p[0] - s.map_first) * ((c.map_entry_bits + 7u) / 8u);
            Colour(s.map.data() + entry, c.map_entry_bits, alpha, q);
        } else if (c.image_type % 8 == 3) {
            q[0] = q[1] = q[2] = p[0];
            if (alpha) q[3] = p[1];
        } else {
            Colour(p, c.pixel_bits, alpha, q);
        }
    }
    return s;
}

TEST(Tga, EveryTypeDepthAndOriginDecodesExactly) {
    std::mt19937 rng(7);
    for (const TgaCase& c : kCases) {
        for (uint8_t origin : {0x00, 0x10, 0x20, 0x30}) {
            std::vector<uint8_t> want;
            const own_writers::TgaSpec s = MakeFile(c, origin, rng, want);
            const std::vector<uint8_t> file = own_writers::WriteTga(s);
            for (uint32_t type : {0u, uint32_t{kTypeTga}}) {
                const img_test::Picture p = img_test::Decode(file, 0, 1, type);
                SCOPED_TRACE(::testing::Message()
                             << "type " << int{c.image_type} << " bits " << int{c.pixel_bits}
                             << " map " << int{c.map_entry_bits} << " alpha " << int{c.alpha_bits}
                             << " origin " << int{origin} << " " << s.width << "x" << s.height
                             << " asked " << type);
                EXPECT_TRUE(img_test::SameRgba(p, want, s.width, s.height));
                EXPECT_EQ(p.bit_count, c.want_bits);
                EXPECT_EQ(p.type_back, uint32_t{kTypeTga});
            }
        }
    }
}

// Headers whose fields disagree are not taken for TGA, so other data is not misread as one.
TEST(Tga, DetectionNeedsAConsistentHeader) {
    std::mt19937 rng(8);
    std::vector<uint8_t> want;
    const std::vector<uint8_t> good = own_writers::WriteTga(MakeFile(kCases[10], 0, rng, want));
    ASSERT_EQ(img_test::Decode(good).result, 0);
    struct Change {
        size_t at;
        uint8_t value;
    };
    for (const Change change : {Change{1, 2}, Change{2, 4}, Change{2, 0}, Change{16, 12},
                                Change{17, 0x48}, Change{17, 0x08}, Change{12, 0}, Change{5, 1}}) {
        std::vector<uint8_t> bad = good;
        bad[change.at] = change.value;
        if (change.at == 12) bad[13] = 0;
        EXPECT_NE(img_test::Decode(bad).result, 0) << change.at << " = " << int{change.value};
    }
    // Plain text is no TGA.
    const std::string text = "Plain text that happens to be long enough for a header.";
    EXPECT_NE(img_test::Decode({text.begin(), text.end()}).result, 0);
    EXPECT_NE(img_test::Decode(good, 1).result, 0);
}

// 65535 x 65535 run-length pixels need more than 200 bytes of packets: refused before
// allocating.
TEST(Tga, LargeClaimsOnSmallDataAreRefused) {
    own_writers::TgaSpec s;
    s.image_type = 10;
    s.pixels.assign(3, 9);
    std::vector<uint8_t> file = own_writers::WriteTga(s);
    file[12] = file[13] = file[14] = file[15] = 0xFF;
    file.resize(220, 0xFF);
    EXPECT_NE(img_test::Decode(file).result, 0);
}

TEST(Tga, DamagedFilesGiveACodeOrAPicture) {
    std::mt19937 rng(9);
    for (size_t i : {size_t{1}, size_t{5}, size_t{9}, size_t{13}, size_t{17}}) {
        std::vector<uint8_t> want;
        const std::vector<uint8_t> file =
            own_writers::WriteTga(MakeFile(kCases[i], 0x20, rng, want));
        img_test::DamageSweep sweep;
        sweep.type = kTypeTga;
        sweep.seed = static_cast<uint32_t>(i);
        sweep.prefixes = file.size() / 2;
        sweep.flips = 200;
        img_test::SweepDamage(file, sweep);
    }
}

}  // namespace
