// imgsrc's preview read (GetPreview) against its picture read (GetPicture) of the same files,
// both through the loaded module from memory, on files made in this run: a 12 MP (4000x3000)
// HEIC with a 320-pixel thumbnail item, and a 6 MP camera RAW (a CFA DNG) with a 1024x683 JPEG
// preview. A thumbnail pane asks for the preview of every file it shows; the goal is at most
// 1/10 of the picture read for the HEIC (libheif parses the whole item structure for either
// read) and 1/20 for the RAW, whose picture is developed. CPU time of the whole process
// (libheif decodes on threads of its own), median of the repetitions.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
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

int main(int argc, char** argv) {
    if (!LoadImgsrc()) return 1;
    Workloads().reserve(2);  // the benchmarks keep pointers to the entries
    {
        modern_test::HeifShape shape;
        shape.thumbnails = {320};
        const auto heic = modern_test::EncodeHeif(
            modern_test::HeifCodec::Hevc, {modern_test::PhotoLike(4000, 3000, 3, 42)}, 50, false,
            shape);
        if (heic.bytes.empty()) {
            std::printf("no HEIC: %s\n", heic.error.c_str());
        } else {
            Workloads().push_back({"heic12mp", heic.bytes, 0.1});
        }
    }
    {
        img_test::DngPreview preview;
        preview.width = 1024, preview.height = 683;
        const std::vector<uint8_t> rgb = jpegpng_kit::PhotoLike(1024, 683, 3, 43);
        preview.jpeg = jpegpng_kit::WriteJpeg(rgb.data(), 1024, 683, {});
        std::mt19937 rng(44);
        Workloads().push_back({"dng6mp", img_test::MakeDng(3000, 2000, {}, rng, 4095, &preview),
                               0.05});
    }
    return RunAgainstPictureRead(argc, argv, Workloads(), "preview", Picture, Preview,
                                 benchmark::kMillisecond);
}
