// AVIF image sequences (brand avis, a track of AV1 frames) through libavif, for the HEIF back end,
// whose library reads only a file's image items: every frame of the track at its index.
#pragma once

#include <cstddef>
#include <cstdint>

#include "CodecBackend.h"

struct PictureMetadata;

// Whether the file is an image sequence: an ftyp that names avis and a movie box.
bool IsAvifSequence(const uint8_t* data, size_t size);

// Frame `frame` of the track (or with `header` set, the track's measures and frame count and no
// pixels), 32-bit BGRA where the sequence has alpha, else 24-bit BGR.
CodecStatus ReadAvifSequence(const uint8_t* data, size_t size, int32_t frame, DibCanvas& canvas,
                             DecodeResult& result, PictureHeader* header);
// The track's colours as its frames are decoded: its ICC profile, else its CICP codes (whose
// matrix and range libavif has already applied), added to `out`.
void ReadAvifSequenceColours(const uint8_t* data, size_t size, PictureMetadata& out);
