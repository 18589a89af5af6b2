// Converting a decoded picture from its ICC profile to sRGB (perceptual intent, alpha kept).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "DibCanvas.h"

// Whether this build converts colours at all (lcms2 present).
bool ColourManagementAvailable();

// Converts the canvas's pixels (or palette, for indexed pictures) from `icc` to sRGB. Ok when
// converted; Unsupported when the profile does not fit the picture (a CMYK or Lab profile, grey
// against colour data) or this build converts nothing; Broken when the profile cannot be read.
[[nodiscard]] CodecStatus ConvertToSrgb(DibCanvas& canvas, const uint8_t* icc, size_t size);

// Whether ConvertToSrgb would take the profile (it can be read, it is RGB or grey, lcms2
// builds the transform), without a picture: what the information read promises.
bool ProfileConvertible(const uint8_t* icc, size_t size);

// The profile's description (its 'desc' tag, in English where it has several); empty when
// the profile cannot be read or this build has no lcms2.
std::string ProfileDescription(const uint8_t* icc, size_t size);
