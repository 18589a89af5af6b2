// Frames for the Windows dshowsrc where the media detector gives none (an IMediaDet without
// GetBitmapBits, or no detector at all): a filter graph of our own, the file's source through
// the graph builder's intelligent connect into a sample grabber that asks for 24-bit RGB, and a
// null renderer. The caller has initialised COM on the calling thread.
#pragma once

#include <chrono>
#include <cstdint>

#include "plugin_abi.h"

namespace dshow {

// The frame of the file's first connectable video stream that shows at the time `position`
// selects (DswFile::FramePositionToTime over `length` seconds; over the graph's own duration
// when `length` is 0): the last frame whose start is not after that time, the first frame when
// the time lies before it, the last one past the end. A movable block holding a 24-bit BI_RGB
// bottom-up packed DIB followed by 128 zero bytes, or null when the graph cannot be built, the
// file cannot be rendered or played to that point, or memory runs out. Every interface, and
// the graph's streaming, is ended before it returns, unless the time limit ended the wait.
// With `key_frame`, the frame is the key frame at or before that time where the file's parser
// answers a key-frame seek, the frame showing at the time where it seeks exactly.
// The request began at `begun`: it ends by 20 s after that, with null when the graph has not
// given the frame by then (the graph's thread, which may be blocked inside DirectShow, is left to
// end by itself).
SpiHandle GraphFrameQuery(const wchar_t* file_name, int32_t position, double length, bool key_frame,
                          std::chrono::steady_clock::time_point begun);

}  // namespace dshow
