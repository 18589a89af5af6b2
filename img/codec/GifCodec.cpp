// GIF through the plug-ins' own reader: each image of the stream is a frame, decoded by itself
// into the 1-, 4- or 8-bit DIB that gifsrc gives.
#include "CodecBackends.h"
#include "GifFile.h"

namespace {

class GifCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeGif; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= 6 && p[0] == 'G' && p[1] == 'I' && p[2] == 'F' && p[3] == '8' &&
               (p[4] == '7' || p[4] == '9') && p[5] == 'a';
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        if (request.frame < 0) return CodecStatus::NoFrame;
        GifFile gif;
        const int32_t images = gif.CountImages(data, size);
        gif.SetImageIndex(request.frame);
        gif.SetMemorySource(data, size);
        switch (static_cast<GifResult>(gif.ReadPictureFromMemory())) {
            case GifResult::Ok:
                break;
            case GifResult::NoMemory:
                return CodecStatus::NoMemory;
            case GifResult::DataEnded:
                return request.frame >= images && images > 0 ? CodecStatus::NoFrame
                                                             : CodecStatus::Broken;
            default:
                return CodecStatus::Broken;
        }
        // An empty image (width or height 0) decodes in gifsrc but is no picture here.
        const CodecStatus adopted = canvas.Adopt(gif.TakeResultDib());
        if (adopted != CodecStatus::Ok) return adopted;
        result.frame_count = images > request.frame ? images : request.frame + 1;
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& GifBackend() {
    static const GifCodec backend;
    return backend;
}
