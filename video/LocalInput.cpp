#include "LocalInput.h"

namespace video {

namespace {

int OpenOnlyThatFile(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                     AVDictionary** options) {
    const auto* input = static_cast<const LocalInput*>(s->opaque);
    if (!input || !input->open || !url || input->path != url || (flags & AVIO_FLAG_WRITE)) {
        return AVERROR(EPERM);
    }
    return input->open(s, pb, url, flags, options);
}

}  // namespace

int OpenLocalInput(AVFormatContext** fmt, LocalInput& input) {
    input.open = (*fmt)->io_open;
    (*fmt)->opaque = &input;
    (*fmt)->io_open = OpenOnlyThatFile;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const int result = avformat_open_input(fmt, input.path.c_str(), nullptr, &options);
    av_dict_free(&options);
    return result;
}

}  // namespace video
