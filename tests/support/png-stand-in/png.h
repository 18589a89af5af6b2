// The part of libpng's simplified reading interface that the tests use, for the Windows builds,
// which have no libpng. Decodes through stb_image; enough for the 8-bit and palette reference
// pictures that the tests compare against (no gamma or colour-space handling).
#pragma once

#include <cstddef>
#include <cstdint>

#define PNG_IMAGE_VERSION 1

#define PNG_FORMAT_FLAG_ALPHA 0x01U
#define PNG_FORMAT_FLAG_COLOR 0x02U
#define PNG_FORMAT_GRAY 0U
#define PNG_FORMAT_GA PNG_FORMAT_FLAG_ALPHA
#define PNG_FORMAT_RGB PNG_FORMAT_FLAG_COLOR
#define PNG_FORMAT_RGBA (PNG_FORMAT_FLAG_COLOR | PNG_FORMAT_FLAG_ALPHA)

#define PNG_IMAGE_PIXEL_CHANNELS(fmt) \
    (1U + ((fmt)&PNG_FORMAT_FLAG_COLOR ? 2U : 0U) + ((fmt)&PNG_FORMAT_FLAG_ALPHA ? 1U : 0U))
#define PNG_IMAGE_ROW_STRIDE(image) (PNG_IMAGE_PIXEL_CHANNELS((image).format) * (image).width)
#define PNG_IMAGE_SIZE(image) (static_cast<size_t>(PNG_IMAGE_ROW_STRIDE(image)) * (image).height)

struct png_control;
typedef struct png_control* png_controlp;

typedef struct {
    png_controlp opaque;
    uint32_t version;
    uint32_t width;
    uint32_t height;
    uint32_t format;
    uint32_t flags;
    uint32_t colormap_entries;
    uint32_t warning_or_error;
    char message[64];
} png_image, *png_imagep;

typedef struct {
    uint8_t red;
    uint8_t green;
    uint8_t blue;
} png_color;

int png_image_begin_read_from_file(png_imagep image, const char* file_name);
int png_image_finish_read(png_imagep image, const png_color* background, void* buffer,
                          int32_t row_stride, void* colormap);
void png_image_free(png_imagep image);
