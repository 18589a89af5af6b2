// PNG through libpng: every colour type and bit depth, Adam7, tRNS and pHYs. The library's
// transforms shape each row as the DIB wants it and write it straight into the DIB:
//   palette without tRNS   1-, 4- or 8-bit indexed with the file's palette (2-bit widened to 4)
//   grey without alpha     1-bit: black and white entries; 2 to 16 bits: 8-bit grey ramp, the
//                          values scaled to 8 bits (2-bit 0..3 become 0, 85, 170, 255)
//   colour without alpha   24-bit BGR
//   any alpha or tRNS      32-bit BGRA, straight alpha
// 16-bit samples are scaled to 8 with rounding; gAMA, cHRM, sRGB and iCCP are not applied.
//
// libpng reports errors by longjmp. The functions that call it keep only trivially
// destructible locals, and everything else lives in the job they are handed, so the jump never
// crosses a C++ frame with a destructor.
#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "CodecBackends.h"
#include "SampleScale.h"

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// What the library's callbacks reach: the source or the output, and how a failure ended.
struct PngJob {
    jmp_buf jump;
    bool no_memory;
    // Reading.
    const uint8_t* data;
    size_t size;
    size_t pos;
    DibCanvas* canvas;
    DecodeResult* result;
    PictureHeader* header;  // set: the chunks up to the first IDAT are read, and no further
    // Writing.
    const DibView* view;
    uint8_t* out;
    size_t out_size;
    size_t out_capacity;
    uint8_t* scratch;
};

[[noreturn]] void OnPngError(png_structp png, png_const_charp) {
    longjmp(static_cast<PngJob*>(png_get_error_ptr(png))->jump, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

png_voidp OnPngMalloc(png_structp png, png_alloc_size_t size) {
    void* p = std::malloc(size);
    if (!p) static_cast<PngJob*>(png_get_mem_ptr(png))->no_memory = true;
    return p;
}

void OnPngFree(png_structp, png_voidp p) { std::free(p); }

void OnPngRead(png_structp png, png_bytep out, size_t length) {
    auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
    if (length > job->size - job->pos) png_error(png, "data ended");
    std::memcpy(out, job->data + job->pos, length);
    job->pos += length;
}

void OnPngWrite(png_structp png, png_bytep data, size_t length) {
    auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
    if (length > job->out_capacity - job->out_size) {
        size_t grown = std::max<size_t>(job->out_capacity * 2, 1 << 16);
        while (grown - job->out_size < length) grown *= 2;
        auto* bigger = static_cast<uint8_t*>(std::realloc(job->out, grown));
        if (!bigger) {
            job->no_memory = true;
            png_error(png, "out of memory");
        }
        job->out = bigger;
        job->out_capacity = grown;
    }
    std::memcpy(job->out + job->out_size, data, length);
    job->out_size += length;
}

void OnPngFlush(png_structp) {}

CodecStatus Failed(png_structp* png, png_infop* info, const PngJob& job) {
    png_destroy_read_struct(png, info, nullptr);
    return job.no_memory ? CodecStatus::NoMemory : CodecStatus::Broken;
}

CodecStatus RunDecode(PngJob* job) {
    png_structp png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, job, OnPngError,
                                               OnPngWarning, job, OnPngMalloc, OnPngFree);
    if (!png) return CodecStatus::NoMemory;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return CodecStatus::NoMemory;
    }
    if (setjmp(job->jump)) return Failed(&png, &info, *job);
    png_set_read_fn(png, job, OnPngRead);
    // Every chunk's CRC-32 is checked, which covers the compressed bytes; the zlib stream's own
    // Adler-32 over the inflated bytes adds nothing for damage in the file and costs time.
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
    png_read_info(png, info);

    const uint32_t width = png_get_image_width(png, info);
    const uint32_t height = png_get_image_height(png, info);
    const int depth = png_get_bit_depth(png, info);
    const int colour = png_get_color_type(png, info);
    // Refused before the library sizes its row buffers for it.
    const CodecStatus fits = CheckDeclaredSize(width, height);
    if (fits != CodecStatus::Ok) {
        png_destroy_read_struct(&png, &info, nullptr);
        return fits;
    }
    png_uint_32 x_ppm = 0, y_ppm = 0;
    int unit = 0;
    if (png_get_pHYs(png, info, &x_ppm, &y_ppm, &unit) && unit == PNG_RESOLUTION_METER &&
        x_ppm > 0 && y_ppm > 0) {
        job->result->x_dpi = x_ppm * 0.0254;
        job->result->y_dpi = y_ppm * 0.0254;
    }
    const bool trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    uint16_t bits = 0;
    bool widen = false;
    if (colour == PNG_COLOR_TYPE_PALETTE && !trns) {
        bits = static_cast<uint16_t>(depth == 2 ? 4 : depth);
        widen = depth == 2;
    } else if (colour == PNG_COLOR_TYPE_GRAY && !trns) {
        bits = depth == 1 ? 1 : 8;
        if (depth > 1 && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    } else if (colour == PNG_COLOR_TYPE_RGB && !trns) {
        bits = 24;
        png_set_bgr(png);
    } else {
        bits = 32;
        png_set_expand(png);
        if (trns) png_set_tRNS_to_alpha(png);
        if (!(colour & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
        png_set_bgr(png);
    }
    if (job->header) {
        job->header->width = width;
        job->header->height = height;
        job->header->bit_count = bits;
        png_destroy_read_struct(&png, &info, nullptr);
        return CodecStatus::Ok;
    }
    if (depth == 16) png_set_scale_16(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);

    DibCanvas& canvas = *job->canvas;
    const CodecStatus created = canvas.Create(width, height, bits);
    if (created != CodecStatus::Ok) {
        png_destroy_read_struct(&png, &info, nullptr);
        return created;
    }
    if (png_get_rowbytes(png, info) > static_cast<size_t>(canvas.Stride())) {
        return Failed(&png, &info, *job);
    }
    if (bits == 1 && colour == PNG_COLOR_TYPE_GRAY) {
        static const RgbQuad kBilevel[2] = {{0, 0, 0, 0}, {255, 255, 255, 0}};
        canvas.SetPalette(kBilevel, 2);
    } else if (bits == 8 && colour == PNG_COLOR_TYPE_GRAY) {
        canvas.SetGreyPalette();
    } else if (bits <= 8) {
        png_colorp palette = nullptr;
        int count = 0;
        png_get_PLTE(png, info, &palette, &count);
        RgbQuad* out = canvas.Palette();
        for (int i = 0; i < count && i < (1 << bits); ++i) {
            out[i] = RgbQuad{palette[i].blue, palette[i].green, palette[i].red, 0};
        }
    }
    // Interlaced rows are filled pass by pass: each pass adds its pixels to the rows in place.
    for (int pass = 0; pass < passes; ++pass) {
        for (uint32_t y = 0; y < height; ++y) png_read_row(png, canvas.Row(y), nullptr);
    }
    if (widen) {
        for (uint32_t y = 0; y < height; ++y) WidenTwoBitRow(canvas.Row(y), canvas.Row(y), width);
    }
    // The rest of the stream: the last IDAT's check sum and the chunks up to IEND.
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return CodecStatus::Ok;
}

CodecStatus RunEncode(PngJob* job) {
    const DibView& view = *job->view;
    png_structp png = png_create_write_struct_2(PNG_LIBPNG_VER_STRING, job, OnPngError,
                                                OnPngWarning, job, OnPngMalloc, OnPngFree);
    if (!png) return CodecStatus::NoMemory;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return CodecStatus::NoMemory;
    }
    if (setjmp(job->jump)) {
        png_destroy_write_struct(&png, &info);
        return job->no_memory ? CodecStatus::NoMemory : CodecStatus::Broken;
    }
    png_set_write_fn(png, job, OnPngWrite, OnPngFlush);
    const bool grey = view.bit_count == 8 && view.IsGreyRamp();
    int colour = PNG_COLOR_TYPE_RGB;
    int depth = 8;
    if (grey) {
        colour = PNG_COLOR_TYPE_GRAY;
    } else if (view.bit_count <= 8) {
        colour = PNG_COLOR_TYPE_PALETTE;
        depth = view.bit_count;
    } else if (view.bit_count == 32 && view.has_alpha) {
        colour = PNG_COLOR_TYPE_RGB_ALPHA;
    }
    png_set_IHDR(png, info, view.width, view.height, depth, colour, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (colour == PNG_COLOR_TYPE_PALETTE) {
        png_color palette[256] = {};
        const uint32_t count = std::max(1u, std::min(view.palette_size, 1u << depth));
        for (uint32_t i = 0; i < count && i < view.palette_size; ++i) {
            palette[i] = png_color{view.palette[i].red, view.palette[i].green, view.palette[i].blue};
        }
        png_set_PLTE(png, info, palette, static_cast<int>(count));
    }
    const auto ppm = [](double dpi) {
        const double v = std::round(dpi / 0.0254);
        return static_cast<png_uint_32>(v < 1 ? 1 : v > 1e9 ? 1e9 : v);
    };
    png_set_pHYs(png, info, ppm(view.x_dpi), ppm(view.y_dpi), PNG_RESOLUTION_METER);
    png_write_info(png, info);
    if (view.bit_count >= 24) png_set_bgr(png);
    if (view.bit_count == 32 && !view.has_alpha) png_set_filler(png, 0, PNG_FILLER_AFTER);
    for (uint32_t y = 0; y < view.height; ++y) {
        const uint8_t* row = view.Row(y);
        // A ramp of fewer than 256 entries does not hold its grey values as indices.
        if (grey && view.palette_size != 256) {
            for (uint32_t x = 0; x < view.width; ++x) {
                job->scratch[x] = row[x] < view.palette_size ? view.palette[row[x]].red : 0;
            }
            row = job->scratch;
        }
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return CodecStatus::Ok;
}

class PngCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypePng; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= 8 && std::memcmp(p, kSignature, 8) == 0;
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        if (request.frame != 0) return CodecStatus::NoFrame;
        PngJob job{};
        job.data = data;
        job.size = size;
        job.canvas = &canvas;
        job.result = &result;
        const CodecStatus status = RunDecode(&job);
        if (status != CodecStatus::Ok) canvas.Reset();
        return status;
    }

    CodecStatus Ping(const uint8_t* data, size_t size, const DecodeRequest&,
                     PictureHeader& header) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        PngJob job{};
        job.data = data;
        job.size = size;
        job.result = &header.result;
        job.header = &header;
        return RunDecode(&job);
    }

    CodecStatus Encode(const DibView& view, const EncodeOptions&,
                       std::vector<uint8_t>& out) const override {
        if (view.width == 0 || view.height == 0 || view.width > PNG_USER_WIDTH_MAX ||
            view.height > PNG_USER_HEIGHT_MAX) {
            return CodecStatus::Unsupported;
        }
        std::vector<uint8_t> scratch(view.width);
        PngJob job{};
        job.view = &view;
        job.scratch = scratch.data();
        const CodecStatus status = RunEncode(&job);
        const std::unique_ptr<uint8_t, void (*)(void*)> owned(job.out, std::free);
        if (status != CodecStatus::Ok) return status;
        out.assign(owned.get(), owned.get() + job.out_size);
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& PngBackend() {
    static const PngCodec backend;
    return backend;
}
