// imgsrc's GetPicture (memory source, one handle, through the loaded module) against libwebp's
// WebPDecodeBGR and libheif's decode to interleaved RGB, on 4000x3000 lossy WebP and AVIF files
// (a smooth picture and a detailed one) made by the libraries' encoders in this run. Prints
// imgsrc's time as a ratio to the library's, from the median of the repetitions, in CPU time of
// the whole process (libheif's AV1 decoder runs threads of its own, which a per-thread CPU time
// would miss; wall time on a machine shared with other jobs mostly measures their load) and in
// wall time.
#include <benchmark/benchmark.h>
#include <libheif/heif.h>
#include <webp/decode.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ModernEncoders.h"
#include "PluginModule.h"
#include "platform/platform.h"

namespace {

PluginModule g_imgsrc;

constexpr uint32_t kWidth = 4000;
constexpr uint32_t kHeight = 3000;

// The gradients of PhotoLike with fine texture over them (foliage, fabric): what keeps a
// photograph's AV1 or VP8 data large. The smooth picture alone compresses to a few kilobytes,
// so cheap to decode that the output copy dominates.
modern_test::Raster Detailed(const modern_test::Raster& smooth) {
    modern_test::Raster r = smooth;
    uint32_t state = 99;
    for (uint32_t y = 0; y < r.height; ++y) {
        for (uint32_t x = 0; x < r.width; ++x) {
            uint8_t* p = r.samples.data() + (size_t{y} * r.width + x) * 3;
            const int texture = static_cast<int>(28 * std::sin(x * 0.61) * std::sin(y * 0.47));
            for (int c = 0; c < 3; ++c) {
                state = state * 1664525u + 1013904223u;
                const int v = p[c] + texture + static_cast<int>((state >> 24) % 25) - 12;
                p[c] = static_cast<uint8_t>(std::clamp(v, 0, 255));
            }
        }
    }
    return r;
}

void DecodeImgsrc(benchmark::State& state, const std::vector<uint8_t>* bytes) {
    for (auto _ : state) {
        SpiHandle dib = nullptr;
        const int32_t r = g_imgsrc.GetPicture(reinterpret_cast<const char*>(bytes->data()),
                                              static_cast<SpiLength>(bytes->size()),
                                              SPI_SRC_MEMORY, &dib, nullptr, nullptr, 0);
        if (r != 0 || !dib) state.SkipWithError("GetPicture failed");
        benchmark::DoNotOptimize(dib);
        platform::MemFree(dib);
    }
}

void DecodeLibwebp(benchmark::State& state, const std::vector<uint8_t>* bytes) {
    for (auto _ : state) {
        int w = 0, h = 0;
        uint8_t* bgr = WebPDecodeBGR(bytes->data(), bytes->size(), &w, &h);
        if (!bgr) state.SkipWithError("WebPDecodeBGR failed");
        benchmark::DoNotOptimize(bgr);
        WebPFree(bgr);
    }
}

void DecodeLibheif(benchmark::State& state, const std::vector<uint8_t>* bytes) {
    for (auto _ : state) {
        heif_context* ctx = heif_context_alloc();
        heif_image_handle* handle = nullptr;
        heif_image* image = nullptr;
        heif_decoding_options* options = heif_decoding_options_alloc();
        options->ignore_transformations = 1;
        options->convert_hdr_to_8bit = 1;
        const bool ok =
            heif_context_read_from_memory_without_copy(ctx, bytes->data(), bytes->size(), nullptr)
                    .code == heif_error_Ok &&
            heif_context_get_primary_image_handle(ctx, &handle).code == heif_error_Ok &&
            heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                              options)
                    .code == heif_error_Ok;
        if (!ok) state.SkipWithError("libheif decode failed");
        int stride = 0;
        benchmark::DoNotOptimize(
            image ? heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride)
                  : nullptr);
        heif_decoding_options_free(options);
        if (image) heif_image_release(image);
        if (handle) heif_image_handle_release(handle);
        heif_context_free(ctx);
    }
}

class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                cpu[run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
                wall[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
            }
        }
    }
    using Times = std::map<std::string, std::vector<double>>;
    static double Median(const Times& times, const std::string& name) {
        auto it = times.find(name);
        if (it == times.end() || it->second.empty()) return 0;
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    Times cpu, wall;
};

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::string path =
        std::string(ZEM_BENCH_PLUGIN_DIR) + "/imgsrc" + platform::ModuleSuffix();
    if (!g_imgsrc.Load(path, error)) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), error.c_str());
        return 1;
    }
    const modern_test::Raster smooth = modern_test::PhotoLike(kWidth, kHeight, 3, 2024);
    const modern_test::Raster detailed = Detailed(smooth);
    struct Workload {
        std::string name, peer;
        std::vector<uint8_t> bytes;
        void (*decode)(benchmark::State&, const std::vector<uint8_t>*);
    };
    std::vector<Workload> workloads;
    const bool av1 = modern_test::HeifEncoderAvailable(modern_test::HeifCodec::Av1);
    if (!av1) std::fprintf(stderr, "no AV1 encoder in this libheif: no AVIF workloads\n");
    for (const auto* picture : {&smooth, &detailed}) {
        const std::string kind = picture == &smooth ? "smooth" : "detailed";
        const auto webp = modern_test::EncodeWebp(*picture, false, 80);
        if (webp.bytes.empty()) std::fprintf(stderr, "WebP: %s\n", webp.error.c_str());
        workloads.push_back({"webp_" + kind + "_4000x3000", "libwebp", webp.bytes, DecodeLibwebp});
        if (!av1) continue;
        const auto avif = modern_test::EncodeHeif(modern_test::HeifCodec::Av1, {*picture}, 60);
        if (avif.bytes.empty()) std::fprintf(stderr, "AVIF: %s\n", avif.error.c_str());
        workloads.push_back({"avif_" + kind + "_4000x3000", "libheif", avif.bytes, DecodeLibheif});
    }
    for (const Workload& w : workloads) {
        if (w.bytes.empty()) continue;
        std::printf("%s: %zu bytes\n", w.name.c_str(), w.bytes.size());
        benchmark::RegisterBenchmark((w.name + "/imgsrc").c_str(), DecodeImgsrc, &w.bytes)
            ->Unit(benchmark::kMillisecond)
            ->MeasureProcessCPUTime()
            ->Repetitions(7);
        benchmark::RegisterBenchmark((w.name + "/" + w.peer).c_str(), w.decode, &w.bytes)
            ->Unit(benchmark::kMillisecond)
            ->MeasureProcessCPUTime()
            ->Repetitions(7);
    }
    benchmark::Initialize(&argc, argv);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nimgsrc time relative to the library's own decode, medians "
                "(1.00 = as fast; at most 1.10 wanted):\n");
    for (const Workload& w : workloads) {
        const std::string own = w.name + "/imgsrc";
        const std::string peer = w.name + "/" + w.peer;
        const double cpu_own = MedianReporter::Median(reporter.cpu, own);
        const double cpu_peer = MedianReporter::Median(reporter.cpu, peer);
        const double wall_own = MedianReporter::Median(reporter.wall, own);
        const double wall_peer = MedianReporter::Median(reporter.wall, peer);
        if (cpu_own > 0 && cpu_peer > 0 && wall_peer > 0) {
            std::printf("  %-24s imgsrc/%s  process CPU %.3f  wall %.3f\n", w.name.c_str(),
                        w.peer.c_str(), cpu_own / cpu_peer, wall_own / wall_peer);
        }
    }
    benchmark::Shutdown();
    return 0;
}
