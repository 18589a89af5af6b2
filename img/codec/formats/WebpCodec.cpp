// WebP through libwebp. Still pictures, lossy or lossless, decode straight into the DIB rows
// (top-down at a negative pitch): 32-bit straight BGRA when the file declares alpha, else 24-bit
// BGR. Animations go through the demux library's animation decoder: frame N is the canvas as
// composed after N + 1 frames, and the file's alpha flag decides 32 or 24 bits as above.
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "Checked.h"
#include "CodecBackends.h"
#include "FrameCache.h"

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

    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
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
    // Frame N as the demux library's animation decoder composes it, with its rules to the bit:
    // a key frame starts on an empty canvas; other frames start on the one before, disposed
    // of, are decoded over their rectangle and, when they blend, blended with what was there
    // (outside the previous rectangle only, when that one was disposed of). Composing starts at
    // the last key frame, or at a canvas of the frame cache at or after it.
    static CodecStatus DecodeAnimation(const uint8_t* data, size_t size, int32_t frame,
                                       bool alpha, DibCanvas& canvas, DecodeResult& result) {
        const WebPData input = {data, size};
        std::unique_ptr<WebPDemuxer, DemuxFree> demux(WebPDemux(&input));
        if (!demux) return CodecStatus::Broken;
        const uint32_t count = WebPDemuxGetI(demux.get(), WEBP_FF_FRAME_COUNT);
        const uint32_t width = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
        const uint32_t height = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
        if (count == 0 || width == 0 || height == 0) return CodecStatus::Broken;
        if (static_cast<uint32_t>(frame) >= count) return CodecStatus::NoFrame;
        const CodecStatus fits = CheckDeclaredSize(width, height);
        if (fits != CodecStatus::Ok) return fits;
        // Frame headers only: which frames are key frames.
        std::vector<Rect> rects(static_cast<size_t>(frame) + 1);
        int32_t start = 0;
        for (int32_t i = 0; i <= frame; ++i) {
            WebPIterator it;
            if (!WebPDemuxGetFrame(demux.get(), i + 1, &it)) return CodecStatus::Broken;
            Rect& r = rects[static_cast<size_t>(i)];
            r = Rect{static_cast<uint32_t>(it.x_offset), static_cast<uint32_t>(it.y_offset),
                     static_cast<uint32_t>(it.width), static_cast<uint32_t>(it.height),
                     it.dispose_method == WEBP_MUX_DISPOSE_BACKGROUND,
                     it.blend_method == WEBP_MUX_BLEND, it.has_alpha != 0, false};
            WebPDemuxReleaseIterator(&it);
            if (r.left > width || r.top > height || r.width > width - r.left ||
                r.height > height - r.top) {
                return CodecStatus::Broken;
            }
            const bool full = r.width == width && r.height == height;
            if (i == 0 || ((!r.alpha || !r.blend) && full)) {
                r.key = true;
            } else {
                const Rect& p = rects[static_cast<size_t>(i) - 1];
                r.key = p.dispose && ((p.width == width && p.height == height) || p.key);
            }
            if (r.key) start = i;
        }
        const uint64_t bytes = uint64_t{width} * height * 4;
        if (!FitsSizeT(bytes)) return CodecStatus::NoMemory;
        const bool cacheable = bytes <= FrameCache::kMaxCanvasBytes;
        const AnimKey key = cacheable ? MakeAnimKey(data, size, kTypeWebp) : AnimKey();
        std::shared_ptr<const AnimCanvas> cached;
        if (cacheable) cached = FrameCache::Instance().Find(key, start, frame, true);
        auto c = std::make_shared<AnimCanvas>();
        c->frame = frame;
        c->width = width;
        c->height = height;
        std::vector<uint8_t> below;  // the frame's rectangle before it, the previous disposed of
        int32_t i = start;
        if (cached) {
            TakePixels(cached, *c);
            i = cached->frame + 1;
        } else {
            c->pixels.assign(static_cast<size_t>(bytes), 0);
        }
        const size_t pitch = size_t{width} * 4;
        for (; i <= frame; ++i) {
            const Rect& r = rects[static_cast<size_t>(i)];
            const Rect* p = i > 0 ? &rects[static_cast<size_t>(i) - 1] : nullptr;
            if (r.key) {
                std::fill(c->pixels.begin(), c->pixels.end(), 0);
            } else if (p->dispose) {
                for (uint32_t y = 0; y < p->height; ++y) {
                    std::memset(c->At(p->left, p->top + y), 0, size_t{p->width} * 4);
                }
            }
            const bool blend = i > 0 && r.blend && !r.key;
            const size_t rect_row = size_t{r.width} * 4;
            if (blend) {
                below.resize(rect_row * r.height);
                for (uint32_t y = 0; y < r.height; ++y) {
                    std::memcpy(below.data() + rect_row * y, c->At(r.left, r.top + y), rect_row);
                }
            }
            WebPIterator it;
            if (!WebPDemuxGetFrame(demux.get(), i + 1, &it)) return CodecStatus::Broken;
            const CodecStatus decoded = DecodeInto(it.fragment.bytes, it.fragment.size,
                                                   c->At(r.left, r.top), pitch, r.height);
            WebPDemuxReleaseIterator(&it);
            if (decoded != CodecStatus::Ok) return decoded;
            if (!blend) continue;
            for (uint32_t y = 0; y < r.height; ++y) {
                const uint32_t row = r.top + y;
                uint8_t* cur = c->At(r.left, row);
                const uint8_t* under = below.data() + rect_row * y;
                if (!p->dispose || row < p->top || row >= p->top + p->height) {
                    BlendRow(cur, under, 0, r.width);
                    continue;
                }
                // Only the pixels outside the previous rectangle, which was cleared.
                const uint32_t left1 = p->left > r.left ? p->left - r.left : 0;
                const uint32_t right0 = p->left + p->width > r.left ? p->left + p->width - r.left : 0;
                BlendRow(cur, under, 0, std::min(left1, r.width));
                BlendRow(cur, under, std::min(right0, r.width), r.width);
            }
        }
        const CodecStatus created = canvas.Create(width, height, alpha ? 32 : 24);
        if (created != CodecStatus::Ok) return created;
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* src = c->At(0, y);
            uint8_t* dst = canvas.Row(y);
            if (alpha) {
                std::memcpy(dst, src, pitch);
                continue;
            }
            for (uint32_t x = 0; x < width; ++x, src += 4, dst += 3) std::memcpy(dst, src, 3);
        }
        result.frame_count = static_cast<int32_t>(std::min<uint32_t>(count, INT32_MAX));
        if (cacheable) FrameCache::Instance().Store(key, std::move(c));
        return CodecStatus::Ok;
    }

    struct Rect {
        uint32_t left, top, width, height;
        bool dispose, blend, alpha, key;
    };

    static CodecStatus DecodeInto(const uint8_t* data, size_t size, uint8_t* out, size_t pitch,
                                  uint32_t rows) {
        WebPDecoderConfig config;
        if (!WebPInitDecoderConfig(&config)) return CodecStatus::Unsupported;
        config.output.colorspace = MODE_BGRA;
        config.output.is_external_memory = 1;
        config.output.u.RGBA.rgba = out;
        config.output.u.RGBA.stride = static_cast<int>(pitch);
        config.output.u.RGBA.size = pitch * rows;
        const CodecStatus status = FromVp8Status(WebPDecode(data, size, &config));
        WebPFreeDecBuffer(&config.output);
        return status;
    }

    // Straight-alpha "over" of pixels [from, to) of `src` onto `dst`, into `src`, in the
    // demux library's integer arithmetic.
    static void BlendRow(uint8_t* src, const uint8_t* dst, uint32_t from, uint32_t to) {
        for (uint32_t x = from; x < to; ++x) {
            uint8_t* s = src + 4 * x;
            const uint8_t* d = dst + 4 * x;
            const uint32_t sa = s[3];
            if (sa == 255) continue;
            if (sa == 0) {
                std::memcpy(s, d, 4);
                continue;
            }
            const uint32_t da = (d[3] * (256 - sa)) >> 8;
            const uint32_t ba = sa + da;
            const uint32_t scale = (1u << 24) / ba;
            for (int k = 0; k < 3; ++k) {
                s[k] = static_cast<uint8_t>(((s[k] * sa + d[k] * da) * scale) >> 24);
            }
            s[3] = static_cast<uint8_t>(ba);
        }
    }
};

}  // namespace

const CodecBackend& WebpBackend() {
    static const WebpCodec backend;
    return backend;
}
