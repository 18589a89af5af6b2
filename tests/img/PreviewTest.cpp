// GetPreview through the built module: JPEG's EXIF thumbnail (ExifWriter.h) or reduced decode,
// TIFF's reduced pages, SubIFDs and JPEG thumbnails, PSD's thumbnail resource; each against
// TurboJPEG's or libtiff's own decode of the embedded picture. -1 where a file holds none;
// damaged thumbnails give -1 or the reduced decode, never a crash.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <turbojpeg.h>

#include <filesystem>
#include <random>
#include <string>

#include "CxImage.h"
#include "ExifWriter.h"
#include "ImgTestSupport.h"
#include "JpegPngKit.h"
#include "OwnWriters.h"
#include "TestSupport.h"

int FuzzImgPreview(const uint8_t* data, size_t size);  // fuzz/img_fuzzer.cpp

namespace {

using img_test::Picture;
using img_test::Preview;
using Bytes = std::vector<uint8_t>;

Bytes Jpeg(uint32_t width, uint32_t height, uint32_t seed, Bytes app1 = {}, bool grey = false) {
    jpegpng_kit::JpegOptions options;
    options.layout = grey ? jpegpng_kit::JpegLayout::Grey : jpegpng_kit::JpegLayout::Baseline420;
    options.app1 = std::move(app1);
    const Bytes pixels = jpegpng_kit::PhotoLike(width, height, grey ? 1 : 3, seed);
    return jpegpng_kit::WriteJpeg(pixels.data(), width, height, options);
}

Bytes Exif(const Bytes& thumb, int64_t offset = -1, int64_t length = -1, int64_t ifd1 = -1,
           bool big_endian = false) {
    img_test::ExifSpec recipe;
    recipe.thumbnail = thumb, recipe.offset = offset, recipe.length = length;
    recipe.ifd1_offset = ifd1, recipe.big_endian = big_endian;
    return img_test::ExifApp1(recipe);
}

// TurboJPEG's decode at `eighths`/8 as top-down RGBA; `swap` exchanges red and blue.
struct Reference {
    uint32_t width = 0, height = 0;
    Bytes rgba;
};
Reference Turbo(const Bytes& jpeg, int eighths = 8, bool swap = false) {
    Reference ref;
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, subsamp = 0, space = 0;
    auto* src = const_cast<unsigned char*>(jpeg.data());
    const auto size = static_cast<unsigned long>(jpeg.size());
    EXPECT_EQ(tjDecompressHeader3(tj, src, size, &w, &h, &subsamp, &space), 0);
    ref.width = static_cast<uint32_t>(TJSCALED(w, (tjscalingfactor{eighths, 8})));
    ref.height = static_cast<uint32_t>(TJSCALED(h, (tjscalingfactor{eighths, 8})));
    const int channels = space == TJCS_GRAY ? 1 : 3;
    Bytes pixels(size_t{ref.width} * ref.height * static_cast<size_t>(channels));
    EXPECT_EQ(tjDecompress2(tj, src, size, pixels.data(), int(ref.width), 0, int(ref.height),
                            channels == 1 ? TJPF_GRAY : TJPF_RGB, 0),
              0);
    tjDestroy(tj);
    ref.rgba = img_test::ToRgba(pixels, channels);
    for (size_t i = 0; swap && i < ref.rgba.size(); i += 4) std::swap(ref.rgba[i], ref.rgba[i + 2]);
    return ref;
}

::testing::AssertionResult Shows(const Picture& got, const Reference& want) {
    return img_test::SameRgba(got, want.rgba, want.width, want.height);
}

// The smallest N/8 whose long side is at least 256, counted here, not taken from the plug-in.
int RuleEighths(const Bytes& jpeg) {
    const Reference whole = Turbo(jpeg);
    for (int n = 1; n < 8; ++n) {
        if ((std::max(whole.width, whole.height) * n + 7) / 8 >= 256) return n;
    }
    return 8;
}

TEST(Preview, JpegThumbnailOrScaledDecode) {
    const Bytes thumb = Jpeg(200, 150, 1), small = Jpeg(120, 90, 2),
                cut(thumb.begin(), thumb.begin() + 20);
    const Bytes grey160 = Jpeg(90, 160, 3, {}, true), long159 = Jpeg(159, 100, 4);
    Bytes bad_header = thumb;
    bad_header[3] = 0;  // the first marker's length
    const struct {
        const char* name;
        Bytes file;
        const Bytes* thumb;  // the thumbnail shown; null: the picture at the rule's scale
    } cases[] = {
        {"qualifying thumbnail", Jpeg(1600, 1200, 5, Exif(thumb)), &thumb},
        {"big-endian EXIF", Jpeg(1600, 1200, 5, Exif(thumb, -1, -1, -1, true)), &thumb},
        {"grey thumbnail, long side 160", Jpeg(1000, 1600, 5, Exif(grey160)), &grey160},
        {"thumbnail too small", Jpeg(1600, 1200, 5, Exif(small)), nullptr},
        {"long side 159", Jpeg(1600, 1200, 5, Exif(long159)), nullptr},
        {"no EXIF, 2/8", Jpeg(1600, 1200, 6), nullptr},
        {"8/8 at 257", Jpeg(257, 40, 7), nullptr},
        {"small picture, whole", Jpeg(200, 100, 8), nullptr},
        {"grey picture, 1/8", Jpeg(2049, 700, 9, {}, true), nullptr},
        {"odd size, 3/8", Jpeg(683, 331, 10), nullptr},
        // Damaged thumbnails are passed over for the reduced decode.
        {"offset past the segment", Jpeg(1200, 900, 12, Exif(thumb, 1 << 20)), nullptr},
        {"length overruns by one", Jpeg(1200, 900, 12, Exif(thumb, -1, thumb.size() + 1)), nullptr},
        {"offset + length wraps", Jpeg(1200, 900, 12, Exif(thumb, 0xFFFFFFF0u)), nullptr},
        {"length too short", Jpeg(1200, 900, 12, Exif(thumb, -1, 3)), nullptr},
        {"IFD1 past the end", Jpeg(1200, 900, 12, Exif(thumb, -1, -1, 0xFFFF)), nullptr},
        {"IFD1 is IFD0", Jpeg(1200, 900, 12, Exif(thumb, -1, -1, 8)), nullptr},
        {"no JPEG", Jpeg(1200, 900, 12, Exif(Bytes(thumb.size(), 0x5A))), nullptr},
        {"header broken", Jpeg(1200, 900, 12, Exif(bad_header)), nullptr},
        {"header cut", Jpeg(1200, 900, 12, Exif(cut)), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Picture got = Preview(c.file);
        EXPECT_EQ(got.type_back, 3u);
        EXPECT_TRUE(Shows(got, c.thumb ? Turbo(*c.thumb) : Turbo(c.file, RuleEighths(c.file))));
    }
    EXPECT_EQ(Preview(cases[0].file, 1).result, -1);  // one frame: no preview beyond it
}

// The codec layer's N/8 request, which the RAW previews use too: TurboJPEG's sizes and pixels.
TEST(Preview, JpegBackendDecodesAtScaleEighths) {
    const Bytes file = Jpeg(301, 97, 13);
    for (uint32_t n = 1; n <= 8; ++n) {
        DecodeRequest request;
        request.scale_eighths = n;
        request.jpeg_scale = 8;  // overruled
        DibCanvas canvas;
        DecodeResult result;
        ASSERT_EQ(CxImage::BackendFor(3)->Decode(file.data(), file.size(), request, canvas, result),
                  CodecStatus::Ok);
        const Reference want = Turbo(file, static_cast<int>(n));
        ASSERT_EQ(canvas.Width() * 1000 + canvas.Height(), want.width * 1000 + want.height) << n;
        for (size_t i = 0; i < want.rgba.size() / 4; ++i) {
            const uint8_t* bgr =
                canvas.Row(static_cast<uint32_t>(i / want.width)) + i % want.width * 3;
            const uint8_t* rgba = &want.rgba[i * 4];
            ASSERT_TRUE(bgr[0] == rgba[2] && bgr[1] == rgba[1] && bgr[2] == rgba[0])
                << n << " " << i;
        }
    }
}

// libtiff's writer: random RGB directories, each with a NewSubfileType; a directory with
// `sub_ifds` makes the next ones written its SubIFDs.
struct Dir {
    uint32_t width, height, subfile = 0;
    uint16_t sub_ifds = 0;
};

Bytes WriteTiff(const std::vector<Dir>& dirs) {
    const std::string path = testing_support::MakeTempDir() + "/t.tif";
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    std::mt19937 rng(17);
    for (const Dir& d : dirs) {
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, d.subfile);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, d.width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, d.height);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        const std::vector<toff_t> placeholders(d.sub_ifds, 0);
        if (d.sub_ifds) TIFFSetField(tif, TIFFTAG_SUBIFD, d.sub_ifds, placeholders.data());
        Bytes row(size_t{d.width} * 3);
        for (uint32_t y = 0; y < d.height; ++y) {
            for (uint8_t& b : row) b = static_cast<uint8_t>(rng());
            TIFFWriteScanline(tif, row.data(), y, 0);
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
    Bytes out;
    EXPECT_TRUE(testing_support::ReadWholeFile(path, out));
    return out;
}

// libtiff's own RGBA read of page `page`, or of its SubIFD `sub`.
Reference Libtiff(const Bytes& bytes, int page, int sub = -1) {
    const std::string path = testing_support::MakeTempDir() + "/r.tif";
    EXPECT_TRUE(testing_support::WriteWholeFile(path, bytes));
    Reference ref;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    uint16_t n = 0;
    toff_t* offsets = nullptr;
    EXPECT_TRUE(TIFFSetDirectory(tif, static_cast<tdir_t>(page)));
    if (sub >= 0) {
        EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_SUBIFD, &n, &offsets) && sub < n &&
                    TIFFSetSubDirectory(tif, offsets[sub]));
    }
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &ref.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &ref.height);
    std::vector<uint32_t> raster(size_t{ref.width} * ref.height);
    EXPECT_TRUE(TIFFReadRGBAImageOriented(tif, ref.width, ref.height, raster.data(),
                                          ORIENTATION_TOPLEFT, 0));
    TIFFClose(tif);
    for (const uint32_t v : raster) {
        ref.rgba.insert(ref.rgba.end(),
                        {uint8_t(TIFFGetR(v)), uint8_t(TIFFGetG(v)), uint8_t(TIFFGetB(v)), 255});
    }
    return ref;
}

TEST(Preview, TiffReducedPagesSubIfdsAndJpegThumbnails) {
    using img_test::AppendJpegIfd;
    const Bytes sub_ifds =
        WriteTiff({{800, 600, 0, 3}, {400, 300, 1}, {200, 150, 1}, {100, 75, 1}});
    const Bytes chain =
        WriteTiff({{640, 480}, {320, 240, 1}, {170, 120, 1}, {600, 400}, {100, 80, 1}, {500, 500}});
    const Bytes plain = WriteTiff({{300, 200}});
    const Bytes thumb = Jpeg(240, 180, 21);
    EXPECT_TRUE(Shows(Preview(sub_ifds), Libtiff(sub_ifds, 0, 1)));  // 200x150 of three
    EXPECT_TRUE(Shows(Preview(chain), Libtiff(chain, 2)));           // 170x120 after page 0
    EXPECT_TRUE(Shows(Preview(AppendJpegIfd(plain, thumb)), Turbo(thumb)));
    // Both kinds for one page: the smaller qualifying one.
    EXPECT_TRUE(
        Shows(Preview(AppendJpegIfd(WriteTiff({{900, 900}, {300, 300, 1}}), thumb)), Turbo(thumb)));
    EXPECT_EQ(Preview(chain).type_back, 6u);

    // No preview: a page followed by a reduced page too small, the last page, no such page, a
    // plain file, JPEG thumbnails too small or damaged.
    const Bytes none[] = {chain,
                          chain,
                          chain,
                          plain,
                          AppendJpegIfd(plain, Jpeg(100, 60, 22)),
                          AppendJpegIfd(plain, thumb, 1 << 24),
                          AppendJpegIfd(plain, thumb, -1, 1 << 24),
                          AppendJpegIfd(plain, thumb, 0xFFFFFFFF, 2),
                          AppendJpegIfd(plain, Bytes(thumb.size(), 0x33)),
                          AppendJpegIfd(plain, Bytes(thumb.begin(), thumb.begin() + 20))};
    const int32_t frames[] = {3, 5, 6};
    for (size_t i = 0; i < std::size(none); ++i) {
        EXPECT_EQ(Preview(none[i], i < 3 ? frames[i] : 0).result, -1) << i;
    }
    // SubIFD offsets past the end: no preview.
    Bytes bent = sub_ifds;
    for (size_t at = 8; at + 12 < bent.size(); at += 2) {
        const uint32_t head = img_test::Le32(bent, at);
        if (head == 0x0004014A || head == 0x000D014A) img_test::PutLe32(bent, at + 8, 0x7FFFFFF0);
    }
    EXPECT_EQ(Preview(bent).result, -1);
}

// A thumbnail resource (1036 or 1033): format 1 (JPEG), sizes, 24 bits, 1 plane, the JFIF data.
Bytes AddPsdThumbnail(Bytes psd, uint16_t id, const Bytes& jpeg, uint32_t w, uint32_t h,
                      uint32_t compressed = 0) {
    auto be32 = [&](size_t at) {
        return uint32_t{psd[at]} << 24 | psd[at + 1] << 16 | psd[at + 2] << 8 | psd[at + 3];
    };
    const size_t length_at = 30 + be32(26);
    const uint32_t resources = be32(length_at);
    Bytes block = {'8', 'B', 'I', 'M', uint8_t(id >> 8), uint8_t(id), 0, 0};
    const uint32_t row = (w * 24 + 31) / 32 * 4;
    own_writers::PutU32BE(block, static_cast<uint32_t>(28 + jpeg.size()));
    for (const uint32_t v :
         {1u, w, h, row, row * h, compressed ? compressed : uint32_t(jpeg.size()), 0x180001u}) {
        own_writers::PutU32BE(block, v);
    }
    block.insert(block.end(), jpeg.begin(), jpeg.end());
    if (block.size() & 1) block.push_back(0);
    psd.insert(psd.begin() + static_cast<long>(length_at + 4 + resources), block.begin(),
               block.end());
    const uint32_t grown = resources + static_cast<uint32_t>(block.size());
    for (int i = 0; i < 4; ++i) psd[length_at + i] = static_cast<uint8_t>(grown >> (24 - 8 * i));
    return psd;
}

TEST(Preview, PsdThumbnailResourceAndFormatsWithout) {
    own_writers::PsdSpec recipe;
    recipe.width = 64, recipe.height = 48, recipe.dpi = 150;
    recipe.planes.assign(3, std::vector<uint16_t>(64 * 48, 90));
    const Bytes psd = own_writers::WritePsd(recipe);
    const Bytes thumb = Jpeg(160, 120, 31), small = Jpeg(159, 119, 32);
    const Picture shown = Preview(AddPsdThumbnail(psd, 1036, thumb, 160, 120));
    EXPECT_TRUE(Shows(shown, Turbo(thumb)));
    EXPECT_EQ(shown.type_back, 20u);
    EXPECT_EQ(shown.x_ppm, 5906);  // the document's 150 dpi
    EXPECT_TRUE(Shows(Preview(AddPsdThumbnail(psd, 1033, thumb, 160, 120)), Turbo(thumb, 8, true)));
    // 1036 before 1033, wherever it stands.
    EXPECT_TRUE(Shows(Preview(AddPsdThumbnail(AddPsdThumbnail(psd, 1036, thumb, 160, 120), 1033,
                                              small, 159, 119)),
                      Turbo(thumb)));
    jpegpng_kit::PngSpec png;
    png.width = png.height = 400;
    png.samples.assign(400 * 400 * 3, 7);
    const Bytes none[] = {
        psd,
        AddPsdThumbnail(psd, 1036, small, 159, 119),
        AddPsdThumbnail(psd, 1036, thumb, 160, 120, 1 << 20),     // size overruns the resource
        AddPsdThumbnail(psd, 1036, Bytes(3000, 0x77), 160, 120),  // no JPEG
        jpegpng_kit::WritePng(png),
        own_writers::WriteQoi(300, 300, 3, Bytes(300 * 300 * 4, 1))};
    for (const Bytes& file : none) EXPECT_EQ(Preview(file).result, -1);
}

// The fuzz target's preview mode over the samples and files with each kind of preview, cut and
// with bytes changed (frames 0 to 3, detected and asked-for types). It aborts on a DIB handed
// out with a failure, or one that cannot be split.
TEST(Preview, FuzzTargetOverSamplesAndDamagedPreviews) {
    std::vector<Bytes> files;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(ZEM_SOURCE_DIR) + "/samples")) {
        files.emplace_back();
        EXPECT_TRUE(testing_support::ReadWholeFile(entry.path().string(), files.back()))
            << entry.path();
    }
    // samples/ alone holds 36 files: fewer means that the folder was not all read.
    EXPECT_GE(files.size(), 36u);
    own_writers::PsdSpec recipe;
    recipe.width = recipe.height = 8;
    recipe.planes.assign(3, std::vector<uint16_t>(64, 1));
    files.push_back(Jpeg(400, 300, 40, Exif(Jpeg(160, 120, 41))));
    files.push_back(img_test::AppendJpegIfd(
        WriteTiff({{300, 300, 0, 1}, {200, 200, 1}, {180, 180, 1}}), Jpeg(170, 20, 42)));
    files.push_back(AddPsdThumbnail(own_writers::WritePsd(recipe), 1036, Jpeg(170, 20, 42), 170, 20));
    std::mt19937 rng(43);
    for (const Bytes& file : files) {
        for (int round = 0; round < 60 && file.size() > 1; ++round) {
            Bytes damaged(file.begin(),
                          file.begin() + static_cast<long>(round < 20 ? rng() % file.size() + 1
                                                                      : file.size()));
            for (int k = round >= 20 ? 1 + int(rng() % 4) : 0; k > 0; --k)
                damaged[rng() % damaged.size()] = uint8_t(rng());
            damaged.push_back(static_cast<uint8_t>(round % 4));           // the frame
            damaged.push_back(static_cast<uint8_t>(round & 8 ? 1 : 12));  // detect, or TIFF
            FuzzImgPreview(damaged.data(), damaged.size());
        }
    }
}

}  // namespace
