// Animations as a viewer plays them, and tiny files that declare huge pictures.
//
// Stepping: a host asks imgsrc for frame 0, 1, 2... of a 100-frame 640x360 GIF with partial
// frames, a 40-frame WebP and a 40-frame APNG (made by anim_bench.py with Pillow, which also
// times Pillow iterating the same frames). Goal: the total at most Pillow's, and the last frame
// at most twice the first.
//
// Bombs: GIFs whose screen is 28938 x 26991 with 1 x 1 images (one per disposal method, frame
// 1 asked for), the same screen with one full-size image that has no data (gifsrc), and a 1 KB
// RLE BMP of 30000 x 30000 (bmpsrc): time and peak memory of one request, each in a child
// process, against the size of the DIB it returns (the peak counts the DIB whole: a second
// request reads every page of it, as a host does). Goal: peak within 1.25 x DIB + 64 MB, and at
// most 1.5 s per GB of DIB beyond decoding.
//
// Usage: anim_bench [PLUGIN_DIR [--steps-only]]   (default: this build's plug-ins). Linux only.
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "PluginModule.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

void U16(Bytes& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void U32(Bytes& b, uint32_t v) {
    U16(b, v & 0xFFFF);
    U16(b, v >> 16);
}

constexpr uint32_t kScreenW = 28938, kScreenH = 26991;

// A GIF of the huge screen: two 1 x 1 images, the first with `disposal`.
Bytes HugeScreenGif(int disposal) {
    Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
    U16(b, kScreenW);
    U16(b, kScreenH);
    b.insert(b.end(), {0x80, 0, 0, 0, 0, 0, 255, 255, 255});
    for (int i = 0; i < 2; ++i) {
        b.insert(b.end(), {0x21, 0xF9, 4, uint8_t(i == 0 ? disposal << 2 : 0), 0, 0, 0, 0});
        b.push_back(0x2C);
        U16(b, uint32_t(i) * 5);
        U16(b, 0);
        U16(b, 1);
        U16(b, 1);
        b.push_back(0);
        b.insert(b.end(), {2, 2, 0x4C, 0x01, 0});  // clear, 1, end
    }
    b.push_back(0x3B);
    return b;
}

// The huge screen with one full-size image whose data is only its code size and terminator.
Bytes EmptyFullImageGif() {
    Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
    U16(b, kScreenW);
    U16(b, kScreenH);
    b.insert(b.end(), {0x80, 0, 0, 0, 0, 0, 255, 255, 255, 0x2C, 0, 0, 0, 0});
    U16(b, kScreenW);
    U16(b, kScreenH);
    b.insert(b.end(), {0, 2, 0, 0x3B});
    return b;
}

// A 30000 x 30000 8-bit BI_RLE8 bitmap: a few runs, then the end of the bitmap.
Bytes RleBomb() {
    Bytes b = {'B', 'M'};
    U32(b, 0);
    U32(b, 0);
    U32(b, 14 + 40 + 1024);
    U32(b, 40);
    U32(b, 30000);
    U32(b, 30000);
    U16(b, 1);
    U16(b, 8);
    U32(b, 1);  // BI_RLE8
    U32(b, 0);
    U32(b, 2835);
    U32(b, 2835);
    U32(b, 256);
    U32(b, 0);
    for (int i = 0; i < 256; ++i) U32(b, uint32_t(i * 0x010101));
    b.insert(b.end(), {255, 7, 0, 0, 100, 9, 0, 1});
    return b;
}

struct Request {
    std::string plugin;
    const Bytes* bytes;
    int32_t frame;
};

// One request from memory; the DIB's size in `dib_size`. With `touch`, every page of the DIB is
// read afterwards, as a host that shows it does, so that the peak counts it whole.
int32_t Read(const PluginModule& module, const Bytes& bytes, int32_t frame, size_t& dib_size,
             bool touch = false) {
    PictureRequestBlock block{};
    std::memcpy(block.tag, "zem", 3);
    block.field48 = frame;
    SpiHandle dib = nullptr;
    const int32_t r = module.GetPicture(reinterpret_cast<const char*>(bytes.data()),
                                        static_cast<SpiLength>(bytes.size()), SPI_SRC_MEMORY,
                                        &dib, nullptr, nullptr,
                                        static_cast<SpiUserData>(reinterpret_cast<intptr_t>(&block)));
    dib_size = dib ? platform::MemSize(dib) : 0;
    if (touch && dib) {
        const volatile uint8_t* p = static_cast<const uint8_t*>(platform::MemLock(dib));
        uint8_t sum = 0;
        for (size_t i = 0; i < dib_size; i += 4096) sum = uint8_t(sum + p[i]);
        platform::MemUnlock(dib);
    }
    platform::MemFree(dib);
    return r;
}

bool LoadModule(PluginModule& module, const std::string& dir, const std::string& name) {
    std::string error;
    if (module.Load(dir + "/" + name + platform::ModuleSuffix(), error)) return true;
    std::fprintf(stderr, "cannot load %s: %s\n", name.c_str(), error.c_str());
    return false;
}

void Stepping(const std::string& plugins, const std::string& dir) {
    const std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    const std::string command = python + " " + ZEM_BENCH_SOURCE_DIR +
                                "/anim_bench.py " + dir;
    if (std::system(command.c_str()) != 0) {
        std::printf("stepping: skipped (Python with Pillow is needed to make the files)\n");
        return;
    }
    PluginModule imgsrc;
    if (!LoadModule(imgsrc, plugins, "imgsrc")) return;
    std::ifstream report(dir + "/pillow.txt");
    std::string name;
    double pillow = 0;
    int frames = 0;
    std::printf("%-10s %7s %9s %9s %9s %9s %8s\n", "file", "frames", "total s", "Pillow s",
                "frame0 ms", "last ms", "last/0");
    while (report >> name >> pillow >> frames) {
        Bytes bytes;
        std::ifstream in(dir + "/" + name, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
        double first = 0, last = 0, total = 0;
        for (int i = 0; i < frames; ++i) {
            size_t size = 0;
            const auto start = Clock::now();
            const int32_t r = Read(imgsrc, bytes, i, size);
            const double t = Seconds(start);
            if (r != 0) std::printf("  %s frame %d failed: %d\n", name.c_str(), i, r);
            total += t;
            if (i == 0) first = t;
            last = t;
        }
        std::printf("%-10s %7d %9.3f %9.3f %9.2f %9.2f %8.2f\n", name.c_str(), frames, total,
                    pillow, first * 1e3, last * 1e3, last / first);
    }
}

void Bomb(const std::string& plugins, const char* label, const char* plugin, const Bytes& bytes,
          int32_t frame) {
    int fds[2];
    if (pipe(fds) != 0) return;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        PluginModule module;
        double result[3] = {-1, 0, 0};
        if (LoadModule(module, plugins, plugin)) {
            size_t size = 0;
            const auto start = Clock::now();
            result[0] = Read(module, bytes, frame, size);
            result[1] = Seconds(start);
            Read(module, bytes, frame, size, true);  // the peak as a host that reads the DIB
            result[2] = double(size);
        }
        if (write(fds[1], result, sizeof result) != sizeof result) _exit(1);
        _exit(0);
    }
    close(fds[1]);
    double result[3] = {-1, 0, 0};
    const bool got = read(fds[0], result, sizeof result) == sizeof result;
    close(fds[0]);
    int status = 0;
    struct rusage usage {};
    wait4(child, &status, 0, &usage);
    const double peak_mb = usage.ru_maxrss / 1024.0;
    const double dib_mb = result[2] / 1048576.0;
    std::printf("%-22s %-7s %6.0f %8.2f %10.1f %10.1f %10.1f\n", label, plugin,
                got ? result[0] : -1, result[1], dib_mb, peak_mb, 1.25 * dib_mb + 64);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string plugins = argc > 1 ? argv[1] : ZEM_BENCH_PLUGIN_DIR;
    char templ[] = "/tmp/anim_bench.XXXXXX";
    const char* dir = mkdtemp(templ);
    if (!dir) return 1;
    Stepping(plugins, dir);
    if (argc > 2 && std::strcmp(argv[2], "--steps-only") == 0) return 0;
    std::printf("\n%-22s %-7s %6s %8s %10s %10s %10s\n", "bomb", "plug-in", "result", "time s",
                "DIB MB", "peak MB", "bound MB");
    for (int d = 0; d < 4; ++d) {
        const std::string label = "1x1 on huge, dispose " + std::to_string(d);
        Bomb(plugins, label.c_str(), "imgsrc", HugeScreenGif(d), 1);
    }
    const Bytes empty = EmptyFullImageGif();
    Bomb(plugins, "empty full-size image", "gifsrc", empty, 0);
    Bomb(plugins, "empty full-size image", "imgsrc", empty, 0);
    const Bytes rle = RleBomb();
    Bomb(plugins, "RLE8 30000x30000", "bmpsrc", rle, 0);
    Bomb(plugins, "RLE8 30000x30000", "imgsrc", rle, 0);
    std::system((std::string("rm -rf ") + dir).c_str());
    return 0;
}
