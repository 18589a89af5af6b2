// JPEG XL through libjxl, from memory, 8-bit output. The decoder hands scanlines to a callback
// that writes them straight into the DIB: grey gives an 8-bit grey ramp, colour 24-bit BGR, and
// alpha 32-bit straight BGRA (associated alpha is undone by libjxl). Frames are the displayed
// frames of an animation, composed as libjxl composes them; orientation is not applied here:
// the layer turns the picture when asked (ReadDescription gives it the orientation), and brings
// the colours that libjxl gives (the image's own space, which libjxl describes) to sRGB.
#include <jxl/decode.h>

#include <cstring>
#include <memory>
#include <vector>

#include "CodecBackends.h"
#include "PictureMetadata.h"
#include "PreviewRules.h"
#include "SampleScale.h"

namespace {

const uint8_t kContainer[12] = {0, 0, 0, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};

struct DecoderFree {
    void operator()(JxlDecoder* d) const { JxlDecoderDestroy(d); }
};
using DecoderPtr = std::unique_ptr<JxlDecoder, DecoderFree>;

// Where the callback writes: the canvas, and the layout of the samples libjxl gives.
struct Sink {
    DibCanvas* canvas;
    uint32_t channels;  // 1 grey, 2 grey+alpha, 3 RGB, 4 RGBA
};

void WriteScanline(void* opaque, size_t x, size_t y, size_t n, const void* pixels) {
    const auto* sink = static_cast<const Sink*>(opaque);
    const DibCanvas& canvas = *sink->canvas;
    if (y >= canvas.Height() || x >= canvas.Width() || n > canvas.Width() - x) return;
    const auto* src = static_cast<const uint8_t*>(pixels);
    uint8_t* row = canvas.Row(static_cast<uint32_t>(y));
    switch (sink->channels) {
        case 1:
            std::memcpy(row + x, src, n);
            break;
        case 2:
            for (uint8_t* d = row + x * 4; n--; src += 2, d += 4) {
                d[0] = d[1] = d[2] = src[0];
                d[3] = src[1];
            }
            break;
        case 3:
            SwapRedBlue<3>(src, row + x * 3, static_cast<uint32_t>(n));
            break;
        default:
            SwapRedBlue<4>(src, row + x * 4, static_cast<uint32_t>(n));
            break;
    }
}

// sRGB itself, or grey on sRGB's curve: colours with nothing to convert.
bool IsSrgb(const JxlColorEncoding& c) {
    return c.white_point == JXL_WHITE_POINT_D65 &&
           c.transfer_function == JXL_TRANSFER_FUNCTION_SRGB &&
           (c.color_space == JXL_COLOR_SPACE_GRAY ||
            (c.color_space == JXL_COLOR_SPACE_RGB && c.primaries == JXL_PRIMARIES_SRGB));
}

bool IsGrey(const JxlBasicInfo& info) { return info.num_color_channels == 1; }
bool HasAlpha(const JxlBasicInfo& info) { return info.alpha_bits != 0; }

// One decode of a stream into a canvas: the decoder, what the stream says of itself, and the
// 8-bit samples that libjxl gives and the callback writes.
struct Job {
    explicit Job(DibCanvas& canvas) : sink{&canvas, 0} {}
    // The checks of a picture or preview decode, and the decoder subscribed to `events`;
    // false with `status` saying why.
    bool Start(const uint8_t* data, size_t size, const DecodeRequest& request, int events);

    DecoderPtr decoder;
    CodecStatus status = CodecStatus::Ok;
    JxlBasicInfo info{};
    Sink sink;
    JxlPixelFormat format{0, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
};

// The canvas for a picture (or the preview) of this stream, and the samples that libjxl is to
// give for it: grey, grey+alpha, RGB or RGBA.
CodecStatus Shape(const JxlBasicInfo& info, uint32_t width, uint32_t height, Job& job) {
    job.sink.channels = (IsGrey(info) ? 1u : 3u) + (HasAlpha(info) ? 1u : 0u);
    job.format.num_channels = job.sink.channels;
    return job.sink.canvas->CreateForSamples(width, height, IsGrey(info), HasAlpha(info));
}

bool IsJxl(const uint8_t* p, size_t size) {
    return (size >= 2 && p[0] == 0xFF && p[1] == 0x0A) ||
           (size >= sizeof kContainer && std::memcmp(p, kContainer, sizeof kContainer) == 0);
}

DecoderPtr OpenDecoder(const uint8_t* data, size_t size, int events) {
    DecoderPtr decoder(JxlDecoderCreate(nullptr));
    if (!decoder) return decoder;
    if (JxlDecoderSubscribeEvents(decoder.get(), events) != JXL_DEC_SUCCESS ||
        JxlDecoderSetKeepOrientation(decoder.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(decoder.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(decoder.get(), data, size) != JXL_DEC_SUCCESS) {
        decoder.reset();
        return decoder;
    }
    JxlDecoderCloseInput(decoder.get());
    return decoder;
}

// Displayed frames of an animation, from the frame headers alone (no pixels are decoded).
int32_t CountFrames(const uint8_t* data, size_t size) {
    DecoderPtr decoder = OpenDecoder(data, size, JXL_DEC_FRAME);
    if (!decoder) return 0;
    int32_t frames = 0;
    for (;;) {
        switch (JxlDecoderProcessInput(decoder.get())) {
            case JXL_DEC_FRAME:
                if (frames < INT32_MAX) ++frames;
                break;
            case JXL_DEC_SUCCESS:
                return frames;
            default:
                return 0;
        }
    }
}

bool Job::Start(const uint8_t* data, size_t size, const DecodeRequest& request, int events) {
    status = !IsJxl(data, size)  ? CodecStatus::NotThisFormat
             : request.frame < 0 ? CodecStatus::NoFrame
                                 : CodecStatus::Ok;
    if (status != CodecStatus::Ok) return false;
    decoder = OpenDecoder(data, size, events);
    if (!decoder) status = CodecStatus::NoMemory;
    return status == CodecStatus::Ok;
}

class JxlCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeJxl; }

    bool Sniff(const uint8_t* p, size_t size) const override { return IsJxl(p, size); }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        Job job(canvas);
        if (!job.Start(data, size, request, JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE)) {
            return job.status;
        }
        JxlDecoder* decoder = job.decoder.get();
        JxlBasicInfo& info = job.info;
        if (request.frame > 0) {
            JxlDecoderSkipFrames(decoder, static_cast<size_t>(request.frame));
        }
        for (;;) {
            const JxlDecoderStatus event = JxlDecoderProcessInput(decoder);
            if (event == JXL_DEC_BASIC_INFO) {
                if (JxlDecoderGetBasicInfo(decoder, &info) != JXL_DEC_SUCCESS) break;
                if (info.xsize == 0 || info.ysize == 0) break;
                const CodecStatus fits = CheckDeclaredSize(info.xsize, info.ysize);
                if (fits != CodecStatus::Ok) return fits;
                const CodecStatus created = Shape(info, info.xsize, info.ysize, job);
                if (created != CodecStatus::Ok) return created;
            } else if (event == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
                if (!canvas.IsCreated() ||
                    JxlDecoderSetImageOutCallback(decoder, &job.format, WriteScanline, &job.sink) !=
                        JXL_DEC_SUCCESS) {
                    break;
                }
            } else if (event == JXL_DEC_FULL_IMAGE) {
                result.frame_count = info.have_animation ? CountFrames(data, size) : 1;
                if (result.frame_count <= request.frame) break;
                return CodecStatus::Ok;
            } else if (event == JXL_DEC_SUCCESS) {
                // Every frame went by without the one asked for.
                canvas.Reset();
                return info.xsize == 0 ? CodecStatus::Broken : CodecStatus::NoFrame;
            } else {
                break;  // an error, or input that ended early
            }
        }
        canvas.Reset();
        return CodecStatus::Broken;
    }

    // The codestream's preview frame, when it has one large enough for a thumbnail pane. It
    // stands for the whole file: frames after the first have none.
    CodecStatus DecodePreview(const uint8_t* data, size_t size, const DecodeRequest& request,
                              DibCanvas& canvas, DecodeResult& result) const override {
        std::vector<uint8_t> pixels;  // libjxl writes a preview into one buffer, not by rows
        Job job(canvas);
        if (!job.Start(data, size, request, JXL_DEC_BASIC_INFO | JXL_DEC_PREVIEW_IMAGE)) {
            return job.status;
        }
        JxlDecoder* decoder = job.decoder.get();
        JxlBasicInfo& info = job.info;
        for (;;) {
            const JxlDecoderStatus event = JxlDecoderProcessInput(decoder);
            if (event == JXL_DEC_BASIC_INFO) {
                if (JxlDecoderGetBasicInfo(decoder, &info) != JXL_DEC_SUCCESS || info.xsize == 0 ||
                    info.ysize == 0) {
                    break;
                }
                result.frame_count = info.have_animation ? CountFrames(data, size) : 1;
                if (request.frame >= result.frame_count) return CodecStatus::NoFrame;
                if (!info.have_preview || request.frame > 0 ||
                    !QualifiesAsPreview(info.preview.xsize, info.preview.ysize)) {
                    return CodecStatus::Unsupported;
                }
                const CodecStatus fits = CheckDeclaredSize(info.preview.xsize, info.preview.ysize);
                if (fits != CodecStatus::Ok) return fits;
                const CodecStatus created =
                    Shape(info, info.preview.xsize, info.preview.ysize, job);
                if (created != CodecStatus::Ok) return created;
            } else if (event == JXL_DEC_NEED_PREVIEW_OUT_BUFFER) {
                size_t bytes = 0;
                if (!canvas.IsCreated() ||
                    JxlDecoderPreviewOutBufferSize(decoder, &job.format, &bytes) !=
                        JXL_DEC_SUCCESS ||
                    bytes !=
                        uint64_t{info.preview.xsize} * info.preview.ysize * job.sink.channels) {
                    break;
                }
                pixels.resize(bytes);
                if (JxlDecoderSetPreviewOutBuffer(decoder, &job.format, pixels.data(), bytes) !=
                    JXL_DEC_SUCCESS) {
                    break;
                }
            } else if (event == JXL_DEC_PREVIEW_IMAGE) {
                if (pixels.empty()) break;
                const size_t row = size_t{info.preview.xsize} * job.sink.channels;
                for (uint32_t y = 0; y < info.preview.ysize; ++y) {
                    WriteScanline(&job.sink, 0, y, info.preview.xsize, pixels.data() + row * y);
                }
                canvas.ClearRowPadding();
                return CodecStatus::Ok;
            } else {
                break;  // an error, input that ended early, or a stream that ended without it
            }
        }
        canvas.Reset();
        return CodecStatus::Broken;
    }

    // The orientation of the basic information, and the colour space of the samples that libjxl
    // gives (its target: the image's own space, or the one libjxl chose for an XYB image whose
    // space it cannot give), as a profile unless it is sRGB.
    void ReadDescription(const uint8_t* data, size_t size, int32_t, bool want_icc,
                         PictureMetadata& out) const override {
        if (!Sniff(data, size)) return;
        DecoderPtr decoder =
            OpenDecoder(data, size, JXL_DEC_BASIC_INFO | (want_icc ? JXL_DEC_COLOR_ENCODING : 0));
        if (!decoder) return;
        JxlDecoder* d = decoder.get();
        for (;;) {
            const JxlDecoderStatus event = JxlDecoderProcessInput(d);
            if (event == JXL_DEC_BASIC_INFO) {
                JxlBasicInfo info{};
                if (JxlDecoderGetBasicInfo(d, &info) != JXL_DEC_SUCCESS) return;
                if (info.orientation >= 1 && info.orientation <= 8) {
                    out.orientation = static_cast<uint8_t>(info.orientation);
                }
                if (!want_icc) return;
            } else if (event == JXL_DEC_COLOR_ENCODING) {
                JxlColorEncoding encoding{};
                if (JxlDecoderGetColorAsEncodedProfile(d, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                                       &encoding) == JXL_DEC_SUCCESS &&
                    IsSrgb(encoding)) {
                    return;
                }
                size_t bytes = 0;
                if (JxlDecoderGetICCProfileSize(d, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                                &bytes) != JXL_DEC_SUCCESS ||
                    bytes == 0 || bytes > (size_t{64} << 20)) {
                    out.colours_unknown = true;
                    return;
                }
                out.icc.resize(bytes);
                if (JxlDecoderGetColorAsICCProfile(d, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                                   out.icc.data(), bytes) != JXL_DEC_SUCCESS) {
                    out.icc.clear();
                    out.colours_unknown = true;
                }
                return;
            } else {
                return;
            }
        }
    }

    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                     PictureHeader& header) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        DecoderPtr decoder = OpenDecoder(data, size, JXL_DEC_BASIC_INFO);
        if (!decoder) return CodecStatus::NoMemory;
        JxlBasicInfo info{};
        if (JxlDecoderProcessInput(decoder.get()) != JXL_DEC_BASIC_INFO ||
            JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS || info.xsize == 0 ||
            info.ysize == 0) {
            return CodecStatus::Broken;
        }
        header.width = info.xsize;
        header.height = info.ysize;
        header.bit_count = DibCanvas::SampleBits(IsGrey(info), HasAlpha(info));
        // Frame headers only; a stream whose frames cannot be walked has no frame 0 either.
        header.result.frame_count = info.have_animation ? CountFrames(data, size) : 1;
        return header.result.frame_count > 0 ? CodecStatus::Ok : CodecStatus::Broken;
    }
};

}  // namespace

const CodecBackend& JxlBackend() {
    static const JxlCodec backend;
    return backend;
}
