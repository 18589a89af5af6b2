// What the Windows Imaging Component back end shares between decoding and encoding: a small
// owning COM pointer, the apartment guard that each request holds, the factory, and the mapping
// of WIC's failures to codec statuses.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <wincodec.h>

#include <cstddef>
#include <cstdint>

#include "CodecTypes.h"

namespace wic {

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
    void Reset() {
        if (m_p) m_p->Release();
        m_p = nullptr;
    }
    template <typename U>
    HRESULT As(ComPtr<U>& other) const {
        return m_p ? m_p->QueryInterface(__uuidof(U), reinterpret_cast<void**>(other.Put()))
                   : E_POINTER;
    }

private:
    T* m_p = nullptr;
};

// COM on the calling thread for the length of one request, in the apartment-threaded model that
// image viewers use. Only an initialisation that succeeded (S_OK, or S_FALSE when the thread was
// already in that apartment) is balanced; a thread that its host put in the multithreaded
// apartment (RPC_E_CHANGED_MODE) goes on in it: WIC's objects work in either.
class ComApartment {
public:
    ComApartment() : m_balance(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComApartment() {
        if (m_balance) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool m_balance;
};

// A new imaging factory for this request; null (and `hr` set) when WIC is not available.
IWICImagingFactory* CreateFactory(HRESULT& hr);

// The codec status for a failed WIC call.
CodecStatus StatusOf(HRESULT hr);

// Our type code for a WIC container format; 0 for containers without one.
uint32_t TypeOfContainer(const GUID& container);
// The container WIC writes for a type code; null when WIC offers no encoder for it here.
const GUID* ContainerOfType(uint32_t type);

// What the other builds refuse before decoding, checked before WIC sees the bytes: a picture
// size in a JPEG (SOF) or PNG (IHDR) header beyond the codec layer's limit (NoMemory, before WIC
// allocates for it), and PNG critical chunks whose CRC does not match (Broken; WIC's PNG decoder
// may take them). Ok otherwise, and for other formats.
CodecStatus CheckBeforeDecoding(const uint8_t* data, size_t size);

}  // namespace wic
