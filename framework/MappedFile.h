// A read-only view of a whole file for the length of one read.
#pragma once

#include <cstdint>

#include "platform/platform.h"

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile() { Close(); }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps the whole file; returns the first byte, or null when the file cannot be opened,
    // is empty or cannot be mapped.
    const uint8_t* Open(const wchar_t* file_name) {
        Close();
        return m_view.Open(file_name) ? m_view.Data() : nullptr;
    }
    void Close() { m_view.Close(); }
    const uint8_t* Data() const { return m_view.Data(); }
    uint64_t Size() const { return m_view.Size(); }

private:
    platform::FileView m_view;
};
