// imgsrc's JPEG and PNG back ends through the loaded module (GetPicture, memory source) against
// the libraries used directly, on 4000x3000 photo-like pictures made in this run:
//   JPEG 4:2:0, full size and scale 8, against tjDecompress2 to bottom-up BGR (at 1/8 for the
//   second); PNG RGB against libpng's simplified API (png_image_finish_read to bottom-up BGR)
//   and, where built with it, libspng decoding rows into the same layout.
// Prints the ratios of the median CPU times and the peak heap of one decode of each: this
// program replaces malloc and friends to follow the bytes in use.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <png.h>
#include <turbojpeg.h>
#ifdef ZEM_BENCH_SPNG
#include <spng.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "JpegPngKit.h"
#include "PluginModule.h"
#include "RatioReporter.h"
#include "platform/platform.h"

// ---- Heap accounting: every block's usable size while it is live, and the highest total ----

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {

std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};

void* Counted(void* p) {
    if (p) {
        const int64_t now = g_live += static_cast<int64_t>(malloc_usable_size(p));
        int64_t peak = g_peak.load();
        while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
        }
    }
    return p;
}

void Uncount(void* p) {
    if (p) g_live -= static_cast<int64_t>(malloc_usable_size(p));
}

}  // namespace

extern "C" {
void* malloc(size_t n) { return Counted(__libc_malloc(n)); }
void* calloc(size_t n, size_t m) { return Counted(__libc_calloc(n, m)); }
void* realloc(void* p, size_t n) {
    Uncount(p);
    void* q = __libc_realloc(p, n);
    if (!q && p && n) return Counted(p);  // the old block is still there
    return Counted(q);
}
void free(void* p) {
    Uncount(p);
    __libc_free(p);
}
void* memalign(size_t align, size_t n) { return Counted(__libc_memalign(align, n)); }
void* aligned_alloc(size_t align, size_t n) { return Counted(__libc_memalign(align, n)); }
int posix_memalign(void** out, size_t align, size_t n) {
    void* p = Counted(__libc_memalign(align, n));
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}
}

namespace {

constexpr uint32_t kWidth = 4000;
constexpr uint32_t kHeight = 3000;
constexpr size_t kBgrStride = (kWidth * 3 + 3) / 4 * 4;

PluginModule g_imgsrc;
std::vector<uint8_t> g_jpeg;
std::vector<uint8_t> g_png;

// ---- The decoders, one call each --------------------------------------------------------

bool Imgsrc(const std::vector<uint8_t>& bytes, int scale) {
    PictureRequestBlock block{};
    std::memcpy(block.tag, "zem", 3);
    block.field44 = scale;
    SpiHandle dib = nullptr;
    const int32_t r = g_imgsrc.GetPicture(reinterpret_cast<const char*>(bytes.data()),
                                          static_cast<SpiLength>(bytes.size()), SPI_SRC_MEMORY,
                                          &dib, nullptr, nullptr,
                                          reinterpret_cast<SpiUserData>(&block));
    benchmark::DoNotOptimize(dib);
    if (dib) platform::MemFree(dib);
    return r == 0 && dib;
}

// tjDecompress2 to bottom-up BGR at 1/scale (1 or 8), into a fresh buffer as a DIB would be.
bool Turbo(tjhandle tj, int scale) {
    const int width = static_cast<int>((kWidth + scale - 1) / scale);
    const int height = static_cast<int>((kHeight + scale - 1) / scale);
    const int pitch = (width * 3 + 3) / 4 * 4;
    auto* out = static_cast<uint8_t*>(std::malloc(size_t(pitch) * height));
    const bool ok = out && tjDecompress2(tj, g_jpeg.data(), g_jpeg.size(), out, width, pitch,
                                         height, TJPF_BGR, TJFLAG_BOTTOMUP) == 0;
    benchmark::DoNotOptimize(out);
    std::free(out);
    return ok;
}

bool LibpngSimplified() {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, g_png.data(), g_png.size())) return false;
    image.format = PNG_FORMAT_BGR;
    auto* out = static_cast<uint8_t*>(std::malloc(kBgrStride * image.height));
    // A negative stride: bottom-up rows, the first row at the end of the buffer.
    const bool ok = out && png_image_finish_read(&image, nullptr, out,
                                                 -static_cast<png_int_32>(kBgrStride), nullptr);
    png_image_free(&image);
    benchmark::DoNotOptimize(out);
    std::free(out);
    return ok;
}

#ifdef ZEM_BENCH_SPNG
// What a back end on libspng would do: decode row by row into a bottom-up DIB, then swap to BGR.
// Like imgsrc, it checks every chunk CRC but not the zlib stream's Adler-32.
bool Spng() {
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_IGNORE_ADLER32);  // as imgsrc reads with libpng
    spng_set_png_buffer(ctx, g_png.data(), g_png.size());
    spng_ihdr ihdr{};
    bool ok = spng_get_ihdr(ctx, &ihdr) == 0 &&
              spng_decode_image(ctx, nullptr, 0, SPNG_FMT_RGB8, SPNG_DECODE_PROGRESSIVE) == 0;
    auto* out = static_cast<uint8_t*>(std::malloc(kBgrStride * ihdr.height));
    for (uint32_t y = 0; ok && y < ihdr.height; ++y) {
        uint8_t* row = out + (ihdr.height - 1 - y) * kBgrStride;
        const int r = spng_decode_row(ctx, row, size_t{ihdr.width} * 3);
        ok = r == 0 || (r == SPNG_EOI && y + 1 == ihdr.height);
        for (uint32_t x = 0; x < ihdr.width; ++x) std::swap(row[x * 3], row[x * 3 + 2]);
    }
    spng_ctx_free(ctx);
    benchmark::DoNotOptimize(out);
    std::free(out);
    return ok;
}
#endif

// ---- Benchmarks and the report ------------------------------------------------------------

struct Peer {
    std::string name;  // "<workload>/<decoder>"
    std::function<bool()> decode;
};

std::vector<Peer>& Peers() {
    static std::vector<Peer> peers;
    return peers;
}

void Run(benchmark::State& state, const Peer& peer) {
    for (auto _ : state) {
        if (!peer.decode()) state.SkipWithError("decode failed");
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight);
}

// Peak bytes in use during one decode, above what was in use before it.
double PeakMegabytes(const Peer& peer) {
    const int64_t before = g_live.load();
    g_peak = before;
    peer.decode();
    return static_cast<double>(g_peak.load() - before) / (1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::string path =
        std::string(ZEM_BENCH_PLUGIN_DIR) + "/imgsrc" + platform::ModuleSuffix();
    if (!g_imgsrc.Load(path, error)) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), error.c_str());
        return 1;
    }
    {
        const std::vector<uint8_t> rgb = jpegpng_kit::PhotoLike(kWidth, kHeight, 3, 42);
        jpegpng_kit::JpegOptions options;  // baseline 4:2:0, quality 90
        g_jpeg = jpegpng_kit::WriteJpeg(rgb.data(), kWidth, kHeight, options);
        jpegpng_kit::PngSpec shape;
        shape.width = kWidth;
        shape.height = kHeight;
        shape.colour_type = PNG_COLOR_TYPE_RGB;
        shape.samples.assign(rgb.begin(), rgb.end());
        g_png = jpegpng_kit::WritePng(shape);
    }
    std::printf("JPEG 4000x3000 4:2:0: %zu bytes; PNG 4000x3000 RGB: %zu bytes\n", g_jpeg.size(),
                g_png.size());
    tjhandle tj = tjInitDecompress();
    Peers() = {
        {"jpeg/imgsrc", [] { return Imgsrc(g_jpeg, 1); }},
        {"jpeg/turbojpeg", [tj] { return Turbo(tj, 1); }},
        {"jpeg_scale8/imgsrc", [] { return Imgsrc(g_jpeg, 8); }},
        {"jpeg_scale8/turbojpeg", [tj] { return Turbo(tj, 8); }},
        {"png/imgsrc", [] { return Imgsrc(g_png, 1); }},
        {"png/libpng_simplified", [] { return LibpngSimplified(); }},
#ifdef ZEM_BENCH_SPNG
        {"png/libspng_rows", [] { return Spng(); }},
#endif
    };
    std::printf("\npeak heap of one decode (output included; the 24-bit DIB is %.1f MB):\n",
                kBgrStride * kHeight / (1024.0 * 1024.0));
    for (const Peer& peer : Peers()) {
        std::printf("  %-24s %8.2f MB\n", peer.name.c_str(), PeakMegabytes(peer));
    }
    std::printf("\n");
    for (const Peer& peer : Peers()) {
        benchmark::RegisterBenchmark(peer.name.c_str(), Run, peer)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(5);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nmedian CPU time relative to the library used directly (lower is faster):\n");
    const struct {
        const char* ours;
        const char* theirs;
        double limit;
    } ratios[] = {
        {"jpeg/imgsrc", "jpeg/turbojpeg", 1.10},
        {"jpeg_scale8/imgsrc", "jpeg_scale8/turbojpeg", 1.10},
        {"png/imgsrc", "png/libpng_simplified", 1.00},
        {"png/libspng_rows", "png/libpng_simplified", 0},
    };
    for (const auto& r : ratios) {
        const double ours = reporter.Median(r.ours), theirs = reporter.Median(r.theirs);
        if (ours <= 0 || theirs <= 0) continue;
        std::printf("  %-22s / %-24s %.3f", r.ours, r.theirs, ours / theirs);
        if (r.limit > 0) std::printf("  (limit %.2f%s)", r.limit, ours / theirs <= r.limit ? "" : ", OVER");
        std::printf("\n");
    }
    tjDestroy(tj);
    benchmark::Shutdown();
    return 0;
}
