// COM start-up on Windows. Its own unit, so that only the programs that use it import ole32.
#include <objbase.h>

#include "platform/com.h"

namespace platform {

ComScope::ComScope()
    : ComScope(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)),
               [] { CoUninitialize(); }) {}

}  // namespace platform
