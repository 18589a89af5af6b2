// Damaged files through the built module: every prefix (or a stride of them) and random byte
// flips of a valid file must give a result code or a readable DIB, never a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace img_test {

// Truncations at `stride` steps (1: every prefix) and `flips` corrupted copies, each with a few
// random bytes changed. Returns how many of them still decoded.
int SweepDamage(const std::vector<uint8_t>& file, uint32_t type, uint32_t seed, size_t stride = 1,
                int flips = 200);

}  // namespace img_test
