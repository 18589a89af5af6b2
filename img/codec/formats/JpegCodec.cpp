// JPEG through libjpeg-turbo: baseline, progressive and arithmetic-coded streams. Colour comes
// out as 24-bit BGR written by the library straight into the DIB's rows, greyscale as an 8-bit
// grey DIB; CMYK and YCCK are turned into RGB one row at a time. The scale of the request picks
// the smallest of the library's N/8 factors that is not below 1/scale.
//
// libjpeg reports errors by longjmp. The functions that call it keep only trivially
// destructible locals, and everything else lives in the job they are handed, so the jump never
// crosses a C++ frame with a destructor.
#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>  // jpeglib.h needs size_t and FILE first
#include <cstdlib>
#include <cstring>
#include <memory>

#include <jpeglib.h>
#include <jerror.h>

#include "CodecBackends.h"
#include "Orientation.h"
#include "TiffStructure.h"
#include "PreviewRules.h"
#include "SampleScale.h"

namespace {

// A damaged progressive stream can declare an endless run of tiny scans; real files have a few.
constexpr int kMaxScans = 500;
// Rows handed to jpeg_read_scanlines at a time.
constexpr int kRowBatch = 16;

struct JpegError {
    jpeg_error_mgr mgr;  // first: libjpeg hands back this address
    jmp_buf jump;
};

[[noreturn]] void OnJpegError(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

void OnJpegMessage(j_common_ptr) {}  // warnings (damaged data) are not printed

void InitError(JpegError& error) {
    jpeg_std_error(&error.mgr);
    error.mgr.error_exit = OnJpegError;
    error.mgr.output_message = OnJpegMessage;
}

CodecStatus StatusOf(const JpegError& error) {
    return error.mgr.msg_code == JERR_OUT_OF_MEMORY ? CodecStatus::NoMemory : CodecStatus::Broken;
}

void OnJpegProgress(j_common_ptr cinfo) {
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > kMaxScans) {
        cinfo->err->msg_code = JERR_NOT_COMPILED;
        cinfo->err->error_exit(cinfo);
    }
}

// ---- Resolution ------------------------------------------------------------------------------

void ReadResolution(const jpeg_decompress_struct& cinfo, DecodeResult& result) {
    if (cinfo.saw_JFIF_marker && (cinfo.density_unit == 1 || cinfo.density_unit == 2) &&
        cinfo.X_density > 0 && cinfo.Y_density > 0) {
        const double factor = cinfo.density_unit == 2 ? 2.54 : 1.0;
        result.x_dpi = cinfo.X_density * factor;
        result.y_dpi = cinfo.Y_density * factor;
        return;
    }
    static const uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
        if (m->marker != JPEG_APP0 + 1 || m->data_length < 6 ||
            std::memcmp(m->data, kExif, 6) != 0) {
            continue;
        }
        if (ExifResolution(m->data + 6, m->data_length - 6, result.x_dpi, result.y_dpi)) return;
    }
}

// ---- Decoding --------------------------------------------------------------------------------

struct DecodeJob {
    const uint8_t* data;
    size_t size;
    uint32_t scale;      // 1/scale, as the request's JPEG scale asks
    uint32_t eighths;    // 1..8: N/8 instead; 0: `scale` rules
    bool preview_scale;  // the scale that the preview rules give for the picture's size
    DibCanvas* canvas;
    BandWriter* writer;  // with canvas: where the rows go (upright and in sRGB as asked)
    DecodeResult* result;
    PictureHeader* header;  // set: the headers are read up to the frame header, and no further
};

// CMYK (or YCCK turned into CMYK by the library) to BGR: R = (255 - C) x (255 - K) / 255. Adobe's
// files store the four inks inverted, 255 - C, so the products are taken of the stored values.
void CmykRowToBgr(const uint8_t* src, uint8_t* dst, uint32_t width, bool inverted) {
    const uint32_t flip = inverted ? 0 : 255;
    for (uint32_t x = 0; x < width; ++x, src += 4, dst += 3) {
        const uint32_t k = flip ^ src[3];
        dst[2] = InkProduct(flip ^ src[0], k);
        dst[1] = InkProduct(flip ^ src[1], k);
        dst[0] = InkProduct(flip ^ src[2], k);
    }
}

CodecStatus RunDecode(DecodeJob* job) {
    jpeg_decompress_struct cinfo;
    JpegError error;
    jpeg_progress_mgr progress;
    InitError(error);
    cinfo.err = &error.mgr;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return StatusOf(error);
    }
    jpeg_create_decompress(&cinfo);
    progress.progress_monitor = OnJpegProgress;
    cinfo.progress = &progress;
    jpeg_mem_src(&cinfo, job->data, static_cast<unsigned long>(job->size));
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    ReadResolution(cinfo, *job->result);

    // A multi-scan stream keeps every coefficient of the full-size picture until the end.
    if (jpeg_has_multiple_scans(&cinfo)) {
        const CodecStatus fits = CheckDeclaredSize(cinfo.image_width, cinfo.image_height);
        if (fits != CodecStatus::Ok) {
            jpeg_destroy_decompress(&cinfo);
            return fits;
        }
    }

    bool cmyk = false;
    uint16_t bits = 24;
    switch (cinfo.jpeg_color_space) {
        case JCS_GRAYSCALE:
            cinfo.out_color_space = JCS_GRAYSCALE;
            bits = 8;
            break;
        case JCS_CMYK:
        case JCS_YCCK:
            cinfo.out_color_space = JCS_CMYK;
            cmyk = true;
            break;
        default:
            cinfo.out_color_space = JCS_EXT_BGR;
            break;
    }
    if (job->preview_scale) {
        cinfo.scale_num = PreviewScaleEighths(cinfo.image_width, cinfo.image_height);
        cinfo.scale_denom = 8;
    } else if (job->eighths >= 1 && job->eighths <= 8) {
        cinfo.scale_num = job->eighths;
        cinfo.scale_denom = 8;
    } else {
        cinfo.scale_num = 1;
        cinfo.scale_denom = job->scale;
    }
    jpeg_calc_output_dimensions(&cinfo);
    if (job->header) {
        job->header->width = cinfo.output_width;
        job->header->height = cinfo.output_height;
        job->header->bit_count = bits;
        jpeg_destroy_decompress(&cinfo);
        return CodecStatus::Ok;
    }
    BandWriter& writer = *job->writer;
    const CodecStatus created = writer.Create(cinfo.output_width, cinfo.output_height, bits);
    if (created != CodecStatus::Ok) {
        jpeg_destroy_decompress(&cinfo);
        return created;
    }
    if (bits == 8) job->canvas->SetGreyPalette();
    jpeg_start_decompress(&cinfo);
    JSAMPROW cmyk_row = nullptr;
    if (cmyk) {
        cmyk_row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                               cinfo.output_width * 4, 1)[0];
    }
    JSAMPROW rows[kRowBatch];
    // Band by band, each handed to the writer while it is in cache.
    while (cinfo.output_scanline < cinfo.output_height) {
        const JDIMENSION first = cinfo.output_scanline;
        const JDIMENSION end =
            first + std::min<JDIMENSION>(writer.BandRows(), cinfo.output_height - first);
        while (cinfo.output_scanline < end) {
            const JDIMENSION y = cinfo.output_scanline;
            JDIMENSION read = 0;
            if (cmyk) {
                rows[0] = cmyk_row;
                read = jpeg_read_scanlines(&cinfo, rows, 1);
                if (read == 1) {
                    CmykRowToBgr(cmyk_row, writer.Row(y), cinfo.output_width,
                                 cinfo.saw_Adobe_marker);
                }
            } else {
                const JDIMENSION n = std::min<JDIMENSION>(kRowBatch, end - y);
                for (JDIMENSION i = 0; i < n; ++i) rows[i] = writer.Row(y + i);
                read = jpeg_read_scanlines(&cinfo, rows, n);
            }
            if (read == 0) {  // a memory source never suspends; no progress means a fault
                jpeg_destroy_decompress(&cinfo);
                return CodecStatus::Broken;
            }
        }
        writer.Commit(first, end - first);
    }
    writer.Finish();
    jpeg_destroy_decompress(&cinfo);
    return CodecStatus::Ok;
}

// ---- Encoding --------------------------------------------------------------------------------

// A destination that grows a malloc'd block, released by the caller whatever happens.
struct GrowingDestination {
    jpeg_destination_mgr mgr;  // first
    uint8_t* buffer;
    size_t capacity;
};

void OnDestInit(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<GrowingDestination*>(cinfo->dest);
    d->capacity = 1 << 16;
    d->buffer = static_cast<uint8_t*>(std::malloc(d->capacity));
    if (!d->buffer) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    d->mgr.next_output_byte = d->buffer;
    d->mgr.free_in_buffer = d->capacity;
}

boolean OnDestFull(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<GrowingDestination*>(cinfo->dest);
    const size_t grown = d->capacity * 2;
    auto* bigger = static_cast<uint8_t*>(std::realloc(d->buffer, grown));
    if (!bigger) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    d->buffer = bigger;
    d->mgr.next_output_byte = bigger + d->capacity;
    d->mgr.free_in_buffer = grown - d->capacity;
    d->capacity = grown;
    return TRUE;
}

void OnDestTerm(j_compress_ptr) {}

struct EncodeJob {
    const DibView* view;
    int quality;
    GrowingDestination dest;
};

uint16_t DensityOf(double dpi) {
    const long v = std::lround(dpi);
    return static_cast<uint16_t>(v < 1 ? 96 : v > 65535 ? 65535 : v);
}

CodecStatus RunEncode(EncodeJob* job) {
    const DibView& view = *job->view;
    jpeg_compress_struct cinfo;
    JpegError error;
    InitError(error);
    cinfo.err = &error.mgr;
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&cinfo);
        return StatusOf(error);
    }
    jpeg_create_compress(&cinfo);
    job->dest.mgr.init_destination = OnDestInit;
    job->dest.mgr.empty_output_buffer = OnDestFull;
    job->dest.mgr.term_destination = OnDestTerm;
    cinfo.dest = &job->dest.mgr;
    cinfo.image_width = view.width;
    cinfo.image_height = view.height;
    const bool indexed = view.bit_count <= 8;
    const bool grey = indexed && view.IsGreyRamp();
    if (grey) {
        cinfo.input_components = 1;
        cinfo.in_color_space = JCS_GRAYSCALE;
    } else if (view.bit_count == 32) {
        cinfo.input_components = 4;
        cinfo.in_color_space = JCS_EXT_BGRX;
    } else {
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_EXT_BGR;
    }
    jpeg_set_defaults(&cinfo);  // YCbCr 4:2:0 (grey: one component), baseline Huffman
    jpeg_set_quality(&cinfo, job->quality, TRUE);
    cinfo.density_unit = 1;
    cinfo.X_density = DensityOf(view.x_dpi);
    cinfo.Y_density = DensityOf(view.y_dpi);
    jpeg_start_compress(&cinfo, TRUE);
    JSAMPROW expanded = nullptr;
    if (indexed) {
        expanded = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                               view.width * 3, 1)[0];
    }
    const uint32_t bits = view.bit_count;
    const uint32_t mask = (1u << (bits & 15)) - 1;
    while (cinfo.next_scanline < cinfo.image_height) {
        const uint8_t* src = view.Row(cinfo.next_scanline);
        JSAMPROW row = const_cast<JSAMPROW>(src);
        if (indexed) {
            for (uint32_t x = 0; x < view.width; ++x) {
                const uint32_t bit = x * bits;
                const uint32_t index = (src[bit >> 3] >> (8 - bits - (bit & 7))) & mask;
                const RgbQuad c = index < view.palette_size ? view.palette[index] : RgbQuad{};
                if (grey) {
                    expanded[x] = c.red;
                } else {
                    expanded[x * 3] = c.blue;
                    expanded[x * 3 + 1] = c.green;
                    expanded[x * 3 + 2] = c.red;
                }
            }
            row = expanded;
        }
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return CodecStatus::Ok;
}

class JpegCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeJpeg; }
    bool AppliesPictureOptions() const override { return true; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF;
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        if (size < 3 || data[0] != 0xFF || data[1] != 0xD8) return CodecStatus::NotThisFormat;
        if (request.frame != 0) return CodecStatus::NoFrame;
        BandWriter writer(canvas, request.options);
        DecodeJob job{data,
                      size,
                      request.jpeg_scale < 1    ? 1u
                      : request.jpeg_scale > 32 ? 32u
                                                : request.jpeg_scale,
                      request.scale_eighths,
                      false,
                      &canvas,
                      &writer,
                      &result,
                      nullptr};
        const CodecStatus status = RunDecode(&job);
        if (status != CodecStatus::Ok) canvas.Reset();
        return status;
    }

    // The EXIF thumbnail when it qualifies, else the picture at the preview scale. A thumbnail
    // that is damaged or no JPEG is passed over for the reduced decode.
    CodecStatus DecodePreview(const uint8_t* data, size_t size, const DecodeRequest& request,
                              DibCanvas& canvas, DecodeResult& result) const override {
        if (size < 3 || data[0] != 0xFF || data[1] != 0xD8) return CodecStatus::NotThisFormat;
        if (request.frame != 0) return CodecStatus::NoFrame;
        const uint8_t* thumb = nullptr;
        size_t thumb_size = 0;
        BandWriter as_stored(canvas, nullptr);
        if (FindExifThumbnail(data, size, thumb, thumb_size) == ThumbnailSearch::Found) {
            PictureHeader own, picture;
            DecodeJob header_only{thumb, thumb_size, 1, 0, false, nullptr, nullptr, &own.result, &own};
            DecodeJob measures{data, size, 1, 0, false, nullptr, nullptr, &picture.result, &picture};
            if (RunDecode(&header_only) == CodecStatus::Ok && QualifiesAsPreview(own.width, own.height) &&
                RunDecode(&measures) == CodecStatus::Ok) {
                DecodeResult unused;
                DecodeJob job{thumb, thumb_size, 1, 0, false, &canvas, &as_stored, &unused, nullptr};
                const CodecStatus status = RunDecode(&job);
                if (status == CodecStatus::Ok) {
                    result.x_dpi = picture.result.x_dpi;  // the picture's, as a reduced decode's
                    result.y_dpi = picture.result.y_dpi;
                    return status;
                }
                canvas.Reset();
                if (status == CodecStatus::NoMemory) return status;
            }
        }
        DecodeJob job{data, size, 1, 0, true, &canvas, &as_stored, &result, nullptr};
        const CodecStatus status = RunDecode(&job);
        if (status != CodecStatus::Ok) canvas.Reset();
        return status;
    }

    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                     PictureHeader& header) const override {
        if (size < 3 || data[0] != 0xFF || data[1] != 0xD8) return CodecStatus::NotThisFormat;
        DecodeJob job{data, size, 1, 0, false, nullptr, nullptr, &header.result, &header};
        return RunDecode(&job);
    }

    CodecStatus Encode(const DibView& view, const EncodeOptions& options,
                       std::vector<uint8_t>& out) const override {
        if (view.width == 0 || view.height == 0 || view.width > JPEG_MAX_DIMENSION ||
            view.height > JPEG_MAX_DIMENSION) {
            return CodecStatus::Unsupported;
        }
        EncodeJob job{};
        job.view = &view;
        job.quality = std::min(100, std::max(1, static_cast<int>(options.jpeg_quality)));
        const CodecStatus status = RunEncode(&job);
        const std::unique_ptr<uint8_t, void (*)(void*)> owned(job.dest.buffer, std::free);
        if (status != CodecStatus::Ok) return status;
        out.assign(owned.get(), owned.get() + (job.dest.capacity - job.dest.mgr.free_in_buffer));
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& JpegBackend() {
    static const JpegCodec backend;
    return backend;
}
