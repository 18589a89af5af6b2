#include "DamageSweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "ImgTestSupport.h"

namespace img_test {

namespace {

// A decode of damaged bytes: a code and no DIB, or a DIB that reads back whole.
bool Survives(const std::vector<uint8_t>& bytes, const DamageSweep& sweep, const char* what,
              size_t n) {
    const Picture p = Decode(bytes, sweep.frame, 1, sweep.type);
    if (p.result != 0) {
        EXPECT_TRUE(p.dib.empty()) << what << " " << n << ": code " << p.result << " with a DIB";
    } else {
        EXPECT_TRUE(p.error.empty() && p.width > 0 && p.height > 0)
            << what << " " << n << ": result 0 but " << (p.error.empty() ? "empty" : p.error);
    }
    EXPECT_NE(GetInfo(bytes, sweep.type).result, -99) << what << " " << n;
    return p.result == 0;
}

}  // namespace

int SweepDamage(const std::vector<uint8_t>& file, const DamageSweep& sweep) {
    int decoded = 0;
    const size_t step = std::max<size_t>(1, file.size() / std::max<size_t>(1, sweep.prefixes));
    for (size_t n = 0; n < file.size(); n += step) {
        const std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<ptrdiff_t>(n));
        decoded += Survives(cut, sweep, "prefix", n);
    }
    std::mt19937 rng(sweep.seed);
    for (int round = 0; round < sweep.flips && file.size() > sweep.keep_head; ++round) {
        std::vector<uint8_t> bad = file;
        const size_t end = sweep.head_bytes && round % 2 == 0
                               ? std::min(file.size(), std::max(sweep.head_bytes, sweep.keep_head + 1))
                               : file.size();
        const int count = 1 + round % std::max(1, sweep.max_flips);
        for (int k = 0; k < count; ++k) {
            const size_t at = sweep.keep_head + rng() % (end - sweep.keep_head);
            bad[at] = static_cast<uint8_t>(bad[at] ^ (1u + rng() % 255));
        }
        decoded += Survives(bad, sweep, "flip", static_cast<size_t>(round));
    }
    return decoded;
}

}  // namespace img_test
