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

// Every top-level image, primary first, as libheif decodes it to 8-bit RGB(A), with its
// transformations applied (or, when `as_stored`, not).
std::vector<LibheifPicture> LibheifImages(const std::vector<uint8_t>& bytes,
                                          bool as_stored = false) {
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
        options->ignore_transformations = as_stored ? 1 : 0;
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

// ---- A clap property written into a file as boxes ---------------------------------------------

uint64_t GetBe(const std::vector<uint8_t>& b, size_t at, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | b.at(at + i);
    return v;
}

void PutBe(std::vector<uint8_t>& b, size_t at, size_t n, uint64_t v) {
    for (size_t i = n; i-- > 0; v >>= 8) b.at(at + i) = uint8_t(v);
}

struct Box {
    size_t at = 0, size = 0;
};

// The child box of `type` among the boxes in [from, end); size 0 when there is none.
Box Child(const std::vector<uint8_t>& b, size_t from, size_t end, const char* type) {
    for (size_t at = from; at + 8 <= end;) {
        const auto size = static_cast<size_t>(GetBe(b, at, 4));
        if (size < 8 || size > end - at) break;
        if (std::equal(type, type + 4, b.begin() + long(at + 4))) return Box{at, size};
        at += size;
    }
    return Box{};
}

// Adds a clap property (a clean aperture of `width` x `height`, its centre offset by (dx, dy)
// from the picture's) to the primary image, last of its properties, so that it crops what irot
// and imir made; the meta box grows, so iloc's offsets into the data after it move too.
std::vector<uint8_t> AddClap(std::vector<uint8_t> b, uint32_t width, uint32_t height, int32_t dx,
                             int32_t dy) {
    const Box meta = Child(b, 0, b.size(), "meta");
    const size_t inner = meta.at + 12, meta_end = meta.at + meta.size;
    const Box pitm = Child(b, inner, meta_end, "pitm"), iloc = Child(b, inner, meta_end, "iloc");
    const Box iprp = Child(b, inner, meta_end, "iprp");
    const Box ipco = Child(b, iprp.at + 8, iprp.at + iprp.size, "ipco");
    const Box ipma = Child(b, iprp.at + 8, iprp.at + iprp.size, "ipma");
    if (!meta.size || !pitm.size || !iloc.size || !ipco.size || !ipma.size || ipma.at < ipco.at ||
        iloc.at > iprp.at || b[pitm.at + 8] != 0) {
        return {};
    }
    const uint64_t primary = GetBe(b, pitm.at + 12, 2);
    size_t properties = 0;
    for (size_t at = ipco.at + 8; at < ipco.at + ipco.size; at += size_t(GetBe(b, at, 4))) {
        ++properties;
    }
    // ipma: find the primary item's associations and put clap first among them.
    const uint8_t version = b[ipma.at + 8];
    const bool wide_index = (b[ipma.at + 11] & 1) != 0;
    const uint64_t entries = GetBe(b, ipma.at + 12, 4);
    size_t at = ipma.at + 16;
    std::vector<uint8_t> association;
    for (uint64_t e = 0; e < entries && association.empty(); ++e) {
        const size_t id_bytes = version < 1 ? 2 : 4;
        const uint64_t id = GetBe(b, at, id_bytes);
        const size_t count_at = at + id_bytes;
        const size_t count = b[count_at];
        at = count_at + 1 + count * (wide_index ? 2 : 1);
        if (id == primary) {
            b[count_at] = uint8_t(count + 1);
            association = wide_index ? std::vector<uint8_t>{uint8_t(0x80 | (properties + 1) >> 8),
                                                            uint8_t(properties + 1)}
                                     : std::vector<uint8_t>{uint8_t(0x80 | (properties + 1))};
            b.insert(b.begin() + long(at), association.begin(), association.end());
        }
    }
    if (association.empty()) return {};
    std::vector<uint8_t> clap(40);
    const uint32_t fields[8] = {width, 1, height, 1, uint32_t(dx), 1, uint32_t(dy), 1};
    PutBe(clap, 0, 4, clap.size());
    std::copy_n("clap", 4, clap.begin() + 4);
    for (size_t i = 0; i < 8; ++i) PutBe(clap, 8 + 4 * i, 4, fields[i]);
    b.insert(b.begin() + long(ipco.at + ipco.size), clap.begin(), clap.end());
    const size_t grown = clap.size() + association.size();
    PutBe(b, ipma.at + clap.size(), 4, ipma.size + association.size());
    PutBe(b, ipco.at, 4, ipco.size + clap.size());
    PutBe(b, iprp.at, 4, iprp.size + grown);
    PutBe(b, meta.at, 4, meta.size + grown);
    // iloc: data stored in the file (construction method 0) lies after meta and moves.
    const uint8_t iloc_version = b[iloc.at + 8];
    const size_t offset_size = b[iloc.at + 12] >> 4, length_size = b[iloc.at + 12] & 15;
    const size_t base_size = b[iloc.at + 13] >> 4;
    const size_t index_size = iloc_version >= 1 ? b[iloc.at + 13] & 15 : 0;
    const size_t wide = iloc_version < 2 ? 2 : 4;
    const uint64_t items = GetBe(b, iloc.at + 14, wide);
    at = iloc.at + 14 + wide;
    for (uint64_t i = 0; i < items; ++i) {
        at += wide;
        uint64_t method = 0;
        if (iloc_version >= 1) method = GetBe(b, at, 2) & 15, at += 2;
        at += 2;  // data reference index
        const size_t base_at = at;
        at += base_size;
        const uint64_t extents = GetBe(b, at, 2);
        at += 2;
        if (method == 0 && base_size) {
            PutBe(b, base_at, base_size, GetBe(b, base_at, base_size) + grown);
        }
        for (uint64_t e = 0; e < extents; ++e, at += offset_size + length_size) {
            at += index_size;
            if (method == 0 && !base_size && offset_size) {
                PutBe(b, at, offset_size, GetBe(b, at, offset_size) + grown);
            }
        }
    }
    return b;
}

// The file as a writer that follows the HEIF rules makes it: libheif 1.15 lists the primary
// image's ispe after its irot, holding the turned size; here the ispe comes first and holds the
// size before the turn.
std::vector<uint8_t> IspeFirst(std::vector<uint8_t> b) {
    const Box meta = Child(b, 0, b.size(), "meta");
    const size_t inner = meta.at + 12, meta_end = meta.at + meta.size;
    const Box pitm = Child(b, inner, meta_end, "pitm"), iprp = Child(b, inner, meta_end, "iprp");
    const Box ipco = Child(b, iprp.at + 8, iprp.at + iprp.size, "ipco");
    const Box ipma = Child(b, iprp.at + 8, iprp.at + iprp.size, "ipma");
    if (!pitm.size || !ipco.size || !ipma.size || b[ipma.at + 8] != 0 || (b[ipma.at + 11] & 1)) {
        return {};
    }
    std::vector<size_t> property_at;  // by index - 1
    for (size_t at = ipco.at + 8; at < ipco.at + ipco.size; at += size_t(GetBe(b, at, 4))) {
        property_at.push_back(at);
    }
    auto type_of = [&](uint8_t association) {
        const size_t index = association & 0x7Fu;
        return index == 0 || index > property_at.size()
                   ? std::string()
                   : std::string(b.begin() + long(property_at[index - 1] + 4),
                                 b.begin() + long(property_at[index - 1] + 8));
    };
    size_t at = ipma.at + 16;
    for (uint64_t e = GetBe(b, ipma.at + 12, 4); e > 0; --e) {
        const size_t count = b[at + 2];
        const auto first = b.begin() + long(at + 3), last = first + long(count);
        if (GetBe(b, at, 2) == GetBe(b, pitm.at + 12, 2)) {
            const auto ispe =
                std::find_if(first, last, [&](uint8_t a) { return type_of(a) == "ispe"; });
            const bool turned = std::any_of(first, last, [&](uint8_t a) {
                return type_of(a) == "irot" && (b[property_at[(a & 0x7Fu) - 1] + 8] & 1);
            });
            if (ispe == last) return {};
            const size_t box = property_at[(*ispe & 0x7Fu) - 1];
            std::rotate(first, ispe, ispe + 1);
            if (turned) {
                const uint64_t w = GetBe(b, box + 12, 4), h = GetBe(b, box + 16, 4);
                PutBe(b, box + 12, 4, h);
                PutBe(b, box + 16, 4, w);
            }
            return b;
        }
        at += 3 + count;
    }
    return {};
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

// The stored RGBA picture as an EXIF orientation value shows it: the rotation (clockwise) first,
// then the flip.
LibheifPicture Oriented(const LibheifPicture& in, int orientation) {
    const int turns = orientation == 3                       ? 2
                      : orientation >= 5 && orientation <= 7 ? 1
                      : orientation == 8                     ? 3
                                                             : 0;
    LibheifPicture p = in;
    for (int t = 0; t < turns; ++t) {
        LibheifPicture r;
        r.width = p.height, r.height = p.width;
        r.rgba.resize(p.rgba.size());
        for (uint32_t y = 0; y < r.height; ++y) {
            for (uint32_t x = 0; x < r.width; ++x) {
                const size_t from = (size_t{p.height - 1 - x} * p.width + y) * 4;
                std::copy_n(p.rgba.begin() + long(from), 4,
                            r.rgba.begin() + long((y * r.width + x) * 4));
            }
        }
        p = r;
    }
    const bool mirror_x = orientation == 2 || orientation == 5;
    const bool mirror_y = orientation == 4 || orientation == 7;
    LibheifPicture f = p;
    for (uint32_t y = 0; y < p.height; ++y) {
        for (uint32_t x = 0; x < p.width; ++x) {
            const uint32_t sx = mirror_x ? p.width - 1 - x : x;
            const uint32_t sy = mirror_y ? p.height - 1 - y : y;
            std::copy_n(p.rgba.begin() + long((size_t{sy} * p.width + sx) * 4), 4,
                        f.rgba.begin() + long((size_t{y} * p.width + x) * 4));
        }
    }
    return f;
}

// The clean aperture written: 20 x 16 with its centre 1 left of and 2 below the picture's.
constexpr uint32_t kClapWidth = 20, kClapHeight = 16;
constexpr int32_t kClapDx = -1, kClapDy = 2;

// The crop that clap semantics give: left = dx + (width - 1) / 2 - (clean width - 1) / 2.
LibheifPicture Cropped(const LibheifPicture& in) {
    const auto left = uint32_t(kClapDx + (int32_t(in.width) - int32_t(kClapWidth)) / 2);
    const auto top = uint32_t(kClapDy + (int32_t(in.height) - int32_t(kClapHeight)) / 2);
    LibheifPicture out;
    out.width = kClapWidth, out.height = kClapHeight;
    for (uint32_t y = 0; y < kClapHeight; ++y) {
        const auto row = in.rgba.begin() + long((size_t{top + y} * in.width + left) * 4);
        out.rgba.insert(out.rgba.end(), row, row + kClapWidth * 4);
    }
    return out;
}

// irot, imir (written by libheif's encoder) and clap (written here) define the image: every
// orientation, with and without a crop, equals libheif's decode with its transformations and
// the stored picture turned and cropped as the properties say; the header read (checked by
// Decode) gives the turned and cropped size.
TEST_P(ImgHeif, IrotImirAndClapAreApplied) {
    for (bool clap : {false, true}) {
        for (int orientation = 1; orientation <= 8; ++orientation) {
            SCOPED_TRACE("orientation " + std::to_string(orientation) + (clap ? ", clap" : ""));
            auto file = modern_test::EncodeHeif(
                GetParam(), {modern_test::PhotoLike(40, 24, 3, uint32_t(orientation))}, 70, false,
                modern_test::HeifShape{orientation, false});
            ASSERT_FALSE(file.bytes.empty()) << file.error;
            if (clap) file.bytes = AddClap(file.bytes, kClapWidth, kClapHeight, kClapDx, kClapDy);
            ASSERT_FALSE(file.bytes.empty()) << "the boxes are not as libheif writes them";
            auto has = [&](const char* box) {
                return std::search(file.bytes.begin(), file.bytes.end(), box, box + 4) !=
                       file.bytes.end();
            };
            EXPECT_EQ(has("irot"), orientation != 1 && orientation != 2 && orientation != 4);
            EXPECT_EQ(has("imir"),
                      orientation == 2 || orientation == 4 || orientation == 5 || orientation == 7);
            ExpectSameAsLibheif(file.bytes, 1);
            const img_test::Picture got = img_test::Decode(file.bytes);
            const LibheifPicture stored = LibheifImages(file.bytes, true).at(0);
            ASSERT_EQ(stored.width, 40u);
            LibheifPicture want = Oriented(stored, orientation);
            EXPECT_EQ(want.width, orientation >= 5 ? 24u : 40u);
            if (clap) want = Cropped(want);
            EXPECT_TRUE(img_test::SameRgba(got, want.rgba, want.width, want.height));
            const std::vector<uint8_t> conforming = IspeFirst(file.bytes);
            ASSERT_FALSE(conforming.empty());
            EXPECT_TRUE(img_test::SameRgba(img_test::Decode(conforming), want.rgba, want.width,
                                           want.height));
        }
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
