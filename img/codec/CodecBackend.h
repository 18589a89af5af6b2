// One back end of the codec layer: a format (or a family of formats) that it recognises,
// decodes into a DibCanvas and, where offered, encodes from a DibView. Back ends hold no state:
// one instance serves every request, from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "CodecTypes.h"
#include "DibCanvas.h"
#include "DibView.h"

struct PictureOptions;   // Orientation.h
struct PictureMetadata;  // PictureMetadata.h

struct DecodeRequest {
    int32_t frame = 0;        // frame (page, image) to decode; outside the frames: NoFrame
    uint32_t jpeg_scale = 1;  // 1..32; only JPEG decoders look at it
    uint32_t scale_eighths = 0;  // 1..8: decode at N/8 instead (previews); 0: jpeg_scale rules
    uint32_t type = kTypeUnknown;  // the type asked for (0: detected), for back ends of two
    // Set for Decode of back ends whose AppliesPictureOptions() is true: the picture upright
    // and in sRGB as it is decoded (Orientation.h); null: as stored.
    PictureOptions* options = nullptr;
};

// What a decode learns besides the pixels.
struct DecodeResult {
    uint32_t type = kTypeUnknown;  // the source's type; the back end's own type when left 0
    int32_t frame_count = 1;
    double x_dpi = 0;  // 0: the file has none (the layer then reports 96)
    double y_dpi = 0;
};

// What a header read learns: the size and bit count that Decode of frame 0 would
// give, and the rest of what that decode reports, with no pixel decoded.
struct PictureHeader {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bit_count = 0;
    DecodeResult result;
};

// Where a reader that serves both reads with one body parts them: a header read (`header` set)
// takes the measures and ends there; a picture read makes its canvas. Callers return the status
// when it is not Ok or when `header` is set.
inline CodecStatus MeasureOrCreate(PictureHeader* header, DibCanvas& canvas, uint32_t width,
                                   uint32_t height, uint16_t bit_count) {
    if (!header) return canvas.Create(width, height, bit_count);
    header->width = width;
    header->height = height;
    header->bit_count = bit_count;
    return CodecStatus::Ok;
}

struct EncodeOptions {
    uint32_t type = kTypeUnknown;
    int32_t jpeg_quality = 90;  // 1..100
};

class CodecBackend {
public:
    virtual ~CodecBackend() = default;

    // The type this back end is registered under (the first it reads).
    virtual uint32_t Type() const = 0;
    // Whether Decode takes a request for `type` (a back end may serve several codes).
    virtual bool Reads(uint32_t type) const { return type == Type(); }
    // Whether Decode shows the picture upright and in sRGB as DecodeRequest::options ask (and
    // says so there); for other back ends the layer turns and converts the decoded picture.
    virtual bool AppliesPictureOptions() const { return false; }
    // What the layer's own readers of orientation and colours (PictureMetadata.h) do not read
    // for this format, added to `out` for `frame` from the back end's library: the colour
    // description with `want_icc`, the orientation that Decode leaves to the layer. Headers only.
    // May throw std::bad_alloc.
    virtual void ReadDescription(const uint8_t*, size_t, int32_t /*frame*/, bool /*want_icc*/,
                                 PictureMetadata&) const {}
    // Whether the bytes look like this format, for detection with type 0. Cheap: the head only.
    virtual bool Sniff(const uint8_t* data, size_t size) const = 0;

    // Decodes request.frame into `canvas` (which the back end creates) and fills `result`.
    // May throw std::bad_alloc; the layer turns that into NoMemory. Must not longjmp out.
    [[nodiscard]] virtual CodecStatus Decode(const uint8_t* data, size_t size,
                                             const DecodeRequest& request, DibCanvas& canvas,
                                             DecodeResult& result) const = 0;

    // Reads the headers of the file as far as they tell what Decode of frame 0 would
    // give (size, bit count, densities, type, frame count), without decoding pixels. A file
    // whose pixel data is damaged may read its header Ok and fail Decode.
    [[nodiscard]] virtual CodecStatus ReadHeader(const uint8_t* data, size_t size,
                                           const DecodeRequest& request,
                                           PictureHeader& header) const = 0;

    // Decodes the small picture that the file holds for a thumbnail pane (an embedded
    // thumbnail, a reduced resolution level, a reduced-scale decode) into `canvas`, by the same
    // pixel rules as Decode. Unsupported when the format or the file offers none: the host then
    // reads the picture itself. Broken when the file's own thumbnail is damaged.
    [[nodiscard]] virtual CodecStatus DecodePreview(const uint8_t*, size_t, const DecodeRequest&,
                                                    DibCanvas&, DecodeResult&) const {
        return CodecStatus::Unsupported;
    }

    // Encodes the picture in the back end's format into `out`.
    [[nodiscard]] virtual CodecStatus Encode(const DibView&, const EncodeOptions&,
                                             std::vector<uint8_t>&) const {
        return CodecStatus::Unsupported;
    }
};

// A back end for a single-picture format whose reader does both jobs in one pass:
// `Derived::Read(data, size, canvas, header)` decodes into `canvas`, or with `header` set reads
// only the headers (checking that the data holds the raster) and fills it.
template <typename Derived>
class OnePassBackend : public CodecBackend {
public:
    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult&) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        if (request.frame != 0) return CodecStatus::NoFrame;
        return Derived::Read(data, size, canvas, nullptr);
    }

    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                     PictureHeader& header) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        DibCanvas unused;
        return Derived::Read(data, size, unused, &header);
    }
};

// Every back end of this build, in detection order (camera RAW before TIFF, TGA last).
const CodecBackend* const* CodecBackends(size_t& count);
