// The frame numbers that the test clips carry in their pixels: shared by the Linux suites and
// the Windows one, which has no FFmpeg.
#include <cmath>
#include <cstring>

#include "ClipMaker.h"

namespace cliptest {

int ReadFrameNumber(const uint8_t* dib, size_t size) {
    if (size < 40) return -1;
    int32_t width, height;
    uint16_t bits;
    std::memcpy(&width, dib + 4, 4);
    std::memcpy(&height, dib + 8, 4);
    std::memcpy(&bits, dib + 14, 2);
    if (bits != 24 || width < 8 || height < 1) return -1;
    const size_t stride = (static_cast<size_t>(width) * 3 + 3) / 4 * 4;
    if (size < 40 + stride * static_cast<size_t>(height)) return -1;
    const uint8_t* row = dib + 40 + stride * static_cast<size_t>(height / 2);
    int n = 0;
    for (int band = 0; band < 8; ++band) {
        const int x = (2 * band + 1) * width / 16;
        const uint8_t* p = row + 3 * x;
        const int grey = (p[0] + p[1] + p[2]) / 3;
        if (grey > 170) {
            n |= 1 << band;
        } else if (grey > 85) {
            return -1;  // neither black nor white: not one of our frames
        }
    }
    return n;
}

int FrameShownAt(double seconds, int fps, int frames) {
    const int n = static_cast<int>(std::floor(seconds * fps + 1e-9));
    return n < 0 ? 0 : n >= frames ? frames - 1 : n;
}

}  // namespace cliptest
