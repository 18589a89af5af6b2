#include "MediaDetApi.h"

#include <cstring>

namespace dshow {

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace dshow
