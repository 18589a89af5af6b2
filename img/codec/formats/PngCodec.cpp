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
#include <utility>
#include <vector>

#include "Checked.h"
#include "CodecBackends.h"
#include "FrameCache.h"
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
    bool force_bgra;        // every colour type as 32-bit BGRA (animation frames)
    bool skip_end;          // the chunks after the image data are not read (animations)
    uint32_t rows_done;     // rows of the final pass read whole
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
    if (job->force_bgra) {
        bits = 32;
        png_set_expand(png);
        if (trns) png_set_tRNS_to_alpha(png);
        if (!(colour & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
        if (!(colour & PNG_COLOR_MASK_ALPHA) && !trns) png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
        png_set_bgr(png);
    } else if (colour == PNG_COLOR_TYPE_PALETTE && !trns) {
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
        for (uint32_t y = 0; y < height; ++y) {
            png_read_row(png, canvas.Row(y), nullptr);
            if (pass == passes - 1) job->rows_done = y + 1;
        }
    }
    if (widen) {
        for (uint32_t y = 0; y < height; ++y) WidenTwoBitRow(canvas.Row(y), canvas.Row(y), width);
    }
    // The rest of the stream: the last IDAT's check sum and the chunks up to IEND.
    if (!job->skip_end) png_read_end(png, nullptr);
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

// Animated PNG: the acTL, fcTL and fdAT chunks that libpng does not read. Each frame is handed
// to libpng as a PNG stream of its own (the file's header with the frame's size, its palette and
// transparency, the frame's data as IDAT), and composed onto the canvas by the APNG rules.
constexpr uint8_t kApngDisposeBackground = 1;
constexpr uint8_t kApngDisposePrevious = 2;
constexpr uint8_t kApngBlendOver = 1;

uint32_t Crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
    static const auto table = [] {
        struct T { uint32_t v[256]; } t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t.v[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) crc = table.v[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t LoadBE(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

struct ApngFrame {
    uint32_t width = 0, height = 0, left = 0, top = 0;
    uint8_t dispose = 0, blend = 0;
    struct Part {
        size_t chunk;   // the chunk's type field, where its check sum begins
        size_t data;    // its image data
        size_t length;
        bool whole;     // false: the file ends inside it, and no check sum follows
    };
    std::vector<Part> parts;
};

struct ApngStream {
    uint32_t width = 0, height = 0;
    size_t ihdr = 0;                  // offset of IHDR's 13 data bytes
    size_t plte = 0, plte_size = 0;   // chunk offsets (length field) and whole chunk sizes
    size_t trns = 0, trns_size = 0;
    bool default_is_frame = false;    // the IDAT image is the animation's first frame
    std::vector<ApngFrame> frames;

    // Frames as Pillow numbers them: the default image is frame 0.
    int32_t Count() const {
        const size_t n = frames.size() + (default_is_frame ? 0 : 1);
        return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
    }
};

// Walks the chunks. False when the file is no animation or its animation chunks are broken: a
// frame outside the canvas, an unknown disposal or blend, a first frame that is not the canvas.
bool ParseApng(const uint8_t* data, size_t size, ApngStream& out) {
    out = ApngStream();
    bool actl = false, idat = false;
    uint32_t declared = 0;
    size_t pos = 8;
    while (size - pos >= 12) {
        const uint32_t length = LoadBE(data + pos);
        const uint8_t* type = data + pos + 4;
        if (length > size - pos - 12) {
            // Cut: the frames read so far stay, the last with the data that is there.
            if (std::memcmp(type, "fdAT", 4) == 0 && size - pos > 12 && !out.frames.empty() &&
                !(out.default_is_frame && out.frames.size() == 1)) {
                out.frames.back().parts.push_back({pos + 4, pos + 12, size - pos - 12, false});
            }
            break;
        }
        const uint8_t* body = data + pos + 8;
        auto is = [&](const char* name) { return std::memcmp(type, name, 4) == 0; };
        // Image data is checked when its frame is decoded, the small chunks here.
        const bool crc_ok = is("IDAT") || is("fdAT") ||
                            LoadBE(body + length) == Crc32(type, size_t{length} + 4);
        if (is("IHDR") && length == 13 && pos == 8) {
            out.ihdr = pos + 8;
            out.width = LoadBE(body);
            out.height = LoadBE(body + 4);
        } else if (is("acTL") && length == 8 && !idat && crc_ok) {
            actl = true;
            declared = LoadBE(body);
        } else if (is("PLTE") && !idat) {
            out.plte = pos, out.plte_size = size_t{length} + 12;
        } else if (is("tRNS") && !idat) {
            out.trns = pos, out.trns_size = size_t{length} + 12;
        } else if (is("fcTL") && actl) {
            if (length != 26 || !crc_ok) return false;
            ApngFrame f;
            f.width = LoadBE(body + 4);
            f.height = LoadBE(body + 8);
            f.left = LoadBE(body + 12);
            f.top = LoadBE(body + 16);
            f.dispose = body[24];
            f.blend = body[25];
            if (f.width == 0 || f.height == 0 || f.left > out.width || f.top > out.height ||
                f.width > out.width - f.left || f.height > out.height - f.top || f.dispose > 2 ||
                f.blend > 1) {
                return false;
            }
            if (!idat) {
                if (!out.frames.empty() || f.left != 0 || f.top != 0 || f.width != out.width ||
                    f.height != out.height) {
                    return false;
                }
                out.default_is_frame = true;
            }
            out.frames.push_back(f);
        } else if (is("IDAT")) {
            idat = true;
            if (out.default_is_frame && out.frames.size() == 1) {
                out.frames[0].parts.push_back({pos + 4, pos + 8, length, true});
            }
        } else if (is("fdAT") && actl && idat && length > 4) {
            if (out.frames.empty() || (out.default_is_frame && out.frames.size() == 1)) {
                return false;
            }
            out.frames.back().parts.push_back({pos + 4, pos + 12, length - 4, true});
        } else if (is("IEND")) {
            break;
        }
        pos += size_t{length} + 12;
    }
    if (!actl || !idat || out.ihdr == 0 || out.frames.empty()) return false;
    if (declared != 0 && out.frames.size() > declared) out.frames.resize(declared);
    return true;
}

void PutChunk(std::vector<uint8_t>& out, const char* type, const uint8_t* body, size_t length) {
    const size_t at = out.size();
    const uint8_t head[8] = {static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                             static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
                             static_cast<uint8_t>(type[0]), static_cast<uint8_t>(type[1]),
                             static_cast<uint8_t>(type[2]), static_cast<uint8_t>(type[3])};
    out.insert(out.end(), head, head + 8);
    if (length != 0) out.insert(out.end(), body, body + length);
    const uint32_t crc = Crc32(out.data() + at + 4, length + 4);
    const uint8_t tail[4] = {static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16),
                             static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)};
    out.insert(out.end(), tail, tail + 4);
}

// Decodes one frame as BGRA into `pixels`; `rows` tells how many of its top rows hold data (all
// of them unless the frame's data was cut short).
CodecStatus DecodeApngFrame(const uint8_t* data, const ApngStream& a, const ApngFrame& f,
                            DibCanvas& pixels, uint32_t& rows) {
    rows = 0;
    std::vector<uint8_t> stream(kSignature, kSignature + 8);
    uint8_t ihdr[13];
    std::memcpy(ihdr, data + a.ihdr, 13);
    for (int i = 0; i < 4; ++i) {
        ihdr[i] = static_cast<uint8_t>(f.width >> (24 - 8 * i));
        ihdr[4 + i] = static_cast<uint8_t>(f.height >> (24 - 8 * i));
    }
    PutChunk(stream, "IHDR", ihdr, 13);
    if (a.plte) stream.insert(stream.end(), data + a.plte, data + a.plte + a.plte_size);
    if (a.trns) stream.insert(stream.end(), data + a.trns, data + a.trns + a.trns_size);
    for (const ApngFrame::Part& part : f.parts) {
        // Damaged data ends the frame there, as a cut file does.
        const size_t checked = part.length + (part.data - part.chunk);
        if (part.whole && LoadBE(data + part.chunk + checked) != Crc32(data + part.chunk, checked)) {
            break;
        }
        PutChunk(stream, "IDAT", data + part.data, part.length);
    }
    PutChunk(stream, "IEND", nullptr, 0);
    PngJob job{};
    job.data = stream.data();
    job.size = stream.size();
    job.canvas = &pixels;
    DecodeResult unused;
    job.result = &unused;
    job.force_bgra = true;
    const CodecStatus status = RunDecode(&job);
    rows = status == CodecStatus::Ok ? f.height : job.rows_done;
    if (status == CodecStatus::NoMemory) return status;
    return pixels.IsCreated() ? CodecStatus::Ok : CodecStatus::Broken;
}

bool CoversCanvas(const ApngStream& a, const ApngFrame& f) {
    return f.left == 0 && f.top == 0 && f.width == a.width && f.height == a.height;
}

// Whether the frame before frame k left the canvas empty.
bool AfterClear(const ApngStream& a, int32_t k) {
    if (k == 0) return true;
    const ApngFrame& before = a.frames[static_cast<size_t>(k) - 1];
    return CoversCanvas(a, before) && (before.dispose == kApngDisposeBackground ||
                                       (k == 1 && before.dispose == kApngDisposePrevious));
}

// The last animation frame at or before `frame` (and `limit`) from which composing can start on
// an empty canvas.
int32_t ApngKeyFrame(const ApngStream& a, int32_t frame, int32_t limit) {
    for (int32_t k = frame < limit ? frame : limit; k > 0; --k) {
        const ApngFrame& f = a.frames[static_cast<size_t>(k)];
        if (CoversCanvas(a, f) && f.blend != kApngBlendOver &&
            (k == frame || f.dispose != kApngDisposePrevious)) {
            return k;
        }
        if (AfterClear(a, k)) return k;
    }
    return 0;
}

void ClearApngRect(AnimCanvas& c, const ApngFrame& f) {
    for (uint32_t y = 0; y < f.height; ++y) std::memset(c.At(f.left, f.top + y), 0, size_t{f.width} * 4);
}

// Draws animation frames from..frame onto `c` (which shows frame from - 1 when `shown`, else is
// empty). `from_whole` tells whether frame `from`, drawn on the empty canvas, was decoded whole.
CodecStatus ComposeApng(const uint8_t* data, const ApngStream& a, int32_t from, bool shown,
                        int32_t frame, AnimCanvas& c, bool& from_whole) {
    from_whole = true;
    int32_t i = from;
    if (shown) {
        const ApngFrame& f = a.frames[static_cast<size_t>(i)];
        if (f.dispose == kApngDisposeBackground || (f.dispose == kApngDisposePrevious && i == 0)) {
            ClearApngRect(c, f);
        } else if (f.dispose == kApngDisposePrevious && !c.saved.empty()) {
            for (uint32_t y = 0; y < f.height; ++y) {
                std::memcpy(c.At(f.left, f.top + y), c.saved.data() + size_t{f.width} * 4 * y,
                            size_t{f.width} * 4);
            }
        }
        ++i;
    }
    for (; i <= frame; ++i) {
        const ApngFrame& f = a.frames[static_cast<size_t>(i)];
        const size_t row = size_t{f.width} * 4;
        c.saved.clear();
        if (f.dispose == kApngDisposePrevious && i != 0) {
            c.saved.resize(row * f.height);
            for (uint32_t y = 0; y < f.height; ++y) {
                std::memcpy(c.saved.data() + row * y, c.At(f.left, f.top + y), row);
            }
            c.saved_left = f.left, c.saved_top = f.top;
            c.saved_width = f.width, c.saved_height = f.height;
        }
        DibCanvas pixels;
        uint32_t rows = 0;
        const CodecStatus decoded = DecodeApngFrame(data, a, f, pixels, rows);
        if (decoded == CodecStatus::NoMemory) return decoded;
        if (i == from && !shown) from_whole = decoded == CodecStatus::Ok && rows == f.height;
        // A frame that cannot be decoded, or the rows that its cut data did not reach, leave
        // the canvas as it was.
        for (uint32_t y = 0; decoded == CodecStatus::Ok && y < rows; ++y) {
            const uint8_t* src = pixels.Row(y);
            uint8_t* dst = c.At(f.left, f.top + y);
            if (f.blend != kApngBlendOver) {
                std::memcpy(dst, src, row);
                continue;
            }
            for (uint32_t x = 0; x < f.width; ++x, src += 4, dst += 4) {
                const uint32_t sa = src[3];
                if (sa == 255 || dst[3] == 0) {
                    std::memcpy(dst, src, 4);
                } else if (sa != 0) {
                    // Straight-alpha "over": the result's alpha and the colours weighed by it.
                    const uint32_t da = dst[3] * (255 - sa);  // scaled by 255
                    const uint32_t oa = sa * 255 + da;
                    for (int k = 0; k < 3; ++k) {
                        dst[k] = static_cast<uint8_t>((src[k] * sa * 255 + dst[k] * da + oa / 2) / oa);
                    }
                    dst[3] = static_cast<uint8_t>((oa + 127) / 255);
                }
            }
        }
        if (i == frame) break;
        if (f.dispose == kApngDisposeBackground || (f.dispose == kApngDisposePrevious && i == 0)) {
            ClearApngRect(c, f);
        } else if (f.dispose == kApngDisposePrevious) {
            for (uint32_t y = 0; y < f.height; ++y) {
                std::memcpy(c.At(f.left, f.top + y), c.saved.data() + row * y, row);
            }
        }
    }
    if (a.frames[static_cast<size_t>(frame)].dispose != kApngDisposePrevious || frame == 0) {
        c.saved.clear();
    }
    return CodecStatus::Ok;
}

// Animation frame `frame` as a 32-bit canvas, from the last key frame or a cached canvas.
CodecStatus DecodeApngAnimationFrame(const uint8_t* data, size_t size, const ApngStream& a,
                                     int32_t frame, DibCanvas& canvas) {
    const CodecStatus fits = CheckDeclaredSize(a.width, a.height);
    if (fits != CodecStatus::Ok) return fits;
    const uint64_t bytes = uint64_t{a.width} * a.height * 4;
    if (!FitsSizeT(bytes)) return CodecStatus::NoMemory;
    const bool cacheable = bytes <= FrameCache::kMaxCanvasBytes;
    const AnimKey key = cacheable ? MakeAnimKey(data, size, kTypePng) : AnimKey();
    auto c = std::make_shared<AnimCanvas>();
    c->frame = frame;
    c->width = a.width;
    c->height = a.height;
    int32_t limit = frame;
    for (;;) {
        const int32_t key_frame = ApngKeyFrame(a, frame, limit);
        std::shared_ptr<const AnimCanvas> cached;
        if (cacheable) cached = FrameCache::Instance().Find(key, key_frame, frame, true);
        bool whole = true;
        CodecStatus status = CodecStatus::Ok;
        if (cached) {
            TakePixels(cached, *c);
            if (cached->frame != frame) {
                status = ComposeApng(data, a, cached->frame, true, frame, *c, whole);
            }
        } else {
            c->pixels.assign(static_cast<size_t>(bytes), 0);
            c->saved.clear();
            status = ComposeApng(data, a, key_frame, false, frame, *c, whole);
            if (status == CodecStatus::Ok && !whole && key_frame > 0 &&
                !AfterClear(a, key_frame)) {
                limit = key_frame - 1;  // a cut key frame shows what was before it
                continue;
            }
        }
        if (status != CodecStatus::Ok) return status;
        break;
    }
    const CodecStatus created = canvas.Create(a.width, a.height, 32);
    if (created != CodecStatus::Ok) return created;
    for (uint32_t y = 0; y < a.height; ++y) {
        std::memcpy(canvas.Row(y), c->At(0, y), size_t{a.width} * 4);
    }
    if (cacheable) {
        c->saved.shrink_to_fit();  // a kept canvas holds no spare capacity
        FrameCache::Instance().Store(key, std::move(c));
    }
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
        if (request.frame < 0) return CodecStatus::NoFrame;
        ApngStream animation;
        const bool animated = ParseApng(data, size, animation);
        const int32_t count = animated ? animation.Count() : 1;
        if (request.frame >= count) return CodecStatus::NoFrame;
        PngJob job{};
        job.data = data;
        job.size = size;
        job.canvas = &canvas;
        job.result = &result;
        CodecStatus status = CodecStatus::Ok;
        if (request.frame == 0) {
            // The default image; an animation's frames follow its data.
            job.skip_end = animated;
            status = RunDecode(&job);
        } else {
            // The canvas's resolution comes from the file's own header.
            PictureHeader header;
            job.header = &header;
            DibCanvas unused;
            job.canvas = &unused;
            status = RunDecode(&job);
            if (status == CodecStatus::Ok) {
                const int32_t frame = request.frame - (animation.default_is_frame ? 0 : 1);
                status = DecodeApngAnimationFrame(data, size, animation, frame, canvas);
            }
        }
        if (status != CodecStatus::Ok) canvas.Reset();
        result.frame_count = count;
        return status;
    }

    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                     PictureHeader& header) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        PngJob job{};
        job.data = data;
        job.size = size;
        job.result = &header.result;
        job.header = &header;
        const CodecStatus status = RunDecode(&job);
        ApngStream animation;
        if (status == CodecStatus::Ok && ParseApng(data, size, animation)) {
            header.result.frame_count = animation.Count();
        }
        return status;
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
