// An owning COM interface pointer for the Windows builds: released when it goes, or before a
// call refills it.
#pragma once

#if defined(_WIN32)
#include <objbase.h>

namespace platform {

template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // The slot for a call that hands out a new reference; the old one is released first.
    T** Put() {
        Reset();
        return &m_p;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    void Reset() {
        if (m_p) m_p->Release();
        m_p = nullptr;
    }
    template <typename U>
    HRESULT As(ComPtr<U>& other) const {
        return m_p ? m_p->QueryInterface(__uuidof(U), other.PutVoid()) : E_POINTER;
    }

private:
    T* m_p = nullptr;
};

}  // namespace platform
#endif
