#include "DibToRgb.h"

#include <png.h>

#include <cstdlib>

namespace bmp_test {

namespace {

uint32_t U16(const uint8_t* p) { return static_cast<uint32_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) { return U16(p) | (U16(p + 2) << 16); }

// One channel of a bit-field pixel, scaled to 8 bits with rounding.
uint8_t Channel(uint32_t pixel, uint32_t mask) {
    if (mask == 0) return 0;
    unsigned shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    const uint32_t max = mask >> shift;
    const uint32_t value = (pixel & mask) >> shift;
    return static_cast<uint8_t>((uint64_t{value} * 255 + max / 2) / max);
}

}  // namespace

std::string DibToRgb(const uint8_t* dib, size_t size, RgbImage& out) {
    if (size < 12) return "block shorter than a header";
    const uint32_t header_size = U32(dib);
    const bool core = header_size == 12;
    if (!core && (header_size < 40 || size < 40)) return "unknown header";
    const int64_t width =
        core ? int64_t{U16(dib + 4)} : int64_t{static_cast<int32_t>(U32(dib + 4))};
    const int64_t stored_height =
        core ? int64_t{U16(dib + 6)} : int64_t{static_cast<int32_t>(U32(dib + 8))};
    const uint32_t bits = core ? U16(dib + 10) : U16(dib + 14);
    const uint32_t compression = core ? 0 : U32(dib + 16);
    const uint32_t clr_used = core ? 0 : U32(dib + 32);
    if (compression != 0 && compression != 3) return "compressed DIB";
    if (width <= 0 || width > 100000 || stored_height == 0 || stored_height > 100000 ||
        stored_height < -100000) {
        return "unexpected size";
    }
    const bool top_down = stored_height < 0;
    const int64_t height = top_down ? -stored_height : stored_height;

    const size_t entry = core ? 3 : 4;
    const size_t colours = clr_used ? clr_used : (bits <= 8 ? size_t{1} << bits : 0);
    // With BI_BITFIELDS an info header is followed by three masks; larger headers hold them at
    // the same place.
    uint32_t masks[3] = {0, 0, 0};
    size_t table = header_size + colours * entry;
    if (compression == 3) {
        if (size < 52) return "no room for masks";
        for (int i = 0; i < 3; ++i) masks[i] = U32(dib + 40 + 4 * i);
        table += 12;
    } else if (bits == 16) {
        masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    } else if (bits == 32) {
        masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
    }
    const uint8_t* palette = dib + header_size + (compression == 3 ? 12 : 0);
    const size_t stride = (static_cast<size_t>(bits) * static_cast<size_t>(width) + 31) / 32 * 4;
    if (table + stride * static_cast<size_t>(height) > size) return "block shorter than bitmap";

    out.width = static_cast<int>(width);
    out.height = static_cast<int>(height);
    out.rgb.assign(static_cast<size_t>(width * height * 3), 0);
    for (int64_t y = 0; y < height; ++y) {
        const int64_t stored_row = top_down ? y : height - 1 - y;
        const uint8_t* row = dib + table + stride * static_cast<size_t>(stored_row);
        uint8_t* dst = out.rgb.data() + static_cast<size_t>(y * width * 3);
        for (int64_t x = 0; x < width; ++x, dst += 3) {
            const auto ux = static_cast<size_t>(x);
            if (bits <= 8) {
                const size_t bit = ux * bits;
                const uint32_t index = (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
                if (index >= colours) return "index beyond the colour table";
                const uint8_t* c = palette + index * entry;
                dst[0] = c[2], dst[1] = c[1], dst[2] = c[0];
            } else if (bits == 24) {
                const uint8_t* c = row + 3 * ux;
                dst[0] = c[2], dst[1] = c[1], dst[2] = c[0];
            } else if (bits == 16 || bits == 32) {
                const uint32_t pixel = bits == 16 ? U16(row + 2 * ux) : U32(row + 4 * ux);
                for (int i = 0; i < 3; ++i) dst[i] = Channel(pixel, masks[i]);
            } else {
                return "unsupported bit count " + std::to_string(bits);
            }
        }
    }
    return {};
}

std::string ReadPngRgb(const std::string& path, RgbImage& out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        return std::string("cannot read ") + path + ": " + image.message;
    }
    image.format = PNG_FORMAT_RGB;
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.rgb.assign(PNG_IMAGE_SIZE(image), 0);
    if (!png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr)) {
        std::string message = image.message;
        png_image_free(&image);
        return "cannot decode " + path + ": " + message;
    }
    return {};
}

}  // namespace bmp_test
