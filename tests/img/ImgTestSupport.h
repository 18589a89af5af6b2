// Helpers for the imgsrc suites: the built module loaded as a host loads it, a picture decoded
// from memory through its exports and turned into top-down RGBA, and a pixel comparison that
// names the first difference.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "PluginModule.h"
#include "plugin_abi.h"

namespace img_test {

// imgsrc, loaded once for the whole test program.
const PluginModule& Imgsrc();

struct Picture {
    int32_t result = -99;
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bit_count = 0;
    bool has_alpha = false;
    uint32_t type_back = 0;     // byte 56 of the request block after the call
    int32_t x_ppm = 0, y_ppm = 0;  // the DIB's pels per metre
    std::vector<uint8_t> dib;   // the packed DIB as returned
    std::vector<uint8_t> rgba;  // top-down rows, 4 bytes a pixel; alpha 255 when the DIB has none
    std::string error;          // why the DIB could not be converted
};

// Fills `out` from a DIB handle (measures, densities, pixels as RGBA) and frees the handle.
void TakeDib(SpiHandle dib, Picture& out);

// GetPicture from memory with a request block (scale at 44, frame at 48, type at 56).
Picture Decode(const std::vector<uint8_t>& bytes, int32_t frame = 0, int32_t scale = 1,
               uint32_t type = 0);
// GetPreview the same way: the file's preview, or the result code alone.
Picture Preview(const std::vector<uint8_t>& bytes, int32_t frame = 0);

struct Info {
    int32_t result = -99;
    PictureInfoRecord record{};
};
// GetPictureInfo from memory with the long record, type at 106.
Info GetInfo(const std::vector<uint8_t>& bytes, uint32_t type = 0);

// The information read of `bytes` against a picture read of frame 0 at scale 1: the same size,
// bit count, densities, type, and the frame count that the codec layer's decode reports.
// Decode checks every such picture read with it.
::testing::AssertionResult InfoAgrees(const std::vector<uint8_t>& bytes, const Picture& picture,
                                      uint32_t type = 0);

// Equal sizes and every channel within `tolerance`; on failure the first pixel that differs.
::testing::AssertionResult SameRgba(const Picture& got, const std::vector<uint8_t>& want_rgba,
                                    uint32_t want_width, uint32_t want_height,
                                    int tolerance = 0);

// Widens RGB, grey or grey+alpha rows (channels 3, 1 or 2) to RGBA.
std::vector<uint8_t> ToRgba(const std::vector<uint8_t>& pixels, int channels);

}  // namespace img_test
