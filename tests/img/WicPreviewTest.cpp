// GetPreview of the Windows builds through imgsrc.dll: a JPEG's EXIF thumbnail
// (written by ExifWriter.h into a picture of stb's encoder) against stb's decode of it, the
// reduced decode against the picture read at the same scale, TIFF's reduced pages and JPEG
// thumbnails; -1 where a file holds none; damaged thumbnails never crash.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "DibImage.h"
#include "ExifWriter.h"
#include "ImgTestSupport.h"
#include "TestSupport.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wconversion"
#include "stb_image.h"
#include "stb_image_write.h"
#pragma GCC diagnostic pop

namespace {

using img_test::Picture;
using Bytes = std::vector<uint8_t>;

constexpr int kJpegTolerance = 8;  // stb's IDCT and upsampling against libjpeg-turbo's

using img_test::Preview;

void Append(void* context, void* data, int size) {
    auto* out = static_cast<Bytes*>(context);
    out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

Bytes Rgb(uint32_t w, uint32_t h, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes p(size_t{w} * h * 3);
    for (size_t i = 0; i < p.size(); ++i) {
        const size_t x = i / 3 % w, y = i / 3 / w;
        p[i] = static_cast<uint8_t>(x * 150 / w + y * 60 / h + i % 3 * 20 + rng() % 8);
    }
    return p;
}

// stb's JPEG of `w` x `h`, with an APP1 segment after SOI when `app1` is not empty.
Bytes Jpeg(uint32_t w, uint32_t h, uint32_t seed, const Bytes& app1 = {}) {
    Bytes out;
    const Bytes rgb = Rgb(w, h, seed);
    stbi_write_jpg_to_func(Append, &out, int(w), int(h), 3, rgb.data(), 90);
    if (app1.empty()) return out;
    const size_t length = app1.size() + 2;
    Bytes segment = {0xFF, 0xE1, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    segment.insert(segment.end(), app1.begin(), app1.end());
    out.insert(out.begin() + 2, segment.begin(), segment.end());
    return out;
}

Bytes StbRgba(const Bytes& jpeg, uint32_t& w, uint32_t& h) {
    int iw = 0, ih = 0, channels = 0;
    stbi_uc* p = stbi_load_from_memory(jpeg.data(), int(jpeg.size()), &iw, &ih, &channels, 3);
    if (!p) return {};
    const Bytes rgb(p, p + size_t(iw) * ih * 3);
    stbi_image_free(p);
    w = uint32_t(iw), h = uint32_t(ih);
    return img_test::ToRgba(rgb, 3);
}

::testing::AssertionResult ShowsThumbnail(const Picture& got, const Bytes& thumb) {
    uint32_t w = 0, h = 0;
    const Bytes want = StbRgba(thumb, w, h);
    return img_test::SameRgba(got, want, w, h, kJpegTolerance);
}

::testing::AssertionResult SameAsScaledRead(const Picture& got, const Bytes& file, int scale) {
    const Picture read = img_test::Decode(file, 0, scale);
    return img_test::SameRgba(got, read.rgba, read.width, read.height);
}

TEST(WicPreview, JpegThumbnailOrScaledDecode) {
    const Bytes thumb = Jpeg(200, 150, 1), small = Jpeg(120, 90, 2);
    img_test::ExifSpec recipe;
    recipe.thumbnail = thumb;
    const Bytes with = Jpeg(1600, 1200, 3, img_test::ExifApp1(recipe));
    const Picture shown = Preview(with);
    EXPECT_TRUE(ShowsThumbnail(shown, thumb));
    EXPECT_EQ(shown.type_back, 3u);
    recipe.big_endian = true;
    EXPECT_TRUE(ShowsThumbnail(Preview(Jpeg(1600, 1200, 3, img_test::ExifApp1(recipe))), thumb));

    // The picture at the smallest N/8 with a long side of at least 256: the picture read's
    // pixels at that scale (1600 x 1200 at 2/8 is scale 4; 700 x 300 at 3/8 has no scale of its
    // own, so the size alone).
    recipe.big_endian = false;
    recipe.thumbnail = small;
    const Bytes small_thumb = Jpeg(1600, 1200, 4, img_test::ExifApp1(recipe));
    EXPECT_TRUE(SameAsScaledRead(Preview(small_thumb), small_thumb, 4));
    const Bytes plain = Jpeg(1600, 1200, 5);
    EXPECT_TRUE(SameAsScaledRead(Preview(plain), plain, 4));
    const Bytes little = Jpeg(200, 100, 6);
    EXPECT_TRUE(SameAsScaledRead(Preview(little), little, 1));
    const Picture odd = Preview(Jpeg(700, 300, 7));
    EXPECT_EQ(odd.result, 0);
    EXPECT_EQ(odd.width, 263u);
    EXPECT_EQ(odd.height, 113u);
    EXPECT_EQ(Preview(plain, 1).result, -1);

    // Damaged thumbnails: the reduced decode.
    recipe.thumbnail = thumb;
    std::vector<img_test::ExifSpec> damaged(4, recipe);
    damaged[0].offset = 1 << 20;
    damaged[1].length = thumb.size() + 1;
    damaged[2].thumbnail.assign(thumb.size(), 0x5A);
    damaged[3].ifd1_offset = 8;
    for (const img_test::ExifSpec& d : damaged) {
        const Bytes file = Jpeg(1600, 1200, 8, img_test::ExifApp1(d));
        EXPECT_TRUE(SameAsScaledRead(Preview(file), file, 4));
    }
    for (size_t n = 1; n < with.size(); n += with.size() / 41) {
        const int32_t r = Preview(Bytes(with.begin(), with.begin() + static_cast<long>(n))).result;
        EXPECT_TRUE(r == 0 || r == -1 || r == 2 || r == 3) << n << ": " << r;
    }
}

TEST(WicPreview, TiffReducedPagesAndJpegThumbnails) {
    std::vector<img_test::RawTiffPage> pages = {{640, 480, 0, {}},
                                                {320, 240, 1, {}},
                                                {170, 120, 1, {}},
                                                {100, 80, 1, {}},
                                                {300, 200, 0, {}}};
    for (size_t i = 0; i < pages.size(); ++i) {
        pages[i].rgb = Rgb(pages[i].width, pages[i].height, static_cast<uint32_t>(10 + i));
    }
    const Bytes tiff = img_test::WriteRawTiff(pages);
    const Picture shown = Preview(tiff);
    EXPECT_TRUE(img_test::SameRgba(shown, img_test::ToRgba(pages[2].rgb, 3), 170, 120));
    EXPECT_EQ(shown.type_back, 6u);
    EXPECT_EQ(Preview(tiff, 4).result, -1);  // a full page with none after it
    EXPECT_EQ(Preview(tiff, 5).result, -1);  // no such page

    const Bytes thumb = Jpeg(240, 180, 20);
    const Bytes plain = img_test::WriteRawTiff({pages[4]});
    EXPECT_EQ(Preview(plain).result, -1);
    EXPECT_TRUE(ShowsThumbnail(Preview(img_test::AppendJpegIfd(plain, thumb)), thumb));
    for (const Bytes& file : {img_test::AppendJpegIfd(plain, thumb, 1 << 24),
                              img_test::AppendJpegIfd(plain, thumb, -1, 1 << 24),
                              img_test::AppendJpegIfd(plain, Bytes(thumb.size(), 0x33))}) {
        EXPECT_EQ(Preview(file).result, -1);
    }
    // A PNG has no preview.
    Bytes png;
    const Bytes rgb = Rgb(300, 300, 30);
    stbi_write_png_to_func(Append, &png, 300, 300, 3, rgb.data(), 900);
    EXPECT_EQ(Preview(png).result, -1);
}

}  // namespace
