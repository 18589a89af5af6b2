// Every frame of animated GIF, PNG and WebP files against Pillow's composited frames. The files
// come from Pillow too (tests/img/anim_oracle.py): every GIF disposal, APNG disposal and blend, a
// partial first frame, a default PNG image outside the animation, and cut last frames. Pixels
// transparent in both pictures count as equal whatever their colour. Where Pillow departs from
// what browsers show (it paints the screen outside a partial first GIF image with the background
// colour; browsers leave it transparent, and so do we), the pixels that we leave transparent are
// not compared. Frames are asked for in a
// scrambled order, so that the frame cache starts from canvases that are not the frame before.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ImgTestSupport.h"
#include "TestSupport.h"

namespace {

using namespace testing_support;

#ifndef _WIN32
std::string Python() {
    std::ifstream debian("/usr/bin/python3");
    return debian.good() ? "/usr/bin/python3" : "python3";
}
#endif

TEST(ImgAnimation, EveryFrameEqualsPillows) {
#ifdef _WIN32
    GTEST_SKIP() << "Pillow runs on the native build only";
#else
    const std::string dir = MakeTempDir();
    const std::string command = Python() + " " ZEM_SOURCE_DIR "/tests/img/anim_oracle.py " + dir;
    const int status = std::system(command.c_str());
    if (status != 0) {
        RemoveTree(dir);
        GTEST_SKIP() << "Pillow (python3-pil) is not installed: " << command << " gave " << status;
    }
    std::ifstream manifest(dir + "/manifest.txt");
    std::string line;
    int files = 0;
    while (std::getline(manifest, line)) {
        std::istringstream fields(line);
        std::string name, rule;
        uint32_t width = 0, height = 0;
        int32_t frames = 0;
        ASSERT_TRUE(fields >> name >> width >> height >> frames >> rule) << line;
        SCOPED_TRACE(name);
        ++files;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(ReadWholeFile(dir + "/" + name, bytes));
        const uint32_t frame_count = img_test::GetInfo(bytes).record.frameCount;  // packed
        EXPECT_EQ(frame_count, uint32_t(frames));
        for (int32_t k = 0; k < frames; ++k) {
            const int32_t i = (k * 3 + 1) % frames == k ? k : (k * 3 + 1) % frames;
            std::vector<uint8_t> want;
            ASSERT_TRUE(ReadWholeFile(dir + "/" + name + "." + std::to_string(i) + ".rgba", want));
            img_test::Picture got = img_test::Decode(bytes, i);
            EXPECT_EQ(got.result, 0) << "frame " << i;
            EXPECT_EQ(got.rgba.size(), want.size()) << "frame " << i;
            if (got.rgba.size() != want.size()) continue;
            for (size_t p = 0; p < want.size(); p += 4) {
                if (got.rgba[p + 3] == 0 && (want[p + 3] == 0 || rule == "browser")) {
                    std::copy_n(&want[p], 4, &got.rgba[p]);
                }
            }
            EXPECT_TRUE(img_test::SameRgba(got, want, width, height)) << "frame " << i;
        }
        EXPECT_NE(img_test::Decode(bytes, frames).result, 0);
    }
    EXPECT_GE(files, 16);
    RemoveTree(dir);
#endif
}

}  // namespace
