// A 4096 x 4096 BC7 DDS (made by dds_bench.py, which also times Pillow's decode of it) read by
// imgsrc's GetPicture from memory: the best of five against Pillow's best of three, in the same
// run. Goal: at most 1.5 times Pillow's time.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ImgsrcRatioBench.h"
#include "TestSupport.h"

int main() {
    using Clock = std::chrono::steady_clock;
    const std::string dir = testing_support::MakeTempDir();
    const std::string python =
        access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    const std::string command = python + " " ZEM_BENCH_SOURCE_DIR "/dds_bench.py " + dir;
    if (std::system(command.c_str()) != 0) {
        std::printf("dds_bench: skipped (Python with Pillow is needed to make the file)\n");
        testing_support::RemoveTree(dir);
        return 0;
    }
    double pillow = 0;
    std::ifstream(dir + "/pillow.txt") >> pillow;
    std::ifstream in(dir + "/bc7.dds", std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    testing_support::RemoveTree(dir);
    if (!imgsrc_bench::LoadImgsrc()) return 1;
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        SpiHandle dib = nullptr;
        const auto start = Clock::now();
        const int32_t r = imgsrc_bench::Imgsrc().GetPicture(
            reinterpret_cast<const char*>(bytes.data()), static_cast<SpiLength>(bytes.size()),
            SPI_SRC_MEMORY, &dib, nullptr, nullptr, 0);
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        platform::MemFree(dib);
        if (r != 0) {
            std::printf("GetPicture failed: %d\n", r);
            return 1;
        }
        if (t < best) best = t;
    }
    std::printf("BC7 4096x4096: imgsrc %.3f s, Pillow %.3f s, ratio %.2f (goal <= 1.50)\n", best,
                pillow, best / pillow);
    return 0;
}
