// imgsrc's GIF frames through the built module against a literal compositing of the same images
// (GifComposition), over animations that the tests' GIF writer makes: every disposal method,
// transparency, images smaller than the screen or partly outside it, local colour tables; and,
// where giflib is at hand, against the compositing of the images giflib reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GifComposition.h"
#include "GifTestEncoder.h"
#include "ImgTestSupport.h"

namespace {

using img_test::RefFrame;

struct Image {
    int left, top, width, height;
    int disposal = 0;
    int transparent = -1;
    int local_bits = 0;  // 0: the global table
    bool interlaced = false;
};

struct Animation {
    const char* what;
    int screen_width, screen_height;
    std::vector<Image> images;
    std::vector<int> bit_counts;  // of each frame
};

struct Written {
    std::vector<uint8_t> bytes;
    std::vector<RefFrame> frames;
};

// Global table of 2^3 colours; each image's indices random below 8 (so a 2-entry local table
// also meets indices past its end), the transparent index among them.
Written Write(const Animation& a) {
    const std::vector<uint8_t> global = giftest::Palette(3, 7);
    giftest::GifBuilder b;
    b.Header().Screen(static_cast<uint16_t>(a.screen_width),
                      static_cast<uint16_t>(a.screen_height), global, 3);
    Written w;
    uint32_t seed = 1;
    for (const Image& i : a.images) {
        giftest::GifImage image;
        image.left = static_cast<uint16_t>(i.left), image.top = static_cast<uint16_t>(i.top);
        image.width = static_cast<uint16_t>(i.width), image.height = static_cast<uint16_t>(i.height);
        image.indices = giftest::RandomIndices(size_t(i.width) * size_t(i.height), 8, ++seed);
        image.interlaced = i.interlaced;
        if (i.local_bits) image.local_table = giftest::Palette(i.local_bits, seed + 100);
        image.lzw.min_code_size = 3;
        if (i.disposal != 0 || i.transparent >= 0) b.GraphicControl(5, i.transparent, i.disposal);
        b.Image(image);
        RefFrame f{i.left, i.top, i.width, i.height, {}, i.local_bits ? image.local_table : global,
                   i.disposal, i.transparent};
        f.indices.assign(image.indices.begin(), image.indices.end());
        w.frames.push_back(std::move(f));
    }
    w.bytes = b.Trailer().Bytes();
    return w;
}

const Animation kAnimations[] = {
    {"smaller images kept on an opaque screen", 8, 6,
     {{0, 0, 8, 6}, {2, 1, 3, 3, 1}, {5, 3, 3, 3}}, {4, 4, 4}},
    {"background disposal uncovers, a whole image covers again", 8, 6,
     {{0, 0, 8, 6, 2}, {1, 1, 4, 2, 1}, {0, 0, 8, 6}}, {4, 32, 4}},
    {"restore to previous, overlapping", 9, 7,
     {{0, 0, 9, 7, 1}, {1, 1, 5, 4, 3}, {3, 2, 5, 5, 3}, {2, 2, 4, 4, 0}}, {4, 4, 4, 4}},
    {"restore to previous after a background disposal", 9, 7,
     {{0, 0, 9, 7, 2}, {1, 1, 5, 4, 3}, {0, 3, 6, 4, 3}, {4, 0, 5, 5}}, {4, 32, 32, 32}},
    {"restore to previous on the first image", 6, 6,
     {{0, 0, 6, 6, 3}, {2, 2, 3, 3}}, {4, 32}},
    {"transparency", 8, 6,
     {{0, 0, 8, 6}, {1, 1, 6, 4, 0, 5}, {0, 0, 8, 6, 0, 2}}, {4, 32, 32}},
    {"transparent first image, background disposal", 7, 5,
     {{0, 0, 7, 5, 2, 3}, {2, 1, 4, 3, 1, 0}}, {32, 32}},
    {"local colour tables", 8, 6,
     {{0, 0, 8, 6}, {3, 2, 4, 4, 1, -1, 4}, {0, 0, 8, 6, 0, -1, 1}}, {4, 24, 24}},
    {"partly and wholly outside the screen", 8, 6,
     {{0, 0, 8, 6}, {6, 4, 5, 5, 2}, {20, 20, 3, 3, 2}, {3, 0, 10, 2, 0, 1}}, {4, 4, 32, 32}},
    {"first image smaller than the screen, interlaced", 10, 12,
     {{1, 2, 6, 9, 0, -1, 0, true}, {0, 0, 10, 12, 1, -1, 0, true}}, {32, 4}},
    {"first image larger than the screen", 6, 5, {{0, 0, 9, 7}, {4, 3, 4, 4}}, {4, 4}},
    {"empty screen grows to the first image", 0, 0,
     {{0, 0, 6, 5}, {4, 3, 4, 4}}, {4, 4}},
    // Screens above the frame cache's canvases are composed in the DIB's own rows, 4-bit ones
    // packed: odd edges, restored and cleared rectangles; images as large are drawn row by row
    // as they are decoded.
    {"large screen, packed indices restored to previous", 2050, 2050,
     {{0, 0, 2050, 2050, 1}, {333, 21, 301, 77, 3}, {300, 20, 41, 90, 0},
      {0, 0, 2050, 2050, 0, -1, 0, true}, {0, 0, 2050, 2049, 0, 5, 0, true}},
     {4, 4, 4, 4, 32}},
    {"large screen, background disposal and transparency", 2050, 2050,
     {{0, 0, 2050, 2050, 2}, {7, 9, 99, 33, 3, 4}, {5, 5, 31, 31, 0}}, {4, 32, 32}},
};

TEST(ImgGifFrames, ComposedAsAViewerShowsThem) {
    for (const Animation& a : kAnimations) {
        SCOPED_TRACE(a.what);
        const Written w = Write(a);
        const uint32_t frame_count = img_test::GetInfo(w.bytes).record.frameCount;
        EXPECT_EQ(frame_count, a.images.size());
        int giflib_w = 0, giflib_h = 0;
        std::vector<RefFrame> giflib;
        const bool peer = img_test::GiflibFrames(w.bytes, giflib_w, giflib_h, giflib);
        for (size_t frame = 0; frame < a.images.size(); ++frame) {
            SCOPED_TRACE("frame " + std::to_string(frame));
            const img_test::Picture got = img_test::Decode(w.bytes, static_cast<int32_t>(frame));
            const img_test::RefPicture want =
                img_test::ComposeReference(a.screen_width, a.screen_height, w.frames, frame);
            EXPECT_TRUE(img_test::SameRgba(got, want.rgba, want.width, want.height));
            EXPECT_EQ(got.bit_count, a.bit_counts[frame]);
            if (peer) {
                const img_test::RefPicture g =
                    img_test::ComposeReference(giflib_w, giflib_h, giflib, frame);
                EXPECT_EQ(g.rgba, want.rgba);  // the writer wrote what the test meant
            }
        }
        EXPECT_EQ(img_test::Decode(w.bytes, static_cast<int32_t>(a.images.size())).result, 2);
    }
}

}  // namespace
