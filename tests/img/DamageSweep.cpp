#include "DamageSweep.h"

#include <gtest/gtest.h>

#include "ImgTestSupport.h"

namespace img_test {

namespace {

// A decode of damaged bytes: a code, or a DIB that reads back whole.
bool Survives(const std::vector<uint8_t>& bytes, int32_t frame, const char* what, size_t n) {
    const Picture p = Decode(bytes, frame);
    EXPECT_TRUE(p.result != 0 || (p.error.empty() && p.width > 0 && p.height > 0))
        << what << " " << n << ": result 0 but " << (p.error.empty() ? "empty" : p.error);
    EXPECT_TRUE(p.result == 0 || p.dib.empty()) << what << " " << n << ": DIB with code";
    const Info info = GetInfo(bytes);
    EXPECT_NE(info.result, -99) << what << " " << n;
    return p.result == 0;
}

}  // namespace

int SweepDamage(const std::vector<uint8_t>& good, int32_t frame, uint32_t seed, size_t prefixes,
                int flips, size_t keep_head) {
    int decoded = 0;
    const size_t step = good.size() / prefixes > 0 ? good.size() / prefixes : 1;
    for (size_t n = 0; n < good.size(); n += step) {
        const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<ptrdiff_t>(n));
        decoded += Survives(cut, frame, "prefix", n);
    }
    uint32_t state = seed * 747796405u + 1;
    for (int i = 0; i < flips && good.size() > keep_head; ++i) {
        std::vector<uint8_t> bad = good;
        const int count = 1 + i % 4;
        for (int k = 0; k < count; ++k) {
            state = state * 1664525u + 1013904223u;
            const size_t at = keep_head + (state >> 8) % (good.size() - keep_head);
            bad[at] = static_cast<uint8_t>(bad[at] ^ (1u + (state >> 24) % 255));
        }
        decoded += Survives(bad, frame, "flip", static_cast<size_t>(i));
    }
    return decoded;
}

}  // namespace img_test
