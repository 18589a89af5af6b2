// Boxes of the ISO base media file format and of JP2: a 32-bit big-endian length (1: a 64-bit
// length follows the type; 0: to the end), a four-letter type, then the contents.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ByteReader.h"

// A box type from its four letters, as a big-endian word.
constexpr uint32_t BoxType(const char (&s)[5]) {
    return uint32_t{static_cast<uint8_t>(s[0])} << 24 | uint32_t{static_cast<uint8_t>(s[1])} << 16 |
           uint32_t{static_cast<uint8_t>(s[2])} << 8 | static_cast<uint8_t>(s[3]);
}

// The next box of `r`: its type and its contents. False at the end or on a damaged length.
inline bool NextBox(ByteReader& r, uint32_t& type, ByteReader& body) {
    uint32_t length32 = 0;
    if (!r.ReadU32BE(length32) || !r.ReadU32BE(type)) return false;
    uint64_t length = length32, header = 8;
    if (length == 1) {
        if (!r.ReadU64BE(length)) return false;
        header = 16;
    } else if (length == 0) {
        length = header + r.Remaining();
    }
    if (length < header || length - header > r.Remaining()) return false;
    return r.Take(static_cast<size_t>(length - header), body);
}

// The contents of the first box of type `wanted` among those of `r`.
inline bool FindBox(ByteReader r, uint32_t wanted, ByteReader& body) {
    uint32_t type = 0;
    ByteReader contents;
    while (NextBox(r, type, contents)) {
        if (type == wanted) {
            body = contents;
            return true;
        }
    }
    return false;
}
