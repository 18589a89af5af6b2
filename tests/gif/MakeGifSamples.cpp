// Writes the sample GIFs for the main job (samples/) and the fuzz seeds (tests/data/gif/good and
// bad/), all made with the test encoder. Usage: gif_make_samples SOURCE_DIR
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "GifTestEncoder.h"

using namespace giftest;

namespace {

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    std::printf("%s: %zu bytes\n", path.c_str(), bytes.size());
    return static_cast<bool>(out);
}

GifImage Image(int w, int h, std::vector<uint16_t> indices, int min_code_size,
               bool interlaced = false) {
    GifImage image;
    image.width = static_cast<uint16_t>(w);
    image.height = static_cast<uint16_t>(h);
    image.indices = std::move(indices);
    image.interlaced = interlaced;
    image.lzw.min_code_size = min_code_size;
    return image;
}

std::vector<uint8_t> Animation(int frames, int size) {
    GifBuilder b;
    b.Header().Screen(static_cast<uint16_t>(size), static_cast<uint16_t>(size), RampPalette(5, 8));
    b.Comment("zem sample: " + std::to_string(frames) + " frames");
    b.Extension(0xFF, {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 1, 0, 0});
    for (int i = 0; i < frames; ++i) {
        GifImage image =
            Image(size, size, PhotoLike(size, size, 32, 100u + static_cast<uint32_t>(i)), 5);
        if (i % 2 == 1) image.local_table = RampPalette(5, 200u + static_cast<uint32_t>(i));
        b.GraphicControl(20, i == 0 ? -1 : 0).Image(image);
    }
    return b.Trailer().Bytes();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SOURCE_DIR\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    bool ok = true;

    // samples/: a few small pictures of each kind gifsrc reads.
    const std::string s = root + "/samples/";
    ok &= Write(s + "gif-photo-256.gif", GifBuilder()
                                             .Header()
                                             .Screen(96, 64, RampPalette(8, 1))
                                             .Comment("zem sample: 256 colours")
                                             .Image(Image(96, 64, PhotoLike(96, 64, 256, 1), 8))
                                             .Trailer()
                                             .Bytes());
    ok &= Write(s + "gif-interlaced-16.gif",
                GifBuilder()
                    .Header("GIF87a")
                    .Screen(80, 60, RampPalette(4, 2))
                    .Image(Image(80, 60, PhotoLike(80, 60, 16, 2), 4, true))
                    .Trailer()
                    .Bytes());
    ok &= Write(s + "gif-mono-2.gif", GifBuilder()
                                          .Header()
                                          .Screen(64, 32, {0, 0, 0, 255, 255, 255})
                                          .Image(Image(64, 32, PhotoLike(64, 32, 2, 3, 1), 2))
                                          .Trailer()
                                          .Bytes());
    ok &= Write(s + "gif-grey-no-table.gif",
                GifBuilder()
                    .Header()
                    .Screen(40, 40, {}, 8)
                    .Image(Image(40, 40, PhotoLike(40, 40, 256, 4, 0), 8))
                    .Trailer()
                    .Bytes());
    ok &= Write(s + "gif-animation-4.gif", Animation(4, 48));

    // tests/data/gif/good: small valid streams of every kind, as fuzz seeds.
    const std::string g = root + "/tests/data/gif/good/";
    for (int bits = 1; bits <= 8; ++bits) {
        ok &= Write(g + "depth-" + std::to_string(bits) + ".gif",
                    SimpleGif(9, 7, PhotoLike(9, 7, 1 << bits, static_cast<uint32_t>(bits)), bits,
                              bits % 2 == 0));
    }
    ok &= Write(g + "animation.gif", Animation(3, 12));
    GifImage no_clear = Image(16, 16, PhotoLike(16, 16, 16, 5), 4);
    no_clear.lzw.leading_clear = false;
    no_clear.lzw.end_code = false;
    ok &= Write(
        g + "no-clear-no-end.gif",
        GifBuilder().Header().Screen(16, 16, Palette(4, 5)).Image(no_clear).Trailer().Bytes());
    GifImage deferred = Image(70, 70, RandomIndices(70 * 70, 256, 6), 8);
    deferred.lzw.deferred_clear = true;
    ok &= Write(
        g + "deferred-clear.gif",
        GifBuilder().Header().Screen(70, 70, Palette(8, 6)).Image(deferred).Trailer().Bytes());
    ok &= Write(g + "code-size-11.gif", GifBuilder()
                                            .Header()
                                            .Screen(8, 8, Palette(8, 7))
                                            .Image(Image(8, 8, RandomIndices(64, 2048, 7), 11))
                                            .Trailer()
                                            .Bytes());

    // tests/data/gif/bad: the failures of the read, one each.
    const std::string b = root + "/tests/data/gif/bad/";
    auto good = SimpleGif(9, 7, PhotoLike(9, 7, 256, 8), 8);
    ok &=
        Write(b + "truncated-image-data.gif", std::vector<uint8_t>(good.begin(), good.end() - 20));
    ok &= Write(b + "truncated-table.gif", std::vector<uint8_t>(good.begin(), good.begin() + 100));
    auto lower = good;
    lower[0] = 'g';
    ok &= Write(b + "bad-signature.gif", lower);
    ok &= Write(b + "trailer-only.gif",
                GifBuilder().Header().Screen(1, 1, Palette(1, 1)).Trailer().Bytes());
    GifImage code12 = Image(4, 4, {}, 2);
    code12.raw_data = true;
    code12.data = {12, 1, 0, 0};
    ok &= Write(b + "code-size-12.gif",
                GifBuilder().Header().Screen(4, 4, Palette(1, 1)).Image(code12).Trailer().Bytes());
    return ok ? 0 : 1;
}
