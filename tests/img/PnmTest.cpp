// PNM through the built module: every P-kind in ASCII and binary, maxvals from 1 to 65535, PAM
// tuple types with and without alpha, decoded exactly; then header oddities and damaged files.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "CodecTypes.h"
#include "DamageSweep.h"
#include "ImgTestSupport.h"
#include "OwnWriters.h"

namespace {

struct PnmCase {
    int kind;
    uint32_t maxval;
    uint32_t depth;
    const char* tuple_type;
    uint16_t want_bits;
};

const PnmCase kCases[] = {
    {1, 1, 1, "", 1},
    {4, 1, 1, "", 1},
    {2, 255, 1, "", 8},
    {2, 1, 1, "", 1},
    {2, 1000, 1, "", 8},
    {5, 255, 1, "", 8},
    {5, 15, 1, "", 8},
    {5, 65535, 1, "", 8},
    {5, 300, 1, "", 8},
    {3, 255, 3, "", 24},
    {3, 7, 3, "", 24},
    {3, 65535, 3, "", 24},
    {6, 255, 3, "", 24},
    {6, 100, 3, "", 24},
    {6, 4095, 3, "", 24},
    {7, 1, 1, "BLACKANDWHITE", 1},
    {7, 255, 1, "GRAYSCALE", 8},
    {7, 65535, 1, "GRAYSCALE", 8},
    {7, 255, 3, "RGB", 24},
    {7, 1023, 3, "RGB", 24},
    {7, 1, 2, "BLACKANDWHITE_ALPHA", 32},
    {7, 255, 2, "GRAYSCALE_ALPHA", 32},
    {7, 65535, 2, "GRAYSCALE_ALPHA", 32},
    {7, 255, 4, "RGB_ALPHA", 32},
    {7, 3000, 4, "RGB_ALPHA", 32},
    {7, 255, 3, "", 24},
};

uint8_t Scaled(uint32_t v, uint32_t maxval) {
    return static_cast<uint8_t>(std::lround(v * 255.0 / maxval));
}

own_writers::PnmSpec MakeFile(const PnmCase& c, std::mt19937& rng, std::vector<uint8_t>& want) {
    own_writers::PnmSpec s;
    s.kind = c.kind;
    s.maxval = c.maxval;
    s.depth = c.depth;
    s.tuple_type = c.tuple_type;
    s.width = 1 + rng() % 40;
    s.height = 1 + rng() % 20;
    s.comments = rng() % 2 == 0;
    const size_t n = size_t{s.width} * s.height;
    s.samples.resize(n * c.depth);
    for (auto& v : s.samples) v = static_cast<uint16_t>(rng() % (c.maxval + 1));
    if (c.depth % 2 == 0) s.samples[c.depth - 1] = static_cast<uint16_t>(c.maxval);  // some alpha
    want.assign(n * 4, 255);
    const bool pbm = c.kind == 1 || c.kind == 4;
    for (size_t i = 0; i < n; ++i) {
        const uint16_t* p = s.samples.data() + i * c.depth;
        uint8_t* q = want.data() + i * 4;
        if (pbm) {
            q[0] = q[1] = q[2] = p[0] ? 0 : 255;
        } else if (c.depth <= 2) {
            q[0] = q[1] = q[2] = Scaled(p[0], c.maxval);
            if (c.depth == 2) q[3] = Scaled(p[1], c.maxval);
        } else {
            for (int k = 0; k < 3; ++k) q[k] = Scaled(p[k], c.maxval);
            if (c.depth == 4) q[3] = Scaled(p[3], c.maxval);
        }
    }
    return s;
}

TEST(Pnm, EveryKindAndMaxvalDecodesExactly) {
    std::mt19937 rng(14);
    for (const PnmCase& c : kCases) {
        for (int round = 0; round < 3; ++round) {
            std::vector<uint8_t> want;
            const own_writers::PnmSpec s = MakeFile(c, rng, want);
            const std::vector<uint8_t> file = own_writers::WritePnm(s);
            for (uint32_t type : {0u, uint32_t{kTypePnm}}) {
                const img_test::Picture p = img_test::Decode(file, 0, 1, type);
                SCOPED_TRACE(::testing::Message()
                             << "P" << c.kind << " maxval " << c.maxval << " " << c.tuple_type
                             << " " << s.width << "x" << s.height << " type " << type);
                EXPECT_TRUE(img_test::SameRgba(p, want, s.width, s.height));
                EXPECT_EQ(p.bit_count, c.want_bits);
                EXPECT_EQ(p.type_back, uint32_t{kTypePnm});
            }
        }
    }
}

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(Pnm, HeaderOddities) {
    // Comments between any tokens, samples above maxval clipped to white.
    const img_test::Picture p = img_test::Decode(Bytes("P2 #c\n2#c\n#c\n1 10#c\n5 11\n"));
    EXPECT_TRUE(img_test::SameRgba(p, {128, 128, 128, 255, 255, 255, 255, 255}, 2, 1));
    // P1 digits run together.
    EXPECT_TRUE(img_test::SameRgba(img_test::Decode(Bytes("P1\n3 1\n101")),
                                   {0, 0, 0, 255, 255, 255, 255, 255, 0, 0, 0, 255}, 3, 1));
    // PAM with CR LF line ends.
    EXPECT_EQ(img_test::Decode(Bytes("P7\r\nWIDTH 1\r\nHEIGHT 1\r\nDEPTH 1\r\nMAXVAL 255\r\n"
                                     "ENDHDR\r\nA"))
                  .result,
              0);
    // Broken or unsupported: maxval 0 or beyond 65535, no size, short rasters, PAM depth 5,
    // a missing PAM field, a frame beyond the first.
    for (const char* bad :
         {"P5 1 1 0\nA", "P5 1 1 65536\nAA", "P6 \n", "P5 2 2 255\nAAA", "P2 2 1 255\n1",
          "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 5\nMAXVAL 255\n"
          "ENDHDR\nAAAAA",
          "P7\nWIDTH 1\nDEPTH 1\nMAXVAL 255\nENDHDR\nA", "P4 0 1\n"}) {
        EXPECT_NE(img_test::Decode(Bytes(bad)).result, 0) << bad;
    }
    EXPECT_NE(img_test::Decode(Bytes("P5 1 1 255\nA"), 1).result, 0);
    const img_test::Info info = img_test::GetInfo(Bytes("P5 1 1 255\nA"));
    EXPECT_EQ(uint32_t{info.record.frameCount}, 1u);
}

TEST(Pnm, DamagedFilesGiveACodeOrAPicture) {
    std::mt19937 rng(15);
    for (size_t i : {size_t{0}, size_t{3}, size_t{7}, size_t{13}, size_t{24}}) {
        std::vector<uint8_t> want;
        const std::vector<uint8_t> file = own_writers::WritePnm(MakeFile(kCases[i], rng, want));
        img_test::DamageSweep sweep;
        sweep.seed = static_cast<uint32_t>(i);
        sweep.prefixes = file.size() / 3;
        sweep.flips = 200;
        img_test::SweepDamage(file, sweep);
    }
}

}  // namespace
