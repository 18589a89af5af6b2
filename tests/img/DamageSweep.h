// Damaged copies of a valid file through the built module: every prefix (or a stride of them)
// and copies with random bytes flipped. Each must give a result code or a well-formed DIB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace img_test {

// Runs GetPicture and GetPictureInfo on about `prefixes` truncations and `flips` corrupted
// copies (a few bytes each, past the first `keep_head` bytes so the format is still detected).
// Returns how many of the damaged files still decoded.
int SweepDamage(const std::vector<uint8_t>& good, int32_t frame, uint32_t seed,
                size_t prefixes = 160, int flips = 60, size_t keep_head = 16);

}  // namespace img_test
