// Small video clips for the dshowsrc tests, written with libavformat and libavcodec. Frame n
// carries its number in its pixels: eight vertical bands, band i white when bit i of n is set,
// so that a test can tell which frame a decoder returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace cliptest {

enum class Codec { H264, H264Yuv444, Mpeg2, Mpeg4, Vp8, Theora };

struct ClipSpec {
    const char* muxer = "mp4";  // libavformat's muxer name: mp4, matroska, vob, avi, ...
    Codec codec = Codec::H264;
    int width = 64;
    int height = 48;
    int fps = 10;
    int frames = 40;
    int gop = 12;  // frames from one key frame to the next
    int b_frames = 2;
    bool audio_first = false;  // an MPEG audio stream ahead of the video stream
    bool unseekable = false;   // written as to a pipe: no duration, no index
    bool grain = false;        // noise over the picture, so that frames are not tiny
    bool motion = false;       // a smooth texture panning across the bands, as in a camera pan
    const char* x264_preset = "veryfast";
    const char* x264_params = "";  // more of libx264's options, "name=value:name=value"
};

// Writes the clip; false with a reason when it cannot.
bool MakeClip(const std::string& path, const ClipSpec& want, std::string& error);

// The number carried by a 24-bit bottom-up packed DIB's pixels, or -1.
int ReadFrameNumber(const uint8_t* dib, size_t size);

// The frame showing `seconds` into a clip of `frames` frames at `fps`.
int FrameShownAt(double seconds, int fps, int frames);

}  // namespace cliptest
