#include "CodecTypes.h"

const char* CodecStatusName(CodecStatus status) {
    switch (status) {
        case CodecStatus::Ok: return "Ok";
        case CodecStatus::NotThisFormat: return "NotThisFormat";
        case CodecStatus::Unsupported: return "Unsupported";
        case CodecStatus::Broken: return "Broken";
        case CodecStatus::NoFrame: return "NoFrame";
        case CodecStatus::NoMemory: return "NoMemory";
    }
    return "?";
}
