// Compares the BMP files that two builds of zemhost wrote for the same pictures: for each file of
// the first folder, the file of the same name in the second must have the same size, bit count
// and pixels, each channel within TOL; or, with TOL:PERCENT:MAX, at most PERCENT per cent of the
// pixels beyond TOL and none beyond MAX (decoders that upsample JPEG chroma differently). Prints
// one line per file (how many pixels differ, how many beyond TOL, by how much at most) and a
// summary.
// Usage: bmp_compare FIRST_DIR SECOND_DIR [TOL[:PERCENT:MAX]]; exit 0 when every file matches.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "DibImage.h"
#include "TestSupport.h"
#include "platform/platform.h"

namespace {

constexpr size_t kFileHeaderBytes = 14;

struct Loaded {
    std::vector<uint8_t> bytes;
    DibImage image;
    std::vector<uint8_t> rows;
    std::string error;
};

bool Load(const std::string& path, Loaded& out) {
    if (!testing_support::ReadWholeFile(path, out.bytes) ||
        out.bytes.size() <= kFileHeaderBytes) {
        out.error = "cannot read";
        return false;
    }
    if (!out.image.Load(out.bytes.data() + kFileHeaderBytes,
                        out.bytes.size() - kFileHeaderBytes, out.error)) {
        return false;
    }
    out.rows = out.image.ConvertAll();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bmp_compare FIRST_DIR SECOND_DIR [TOLERANCE]\n");
        return 2;
    }
    const std::string first = std::string(argv[1]) + "/";
    const std::string second = std::string(argv[2]) + "/";
    int tolerance = 0, percent = 0, most_allowed = 0;
    if (argc > 3 && std::sscanf(argv[3], "%d:%d:%d", &tolerance, &percent, &most_allowed) != 3) {
        most_allowed = tolerance;
    }
    std::vector<std::string> names;
    if (!platform::ListFiles(first, ".bmp", names)) {
        std::fprintf(stderr, "bmp_compare: cannot list %s\n", first.c_str());
        return 2;
    }
    int bad = 0, same = 0, close = 0;
    for (const std::string& name : names) {
        Loaded a, b;
        if (!Load(first + name, a) || !Load(second + name, b)) {
            std::printf("%s: FAIL: %s\n", name.c_str(),
                        !a.error.empty() ? a.error.c_str() : b.error.c_str());
            ++bad;
            continue;
        }
        const auto bits_a = a.image.Measures().bit_count, bits_b = b.image.Measures().bit_count;
        if (a.image.Width() != b.image.Width() || a.image.Height() != b.image.Height() ||
            bits_a != bits_b || a.image.Channels() != b.image.Channels()) {
            std::printf("%s: FAIL: %ux%u %u-bit vs %ux%u %u-bit\n", name.c_str(),
                        a.image.Width(), a.image.Height(), unsigned(bits_a), b.image.Width(),
                        b.image.Height(), unsigned(bits_b));
            ++bad;
            continue;
        }
        const size_t channels = a.image.Channels();
        size_t differing = 0, beyond = 0;
        int most = 0;
        for (size_t i = 0; i < a.rows.size(); i += channels) {
            int pixel = 0;
            for (size_t c = 0; c < channels; ++c) {
                const int d = std::abs(int{a.rows[i + c]} - int{b.rows[i + c]});
                pixel = d > pixel ? d : pixel;
            }
            if (pixel) ++differing;
            if (pixel > tolerance) ++beyond;
            most = pixel > most ? pixel : most;
        }
        const size_t pixels = a.rows.size() / channels;
        if (differing == 0) {
            ++same;
            std::printf("%s: same pixels (%ux%u, %u-bit)\n", name.c_str(), a.image.Width(),
                        a.image.Height(), unsigned(bits_a));
            continue;
        }
        const bool within = most <= most_allowed && beyond * 100 <= size_t(percent) * pixels;
        within ? ++close : ++bad;
        std::printf("%s: %s%zu of %zu pixels differ (%.2f%%), %zu by more than %d, by at most %d\n",
                    name.c_str(), within ? "" : "FAIL: ", differing, pixels,
                    100.0 * differing / pixels, beyond, tolerance, most);
    }
    std::printf("bmp_compare: %d same, %d within %s, %d failing, of %zu\n", same, close,
                argc > 3 ? argv[3] : "0", bad, names.size());
    return bad == 0 && !names.empty() ? 0 : 1;
}
