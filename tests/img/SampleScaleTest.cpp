// The sample arithmetic of every back end, over whole ranges: rounding of the 16-to-8 reduction,
// of CMYK to RGB and of undoing associated alpha, and the widening of 2-bit indices in place.
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

}  // namespace
