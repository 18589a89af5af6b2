// The sample arithmetic of every back end, over whole ranges: rounding of the 16-to-8 reduction,
// of CMYK to RGB and of undoing associated alpha, the widening of 2-bit indices in place, the
// red-blue swap in place, and the narrow floats' special values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "SampleScale.h"

namespace {

int Rounded(double v) { return static_cast<int>(std::lround(v)); }

TEST(SampleScale, ReductionsAndInksRoundToNearest) {
    for (uint32_t v = 0; v <= 65535; ++v) ASSERT_EQ(Reduce16(v), Rounded(v * 255 / 65535.0)) << v;
    for (uint32_t ink = 0; ink <= 255; ++ink) {
        for (uint32_t k = 0; k <= 255; ++k) {
            uint8_t bgr[3];
            CmykToBgr(ink, 255 - ink, ink / 2, k, bgr);
            ASSERT_EQ(bgr[2], Rounded((255 - ink) * (255 - k) / 255.0)) << ink << " " << k;
            ASSERT_EQ(bgr[1], Rounded(ink * (255 - k) / 255.0)) << ink << " " << k;
            ASSERT_EQ(bgr[0], Rounded((255 - ink / 2) * (255 - k) / 255.0)) << ink << " " << k;
        }
    }
    for (uint32_t max : {255u, 65535u}) {
        for (uint32_t a = 0; a <= max; a += max == 255 ? 1 : 97) {
            for (uint32_t c = 0; c <= a; c += a / 50 + 1) {
                const uint32_t want = a ? Rounded(c * double(max) / a) : 0;
                ASSERT_EQ(Unpremultiply(c, a, max), want) << c << " over " << a;
            }
        }
    }
}

TEST(SampleScale, TwoBitRowsWidenInPlaceAndApart) {
    for (uint32_t width = 1; width <= 13; ++width) {
        std::vector<uint8_t> packed((width + 3) / 4), want((width + 1) / 2, 0);
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t v = (x * 7 + width) % 4;
            packed[x / 4] = static_cast<uint8_t>(packed[x / 4] | v << (6 - 2 * (x % 4)));
            want[x / 2] = static_cast<uint8_t>(want[x / 2] | v << (x % 2 ? 0 : 4));
        }
        std::vector<uint8_t> apart(want.size(), 0xEE), in_place(want.size(), 0xEE);
        std::memcpy(in_place.data(), packed.data(), packed.size());
        WidenTwoBitRow(packed.data(), apart.data(), width);
        WidenTwoBitRow(in_place.data(), in_place.data(), width);
        EXPECT_EQ(apart, want) << width;
        EXPECT_EQ(in_place, want) << width;
    }
}

// The swap in place must read a pixel whole before writing it (red lost otherwise).
TEST(SampleScale, RedBlueSwapsInPlaceAndApart) {
    const uint8_t rgba[8] = {1, 2, 3, 4, 5, 6, 7, 8}, bgra[8] = {3, 2, 1, 4, 7, 6, 5, 8};
    uint8_t apart[8] = {}, in_place[8];
    std::memcpy(in_place, rgba, 8);
    SwapRedBlue<4>(rgba, apart, 2);
    SwapRedBlue<4>(in_place, in_place, 2);
    EXPECT_EQ(0, std::memcmp(apart, bgra, 8));
    EXPECT_EQ(0, std::memcmp(in_place, bgra, 8));
    uint8_t rgb[6] = {1, 2, 3, 4, 5, 6};
    SwapRedBlue<3>(rgb, rgb, 2);
    EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 6), (std::vector<uint8_t>{3, 2, 1, 6, 5, 4}));
}

// Half floats and TIFF's 24-bit floats: normal, subnormal, signed, infinite and NaN values.
TEST(SampleScale, NarrowFloatsWiden) {
    EXPECT_EQ(WidenFloat(0x3C00, 5, 10), 1.0f);
    EXPECT_EQ(WidenFloat(0xC000, 5, 10), -2.0f);
    EXPECT_EQ(WidenFloat(0x0001, 5, 10), std::ldexp(1.0f, -24));
    EXPECT_EQ(WidenFloat(0x7C00, 5, 10), INFINITY);
    EXPECT_TRUE(std::isnan(WidenFloat(0x7E00, 5, 10)));
    EXPECT_EQ(WidenFloat(0x3F0000, 7, 16), 1.0f);
    EXPECT_EQ(WidenFloat(0x3E8000, 7, 16), 0.75f);
    EXPECT_EQ(LinearToDisplay8(WidenFloat(0x7FFFFF, 7, 16)), 0);  // NaN shows as 0
    EXPECT_EQ(UnitTo8(0.5f), 128);
    EXPECT_EQ(UnitTo8(-1.0f), 0);
    EXPECT_EQ(UnitTo8(INFINITY), 255);
}

}  // namespace
