// imgsrc.dll under Wine against imgsrc.so, same run, same machine: a 12-megapixel JPEG (4:2:0)
// and PNG (RGB), each read from memory by GetPicture; the best of several reads on each side.
// Both builds decode with the same libraries and SIMD code, so the goal is at most 1.2 times the
// native time. The same source is the Windows timer (wine_bench.exe, built by the Windows
// presets), which the native program runs through each Windows build's wine-run:
//   build/default/bench/wine_bench [WINDOWS_BUILD_DIR...]   (default: build/win32 build/win64)
//   wine_bench.exe PLUGIN_DIR REPEATS FILE...               (prints "FILE MILLISECONDS")
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "PluginModule.h"
#include "platform/platform.h"

namespace {

bool ReadFile(const std::string& path, std::vector<uint8_t>& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
    std::fclose(f);
    return !out.empty();
}

// The best of `repeats` picture reads of the file from memory, in milliseconds; < 0 on failure.
double BestRead(const PluginModule& imgsrc, const std::string& path, int repeats) {
    std::vector<uint8_t> bytes;
    if (!ReadFile(path, bytes)) return -1;
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        SpiHandle dib = nullptr;
        const auto start = std::chrono::steady_clock::now();
        const int32_t r = imgsrc.GetPicture(reinterpret_cast<const char*>(bytes.data()),
                                            static_cast<SpiLength>(bytes.size()), SPI_SRC_MEMORY,
                                            &dib, nullptr, nullptr, 0);
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        if (r != 0 || !dib) return -1;
        platform::MemFree(dib);
        best = std::min(best, took.count());
    }
    return best;
}

bool LoadImgsrc(const std::string& dir, PluginModule& module) {
    std::string error;
    if (module.Load(dir + "/imgsrc" + platform::ModuleSuffix(), error)) return true;
    std::fprintf(stderr, "wine_bench: %s\n", error.c_str());
    return false;
}

}  // namespace

#ifdef _WIN32

int main(int argc, char** argv) {
    PluginModule imgsrc;
    if (argc < 4 || !LoadImgsrc(argv[1], imgsrc)) return 2;
    for (int i = 3; i < argc; ++i) std::printf("%s %.3f\n", argv[i], BestRead(imgsrc, argv[i], std::atoi(argv[2])));
    return 0;
}

#else

#include <sys/wait.h>

#include "JpegPngKit.h"

int main(int argc, char** argv) {
    constexpr uint32_t kWidth = 4000, kHeight = 3000;  // 12 MP
    constexpr int kRepeats = 5;
    const std::string dir = ZEM_BENCH_WORK_DIR;
    const std::vector<uint8_t> rgb = jpegpng_kit::PhotoLike(kWidth, kHeight, 3, 12);
    jpegpng_kit::JpegOptions jpeg;
    jpeg.quality = 90;
    jpegpng_kit::PngSpec png;
    png.width = kWidth, png.height = kHeight;
    png.samples.assign(rgb.begin(), rgb.end());
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } files[] = {{"photo-12mp.jpg", jpegpng_kit::WriteJpeg(rgb.data(), kWidth, kHeight, jpeg)},
                 {"photo-12mp.png", jpegpng_kit::WritePng(png)}};
    for (const auto& f : files) {
        FILE* out = std::fopen((dir + "/" + f.name).c_str(), "wb");
        if (!out || std::fwrite(f.bytes.data(), 1, f.bytes.size(), out) != f.bytes.size()) return 1;
        std::fclose(out);
    }

    PluginModule imgsrc;
    if (!LoadImgsrc(ZEM_BENCH_PLUGIN_DIR, imgsrc)) return 1;
    double native[2];
    for (int i = 0; i < 2; ++i) {
        native[i] = BestRead(imgsrc, dir + "/" + files[i].name, kRepeats);
        std::printf("%-16s imgsrc.so %9.1f ms\n", files[i].name, native[i]);
    }
    std::vector<std::string> builds(argv + 1, argv + argc);
    if (builds.empty()) builds = {ZEM_SOURCE_DIR "/build/win32", ZEM_SOURCE_DIR "/build/win64"};
    int status = 0;
    for (const std::string& build : builds) {
        const std::string command = "'" + build + "/wine-run' '" + build +
                                    "/bench/wine_bench.exe' 'Z:" + build + "/bin/plugins' " +
                                    std::to_string(kRepeats) + " 'Z:" + dir + "/" + files[0].name +
                                    "' 'Z:" + dir + "/" + files[1].name + "' 2>/dev/null";
        FILE* p = popen(command.c_str(), "r");
        char line[512];
        int i = 0;
        while (p && i < 2 && std::fgets(line, sizeof line, p)) {
            const char* space = std::strrchr(line, ' ');
            const double ms = space ? std::atof(space + 1) : -1;
            if (ms <= 0) break;
            const double ratio = ms / native[i];
            std::printf("%-16s imgsrc.dll %8.1f ms  %.2f x imgsrc.so  (%s)  %s\n", files[i].name,
                        ms, ratio, build.c_str(), ratio <= 1.2 ? "within 1.2" : "ABOVE 1.2");
            if (ratio > 1.2) status = 3;
            ++i;
        }
        if (p) pclose(p);
        if (i < 2) std::printf("%s: no Windows timing (build the preset; can Wine run it?)\n", build.c_str());
    }
    return status;
}

#endif
