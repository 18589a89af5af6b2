// The AVIFile interface: avifil32 on Windows, our stand-in elsewhere. AviFile is written once
// against the names declared here.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <vfw.h>
#else
#include "AviStandIn.h"
#endif
