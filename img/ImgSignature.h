// The signature test of the multi-format plug-in: the image type code that the first bytes of a
// file announce, or 0.
#pragma once

#include <cstdint>

// `head` holds at least 2048 readable bytes (zero-filled past the end of a short file).
uint32_t ImgSignatureType(const uint8_t* head);
