#include "ReceivedDib.h"

#include <cstring>

#include "Checked.h"
#include "DibHelpers.h"
#include "platform/platform.h"

void ReceivedDib::Adopt(SpiHandle info, SpiHandle bits) {
    Reset();
    m_info = info;
    m_bits = bits;
}

void ReceivedDib::Reset() {
    if (m_info_locked) platform::MemUnlock(m_info);
    m_info_locked = false;
    if (m_info) platform::MemFree(m_info);
    if (m_bits) platform::MemFree(m_bits);
    m_info = nullptr;
    m_bits = nullptr;
    m_joined.clear();
    m_data = nullptr;
    m_size = 0;
}

bool ReceivedDib::Assemble(std::string& error) {
    if (!m_info) {
        error = "the plug-in returned no picture handle";
        return false;
    }
    if (m_data) return true;
    const size_t info_size = platform::MemSize(m_info);
    auto* info = static_cast<const uint8_t*>(platform::MemLock(m_info));
    if (!info) {
        error = "the picture handle cannot be locked";
        return false;
    }
    if (!m_bits) {
        // One handle: the block is the whole packed DIB; it stays locked while it is viewed.
        m_info_locked = true;
        m_data = info;
        m_size = info_size;
        return true;
    }
    // Two handles: the header block holds the header, colour table and masks; the bits block
    // the rows. The header block may be larger than asked for, so only its measured header part
    // is taken.
    DibMeasures m;
    const bool measured = MeasureDib(info, info_size, m);
    const uint64_t head = m.HeaderPartSize();
    const size_t bits_size = platform::MemSize(m_bits);
    uint64_t joined_size = 0;
    bool ok = measured && head <= info_size && CheckedAdd(head, bits_size, joined_size) &&
              FitsSizeT(joined_size);
    if (ok) {
        auto* bits = static_cast<const uint8_t*>(platform::MemLock(m_bits));
        if (bits) {
            m_joined.resize(static_cast<size_t>(joined_size));
            std::memcpy(m_joined.data(), info, static_cast<size_t>(head));
            if (bits_size) std::memcpy(m_joined.data() + head, bits, bits_size);
            platform::MemUnlock(m_bits);
        } else {
            error = "the bits handle cannot be locked";
            platform::MemUnlock(m_info);
            return false;
        }
    } else {
        error = "the header block (" + std::to_string(info_size) +
                " bytes) does not hold the DIB header and colour table it describes";
    }
    platform::MemUnlock(m_info);
    if (!ok) return false;
    m_data = m_joined.data();
    m_size = m_joined.size();
    return true;
}
