// COM start-up on Windows. Its own unit, so that only the programs that use it import ole32.
#include <objbase.h>

#include "platform/com.h"

namespace platform {

ComScope::ComScope() : m_initialised(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}

ComScope::~ComScope() {
    if (m_initialised) CoUninitialize();
}

}  // namespace platform
