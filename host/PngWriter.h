// PNG output of a converted DIB, behind one small interface so that each platform can supply
// its own encoder. A build without one says so and writes nothing.
#pragma once

#include <string>

#include "DibImage.h"

// True when this build can write PNG files.
bool PngOutputAvailable();

// Writes `image` as an 8-bit RGB or RGBA PNG at `path` (native encoding); nothing is left there
// on failure.
[[nodiscard]] bool WritePngFile(const std::string& path, const DibImage& image, std::string& error);
