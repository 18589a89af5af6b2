// Sample arithmetic shared by the back ends, so that every reader (ours, and the Windows
// builds' WIC rows) turns the same samples into the same pixels: deeper samples reduced to
// 8 bits with rounding, CMYK to RGB, associated alpha undone, 2-bit indices widened, linear
// light (floating-point and high-dynamic-range samples) shown.
#pragma once

#include <cmath>
#include <cstdint>

// v in 0..max_value (max_value > 0) onto 0..255, rounded to nearest.
inline uint8_t ScaleSample(uint32_t v, uint32_t max_value) {
    if (v >= max_value) return 255;
    return static_cast<uint8_t>((uint64_t{v} * 255 + max_value / 2) / max_value);
}

// RGB or RGBA pixels of 8-bit samples (kChannels 3 or 4) in the DIB's B, G, R(, A) order.
// `src` may be `dst`. The channel count is a constant, so the compiler turns the loop into
// vector shuffles.
template <int kChannels>
inline void SwapRedBlue(const uint8_t* src, uint8_t* dst, uint32_t width) {
    static_assert(kChannels == 3 || kChannels == 4, "RGB or RGBA");
    for (uint32_t x = 0; x < width; ++x, src += kChannels, dst += kChannels) {
        const uint8_t red = src[0], green = src[1], blue = src[2];
        dst[0] = blue;
        dst[1] = green;
        dst[2] = red;
        if constexpr (kChannels == 4) dst[3] = src[3];
    }
}

// A 16-bit sample onto 8 bits, rounded.
inline uint8_t Reduce16(uint32_t v) { return static_cast<uint8_t>((v * 255u + 32767u) / 65535u); }

// A 16-bit pixel's 5-5-5 colour (red highest, the top bit left alone) as B, G, R.
inline void Expand555(uint32_t v, uint8_t* bgr) {
    bgr[0] = ScaleSample(v & 31, 31);
    bgr[1] = ScaleSample((v >> 5) & 31, 31);
    bgr[2] = ScaleSample((v >> 10) & 31, 31);
}

// One primary of a CMYK pixel from what its ink and black leave uncovered, 255 - C and
// 255 - K (0..255): R = (255 - C) x (255 - K) / 255, rounded to nearest. Files that store
// their inks inverted (Adobe's CMYK JPEGs, PSD) pass their stored values as they are.
inline uint8_t InkProduct(uint32_t ink_left, uint32_t black_left) {
    return static_cast<uint8_t>((ink_left * black_left + 127u) / 255u);
}

// 8-bit C, M, Y, K inks (255: full ink) as B, G, R.
inline void CmykToBgr(uint32_t c, uint32_t m, uint32_t y, uint32_t k, uint8_t* bgr) {
    bgr[0] = InkProduct(255u - y, 255u - k);
    bgr[1] = InkProduct(255u - m, 255u - k);
    bgr[2] = InkProduct(255u - c, 255u - k);
}

// A colour sample premultiplied by alpha made straight, both in 0..max_value and at the
// samples' own precision (before any reduction to 8 bits); rounded, 0 where alpha is 0.
inline uint32_t Unpremultiply(uint32_t c, uint32_t a, uint32_t max_value) {
    if (a == 0) return 0;
    const uint64_t v = (uint64_t{c} * max_value + a / 2) / a;
    return v > max_value ? max_value : static_cast<uint32_t>(v);
}

// A row of 2-bit indices (packed from the high bits) widened to 4-bit ones, the low half of
// an odd last byte 0. `src` may be `dst`: bytes are made from the last one down, and byte j
// reads input byte j / 2 only, which no byte made before it (all higher) has overwritten.
inline void WidenTwoBitRow(const uint8_t* src, uint8_t* dst, uint32_t width) {
    for (uint32_t j = (width + 1) / 2; j-- > 0;) {
        const uint8_t in = src[j / 2];
        const int shift = (j & 1) ? 2 : 6;  // pixels 2j and 2j + 1 of that byte
        const auto first = static_cast<uint8_t>((in >> shift) & 3);
        const auto second = static_cast<uint8_t>(2 * j + 1 < width ? (in >> (shift - 2)) & 3 : 0);
        dst[j] = static_cast<uint8_t>(first << 4 | second);
    }
}

// A linear-light sample (Radiance HDR, PFM, floating-point TIFF) as it is shown: clamped to
// [0, 1], then through the sRGB transfer curve, rounded to 8 bits. NaN shows as 0.
inline uint8_t LinearToDisplay8(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 255;
    const float e = v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
    return static_cast<uint8_t>(e * 255.0f + 0.5f);
}

// A floating-point fraction (alpha) clamped to [0, 1] and rounded to 8 bits, with no curve.
// NaN shows as 0.
inline uint8_t UnitTo8(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 255;
    return static_cast<uint8_t>(v * 255.0f + 0.5f);
}

// An IEEE-style binary float of 1 sign bit, `exponent_bits` and `mantissa_bits` (half
// precision: 5 and 10; the 24-bit float of TIFF and DNG: 7 and 16) as a float.
inline float WidenFloat(uint32_t bits, int exponent_bits, int mantissa_bits) {
    const uint32_t mantissa = bits & ((1u << mantissa_bits) - 1);
    const uint32_t exponent = (bits >> mantissa_bits) & ((1u << exponent_bits) - 1);
    const bool negative = ((bits >> (mantissa_bits + exponent_bits)) & 1) != 0;
    const int bias = (1 << (exponent_bits - 1)) - 1;
    float v;
    if (exponent == (1u << exponent_bits) - 1) {
        v = mantissa ? NAN : INFINITY;
    } else if (exponent == 0) {  // zero and subnormals
        v = std::ldexp(static_cast<float>(mantissa), 1 - bias - mantissa_bits);
    } else {
        v = std::ldexp(static_cast<float>(mantissa | (1u << mantissa_bits)),
                       static_cast<int>(exponent) - bias - mantissa_bits);
    }
    return negative ? -v : v;
}
