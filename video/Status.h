// Why an operation of video/ failed. The stand-ins turn it into the code of the interface they
// emulate (an HRESULT of the media detector, an AVIERR of AVIFile), so that a shortage of memory
// and a damaged file stay apart up to the plug-in.
#pragma once

namespace video {

enum class Status {
    Ok,
    Broken,       // the data cannot be read: damaged, cut short, or no media file
    NoMemory,     // an allocation failed, or a size passes what may be allocated
    Unsupported,  // no decoder, pixel format or feature for what the file holds
};

// The status of an FFmpeg error code (negative AVERROR): ENOMEM is NoMemory; a missing decoder,
// demuxer or feature is Unsupported; every other error is Broken.
Status StatusOfAvError(int error);

// The status's name, for logs and test failures.
const char* StatusName(Status status);

}  // namespace video

// Returns the status of `expr` from the enclosing function unless it is Ok.
#define PLUGIN_VIDEO_TRY(expr)                                                       \
    do {                                                                             \
        if (const ::video::Status s_ = (expr); s_ != ::video::Status::Ok) return s_; \
    } while (0)
