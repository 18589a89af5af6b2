#include "GifFrames.h"

#include <cstring>
#include <memory>
#include <new>

#include "ByteReader.h"

namespace {

constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kImageSeparator = 0x2C;
constexpr uint8_t kGraphicControlLabel = 0xF9;
constexpr uint8_t kDisposeToBackground = 2;
constexpr uint8_t kDisposeToPrevious = 3;

// Steps over data sub-blocks up to and including the Block Terminator.
bool SkipSubBlocks(const uint8_t* data, size_t size, size_t& pos) {
    while (pos < size) {
        const size_t length = data[pos];
        if (length == 0) {
            ++pos;
            return true;
        }
        if (length >= size - pos) return false;
        pos += length + 1;
    }
    return false;
}

bool CoversScreen(const GifStreamBlocks& b, const GifFrameBlock& f) {
    return f.left == 0 && f.top == 0 && f.width >= b.screen_width && f.height >= b.screen_height;
}

}  // namespace

GifResult WalkGifBlocks(const uint8_t* data, size_t size, int32_t last_frame,
                        GifStreamBlocks& out) {
    out = GifStreamBlocks();
    if (!data || size < 13) return GifResult::DataEnded;
    if (std::memcmp(data, "GIF87a", 6) != 0 && std::memcmp(data, "GIF89a", 6) != 0) {
        return GifResult::BadSignature;
    }
    // Logical Screen Descriptor and Global Color Table.
    out.screen_width = ByteReader::LoadU16LE(data + 6);
    out.screen_height = ByteReader::LoadU16LE(data + 8);
    out.colour_bits = (data[10] & 7) + 1;
    size_t pos = 13;
    if ((data[10] & 0x80) != 0) {
        out.global_bits = out.colour_bits;
        out.global_table = pos;
        const size_t table = size_t{3} << out.global_bits;
        if (table > size - pos) return GifResult::DataEnded;
        pos += table;
    }

    GifFrameBlock next;  // carries the Graphic Control Extension to the image it precedes
    while (pos < size && (last_frame < 0 || out.frames.size() <= static_cast<size_t>(last_frame))) {
        const uint8_t introducer = data[pos++];
        if (introducer == kExtensionIntroducer) {
            if (pos >= size) break;
            const uint8_t label = data[pos++];
            // Graphic Control Extension: block size, packed fields, delay, transparent index.
            if (label == kGraphicControlLabel && pos < size && data[pos] >= 4 && size - pos > 4) {
                next.disposal = static_cast<uint8_t>((data[pos + 1] >> 2) & 7);
                next.has_transparency = (data[pos + 1] & 1) != 0;
                next.transparent_index = data[pos + 4];
            }
            if (!SkipSubBlocks(data, size, pos)) break;
            continue;
        }
        if (introducer != kImageSeparator || size - pos < 9) break;
        // Image Descriptor, Local Color Table, then the image data.
        GifFrameBlock& f = out.frames.emplace_back(next);
        next = GifFrameBlock();
        f.left = ByteReader::LoadU16LE(data + pos);
        f.top = ByteReader::LoadU16LE(data + pos + 2);
        f.width = ByteReader::LoadU16LE(data + pos + 4);
        f.height = ByteReader::LoadU16LE(data + pos + 6);
        const uint8_t packed = data[pos + 8];
        f.interlaced = (packed & 0x40) != 0;
        pos += 9;
        if ((packed & 0x80) != 0) {
            f.local_bits = (packed & 7) + 1;
            f.local_table = pos;
            const size_t table = size_t{3} << f.local_bits;
            if (table > size - pos) {
                out.frames.pop_back();  // an image without its colours is no image
                break;
            }
            pos += table;
        }
        f.data = pos;
        if (pos >= size) break;
        ++pos;  // LZW minimum code size
        f.complete = SkipSubBlocks(data, size, pos);
        if (!f.complete) break;
    }
    if (!out.frames.empty() && (out.screen_width == 0 || out.screen_height == 0)) {
        const GifFrameBlock& first = out.frames.front();
        out.screen_width = uint32_t{first.left} + first.width;
        out.screen_height = uint32_t{first.top} + first.height;
    }
    return GifResult::Ok;
}

int32_t GifComposedBitCount(const GifStreamBlocks& blocks, int32_t frame) {
    if (frame < 0 || static_cast<size_t>(frame) >= blocks.frames.size()) return 0;
    bool transparent = false;
    bool local_colours = false;
    bool covered = false;
    bool covered_before_previous = false;
    for (int32_t i = 0; i <= frame; ++i) {
        const GifFrameBlock& f = blocks.frames[static_cast<size_t>(i)];
        if (i > 0) {
            const GifFrameBlock& previous = blocks.frames[static_cast<size_t>(i) - 1];
            if (previous.disposal == kDisposeToBackground &&
                GifVisibleRect(blocks, previous).width != 0) {
                covered = false;
            } else if (previous.disposal == kDisposeToPrevious) {
                covered = covered_before_previous;
            }
        }
        covered_before_previous = covered;
        if (CoversScreen(blocks, f)) covered = true;
        transparent = transparent || f.has_transparency;
        local_colours = local_colours || f.local_bits != 0;
    }
    if (transparent || !covered) return 32;
    if (local_colours) return 24;
    return GifFile::DibBitCountFor(blocks.global_bits != 0 ? blocks.global_bits
                                                           : blocks.colour_bits);
}

GifScreenRect GifVisibleRect(const GifStreamBlocks& blocks, const GifFrameBlock& f) {
    GifScreenRect r;
    if (f.left >= blocks.screen_width || f.top >= blocks.screen_height) return r;
    const uint32_t right = uint32_t{f.left} + f.width;
    const uint32_t bottom = uint32_t{f.top} + f.height;
    r.left = f.left;
    r.top = f.top;
    r.width = (right < blocks.screen_width ? right : blocks.screen_width) - f.left;
    r.height = (bottom < blocks.screen_height ? bottom : blocks.screen_height) - f.top;
    if (r.height == 0) r.width = 0;
    return r;
}

uint32_t GifReach::PixelsIn(uint32_t y, uint32_t width) const {
    if (Finished()) return width;
    int32_t row_pass = 3;
    if (interlaced) {
        row_pass = y % 8 == 0 ? 0 : y % 8 == 4 ? 1 : y % 4 == 2 ? 2 : 3;
    }
    if (row_pass != pass) return row_pass < pass ? width : 0;
    const auto r = static_cast<int64_t>(y);
    return r < row ? width : r == row ? column : 0;
}

int32_t GifKeyFrame(const GifStreamBlocks& blocks, int32_t frame, int32_t limit) {
    for (int32_t k = frame < limit ? frame : limit; k > 0; --k) {
        const GifFrameBlock& f = blocks.frames[static_cast<size_t>(k)];
        if (CoversScreen(blocks, f) && !f.has_transparency && f.complete &&
            (k == frame || f.disposal != kDisposeToPrevious)) {
            return k;
        }
        const GifFrameBlock& before = blocks.frames[static_cast<size_t>(k) - 1];
        if (before.disposal == kDisposeToBackground && CoversScreen(blocks, before)) return k;
    }
    return 0;
}

namespace {

// The steps both frame decodes share: the image's code size, an empty image, the decoder, and how
// far the data reached. `prepare` fills the row layout (false: out of memory); `finish` sees the
// placer once the data has ended.
template <class Prepare, class Finish>
GifResult DecodeGifFrame(const uint8_t* data, size_t size, const GifFrameBlock& frame,
                         GifReach* reach, Prepare prepare, Finish finish) {
    GifReach none;
    none.interlaced = frame.interlaced;
    none.pass = frame.interlaced ? 0 : 3;
    if (reach) *reach = none;
    size_t pos = frame.data;
    if (pos >= size) return GifResult::Ok;
    const uint8_t min_code_size = data[pos++];
    if (min_code_size > GifLzwDecoder::kMaxMinimumCodeSize) return GifResult::BadSignature;
    if (frame.width == 0 || frame.height == 0) {
        if (reach) reach->pass = kGifFinishedPass;
        return GifResult::Ok;
    }
    std::unique_ptr<GifLzwDecoder> decoder(new (std::nothrow) GifLzwDecoder);
    GifRowLayout layout;
    layout.width = frame.width;
    layout.height = frame.height;
    layout.interlaced = frame.interlaced;
    if (!decoder || !prepare(*decoder, layout)) return GifResult::NoMemory;
    GifPixelPlacer placer;
    placer.Start(layout);
    // Image data that ends before its end code still gives what it holds.
    (void)decoder->Decode(data, size, pos, min_code_size, placer);
    finish(placer);
    if (reach) {
        reach->pass = placer.InterlacePass();
        reach->row = placer.PixelRow();
        reach->column = placer.PixelColumn();
    }
    return GifResult::Ok;
}

struct RowRelay {
    GifRowFn row;
    void* context;
    uint32_t width;
    static void OnRow(void* self, int32_t row, uint8_t* indices) {
        const auto* relay = static_cast<const RowRelay*>(self);
        relay->row(relay->context, row, indices, relay->width);
        std::memset(indices, 0, relay->width);
    }
};

}  // namespace

GifResult DecodeGifFrameIndices(const uint8_t* data, size_t size, const GifFrameBlock& frame,
                                uint8_t* indices, GifReach* reach) {
    return DecodeGifFrame(
        data, size, frame, reach,
        [&](GifLzwDecoder&, GifRowLayout& layout) {
            layout.base = indices;
            layout.pitch = frame.width;
            return true;
        },
        [](const GifPixelPlacer&) {});
}

GifResult DecodeGifFrameRows(const uint8_t* data, size_t size, const GifFrameBlock& frame,
                             GifRowFn row, void* context, GifReach* reach) {
    std::unique_ptr<uint8_t[]> line;
    RowRelay relay{row, context, frame.width};
    return DecodeGifFrame(
        data, size, frame, reach,
        [&](GifLzwDecoder& decoder, GifRowLayout& layout) {
            line.reset(new (std::nothrow) uint8_t[frame.width]());
            if (!line) return false;
            decoder.SetLocateLimit(0);  // rows do not stay where they were decoded
            layout.base = line.get();
            layout.pitch = 0;
            layout.row_sink = &RowRelay::OnRow;
            layout.sink_context = &relay;
            return true;
        },
        [&](const GifPixelPlacer& placer) {
            if (!placer.IsFinished()) row(context, placer.PixelRow(), line.get(), placer.PixelColumn());
        });
}
