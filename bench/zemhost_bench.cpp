// zemhost converting a 6000 x 4000 photograph-like picture (smooth light, edges and sensor-like
// noise, 24-bit BMP) to BMP and to PNG at the default level and at --png-level 6: the
// median wall time of three runs of the whole process, the output sizes, and the PNG times as
// multiples of the BMP time (the goal for the default: at most 4).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

// A bottom-up 24-bit BMP: a sky-like gradient, a few soft discs with hard edges, fine texture
// and noise of a few levels, which is what keeps a photograph from compressing to nothing.
std::vector<uint8_t> MakePhoto(uint32_t width, uint32_t height) {
    const uint32_t stride = (width * 3 + 3) & ~3u;
    std::vector<uint8_t> bmp(54 + size_t{stride} * height, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    Put32(bmp, 2, static_cast<uint32_t>(bmp.size()));  // bfSize
    Put32(bmp, 10, 54);                                // bfOffBits
    Put32(bmp, 14, 40);                                // biSize
    Put32(bmp, 18, width);                             // biWidth
    Put32(bmp, 22, height);                            // biHeight
    bmp[26] = 1;                                       // biPlanes
    bmp[28] = 24;                                      // biBitCount
    uint32_t seed = 12345;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = bmp.data() + 54 + size_t{y} * stride;
        for (uint32_t x = 0; x < width; ++x) {
            seed ^= seed << 13;
            seed ^= seed >> 17;
            seed ^= seed << 5;
            const int noise = static_cast<int>(seed % 9) - 4;
            const double fx = double(x) / width, fy = double(y) / height;
            double base = 60 + 120 * fy + 20 * std::sin(fx * 40) * std::cos(fy * 25);
            const double dx = fx - 0.4, dy = fy - 0.55;
            if (dx * dx + dy * dy < 0.04) base = 200 - 80 * (dx * dx + dy * dy) / 0.04;
            for (int c = 0; c < 3; ++c) {
                const int v = static_cast<int>(base * (0.8 + 0.15 * c)) + noise;
                row[size_t{x} * 3 + c] = static_cast<uint8_t>(std::clamp(v, 0, 255));
            }
        }
    }
    return bmp;
}

double RunSeconds(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    const fs::path dir = fs::temp_directory_path() / "zemhost_bench";
    fs::create_directories(dir);
    const fs::path input = dir / "photo-24mp.bmp";
    {
        const std::vector<uint8_t> bmp = MakePhoto(6000, 4000);
        std::ofstream(input, std::ios::binary)
            .write(reinterpret_cast<const char*>(bmp.data()),
                   static_cast<std::streamsize>(bmp.size()));
    }
    struct Case {
        const char* name;
        const char* output;
        const char* extra;
        double seconds;
    };
    Case cases[] = {{"BMP", "out.bmp", "", 0},
                    {"PNG (default)", "out.png", "", 0},
                    {"PNG --png-level 6", "out6.png", " --png-level 6", 0}};
    std::printf("6000 x 4000, 24-bit input of %ju bytes; median of 3 runs\n",
                static_cast<uintmax_t>(fs::file_size(input)));
    for (Case& c : cases) {
        std::vector<double> times;
        for (int i = 0; i < 3; ++i) {
            const std::string command =
                std::string(ZEMHOST_PATH) + " decode --force --plugin bmpsrc " + input.string() +
                " -o " + (dir / c.output).string() + c.extra + " >/dev/null";
            times.push_back(RunSeconds(command));
        }
        std::sort(times.begin(), times.end());
        c.seconds = times[1];
    }
    for (const Case& c : cases) {
        std::printf("  %-18s %7.2f s  %5.2fx BMP  %10ju bytes\n", c.name, c.seconds,
                    c.seconds / cases[0].seconds,
                    static_cast<uintmax_t>(fs::file_size(dir / c.output)));
    }
    const double ratio = cases[1].seconds / cases[0].seconds;
    std::printf("default PNG / BMP: %.2f (goal: at most 4): %s\n", ratio,
                ratio <= 4 ? "met" : "NOT met");
    fs::remove_all(dir);
    return 0;
}
