// The frame positions of the video plug-ins' request block (the value at byte 52): p > 0 is p
// seconds, 0 the start, -1..-100 that per cent of the stream's length, any value below -100 the
// middle.
#pragma once

#include <cstdint>

// Where a preview is taken: 10 per cent of the stream, past the black first frames of most
// videos.
constexpr int32_t kPreviewFramePosition = -10;
