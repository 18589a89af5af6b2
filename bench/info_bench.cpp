// imgsrc's information read against its picture read, both through the loaded module from
// memory, on pictures made in this run: a 12 MP (4000x3000) JPEG, PNG, LZW TIFF and HEIC and a
// 24 MP (6000x4000) JPEG. A viewer asks for the information of every file it lists or opens, so
// that read should cost next to nothing: the goal is at most 1/100 of the picture read (1/20
// for HEIC, whose item structure libheif parses in full). CPU time of the whole process
// (libheif decodes on threads of its own), median of the repetitions.
#include <benchmark/benchmark.h>
#include <png.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ImgsrcRatioBench.h"
#include "JpegPngKit.h"
#include "LibPictures.h"
#include "ModernEncoders.h"
#include "PluginModule.h"
#include "RatioReporter.h"
#include "platform/platform.h"

using namespace imgsrc_bench;

namespace {

void Info(benchmark::State& state, const Workload* w) {
    for (auto _ : state) {
        PictureInfoRecord record{};
        const int32_t r = Imgsrc().GetPictureInfo(reinterpret_cast<const char*>(w->bytes.data()),
                                                  static_cast<SpiLength>(w->bytes.size()),
                                                  SPI_SRC_MEMORY, &record);
        if (r != 0 || record.width <= 0) state.SkipWithError("GetPictureInfo failed");
        benchmark::DoNotOptimize(record);
    }
}

std::vector<uint8_t> Jpeg(uint32_t width, uint32_t height) {
    const std::vector<uint8_t> rgb = jpegpng_kit::PhotoLike(width, height, 3, 42);
    return jpegpng_kit::WriteJpeg(rgb.data(), width, height, jpegpng_kit::JpegOptions());
}

}  // namespace

int main(int argc, char** argv) {
    if (!LoadImgsrc()) return 1;
    constexpr uint32_t kWidth = 4000, kHeight = 3000;
    const std::vector<uint8_t> rgb = jpegpng_kit::PhotoLike(kWidth, kHeight, 3, 42);
    Workloads().reserve(5);  // the benchmarks keep pointers to the entries
    Workloads().push_back({"jpeg12mp", Jpeg(kWidth, kHeight), 0.01});
    Workloads().push_back({"jpeg24mp", Jpeg(6000, 4000), 0.01});
    {
        jpegpng_kit::PngSpec shape;
        shape.width = kWidth, shape.height = kHeight, shape.colour_type = PNG_COLOR_TYPE_RGB;
        shape.samples.assign(rgb.begin(), rgb.end());
        Workloads().push_back({"png12mp", jpegpng_kit::WritePng(shape), 0.01});
    }
    {
        img_test::TiffPage page;
        page.width = kWidth, page.height = kHeight, page.compression = 5;  // LZW
        page.rows_per_strip = 16;
        page.pixels = rgb;
        Workloads().push_back({"tiff12mp_lzw", img_test::MakeTiff({page}), 0.01});
    }
    {
        modern_test::Raster raster;
        raster.width = kWidth, raster.height = kHeight, raster.channels = 3;
        raster.samples = rgb;
        const auto heic = modern_test::EncodeHeif(modern_test::HeifCodec::Hevc, {raster}, 50);
        if (heic.bytes.empty()) {
            std::printf("no HEIC: %s\n", heic.error.c_str());
        } else {
            Workloads().push_back({"heic12mp", heic.bytes, 0.05});
        }
    }
    return RunAgainstPictureRead(argc, argv, Workloads(), "info", Picture, Info,
                                 benchmark::kMicrosecond);
}
