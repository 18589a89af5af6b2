#include "JpegPngKit.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

namespace jpegpng_kit {

std::vector<uint8_t> PhotoLike(uint32_t width, uint32_t height, int channels, uint32_t seed) {
    const auto n = static_cast<size_t>(channels);
    // Separable low-frequency waves per channel, a few soft discs, and +-3 of noise.
    std::vector<float> wx(n * width), wy(n * height);
    uint32_t state = seed * 2654435761u + 12345u;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (size_t c = 0; c < n; ++c) {
        const double fx = 1.5 + (next() % 100) / 25.0, fy = 1.0 + (next() % 100) / 30.0;
        const double px = (next() % 628) / 100.0, py = (next() % 628) / 100.0;
        for (uint32_t x = 0; x < width; ++x) {
            wx[c * width + x] = static_cast<float>(60 * std::sin(fx * 6.283 * x / width + px));
        }
        for (uint32_t y = 0; y < height; ++y) {
            wy[c * height + y] = static_cast<float>(50 * std::cos(fy * 6.283 * y / height + py));
        }
    }
    struct Disc { float cx, cy, r2; float shade[4]; };
    std::vector<Disc> discs(6);
    for (Disc& d : discs) {
        d.cx = static_cast<float>(next() % (width + 1));
        d.cy = static_cast<float>(next() % (height + 1));
        const float r = 4.0f + static_cast<float>(next() % (std::max(width, height) / 4 + 1));
        d.r2 = r * r;
        for (float& s : d.shade) s = static_cast<float>(static_cast<int>(next() % 120) - 60);
    }
    std::vector<uint8_t> out(n * width * height);
    uint8_t* p = out.data();
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            float add[4] = {0, 0, 0, 0};
            for (const Disc& d : discs) {
                const float dx = static_cast<float>(x) - d.cx, dy = static_cast<float>(y) - d.cy;
                if (dx * dx + dy * dy < d.r2) {
                    for (size_t c = 0; c < n && c < 4; ++c) add[c] += d.shade[c];
                }
            }
            const uint32_t noise = next();
            for (size_t c = 0; c < n; ++c) {
                const float v = 128 + wx[c * width + x] + wy[c * height + y] + add[c % 4] +
                                static_cast<float>(static_cast<int>((noise >> (c * 3)) % 7) - 3);
                *p++ = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    }
    return out;
}

int JpegChannels(JpegLayout layout) {
    switch (layout) {
        case JpegLayout::Grey: return 1;
        case JpegLayout::CmykAdobe: case JpegLayout::CmykPlain: case JpegLayout::Ycck: return 4;
        default: return 3;
    }
}

std::vector<uint8_t> WriteJpeg(const uint8_t* pixels, uint32_t width, uint32_t height,
                               const JpegOptions& options) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr error;
    cinfo.err = jpeg_std_error(&error);  // test pictures: a library error ends the program
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    const int channels = JpegChannels(options.layout);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = channels;
    cinfo.in_color_space = channels == 1 ? JCS_GRAYSCALE : channels == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, options.quality, TRUE);
    switch (options.layout) {
        case JpegLayout::Baseline422:
            cinfo.comp_info[0].v_samp_factor = 1;
            break;
        case JpegLayout::Baseline444:
            cinfo.comp_info[0].h_samp_factor = cinfo.comp_info[0].v_samp_factor = 1;
            break;
        case JpegLayout::Progressive:
            jpeg_simple_progression(&cinfo);
            break;
        case JpegLayout::Arithmetic:
            cinfo.arith_code = TRUE;
            break;
        case JpegLayout::ProgressiveArithmetic:
            jpeg_simple_progression(&cinfo);
            cinfo.arith_code = TRUE;
            break;
        case JpegLayout::CmykAdobe:
            jpeg_set_colorspace(&cinfo, JCS_CMYK);
            break;
        case JpegLayout::CmykPlain:
            jpeg_set_colorspace(&cinfo, JCS_CMYK);
            cinfo.write_Adobe_marker = FALSE;
            break;
        case JpegLayout::Ycck:
            jpeg_set_colorspace(&cinfo, JCS_YCCK);
            break;
        default:
            break;
    }
    cinfo.write_JFIF_header = options.density_unit >= 0 ? TRUE : FALSE;
    if (options.density_unit >= 0) {
        cinfo.density_unit = static_cast<UINT8>(options.density_unit);
        cinfo.X_density = options.x_density;
        cinfo.Y_density = options.y_density;
    }
    jpeg_start_compress(&cinfo, TRUE);
    if (!options.app1.empty()) {
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, options.app1.data(),
                          static_cast<unsigned>(options.app1.size()));
    }
    const size_t stride = size_t{width} * static_cast<size_t>(channels);
    while (cinfo.next_scanline < height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + cinfo.next_scanline * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

namespace {

int ChannelsOf(int colour_type) {
    switch (colour_type) {
        case PNG_COLOR_TYPE_GRAY: case PNG_COLOR_TYPE_PALETTE: return 1;
        case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
        case PNG_COLOR_TYPE_RGB: return 3;
        default: return 4;
    }
}

void AppendBytes(png_structp png, png_bytep data, size_t size) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + size);
}

void NoFlush(png_structp) {}

// Only trivially destructible locals: libpng may jump back into this frame.
bool RunWrite(const PngSpec* shape, png_bytepp rows, std::vector<uint8_t>* out) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) return false;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, out, AppendBytes, NoFlush);
    png_set_IHDR(png, info, shape->width, shape->height, shape->depth, shape->colour_type,
                 shape->interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!shape->palette.empty()) {
        png_color colours[256];
        for (size_t i = 0; i < shape->palette.size() && i < 256; ++i) {
            colours[i] = {shape->palette[i][0], shape->palette[i][1], shape->palette[i][2]};
        }
        png_set_PLTE(png, info, colours, static_cast<int>(shape->palette.size()));
    }
    if (!shape->palette_alpha.empty()) {
        png_set_tRNS(png, info, shape->palette_alpha.data(),
                     static_cast<int>(shape->palette_alpha.size()), nullptr);
    } else if (shape->colour_key) {
        png_color_16 key{};
        key.gray = key.red = shape->key[0];
        key.green = shape->key[1];
        key.blue = shape->key[2];
        png_set_tRNS(png, info, nullptr, 0, &key);
    }
    if (shape->phys_unit >= 0) {
        png_set_pHYs(png, info, shape->x_ppu, shape->y_ppu, shape->phys_unit);
    }
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

struct ReadJob {
    const std::vector<uint8_t>* bytes;
    size_t pos;
    PngPixels* out;
    std::vector<png_bytep>* rows;
};

void ReadBytes(png_structp png, png_bytep out, size_t size) {
    auto* job = static_cast<ReadJob*>(png_get_io_ptr(png));
    if (size > job->bytes->size() - job->pos) png_error(png, "data ended");
    std::memcpy(out, job->bytes->data() + job->pos, size);
    job->pos += size;
}

void Quiet(png_structp, png_const_charp) {}

bool RunRead(ReadJob* job) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, Quiet);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) return false;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, job, ReadBytes);
    png_read_info(png, info);
    PngPixels& out = *job->out;
    out.width = png_get_image_width(png, info);
    out.height = png_get_image_height(png, info);
    out.depth = png_get_bit_depth(png, info);
    out.colour_type = png_get_color_type(png, info);
    out.trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    int unit = 0;
    png_uint_32 x = 0, y = 0;
    if (png_get_pHYs(png, info, &x, &y, &unit) && unit == PNG_RESOLUTION_METER) {
        out.phys_metre = true;
        out.x_ppm = x;
        out.y_ppm = y;
    }
    png_set_expand(png);
    png_set_tRNS_to_alpha(png);
    png_set_scale_16(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    out.channels = png_get_channels(png, info);
    const size_t stride = png_get_rowbytes(png, info);
    out.pixels.resize(stride * out.height);
    job->rows->resize(out.height);
    for (uint32_t r = 0; r < out.height; ++r) (*job->rows)[r] = out.pixels.data() + r * stride;
    png_read_image(png, job->rows->data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

}  // namespace

std::vector<uint8_t> WritePng(const PngSpec& shape) {
    const int channels = ChannelsOf(shape.colour_type);
    const size_t per_row = size_t{shape.width} * static_cast<size_t>(channels);
    const size_t row_bytes = (per_row * static_cast<size_t>(shape.depth) + 7) / 8;
    std::vector<std::vector<uint8_t>> packed(shape.height, std::vector<uint8_t>(row_bytes, 0));
    std::vector<png_bytep> rows(shape.height);
    for (uint32_t y = 0; y < shape.height; ++y) {
        uint8_t* row = packed[y].data();
        rows[y] = row;
        for (size_t i = 0; i < per_row; ++i) {
            const uint16_t v = shape.samples[y * per_row + i];
            if (shape.depth == 16) {
                row[i * 2] = static_cast<uint8_t>(v >> 8);
                row[i * 2 + 1] = static_cast<uint8_t>(v);
            } else if (shape.depth == 8) {
                row[i] = static_cast<uint8_t>(v);
            } else {
                const size_t bit = i * static_cast<size_t>(shape.depth);
                row[bit / 8] |= static_cast<uint8_t>(v << (8 - shape.depth - bit % 8));
            }
        }
    }
    std::vector<uint8_t> out;
    if (!RunWrite(&shape, rows.data(), &out)) out.clear();
    return out;
}

PngPixels ReadPngReference(const std::vector<uint8_t>& bytes) {
    PngPixels out;
    std::vector<png_bytep> rows;
    ReadJob job{&bytes, 0, &out, &rows};
    out.ok = RunRead(&job);
    return out;
}

void FixPngCrcs(std::vector<uint8_t>& bytes) {
    size_t at = 8;
    while (at + 12 <= bytes.size()) {
        const uint8_t* p = bytes.data() + at;
        const uint32_t length =
            static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
        if (length > bytes.size() - at - 12) break;
        const uLong crc = crc32(0, p + 4, length + 4);
        uint8_t* c = bytes.data() + at + 8 + length;
        c[0] = static_cast<uint8_t>(crc >> 24);
        c[1] = static_cast<uint8_t>(crc >> 16);
        c[2] = static_cast<uint8_t>(crc >> 8);
        c[3] = static_cast<uint8_t>(crc);
        at += size_t{length} + 12;
    }
}

TestDib MakeDib(uint16_t bits, bool grey, bool alpha, uint32_t width, uint32_t height) {
    TestDib d;
    const std::vector<uint8_t> rgb = PhotoLike(width, height, 3, 5);
    const uint32_t stride = (width * bits + 31) / 32 * 4;
    d.pixels.assign(size_t{stride} * height, 0);
    if (bits <= 8) {
        const uint32_t n = 1u << bits;
        for (uint32_t i = 0; i < n; ++i) {
            const auto v = static_cast<uint8_t>(i * 255 / (n - 1));
            d.palette.push_back(grey ? RgbQuad{v, v, v, 0}
                                     : RgbQuad{static_cast<uint8_t>(255 - v), 128, v, 0});
        }
    }
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = d.pixels.data() + size_t{y} * stride;
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t* p = &rgb[(size_t{y} * width + x) * 3];
            if (bits >= 24) {
                uint8_t* q = row + x * (bits / 8u);
                q[0] = p[2], q[1] = p[1], q[2] = p[0];
                if (bits == 32 && alpha) q[3] = static_cast<uint8_t>(x * 255 / width);
            } else {
                const uint32_t index = p[0] * (1u << bits) / 256;
                const uint32_t bit = x * bits;
                row[bit / 8] |= static_cast<uint8_t>(index << (8 - bits - bit % 8));
            }
        }
    }
    d.view.width = width;
    d.view.height = height;
    d.view.bit_count = bits;
    d.view.palette = d.palette.empty() ? nullptr : d.palette.data();
    d.view.palette_size = static_cast<uint32_t>(d.palette.size());
    d.view.top_row = d.pixels.data();
    d.view.pitch = stride;
    d.view.x_dpi = 200;
    d.view.y_dpi = 100;
    d.view.has_alpha = bits == 32 && alpha;
    return d;
}

std::vector<uint8_t> DibRgba(const DibView& v) {
    std::vector<uint8_t> out;
    out.reserve(size_t{v.width} * v.height * 4);
    for (uint32_t y = 0; y < v.height; ++y) {
        const uint8_t* row = v.Row(y);
        for (uint32_t x = 0; x < v.width; ++x) {
            if (v.bit_count >= 24) {
                const uint8_t* q = row + x * (v.bit_count / 8u);
                const uint8_t a = v.bit_count == 32 && v.has_alpha ? q[3] : 255;
                out.insert(out.end(), {q[2], q[1], q[0], a});
            } else {
                const uint32_t bit = x * v.bit_count;
                const uint32_t index =
                    (row[bit / 8] >> (8 - v.bit_count - bit % 8)) & ((1u << v.bit_count) - 1);
                const RgbQuad c = v.palette[index];
                out.insert(out.end(), {c.red, c.green, c.blue, 255});
            }
        }
    }
    return out;
}

}  // namespace jpegpng_kit
