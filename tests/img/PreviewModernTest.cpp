// GetPreview of imgsrc for camera RAW, HEIF/AVIF, JPEG XL and JPEG 2000 through the built module,
// on files that the libraries' own writers make, against each library's decode of the embedded
// picture (or of the reduced resolution level); -1 where a file holds none; damaged files give
// -1 or a code, never a crash.
#include <gtest/gtest.h>
#include <jxl/decode.h>
#include <libheif/heif.h>
#include <libraw/libraw.h>
#include <turbojpeg.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "DibImage.h"
#include "ImgTestSupport.h"
#include "JpegPngKit.h"
#include "LibPictures.h"
#include "ModernEncoders.h"
#include "PreviewRules.h"
#include "TestSupport.h"

namespace {

using img_test::Picture;
using modern_test::Raster;

// GetPreview from memory, with the request block as GetPicture has it (frame 48, type 56).
Picture Preview(const std::vector<uint8_t>& bytes, int32_t frame = 0, uint32_t type = 0) {
    Picture out;
    PictureRequestBlock block{};
    std::memcpy(block.tag, "zem", 3);
    block.field48 = frame;
    block.field56 = static_cast<int32_t>(type);
    SpiHandle dib = nullptr;
    auto bits = reinterpret_cast<SpiHandle>(static_cast<intptr_t>(SPI_PACKED_DIB_MARKER));
    out.result = img_test::Imgsrc().GetPreview(
        reinterpret_cast<const char*>(bytes.data()), static_cast<SpiLength>(bytes.size()),
        SPI_SRC_MEMORY, &dib, &bits, nullptr, reinterpret_cast<SpiUserData>(&block));
    out.type_back = static_cast<uint32_t>(block.field56);
    if (!dib) return out;
    out.dib = testing_support::HandleBytes(dib);
    testing_support::FreeHandle(dib);
    DibImage image;
    if (!image.Load(out.dib.data(), out.dib.size(), out.error)) return out;
    out.width = image.Width();
    out.height = image.Height();
    out.bit_count = static_cast<uint16_t>(image.Measures().bit_count);
    out.rgba = img_test::ToRgba(image.ConvertAll(), static_cast<int>(image.Channels()));
    return out;
}

// A reference picture: RGBA rows, or nothing when the library found no such picture.
struct Reference {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgba;
};

// Damaged copies (prefixes and changed bytes anywhere) give a DIB that reads back whole, -1,
// or another code; ASan builds watch the memory.
void SweepPreviewDamage(const std::vector<uint8_t>& file, uint32_t seed, int copies = 60) {
    std::mt19937 rng(seed);
    for (int i = 0; i < copies; ++i) {
        std::vector<uint8_t> bad(file);
        if (i % 3 == 0) {
            bad.resize(rng() % file.size());
        } else {
            for (int n = 1 + static_cast<int>(rng() % 4); n--;) {
                bad[rng() % bad.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
            }
        }
        const Picture p = Preview(bad);
        if (p.result == 0) {
            EXPECT_TRUE(p.error.empty()) << "copy " << i << ": " << p.error;
        } else {
            EXPECT_TRUE(p.dib.empty()) << "copy " << i;
        }
    }
}

// ---- HEIF and AVIF: thumbnail items -----------------------------------------------------------

// libheif's decode of the smallest thumbnail of image `frame` (primary first) whose long side
// qualifies, transformations applied.
Reference LibheifThumbnail(const std::vector<uint8_t>& bytes, int frame) {
    Reference out;
    std::unique_ptr<heif_context, void (*)(heif_context*)> ctx(heif_context_alloc(),
                                                               heif_context_free);
    if (heif_context_read_from_memory_without_copy(ctx.get(), bytes.data(), bytes.size(), nullptr)
            .code != heif_error_Ok) {
        return out;
    }
    heif_item_id id = 0;
    heif_context_get_primary_image_ID(ctx.get(), &id);
    std::vector<heif_item_id> ids(16);
    const int n = heif_context_get_list_of_top_level_image_IDs(ctx.get(), ids.data(), 16);
    for (int i = 0, index = 0; i < n && frame > 0; ++i) {
        if (ids[size_t(i)] != id && ++index == frame) id = ids[size_t(i)], frame = 0;
    }
    heif_image_handle* image = nullptr;
    heif_context_get_image_handle(ctx.get(), id, &image);
    std::vector<heif_item_id> thumbs(8);
    const int count = heif_image_handle_get_list_of_thumbnail_IDs(image, thumbs.data(), 8);
    for (int t = 0; t < count; ++t) {
        heif_image_handle* handle = nullptr;
        heif_image_handle_get_thumbnail(image, thumbs[size_t(t)], &handle);
        heif_decoding_options* options = heif_decoding_options_alloc();
        options->convert_hdr_to_8bit = 1;
        heif_image* decoded = nullptr;
        heif_decode_image(handle, &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                          options);
        heif_decoding_options_free(options);
        heif_image_handle_release(handle);
        if (!decoded) continue;
        const auto w = uint32_t(heif_image_get_width(decoded, heif_channel_interleaved));
        const auto h = uint32_t(heif_image_get_height(decoded, heif_channel_interleaved));
        if (QualifiesAsPreview(w, h) && (out.rgba.empty() || w * h < out.width * out.height)) {
            int stride = 0;
            const uint8_t* plane =
                heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
            std::vector<uint8_t> rgb;
            for (uint32_t y = 0; y < h; ++y) {
                rgb.insert(rgb.end(), plane + size_t(stride) * y, plane + size_t(stride) * y + w * 3);
            }
            out = {w, h, img_test::ToRgba(rgb, 3)};
        }
        heif_image_release(decoded);
    }
    heif_image_handle_release(image);
    return out;
}

TEST(PreviewModern, HeifThumbnailItemsMatchLibheif) {
    struct Case {
        const char* name;
        std::vector<int> thumbnails;
        int orientation;
        size_t images;
        bool has_preview;
    } cases[] = {
        {"two thumbnails: the smaller", {320, 200}, 1, 1, true},
        {"rotated and mirrored", {240}, 5, 1, true},
        {"second image's own", {256}, 1, 2, true},
        {"thumbnail too small", {120}, 1, 1, false},
        {"none", {}, 1, 1, false},
    };
    for (auto codec : {modern_test::HeifCodec::Hevc, modern_test::HeifCodec::Av1}) {
        if (!modern_test::HeifEncoderAvailable(codec)) {
            std::cout << "no " << modern_test::HeifCodecName(codec) << " encoder: skipped\n";
            continue;
        }
        const uint32_t type = codec == modern_test::HeifCodec::Av1 ? 23 : 22;
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(modern_test::HeifCodecName(codec)) + ": " + c.name);
            std::vector<Raster> images;
            for (size_t i = 0; i < c.images; ++i) {
                images.push_back(modern_test::PhotoLike(640, 480, 3, 70 + uint32_t(i)));
            }
            modern_test::HeifShape shape;
            shape.orientation = c.orientation;
            shape.thumbnails = c.thumbnails;
            const auto file = modern_test::EncodeHeif(codec, images, 70, false, shape);
            ASSERT_FALSE(file.bytes.empty()) << file.error;
            for (int frame = 0; frame < int(c.images); ++frame) {
                const Picture got = Preview(file.bytes, frame);
                EXPECT_EQ(got.type_back, type);
                if (!c.has_preview) {
                    EXPECT_EQ(got.result, -1);
                    continue;
                }
                const Reference want = LibheifThumbnail(file.bytes, frame);
                ASSERT_FALSE(want.rgba.empty());
                EXPECT_TRUE(img_test::SameRgba(got, want.rgba, want.width, want.height));
                EXPECT_EQ(std::max(want.width, want.height), uint32_t(c.thumbnails.back()));
                EXPECT_EQ(got.bit_count, 24);
            }
        }
        modern_test::HeifShape shape;
        shape.thumbnails = {200};
        SweepPreviewDamage(
            modern_test::EncodeHeif(codec, {modern_test::PhotoLike(400, 300, 3, 9)}, 70, false,
                                    shape).bytes,
            71);
    }
}

// ---- JPEG 2000: reduced resolution levels -----------------------------------------------------

TEST(PreviewModern, Jpeg2000ReducedLevelMatchesOpenjpeg) {
    struct Case {
        uint32_t width, height, resolutions;
        bool codestream;
        int factor;  // -1: no preview
    } cases[] = {
        {1200, 900, 6, false, 2},  // 300 x 225: the last level still 256 long
        {700, 500, 0, true, 1},    // 350 x 250
        {1024, 768, 3, false, 2},  // exactly 256 x 192
        {2048, 600, 2, false, 1},  // fewer levels than wanted: the smallest there is
        {200, 150, 0, false, 0},   // its own preview
        {300, 220, 4, true, 0},    // a level lower would be under 256
        {1000, 800, 1, false, -1},  // no reduced level at all
    };
    std::mt19937 rng(41);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        img_test::Jp2Picture picture;
        picture.width = c.width, picture.height = c.height;
        picture.resolutions = c.resolutions, picture.codestream = c.codestream;
        picture.lossy = true;
        img_test::FillRandom(picture, rng);
        const std::vector<uint8_t> file = img_test::MakeJp2(picture);
        ASSERT_FALSE(file.empty());
        const Picture got = Preview(file);
        EXPECT_EQ(got.type_back, c.codestream ? 12u : 11u);
        if (c.factor < 0) {
            EXPECT_EQ(got.result, -1);
            continue;
        }
        Reference want;
        ASSERT_TRUE(img_test::Jp2Reference(file, want.rgba, want.width, want.height,
                                           uint32_t(c.factor)));
        EXPECT_TRUE(img_test::SameRgba(got, want.rgba, want.width, want.height));
    }
    img_test::Jp2Picture picture;
    picture.width = 600, picture.height = 400, picture.lossy = true;
    img_test::FillRandom(picture, rng);
    SweepPreviewDamage(img_test::MakeJp2(picture), 42);
}

// ---- Camera RAW: the embedded preview ---------------------------------------------------------

// LibRaw's own thumbnail of the file; a JPEG one decoded by libjpeg at `eighths` / 8.
Reference LibrawThumbnail(const std::vector<uint8_t>& bytes, uint32_t eighths) {
    Reference out;
    LibRaw raw(LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
    std::vector<uint8_t> copy(bytes);
    if (raw.open_buffer(copy.data(), copy.size()) != LIBRAW_SUCCESS ||
        raw.unpack_thumb() != LIBRAW_SUCCESS) {
        return out;
    }
    const libraw_thumbnail_t& t = raw.imgdata.thumbnail;
    const auto* p = reinterpret_cast<const uint8_t*>(t.thumb);
    if (t.tformat == LIBRAW_THUMBNAIL_BITMAP) {
        out = {t.twidth, t.theight, img_test::ToRgba({p, p + t.tlength}, 3)};
    } else if (t.tformat == LIBRAW_THUMBNAIL_JPEG) {
        tjhandle tj = tjInitDecompress();
        int w = 0, h = 0, sub = 0, space = 0;
        tjDecompressHeader3(tj, p, t.tlength, &w, &h, &sub, &space);
        const tjscalingfactor f{int(eighths), 8};
        out.width = uint32_t(TJSCALED(w, f)), out.height = uint32_t(TJSCALED(h, f));
        out.rgba.resize(size_t{out.width} * out.height * 4);
        tjDecompress2(tj, p, t.tlength, out.rgba.data(), int(out.width), 0, int(out.height),
                      TJPF_RGBA, 0);
        tjDestroy(tj);
    }
    return out;
}

// `r` as a viewer shows a picture stored with TIFF orientation 3 (upside down), 6 (its top on the
// right) or 8 (its top on the left).
Reference Oriented(const Reference& r, uint16_t orientation) {
    if (orientation == 1) return r;
    const bool turn = orientation != 3;
    Reference out{turn ? r.height : r.width, turn ? r.width : r.height, {}};
    out.rgba.resize(r.rgba.size());
    for (uint32_t y = 0; y < out.height; ++y) {
        for (uint32_t x = 0; x < out.width; ++x) {
            const uint32_t sx = orientation == 3 ? r.width - 1 - x : orientation == 6 ? y : r.width - 1 - y;
            const uint32_t sy = orientation == 3 ? r.height - 1 - y : orientation == 6 ? r.height - 1 - x : x;
            std::memcpy(&out.rgba[(size_t{y} * out.width + x) * 4], &r.rgba[(size_t{sy} * r.width + sx) * 4], 4);
        }
    }
    return out;
}

TEST(PreviewModern, RawEmbeddedPreviewMatchesLibraw) {
    std::mt19937 rng(51);
    struct Case {
        const char* name;
        uint32_t width, height;
        bool jpeg;
        bool has_preview;
        uint16_t orientation;
    } cases[] = {
        {"JPEG", 400, 300, true, true, 1},   {"JPEG, small picture", 200, 160, true, true, 1},
        {"bitmap", 240, 160, false, true, 1}, {"too small", 120, 90, true, false, 1},
        {"none", 0, 0, false, false, 1},     {"JPEG, camera held upright", 400, 300, true, true, 6},
        {"bitmap, upside down", 240, 160, false, true, 3}, {"bitmap, top left", 240, 160, false, true, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        img_test::DngPreview preview;
        preview.width = c.width, preview.height = c.height, preview.orientation = c.orientation;
        const std::vector<uint8_t> rgb = jpegpng_kit::PhotoLike(c.width, c.height, 3, 5);
        if (c.jpeg) {
            preview.jpeg = jpegpng_kit::WriteJpeg(rgb.data(), c.width, c.height, {});
        } else {
            preview.rgb = rgb;
        }
        const std::vector<uint8_t> dng =
            img_test::MakeDng(320, 240, {}, rng, 4095, c.width ? &preview : nullptr);
        ASSERT_FALSE(dng.empty());
        const Picture got = Preview(dng);
        EXPECT_EQ(got.type_back, 19u);
        if (!c.has_preview) {
            EXPECT_EQ(got.result, -1);
            continue;
        }
        Reference want = LibrawThumbnail(dng, 8);
        ASSERT_FALSE(want.rgba.empty()) << "LibRaw found no thumbnail";
        // A JPEG preview is decoded at the smallest eighth that keeps 256 pixels; a JPEG back
        // end that decodes whole (before it learns scale_eighths) gives the whole thumbnail.
        const uint32_t eighths = PreviewScaleEighths(c.width, c.height);
        if (c.jpeg && got.width * got.height != c.width * c.height) want = LibrawThumbnail(dng, eighths);
        want = Oriented(want, c.orientation);
        EXPECT_TRUE(img_test::SameRgba(got, want.rgba, want.width, want.height));
        EXPECT_EQ(got.bit_count, 24);
        SweepPreviewDamage(dng, 52);
    }
}

// ---- JPEG XL: the preview frame ---------------------------------------------------------------

// libjxl 0.7 writes no preview frame: the file is put together from two of its codestreams,
// the picture's and one of the preview's size, under headers that announce the preview. Both
// must use the default metadata (8-bit sRGB, XYB), whose headers are a single bit each.
class BitWriter {
public:
    void Put(uint32_t value, int bits) {
        for (int i = 0; i < bits; ++i, ++m_bit) {
            if (m_bit % 8 == 0) bytes.push_back(0);
            if (value >> i & 1) bytes.back() |= uint8_t(1 << (m_bit % 8));
        }
    }
    std::vector<uint8_t> bytes;

private:
    size_t m_bit = 0;
};

// Where the frames of a codestream from libjxl start, after its size header and its two
// all-default headers (0: some other layout).
size_t FramesStart(const std::vector<uint8_t>& jxl) {
    size_t bit = 16;
    auto get = [&](int n) {
        uint32_t v = 0;
        for (int i = 0; i < n && bit / 8 < jxl.size(); ++i, ++bit) {
            v |= uint32_t(jxl[bit / 8] >> (bit % 8) & 1) << i;
        }
        return v;
    };
    auto size = [&](bool small) {
        static const int kBits[4] = {9, 13, 18, 30};
        small ? get(5) : get(kBits[get(2)]);
    };
    const bool small = get(1);
    size(small);
    if (get(3) == 0) size(small);
    if (get(1) != 1 || get(1) != 1) return 0;  // image metadata, transform data
    return (bit + 7) / 8;
}

std::vector<uint8_t> JxlWithPreview(const Raster& picture, const Raster& preview) {
    const auto main = modern_test::EncodeJxl({picture}, false);
    const auto small = modern_test::EncodeJxl({preview}, false);
    const size_t main_start = FramesStart(main.bytes), small_start = FramesStart(small.bytes);
    if (main_start == 0 || small_start == 0) return {};
    BitWriter w;
    w.Put(0x0AFF, 16);
    w.Put(0, 1);  // size header, not in eighths
    for (uint32_t side : {picture.height, picture.width}) {
        w.Put(3, 2), w.Put(side - 1, 30);
        if (side == picture.height) w.Put(0, 3);  // no fixed ratio
    }
    w.Put(0, 1), w.Put(1, 1);  // image metadata, with its extra fields
    w.Put(0, 3), w.Put(0, 1);  // orientation 1, no intrinsic size
    w.Put(1, 1), w.Put(0, 1);  // a preview, its size not in eighths
    // U32(BitsOffset(6, 1), BitsOffset(8, 65), BitsOffset(10, 321), BitsOffset(12, 1345))
    auto preview_side = [&](uint32_t side) {
        static const uint32_t kOffsets[4] = {1, 65, 321, 1345};
        static const int kBits[4] = {6, 8, 10, 12};
        uint32_t selector = 0;
        while (selector < 3 && side >= kOffsets[selector + 1]) ++selector;
        w.Put(selector, 2), w.Put(side - kOffsets[selector], kBits[selector]);
    };
    preview_side(preview.height), w.Put(0, 3), preview_side(preview.width);
    w.Put(0, 1);                          // no animation
    w.Put(0, 1), w.Put(0, 2);             // 8-bit integer samples
    w.Put(1, 1), w.Put(0, 2), w.Put(1, 1);  // 16-bit buffers, no extra channel, XYB
    w.Put(1, 1), w.Put(1, 1), w.Put(0, 2);  // sRGB, default tone mapping, no extensions
    w.Put(1, 1);                            // transform data
    std::vector<uint8_t> out = w.bytes;
    out.insert(out.end(), small.bytes.begin() + long(small_start), small.bytes.end());
    out.insert(out.end(), main.bytes.begin() + long(main_start), main.bytes.end());
    return out;
}

// libjxl's decode of the preview frame, as RGBA (nothing when it reports none).
Reference LibjxlPreview(const std::vector<uint8_t>& bytes) {
    Reference out;
    std::unique_ptr<JxlDecoder, void (*)(JxlDecoder*)> d(JxlDecoderCreate(nullptr),
                                                         JxlDecoderDestroy);
    JxlDecoderSubscribeEvents(d.get(), JXL_DEC_BASIC_INFO | JXL_DEC_PREVIEW_IMAGE);
    JxlDecoderSetInput(d.get(), bytes.data(), bytes.size());
    JxlDecoderCloseInput(d.get());
    const JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (;;) {
        const JxlDecoderStatus event = JxlDecoderProcessInput(d.get());
        JxlBasicInfo info;
        if (event == JXL_DEC_BASIC_INFO && JxlDecoderGetBasicInfo(d.get(), &info) == 0) {
            out.width = info.preview.xsize, out.height = info.preview.ysize;
        } else if (event == JXL_DEC_NEED_PREVIEW_OUT_BUFFER) {
            out.rgba.resize(size_t{out.width} * out.height * 4);
            JxlDecoderSetPreviewOutBuffer(d.get(), &format, out.rgba.data(), out.rgba.size());
        } else if (event != JXL_DEC_PREVIEW_IMAGE) {
            out.rgba.clear();
            return out;
        } else {
            return out;
        }
    }
}

TEST(PreviewModern, JxlPreviewFrameMatchesLibjxl) {
    struct Case {
        uint32_t width, height, preview_width, preview_height;
        bool has_preview;
    } cases[] = {{512, 384, 256, 192, true}, {300, 500, 180, 300, true},
                 {400, 300, 120, 90, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.preview_width) + "x" + std::to_string(c.preview_height));
        const auto file = JxlWithPreview(modern_test::PhotoLike(c.width, c.height, 3, 61),
                                         modern_test::PhotoLike(c.preview_width,
                                                                c.preview_height, 3, 62));
        ASSERT_FALSE(file.empty());
        const Reference want = LibjxlPreview(file);
        ASSERT_FALSE(want.rgba.empty()) << "libjxl finds no preview";
        // The picture itself still reads.
        EXPECT_EQ(img_test::Decode(file).width, c.width);
        const Picture got = Preview(file);
        EXPECT_EQ(got.type_back, 24u);
        if (!c.has_preview) {
            EXPECT_EQ(got.result, -1);
            continue;
        }
        EXPECT_TRUE(img_test::SameRgba(got, want.rgba, want.width, want.height));
        SweepPreviewDamage(file, 63);
    }
    const auto plain = modern_test::EncodeJxl({modern_test::PhotoLike(400, 300, 3, 64)}, false);
    EXPECT_EQ(Preview(plain.bytes).result, -1);
}

}  // namespace
