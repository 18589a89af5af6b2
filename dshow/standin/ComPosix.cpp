// COM where there is none: start-up that does nothing, the task allocator and COM strings over
// the C heap, and CoCreateInstance for the one class dshowsrc creates, the media detector.
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#include "MediaDet.h"
#include "MediaDetApi.h"

HRESULT CoInitialize(void*) { return S_OK; }

void CoUninitialize() {}

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD, const IID& iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return static_cast<HRESULT>(0x80040110u);  // CLASS_E_NOAGGREGATION
    if (!dshow::SameGuid(clsid, dshow::kClsidMediaDet)) return REGDB_E_CLASSNOTREG;
    auto* detector = new (std::nothrow) MediaDet;
    if (!detector) return E_OUTOFMEMORY;
    const HRESULT result = detector->QueryInterface(iid, out);
    detector->Release();
    return result;
}

void* CoTaskMemAlloc(size_t size) { return std::malloc(size == 0 ? 1 : size); }

void CoTaskMemFree(void* p) { std::free(p); }

BSTR SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    const size_t bytes = (std::wcslen(text) + 1) * sizeof(OLECHAR);
    auto* copy = static_cast<BSTR>(std::malloc(bytes));
    if (copy) std::memcpy(copy, text, bytes);
    return copy;
}

void SysFreeString(BSTR text) { std::free(text); }
