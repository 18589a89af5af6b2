// PSD and PSB through our own reader of the merged (composite) image at the end of the file:
// planar rows, raw or PackBits, 1, 8 or 16 bits a sample, in bitmap, grey, duotone (whose
// merged data is grey), indexed, RGB and CMYK documents. Layers are not composited: the merged
// image is what the document's author saved as its picture.
//
// Transparency: a document without a background layer stores its merged transparency as the
// first channel after the colour channels, and marks that by a negative layer count in the
// layer section (in 16-bit documents, in the Lr16 tagged block). Only then is that channel
// read as alpha; other extra channels are spot colours or saved selections and are ignored.
#include <cstring>
#include <utility>
#include <vector>

#include "ByteReader.h"
#include "Checked.h"
#include "CodecBackends.h"
#include "CxImage.h"
#include "PictureMetadata.h"
#include "PreviewRules.h"
#include "SampleScale.h"

namespace {

enum PsdMode : uint16_t {
    kModeBitmap = 0,
    kModeGrey = 1,
    kModeIndexed = 2,
    kModeRgb = 3,
    kModeCmyk = 4,
    kModeDuotone = 8,
};

constexpr uint32_t kMaxSide = 300000;  // the PSB limit; the pixel count is bounded by the canvas
constexpr uint16_t kResolutionInfo = 0x03ED;
constexpr uint16_t kThumbnail = 0x040C;     // a JFIF thumbnail in RGB order
constexpr uint16_t kThumbnailBgr = 0x0409;  // the older form, its JPEG in BGR order
constexpr uint32_t kThumbnailHeader = 28;   // format, sizes, bit count and planes before the JPEG

struct PsdHeader {
    uint16_t version = 0;
    uint16_t channels = 0;
    uint32_t height = 0;
    uint32_t width = 0;
    uint16_t depth = 0;
    uint16_t mode = 0;

    bool IsPsb() const { return version == 2; }
    uint16_t ColourChannels() const { return mode == kModeRgb ? 3 : (mode == kModeCmyk ? 4 : 1); }
};

CodecStatus Validate(const PsdHeader& h) {
    if (h.version != 1 && h.version != 2) return CodecStatus::Broken;
    if (h.channels < 1 || h.channels > 56) return CodecStatus::Broken;
    if (h.width == 0 || h.height == 0 || h.width > kMaxSide || h.height > kMaxSide) {
        return CodecStatus::Broken;
    }
    switch (h.mode) {
        case kModeBitmap:
            return h.depth == 1 ? CodecStatus::Ok : CodecStatus::Broken;
        case kModeIndexed:
            return h.depth == 8 ? CodecStatus::Ok : CodecStatus::Broken;
        case kModeGrey:
        case kModeDuotone:
        case kModeRgb:
        case kModeCmyk:
            if (h.depth == 32) return CodecStatus::Unsupported;  // floating-point samples
            if (h.depth != 8 && h.depth != 16) return CodecStatus::Broken;
            return h.channels >= h.ColourChannels() ? CodecStatus::Ok : CodecStatus::Broken;
        default:
            return CodecStatus::Unsupported;  // multichannel and Lab documents
    }
}

// Section lengths that PSB widens to 8 bytes.
bool ReadLength(ByteReader& r, bool wide, uint64_t& out) {
    if (wide) return r.ReadU64BE(out);
    uint32_t narrow = 0;
    if (!r.ReadU32BE(narrow)) return false;
    out = narrow;
    return true;
}

bool IsKey(const uint8_t* key, const char* name) { return std::memcmp(key, name, 4) == 0; }

// Tagged blocks whose length PSB widens to 8 bytes.
bool HasWideLength(const uint8_t* key) {
    static const char* const kWide[] = {"LMsk", "Lr16", "Lr32", "Layr", "Mt16", "Mt32", "Mtrn",
                                        "Alph", "FMsk", "lnk2", "FEid", "FXid", "PxSD"};
    for (const char* name : kWide) {
        if (IsKey(key, name)) return true;
    }
    return false;
}

bool NegativeCount(ByteReader r) {
    uint16_t count = 0;
    return r.ReadU16BE(count) && (count & 0x8000) != 0;
}

// Whether the layer section marks the merged image's first extra channel as its transparency.
bool MergedHasAlpha(ByteReader section, bool psb) {
    uint64_t info_length = 0;
    if (!ReadLength(section, psb, info_length)) return false;
    if (info_length >= 2) return NegativeCount(section);
    // Deeper documents keep their layers in a tagged block after the global mask information.
    uint32_t mask_length = 0;
    if (!section.Skip(static_cast<size_t>(info_length)) || !section.ReadU32BE(mask_length) ||
        !section.Skip(mask_length)) {
        return false;
    }
    while (section.Remaining() >= 12) {
        uint8_t signature[4], key[4];
        if (!section.ReadBytes(signature, 4) || !section.ReadBytes(key, 4)) return false;
        if (!IsKey(signature, "8BIM") && !IsKey(signature, "8B64")) return false;
        uint64_t length = 0;
        ByteReader block;
        if (!ReadLength(section, psb && HasWideLength(key), length) || length > SIZE_MAX ||
            !section.Take(static_cast<size_t>(length), block)) {
            return false;
        }
        if (IsKey(key, "Lr16") || IsKey(key, "Lr32") || IsKey(key, "Layr")) {
            return NegativeCount(block);
        }
    }
    return false;
}

// ResolutionInfo holds the horizontal and vertical resolution in pixels per inch, 16.16 fixed
// point, whatever unit the document displays them in.
void ReadResolution(ByteReader resources, DecodeResult& result) {
    ByteReader block;
    if (!FindPsdResource(resources, kResolutionInfo, block) || block.Remaining() < 16) return;
    const uint8_t* d = block.Position();
    const double x = ByteReader::LoadU32BE(d) / 65536.0;
    const double y = ByteReader::LoadU32BE(d + 8) / 65536.0;
    if (x > 0 && y > 0) {
        result.x_dpi = x;
        result.y_dpi = y;
    }
}

// PackBits: a header n of 0..127 copies n + 1 bytes, -1..-127 repeats the next byte 1 - n
// times, -128 does nothing. Output beyond the row is dropped; a short row is broken.
bool UnpackBits(ByteReader in, uint8_t* out, size_t out_size) {
    size_t at = 0;
    while (at < out_size) {
        uint8_t header = 0;
        if (!in.ReadU8(header)) return false;
        if (header < 128) {
            const size_t n = size_t{header} + 1;
            const size_t fits = n < out_size - at ? n : out_size - at;
            if (!in.ReadBytes(out + at, fits) || !in.Skip(n - fits)) return false;
            at += fits;
        } else if (header > 128) {
            const size_t n = 257 - size_t{header};
            uint8_t value = 0;
            if (!in.ReadU8(value)) return false;
            const size_t fits = n < out_size - at ? n : out_size - at;
            std::memset(out + at, value, fits);
            at += fits;
        }
    }
    return true;
}

// The rows of every channel in file order, channel after channel.
class PlaneRows {
public:
    // Also checks that the rows of the first `planes` channels are all there (raw), or that
    // their packed lengths fit the data and could hold a row each (PackBits), so that a short
    // file is refused before the picture is allocated.
    CodecStatus Init(ByteReader data, const PsdHeader& h, size_t row_bytes, uint32_t planes) {
        m_rowBytes = row_bytes;
        uint16_t compression = 0;
        if (!data.ReadU16BE(compression)) return CodecStatus::Broken;
        if (compression > 1)
            return compression <= 3 ? CodecStatus::Unsupported : CodecStatus::Broken;
        m_packed = compression == 1;
        if (m_packed) {
            // One count for every row of every channel, 2 bytes each (PSB: 4).
            m_countWidth = h.IsPsb() ? 4 : 2;
            const uint64_t table = uint64_t{h.channels} * h.height * m_countWidth;
            ByteReader counts;
            if (table > data.Remaining() || !data.Take(static_cast<size_t>(table), counts)) {
                return CodecStatus::Broken;
            }
            m_counts = counts.Position();
            // A packet covers at most 128 bytes of a row and takes at least 2.
            const uint64_t least = (uint64_t{row_bytes} + 127) / 128 * 2;
            uint64_t total = 0;
            for (uint64_t i = 0; i < uint64_t{planes} * h.height; ++i) {
                const uint32_t count = CountAt(i);
                if (count < least) return CodecStatus::Broken;
                total += count;
            }
            if (total > data.Remaining()) return CodecStatus::Broken;
        } else if (uint64_t{planes} * h.height * row_bytes > data.Remaining()) {
            return CodecStatus::Broken;
        }
        m_data = data;
        return CodecStatus::Ok;
    }

    bool Next(uint8_t* out) {
        if (!m_packed) return m_data.ReadBytes(out, m_rowBytes);
        const uint32_t count = CountAt(m_row++);
        ByteReader row;
        return m_data.Take(count, row) && UnpackBits(row, out, m_rowBytes);
    }

private:
    uint32_t CountAt(uint64_t row) const {
        const uint8_t* c = m_counts + row * m_countWidth;
        return m_countWidth == 4 ? ByteReader::LoadU32BE(c) : ByteReader::LoadU16BE(c);
    }

    ByteReader m_data;
    const uint8_t* m_counts = nullptr;
    uint64_t m_row = 0;
    size_t m_rowBytes = 0;
    uint32_t m_countWidth = 2;
    bool m_packed = false;
};

class PsdCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypePsd; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= 4 && std::memcmp(p, "8BPS", 4) == 0;
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        if (request.frame != 0) return CodecStatus::NoFrame;
        return Read(data, size, canvas, result, nullptr);
    }

    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                     PictureHeader& header) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        DibCanvas unused;
        return Read(data, size, unused, header.result, &header);
    }

    // The thumbnail resource (1036, else the older 1033) when it qualifies; its JPEG goes through
    // the build's JPEG back end.
    CodecStatus DecodePreview(const uint8_t* data, size_t size, const DecodeRequest& request,
                              DibCanvas& canvas, DecodeResult& result) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        if (request.frame != 0) return CodecStatus::NoFrame;
        ByteReader r(data, size);
        uint16_t version = 0;
        uint32_t colour_length = 0, resource_length = 0;
        ByteReader resources;
        if (!r.Skip(4) || !r.ReadU16BE(version) || (version != 1 && version != 2) || !r.Skip(20) ||
            !r.ReadU32BE(colour_length) || !r.Skip(colour_length) ||
            !r.ReadU32BE(resource_length) || !r.Take(resource_length, resources)) {
            return CodecStatus::Broken;
        }
        const CodecBackend* jpeg = CxImage::BackendFor(kTypeJpeg);
        if (!jpeg) return CodecStatus::Unsupported;
        for (const uint16_t id : {kThumbnail, kThumbnailBgr}) {
            ByteReader block;
            uint32_t format = 0, compressed = 0;
            if (!FindPsdResource(resources, id, block) || block.Remaining() < kThumbnailHeader) {
                continue;
            }
            ByteReader fields = block;
            if (!fields.ReadU32BE(format) || !fields.Skip(16) || !fields.ReadU32BE(compressed) ||
                format != 1 || !block.Skip(kThumbnailHeader) || compressed > block.Remaining()) {
                continue;
            }
            const uint8_t* bytes = block.Position();
            PictureHeader own;
            if (jpeg->ReadHeader(bytes, compressed, DecodeRequest{}, own) != CodecStatus::Ok ||
                !QualifiesAsPreview(own.width, own.height)) {
                continue;
            }
            DecodeResult unused;
            const CodecStatus status =
                jpeg->Decode(bytes, compressed, DecodeRequest{}, canvas, unused);
            if (status != CodecStatus::Ok) {
                canvas.Reset();
                return status;
            }
            if (id == kThumbnailBgr && canvas.BitCount() == 24) {
                for (uint32_t y = 0; y < canvas.Height(); ++y) {
                    SwapRedBlue<3>(canvas.Row(y), canvas.Row(y), canvas.Width());
                }
            }
            ReadResolution(resources, result);
            return CodecStatus::Ok;
        }
        return CodecStatus::Unsupported;
    }

private:
    // The document's merged image; with `header` set, the sections up to the image data's
    // row table are read and the picture's measures reported instead.
    static CodecStatus Read(const uint8_t* data, size_t size, DibCanvas& canvas,
                            DecodeResult& result, PictureHeader* header) {
        ByteReader r(data, size);
        PsdHeader h;
        if (!r.Skip(4) || !r.ReadU16BE(h.version) || !r.Skip(6) || !r.ReadU16BE(h.channels) ||
            !r.ReadU32BE(h.height) || !r.ReadU32BE(h.width) || !r.ReadU16BE(h.depth) ||
            !r.ReadU16BE(h.mode)) {
            return CodecStatus::Broken;
        }
        const CodecStatus valid = Validate(h);
        if (valid != CodecStatus::Ok) return valid;

        uint32_t colour_length = 0, resource_length = 0;
        uint64_t layer_length = 0;
        ByteReader colour_data, resources, layers;
        if (!r.ReadU32BE(colour_length) || !r.Take(colour_length, colour_data) ||
            !r.ReadU32BE(resource_length) || !r.Take(resource_length, resources) ||
            !ReadLength(r, h.IsPsb(), layer_length) || layer_length > r.Remaining() ||
            !r.Take(static_cast<size_t>(layer_length), layers)) {
            return CodecStatus::Broken;
        }
        if (h.mode == kModeIndexed && colour_length < 768) return CodecStatus::Broken;
        const bool alpha = h.mode != kModeBitmap && h.mode != kModeIndexed &&
                           h.channels > h.ColourChannels() && MergedHasAlpha(layers, h.IsPsb());

        uint64_t row_bits = 0;
        if (!CheckedMul(h.width, h.depth, row_bits)) return CodecStatus::Broken;
        const auto row_bytes = static_cast<size_t>((row_bits + 7) / 8);
        const uint32_t planes = h.ColourChannels() + (alpha ? 1u : 0u);
        PlaneRows rows;
        const CodecStatus ready = rows.Init(r, h, row_bytes, planes);
        if (ready != CodecStatus::Ok) return ready;

        uint16_t bit_count = 8;
        if (h.mode == kModeBitmap) {
            bit_count = 1;
        } else if (alpha) {
            bit_count = 32;
        } else if (h.mode == kModeRgb || h.mode == kModeCmyk) {
            bit_count = 24;
        }
        if (header) ReadResolution(resources, result);
        const CodecStatus created = MeasureOrCreate(header, canvas, h.width, h.height, bit_count);
        if (created != CodecStatus::Ok || header) return created;
        if (h.mode == kModeIndexed) {
            // The colour mode data holds 256 reds, then 256 greens, then 256 blues.
            const uint8_t* table = colour_data.Position();
            for (uint32_t i = 0; i < 256; ++i) {
                canvas.Palette()[i] = RgbQuad{table[512 + i], table[256 + i], table[i], 0};
            }
        } else if (bit_count <= 8) {
            canvas.SetGreyPalette();
        }

        std::vector<uint8_t> packed(row_bytes);
        std::vector<uint8_t> samples(h.width);
        for (uint32_t plane = 0; plane < planes; ++plane) {
            for (uint32_t y = 0; y < h.height; ++y) {
                if (!rows.Next(packed.data())) return CodecStatus::Broken;
                if (h.mode == kModeBitmap) {
                    // Bitmap documents store 1 for black; the DIB's entry 0 is black.
                    uint8_t* d = canvas.Row(y);
                    for (size_t i = 0; i < row_bytes; ++i) d[i] = static_cast<uint8_t>(~packed[i]);
                    continue;
                }
                const uint8_t* s = packed.data();
                if (h.depth == 16) {
                    for (uint32_t x = 0; x < h.width; ++x) {
                        samples[x] = Reduce16(ByteReader::LoadU16BE(packed.data() + 2 * x));
                    }
                    s = samples.data();
                }
                Store(h, bit_count, plane, s, canvas.Row(y));
            }
        }
        ReadResolution(resources, result);
        return CodecStatus::Ok;
    }

    // Puts one plane's row of 8-bit samples into its place in the DIB row.
    static void Store(const PsdHeader& h, uint16_t bit_count, uint32_t plane, const uint8_t* s,
                      uint8_t* d) {
        const uint32_t width = h.width;
        if (bit_count == 8) {
            std::memcpy(d, s, width);
            return;
        }
        const uint32_t step = bit_count / 8u;
        const uint32_t colours = h.ColourChannels();
        if (plane == colours) {  // the merged transparency
            for (uint32_t x = 0; x < width; ++x) d[x * step + 3] = s[x];
        } else if (colours == 1) {
            for (uint32_t x = 0; x < width; ++x, d += step) d[0] = d[1] = d[2] = s[x];
        } else if (plane < 3) {
            // Red, green, blue (or the inverted cyan, magenta, yellow) into BGR order.
            for (uint32_t x = 0; x < width; ++x) d[x * step + 2 - plane] = s[x];
        } else {
            // Black: the stored values are 255 - ink, so R = (255 - C)(255 - K) / 255 is the
            // product of the two stored values.
            for (uint32_t x = 0; x < width; ++x, d += step) {
                for (int i = 0; i < 3; ++i) d[i] = InkProduct(d[i], s[x]);
            }
        }
    }
};

}  // namespace

const CodecBackend& PsdBackend() {
    static const PsdCodec backend;
    return backend;
}
