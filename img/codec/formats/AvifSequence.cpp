// AVIF image sequences through libavif (with dav1d), from memory without a copy. The track is
// read, not the still image that such files may also hold; deeper samples are reduced to 8
// bits by libavif, alpha stays straight.
#include "AvifSequence.h"

#include <avif/avif.h>

#include <cstring>
#include <memory>
#include <vector>

#include "IsoBoxes.h"
#include "PictureMetadata.h"

namespace {

struct DecoderFree {
    void operator()(avifDecoder* d) const { avifDecoderDestroy(d); }
};

CodecStatus StatusOf(avifResult r) {
    switch (r) {
        case AVIF_RESULT_OK:
            return CodecStatus::Ok;
        case AVIF_RESULT_OUT_OF_MEMORY:
            return CodecStatus::NoMemory;
        case AVIF_RESULT_NO_CODEC_AVAILABLE:
        case AVIF_RESULT_NOT_IMPLEMENTED:
            return CodecStatus::Unsupported;
        case AVIF_RESULT_NO_IMAGES_REMAINING:
            return CodecStatus::NoFrame;
        default:
            return CodecStatus::Broken;
    }
}

}  // namespace

bool IsAvifSequence(const uint8_t* data, size_t size) {
    ByteReader ftyp, moov;
    if (!FindBox(ByteReader(data, size), BoxType("ftyp"), ftyp)) return false;
    bool avis = false;
    for (size_t at = 0; ftyp.Remaining() >= 4; at += 4) {
        uint8_t brand[4];
        if (!ftyp.ReadBytes(brand, 4)) break;
        if (at != 4 && std::memcmp(brand, "avis", 4) == 0) avis = true;  // 4: minor version
    }
    return avis && FindBox(ByteReader(data, size), BoxType("moov"), moov);
}

namespace {

// A decoder over the bytes with the track parsed (no frame decoded), or null.
std::unique_ptr<avifDecoder, DecoderFree> ParseSequence(const uint8_t* data, size_t size,
                                                        avifResult& r) {
    std::unique_ptr<avifDecoder, DecoderFree> decoder(avifDecoderCreate());
    r = AVIF_RESULT_OUT_OF_MEMORY;
    if (!decoder) return decoder;
    decoder->maxThreads = 1;
    decoder->requestedSource = AVIF_DECODER_SOURCE_TRACKS;
    // libavif refuses a limit above its default (16384 x 16384) as not implemented.
    decoder->imageSizeLimit = static_cast<uint32_t>(
        DibCanvas::kMaxPixels < AVIF_DEFAULT_IMAGE_SIZE_LIMIT ? DibCanvas::kMaxPixels
                                                              : AVIF_DEFAULT_IMAGE_SIZE_LIMIT);
    decoder->strictFlags = AVIF_STRICT_DISABLED;
    r = avifDecoderSetIOMemory(decoder.get(), data, size);
    if (r == AVIF_RESULT_OK) r = avifDecoderParse(decoder.get());
    if (r != AVIF_RESULT_OK) decoder.reset();
    return decoder;
}

}  // namespace

void ReadAvifSequenceColours(const uint8_t* data, size_t size, PictureMetadata& out) {
    avifResult r = AVIF_RESULT_OK;
    const auto decoder = ParseSequence(data, size, r);
    if (!decoder) return;
    const avifImage* image = decoder->image;
    if (image->icc.size > 0 && image->icc.data) {
        out.icc.assign(image->icc.data, image->icc.data + image->icc.size);
        return;
    }
    TakeDecodedCicp(out, static_cast<uint8_t>(image->colorPrimaries),
                    static_cast<uint8_t>(image->transferCharacteristics),
                    static_cast<uint8_t>(image->matrixCoefficients),
                    image->yuvRange == AVIF_RANGE_FULL ? 1 : 0, true);
}

CodecStatus ReadAvifSequence(const uint8_t* data, size_t size, int32_t frame, DibCanvas& canvas,
                             DecodeResult& result, PictureHeader* header) {
    avifResult r = AVIF_RESULT_OK;
    const auto decoder = ParseSequence(data, size, r);
    if (!decoder) return StatusOf(r);
    const avifImage* image = decoder->image;
    const bool alpha = decoder->alphaPresent != 0;
    const uint16_t bits = alpha ? 32 : 24;
    result.frame_count = decoder->imageCount;
    if (header) {
        const CodecStatus fits = CheckDeclaredSize(image->width, image->height);
        if (fits != CodecStatus::Ok) return fits;
        header->width = image->width;
        header->height = image->height;
        header->bit_count = bits;
        header->result.frame_count = decoder->imageCount;
        return CodecStatus::Ok;
    }
    if (frame < 0 || frame >= decoder->imageCount) return CodecStatus::NoFrame;
    r = avifDecoderNthImage(decoder.get(), static_cast<uint32_t>(frame));
    if (r != AVIF_RESULT_OK) return StatusOf(r);
    image = decoder->image;
    const CodecStatus created = canvas.Create(image->width, image->height, bits);
    if (created != CodecStatus::Ok) return created;
    // libavif writes top-down rows at a positive pitch: into a buffer, then the DIB's rows.
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, image);
    rgb.format = alpha ? AVIF_RGB_FORMAT_BGRA : AVIF_RGB_FORMAT_BGR;
    rgb.depth = 8;
    const size_t row = size_t{image->width} * (bits / 8u);
    std::vector<uint8_t> pixels(row * image->height);  // bad_alloc: the layer's NoMemory
    rgb.pixels = pixels.data();
    rgb.rowBytes = static_cast<uint32_t>(row);
    r = avifImageYUVToRGB(image, &rgb);
    if (r != AVIF_RESULT_OK) return StatusOf(r);
    for (uint32_t y = 0; y < image->height; ++y) {
        std::memcpy(canvas.Row(y), pixels.data() + y * row, row);
    }
    canvas.ClearRowPadding();
    return CodecStatus::Ok;
}
