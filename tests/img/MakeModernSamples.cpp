// Writes the WebP, AVIF (HEIC when this libheif cannot encode AV1) and JPEG XL samples of the
// main job into samples/, made with the formats' own encoders. Usage: img_make_modern_samples
// SOURCE_DIR
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ModernEncoders.h"

namespace {

bool Write(const std::string& path, const modern_test::Encoded& file) {
    if (file.bytes.empty()) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), file.error.c_str());
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.bytes.data()),
              static_cast<std::streamsize>(file.bytes.size()));
    std::printf("%s: %zu bytes\n", path.c_str(), file.bytes.size());
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SOURCE_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/samples/";
    using modern_test::PhotoLike;
    bool ok = Write(dir + "webp-lossy-alpha.webp",
                    modern_test::EncodeWebp(PhotoLike(320, 240, 4, 1), false, 75));
    if (modern_test::HeifEncoderAvailable(modern_test::HeifCodec::Av1)) {
        ok &= Write(dir + "avif-photo.avif", modern_test::EncodeHeif(modern_test::HeifCodec::Av1,
                                                                     {PhotoLike(320, 240, 3, 2)}));
    } else {
        ok &= Write(dir + "heic-photo.heic", modern_test::EncodeHeif(modern_test::HeifCodec::Hevc,
                                                                     {PhotoLike(320, 240, 3, 2)}));
    }
    std::vector<modern_test::Raster> frames;
    for (uint32_t i = 0; i < 3; ++i) frames.push_back(PhotoLike(160, 120, 4, 3 + i));
    ok &= Write(dir + "jxl-animation-3.jxl", modern_test::EncodeJxl(frames, false, 1.5f));
    return ok ? 0 : 1;
}
