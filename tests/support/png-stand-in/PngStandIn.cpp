// libpng's simplified reading calls over stb_image (see png.h beside this file).
#include <cstdio>
#include <cstring>
#include <string>

#include "png.h"

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_HDR
#define STBI_NO_LINEAR
#include "stb_image.h"
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

struct png_control {
    std::string path;
};

namespace {

int Fail(png_imagep image, const char* message) {
    std::snprintf(image->message, sizeof image->message, "%s", message);
    image->warning_or_error = 2;
    png_image_free(image);
    return 0;
}

}  // namespace

int png_image_begin_read_from_file(png_imagep image, const char* file_name) {
    if (!image) return 0;
    if (image->version != PNG_IMAGE_VERSION) return Fail(image, "png_image: wrong version");
    int width = 0;
    int height = 0;
    int channels = 0;
    if (!file_name || !stbi_info(file_name, &width, &height, &channels)) {
        return Fail(image, stbi_failure_reason() ? stbi_failure_reason() : "cannot open file");
    }
    image->opaque = new png_control{file_name};
    image->width = static_cast<uint32_t>(width);
    image->height = static_cast<uint32_t>(height);
    image->format = (channels >= 3 ? PNG_FORMAT_FLAG_COLOR : 0U) |
                    (channels == 2 || channels == 4 ? PNG_FORMAT_FLAG_ALPHA : 0U);
    return 1;
}

int png_image_finish_read(png_imagep image, const png_color*, void* buffer, int32_t row_stride,
                          void* colormap) {
    if (!image || !image->opaque || !buffer || colormap) {
        return image ? Fail(image, "png_image_finish_read: unsupported arguments") : 0;
    }
    const int channels = static_cast<int>(PNG_IMAGE_PIXEL_CHANNELS(image->format));
    int width = 0;
    int height = 0;
    int file_channels = 0;
    unsigned char* pixels =
        stbi_load(image->opaque->path.c_str(), &width, &height, &file_channels, channels);
    if (!pixels) return Fail(image, stbi_failure_reason() ? stbi_failure_reason() : "bad PNG");
    const size_t row = static_cast<size_t>(width) * static_cast<size_t>(channels);
    const size_t stride = row_stride > 0 ? static_cast<size_t>(row_stride) : row;
    for (int y = 0; y < height; ++y) {
        std::memcpy(static_cast<unsigned char*>(buffer) + stride * static_cast<size_t>(y),
                    pixels + row * static_cast<size_t>(y), row);
    }
    stbi_image_free(pixels);
    png_image_free(image);
    return 1;
}

void png_image_free(png_imagep image) {
    if (!image) return;
    delete image->opaque;
    image->opaque = nullptr;
}
