// imgsrc's preview read (GetPreview) against its picture read (GetPicture) of the same 24 MP
// (6000x4000) JPEG, made in this run: with an EXIF thumbnail of 160x120 (ExifWriter.h), where the
// preview decodes the thumbnail alone (goal: at most 1/50 of the picture read), and without one,
// where it is the picture decoded at 1/8 by libjpeg's DCT scaling (goal: at most 1/4). CPU time,
// median of the repetitions.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ExifWriter.h"
#include "JpegPngKit.h"
#include "PluginModule.h"
#include "RatioReporter.h"
#include "platform/platform.h"

namespace {

PluginModule g_imgsrc;

struct Workload {
    std::string name;
    std::vector<uint8_t> bytes;
    double limit;  // preview read / picture read
};

std::vector<Workload>& Workloads() {
    static std::vector<Workload> all;
    return all;
}

void Read(benchmark::State& state, const Workload* w, bool preview) {
    const auto call = preview ? g_imgsrc.GetPreview : g_imgsrc.GetPicture;
    for (auto _ : state) {
        SpiHandle dib = nullptr;
        const int32_t r = call(reinterpret_cast<const char*>(w->bytes.data()),
                               static_cast<SpiLength>(w->bytes.size()), SPI_SRC_MEMORY, &dib,
                               nullptr, nullptr, 0);
        if (r != 0 || !dib)
            state.SkipWithError(preview ? "GetPreview failed" : "GetPicture failed");
        benchmark::DoNotOptimize(dib);
        platform::MemFree(dib);
    }
}

void Picture(benchmark::State& state, const Workload* w) { Read(state, w, false); }
void Preview(benchmark::State& state, const Workload* w) { Read(state, w, true); }

std::vector<uint8_t> Jpeg(uint32_t width, uint32_t height, std::vector<uint8_t> app1) {
    const std::vector<uint8_t> rgb = jpegpng_kit::PhotoLike(width, height, 3, 42);
    jpegpng_kit::JpegOptions options;
    options.app1 = std::move(app1);
    return jpegpng_kit::WriteJpeg(rgb.data(), width, height, options);
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
    img_test::ExifSpec exif;
    exif.thumbnail = Jpeg(160, 120, {});
    Workloads().reserve(2);  // the benchmarks keep pointers to the entries
    Workloads().push_back({"jpeg24mp_exif", Jpeg(6000, 4000, img_test::ExifApp1(exif)), 1 / 50.0});
    Workloads().push_back({"jpeg24mp_plain", Jpeg(6000, 4000, {}), 1 / 4.0});
    return RunAgainstPictureRead(argc, argv, Workloads(), "preview", Picture, Preview,
                                 benchmark::kMicrosecond);
}
