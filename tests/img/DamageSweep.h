// Damaged files through the built module: every prefix (or a stride of them) and random byte
// flips of a valid file give a picture or a result code, never a crash.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "ImgTestSupport.h"

namespace img_test {

struct DamageSweep {
    size_t prefixes = 200;  // prefix lengths tried, spread over the file
    int rounds = 100;       // files with random bytes flipped
    int max_flips = 6;      // bytes flipped per round: 1 .. max_flips
    size_t head_bytes = 0;  // non-zero: every other round flips only within the head
};

inline void ExpectSurvivesDamage(const std::vector<uint8_t>& file, const DamageSweep& sweep,
                                 std::mt19937& rng) {
    auto survives = [](int32_t result) { return result == 0 || result == 2 || result == 4; };
    ASSERT_EQ(Decode(file).result, 0);
    const size_t stride = file.size() / sweep.prefixes + 1;
    for (size_t n = 1; n < file.size(); n += stride) {
        const std::vector<uint8_t> prefix(file.begin(), file.begin() + static_cast<ptrdiff_t>(n));
        const int32_t result = Decode(prefix).result;
        EXPECT_TRUE(survives(result)) << n << " bytes: " << result;
    }
    for (int round = 0; round < sweep.rounds; ++round) {
        std::vector<uint8_t> bent = file;
        const size_t span = sweep.head_bytes && round % 2 == 0
                                ? std::min(sweep.head_bytes, file.size())
                                : file.size();
        for (int flips = 0; flips < 1 + round % sweep.max_flips; ++flips) {
            bent[rng() % span] ^= static_cast<uint8_t>(1 + rng() % 255);
        }
        const int32_t result = Decode(bent).result;
        EXPECT_TRUE(survives(result)) << "round " << round << ": " << result;
    }
}
// Truncations at `stride` steps (1: every prefix) and `flips` corrupted copies, each with a few
// random bytes changed, decoded as `type`. Returns how many of them still decoded.
int SweepDamage(const std::vector<uint8_t>& file, uint32_t type, uint32_t seed, size_t stride = 1,
                int flips = 200);

}  // namespace img_test
