#include "Status.h"

#include <cerrno>

extern "C" {
#include <libavutil/error.h>
}

namespace video {

Status StatusOfAvError(int error) {
    if (error >= 0) return Status::Ok;
    if (error == AVERROR(ENOMEM)) return Status::NoMemory;
    if (error == AVERROR_DECODER_NOT_FOUND || error == AVERROR_DEMUXER_NOT_FOUND ||
        error == AVERROR_PATCHWELCOME || error == AVERROR(ENOSYS)) {
        return Status::Unsupported;
    }
    return Status::Broken;
}

const char* StatusName(Status status) {
    switch (status) {
        case Status::Ok:
            return "Ok";
        case Status::Broken:
            return "Broken";
        case Status::NoMemory:
            return "NoMemory";
        case Status::Unsupported:
            return "Unsupported";
    }
    return "?";
}

}  // namespace video
