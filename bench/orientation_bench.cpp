// The cost of imgsrc's picture options on a 24 MP (6000x4000) JPEG made in this run, with an
// EXIF orientation of 6 and a P3 profile: the picture read with bit 8 (upright: a quarter turn)
// and with bit 9 (sRGB: the profile converted by lcms2), as a share of the plain picture read
// (goals: at most 15 % and 30 %). CPU time: the median of five repetitions of each read, then
// rounds that take the three reads one after the other, so that each round's shares compare
// reads made under the same load from other work on the machine.
#include <benchmark/benchmark.h>
#include <lcms2.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <string>
#include <vector>

#include "CpuFeatures.h"
#include "ImgsrcRatioBench.h"
#include "JpegPngKit.h"
#include "RatioReporter.h"

using namespace imgsrc_bench;

namespace {

// APP1 "Exif" holding IFD0 with Orientation 6 alone (little-endian TIFF structure).
std::vector<uint8_t> ExifOrientation6() {
    return {'E', 'x', 'i',  'f',  0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0,  // header, IFD0 at 8
            1,   0,   0x12, 0x01, 3, 0, 1,   0,   0,  0, 6, 0, 0, 0,  // one entry: SHORT 6
            0,   0,   0,    0};                                       // no IFD1
}

// A P3 profile (D65, sRGB-like gamma 2.4) as an APP2 "ICC_PROFILE" segment.
std::vector<uint8_t> IccSegment() {
    cmsCIExyY white = {0.3127, 0.3290, 1.0};
    cmsCIExyYTRIPLE primaries = {{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}};
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 2.4);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE p = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::vector<uint8_t> icc(size);
    cmsSaveProfileToMem(p, icc.data(), &size);
    cmsCloseProfile(p);
    cmsFreeToneCurve(curve);
    const size_t length = 2 + 14 + icc.size();
    std::vector<uint8_t> seg = {0xFF, 0xE2, static_cast<uint8_t>(length >> 8),
                                static_cast<uint8_t>(length)};
    const char tag[12] = "ICC_PROFILE";
    seg.insert(seg.end(), tag, tag + 12);
    seg.push_back(1);
    seg.push_back(1);
    seg.insert(seg.end(), icc.begin(), icc.end());
    return seg;
}

// One picture read with these options; false when it failed or ignored them.
bool ReadOnce(const Workload* w, uint32_t options) {
    PictureRequestBlock block;
    std::memset(&block, 0, sizeof block);
    std::memcpy(block.tag, "zem", 3);
    block.field56 = static_cast<int32_t>(options);
    SpiHandle dib = nullptr;
    const int32_t r = Imgsrc().GetPicture(
        reinterpret_cast<const char*>(w->bytes.data()), static_cast<SpiLength>(w->bytes.size()),
        SPI_SRC_MEMORY, &dib, nullptr, nullptr, reinterpret_cast<SpiUserData>(&block));
    const bool ok = r == 0 && dib && (static_cast<uint32_t>(block.field56) & options) == options;
    benchmark::DoNotOptimize(dib);
    if (dib) platform::MemFree(dib);
    return ok;
}

void ReadWith(benchmark::State& state, const Workload* w, uint32_t options) {
    for (auto _ : state) {
        if (!ReadOnce(w, options)) state.SkipWithError("GetPicture failed or did not honour the options");
    }
}

double CpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (!LoadImgsrc()) return 1;
    const std::vector<uint8_t> rgb = jpegpng_kit::PhotoLike(6000, 4000, 3, 42);
    jpegpng_kit::JpegOptions jpeg;
    jpeg.app1 = ExifOrientation6();
    std::vector<uint8_t> bytes = jpegpng_kit::WriteJpeg(rgb.data(), 6000, 4000, jpeg);
    const std::vector<uint8_t> icc = IccSegment();
    bytes.insert(bytes.begin() + 2, icc.begin(), icc.end());  // after SOI
    Workloads().reserve(1);
    Workloads().push_back({"jpeg24mp", std::move(bytes), 0});
    const Workload* w = &Workloads()[0];
    const struct {
        const char* name;
        uint32_t options;
    } reads[] = {{"plain", 0}, {"upright", 0x100}, {"srgb", 0x200}};
    for (const auto& r : reads) {
        const uint32_t options = r.options;
        benchmark::RegisterBenchmark((w->name + "/" + r.name).c_str(),
                                     [w, options](benchmark::State& s) { ReadWith(s, w, options); })
            ->Unit(benchmark::kMillisecond)
            ->MeasureProcessCPUTime()
            ->Repetitions(5);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto median = [&](const char* what) {
        for (const auto& entry : reporter.times) {
            if (entry.first.rfind(w->name + "/" + what, 0) == 0)
                return reporter.Median(entry.first);
        }
        return 0.0;
    };
    const double plain = median("plain");
#ifdef PLUGIN_X86_KERNELS
    // The shares depend on the processor: the conversion's vector kernel needs AVX-512 VBMI.
    std::printf("\nkernels: quarter turn %s, sRGB conversion %s\n",
                CpuHasSsse3() ? "SSSE3" : "portable",
                CpuHasAvx512Vbmi() ? "AVX-512 VBMI" : "portable (no AVX-512 VBMI here)");
#endif
    std::printf("\nextra CPU time of an option as a share of the plain picture read (%.1f ms):\n",
                plain);
    const double goals[] = {0, 0.15, 0.30};
    for (int i = 1; i < 3; ++i) {
        const double with = median(reads[i].name);
        if (plain <= 0 || with <= 0) continue;
        const double share = (with - plain) / plain;
        std::printf("  %-8s %8.1f ms: +%5.1f %% (goal %.0f %%%s)\n", reads[i].name, with,
                    share * 100, goals[i] * 100, share <= goals[i] ? "" : ", NOT MET");
    }
    constexpr int kRounds = 15;
    std::vector<double> shares[3], times[3];
    for (int round = 0; round < kRounds; ++round) {
        double ms[3];
        for (int i = 0; i < 3; ++i) {
            const double start = CpuMs();
            if (!ReadOnce(w, reads[i].options)) return 1;
            ms[i] = CpuMs() - start;
            times[i].push_back(ms[i]);
        }
        for (int i = 1; i < 3; ++i) shares[i].push_back((ms[i] - ms[0]) / ms[0]);
    }
    for (auto& v : times) std::sort(v.begin(), v.end());
    std::printf("the same, in %d rounds of the three reads one after the other (medians %.1f, "
                "%.1f and %.1f ms):\n",
                kRounds, times[0][kRounds / 2], times[1][kRounds / 2], times[2][kRounds / 2]);
    for (int i = 1; i < 3; ++i) {
        std::vector<double>& v = shares[i];
        std::sort(v.begin(), v.end());
        const double mid = v[v.size() / 2];
        std::printf("  %-8s median +%5.1f %%, middle half %+5.1f to %+5.1f %% (goal %.0f %%%s)\n",
                    reads[i].name, mid * 100, v[v.size() / 4] * 100, v[v.size() * 3 / 4] * 100,
                    goals[i] * 100, mid <= goals[i] ? "" : ", NOT MET");
    }
    benchmark::Shutdown();
    return 0;
}
