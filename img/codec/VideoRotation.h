// The display rotation of an MP4/MOV clip's first video track: the rotation part of its track
// header's display matrix, which players apply and the decoded frames do not carry.
#pragma once

#include <cstddef>
#include <cstdint>

// Degrees clockwise (0, 90, 180 or 270; other angles rounded to the nearest quarter turn), or -1
// when the bytes hold no ISO media file with a video track whose header can be read.
int Mp4DisplayRotation(const uint8_t* data, size_t size);
