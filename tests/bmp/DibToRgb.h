// Turns an uncompressed packed DIB into 8-bit RGB rows, top row first, so that a decoded bitmap
// can be compared with a reference picture. Written from the DIB layout alone, independently of
// the plug-in's measures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bmp_test {

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // width * height * 3, top row first
};

// Handles core and info-type headers; 1-, 4- and 8-bit colour tables; 16-bit (5-5-5 or bit
// fields), 24-bit, 32-bit (8-8-8 or bit fields); bottom-up and top-down rows. Empty string on
// success, else what is wrong.
std::string DibToRgb(const uint8_t* dib, size_t size, RgbImage& out);

// Reads a PNG file as 8-bit RGB through libpng.
std::string ReadPngRgb(const std::string& path, RgbImage& out);

}  // namespace bmp_test
