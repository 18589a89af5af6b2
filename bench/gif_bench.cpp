// gifsrc's GetPicture (memory source, one handle, through the loaded module) against giflib's
// DGifSlurp (memory read callback) and stb_image, on pictures made in this run: a 1920x1080
// 256-colour photo-like picture, the same interlaced, and a 100-frame 320x240 animation of
// which every frame is decoded. Prints each peer's throughput as a ratio to giflib's.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_GIF
#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <stb/stb_image.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "GifTestEncoder.h"
#include "PluginModule.h"
#include "RatioReporter.h"
#include "platform/platform.h"

namespace {

PluginModule g_gifsrc;

struct Workload {
    std::string name;
    std::vector<uint8_t> bytes;
    int frames;
    size_t pixels;  // all frames
};

// Gradients with +-2 of noise compress to about 6 bits a pixel, as dithered photographs do; the
// extra "noisy" picture (+-6) is close to incompressible and stresses the per-code work.
std::vector<uint8_t> MakePicture(bool interlaced, int noise = 2) {
    return giftest::SimpleGif(1920, 1080, giftest::PhotoLike(1920, 1080, 256, 42, noise), 8,
                              interlaced, 42);
}

std::vector<uint8_t> MakeAnimation() {
    giftest::GifBuilder b;
    b.Header().Screen(320, 240, giftest::Palette(8, 7));
    b.Extension(0xFF, {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 1, 0, 0});
    for (int i = 0; i < 100; ++i) {
        giftest::GifImage image;
        image.width = 320;
        image.height = 240;
        image.indices = giftest::PhotoLike(320, 240, 256, 1000u + static_cast<uint32_t>(i), 2);
        b.GraphicControl(4).Image(image);
    }
    return b.Trailer().Bytes();
}

void DecodeGifsrc(benchmark::State& state, const Workload& w) {
    PictureRequestBlock block{};
    std::memcpy(block.tag, "zem", 3);
    for (auto _ : state) {
        for (int i = 0; i < w.frames; ++i) {
            block.field48 = i;
            SpiHandle dib = nullptr;
            const int32_t r = g_gifsrc.GetPicture(
                reinterpret_cast<const char*>(w.bytes.data()),
                static_cast<SpiLength>(w.bytes.size()), SPI_SRC_MEMORY, &dib, nullptr, nullptr,
                w.frames > 1 ? reinterpret_cast<SpiUserData>(&block) : 0);
            if (r != 0 || !dib) state.SkipWithError("GetPicture failed");
            benchmark::DoNotOptimize(dib);
            platform::MemFree(dib);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(w.pixels));
}

struct MemoryReader {
    const std::vector<uint8_t>* bytes;
    size_t pos;
};

int ReadCallback(GifFileType* gif, GifByteType* out, int n) {
    auto* r = static_cast<MemoryReader*>(gif->UserData);
    const size_t take = std::min(r->bytes->size() - r->pos, static_cast<size_t>(n));
    std::memcpy(out, r->bytes->data() + r->pos, take);
    r->pos += take;
    return static_cast<int>(take);
}

void DecodeGiflib(benchmark::State& state, const Workload& w) {
    for (auto _ : state) {
        MemoryReader reader{&w.bytes, 0};
        int error = 0;
        GifFileType* gif = DGifOpen(&reader, ReadCallback, &error);
        if (!gif || DGifSlurp(gif) != GIF_OK || gif->ImageCount != w.frames) {
            state.SkipWithError("DGifSlurp failed");
        }
        benchmark::DoNotOptimize(gif->SavedImages[0].RasterBits);
        DGifCloseFile(gif, &error);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(w.pixels));
}

void DecodeStb(benchmark::State& state, const Workload& w) {
    for (auto _ : state) {
        int x = 0, y = 0, z = 1, comp = 0;
        stbi_uc* pixels;
        if (w.frames > 1) {
            int* delays = nullptr;
            pixels = stbi_load_gif_from_memory(w.bytes.data(), static_cast<int>(w.bytes.size()),
                                               &delays, &x, &y, &z, &comp, 0);
            stbi_image_free(delays);
        } else {
            pixels = stbi_load_from_memory(w.bytes.data(), static_cast<int>(w.bytes.size()), &x, &y,
                                           &comp, 0);
        }
        if (!pixels || z != w.frames) state.SkipWithError("stb_image failed");
        benchmark::DoNotOptimize(pixels);
        stbi_image_free(pixels);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(w.pixels));
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::string path =
        std::string(ZEM_BENCH_PLUGIN_DIR) + "/gifsrc" + platform::ModuleSuffix();
    if (!g_gifsrc.Load(path, error)) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), error.c_str());
        return 1;
    }
    static const std::vector<Workload> workloads = {
        {"photo_1920x1080", MakePicture(false), 1, size_t{1920} * 1080},
        {"photo_1920x1080_interlaced", MakePicture(true), 1, size_t{1920} * 1080},
        {"animation_100x320x240", MakeAnimation(), 100, size_t{100} * 320 * 240},
        {"noisy_1920x1080", MakePicture(false, 6), 1, size_t{1920} * 1080},
    };
    const char* peers[] = {"gifsrc", "giflib", "stb_image"};
    for (const Workload& w : workloads) {
        std::printf("%s: %zu bytes\n", w.name.c_str(), w.bytes.size());
        benchmark::RegisterBenchmark((w.name + "/gifsrc").c_str(), DecodeGifsrc, w)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(3);
        benchmark::RegisterBenchmark((w.name + "/giflib").c_str(), DecodeGiflib, w)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(3);
        benchmark::RegisterBenchmark((w.name + "/stb_image").c_str(), DecodeStb, w)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(3);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nthroughput relative to giflib, median CPU time (higher is faster):\n");
    for (const Workload& w : workloads) {
        const double giflib = reporter.Median(w.name + "/giflib");
        if (giflib <= 0) continue;
        std::printf("  %-28s", w.name.c_str());
        for (const char* peer : peers) {
            const double t = reporter.Median(w.name + "/" + peer);
            if (t > 0) std::printf("  %s %.2fx", peer, giflib / t);
        }
        std::printf("\n");
    }
    benchmark::Shutdown();
    return 0;
}
