// A bounded, non-owning reader over untrusted bytes. It never reads outside [m_pos, m_end).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class ByteReader {
public:
    ByteReader() noexcept : m_pos(nullptr), m_end(nullptr) {}
    ByteReader(const uint8_t* data, size_t size) noexcept
        : m_pos(data), m_end(data ? data + size : data) {}

    size_t Remaining() const noexcept { return static_cast<size_t>(m_end - m_pos); }
    const uint8_t* Position() const noexcept { return m_pos; }

    [[nodiscard]] bool Skip(size_t n) noexcept {
        if (n > Remaining()) return false;  // never m_pos + n > m_end: that can overflow
        m_pos += n;
        return true;
    }
    [[nodiscard]] bool ReadU8(uint8_t& out) noexcept {
        if (Remaining() < 1) return false;
        out = *m_pos++;
        return true;
    }
    [[nodiscard]] bool ReadU16LE(uint16_t& out) noexcept {
        if (Remaining() < 2) return false;
        out = static_cast<uint16_t>(m_pos[0] | (m_pos[1] << 8));
        m_pos += 2;
        return true;
    }
    [[nodiscard]] bool ReadU32LE(uint32_t& out) noexcept {
        if (Remaining() < 4) return false;
        out = LoadU32LE(m_pos);
        m_pos += 4;
        return true;
    }
    // Big-endian fields (PSD, and the other formats of Motorola heritage).
    [[nodiscard]] bool ReadU16BE(uint16_t& out) noexcept {
        if (Remaining() < 2) return false;
        out = LoadU16BE(m_pos);
        m_pos += 2;
        return true;
    }
    [[nodiscard]] bool ReadU32BE(uint32_t& out) noexcept {
        if (Remaining() < 4) return false;
        out = LoadU32BE(m_pos);
        m_pos += 4;
        return true;
    }
    [[nodiscard]] bool ReadU64BE(uint64_t& out) noexcept {
        if (Remaining() < 8) return false;
        out = (uint64_t{LoadU32BE(m_pos)} << 32) | LoadU32BE(m_pos + 4);
        m_pos += 8;
        return true;
    }
    [[nodiscard]] bool ReadBytes(void* out, size_t n) noexcept {
        if (n > Remaining()) return false;
        if (n) std::memcpy(out, m_pos, n);
        m_pos += n;
        return true;
    }
    // A bounded child reader over the next n bytes, which this reader then skips.
    [[nodiscard]] bool Take(size_t n, ByteReader& sub) noexcept {
        if (n > Remaining()) return false;
        sub = ByteReader(m_pos, n);
        m_pos += n;
        return true;
    }

    static uint16_t LoadU16LE(const uint8_t* p) noexcept {
        return static_cast<uint16_t>(p[0] | (p[1] << 8));
    }
    static uint32_t LoadU32LE(const uint8_t* p) noexcept {
        return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
               (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    }
    static int32_t LoadI32LE(const uint8_t* p) noexcept {
        return static_cast<int32_t>(LoadU32LE(p));
    }
    static uint16_t LoadU16BE(const uint8_t* p) noexcept {
        return static_cast<uint16_t>((p[0] << 8) | p[1]);
    }
    static uint32_t LoadU32BE(const uint8_t* p) noexcept {
        return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
               (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
    }
    static void StoreU16LE(uint8_t* p, uint16_t v) noexcept {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    }
    static void StoreU32LE(uint8_t* p, uint32_t v) noexcept {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
        p[2] = static_cast<uint8_t>(v >> 16);
        p[3] = static_cast<uint8_t>(v >> 24);
    }

private:
    const uint8_t* m_pos;
    const uint8_t* m_end;
};
