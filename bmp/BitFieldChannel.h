// One colour channel of a bit-field pixel (BI_BITFIELDS, BI_ALPHABITFIELDS, and the fixed 5-5-5
// and 8-8-8 layouts of BI_RGB): the value under its mask, scaled to 0..255 and rounded. Every
// reader of such pixels takes its channels from here, so that they round alike.
#pragma once

#include <cstdint>

class BitFieldChannel {
public:
    explicit BitFieldChannel(uint32_t mask = 0) : m_mask(mask) {
        if (!mask) return;
        while (((mask >> m_shift) & 1) == 0) ++m_shift;
        m_max = mask >> m_shift;
    }

    uint32_t Mask() const { return m_mask; }
    // 0 for a channel without a mask.
    uint8_t Take(uint32_t pixel) const {
        if (!m_max) return 0;
        const uint64_t v = (pixel & m_mask) >> m_shift;
        return static_cast<uint8_t>((v * 255 + m_max / 2) / m_max);
    }

private:
    uint32_t m_mask = 0;
    uint32_t m_shift = 0;
    uint32_t m_max = 0;  // the mask shifted down
};
