// Turning a decoded picture upright by its EXIF orientation (1 as stored, 2 mirrored, 3 turned
// half round, 4 flipped, 5 transposed, 6 a quarter turn clockwise, 7 transversed, 8 a quarter
// turn anticlockwise).
#pragma once

#include <cstdint>

#include "CodecTypes.h"
#include "DibCanvas.h"

// Whether the orientation swaps the picture's width and height.
inline bool OrientationSwapsSides(uint8_t orientation) {
    return orientation >= 5 && orientation <= 8;
}

// Replaces the canvas's picture with the picture shown upright. Orientations 0 and 1 (and values
// outside 1..8) leave it alone. Palette and alpha are kept; the resolution is the caller's
// (swapped with the sides). Mirroring and flipping work in place; quarter turns (and 1- and
// 4-bit pictures) build the result in a second DIB, so for that copy the request holds two.
[[nodiscard]] CodecStatus ApplyOrientation(DibCanvas& canvas, uint8_t orientation);
