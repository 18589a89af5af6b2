// A growable owned array that grows but never shrinks.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>

template <class T>
class ZEMxMemoryT {
public:
    ZEMxMemoryT() = default;
    virtual ~ZEMxMemoryT() { Free(); }
    ZEMxMemoryT(const ZEMxMemoryT&) = delete;
    ZEMxMemoryT& operator=(const ZEMxMemoryT&) = delete;

    T* Data() noexcept { return m_data; }
    const T* Data() const noexcept { return m_data; }
    int32_t Size() const noexcept { return m_size; }

    // Writes `count` elements at `offset`, growing the storage when needed. The source may
    // overlap the buffer. Raises std::bad_alloc when the storage cannot grow, leaving the buffer
    // as it was. Negative counts or offsets, and sizes past INT32_MAX, change nothing.
    ZEMxMemoryT& WriteAt(const T* source, int32_t count, int32_t offset) {
        if (!source || count < 0 || offset < 0) return *this;
        int64_t need = static_cast<int64_t>(offset) + count;
        if (need > INT32_MAX) throw std::bad_alloc();
        if (m_size >= need) {
            if (count) std::memmove(m_data + offset, source, sizeof(T) * static_cast<size_t>(count));
            return *this;
        }
        T* grown = need ? new T[static_cast<size_t>(need)]() : nullptr;
        const size_t keep = static_cast<size_t>(offset < m_size ? offset : (m_size > 0 ? m_size : 0));
        if (keep > 0) std::memcpy(grown, m_data, sizeof(T) * keep);
        if (count > 0) std::memcpy(grown + offset, source, sizeof(T) * static_cast<size_t>(count));
        delete[] m_data;
        m_data = grown;
        m_size = static_cast<int32_t>(need);
        return *this;
    }

    virtual ZEMxMemoryT& Assign(const ZEMxMemoryT& other) {
        return WriteAt(other.m_data, other.m_size, 0);
    }

    // Makes the storage at least `count` elements long; a shorter storage is replaced by a
    // zeroed array of exactly that length.
    void Reserve(int32_t count) {
        if (count <= m_size) return;
        T* grown = new T[static_cast<size_t>(count)]();
        delete[] m_data;
        m_data = grown;
        m_size = count;
    }

private:
    void Free() noexcept {
        delete[] m_data;
        m_data = nullptr;
        m_size = 0;
    }

    T* m_data = nullptr;
    int32_t m_size = 0;
};
