// The picture handles that GetPicture hands to its caller, owned (and freed) by this object, and
// the packed DIB they hold, seen as one run of bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plugin_abi.h"

class ReceivedDib {
public:
    ReceivedDib() = default;
    ~ReceivedDib() { Reset(); }
    ReceivedDib(const ReceivedDib&) = delete;
    ReceivedDib& operator=(const ReceivedDib&) = delete;

    // Takes ownership of the two handles of a GetPicture call; either may be null.
    void Adopt(SpiHandle info, SpiHandle bits);
    // Unlocks and frees both handles.
    void Reset();

    // Makes Data() and Size() describe the packed DIB: the info block itself when there is no
    // bits block, else the header and colour table of the info block followed by the bits block.
    // False, with a message, when there is no picture or the header block is too short for the
    // header part it describes.
    [[nodiscard]] bool Assemble(std::string& error);

    const uint8_t* Data() const { return m_data; }
    size_t Size() const { return m_size; }
    bool WasSplit() const { return m_bits != nullptr; }

private:
    SpiHandle m_info = nullptr;
    SpiHandle m_bits = nullptr;
    bool m_info_locked = false;
    std::vector<uint8_t> m_joined;
    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
};
