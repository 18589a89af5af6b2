// bmpsrc speed. GetPicture of a 6000 x 4000 24-bit BMP file (one handle, from the page cache)
// is measured against its peer, a plain read() of the whole file into a malloc'd buffer; the
// ratio of the two is the figure of merit (goal: at most 1.25). RLE8 decoding is reported as
// MB/s of decoded pixels.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BmpFile.h"
#include "PluginModule.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;
constexpr int32_t kRleWidth = 4000;
constexpr int32_t kRleHeight = 4000;

struct Fixture {
    std::string dir;
    std::string big_bmp;
    size_t big_size = 0;
    std::vector<uint8_t> rle_bmp;
    PluginModule plugin;
    std::vector<double> ratios;  // one per repetition of BM_GetPictureOverRead
    std::vector<double> wall_ratios;
};

Fixture* g_fixture = nullptr;

void Put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

// BITMAPFILEHEADER and BITMAPINFOHEADER for a bitmap without masks.
std::vector<uint8_t> Headers(int32_t width, int32_t height, uint16_t bits, uint32_t compression,
                             uint32_t colours, uint32_t image_size) {
    std::vector<uint8_t> b;
    const uint32_t off_bits = 14 + 40 + 4 * colours;
    b.push_back('B');  // bfType
    b.push_back('M');
    Put32(b, off_bits + image_size);          // bfSize
    Put32(b, 0);                              // bfReserved1, bfReserved2
    Put32(b, off_bits);                       // bfOffBits
    Put32(b, 40);                             // biSize
    Put32(b, static_cast<uint32_t>(width));   // biWidth
    Put32(b, static_cast<uint32_t>(height));  // biHeight
    Put16(b, 1);                              // biPlanes
    Put16(b, bits);                           // biBitCount
    Put32(b, compression);                    // biCompression
    Put32(b, image_size);                     // biSizeImage
    Put32(b, 2835);                           // biXPelsPerMeter
    Put32(b, 2835);                           // biYPelsPerMeter
    Put32(b, colours);                        // biClrUsed
    Put32(b, 0);                              // biClrImportant
    for (uint32_t i = 0; i < colours; ++i) Put32(b, i * 0x010101u);
    return b;
}

bool MakeBigBmp(const std::string& path, size_t& size) {
    const size_t stride = (static_cast<size_t>(kWidth) * 3 + 3) / 4 * 4;
    const size_t image = stride * kHeight;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::vector<uint8_t> head =
        Headers(kWidth, kHeight, 24, 0, 0, static_cast<uint32_t>(image));
    out.write(reinterpret_cast<const char*>(head.data()),
              static_cast<std::streamsize>(head.size()));
    std::vector<char> row(stride);
    for (int32_t y = 0; y < kHeight; ++y) {
        for (size_t x = 0; x < stride; ++x)
            row[x] = static_cast<char>((x * 7 + static_cast<size_t>(y) * 13) & 0xFF);
        out.write(row.data(), static_cast<std::streamsize>(stride));
    }
    size = head.size() + image;
    return static_cast<bool>(out);
}

// An RLE8 bitmap with a mix of runs (short and long) and absolute runs, as photos and drawings
// compressed by common writers look.
std::vector<uint8_t> MakeRle8Bmp() {
    std::vector<uint8_t> stream;
    std::mt19937 rng(1234);
    for (int32_t y = 0; y < kRleHeight; ++y) {
        int32_t x = 0;
        while (x < kRleWidth) {
            const int32_t left = kRleWidth - x;
            if (rng() % 3 == 0 && left >= 3) {
                const int32_t n = std::min<int32_t>(left, 3 + static_cast<int32_t>(rng() % 60));
                stream.push_back(0);
                stream.push_back(static_cast<uint8_t>(n));
                for (int32_t i = 0; i < n; ++i) stream.push_back(static_cast<uint8_t>(rng()));
                if (n & 1) stream.push_back(0);
                x += n;
            } else {
                const int32_t n = std::min<int32_t>(left, 1 + static_cast<int32_t>(rng() % 255));
                stream.push_back(static_cast<uint8_t>(n));
                stream.push_back(static_cast<uint8_t>(rng()));
                x += n;
            }
        }
        stream.push_back(0);  // end of line
        stream.push_back(0);
    }
    stream.push_back(0);  // end of bitmap
    stream.push_back(1);
    std::vector<uint8_t> bmp =
        Headers(kRleWidth, kRleHeight, 8, 1, 256, static_cast<uint32_t>(stream.size()));
    bmp.insert(bmp.end(), stream.begin(), stream.end());
    return bmp;
}

// The peer: the whole file into a malloc'd buffer with read().
size_t ReadWhole(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    ::lseek(fd, 0, SEEK_SET);
    auto* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
    size_t got = 0;
    while (buffer && got < static_cast<size_t>(size)) {
        const ssize_t n = ::read(fd, buffer + got, static_cast<size_t>(size) - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    benchmark::DoNotOptimize(buffer);
    std::free(buffer);
    ::close(fd);
    return got;
}

// GetPicture through the module, one handle, file source; the result is freed.
bool GetPictureOnce(const std::string& path) {
    SpiHandle info = nullptr;
    const int32_t result =
        g_fixture->plugin.GetPicture(path.c_str(), 0, SPI_SRC_FILE, &info, nullptr, nullptr, 0);
    benchmark::DoNotOptimize(info);
    platform::MemFree(info);
    return result == SPI_OK && info != nullptr;
}

void BM_GetPictureFile24(benchmark::State& state) {
    for (auto _ : state) {
        if (!GetPictureOnce(g_fixture->big_bmp)) state.SkipWithError("GetPicture failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_fixture->big_size));
}
BENCHMARK(BM_GetPictureFile24)->Unit(benchmark::kMillisecond);

void BM_ReadFile24(benchmark::State& state) {
    for (auto _ : state) {
        if (ReadWhole(g_fixture->big_bmp) != g_fixture->big_size)
            state.SkipWithError("read failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_fixture->big_size));
}
BENCHMARK(BM_ReadFile24)->Unit(benchmark::kMillisecond);

double ProcessCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Both in turn within each iteration, so that both see the same machine state. The counter
// "ratio" is GetPicture's CPU time (user and system) over read()'s, which other work on a shared
// machine disturbs least; "wall_ratio" is the same for elapsed time.
void BM_GetPictureOverRead(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    double picture_s = 0, read_s = 0, picture_cpu = 0, read_cpu = 0;
    for (auto _ : state) {
        const double c0 = ProcessCpuSeconds();
        const auto t0 = Clock::now();
        GetPictureOnce(g_fixture->big_bmp);
        const auto t1 = Clock::now();
        const double c1 = ProcessCpuSeconds();
        ReadWhole(g_fixture->big_bmp);
        const auto t2 = Clock::now();
        const double c2 = ProcessCpuSeconds();
        picture_s += std::chrono::duration<double>(t1 - t0).count();
        read_s += std::chrono::duration<double>(t2 - t1).count();
        picture_cpu += c1 - c0;
        read_cpu += c2 - c1;
        state.SetIterationTime(std::chrono::duration<double>(t2 - t0).count());
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["getpicture_ms"] = picture_cpu / n * 1e3;
    state.counters["read_ms"] = read_cpu / n * 1e3;
    state.counters["ratio"] = read_cpu > 0 ? picture_cpu / read_cpu : 0;
    state.counters["wall_ratio"] = read_s > 0 ? picture_s / read_s : 0;
    if (read_cpu > 0) g_fixture->ratios.push_back(picture_cpu / read_cpu);
    if (read_s > 0) g_fixture->wall_ratios.push_back(picture_s / read_s);
}
// Five repetitions: the median of their ratios is what run-bench reports.
BENCHMARK(BM_GetPictureOverRead)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->Repetitions(5);

// RLE8 through the module from memory, one handle; bytes are decoded pixel bytes.
void BM_Rle8GetPicture(benchmark::State& state) {
    const std::vector<uint8_t>& bmp = g_fixture->rle_bmp;
    for (auto _ : state) {
        SpiHandle info = nullptr;
        const int32_t result = g_fixture->plugin.GetPicture(
            reinterpret_cast<const char*>(bmp.data()), static_cast<SpiLength>(bmp.size()),
            SPI_SRC_MEMORY, &info, nullptr, nullptr, 0);
        if (result != SPI_OK) state.SkipWithError("GetPicture failed");
        platform::MemFree(info);
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kRleWidth} * kRleHeight);
}
BENCHMARK(BM_Rle8GetPicture)->Unit(benchmark::kMillisecond);

// The RLE8 decoder alone, into a buffer allocated once.
void BM_Rle8Decode(benchmark::State& state) {
    const std::vector<uint8_t>& bmp = g_fixture->rle_bmp;
    const size_t head = 14 + 40 + 1024;
    std::vector<uint8_t> pixels(static_cast<size_t>(kRleWidth) * kRleHeight);
    for (auto _ : state) {
        if (!DecodeRle8(pixels.data(), kRleWidth, kRleHeight, bmp.data() + head,
                        bmp.size() - head)) {
            state.SkipWithError("decode failed");
        }
        benchmark::DoNotOptimize(pixels.data());
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kRleWidth} * kRleHeight);
}
BENCHMARK(BM_Rle8Decode)->Unit(benchmark::kMillisecond);

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t mid = v.size() / 2;
    return v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

std::string PluginPath() {
    std::string dir = ZEM_BENCH_PLUGIN_DIR;
    if (const char* env = std::getenv("ZEM_PLUGIN_DIR")) dir = env;
    return dir + "/bmpsrc" + platform::ModuleSuffix();
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Fixture fixture;
    g_fixture = &fixture;
    std::string error;
    if (!fixture.plugin.Load(PluginPath(), error)) {
        std::fprintf(stderr, "cannot load bmpsrc: %s\n", error.c_str());
        return 1;
    }
    std::random_device rd;
    fixture.dir = (fs::temp_directory_path() / ("zembench-" + std::to_string(rd()))).string();
    fs::create_directories(fixture.dir);
    fixture.big_bmp = fixture.dir + "/big24.bmp";
    if (!MakeBigBmp(fixture.big_bmp, fixture.big_size)) {
        std::fprintf(stderr, "cannot write %s\n", fixture.big_bmp.c_str());
        return 1;
    }
    fixture.rle_bmp = MakeRle8Bmp();
    // Warm the page cache, so that both sides read from memory.
    for (int i = 0; i < 2; ++i) ReadWhole(fixture.big_bmp);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!fixture.ratios.empty()) {
        std::printf(
            "bmp_bench: GetPicture / read() median ratio %.3f by CPU time, %.3f by wall "
            "time, over %zu runs (goal <= 1.25)\n",
            Median(fixture.ratios), Median(fixture.wall_ratios), fixture.ratios.size());
    }
    std::error_code ec;
    fs::remove_all(fixture.dir, ec);
    return 0;
}
