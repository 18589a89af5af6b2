#include "HostApartment.h"

#if defined(_WIN32)
#include <objbase.h>

HostApartment::HostApartment()
    : m_initialized(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}

HostApartment::~HostApartment() {
    if (m_initialized) CoUninitialize();
}
#else
HostApartment::HostApartment() = default;
HostApartment::~HostApartment() = default;
#endif
