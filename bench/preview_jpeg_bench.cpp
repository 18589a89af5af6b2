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
#include "ImgsrcRatioBench.h"
#include "JpegPngKit.h"
#include "PluginModule.h"
#include "RatioReporter.h"
#include "platform/platform.h"

using namespace imgsrc_bench;

namespace {

std::vector<uint8_t> Jpeg(uint32_t width, uint32_t height, std::vector<uint8_t> app1) {
    const std::vector<uint8_t> rgb = jpegpng_kit::PhotoLike(width, height, 3, 42);
    jpegpng_kit::JpegOptions options;
    options.app1 = std::move(app1);
    return jpegpng_kit::WriteJpeg(rgb.data(), width, height, options);
}

}  // namespace

int main(int argc, char** argv) {
    if (!LoadImgsrc()) return 1;
    img_test::ExifSpec exif;
    exif.thumbnail = Jpeg(160, 120, {});
    Workloads().reserve(2);  // the benchmarks keep pointers to the entries
    Workloads().push_back({"jpeg24mp_exif", Jpeg(6000, 4000, img_test::ExifApp1(exif)), 1 / 50.0});
    Workloads().push_back({"jpeg24mp_plain", Jpeg(6000, 4000, {}), 1 / 4.0});
    return RunAgainstPictureRead(argc, argv, Workloads(), "preview", Picture, Preview,
                                 benchmark::kMicrosecond);
}
