// Writing JPEG, PNG and TIFF through WIC's encoders.
#pragma once

#include <cstdint>
#include <vector>

#include "CodecBackend.h"

namespace wic {

// Encodes the picture as options.type (3 JPEG, with options.jpeg_quality; 4 PNG; 6 TIFF) into
// `out`. COM must be initialised on the calling thread.
CodecStatus EncodePicture(const DibView& view, const EncodeOptions& options,
                          std::vector<uint8_t>& out);

}  // namespace wic
