// HEIF and AVIF through imgsrc against libheif's own decode (same options: transformations
// applied, deep samples to 8 bits) of files made by libheif's HEVC and AV1 encoders: colour
// layouts, odd sizes, alpha, 10 and 12 bits, several top-level images, damaged files. An encoder
// this libheif lacks skips its cases with the reason.
#include <gtest/gtest.h>
#include <libheif/heif.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "DamageSweep.h"
#include "ImgTestSupport.h"
#include "ModernEncoders.h"

namespace {

using modern_test::HeifCodec;
using modern_test::Raster;

struct LibheifPicture {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgba;
};

// Every top-level image, primary first, as libheif decodes it to 8-bit RGB(A).
std::vector<LibheifPicture> LibheifImages(const std::vector<uint8_t>& bytes) {
    std::vector<LibheifPicture> out;
    std::unique_ptr<heif_context, void (*)(heif_context*)> ctx(heif_context_alloc(),
                                                               heif_context_free);
    if (heif_context_read_from_memory_without_copy(ctx.get(), bytes.data(), bytes.size(), nullptr)
            .code != heif_error_Ok) {
        return out;
    }
    heif_item_id primary = 0;
    heif_context_get_primary_image_ID(ctx.get(), &primary);
    const int n = heif_context_get_number_of_top_level_images(ctx.get());
    std::vector<heif_item_id> ids(static_cast<size_t>(n));
    heif_context_get_list_of_top_level_image_IDs(ctx.get(), ids.data(), n);
    std::vector<heif_item_id> order{primary};
    for (heif_item_id id : ids) {
        if (id != primary) order.push_back(id);
    }
    for (heif_item_id id : order) {
        heif_image_handle* handle = nullptr;
        heif_context_get_image_handle(ctx.get(), id, &handle);
        const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
        heif_decoding_options* options = heif_decoding_options_alloc();
        options->ignore_transformations = 0;
        options->convert_hdr_to_8bit = 1;
        heif_image* image = nullptr;
        heif_decode_image(handle, &image, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                          options);
        heif_decoding_options_free(options);
        LibheifPicture p;
        if (image) {
            p.width = uint32_t(heif_image_get_width(image, heif_channel_interleaved));
            p.height = uint32_t(heif_image_get_height(image, heif_channel_interleaved));
            int stride = 0;
            const uint8_t* plane =
                heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
            std::vector<uint8_t> packed;
            const size_t row = size_t{p.width} * (alpha ? 4 : 3);
            for (uint32_t y = 0; y < p.height; ++y) {
                packed.insert(packed.end(), plane + size_t(stride) * y,
                              plane + size_t(stride) * y + row);
            }
            p.rgba = img_test::ToRgba(packed, alpha ? 4 : 3);
            heif_image_release(image);
        }
        heif_image_handle_release(handle);
        out.push_back(std::move(p));
    }
    return out;
}

class ImgHeif : public ::testing::TestWithParam<HeifCodec> {
protected:
    void SetUp() override {
        if (!modern_test::HeifEncoderAvailable(GetParam())) {
            GTEST_SKIP() << "this libheif has no " << modern_test::HeifCodecName(GetParam())
                         << " encoder plug-in";
        }
    }
    uint32_t Type() const { return GetParam() == HeifCodec::Av1 ? 23u : 22u; }

    // Decodes every image of the file through imgsrc and compares it with libheif's.
    void ExpectSameAsLibheif(const std::vector<uint8_t>& bytes, size_t images) {
        const std::vector<LibheifPicture> want = LibheifImages(bytes);
        ASSERT_EQ(want.size(), images);
        for (size_t i = 0; i < want.size(); ++i) {
            const img_test::Picture got = img_test::Decode(bytes, int32_t(i));
            EXPECT_TRUE(img_test::SameRgba(got, want[i].rgba, want[i].width, want[i].height))
                << "image " << i;
            EXPECT_EQ(got.type_back, Type());
        }
        EXPECT_NE(img_test::Decode(bytes, int32_t(images)).result, 0);
        const img_test::Info info = img_test::GetInfo(bytes);
        EXPECT_EQ(info.result, 0);
        EXPECT_EQ(uint32_t{info.record.frameCount}, images);
        EXPECT_EQ(uint32_t{info.record.imageType}, Type());
    }
};

TEST_P(ImgHeif, LayoutsAndDepthsMatchLibheif) {
    struct Case {
        uint32_t width, height;
        int channels, depth;
    };
    const Case cases[] = {{64, 48, 3, 8}, {37, 23, 3, 8}, {40, 30, 4, 8}, {1, 1, 3, 8},
                          {48, 32, 3, 10}, {33, 20, 4, 10}, {32, 32, 3, 12}};
    uint32_t seed = 3;
    for (const Case& c : cases) {
        const std::string what = std::to_string(c.width) + "x" + std::to_string(c.height) +
                                 " channels " + std::to_string(c.channels) + ", " +
                                 std::to_string(c.depth) + " bits";
        SCOPED_TRACE(what);
        const auto file = modern_test::EncodeHeif(
            GetParam(), {modern_test::PhotoLike(c.width, c.height, c.channels, ++seed, c.depth)});
        if (file.bytes.empty()) {
            // Encoders built for 8 bits only refuse deeper samples; say so rather than fail.
            ASSERT_GT(c.depth, 8) << file.error;
            std::printf("[ skipped  ] %s %s: %s\n", modern_test::HeifCodecName(GetParam()),
                        what.c_str(), file.error.c_str());
            continue;
        }
        ExpectSameAsLibheif(file.bytes, 1);
        const img_test::Picture got = img_test::Decode(file.bytes);
        EXPECT_EQ(got.bit_count, c.channels == 4 ? 32 : 24);
    }
}

TEST_P(ImgHeif, TopLevelImagesAreFramesPrimaryFirst) {
    const auto file = modern_test::EncodeHeif(
        GetParam(), {modern_test::PhotoLike(32, 24, 3, 50), modern_test::PhotoLike(16, 40, 4, 51),
                     modern_test::PhotoLike(48, 16, 3, 52)});
    ASSERT_FALSE(file.bytes.empty()) << file.error;
    ExpectSameAsLibheif(file.bytes, 3);
    EXPECT_EQ(img_test::Decode(file.bytes, 1).width, 16u);
}

TEST_P(ImgHeif, TypeRequestedIsAnsweredWithTheBrand) {
    const auto file = modern_test::EncodeHeif(GetParam(), {modern_test::PhotoLike(16, 16, 3, 9)});
    ASSERT_FALSE(file.bytes.empty()) << file.error;
    for (uint32_t asked : {22u, 23u}) {
        const img_test::Picture got = img_test::Decode(file.bytes, 0, 1, asked);
        EXPECT_EQ(got.result, 0);
        EXPECT_EQ(got.type_back, Type());
    }
}

// A declared size beyond what the codec layer builds ends the request as out of memory (4), from
// libheif's own limit or ours, before anything is decoded.
TEST_P(ImgHeif, OverLargeDeclaredSizeIsRefused) {
    auto file = modern_test::EncodeHeif(GetParam(), {modern_test::PhotoLike(16, 16, 3, 8)});
    ASSERT_FALSE(file.bytes.empty()) << file.error;
    const uint8_t ispe[4] = {'i', 's', 'p', 'e'};
    auto at = std::search(file.bytes.begin(), file.bytes.end(), ispe, ispe + 4);
    ASSERT_NE(at, file.bytes.end());
    const uint8_t huge[8] = {0, 0, 0x9C, 0x40, 0, 0, 0x9C, 0x40};  // 40000 x 40000
    std::copy(huge, huge + 8, at + 8);  // after the version and flags
    EXPECT_EQ(img_test::Decode(file.bytes).result, 4);
}

TEST_P(ImgHeif, DamagedFilesGiveACodeOrAPicture) {
    const auto still = modern_test::EncodeHeif(GetParam(), {modern_test::PhotoLike(24, 16, 4, 4)});
    const auto multi = modern_test::EncodeHeif(
        GetParam(), {modern_test::PhotoLike(16, 16, 3, 5), modern_test::PhotoLike(8, 8, 3, 6)});
    ASSERT_FALSE(still.bytes.empty()) << still.error;
    ASSERT_FALSE(multi.bytes.empty()) << multi.error;
    img_test::DamageSweep sweep;
    sweep.seed = 11, sweep.prefixes = 120, sweep.flips = 50, sweep.keep_head = 16;
    img_test::SweepDamage(still.bytes, sweep);
    sweep.seed = 12, sweep.frame = 1;
    img_test::SweepDamage(multi.bytes, sweep);
}

INSTANTIATE_TEST_SUITE_P(Encoders, ImgHeif, ::testing::Values(HeifCodec::Hevc, HeifCodec::Av1),
                         [](const ::testing::TestParamInfo<HeifCodec>& info) {
                             return std::string(modern_test::HeifCodecName(info.param));
                         });

}  // namespace
