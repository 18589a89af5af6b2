// Camera RAW through LibRaw, from memory only: developed to 8-bit sRGB with LibRaw's defaults
// and the camera's white balance, as a 24-bit DIB (8-bit grey for monochrome sensors). Many raw
// formats are TIFF-structured; LibRaw decides, and a plain TIFF comes back NotThisFormat so that
// detection goes on to the TIFF back end. LibRaw reports through return codes and throws
// internally; nothing it throws leaves this unit.
#include <libraw/libraw.h>

#include <cstring>
#include <memory>
#include <new>

#include "CodecBackends.h"
#include "PreviewRules.h"
#include "SampleScale.h"
#include "TiffStructure.h"

namespace {

bool StartsWith(const uint8_t* p, size_t size, const char* text, size_t length, size_t at = 0) {
    return size >= at + length && std::memcmp(p + at, text, length) == 0;
}

CodecStatus FromLibRaw(int code) {
    if (code == LIBRAW_SUCCESS) return CodecStatus::Ok;
    return code == LIBRAW_UNSUFFICIENT_MEMORY ? CodecStatus::NoMemory : CodecStatus::Broken;
}

class RawCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeRaw; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return ReadTiffSignature(p, size) == TiffSignature::Classic ||
               StartsWith(p, size, "IIRO", 4) || StartsWith(p, size, "IIRS", 4) ||
               StartsWith(p, size, "MMOR", 4) ||         // ORF
               StartsWith(p, size, "IIU\0", 4) ||        // RW2
               StartsWith(p, size, "FUJIFILM", 8) ||     // RAF
               StartsWith(p, size, "\0MRM", 4) ||        // MRW
               StartsWith(p, size, "FOVb", 4) ||         // X3F
               StartsWith(p, size, "HEAPCCDR", 8, 6) ||  // CRW
               StartsWith(p, size, "ftypcrx ", 8, 4);    // CR3
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        // Asked for by type, LibRaw may recognise formats that have no signature here.
        if (request.type != kTypeRaw && !Sniff(data, size)) return CodecStatus::NotThisFormat;
        return Guarded(canvas, [&] { return Develop(data, size, request, canvas, result); });
    }

    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest& request,
                     PictureHeader& header) const override {
        if (request.type != kTypeRaw && !Sniff(data, size)) return CodecStatus::NotThisFormat;
        DibCanvas unused;
        return Guarded(unused, [&] { return Measure(data, size, header); });
    }

    // The embedded preview that LibRaw finds (the raw data is never unpacked): a JPEG one
    // through our JPEG back end at the preview scale, a bitmap one as 24-bit BGR (8-bit grey).
    CodecStatus DecodePreview(const uint8_t* data, size_t size, const DecodeRequest& request,
                              DibCanvas& canvas, DecodeResult& result) const override {
        if (request.type != kTypeRaw && !Sniff(data, size)) return CodecStatus::NotThisFormat;
        return Guarded(canvas, [&] { return Thumbnail(data, size, request, canvas, result); });
    }

private:
    // Runs `work` so that no exception leaves the back end (LibRaw throws on damaged data and
    // on memory it cannot have): out of memory gives NoMemory, any other Broken. A failure
    // leaves `canvas` empty.
    template <typename Work>
    static CodecStatus Guarded(DibCanvas& canvas, Work&& work) {
        CodecStatus status = CodecStatus::Broken;
        try {
            status = work();
        } catch (const std::bad_alloc&) {
            status = CodecStatus::NoMemory;
        } catch (...) {
            status = CodecStatus::Broken;
        }
        if (status != CodecStatus::Ok) canvas.Reset();
        return status;
    }

    static CodecStatus Thumbnail(const uint8_t* data, size_t size, const DecodeRequest& request,
                                 DibCanvas& canvas, DecodeResult& result) {
        std::unique_ptr<LibRaw> raw;
        CodecStatus status = Open(data, size, request.frame, raw);
        if (status != CodecStatus::Ok) return status;
        result.type = kTypeRaw;
        result.frame_count = 1;
        const libraw_thumbnail_t& thumb = raw->imgdata.thumbnail;
        // LibRaw 0.20 offers one thumbnail (the largest the file lists): no smaller one to
        // choose. None, or one of a kind that we do not read: no preview.
        const int unpacked = raw->unpack_thumb();
        if (unpacked == LIBRAW_NO_THUMBNAIL || unpacked == LIBRAW_UNSUPPORTED_THUMBNAIL) {
            return CodecStatus::Unsupported;
        }
        status = FromLibRaw(unpacked);
        if (status != CodecStatus::Ok) return status;
        if (!thumb.thumb || thumb.tlength == 0) return CodecStatus::Unsupported;
        // The thumbnail is stored as the sensor lies; the camera's orientation, which LibRaw
        // applies to the developed picture, is applied to it too.
        const int flip = raw->imgdata.sizes.flip & 7;
        if (flip == 0) return ThumbnailAsStored(thumb, canvas);
        DibCanvas stored;
        status = ThumbnailAsStored(thumb, stored);
        if (status != CodecStatus::Ok) return status;
        return Flip(stored, flip, canvas);
    }

    // Turns and mirrors `from` into `to` as LibRaw's flip code says: bit 4 swaps rows and
    // columns, then bit 2 reverses the rows and bit 1 the columns, read in the stored picture.
    static CodecStatus Flip(const DibCanvas& from, int flip, DibCanvas& to) {
        const bool swap = (flip & 4) != 0;
        const uint32_t width = swap ? from.Height() : from.Width();
        const uint32_t height = swap ? from.Width() : from.Height();
        if (from.BitCount() % 8 != 0) return CodecStatus::Unsupported;
        const CodecStatus status = to.Create(width, height, from.BitCount());
        if (status != CodecStatus::Ok) return status;
        const uint32_t bytes = from.BitCount() / 8u;
        if (bytes == 1) to.SetPalette(from.Palette(), 256);
        for (uint32_t y = 0; y < height; ++y) {
            uint8_t* dst = to.Row(y);
            for (uint32_t x = 0; x < width; ++x, dst += bytes) {
                uint32_t sy = swap ? x : y, sx = swap ? y : x;
                if (flip & 2) sy = from.Height() - 1 - sy;
                if (flip & 1) sx = from.Width() - 1 - sx;
                std::memcpy(dst, from.Row(sy) + uint64_t{sx} * bytes, bytes);
            }
        }
        to.ClearRowPadding();
        return CodecStatus::Ok;
    }

    // The thumbnail as the file holds it.
    static CodecStatus ThumbnailAsStored(const libraw_thumbnail_t& thumb, DibCanvas& canvas) {
        CodecStatus status = CodecStatus::Broken;
        const auto* bytes = reinterpret_cast<const uint8_t*>(thumb.thumb);
        if (thumb.tformat == LIBRAW_THUMBNAIL_JPEG) {
            const CodecBackend& jpeg = JpegBackend();
            DecodeRequest scaled;
            scaled.type = jpeg.Type();
            PictureHeader header;
            status = jpeg.ReadHeader(bytes, thumb.tlength, scaled, header);
            if (status == CodecStatus::NotThisFormat) return CodecStatus::Broken;
            if (status != CodecStatus::Ok) return status;
            if (!QualifiesAsPreview(header.width, header.height)) return CodecStatus::Unsupported;
            scaled.scale_eighths = PreviewScaleEighths(header.width, header.height);
            DecodeResult unused;
            status = jpeg.Decode(bytes, thumb.tlength, scaled, canvas, unused);
            return status == CodecStatus::NotThisFormat ? CodecStatus::Broken : status;
        }
        if (thumb.tformat != LIBRAW_THUMBNAIL_BITMAP) return CodecStatus::Unsupported;
        const uint32_t width = thumb.twidth, height = thumb.theight;
        const uint32_t colours = thumb.tcolors == 1 ? 1 : 3;
        if (thumb.tcolors != 1 && thumb.tcolors != 3) return CodecStatus::Unsupported;
        if (width == 0 || height == 0 ||
            uint64_t{width} * height * colours > thumb.tlength) {
            return CodecStatus::Broken;
        }
        if (!QualifiesAsPreview(width, height)) return CodecStatus::Unsupported;
        status = canvas.Create(width, height, colours == 1 ? 8 : 24);
        if (status != CodecStatus::Ok) return status;
        if (colours == 1) canvas.SetGreyPalette();
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* src = bytes + uint64_t{y} * width * colours;
            uint8_t* dst = canvas.Row(y);
            if (colours == 1) {
                std::memcpy(dst, src, width);
                continue;
            }
            SwapRedBlue<3>(src, dst, width);
        }
        canvas.ClearRowPadding();
        return CodecStatus::Ok;
    }

    // The sensor's and the developed picture's declared sizes, before LibRaw allocates for them.
    static CodecStatus CheckSizes(const libraw_image_sizes_t& sizes) {
        const CodecStatus sensor = CheckDeclaredSize(sizes.raw_width, sizes.raw_height);
        return sensor != CodecStatus::Ok ? sensor : CheckDeclaredSize(sizes.width, sizes.height);
    }

    // Opens the caller's bytes in a LibRaw set up as every request here uses it: no message on
    // stderr from its default callbacks, the camera's white balance, 8-bit output. The buffer
    // stream reads the caller's bytes and nothing else (no side files); LibRaw does not write
    // through the pointer. NotThisFormat when LibRaw does not take the file (plain TIFF among
    // them: the next back end decides), then NoFrame for any frame but 0.
    static CodecStatus Open(const uint8_t* data, size_t size, int32_t frame,
                            std::unique_ptr<LibRaw>& raw) {
        raw.reset(new (std::nothrow)
                      LibRaw(LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK));
        if (!raw) return CodecStatus::NoMemory;
        if (raw->open_buffer(const_cast<uint8_t*>(data), size) != LIBRAW_SUCCESS) {
            return CodecStatus::NotThisFormat;
        }
        if (frame != 0) return CodecStatus::NoFrame;
        raw->imgdata.params.use_camera_wb = 1;
        raw->imgdata.params.output_bps = 8;
        return CodecStatus::Ok;
    }

    // The developed picture's measures as LibRaw states them, sized for the flip, pixel aspect
    // and Fuji's rotated sensors: after adjust_sizes_info_only they predict what dcraw_process
    // gives. `colours` and `bits` are LibRaw's own.
    static CodecStatus Developed(const LibRaw& raw, PictureHeader& header, int& colours,
                                 int& bits) {
        int width = 0, height = 0;
        raw.get_mem_image_format(&width, &height, &colours, &bits);
        if (width <= 0 || height <= 0) return CodecStatus::Broken;
        header.width = static_cast<uint32_t>(width);
        header.height = static_cast<uint32_t>(height);
        header.bit_count = colours == 1 ? 8 : 24;
        header.result.frame_count = 1;
        return CodecStatus::Ok;
    }

    // The developed picture's measures from the opened file, without unpacking it.
    static CodecStatus Measure(const uint8_t* data, size_t size, PictureHeader& header) {
        std::unique_ptr<LibRaw> raw;
        CodecStatus status = Open(data, size, 0, raw);
        if (status == CodecStatus::Ok) status = CheckSizes(raw->imgdata.sizes);
        if (status == CodecStatus::Ok) status = FromLibRaw(raw->adjust_sizes_info_only());
        if (status != CodecStatus::Ok) return status;
        int colours = 0, bits = 0;
        return Developed(*raw, header, colours, bits);
    }

    static CodecStatus Develop(const uint8_t* data, size_t size, const DecodeRequest& request,
                               DibCanvas& canvas, DecodeResult& result) {
        std::unique_ptr<LibRaw> raw;
        CodecStatus status = Open(data, size, request.frame, raw);
        if (status != CodecStatus::Ok) return status;
        status = CheckSizes(raw->imgdata.sizes);
        if (status == CodecStatus::Ok) status = FromLibRaw(raw->unpack());
        if (status == CodecStatus::Ok) status = FromLibRaw(raw->dcraw_process());
        if (status != CodecStatus::Ok) return status;
        PictureHeader shape;
        int colours = 0, bits = 0;
        status = Developed(*raw, shape, colours, bits);
        if (status != CodecStatus::Ok) return status;
        if (bits != 8 || (colours != 1 && colours != 3)) return CodecStatus::Unsupported;
        status = canvas.Create(shape.width, shape.height, shape.bit_count);
        if (status != CodecStatus::Ok) return status;
        if (colours == 1) canvas.SetGreyPalette();
        // Top-down rows straight into the DIB, blue first.
        status = FromLibRaw(
            raw->copy_mem_image(canvas.Row(0), static_cast<int>(canvas.TopDownPitch()), 1));
        if (status != CodecStatus::Ok) return status;
        canvas.ClearRowPadding();
        result.frame_count = shape.result.frame_count;
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& RawBackend() {
    static const RawCodec backend;
    return backend;
}
