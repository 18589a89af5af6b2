// Sample arithmetic shared by our own readers: deeper samples reduced to 8 bits with rounding.
#pragma once

#include <cstdint>

// v in 0..max_value (max_value > 0) onto 0..255, rounded to nearest.
inline uint8_t ScaleSample(uint32_t v, uint32_t max_value) {
    if (v >= max_value) return 255;
    return static_cast<uint8_t>((uint64_t{v} * 255 + max_value / 2) / max_value);
}

// A 16-bit sample onto 8 bits, rounded.
inline uint8_t Reduce16(uint32_t v) { return static_cast<uint8_t>((v * 255u + 32767u) / 65535u); }

// A 16-bit pixel's 5-5-5 colour (red highest, the top bit left alone) as B, G, R.
inline void Expand555(uint32_t v, uint8_t* bgr) {
    bgr[0] = ScaleSample(v & 31, 31);
    bgr[1] = ScaleSample((v >> 5) & 31, 31);
    bgr[2] = ScaleSample((v >> 10) & 31, 31);
}
