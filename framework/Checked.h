// Size arithmetic that reports overflow instead of wrapping around.
#pragma once

#include <cstddef>
#include <cstdint>

[[nodiscard]] inline bool CheckedMul(uint64_t a, uint64_t b, uint64_t& out) noexcept {
    if (a != 0 && b > UINT64_MAX / a) return false;
    out = a * b;
    return true;
}

[[nodiscard]] inline bool CheckedAdd(uint64_t a, uint64_t b, uint64_t& out) noexcept {
    if (b > UINT64_MAX - a) return false;
    out = a + b;
    return true;
}

// True when a 64-bit byte count can be allocated in this address space.
[[nodiscard]] inline bool FitsSizeT(uint64_t n) noexcept {
    return n <= static_cast<uint64_t>(SIZE_MAX);
}
