// GIF through the plug-ins' own reader. Frame N is the logical screen as a viewer shows it after
// images 0..N: each image drawn at its place over what its predecessors' disposal methods left,
// its transparent index letting the screen through. The bit count follows from the blocks alone
// (GifComposedBitCount): BGRA where pixels may be transparent, BGR where images bring their own
// colour tables, otherwise the global table's 1-, 4- or 8-bit DIB, which for a first image that
// fills the screen is exactly the DIB that gifsrc gives.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "Checked.h"
#include "CodecBackends.h"
#include "FrameCache.h"
#include "GifFile.h"
#include "GifFrames.h"
#include "GifLzw.h"

namespace {

constexpr uint8_t kDisposeToBackground = 2;
constexpr uint8_t kDisposeToPrevious = 3;
// The largest image whose indices are decoded, as gifsrc's own limit (lower in fuzz builds).
constexpr uint64_t kMaxFramePixels = GifFile::kDefaultMaxPixels < DibCanvas::kMaxPixels
                                         ? GifFile::kDefaultMaxPixels
                                         : DibCanvas::kMaxPixels;

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};

// Top-down rows of 1 (index), 3 (BGR) or 4 (BGRA) bytes a pixel; or, with `bits` 1 or 4,
// indices packed as in a 1- or 4-bit DIB row (leftmost pixel in the high bits).
struct Plane {
    uint8_t* top = nullptr;
    ptrdiff_t pitch = 0;
    uint32_t bytes = 1;
    uint32_t bits = 0;
    uint8_t* At(uint32_t x, uint32_t y) const { return top + pitch * y + size_t{bytes} * x; }
    // The bytes that hold pixels x .. x + width - 1 of a row: offset and count.
    size_t SpanStart(uint32_t x) const { return bits ? size_t{x} * bits / 8 : size_t{x} * bytes; }
    size_t SpanBytes(uint32_t x, uint32_t width) const {
        return bits ? (size_t{x + width} * bits + 7) / 8 - SpanStart(x) : size_t{width} * bytes;
    }
    uint8_t* Row(uint32_t y) const { return top + pitch * y; }
    void SetIndex(uint32_t x, uint32_t y, uint32_t index) const {
        uint8_t* byte = Row(y) + SpanStart(x);
        const uint32_t shift = 8 - bits - (x * bits) % 8;
        const uint32_t mask = ((1u << bits) - 1) << shift;
        *byte = static_cast<uint8_t>((*byte & ~mask) | ((index << shift) & mask));
    }
};

// Pixels outside the rectangle that share its edge bytes are not changed between a save and its
// restore (only the image inside it is drawn meanwhile), so whole bytes are saved and restored.
void SaveRect(const Plane& plane, const GifScreenRect& r, std::vector<uint8_t>& saved) {
    const size_t row = plane.SpanBytes(r.left, r.width);
    saved.resize(row * r.height);
    for (uint32_t y = 0; y < r.height; ++y) {
        std::memcpy(saved.data() + row * y, plane.Row(r.top + y) + plane.SpanStart(r.left), row);
    }
}

void RestoreRect(const Plane& plane, const GifScreenRect& r, const std::vector<uint8_t>& saved) {
    const size_t row = plane.SpanBytes(r.left, r.width);
    for (uint32_t y = 0; y < r.height; ++y) {
        std::memcpy(plane.Row(r.top + y) + plane.SpanStart(r.left), saved.data() + row * y, row);
    }
}

void ClearRect(const Plane& plane, const GifScreenRect& r) {
    for (uint32_t y = 0; y < r.height; ++y) {
        if (plane.bits == 0) {
            std::memset(plane.At(r.left, r.top + y), 0, size_t{r.width} * plane.bytes);
            continue;
        }
        for (uint32_t x = 0; x < r.width; ++x) plane.SetIndex(r.left + x, r.top + y, 0);
    }
}

// The BGRA colour of every index of `frame`: its own table, else the global one, else the grey
// ramp that gifsrc's DIB would carry; indices past the table are opaque black.
void ColourMap(const uint8_t* data, const GifStreamBlocks& b, const GifFrameBlock& frame,
               uint8_t map[256][4]) {
    std::memset(map, 0, 256 * 4);
    const int32_t bits = frame.local_bits != 0 ? frame.local_bits : b.global_bits;
    const size_t table = frame.local_bits != 0 ? frame.local_table : b.global_table;
    for (uint32_t i = 0; i < 256; ++i) {
        map[i][3] = 255;
        if (bits != 0) {
            if (i >> bits != 0) continue;
            const uint8_t* rgb = data + table + 3 * size_t{i};
            map[i][0] = rgb[2], map[i][1] = rgb[1], map[i][2] = rgb[0];
        } else {
            const uint32_t n = 1u << GifFile::DibBitCountFor(b.colour_bits);
            map[i][0] = map[i][1] = map[i][2] = static_cast<uint8_t>((i & (n - 1)) * 255 / (n - 1));
        }
    }
}

// Draws image `f` onto `plane`: the pixels its data reached, but for its transparent index.
// Broken when its data cannot be decoded at all; `whole` tells whether every pixel was reached.
// Draws one row of image `f` (its indices, the first `reached` of them decoded) onto the plane.
struct RowPainter {
    const GifFrameBlock* f;
    const GifScreenRect* r;
    const Plane* plane;
    uint8_t map[256][4];

    void Paint(uint32_t image_row, const uint8_t* indices, uint32_t reached) const {
        const GifFrameBlock& fr = *f;
        const uint32_t x_from = r->left - fr.left;
        if (image_row < r->top - fr.top || image_row - (r->top - fr.top) >= r->height) return;
        if (reached <= x_from) return;  // a cut image leaves the screen as it was
        const uint32_t y = r->top + (image_row - (r->top - fr.top));
        const uint32_t count = reached - x_from < r->width ? reached - x_from : r->width;
        const uint8_t* src = indices + x_from;
        if (plane->bits != 0) {
            for (uint32_t x = 0; x < count; ++x) {
                if (!(fr.has_transparency && src[x] == fr.transparent_index)) {
                    plane->SetIndex(r->left + x, y, src[x]);
                }
            }
            return;
        }
        uint8_t* dst = plane->At(r->left, y);
        const int transparent = fr.has_transparency ? fr.transparent_index : -1;
        // One loop per pixel size, so that each copy is a fixed-size store.
        if (plane->bytes == 1) {
            for (uint32_t x = 0; x < count; ++x) {
                if (src[x] != transparent) dst[x] = src[x];
            }
        } else if (plane->bytes == 4) {
            for (uint32_t x = 0; x < count; ++x) {
                if (src[x] != transparent) std::memcpy(dst + 4 * x, map[src[x]], 4);
            }
        } else {
            for (uint32_t x = 0; x < count; ++x) {
                if (src[x] != transparent) std::memcpy(dst + 3 * x, map[src[x]], 3);
            }
        }
    }

    static void OnRow(void* self, int32_t row, const uint8_t* indices, uint32_t reached) {
        static_cast<const RowPainter*>(self)->Paint(static_cast<uint32_t>(row), indices, reached);
    }
};

// Images of more pixels than this are decoded a row at a time and drawn as each row completes
// (the same bound as the frame cache's canvases).
constexpr uint64_t kRowByRowPixels = FrameCache::kMaxCanvasBytes / 4;

CodecStatus DrawImage(const uint8_t* data, size_t size, const GifStreamBlocks& b,
                      const GifFrameBlock& f, const GifScreenRect& r, const Plane& plane,
                      bool& whole) {
    whole = false;
    const uint64_t pixels = uint64_t{f.width} * f.height;
    if (pixels > kMaxFramePixels || !FitsSizeT(pixels)) return CodecStatus::NoMemory;
    RowPainter painter{&f, &r, &plane, {}};
    ColourMap(data, b, f, painter.map);
    GifReach reach;
    if (pixels > kRowByRowPixels) {
        const GifResult decoded =
            DecodeGifFrameRows(data, size, f, &RowPainter::OnRow, &painter, &reach);
        if (decoded == GifResult::NoMemory) return CodecStatus::NoMemory;
        whole = reach.Finished();
        return decoded == GifResult::Ok ? CodecStatus::Ok : CodecStatus::Broken;
    }
    // calloc: the zero pages of a large image cost nothing until the decoder writes them.
    std::unique_ptr<uint8_t, FreeDeleter> indices(
        static_cast<uint8_t*>(std::calloc(static_cast<size_t>(pixels), 1)));
    if (!indices) return CodecStatus::NoMemory;
    const GifResult decoded = DecodeGifFrameIndices(data, size, f, indices.get(), &reach);
    if (decoded == GifResult::NoMemory) return CodecStatus::NoMemory;
    if (decoded != GifResult::Ok) return CodecStatus::Broken;
    whole = reach.Finished();
    for (uint32_t y = 0; y < r.height; ++y) {
        const uint32_t image_row = r.top - f.top + y;
        painter.Paint(image_row, indices.get() + size_t{f.width} * image_row,
                      reach.PixelsIn(image_row, f.width));
    }
    return CodecStatus::Ok;
}

// Where composing frame N begins: the screen as shown at frame `from` (its disposal still to be
// applied, with `saved` what a "restore previous" disposal puts back), or an empty screen before
// image `from` when `shown` is false.
struct ComposeStart {
    int32_t from = 0;
    bool shown = false;
    const std::vector<uint8_t>* saved = nullptr;
};

// Draws images start..frame into `plane`. With `keep`, the rectangle that the last image's
// "restore previous" disposal needs is saved there. `start_whole` tells whether the first image
// drawn on an empty screen reached every pixel.
CodecStatus Compose(const uint8_t* data, size_t size, const GifStreamBlocks& b, int32_t frame,
                    const ComposeStart& start, const Plane& plane, AnimCanvas* keep,
                    bool& start_whole) {
    std::vector<uint8_t> saved;
    if (start.saved) saved = *start.saved;
    start_whole = true;
    int32_t i = start.from;
    if (start.shown) {
        const GifFrameBlock& f = b.frames[static_cast<size_t>(i)];
        const GifScreenRect r = GifVisibleRect(b, f);
        if (r.width != 0 && f.disposal == kDisposeToBackground) ClearRect(plane, r);
        if (r.width != 0 && f.disposal == kDisposeToPrevious && !saved.empty()) {
            RestoreRect(plane, r, saved);
        }
        ++i;
    }
    for (; i <= frame; ++i) {
        const GifFrameBlock& f = b.frames[static_cast<size_t>(i)];
        const GifScreenRect r = GifVisibleRect(b, f);
        if (r.width == 0) continue;  // wholly off the screen: nothing to draw or dispose of
        const bool last = i == frame;
        if (f.disposal == kDisposeToPrevious && (!last || keep)) SaveRect(plane, r, saved);
        bool whole = false;
        const CodecStatus drawn = DrawImage(data, size, b, f, r, plane, whole);
        if (drawn == CodecStatus::NoMemory) return drawn;
        if (i == start.from && !start.shown) start_whole = whole;
        // An earlier image that cannot be decoded draws nothing; the animation goes on.
        if (drawn != CodecStatus::Ok && last) return drawn;
        if (last) {
            if (keep && f.disposal == kDisposeToPrevious) {
                keep->saved.assign(saved.begin(), saved.end());  // no spare capacity kept
                keep->saved_left = r.left, keep->saved_top = r.top;
                keep->saved_width = r.width, keep->saved_height = r.height;
            }
            break;
        }
        if (f.disposal == kDisposeToBackground) {
            ClearRect(plane, r);
        } else if (f.disposal == kDisposeToPrevious) {
            RestoreRect(plane, r, saved);
        }
    }
    return CodecStatus::Ok;
}

// Composes frame `frame` into `plane` (all zero), starting at the last key frame, or at a
// canvas of the cache at or after it. A key frame whose data was cut short does not hide what
// was before it: composing then starts again at an earlier one.
// With `keep`, the plane is keep's own pixels, which this allocates.
CodecStatus ComposeFromKeyFrame(const uint8_t* data, size_t size, const GifStreamBlocks& b,
                                int32_t frame, Plane plane, const AnimKey* key,
                                AnimCanvas* keep) {
    const size_t row = plane.SpanBytes(0, b.screen_width);
    int32_t limit = frame;
    for (;;) {
        if (keep) {
            keep->pixels.assign(row * b.screen_height, 0);
            plane.top = keep->pixels.data();
        }
        const int32_t key_frame = GifKeyFrame(b, frame, limit);
        ComposeStart start;
        start.from = key_frame;
        std::shared_ptr<const AnimCanvas> cached;
        if (key && keep) cached = FrameCache::Instance().Find(*key, key_frame, frame, true);
        if (cached && (cached->bytes == plane.bytes || cached->bytes == 1)) {
            std::vector<uint8_t> saved;  // what the cached frame's "restore previous" puts back
            if (cached->bytes == plane.bytes) {
                // Composed on in the cached pixels themselves (a copy while others read them).
                TakePixels(cached, *keep);
                saved.swap(keep->saved);
                plane.top = keep->pixels.data();
            } else {
                // Indices, widened to BGRA through the global colours.
                uint8_t map[256][4];
                ColourMap(data, b, GifFrameBlock(), map);
                const uint8_t* src = cached->pixels.data();
                for (uint32_t y = 0; y < b.screen_height; ++y) {
                    for (uint32_t x = 0; x < b.screen_width; ++x) {
                        std::memcpy(plane.At(x, y), map[*src++], 4);
                    }
                }
                saved.resize(cached->saved.size() * 4);
                for (size_t k = 0; k < cached->saved.size(); ++k) {
                    std::memcpy(&saved[4 * k], map[cached->saved[k]], 4);
                }
                keep->saved_left = cached->saved_left, keep->saved_top = cached->saved_top;
                keep->saved_width = cached->saved_width, keep->saved_height = cached->saved_height;
            }
            start.saved = &saved;
            start.from = cached->frame;
            start.shown = true;
            if (start.from == frame) {
                keep->saved.assign(saved.begin(), saved.end());
                return CodecStatus::Ok;
            }
            bool unused = true;
            return Compose(data, size, b, frame, start, plane, keep, unused);
        }
        bool start_whole = true;
        const CodecStatus status = Compose(data, size, b, frame, start, plane, keep, start_whole);
        if (status != CodecStatus::Ok || start_whole || key_frame == 0) return status;
        const GifFrameBlock& before = b.frames[static_cast<size_t>(key_frame) - 1];
        const GifScreenRect cleared = GifVisibleRect(b, before);
        if (before.disposal == kDisposeToBackground && cleared.width == b.screen_width &&
            cleared.height == b.screen_height) {
            return status;  // the screen was empty before it anyway
        }
        // The key frame was cut: its pixels that were not reached show what came before.
        for (uint32_t y = 0; y < b.screen_height && !keep; ++y) std::memset(plane.Row(y), 0, row);
        limit = key_frame - 1;
    }
}

void SetGlobalPalette(const GifStreamBlocks& b, const uint8_t* data, DibCanvas& canvas) {
    if (b.global_bits == 0) {
        canvas.SetGreyPalette();
        return;
    }
    for (uint32_t i = 0; i < (1u << b.global_bits); ++i) {
        const uint8_t* rgb = data + b.global_table + 3 * size_t{i};
        canvas.Palette()[i] = RgbQuad{rgb[2], rgb[1], rgb[0], 0};
    }
}

// Copies a composed plane (indices or BGRA) into the canvas's rows: indices packed into 1-, 4-
// or 8-bit rows, each masked to the bit count as gifsrc does; BGRA as it is or without alpha.
void CopyOut(const GifStreamBlocks& b, const uint8_t* data, const Plane& plane, DibCanvas& canvas) {
    const uint32_t width = canvas.Width();
    const uint32_t bits = canvas.BitCount();
    if (bits <= 8) SetGlobalPalette(b, data, canvas);
    for (uint32_t y = 0; y < canvas.Height(); ++y) {
        const uint8_t* src = plane.At(0, y);
        uint8_t* dst = canvas.Row(y);
        if (bits == 8 || bits == 32) {
            std::memcpy(dst, src, size_t{width} * plane.bytes);
        } else if (bits == 24) {
            for (uint32_t x = 0; x < width; ++x, src += 4, dst += 3) {
                dst[0] = src[0], dst[1] = src[1], dst[2] = src[2];
            }
        } else {
            const uint32_t per_byte = 8 / bits;
            for (uint32_t x = 0; x < width; x += per_byte) {
                unsigned byte = 0;
                for (uint32_t k = 0; k < per_byte; ++k) {
                    byte <<= bits;
                    if (x + k < width) byte |= src[x + k] & ((1u << bits) - 1);
                }
                *dst++ = static_cast<uint8_t>(byte);
            }
        }
    }
    canvas.ClearRowPadding();
}

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
        GifStreamBlocks blocks;
        if (WalkGifBlocks(data, size, -1, blocks) != GifResult::Ok) return CodecStatus::Broken;
        // Every image that the walk counts, the last one also when its data is cut short.
        const auto images = static_cast<int32_t>(std::min<size_t>(blocks.frames.size(), INT32_MAX));
        const int32_t bit_count = GifComposedBitCount(blocks, request.frame);
        if (bit_count == 0) {
            return request.frame >= images && images > 0 ? CodecStatus::NoFrame
                                                         : CodecStatus::Broken;
        }
        result.frame_count = images > request.frame ? images : request.frame + 1;
        const GifFrameBlock& first = blocks.frames.front();
        if (bit_count <= 8 && request.frame == 0 && first.width == blocks.screen_width &&
            first.height == blocks.screen_height) {
            // The first image is the screen, on the global colours: gifsrc's own picture.
            return DecodeFirstImage(gif, data, size, canvas);
        }
        const CodecStatus fits = CheckDeclaredSize(blocks.screen_width, blocks.screen_height);
        if (fits != CodecStatus::Ok) return fits;
        const uint64_t pixels = uint64_t{blocks.screen_width} * blocks.screen_height;
        const auto bit16 = static_cast<uint16_t>(bit_count);
        if (pixels * 4 <= FrameCache::kMaxCanvasBytes) {
            // A small screen: composed in a canvas of the frame cache, then copied out.
            const AnimKey key = MakeAnimKey(data, size, kTypeGif);
            auto kept = std::make_shared<AnimCanvas>();
            kept->frame = request.frame;
            kept->width = blocks.screen_width;
            kept->height = blocks.screen_height;
            kept->bytes = bit_count > 8 ? 4 : 1;
            Plane plane{nullptr, static_cast<ptrdiff_t>(size_t{kept->width} * kept->bytes),
                        kept->bytes};
            const CodecStatus composed = ComposeFromKeyFrame(data, size, blocks, request.frame,
                                                             plane, &key, kept.get());
            if (composed != CodecStatus::Ok) return composed;
            plane.top = kept->pixels.data();
            const CodecStatus created = canvas.Create(kept->width, kept->height, bit16);
            if (created != CodecStatus::Ok) return created;
            CopyOut(blocks, data, plane, canvas);
            FrameCache::Instance().Store(key, std::move(kept));
            return CodecStatus::Ok;
        }
        // A large screen is composed straight into the DIB's rows: BGR or BGRA pixels, or
        // indices (bytes, or packed into 1- and 4-bit rows), with no picture-sized buffer.
        const CodecStatus created =
            canvas.Create(blocks.screen_width, blocks.screen_height, bit16, true);
        if (created != CodecStatus::Ok) return created;
        const Plane plane{canvas.Row(0), canvas.TopDownPitch(),
                          bit_count >= 8 ? static_cast<uint32_t>(bit_count / 8) : 1u,
                          bit_count < 8 ? static_cast<uint32_t>(bit_count) : 0u};
        const CodecStatus composed =
            ComposeFromKeyFrame(data, size, blocks, request.frame, plane, nullptr, nullptr);
        if (composed == CodecStatus::Ok && bit_count <= 8) SetGlobalPalette(blocks, data, canvas);
        return composed;
    }

private:
    static CodecStatus DecodeFirstImage(GifFile& gif, const uint8_t* data, size_t size,
                                        DibCanvas& canvas) {
        gif.SetImageIndex(0);
        gif.SetMemorySource(data, size);
        switch (static_cast<GifResult>(gif.ReadPictureFromMemory())) {
            case GifResult::Ok:
                break;
            case GifResult::NoMemory:
                return CodecStatus::NoMemory;
            default:
                return CodecStatus::Broken;
        }
        // An empty image (width or height 0) decodes in gifsrc but is no picture here.
        return canvas.Adopt(gif.TakeResultDib());
    }

    // The same block walk as the decode, without the image data: the screen's size, the
    // composed frame's bit count and the number of images.
    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                           PictureHeader& header) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        GifStreamBlocks blocks;
        if (WalkGifBlocks(data, size, -1, blocks) != GifResult::Ok) return CodecStatus::Broken;
        const int32_t bit_count = GifComposedBitCount(blocks, 0);
        if (bit_count == 0) return CodecStatus::Broken;
        const GifFrameBlock& first = blocks.frames.front();
        if (bit_count <= 8 && first.width == blocks.screen_width &&
            first.height == blocks.screen_height) {
            // gifsrc's own picture: a minimum code size that its decoder refuses fails it.
            if (first.data < size && data[first.data] > GifLzwDecoder::kMaxMinimumCodeSize) {
                return CodecStatus::Broken;
            }
        } else if (GifVisibleRect(blocks, first).width != 0 &&
                   uint64_t{first.width} * first.height > kMaxFramePixels) {
            return CodecStatus::NoMemory;  // as composing it would end
        }
        header.width = blocks.screen_width;
        header.height = blocks.screen_height;
        header.bit_count = static_cast<uint16_t>(bit_count);
        header.result.frame_count =
            static_cast<int32_t>(std::min<size_t>(blocks.frames.size(), INT32_MAX));
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& GifBackend() {
    static const GifCodec backend;
    return backend;
}
