// Writes the dshowsrc test clips into a folder, for the Windows suite under Wine (which has no
// encoders of its own): dshow_make_clips DIR
#include <cstdio>
#include <filesystem>
#include <string>

#include "DshowClips.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dshow_make_clips DIR\n");
        return 2;
    }
    std::error_code ec;
    std::filesystem::create_directories(argv[1], ec);
    std::string error;
    if (!cliptest::WriteStandardClips(argv[1], error)) {
        std::fprintf(stderr, "dshow_make_clips: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
