// zemhost thumbs on a folder of N tiny BMP files (2 x 2 pixels) of which N/5 have their
// thumbnail already, as a re-run into a full folder does; one job, BMP output, bmpsrc the only
// plug-in. The plug-in and the writes cost next to nothing, so the time per file is zemhost's
// own: listing, probing, planning the names, the clash and overwrite checks. Linear work keeps
// it flat from 1,000 to 10,000 files; a check of outputs against inputs would make it grow
// tenfold.
// Usage: folder_bench [N...]   (default 1000 10000)
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A 2 x 2 24-bit BMP file.
std::vector<uint8_t> TinyBmp() {
    std::vector<uint8_t> b(70, 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
    };
    b[0] = 'B', b[1] = 'M';
    put32(2, 70), put32(10, 54), put32(14, 40), put32(18, 2), put32(22, 2);
    b[26] = 1, b[28] = 24;
    put32(34, 16);
    for (size_t i = 54; i < 70; ++i) b[i] = uint8_t(i * 37);
    return b;
}

double RunSeconds(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    // 3: the outputs that were there are skipped, as they should be.
    if (rc != 0 && !(WIFEXITED(rc) && WEXITSTATUS(rc) == 3)) {
        std::fprintf(stderr, "exit status %d: %s\n", rc, command.c_str());
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        if (std::atoi(argv[i]) > 0) sizes.push_back(std::atoi(argv[i]));  // not benchmark flags
    }
    if (sizes.empty()) sizes = {1000, 10000};
    const fs::path dir = fs::temp_directory_path() / "zem_folder_bench";
    const std::vector<uint8_t> bmp = TinyBmp();
    std::printf(
        "zemhost thumbs, one job, BMP output, bmpsrc alone; a fifth of the outputs exist\n");
    double first = 0;
    for (const int n : sizes) {
        fs::remove_all(dir);
        fs::create_directories(dir / "in");
        fs::create_directories(dir / "plugins");
        fs::create_directories(dir / "out");
        fs::copy_file(BMPSRC_PATH, dir / "plugins" / fs::path(BMPSRC_PATH).filename());
        for (int i = 0; i < n; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "IMG_%05d.BMP", i);
            std::ofstream(dir / "in" / name, std::ios::binary)
                .write(reinterpret_cast<const char*>(bmp.data()), std::streamsize(bmp.size()));
            if (i % 5 == 0) std::ofstream(dir / "out" / (std::string(name) + ".bmp")) << "old";
        }
        const std::string command = std::string(ZEMHOST_PATH) + " thumbs " + (dir / "in").string() +
                                    " -o " + (dir / "out").string() +
                                    " --format bmp --jobs 1 --plugins " +
                                    (dir / "plugins").string() + " >/dev/null 2>&1";
        const double seconds = RunSeconds(command);
        const double per_file = 1e6 * seconds / n;
        if (first == 0) first = per_file;
        std::printf(
            "  %6d files (%5d outputs there): %7.3f s  %6.1f us a file  (%.2fx the first)\n", n,
            (n + 4) / 5, seconds, per_file, per_file / first);
        std::fflush(stdout);
    }
    fs::remove_all(dir);
    return 0;
}
