// Opening a file for libavformat as that local file alone. libavformat follows what some files
// name: playlists and lists of files (HLS, DASH, concat) open further files or URLs, and a file
// name can itself be a URL. A picture plug-in reads the file it is given and nothing else.
#pragma once

#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

namespace video {

// What a context opened by OpenLocalInput refers to; it must outlive the context.
struct LocalInput {
    std::string path;
    int (*open)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) = nullptr;
};

// avformat_open_input on `fmt` (allocated by the caller, callbacks set as wanted) for
// `input.path`, through the file protocol only, refusing every other file or URL the input names.
// Returns avformat_open_input's result; on failure `fmt` is freed and null.
int OpenLocalInput(AVFormatContext** fmt, LocalInput& input);

}  // namespace video
