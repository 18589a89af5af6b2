// Writes the JPEG XL and AVIF pictures of the orientation and colour table
// (orientation_table.py), made by the libraries' own encoders: colours described as Display P3
// on a gamma 2.2 curve (JPEG XL's colour encoding, an nclx property) or left unspecified, and a
// JPEG XL picture stored sideways.
// With a profile, an AVIF picture carries it as its colour property.
//   make_colour_fixtures OUTPUT_DIR [ICC_FILE]   (prints the names of the files written)
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "ModernEncoders.h"

namespace {

bool Write(const std::string& dir, const char* name, const modern_test::Encoded& encoded) {
    FILE* f = encoded.bytes.empty() ? nullptr : std::fopen((dir + name).c_str(), "wb");
    bool ok = f && std::fwrite(encoded.bytes.data(), encoded.bytes.size(), 1, f) == 1;
    if (f && std::fclose(f) != 0) ok = false;
    if (ok) std::printf("%s\n", name);
    if (!ok) std::fprintf(stderr, "%s not written %s\n", name, encoded.error.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: make_colour_fixtures OUTPUT_DIR [ICC_FILE]\n");
        return 2;
    }
    using namespace modern_test;
    const std::string dir = std::string(argv[1]) + "/";
    const Raster rgb = PhotoLike(37, 22, 3, 30), rgba = PhotoLike(37, 22, 4, 31);
    bool ok = Write(dir, "p3.jxl", EncodeJxl({rgb}, true, 0, 3, true));
    ok = Write(dir, "p3-alpha-o6.jxl", EncodeJxl({rgba}, true, 0, 3, true, 6)) && ok;
    // Lossy: libjxl gives the samples of an XYB image in the space it describes.
    ok = Write(dir, "p3-lossy.jxl", EncodeJxl({rgb}, false, 1.0f, 3, true)) && ok;
    // AVIF through libheif's AV1 encoder (its HEVC encoder writes no colour property).
    if (HeifEncoderAvailable(HeifCodec::Av1)) {
        const Raster even = PhotoLike(38, 22, 3, 32);  // even sides for 4:2:0
        HeifShape p3, unspecified;
        p3.nclx[0] = 12, p3.nclx[1] = 4, p3.nclx[2] = 6, p3.nclx[3] = 1;
        unspecified.nclx[0] = 2, unspecified.nclx[1] = 2, unspecified.nclx[2] = 6;
        ok = Write(dir, "p3-nclx.avif", EncodeHeif(HeifCodec::Av1, {even}, 90, false, p3)) && ok;
        ok = Write(dir, "unspecified-nclx.avif", EncodeHeif(HeifCodec::Av1, {even}, 90, false,
                                                             unspecified)) && ok;
        if (argc == 3) {
            std::ifstream in(argv[2], std::ios::binary);
            HeifShape profiled;
            profiled.icc.assign(std::istreambuf_iterator<char>(in), {});
            ok = !profiled.icc.empty() &&
                 Write(dir, "icc-p3.avif",
                       EncodeHeif(HeifCodec::Av1, {even}, 90, false, profiled)) &&
                 ok;
        }
    }
    return ok ? 0 : 1;
}
