// BMP files from packed DIBs: the 14-byte BITMAPFILEHEADER followed by the DIB exactly as the
// plug-in returned it, cut to the length its header measures (trailing bytes of the block are
// not written), so that the output is reproducible byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "DibHelpers.h"

struct BmpFilePlan {
    uint8_t file_header[kFileHeaderSize] = {};
    size_t dib_bytes = 0;  // bytes of the packed DIB that follow the file header
};

// Measures the packed DIB in [dib, dib + size) and builds its file header. False, with a
// message, when the header is not one of the known kinds, the block is shorter than the DIB it
// describes, or the file would pass 4 GiB.
[[nodiscard]] bool PlanBmpFile(const uint8_t* dib, size_t size, BmpFilePlan& plan,
                               std::string& error);

// Writes the BMP file at `path` (native encoding); nothing is left there on failure.
[[nodiscard]] bool WriteBmpFile(const std::string& path, const uint8_t* dib, size_t size,
                                std::string& error);
