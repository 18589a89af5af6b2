// JPEG through libjpeg-turbo: baseline, progressive and arithmetic-coded streams. Colour comes
// out as 24-bit BGR written by the library straight into the DIB's rows, greyscale as an 8-bit
// grey DIB; CMYK and YCCK are turned into RGB one row at a time. The scale of the request picks
// the smallest of the library's N/8 factors that is not below 1/scale.
//
// A multi-picture file (MPO: an APP2 "MPF" index in the first image) has each image of its
// index as a frame, the primary image first and the others in index order.
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
#include <vector>

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

// ---- Multi-picture files ---------------------------------------------------------------------

constexpr uint32_t kMaxMpImages = 256;

struct MpImage {
    const uint8_t* data;
    size_t size;
};

// The APP2 "MPF" segment among the markers before the first scan: its TIFF structure.
bool FindMpHeader(const uint8_t* data, size_t size, const uint8_t*& mp, size_t& mp_size) {
    size_t at = 2;
    while (at + 4 <= size) {
        if (data[at] != 0xFF) return false;
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9) return false;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2;
            continue;
        }
        const size_t length = (size_t{data[at + 2]} << 8) | data[at + 3];
        if (length < 2 || length > size - at - 2) return false;
        const uint8_t* segment = data + at + 4;
        if (marker == 0xE2 && length >= 2 + 8 && std::memcmp(segment, "MPF\0", 4) == 0) {
            mp = segment + 4;
            mp_size = length - 2 - 4;
            return true;
        }
        at += 2 + length;
    }
    return false;
}

// The images of a multi-picture file in frame order (the primary first); empty for a file
// with no usable index, which is then a single picture. Offsets count from the index's TIFF
// header, the first image's is 0 (the file itself); an image must start with SOI and is cut
// at the end of the file.
std::vector<MpImage> MpImages(const uint8_t* data, size_t size) {
    std::vector<MpImage> images;
    const uint8_t* mp = nullptr;
    size_t mp_size = 0;
    if (!FindMpHeader(data, size, mp, mp_size)) return images;
    TiffView tiff(mp, mp_size);
    uint32_t ifd = 0, entries = 0;
    uint32_t count = 0, list = 0, list_bytes = 0;
    if (!tiff.Init() || !tiff.U32(4, ifd) || !tiff.U16(ifd, entries)) return images;
    for (uint32_t i = 0; i < entries && i < 64; ++i) {
        const uint64_t e = uint64_t{ifd} + 2 + 12 * uint64_t{i};
        uint32_t tag = 0, value = 0, n = 0;
        if (!tiff.U16(e, tag) || !tiff.U32(e + 4, n) || !tiff.U32(e + 8, value)) return images;
        if (tag == 0xB001) count = value;
        if (tag == 0xB002) list = value, list_bytes = n;
    }
    if (count < 2 || count > kMaxMpImages || list_bytes / 16 < count) return images;
    const size_t base = static_cast<size_t>(mp - data);
    size_t primary = 0;  // the first image whose type says primary, else the first
    bool found_primary = false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t attributes = 0, bytes = 0, offset = 0;
        const uint64_t e = uint64_t{list} + 16 * uint64_t{i};
        if (!tiff.U32(e, attributes) || !tiff.U32(e + 4, bytes) || !tiff.U32(e + 8, offset)) {
            return {};
        }
        const uint64_t start = i == 0 ? 0 : uint64_t{base} + offset;
        if (start + 2 > size || data[start] != 0xFF || data[start + 1] != 0xD8) return {};
        const uint64_t available = size - start;
        images.push_back({data + start, static_cast<size_t>(bytes && bytes < available ? bytes
                                                                                    : available)});
        if ((attributes & 0xFFFFFF) == 0x030000 && !found_primary) {
            primary = i;
            found_primary = true;
        }
    }
    std::rotate(images.begin(), images.begin() + static_cast<ptrdiff_t>(primary),
                images.begin() + static_cast<ptrdiff_t>(primary) + 1);
    return images;
}

// The bytes of frame `frame`: the file itself for frame 0 of a file with no index.
CodecStatus FrameBytes(const uint8_t*& data, size_t& size, int32_t frame, int32_t& frame_count) {
    const std::vector<MpImage> images = MpImages(data, size);
    frame_count = images.empty() ? 1 : static_cast<int32_t>(images.size());
    if (frame < 0 || frame >= frame_count) return CodecStatus::NoFrame;
    if (!images.empty()) {
        data = images[static_cast<size_t>(frame)].data;
        size = images[static_cast<size_t>(frame)].size;
    }
    return CodecStatus::Ok;
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
        int32_t frame_count = 1;
        const CodecStatus found = FrameBytes(data, size, request.frame, frame_count);
        if (found != CodecStatus::Ok) return found;
        result.frame_count = frame_count;
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
        int32_t frame_count = 1;
        const CodecStatus found = FrameBytes(data, size, 0, frame_count);
        if (found != CodecStatus::Ok) return found;
        header.result.frame_count = frame_count;
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
