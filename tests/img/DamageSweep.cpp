#include "DamageSweep.h"

#include <gtest/gtest.h>

#include <random>

#include "ImgTestSupport.h"

namespace img_test {

namespace {

int Check(const std::vector<uint8_t>& bytes, uint32_t type, const char* what, size_t at) {
    const Picture p = Decode(bytes, 0, 1, type);
    if (p.result != 0) {
        EXPECT_TRUE(p.dib.empty()) << what << " " << at << ": code " << p.result << " with a DIB";
        return 0;
    }
    EXPECT_TRUE(p.error.empty()) << what << " " << at << ": " << p.error;
    return 1;
}

}  // namespace

int SweepDamage(const std::vector<uint8_t>& file, uint32_t type, uint32_t seed, size_t stride,
                int flips) {
    int decoded = 0;
    for (size_t n = 1; n < file.size(); n += stride) {
        decoded += Check(std::vector<uint8_t>(file.begin(), file.begin() + n), type, "prefix", n);
    }
    std::mt19937 rng(seed);
    for (int i = 0; i < flips; ++i) {
        std::vector<uint8_t> bad = file;
        const int changes = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < changes; ++k) {
            bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
        }
        decoded += Check(bad, type, "flip", static_cast<size_t>(i));
    }
    return decoded;
}

}  // namespace img_test
