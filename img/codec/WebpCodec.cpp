// WebP through libwebp. Still pictures, lossy or lossless, decode straight into the DIB rows
// (top-down at a negative pitch): 32-bit straight BGRA when the file declares alpha, else 24-bit
// BGR. Animations go through the demux library's animation decoder: frame N is the canvas as
// composed after N + 1 frames, and the file's alpha flag decides 32 or 24 bits as above.
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "CodecBackends.h"

namespace {

CodecStatus FromVp8Status(VP8StatusCode code) {
    switch (code) {
        case VP8_STATUS_OK:
            return CodecStatus::Ok;
        case VP8_STATUS_OUT_OF_MEMORY:
            return CodecStatus::NoMemory;
        case VP8_STATUS_UNSUPPORTED_FEATURE:
            return CodecStatus::Unsupported;
        default:
            return CodecStatus::Broken;
    }
}

struct AnimDecoderFree {
    void operator()(WebPAnimDecoder* d) const { WebPAnimDecoderDelete(d); }
};

struct DemuxFree {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};

class WebpCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeWebp; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= 12 && std::memcmp(p, "RIFF", 4) == 0 && std::memcmp(p + 8, "WEBP", 4) == 0;
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        if (request.frame < 0) return CodecStatus::NoFrame;
        WebPDecoderConfig config;
        if (!WebPInitDecoderConfig(&config)) return CodecStatus::Unsupported;
        const CodecStatus head = FromVp8Status(WebPGetFeatures(data, size, &config.input));
        if (head != CodecStatus::Ok) return head;
        const WebPBitstreamFeatures& f = config.input;
        if (f.width <= 0 || f.height <= 0) return CodecStatus::Broken;
        const CodecStatus fits =
            CheckDeclaredSize(static_cast<uint64_t>(f.width), static_cast<uint64_t>(f.height));
        if (fits != CodecStatus::Ok) return fits;
        if (f.has_animation) return DecodeAnimation(data, size, request.frame, f.has_alpha != 0,
                                                    canvas, result);
        if (request.frame != 0) return CodecStatus::NoFrame;

        const bool alpha = f.has_alpha != 0;
        const CodecStatus created = canvas.Create(static_cast<uint32_t>(f.width),
                                                  static_cast<uint32_t>(f.height), alpha ? 32 : 24);
        if (created != CodecStatus::Ok) return created;
        WebPRGBABuffer& out = config.output.u.RGBA;
        config.output.colorspace = alpha ? MODE_BGRA : MODE_BGR;
        config.output.is_external_memory = 1;
        out.rgba = canvas.Row(0);
        out.stride = static_cast<int>(canvas.TopDownPitch());
        out.size = static_cast<size_t>(canvas.Stride()) * canvas.Height();
        const CodecStatus decoded = FromVp8Status(WebPDecode(data, size, &config));
        WebPFreeDecBuffer(&config.output);
        if (decoded != CodecStatus::Ok) {
            canvas.Reset();
            return decoded;
        }
        result.frame_count = 1;
        return CodecStatus::Ok;
    }

    CodecStatus Ping(const uint8_t* data, size_t size, const DecodeRequest&,
                     PictureHeader& header) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        WebPBitstreamFeatures f;
        const CodecStatus head = FromVp8Status(WebPGetFeatures(data, size, &f));
        if (head != CodecStatus::Ok) return head;
        if (f.width <= 0 || f.height <= 0) return CodecStatus::Broken;
        header.width = static_cast<uint32_t>(f.width);
        header.height = static_cast<uint32_t>(f.height);
        header.bit_count = f.has_alpha ? 32 : 24;
        if (!f.has_animation) return CodecStatus::Ok;
        // The demuxer walks the chunks: the canvas and the frame count, no pixels.
        const WebPData input = {data, size};
        std::unique_ptr<WebPDemuxer, DemuxFree> demux(WebPDemux(&input));
        if (!demux) return CodecStatus::Broken;
        const uint32_t frames = WebPDemuxGetI(demux.get(), WEBP_FF_FRAME_COUNT);
        header.width = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
        header.height = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
        if (frames == 0) return CodecStatus::Broken;
        header.result.frame_count = static_cast<int32_t>(std::min<uint32_t>(frames, INT32_MAX));
        return CodecStatus::Ok;
    }

private:
    static CodecStatus DecodeAnimation(const uint8_t* data, size_t size, int32_t frame,
                                       bool alpha, DibCanvas& canvas, DecodeResult& result) {
        WebPAnimDecoderOptions options;
        if (!WebPAnimDecoderOptionsInit(&options)) return CodecStatus::Unsupported;
        options.color_mode = MODE_BGRA;
        options.use_threads = 0;
        const WebPData input = {data, size};
        std::unique_ptr<WebPAnimDecoder, AnimDecoderFree> decoder(
            WebPAnimDecoderNew(&input, &options));
        if (!decoder) return CodecStatus::Broken;
        WebPAnimInfo info;
        if (!WebPAnimDecoderGetInfo(decoder.get(), &info)) return CodecStatus::Broken;
        if (info.frame_count == 0) return CodecStatus::Broken;
        if (static_cast<uint32_t>(frame) >= info.frame_count) return CodecStatus::NoFrame;
        uint8_t* bgra = nullptr;
        int timestamp = 0;
        for (int32_t i = 0; i <= frame; ++i) {
            if (!WebPAnimDecoderGetNext(decoder.get(), &bgra, &timestamp)) {
                return CodecStatus::Broken;
            }
        }
        const uint32_t width = info.canvas_width;
        const uint32_t height = info.canvas_height;
        const CodecStatus created = canvas.Create(width, height, alpha ? 32 : 24);
        if (created != CodecStatus::Ok) return created;
        const size_t row_bytes = static_cast<size_t>(width) * 4;
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* src = bgra + row_bytes * y;
            uint8_t* dst = canvas.Row(y);
            if (alpha) {
                std::memcpy(dst, src, row_bytes);
                continue;
            }
            for (uint32_t x = 0; x < width; ++x, src += 4, dst += 3) {
                dst[0] = src[0];
                dst[1] = src[1];
                dst[2] = src[2];
            }
        }
        result.frame_count = static_cast<int32_t>(info.frame_count);
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& WebpBackend() {
    static const WebpCodec backend;
    return backend;
}
