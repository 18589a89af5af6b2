// GIF through the plug-ins' own reader. Frame N is the logical screen as a viewer shows it after
// images 0..N: each image drawn at its place over what its predecessors' disposal methods left,
// its transparent index letting the screen through. The bit count follows from the blocks alone
// (GifComposedBitCount): BGRA where pixels may be transparent, BGR where images bring their own
// colour tables, otherwise the global table's 1-, 4- or 8-bit DIB, which for a first image that
// fills the screen is exactly the DIB that gifsrc gives.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "Checked.h"
#include "CodecBackends.h"
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

// Top-down rows of 1 (index), 3 (BGR) or 4 (BGRA) bytes a pixel.
struct Plane {
    uint8_t* top = nullptr;
    ptrdiff_t pitch = 0;
    uint32_t bytes = 1;
    uint8_t* At(uint32_t x, uint32_t y) const { return top + pitch * y + size_t{bytes} * x; }
};

void SaveRect(const Plane& plane, const GifScreenRect& r, std::vector<uint8_t>& saved) {
    const size_t row = size_t{r.width} * plane.bytes;
    saved.resize(row * r.height);
    for (uint32_t y = 0; y < r.height; ++y) {
        std::memcpy(saved.data() + row * y, plane.At(r.left, r.top + y), row);
    }
}

void RestoreRect(const Plane& plane, const GifScreenRect& r, const std::vector<uint8_t>& saved) {
    const size_t row = size_t{r.width} * plane.bytes;
    for (uint32_t y = 0; y < r.height; ++y) {
        std::memcpy(plane.At(r.left, r.top + y), saved.data() + row * y, row);
    }
}

void ClearRect(const Plane& plane, const GifScreenRect& r) {
    for (uint32_t y = 0; y < r.height; ++y) {
        std::memset(plane.At(r.left, r.top + y), 0, size_t{r.width} * plane.bytes);
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

// Draws images 0..frame into `plane`, which starts all zero.
CodecStatus Compose(const uint8_t* data, size_t size, const GifStreamBlocks& b, int32_t frame,
                    const Plane& plane) {
    std::vector<uint8_t> saved;
    uint8_t map[256][4];
    for (int32_t i = 0; i <= frame; ++i) {
        const GifFrameBlock& f = b.frames[static_cast<size_t>(i)];
        const GifScreenRect r = GifVisibleRect(b, f);
        if (r.width == 0) continue;  // wholly off the screen: nothing to draw or dispose of
        const bool last = i == frame;
        if (!last && f.disposal == kDisposeToPrevious) SaveRect(plane, r, saved);

        const uint64_t pixels = uint64_t{f.width} * f.height;
        if (pixels > kMaxFramePixels || !FitsSizeT(pixels)) return CodecStatus::NoMemory;
        // calloc: the zero pages of a large image cost nothing until the decoder writes them.
        std::unique_ptr<uint8_t, FreeDeleter> indices(
            static_cast<uint8_t*>(std::calloc(static_cast<size_t>(pixels), 1)));
        if (!indices) return CodecStatus::NoMemory;
        const GifResult decoded = DecodeGifFrameIndices(data, size, f, indices.get());
        if (decoded == GifResult::NoMemory) return CodecStatus::NoMemory;
        if (decoded == GifResult::Ok) {
            ColourMap(data, b, f, map);
            for (uint32_t y = 0; y < r.height; ++y) {
                const uint8_t* src = indices.get() + size_t{f.width} * (r.top - f.top + y);
                uint8_t* dst = plane.At(r.left, r.top + y);
                for (uint32_t x = 0; x < r.width; ++x, dst += plane.bytes) {
                    const uint8_t index = src[x];
                    if (f.has_transparency && index == f.transparent_index) continue;
                    if (plane.bytes == 1) {
                        *dst = index;
                    } else {
                        std::memcpy(dst, map[index], plane.bytes);
                    }
                }
            }
        } else if (last) {
            return CodecStatus::Broken;
        }
        // An earlier image that cannot be decoded draws nothing; the animation goes on.
        if (last) break;
        if (f.disposal == kDisposeToBackground) {
            ClearRect(plane, r);
        } else if (f.disposal == kDisposeToPrevious) {
            RestoreRect(plane, r, saved);
        }
    }
    return CodecStatus::Ok;
}

// Packs composed indices into the 1-, 4- or 8-bit rows of the canvas, each index masked to the
// bit count as gifsrc does.
void PackIndices(const std::vector<uint8_t>& plane, DibCanvas& canvas) {
    const uint32_t width = canvas.Width();
    for (uint32_t y = 0; y < canvas.Height(); ++y) {
        const uint8_t* src = plane.data() + size_t{width} * y;
        uint8_t* dst = canvas.Row(y);
        if (canvas.BitCount() == 8) {
            std::memcpy(dst, src, width);
            continue;
        }
        const uint32_t bits = canvas.BitCount();
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
        const int32_t images = gif.CountImages(data, size);
        GifStreamBlocks blocks;
        if (WalkGifBlocks(data, size, request.frame, blocks) != GifResult::Ok) {
            return CodecStatus::Broken;
        }
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
        if (bit_count > 8) {
            const CodecStatus created = canvas.Create(blocks.screen_width, blocks.screen_height,
                                                      static_cast<uint16_t>(bit_count), true);
            if (created != CodecStatus::Ok) return created;
            const Plane plane{canvas.Row(0), canvas.TopDownPitch(),
                              static_cast<uint32_t>(bit_count / 8)};
            return Compose(data, size, blocks, request.frame, plane);
        }
        const CodecStatus fits = CheckDeclaredSize(blocks.screen_width, blocks.screen_height);
        if (fits != CodecStatus::Ok) return fits;
        const uint64_t pixels = uint64_t{blocks.screen_width} * blocks.screen_height;
        std::vector<uint8_t> indices(static_cast<size_t>(pixels), 0);
        const Plane plane{indices.data(), static_cast<ptrdiff_t>(blocks.screen_width), 1};
        const CodecStatus composed = Compose(data, size, blocks, request.frame, plane);
        if (composed != CodecStatus::Ok) return composed;
        const CodecStatus created = canvas.Create(blocks.screen_width, blocks.screen_height,
                                                  static_cast<uint16_t>(bit_count));
        if (created != CodecStatus::Ok) return created;
        if (blocks.global_bits == 0) {
            canvas.SetGreyPalette();
        } else {
            for (uint32_t i = 0; i < (1u << blocks.global_bits); ++i) {
                const uint8_t* rgb = data + blocks.global_table + 3 * size_t{i};
                canvas.Palette()[i] = RgbQuad{rgb[2], rgb[1], rgb[0], 0};
            }
        }
        PackIndices(indices, canvas);
        return CodecStatus::Ok;
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

    // A walk over the blocks up to the first image's descriptor and colour table, as the
    // picture read makes it, with no LZW; the images are counted by skipping their data.
    // The same block walk as the decode, without the image data: the screen's size, the
    // composed frame's bit count and the number of images.
    CodecStatus Ping(const uint8_t* data, size_t size, const DecodeRequest&,
                     PictureHeader& header) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        GifStreamBlocks blocks;
        if (WalkGifBlocks(data, size, 0, blocks) != GifResult::Ok) return CodecStatus::Broken;
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
        GifFile gif;
        const int32_t images = gif.CountImages(data, size);
        header.result.frame_count = images > 0 ? images : 1;
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& GifBackend() {
    static const GifCodec backend;
    return backend;
}
