#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DibBuilder.h"
#include "Thumbnail.h"

namespace {

using Pixels = std::vector<uint8_t>;

// Reduces `dib` to width x height and reads the result back through the host's converter.
Pixels Shrink(const std::vector<uint8_t>& dib, uint32_t width, uint32_t height,
              size_t channels = 3) {
    DibImage source;
    std::string error;
    EXPECT_TRUE(source.Load(dib.data(), dib.size(), error)) << error;
    std::vector<uint8_t> out;
    EXPECT_TRUE(ShrinkToDib(source, {width, height}, out, error)) << error;
    DibImage reduced;
    EXPECT_TRUE(reduced.Load(out.data(), out.size(), error)) << error;
    EXPECT_EQ(reduced.Width(), width);
    EXPECT_EQ(reduced.Height(), height);
    EXPECT_EQ(reduced.Channels(), channels);
    return reduced.ConvertAll();
}

TEST(Thumbnail, FitsTheLongSideAndKeepsTheShape) {
    const struct {
        uint32_t w, h, fit_w, fit_h;
    } rows[] = {{6000, 4000, 256, 171}, {4000, 6000, 171, 256}, {320, 240, 256, 192},
                {256, 100, 256, 100},   {40, 30, 40, 30},       {100000, 3, 256, 1}};
    for (const auto& r : rows) {
        const ThumbnailSize s = FitWithin(r.w, r.h, kThumbnailSide);
        EXPECT_EQ(s.width, r.fit_w) << r.w << " x " << r.h;
        EXPECT_EQ(s.height, r.fit_h) << r.w << " x " << r.h;
    }
}

TEST(Thumbnail, EachPixelIsTheMeanOfItsBoxInPictureOrder) {
    // 5 x 2, bottom-up: boxes of 3 and 2 columns; the top output row is the top source row.
    const auto dib = DibBuilder::Info(5, 2, 24)
                         .U8({0, 0, 0, 0, 0, 30, 0, 0, 60, 0, 0, 100, 0, 0, 200, 0})  // bottom
                         .U8({90, 0, 0, 90, 0, 0, 93, 0, 0, 1, 2, 3, 3, 4, 5, 0})
                         .Bytes();
    // Top row: BGR (90,0,0) x2, (93,0,0); (1,2,3), (3,4,5). Bottom row: reds 0, 30, 60; 100, 200.
    EXPECT_EQ(Shrink(dib, 2, 2), (Pixels{0, 0, 91, 4, 3, 2, 30, 0, 0, 150, 0, 0}));
    EXPECT_EQ(Shrink(dib, 1, 1), (Pixels{40, 1, 28}));
}

TEST(Thumbnail, AlphaWeightsTheColoursAndIsAveragedItself) {
    // A transparent red pixel beside an opaque blue one: the mean is half-transparent blue.
    const auto dib = DibBuilder::Info(2, 1, 32).U8({0, 0, 255, 0, 255, 0, 0, 255}).Bytes();
    EXPECT_EQ(Shrink(dib, 1, 1, 4), (Pixels{0, 0, 255, 128}));
}

TEST(Thumbnail, RefusesToEnlarge) {
    const auto dib = DibBuilder::Info(2, 1, 24).U8({1, 2, 3, 4, 5, 6, 0, 0}).Bytes();
    DibImage image;
    std::string error;
    ASSERT_TRUE(image.Load(dib.data(), dib.size(), error)) << error;
    std::vector<uint8_t> out;
    EXPECT_FALSE(ShrinkToDib(image, {3, 1}, out, error));
    EXPECT_FALSE(ShrinkToDib(image, {0, 1}, out, error));
}

}  // namespace
