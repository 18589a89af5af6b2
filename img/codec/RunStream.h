// Bytes expanded from a byte-oriented run-length code, for readers whose runs may go on from one
// row into the next (PCX, Sun raster): rows are read from one stream. The format's packet
// reader `Packet(ByteReader&, uint32_t& count, uint8_t& value)` reads one packet as a run of
// `count` copies of `value` (a literal byte is a run of 1; a run of 0 is skipped) and returns
// false where the data ends. Without runs, the bytes are taken as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ByteReader.h"

template <typename Packet>
class RunStream {
public:
    RunStream(ByteReader in, bool runs, Packet packet) : m_in(in), m_runs(runs), m_packet(packet) {}

    // The next n bytes into `out`; false when the data ends first.
    [[nodiscard]] bool Read(uint8_t* out, size_t n) {
        if (!m_runs) return m_in.ReadBytes(out, n);
        for (size_t i = 0; i < n;) {
            if (m_left == 0) {
                if (!m_packet(m_in, m_left, m_value)) return false;
                continue;
            }
            const size_t take = m_left < n - i ? m_left : n - i;
            std::memset(out + i, m_value, take);
            i += take;
            m_left -= static_cast<uint32_t>(take);
        }
        return true;
    }

private:
    ByteReader m_in;
    bool m_runs;
    Packet m_packet;
    uint32_t m_left = 0;
    uint8_t m_value = 0;
};
