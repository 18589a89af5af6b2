// GetPreview through the built module: the EXIF thumbnails of JPEG and TIFF (written by the small
// EXIF writer of ExifWriter.h), JPEG's reduced decode, TIFF's reduced pages and SubIFDs, PSD's
// thumbnail resource; each against the library's own decode of the embedded picture (TurboJPEG,
// libtiff). -1 where a file holds no such picture; damaged thumbnails never crash.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <turbojpeg.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "CxImage.h"
#include "DibImage.h"
#include "ExifWriter.h"
#include "ImgTestSupport.h"
#include "JpegPngKit.h"
#include "OwnWriters.h"
#include "TestSupport.h"

int FuzzImgPreview(const uint8_t* data, size_t size);  // fuzz/img_fuzzer.cpp

namespace {

using img_test::Picture;
using Bytes = std::vector<uint8_t>;

// GetPreview from memory as a host calls it, frame at byte 48 of the request block.
Picture Preview(const Bytes& bytes, int32_t frame = 0) {
    Picture out;
    PictureRequestBlock block{};
    std::memcpy(block.tag, "zem", 3);
    block.field48 = frame;
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

Bytes Jpeg(uint32_t width, uint32_t height, uint32_t seed, Bytes app1 = {}, bool grey = false) {
    jpegpng_kit::JpegOptions options;
    options.layout = grey ? jpegpng_kit::JpegLayout::Grey : jpegpng_kit::JpegLayout::Baseline420;
    options.app1 = std::move(app1);
    const Bytes pixels = jpegpng_kit::PhotoLike(width, height, grey ? 1 : 3, seed);
    return jpegpng_kit::WriteJpeg(pixels.data(), width, height, options);
}

Bytes WithThumbnail(uint32_t width, uint32_t height, const Bytes& thumb, bool big = false) {
    img_test::ExifSpec spec;
    spec.thumbnail = thumb;
    spec.big_endian = big;
    return Jpeg(width, height, 5, img_test::ExifApp1(spec));
}

// TurboJPEG's decode at `eighths`/8 as RGBA; `swap` exchanges red and blue.
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
    const tjscalingfactor f{eighths, 8};
    ref.width = static_cast<uint32_t>(TJSCALED(w, f));
    ref.height = static_cast<uint32_t>(TJSCALED(h, f));
    const int channels = space == TJCS_GRAY ? 1 : 3;
    Bytes pixels(size_t{ref.width} * ref.height * static_cast<size_t>(channels));
    EXPECT_EQ(tjDecompress2(tj, src, size, pixels.data(), static_cast<int>(ref.width), 0,
                            static_cast<int>(ref.height), channels == 1 ? TJPF_GRAY : TJPF_RGB, 0),
              0);
    tjDestroy(tj);
    ref.rgba = img_test::ToRgba(pixels, channels);
    if (swap) {
        for (size_t i = 0; i < ref.rgba.size(); i += 4) std::swap(ref.rgba[i], ref.rgba[i + 2]);
    }
    return ref;
}

::testing::AssertionResult Shows(const Picture& got, const Reference& want) {
    return img_test::SameRgba(got, want.rgba, want.width, want.height);
}

// The picture at the scale of the preview rules: the smallest N/8 whose long side is at least
// 256, counted here rather than taken from the plug-in's header.
int RuleEighths(uint32_t w, uint32_t h) {
    for (int n = 1; n < 8; ++n) {
        if ((std::max(w, h) * n + 7) / 8 >= 256) return n;
    }
    return 8;
}

TEST(Preview, JpegThumbnailOrScaledDecode) {
    const Bytes big_thumb = Jpeg(200, 150, 1), small_thumb = Jpeg(120, 90, 2);
    const Bytes edge_thumb = Jpeg(90, 160, 3, {}, true), short_thumb = Jpeg(159, 100, 4);
    struct Case {
        const char* name;
        Bytes file;
        const Bytes* thumb;  // the thumbnail that must be shown; null: the scaled picture
    } cases[] = {
        {"qualifying thumbnail", WithThumbnail(1600, 1200, big_thumb), &big_thumb},
        {"big-endian EXIF", WithThumbnail(1600, 1200, big_thumb, true), &big_thumb},
        {"grey thumbnail, long side 160", WithThumbnail(1000, 1600, edge_thumb), &edge_thumb},
        {"thumbnail too small", WithThumbnail(1600, 1200, small_thumb), nullptr},
        {"long side 159", WithThumbnail(1600, 1200, short_thumb), nullptr},
        {"no EXIF", Jpeg(1600, 1200, 6), nullptr},
        {"no thumbnail, 8/8 at 257", Jpeg(257, 40, 7), nullptr},
        {"small picture, whole", Jpeg(200, 100, 8), nullptr},
        {"grey picture", Jpeg(2049, 700, 9, {}, true), nullptr},
        {"odd size, 3/8", Jpeg(683, 331, 10), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Picture got = Preview(c.file);
        EXPECT_EQ(got.type_back, 3u);
        if (c.thumb) {
            EXPECT_TRUE(Shows(got, Turbo(*c.thumb)));
        } else {
            const Reference whole = Turbo(c.file);
            EXPECT_TRUE(Shows(got, Turbo(c.file, RuleEighths(whole.width, whole.height))));
        }
    }
    // A JPEG has one frame: beyond it there is no preview, and the host's picture read fails.
    EXPECT_EQ(Preview(Jpeg(300, 300, 11), 1).result, -1);
}

// A thumbnail that is damaged, or no JPEG, is passed over: the preview is the reduced decode.
TEST(Preview, DamagedJpegThumbnailsFallBackToTheScaledPicture) {
    const Bytes thumb = Jpeg(200, 150, 1);
    Bytes cut(thumb.begin(), thumb.begin() + static_cast<long>(thumb.size() / 3));
    Bytes not_jpeg(thumb.size(), 0x5A);
    Bytes bad_header = thumb;
    bad_header[3] = 0x00;  // the first marker's length breaks the header
    auto spec = [&](const Bytes& t) {
        img_test::ExifSpec s;
        s.thumbnail = t;
        return s;
    };
    std::vector<img_test::ExifSpec> specs(9, spec(thumb));
    specs[0].offset = 1 << 20;                         // past the segment
    specs[1].length = thumb.size() + 1;                // overruns it by one
    specs[2].offset = 0xFFFFFFF0u;                     // offset + length wraps 32 bits
    specs[3] = spec(not_jpeg);
    specs[4].ifd1_offset = 0xFFFF;                     // IFD1 past the end
    specs[5].ifd1_offset = 8;                          // IFD1 is IFD0: a loop
    specs[6] = spec(bad_header);
    specs[7].length = 3;                               // too short for a JPEG
    specs[8] = spec(cut);                              // cut short: decoded as far as it goes
    for (size_t i = 0; i < specs.size(); ++i) {
        SCOPED_TRACE(i);
        const Bytes file = Jpeg(1200, 900, 12, img_test::ExifApp1(specs[i]));
        const Picture got = Preview(file);
        if (i == 8) {  // libjpeg fills what is missing; the thumbnail's size stands
            EXPECT_EQ(got.result, 0);
            EXPECT_EQ(got.width, 200u);
            continue;
        }
        EXPECT_TRUE(Shows(got, Turbo(file, RuleEighths(1200, 900))));
    }
    // Every cut of a file with a thumbnail: a code or a picture, never a crash.
    const Bytes file = WithThumbnail(640, 480, thumb);
    for (size_t n = 1; n < file.size(); n += 97) {
        const Picture got = Preview(Bytes(file.begin(), file.begin() + static_cast<long>(n)));
        EXPECT_TRUE(got.result == 0 || got.result == -1 || got.result == 2 || got.result == 3)
            << n << ": " << got.result;
    }
}

// The codec layer's N/8 request, which the RAW previews use as well: libjpeg's own N/8 sizes and
// pixels for every N.
TEST(Preview, JpegBackendDecodesAtScaleEighths) {
    const Bytes file = Jpeg(301, 97, 13);
    const CodecBackend* jpeg = CxImage::BackendFor(3);
    ASSERT_NE(jpeg, nullptr);
    for (uint32_t n = 1; n <= 8; ++n) {
        SCOPED_TRACE(n);
        DecodeRequest request;
        request.scale_eighths = n;
        request.jpeg_scale = 8;  // overruled
        DibCanvas canvas;
        DecodeResult result;
        ASSERT_EQ(jpeg->Decode(file.data(), file.size(), request, canvas, result), CodecStatus::Ok);
        const Reference want = Turbo(file, static_cast<int>(n));
        ASSERT_EQ(canvas.Width(), want.width);
        ASSERT_EQ(canvas.Height(), want.height);
        for (uint32_t y = 0; y < want.height; ++y) {
            const uint8_t* row = canvas.Row(y);
            for (uint32_t x = 0; x < want.width; ++x) {
                const uint8_t* w = &want.rgba[(size_t{y} * want.width + x) * 4];
                ASSERT_TRUE(row[x * 3] == w[2] && row[x * 3 + 1] == w[1] && row[x * 3 + 2] == w[0])
                    << x << "," << y;
            }
        }
    }
}

// ---- TIFF ---------------------------------------------------------------------------------

// One directory as libtiff writes it: random RGB, NewSubfileType, and the number of SubIFDs
// that the directories written next become.
struct Dir {
    uint32_t width, height;
    uint32_t subfile = 0;
    uint16_t sub_ifds = 0;
};

Bytes WriteTiff(const std::vector<Dir>& dirs) {
    const std::string path = testing_support::MakeTempDir() + "/t.tif";
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tif, nullptr);
    std::mt19937 rng(17);
    for (const Dir& d : dirs) {
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, d.subfile);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, d.width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, d.height);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        if (d.sub_ifds) {
            std::vector<toff_t> placeholders(d.sub_ifds, 0);
            TIFFSetField(tif, TIFFTAG_SUBIFD, d.sub_ifds, placeholders.data());
        }
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
    EXPECT_TRUE(tif && TIFFSetDirectory(tif, static_cast<tdir_t>(page)));
    if (sub >= 0) {
        uint16_t n = 0;
        toff_t* offsets = nullptr;
        EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_SUBIFD, &n, &offsets) && sub < n);
        EXPECT_TRUE(TIFFSetSubDirectory(tif, offsets[sub]));
    }
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &ref.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &ref.height);
    std::vector<uint32_t> raster(size_t{ref.width} * ref.height);
    EXPECT_TRUE(TIFFReadRGBAImageOriented(tif, ref.width, ref.height, raster.data(),
                                          ORIENTATION_TOPLEFT, 0));
    TIFFClose(tif);
    for (const uint32_t v : raster) {
        ref.rgba.insert(ref.rgba.end(), {static_cast<uint8_t>(TIFFGetR(v)),
                                         static_cast<uint8_t>(TIFFGetG(v)),
                                         static_cast<uint8_t>(TIFFGetB(v)), 255});
    }
    return ref;
}

using img_test::AppendJpegIfd;
using img_test::Le32;
using img_test::PutLe32;

TEST(Preview, TiffReducedPagesSubIfdsAndJpegThumbnails) {
    const Bytes sub_ifds = WriteTiff({{800, 600, 0, 3}, {400, 300, 1}, {200, 150, 1}, {100, 75, 1}});
    const Bytes chain = WriteTiff({{640, 480}, {320, 240, 1}, {170, 120, 1}, {600, 400},
                                   {100, 80, 1}, {500, 500}});
    const Bytes plain = WriteTiff({{300, 200}});
    const Bytes thumb = Jpeg(240, 180, 21), tiny = Jpeg(100, 60, 22);
    const Bytes with_jpeg = AppendJpegIfd(plain, thumb);
    // Both kinds for one page: the smaller qualifying one, the JPEG here.
    const Bytes both = AppendJpegIfd(WriteTiff({{900, 900}, {300, 300, 1}}), thumb);

    EXPECT_TRUE(Shows(Preview(sub_ifds), Libtiff(sub_ifds, 0, 1)));  // 200x150 of three
    EXPECT_TRUE(Shows(Preview(chain), Libtiff(chain, 2)));           // 170x120 after page 0
    EXPECT_EQ(Preview(chain, 3).result, -1);  // only 100x80 follows page 3
    EXPECT_EQ(Preview(chain, 5).result, -1);  // the last page, none after it
    EXPECT_EQ(Preview(chain, 6).result, -1);  // no such page
    EXPECT_EQ(Preview(plain).result, -1);
    EXPECT_TRUE(Shows(Preview(with_jpeg), Turbo(thumb)));
    EXPECT_TRUE(Shows(Preview(both), Turbo(thumb)));
    EXPECT_EQ(Preview(with_jpeg).type_back, 6u);

    // Damaged or small JPEG thumbnails: no preview, whatever the damage.
    const Bytes damaged[] = {
        AppendJpegIfd(plain, tiny),                        // too small
        AppendJpegIfd(plain, thumb, 1 << 24),              // offset past the end
        AppendJpegIfd(plain, thumb, -1, 1 << 24),          // length overruns
        AppendJpegIfd(plain, thumb, 0xFFFFFFFF, 2),        // offset + length wraps
        AppendJpegIfd(plain, Bytes(thumb.size(), 0x33)),   // no JPEG
        AppendJpegIfd(plain, Bytes(thumb.begin(), thumb.begin() + 20)),  // header cut
    };
    for (const Bytes& file : damaged) EXPECT_EQ(Preview(file).result, -1);

    // SubIFD offsets that point anywhere, and every cut: a code, never a crash.
    Bytes bent = sub_ifds;
    int bent_entries = 0;
    for (size_t at = 8; at + 12 < bent.size(); at += 2) {
        const uint32_t head = Le32(bent, at);
        if (head == 0x0004014A || head == 0x000D014A) {  // tag 330, LONG or IFD
            PutLe32(bent, at + 8, 0x7FFFFFF0);
            ++bent_entries;
        }
    }
    ASSERT_EQ(bent_entries, 1);
    EXPECT_NE(Preview(bent).result, 0);
    for (const Bytes* file : {&sub_ifds, &with_jpeg}) {
        for (size_t n = 1; n < file->size(); n += file->size() / 53 + 1) {
            const int32_t r = Preview(Bytes(file->begin(), file->begin() + static_cast<long>(n))).result;
            EXPECT_TRUE(r == 0 || r == -1 || r == 2 || r == 3) << n << ": " << r;
        }
    }
}

// ---- PSD and the formats without previews --------------------------------------------------

uint32_t Be32(const Bytes& b, size_t at) {
    return uint32_t{b[at]} << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}

// A thumbnail resource (1036 or 1033): format 1 (JPEG), sizes, 24 bits, 1 plane, the JFIF data.
Bytes AddPsdThumbnail(Bytes psd, uint16_t id, const Bytes& jpeg, uint32_t w, uint32_t h,
                      int64_t compressed = -1) {
    const size_t colour = Be32(psd, 26);
    const size_t length_at = 30 + colour;
    const uint32_t resources = Be32(psd, length_at);
    Bytes block = {'8', 'B', 'I', 'M'};
    own_writers::PutU16BE(block, id);
    block.insert(block.end(), {0, 0});
    Bytes data;
    const uint32_t row = (w * 24 + 31) / 32 * 4;
    for (const uint32_t v : {1u, w, h, row, row * h,
                             compressed >= 0 ? static_cast<uint32_t>(compressed)
                                             : static_cast<uint32_t>(jpeg.size())}) {
        own_writers::PutU32BE(data, v);
    }
    own_writers::PutU16BE(data, 24);
    own_writers::PutU16BE(data, 1);
    data.insert(data.end(), jpeg.begin(), jpeg.end());
    own_writers::PutU32BE(block, static_cast<uint32_t>(data.size()));
    block.insert(block.end(), data.begin(), data.end());
    if (data.size() & 1) block.push_back(0);
    psd.insert(psd.begin() + static_cast<long>(length_at + 4 + resources), block.begin(),
               block.end());
    const uint32_t grown = resources + static_cast<uint32_t>(block.size());
    for (int i = 0; i < 4; ++i) psd[length_at + i] = static_cast<uint8_t>(grown >> (24 - 8 * i));
    return psd;
}

TEST(Preview, PsdThumbnailResourceAndFormatsWithout) {
    own_writers::PsdSpec spec;
    spec.width = 64, spec.height = 48, spec.dpi = 150;
    spec.planes.assign(3, std::vector<uint16_t>(64 * 48, 90));
    const Bytes psd = own_writers::WritePsd(spec);
    const Bytes thumb = Jpeg(160, 120, 31), small = Jpeg(159, 119, 32);
    EXPECT_TRUE(Shows(Preview(AddPsdThumbnail(psd, 1036, thumb, 160, 120)), Turbo(thumb)));
    EXPECT_TRUE(Shows(Preview(AddPsdThumbnail(psd, 1033, thumb, 160, 120)), Turbo(thumb, 8, true)));
    // 1036 is taken before 1033, wherever it stands.
    const Bytes two = AddPsdThumbnail(AddPsdThumbnail(psd, 1036, thumb, 160, 120), 1033, small, 159, 119);
    EXPECT_TRUE(Shows(Preview(two), Turbo(thumb)));
    const Picture shown = Preview(AddPsdThumbnail(psd, 1036, thumb, 160, 120));
    EXPECT_EQ(shown.type_back, 20u);
    EXPECT_EQ(shown.dib.size() > 28 ? Le32(shown.dib, 24) : 0u, 5906u);  // 150 dpi in pels/metre

    const Bytes none[] = {
        psd,
        AddPsdThumbnail(psd, 1036, small, 159, 119),            // below 160
        AddPsdThumbnail(psd, 1036, thumb, 160, 120, 1 << 20),   // size overruns the resource
        AddPsdThumbnail(psd, 1036, Bytes(3000, 0x77), 160, 120),  // no JPEG
        img_test::ToRgba({1, 2, 3}, 3),                         // not a picture at all
    };
    for (const Bytes& file : none) EXPECT_NE(Preview(file).result, 0);
    for (size_t i = 0; i + 1 < std::size(none); ++i) EXPECT_EQ(Preview(none[i]).result, -1) << i;

    // Formats whose picture read is the cheap one: -1.
    jpegpng_kit::PngSpec png;
    png.width = png.height = 400;
    png.samples.assign(400 * 400 * 3, 7);
    EXPECT_EQ(Preview(jpegpng_kit::WritePng(png)).result, -1);
    EXPECT_EQ(Preview(own_writers::WriteQoi(300, 300, 3, Bytes(300 * 300 * 4, 1))).result, -1);
}

// The fuzz target's preview mode over the samples and over files with each kind of preview,
// bytes changed at random (frames 0 to 3, detected and asked-for types): it aborts on a DIB
// handed out with a failure, or one that cannot be split.
TEST(Preview, FuzzTargetOverSamplesAndDamagedPreviews) {
    std::vector<Bytes> files;
    namespace fs = std::filesystem;
    const fs::path samples = fs::path(ZEM_SOURCE_DIR) / "samples";
    for (const auto& entry : fs::directory_iterator(samples)) {
        Bytes bytes;
        if (entry.is_regular_file() && testing_support::ReadWholeFile(entry.path().string(), bytes))
            files.push_back(bytes);
    }
    EXPECT_GT(files.size(), 10u);
    own_writers::PsdSpec spec;
    spec.width = 8, spec.height = 8;
    spec.planes.assign(3, std::vector<uint16_t>(64, 1));
    files.push_back(WithThumbnail(400, 300, Jpeg(160, 120, 41)));
    files.push_back(WriteTiff({{300, 300, 0, 1}, {200, 200, 1}, {180, 180, 1}}));
    files.push_back(AddPsdThumbnail(own_writers::WritePsd(spec), 1036, Jpeg(170, 20, 42), 170, 20));
    std::mt19937 rng(43);
    for (const Bytes& file : files) {
        for (int round = 0; round < 40; ++round) {
            Bytes damaged = file;
            for (int k = round ? 1 + static_cast<int>(rng() % 4) : 0; k > 0; --k) {
                damaged[rng() % damaged.size()] = static_cast<uint8_t>(rng());
            }
            damaged.push_back(static_cast<uint8_t>(round % 4));          // the frame
            damaged.push_back(static_cast<uint8_t>(round & 8 ? 1 : 12));  // detect, or TIFF
            FuzzImgPreview(damaged.data(), damaged.size());
        }
    }
}

}  // namespace
