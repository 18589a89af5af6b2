// Test AVI files made with libavformat and libavcodec: a choice of codecs, frame rates, key-frame
// spacing and stream layouts, each frame numbered in its pixels, and byte patches for the cases
// a muxer does not write (no index, dwScale 0, an unknown codec).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace avitest {

struct AviSpec {
    // An FFmpeg encoder name; "msrle" is written by our own RLE8 coder; "rawvideo" stores
    // `raw_bits` (8: palette, 16: RGB 555, 24: BGR) bottom-up rows.
    std::string codec = "mpeg4";
    int raw_bits = 24;
    int width = 64;
    int height = 48;
    int frames = 30;
    int rate_num = 25;  // frames per second = rate_num / rate_den (dwRate / dwScale)
    int rate_den = 1;
    int gop = 10;               // a key frame every `gop` frames (intra-only codecs: every frame)
    bool audio_first = false;   // an audio stream before the video
    bool second_video = false;  // a second video stream (half size, numbered n + 1000)
};

// Writes the file; empty string on success, else what failed.
std::string MakeAvi(const std::string& path, const AviSpec& clip);

// The frame number drawn into frame n's pixels (a 12-bit code in two rows of 6 blocks, white
// for 1, black for 0), read back from 8-bit RGB rows, top row first; -1 when unreadable.
int ReadFrameNumber(const uint8_t* rgb, int width, int height);
// Draws frame n's code into 8-bit RGB rows (top row first).
void DrawFrameNumber(int n, uint8_t* rgb, int width, int height);

// Byte patches of a written file.
bool ReplaceFourCC(std::vector<uint8_t>& file, const char* from, const char* to, int count = -1);
// Sets dwScale of stream `number`'s strh header.
bool PatchStreamScale(std::vector<uint8_t>& file, int number, uint32_t scale);
// Sets biCompression of stream `number`'s strf and fccHandler of its strh.
bool PatchVideoCodec(std::vector<uint8_t>& file, int number, const char* fourcc);

}  // namespace avitest
