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

#include <jpeglib.h>
#include <png.h>

#include "PluginModule.h"
#include "platform/platform.h"

namespace {

template <typename Run>
double BestOf(int repeats, Run&& run) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!run()) return -1;
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

// The library alone: the file decoded to BGR rows in `out` (resized once, then used again), as
// the back ends ask for them. Errors end the program (libjpeg's default handler), which a
// benchmark of its own files may do.
bool LibraryDecode(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& out) {
    std::vector<uint8_t*> rows;
    if (bytes.size() > 1 && bytes[0] == 0xFF && bytes[1] == 0xD8) {
        jpeg_decompress_struct cinfo;
        jpeg_error_mgr error;
        cinfo.err = jpeg_std_error(&error);
        jpeg_create_decompress(&cinfo);
        jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = JCS_EXT_BGR;
        jpeg_start_decompress(&cinfo);
        const size_t stride = (size_t{cinfo.output_width} * 3 + 3) & ~size_t{3};
        out.resize(stride * cinfo.output_height);
        for (uint32_t y = 0; y < cinfo.output_height; ++y) rows.push_back(&out[stride * y]);
        while (cinfo.output_scanline < cinfo.output_height) {
            const JDIMENSION left = cinfo.output_height - cinfo.output_scanline;
            jpeg_read_scanlines(&cinfo, rows.data() + cinfo.output_scanline, std::min(left, 16u));
        }
        jpeg_finish_decompress(&cinfo);
        jpeg_destroy_decompress(&cinfo);
        return true;
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return false;
    image.format = PNG_FORMAT_BGR;
    out.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, out.data(), 0, nullptr) != 0;
}

// First writes to a fresh block of `size` bytes, one a page, with its allocation and release.
bool TouchFreshBlock(size_t size) {
    SpiHandle block = platform::MemAlloc(size, false);
    auto* p = static_cast<volatile uint8_t*>(platform::MemLock(block));
    if (!p) return false;
    for (size_t i = 0; i < size; i += 4096) p[i] = 1;
    platform::MemUnlock(block);
    platform::MemFree(block);
    return true;
}

struct Timing {
    double request = -1, library = -1, fresh = -1;
};

bool ReadFile(const std::string& path, std::vector<uint8_t>& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
    std::fclose(f);
    return !out.empty();
}

// The best of `repeats` picture reads of the file from memory, and of its split, in
// milliseconds; < 0 on failure.
Timing TimeFile(const PluginModule& imgsrc, const std::string& path, int repeats) {
    Timing t;
    std::vector<uint8_t> bytes, decoded;
    if (!ReadFile(path, bytes)) return t;
    size_t dib_size = 0;
    t.request = BestOf(repeats, [&] {
        SpiHandle dib = nullptr;
        const int32_t r = imgsrc.GetPicture(reinterpret_cast<const char*>(bytes.data()),
                                            static_cast<SpiLength>(bytes.size()), SPI_SRC_MEMORY,
                                            &dib, nullptr, nullptr, 0);
        if (r != 0 || !dib) return false;
        dib_size = platform::MemSize(dib);
        platform::MemFree(dib);
        return true;
    });
    if (t.request < 0) return t;
    t.library = BestOf(repeats, [&] { return LibraryDecode(bytes, decoded); });
    t.fresh = BestOf(repeats, [&] { return TouchFreshBlock(dib_size); });
    return t;
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
    for (int i = 3; i < argc; ++i) {
        const Timing t = TimeFile(imgsrc, argv[i], std::atoi(argv[2]));
        std::printf("%s %.3f %.3f %.3f\n", argv[i], t.request, t.library, t.fresh);
    }
    return 0;
}

#else

#include <sys/wait.h>

#include "JpegPngKit.h"

int main(int argc, char** argv) {
    constexpr uint32_t kWidth = 4000, kHeight = 3000;  // 12 MP
    constexpr int kRepeats = 7;
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
    Timing native[2];
    std::printf("%-16s %-10s %10s %14s %12s\n", "", "", "request", "library alone",
                "fresh block");
    for (int i = 0; i < 2; ++i) {
        native[i] = TimeFile(imgsrc, dir + "/" + files[i].name, kRepeats);
        std::printf("%-16s imgsrc.so  %7.1f ms %11.1f ms %9.1f ms\n", files[i].name,
                    native[i].request, native[i].library, native[i].fresh);
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
            // The file name may hold spaces: the three numbers are the last three fields.
            Timing t;
            std::string text(line);
            for (double* field : {&t.fresh, &t.library, &t.request}) {
                const size_t space = text.find_last_of(' ');
                if (space == std::string::npos) break;
                *field = std::atof(text.c_str() + space + 1);
                text.resize(space);
            }
            if (t.request <= 0) break;
            const double ratio = t.request / native[i].request;
            std::printf("%-16s imgsrc.dll %7.1f ms %11.1f ms %9.1f ms  %.2f x imgsrc.so "
                        "(library %.2f x, fresh block %+.1f ms)  %s  %s\n",
                        files[i].name, t.request, t.library, t.fresh, ratio,
                        t.library / native[i].library, t.fresh - native[i].fresh,
                        ratio <= 1.2 ? "within 1.2" : "ABOVE 1.2", build.c_str());
            if (ratio > 1.2) status = 3;
            ++i;
        }
        if (p) pclose(p);
        if (i < 2) std::printf("%s: no Windows timing (build the preset; can Wine run it?)\n", build.c_str());
    }
    return status;
}

#endif
