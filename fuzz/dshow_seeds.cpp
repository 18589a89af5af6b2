// Writes small clips for dshow_fuzzer to start from, one per container the plug-in offers, with
// audio ahead of video, a stream without a length and rows that need padding:
// dshow_fuzz_seeds DIR
#include <cstdio>
#include <filesystem>
#include <string>

#include "ClipMaker.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dshow_fuzz_seeds DIR\n");
        return 2;
    }
    using cliptest::Codec;
    struct Seed {
        const char* name;
        const char* muxer;
        Codec codec;
        bool audio_first;
        bool unseekable;
        int width;
    };
    // Few and small frames: the fuzzer keeps inputs short.
    const Seed seeds[] = {
        {"h264.mp4", "mp4", Codec::H264, false, false, 32},
        {"mpeg4.avi", "avi", Codec::Mpeg4, false, false, 32},
        {"audio-first.mkv", "matroska", Codec::H264, true, false, 32},
        {"mpeg2.mpg", "vob", Codec::Mpeg2, false, false, 32},
        {"no-length.mkv", "matroska", Codec::Mpeg4, false, true, 32},
        {"padded.mp4", "mp4", Codec::Mpeg4, false, false, 22},
    };
    std::error_code ec;
    std::filesystem::create_directories(argv[1], ec);
    for (const Seed& seed : seeds) {
        cliptest::ClipSpec want;
        want.muxer = seed.muxer;
        want.codec = seed.codec;
        want.width = seed.width;
        want.height = 16;
        want.fps = 5;
        want.frames = 8;
        want.gop = 4;
        want.b_frames = seed.codec == Codec::Mpeg4 ? 0 : 1;
        want.audio_first = seed.audio_first;
        want.unseekable = seed.unseekable;
        std::string error;
        const std::string path = std::string(argv[1]) + "/" + seed.name;
        if (!cliptest::MakeClip(path, want, error)) {
            std::fprintf(stderr, "dshow_fuzz_seeds: %s: %s\n", seed.name, error.c_str());
            return 1;
        }
    }
    return 0;
}
