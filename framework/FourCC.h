// Four-character codes (RIFF chunk and list names, stream types, codec tags) as the 32-bit
// little-endian words in which files store them.
#pragma once

#include <cstdint>

// Builds a four-character code from its letters, first letter in the low byte.
constexpr uint32_t FourCC(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}
