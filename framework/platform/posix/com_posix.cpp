// No COM on POSIX: the stand-ins of the COM components need no start-up.
#include "platform/com.h"

namespace platform {

ComScope::ComScope() = default;

}  // namespace platform
