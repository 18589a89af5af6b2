// A thumbnail pane's work from the command line: `zemhost thumbs` on a folder of photographs
// (6000 x 4000 JPEGs, each with an EXIF thumbnail of 187 x 125 as cameras write them) against
// `zemhost decode` of the same folder, which reads every picture whole through GetPicture.
// Wall time of each process, the time per picture, and their ratio; thumbs on one and two
// threads, and info, which reads headers only, against decode to BMP.
// Usage: thumbs_bench [FILES [WIDTH HEIGHT [plain]]]   (default 50 files of 6000 x 4000; plain:
// without EXIF thumbnails, so that thumbs reads each picture at 1/8)
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Smooth light, a disc with a hard edge, fine texture and a little noise, as in a photograph.
std::vector<uint8_t> MakePhoto(int width, int height) {
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    uint32_t seed = 2024;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            seed ^= seed << 13;
            seed ^= seed >> 17;
            seed ^= seed << 5;
            const double fx = double(x) / width, fy = double(y) / height;
            double base = 60 + 120 * fy + 20 * std::sin(fx * 40) * std::cos(fy * 25);
            const double dx = fx - 0.4, dy = fy - 0.55;
            if (dx * dx + dy * dy < 0.04) base = 200 - 80 * (dx * dx + dy * dy) / 0.04;
            for (int c = 0; c < 3; ++c) {
                const int v = int(base * (0.8 + 0.15 * c)) + int(seed % 7) - 3;
                rgb[(size_t(y) * width + x) * 3 + c] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    }
    return rgb;
}

std::vector<uint8_t> Encode(tjhandle tj, const std::vector<uint8_t>& rgb, int width, int height) {
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(tj, rgb.data(), width, 0, height, TJPF_RGB, &out, &size, TJSAMP_420, 90, 0)) {
        std::fprintf(stderr, "tjCompress2: %s\n", tjGetErrorStr2(tj));
        std::exit(1);
    }
    std::vector<uint8_t> jpeg(out, out + size);
    tjFree(out);
    return jpeg;
}

// Every other pixel of every other row, until the long side is at most 240 (a thumbnail that
// qualifies as a preview: its long side is at least 160).
std::vector<uint8_t> Reduce(const std::vector<uint8_t>& rgb, int& width, int& height) {
    std::vector<uint8_t> small = rgb;
    while (width > 240 || height > 240) {
        const int w = width / 2, h = height / 2;
        std::vector<uint8_t> next(size_t(w) * h * 3);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c)
                    next[(size_t(y) * w + x) * 3 + c] =
                        small[(size_t(2 * y) * width + 2 * x) * 3 + c];
        small.swap(next);
        width = w;
        height = h;
    }
    return small;
}

void Put16(std::vector<uint8_t>& v, uint16_t x) {
    v.insert(v.end(), {uint8_t(x), uint8_t(x >> 8)});
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

// The picture with an APP1 EXIF block after its SOI: IFD0 (orientation), IFD1 (the thumbnail).
std::vector<uint8_t> WithExifThumbnail(const std::vector<uint8_t>& jpeg,
                                       const std::vector<uint8_t>& thumb) {
    std::vector<uint8_t> tiff = {'I', 'I', 42, 0};
    Put32(tiff, 8);
    Put16(tiff, 1);  // IFD0: one entry
    Put16(tiff, 0x0112), Put16(tiff, 3), Put32(tiff, 1), Put16(tiff, 1), Put16(tiff, 0);
    Put32(tiff, 26);  // IFD1 follows
    Put16(tiff, 3);
    const uint32_t data_at = 26 + 2 + 3 * 12 + 4;
    Put16(tiff, 0x0103), Put16(tiff, 3), Put32(tiff, 1), Put16(tiff, 6), Put16(tiff, 0);
    Put16(tiff, 0x0201), Put16(tiff, 4), Put32(tiff, 1), Put32(tiff, data_at);
    Put16(tiff, 0x0202), Put16(tiff, 4), Put32(tiff, 1), Put32(tiff, uint32_t(thumb.size()));
    Put32(tiff, 0);
    tiff.insert(tiff.end(), thumb.begin(), thumb.end());
    const size_t length = 2 + 6 + tiff.size();
    std::vector<uint8_t> out = {0xFF, 0xD8, 0xFF, 0xE1, uint8_t(length >> 8), uint8_t(length)};
    out.insert(out.end(), {'E', 'x', 'i', 'f', 0, 0});
    out.insert(out.end(), tiff.begin(), tiff.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

double RunSeconds(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    if (rc != 0) std::fprintf(stderr, "exit status %d: %s\n", rc, command.c_str());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

uintmax_t FolderBytes(const fs::path& dir) {
    uintmax_t total = 0;
    for (const auto& entry : fs::directory_iterator(dir)) total += entry.file_size();
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 50;
    const int width = argc > 3 ? std::atoi(argv[2]) : 6000;
    const int height = argc > 3 ? std::atoi(argv[3]) : 4000;
    const fs::path dir = fs::temp_directory_path() / "zem_thumbs_bench";
    fs::remove_all(dir);
    fs::create_directories(dir / "in");
    {
        tjhandle tj = tjInitCompress();
        const std::vector<uint8_t> rgb = MakePhoto(width, height);
        int tw = width, th = height;
        const std::vector<uint8_t> small = Reduce(rgb, tw, th);
        const bool plain = argc > 4 && std::string(argv[4]) == "plain";
        const std::vector<uint8_t> jpeg =
            plain ? Encode(tj, rgb, width, height)
                  : WithExifThumbnail(Encode(tj, rgb, width, height), Encode(tj, small, tw, th));
        if (plain) tw = th = 0;
        tjDestroy(tj);
        for (int i = 0; i < files; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "photo-%03d.jpg", i);
            std::ofstream(dir / "in" / name, std::ios::binary)
                .write(reinterpret_cast<const char*>(jpeg.data()), std::streamsize(jpeg.size()));
        }
        std::printf("%d JPEGs of %d x %d (%zu bytes each, EXIF thumbnail %d x %d)\n", files, width,
                    height, jpeg.size(), tw, th);
    }
    const std::string zemhost = ZEMHOST_PATH;
    const std::string in = (dir / "in").string();
    struct Case {
        const char* name;
        std::string command;
        fs::path out;
        double seconds = 0;
    };
    // thumbs on one thread and on two (the plug-ins are thread-safe), info (headers only) and
    // decode of every picture.
    Case cases[] = {
        {"thumbs (PNG)", zemhost + " thumbs " + in + " --jobs 1 -o " + (dir / "thumbs").string(),
         dir / "thumbs"},
        {"thumbs -j 2", zemhost + " thumbs " + in + " --jobs 2 -o " + (dir / "thumbs2").string(),
         dir / "thumbs2"},
        {"info", zemhost + " info " + in + "/*.jpg", dir / "none"},
        {"decode (PNG)", zemhost + " decode " + in + "/*.jpg -o " + (dir / "png").string() + "/",
         dir / "png"},
        {"decode (BMP)",
         zemhost + " decode " + in + "/*.jpg --format bmp -o " + (dir / "bmp").string() + "/",
         dir / "bmp"},
    };
    for (Case& c : cases) {
        c.seconds = RunSeconds(c.command + " >/dev/null");
        const uintmax_t bytes = fs::exists(c.out) ? FolderBytes(c.out) : 0;
        std::printf("  %-13s %8.2f s  %7.1f ms a picture  %12ju bytes written  %6.1fx thumbs\n",
                    c.name, c.seconds, 1000 * c.seconds / files, bytes,
                    c.seconds / cases[0].seconds);
        std::fflush(stdout);
        if (&c != &cases[0]) fs::remove_all(c.out);  // 3.6 GB for 50 BMPs: not kept
    }
    // One pair of runs scatters with the other work on the machine: five more pairs, one job and
    // two taken one after the other, and the median of their ratios.
    std::vector<double> ratios = {cases[1].seconds / cases[0].seconds};
    for (int i = 0; i < 5; ++i) {
        double pair[2];
        for (int k = 0; k < 2; ++k) {
            fs::remove_all(cases[k].out);
            pair[k] = RunSeconds(cases[k].command + " >/dev/null");
        }
        ratios.push_back(pair[1] / pair[0]);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("  thumbs with 2 jobs / 1 job: median %.2f of %zu pairs (%.2f to %.2f); "
                "info / decode (BMP): 1/%.0f\n",
                ratios[ratios.size() / 2], ratios.size(), ratios.front(), ratios.back(),
                cases[4].seconds / cases[2].seconds);
    fs::remove_all(dir);
    return 0;
}
