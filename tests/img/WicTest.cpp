// imgsrc.dll on Windows, and its WIC back end called directly: pictures written by stb's
// encoders decode to what stb's decoders read, every layout to its DIB form; the codec layer's
// encoders round-trip through the module; JPEG scale sizes, TIFF pages, type codes, COM apartments of the calling
// thread; truncated and damaged files give a code, never a crash.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CodecBackends.h"
#include "CxImage.h"
#include "DibCanvas.h"
#include "DibImage.h"
#include "GlobalBlock.h"
#include "ImgTestSupport.h"
#include "TestSupport.h"

// After our headers: wingdi.h's BI_* macros would shadow the names of DibHelpers.h.
#include <windows.h>
#include <objbase.h>
#include <wincodec.h>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
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

using img_test::Decode;
using img_test::GetInfo;
using img_test::SameRgba;
using Bytes = std::vector<uint8_t>;

// stb's JPEG decoder and WIC's differ in their IDCT and chroma upsampling by a few levels.
constexpr int kJpegTolerance = 8;

void Append(void* context, void* data, int size) {
    auto* out = static_cast<Bytes*>(context);
    out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

Bytes Pattern(uint32_t width, uint32_t height, int channels, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes p(size_t{width} * height * static_cast<size_t>(channels));
    // Smooth ramps with a little noise: JPEG keeps them close, PNG exactly.
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            for (int c = 0; c < channels; ++c) {
                const uint32_t v = x * 150 / width + y * 60 / height + c * 10 + rng() % 8;
                p[(size_t{y} * width + x) * channels + c] = static_cast<uint8_t>(v);
            }
        }
    }
    return p;
}

Bytes WritePng(const Bytes& pixels, uint32_t w, uint32_t h, int channels) {
    Bytes out;
    stbi_write_png_to_func(Append, &out, int(w), int(h), channels, pixels.data(), int(w) * channels);
    return out;
}

Bytes WriteJpeg(const Bytes& pixels, uint32_t w, uint32_t h, int channels, int quality) {
    Bytes out;
    stbi_write_jpg_to_func(Append, &out, int(w), int(h), channels, pixels.data(), quality);
    return out;
}

// stb's reading of the file, as RGBA.
Bytes Reference(const Bytes& file, int& channels) {
    int w = 0, h = 0;
    stbi_uc* p = stbi_load_from_memory(file.data(), int(file.size()), &w, &h, &channels, 0);
    if (!p) return {};
    const Bytes pixels(p, p + size_t(w) * h * channels);
    stbi_image_free(p);
    return img_test::ToRgba(pixels, channels);
}

// The bits after each row's pixels up to the stride are zeros, not what the memory held.
bool PaddingIsZero(const img_test::Picture& p) {
    DibMeasures m;
    if (!MeasureDib(p.dib.data(), p.dib.size(), m)) return false;
    const uint64_t bits = uint64_t{uint32_t(m.width)} * m.bit_count;
    const uint64_t used = (bits + 7) / 8;
    const auto spare = static_cast<uint8_t>(0xFF >> (8 - (used * 8 - bits)) & 0xFF);
    const uint8_t* rows = p.dib.data() + m.HeaderPartSize();
    for (uint64_t y = 0; y < m.abs_height; ++y) {
        if (rows[y * m.stride + used - 1] & spare) return false;
        for (uint64_t i = used; i < m.stride; ++i) {
            if (rows[y * m.stride + i] != 0) return false;
        }
    }
    return true;
}

struct Layout {
    const char* name;
    int channels;
    uint16_t bit_count;  // of the DIB
};
const Layout kLayouts[] = {{"grey", 1, 8}, {"grey+alpha", 2, 32}, {"RGB", 3, 24}, {"RGBA", 4, 32}};

TEST(WicDecode, PngAndJpegMatchStbsReading) {
    const uint32_t sizes[][2] = {{1, 1}, {17, 5}, {64, 48}, {301, 7}};
    uint32_t seed = 1;
    for (const Layout& l : kLayouts) {
        for (const auto& size : sizes) {
            SCOPED_TRACE(testing::Message() << l.name << " " << size[0] << "x" << size[1]);
            const Bytes pixels = Pattern(size[0], size[1], l.channels, seed++);
            const Bytes png = WritePng(pixels, size[0], size[1], l.channels);
            int channels = 0;
            const img_test::Picture got = Decode(png);
            EXPECT_TRUE(SameRgba(got, Reference(png, channels), size[0], size[1]));
            EXPECT_EQ(got.bit_count, l.bit_count);
            EXPECT_EQ(got.type_back, 4u);
            EXPECT_TRUE(PaddingIsZero(got));
            if (l.channels == 2 || l.channels == 4) continue;  // JPEG has no alpha
            for (int quality : {40, 95}) {
                const Bytes jpeg = WriteJpeg(pixels, size[0], size[1], l.channels, quality);
                const img_test::Picture j = Decode(jpeg);
                EXPECT_TRUE(SameRgba(j, Reference(jpeg, channels), size[0], size[1],
                                     kJpegTolerance)) << "quality " << quality;
                EXPECT_EQ(j.bit_count, 24);  // stb writes grey as three components
                EXPECT_EQ(j.type_back, 3u);
            }
        }
    }
}

// A packed DIB of the codec layer's form, made with the canvas.
SpiHandle MakeDib(uint32_t w, uint32_t h, uint16_t bits, uint32_t seed, bool grey = false) {
    DibCanvas canvas;
    if (canvas.Create(w, h, bits) != CodecStatus::Ok) return nullptr;
    std::mt19937 rng(seed);
    const size_t bytes = (size_t{w} * bits + 7) / 8;
    // Random indices; smooth grey and colour, which JPEG keeps close.
    const bool smooth = grey || bits >= 24;
    const Bytes pattern = Pattern(w, h, bits / 8, seed);
    for (uint32_t y = 0; y < h; ++y) {
        for (size_t i = 0; i < bytes; ++i) {
            canvas.Row(y)[i] = smooth ? pattern[y * bytes + i] : static_cast<uint8_t>(rng());
        }
        if (bits == 32) {  // straight alpha that is never 0, so colours survive
            for (uint32_t x = 0; x < w; ++x) canvas.Row(y)[4 * x + 3] |= 1;
        }
    }
    if (grey) {
        canvas.SetGreyPalette();
    } else if (bits <= 8) {
        RgbQuad table[256];
        for (auto& c : table) c = RgbQuad{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0};
        canvas.SetPalette(table, 1u << bits);
    }
    canvas.SetResolution(300, 150);
    return canvas.Release();
}

Bytes EncodeDib(SpiHandle dib, uint32_t type, uint8_t quality = 90) {
    CxImage image;
    image.SetJpegQuality(quality);
    Bytes out;
    uint8_t* buffer = nullptr;
    int32_t size = 0;
    if (image.CreateFromHANDLE(dib) && image.Encode(buffer, size, type)) {
        out.assign(buffer, buffer + size);
    }
    CxImage::FreeMemory(buffer);
    return out;
}

// The DIB's own pixels as top-down RGBA.
Bytes RgbaOf(SpiHandle dib) {
    const Bytes bytes = testing_support::HandleBytes(dib);
    DibImage image;
    std::string error;
    if (!image.Load(bytes.data(), bytes.size(), error)) return {};
    return img_test::ToRgba(image.ConvertAll(), static_cast<int>(image.Channels()));
}

// The WIC back end itself, called directly: imgsrc.dll reads JPEG, PNG and TIFF through the
// codec libraries, which come before it. PNG and TIFF as the module reads them, JPEG within the
// two decoders' difference.
TEST(WicDecode, BackEndCalledDirectlyReadsAsTheModule) {
    OwnedHandle page(MakeDib(40, 30, 24, 3));
    const struct {
        const char* name;
        Bytes file;
        int tolerance;
    } files[] = {{"PNG", WritePng(Pattern(64, 48, 4, 9), 64, 48, 4), 0},
                 {"JPEG", WriteJpeg(Pattern(64, 48, 3, 9), 64, 48, 3, 95), kJpegTolerance},
                 {"TIFF", EncodeDib(page.Get(), 6), 0}};
    for (const auto& f : files) {
        DibCanvas canvas;
        DecodeResult result;
        ASSERT_EQ(WicBackend().Decode(f.file.data(), f.file.size(), DecodeRequest(), canvas,
                                      result),
                  CodecStatus::Ok)
            << f.name;
        img_test::Picture wic;
        wic.result = 0;
        img_test::TakeDib(canvas.Release(), wic);
        const img_test::Picture module = Decode(f.file);
        EXPECT_EQ(wic.bit_count, module.bit_count) << f.name;
        EXPECT_TRUE(SameRgba(wic, module.rgba, module.width, module.height, f.tolerance))
            << f.name;
    }
}

TEST(WicEncode, EveryDibFormRoundTrips) {
    struct Case {
        uint32_t type;
        uint16_t bits;
        bool grey;
        int tolerance;
    };
    const Case cases[] = {
        {4, 1, false, 0}, {4, 4, false, 0}, {4, 8, false, 0}, {4, 8, true, 0},
        {4, 24, false, 0}, {4, 32, false, 0}, {6, 1, false, 0}, {6, 4, false, 0},
        {6, 8, false, 0}, {6, 8, true, 0}, {6, 24, false, 0}, {6, 32, false, 0},
        {3, 8, true, 6}, {3, 24, false, kJpegTolerance}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << ", " << c.bits << " bits"
                                        << (c.grey ? " grey" : ""));
        OwnedHandle dib(MakeDib(23, 11, c.bits, c.bits, c.grey));
        const Bytes file = EncodeDib(dib.Get(), c.type, 100);
        ASSERT_FALSE(file.empty());
        const img_test::Picture got = Decode(file);
        EXPECT_TRUE(SameRgba(got, RgbaOf(dib.Get()), 23, 11, c.tolerance));
        EXPECT_EQ(got.bit_count, c.bits);  // indexed stays indexed, grey grey
        EXPECT_TRUE(PaddingIsZero(got));
        EXPECT_EQ(got.type_back, c.type);
        const img_test::Info info = GetInfo(file);
        // JFIF holds whole dots per centimetre as WIC writes it.
        const int slack = c.type == 3 ? 1 : 0;
        EXPECT_NEAR(info.record.xDensity, 300, slack);
        EXPECT_NEAR(info.record.yDensity, 150, slack);
    }
}

bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

TEST(WicEncode, JpegFollowsTheQuality) {
    OwnedHandle dib(MakeDib(64, 64, 24, 7));
    const Bytes low = EncodeDib(dib.Get(), 3, 10);
    const Bytes high = EncodeDib(dib.Get(), 3, 100);
    ASSERT_FALSE(low.empty());
    ASSERT_FALSE(high.empty());
    if (low.size() == high.size() && UnderWine()) {
        GTEST_SKIP() << "Wine's JPEG encoder ignores the ImageQuality option";
    }
    EXPECT_LT(low.size() * 2, high.size());
}

TEST(WicDecode, JpegScaleGivesTheSizesOfEighths) {
    const Bytes jpeg = WriteJpeg(Pattern(37, 23, 3, 5), 37, 23, 3, 90);
    // Smallest N/8 not below 1/s, sizes rounded up.
    const struct { int scale; uint32_t w, h; } cases[] = {
        {1, 37, 23}, {2, 19, 12}, {3, 14, 9}, {4, 10, 6}, {5, 10, 6},
        {7, 10, 6},  {8, 5, 3},   {9, 5, 3},  {32, 5, 3}, {100, 5, 3}};
    for (const auto& c : cases) {
        const img_test::Picture got = Decode(jpeg, 0, c.scale);
        EXPECT_EQ(got.result, 0) << "scale " << c.scale;
        EXPECT_EQ(got.width, c.w) << "scale " << c.scale;
        EXPECT_EQ(got.height, c.h) << "scale " << c.scale;
    }
    // Other formats ignore the scale.
    const Bytes png = WritePng(Pattern(37, 23, 3, 5), 37, 23, 3);
    EXPECT_EQ(Decode(png, 0, 4).width, 37u);
}

// A TIFF of `pages` pages, page i being (i + 1) * 3 by (i + 2) pixels, written by WIC itself.
Bytes MultiPageTiff(uint32_t pages) {
    Bytes out;
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return out;
    IWICImagingFactory* factory = nullptr;
    IStream* stream = nullptr;
    IWICBitmapEncoder* encoder = nullptr;
    bool ok = SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr,
                                         CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                         reinterpret_cast<void**>(&factory))) &&
              SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)) &&
              SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatTiff, nullptr, &encoder)) &&
              SUCCEEDED(encoder->Initialize(stream, WICBitmapEncoderNoCache));
    for (uint32_t i = 0; ok && i < pages; ++i) {
        IWICBitmapFrameEncode* frame = nullptr;
        const UINT w = (i + 1) * 3, h = i + 2;
        WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
        Bytes rows(size_t{w} * 3 * h, static_cast<uint8_t>(40 * i));
        ok = SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) &&
             SUCCEEDED(frame->Initialize(nullptr)) && SUCCEEDED(frame->SetSize(w, h)) &&
             SUCCEEDED(frame->SetPixelFormat(&format)) &&
             SUCCEEDED(frame->WritePixels(h, w * 3, UINT(rows.size()), rows.data())) &&
             SUCCEEDED(frame->Commit());
        if (frame) frame->Release();
    }
    ok = ok && SUCCEEDED(encoder->Commit());
    STATSTG stat{};
    HGLOBAL memory = nullptr;
    if (ok && SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME)) &&
        SUCCEEDED(GetHGlobalFromStream(stream, &memory))) {
        const auto* p = static_cast<const uint8_t*>(GlobalLock(memory));
        out.assign(p, p + stat.cbSize.QuadPart);
        GlobalUnlock(memory);
    }
    if (encoder) encoder->Release();
    if (stream) stream->Release();
    if (factory) factory->Release();
    CoUninitialize();
    return out;
}

TEST(WicDecode, TiffPagesAreFrames) {
    const Bytes tiff = MultiPageTiff(3);
    ASSERT_FALSE(tiff.empty());
    for (int page = 0; page < 3; ++page) {
        const img_test::Picture got = Decode(tiff, page);
        ASSERT_EQ(got.result, 0) << "page " << page;
        EXPECT_EQ(got.width, uint32_t(page + 1) * 3);
        EXPECT_EQ(got.height, uint32_t(page + 2));
        EXPECT_EQ(got.rgba[0], 40 * page);
    }
    EXPECT_EQ(Decode(tiff, 3).result, 2);
    EXPECT_EQ(Decode(tiff, -1).result, 2);
    const img_test::Info info = GetInfo(tiff);
    EXPECT_EQ(info.result, 0);
    EXPECT_EQ(info.record.imageType, 6u);
    EXPECT_EQ(info.record.frameCount, 3u);
}

TEST(WicDecode, TypesAskedForAndRefusals) {
    const Bytes png = WritePng(Pattern(8, 8, 3, 2), 8, 8, 3);
    const Bytes jpeg = WriteJpeg(Pattern(8, 8, 3, 2), 8, 8, 3, 90);
    EXPECT_EQ(Decode(png, 0, 1, 4).result, 0);
    EXPECT_EQ(Decode(jpeg, 0, 1, 3).result, 0);
    EXPECT_EQ(Decode(jpeg, 0, 1, 4).result, 2);  // asked for PNG
    EXPECT_EQ(GetInfo(jpeg, 4).result, 3);
    EXPECT_EQ(Decode(png, 1).result, 2);  // one frame only
    // A critical chunk whose CRC does not match is refused, as libpng refuses it.
    Bytes damaged_png = png;
    damaged_png[damaged_png.size() - 14] ^= 0x10;  // IDAT's CRC, before IEND
    EXPECT_EQ(Decode(damaged_png).result, 2);
    // Bytes that no reader and no WIC codec takes, and sizes beyond the layer's limit.
    Bytes noise(300);
    std::mt19937 rng(9);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    noise[0] = 'Z';
    EXPECT_EQ(Decode(noise).result, 2);
    EXPECT_EQ(GetInfo(noise).result, 2);
    Bytes huge_png = png;
    const uint8_t big[] = {0, 1, 0, 0};  // 65536 x 65536, and IHDR's CRC no longer matches
    std::memcpy(huge_png.data() + 16, big, 4);
    std::memcpy(huge_png.data() + 20, big, 4);
    EXPECT_EQ(Decode(huge_png).result, 2);
    Bytes huge_jpeg = jpeg;
    for (size_t i = 2; i + 9 < huge_jpeg.size(); ++i) {
        if (huge_jpeg[i] == 0xFF && huge_jpeg[i + 1] == 0xC0) {
            const uint8_t side[] = {0x9C, 0x40, 0x9C, 0x40};  // 40000 x 40000
            std::memcpy(huge_jpeg.data() + i + 5, side, 4);
            break;
        }
    }
    EXPECT_EQ(Decode(huge_jpeg).result, 4);  // out of memory, before anything is allocated
}

// Runs a decode on a new thread after `setup` has prepared COM there, and hands `check` the
// thread's state afterwards.
template <typename Setup, typename Check>
void OnThread(Setup setup, Check check) {
    std::thread([&] {
        setup();
        EXPECT_EQ(Decode(WritePng(Pattern(5, 5, 3, 1), 5, 5, 3)).result, 0);
        check();
    }).join();
}

TEST(WicCom, EachRequestLeavesTheThreadsApartmentAsItFoundIt) {
    // Not initialised before: the request balances its own initialisation.
    OnThread([] {}, [] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    });
    // A host's single-threaded apartment stays.
    OnThread([] { EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK); }, [] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
    });
    // A host's multithreaded apartment works and is not unbalanced.
    OnThread([] { EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }, [] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
    });
}

// Every prefix (at a stride) and random byte damage: a result code or a whole DIB.
void Sweep(const char* name, const Bytes& file) {
    SCOPED_TRACE(name);
    ASSERT_FALSE(file.empty());
    const size_t stride = file.size() / 100 + 1;
    for (size_t n = 1; n < file.size(); n += stride) {
        const img_test::Picture got = Decode(Bytes(file.begin(), file.begin() + n));
        ASSERT_TRUE(got.result == 0 || got.result == 2) << n << " bytes: " << got.result;
        if (got.result == 0) EXPECT_TRUE(got.error.empty()) << n << " bytes: " << got.error;
    }
    std::mt19937 rng(3);
    for (int round = 0; round < 40; ++round) {
        Bytes damaged = file;
        for (int i = 0; i < 4; ++i) damaged[8 + rng() % (damaged.size() - 8)] ^= uint8_t(1 + rng());
        const img_test::Picture got = Decode(damaged);
        ASSERT_TRUE(got.result == 0 || got.result == 2) << "round " << round;
    }
}

TEST(WicDecode, TruncatedAndDamagedFilesGiveACode) {
    const Bytes rgb = Pattern(40, 30, 3, 4);
    Sweep("JPEG", WriteJpeg(rgb, 40, 30, 3, 80));
    Sweep("PNG", WritePng(Pattern(40, 30, 4, 4), 40, 30, 4));
    OwnedHandle dib(MakeDib(40, 30, 8, 3));
    Sweep("TIFF", EncodeDib(dib.Get(), 6));
}

// Formats that only an installed WIC codec reads on Windows: a sample decodes when there is one
// (a picture of its own type), and the test names the formats without one.
TEST(WicDecode, FormatsOfInstalledCodecs) {
    const struct {
        const char* extension;
        uint32_t type;
        const char* name;
    } formats[] = {{".heic", 22, "HEIF"}, {".avif", 23, "AVIF"}};
    std::string lacking;
    int tried = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ZEM_SOURCE_DIR "/samples")) {
        for (const auto& f : formats) {
            if (entry.path().extension() != f.extension) continue;
            Bytes bytes;
            ASSERT_TRUE(testing_support::ReadWholeFile(entry.path().string(), bytes));
            const img_test::Picture got = Decode(bytes);
            const std::string file = entry.path().filename().string();
            ++tried;
            if (got.result == 2) {
                lacking += (lacking.empty() ? "" : ", ") + file + " (" + f.name + ")";
                continue;
            }
            EXPECT_EQ(got.result, 0) << file;
            EXPECT_EQ(got.type_back, f.type) << file;
            EXPECT_GT(got.width, 0u) << file;
        }
    }
    if (tried == 0) GTEST_SKIP() << "no samples of these formats";
    if (!lacking.empty()) GTEST_SKIP() << "no WIC codec on this system for " << lacking;
}

}  // namespace
