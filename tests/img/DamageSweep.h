// Damaged copies of a valid file through the built module: prefixes spread over the file, and
// copies with a few random bytes changed. Each must give a result code with no DIB, or a DIB that
// reads back whole; GetPictureInfo must answer too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace img_test {

struct DamageSweep {
    uint32_t type = 0;      // the type to decode as (0: detect)
    int32_t frame = 0;      // the frame to decode
    uint32_t seed = 1;
    size_t prefixes = 160;  // prefix lengths tried, spread over the file (every one if shorter)
    int flips = 100;        // corrupted copies
    int max_flips = 4;      // bytes changed per copy: 1 .. max_flips
    size_t keep_head = 0;   // changes land past this many bytes (the format stays detected)
    size_t head_bytes = 0;  // non-zero: every other copy is changed only within this head
};

// Returns how many of the damaged files still decoded.
int SweepDamage(const std::vector<uint8_t>& file, const DamageSweep& sweep);

}  // namespace img_test
