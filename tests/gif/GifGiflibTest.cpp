// Differential test against giflib: the indices of the chosen image must equal DGifSlurp's.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "GifFile.h"
#include "GifTestEncoder.h"
#include "TestSupport.h"

using namespace giftest;

namespace {

struct Frame {
    int width = 0, height = 0;
    std::vector<uint8_t> indices;
};

struct MemorySource {
    const std::vector<uint8_t>* bytes;
    size_t pos = 0;
};

int ReadFromMemory(GifFileType* gif, GifByteType* out, int n) {
    auto* src = static_cast<MemorySource*>(gif->UserData);
    const size_t left = src->bytes->size() - src->pos;
    const size_t take = std::min(left, static_cast<size_t>(n));
    std::memcpy(out, src->bytes->data() + src->pos, take);
    src->pos += take;
    return static_cast<int>(take);
}

// Every image as giflib decodes it (rows top-down, interlacing undone by DGifSlurp).
bool GiflibFrames(const std::vector<uint8_t>& bytes, std::vector<Frame>& frames) {
    MemorySource src{&bytes};
    int error = 0;
    GifFileType* gif = DGifOpen(&src, ReadFromMemory, &error);
    if (!gif) return false;
    const bool ok = DGifSlurp(gif) == GIF_OK;
    for (int i = 0; ok && i < gif->ImageCount; ++i) {
        const SavedImage& s = gif->SavedImages[i];
        Frame f{s.ImageDesc.Width, s.ImageDesc.Height, {}};
        f.indices.assign(s.RasterBits, s.RasterBits + static_cast<size_t>(f.width) *
                                                          static_cast<size_t>(f.height));
        frames.push_back(std::move(f));
    }
    DGifCloseFile(gif, &error);
    return ok;
}

// Our indices for image `index`, unpacked from the DIB's bottom-up rows.
bool OurFrame(const std::vector<uint8_t>& bytes, int32_t index, Frame& frame) {
    GifFile file;
    file.SetImageIndex(index);
    file.SetMemorySource(bytes.data(), bytes.size());
    if (file.ReadPictureFromMemory() != 0) return false;
    const auto dib = testing_support::HandleBytes(file.ResultDib());
    testing_support::FreeHandle(file.TakeResultDib());
    frame.width = file.ImageWidth();
    frame.height = file.ImageHeight();
    const int bits = dib[14];
    const size_t w = static_cast<size_t>(frame.width);
    const size_t h = static_cast<size_t>(frame.height);
    const size_t stride = (w * static_cast<size_t>(bits) + 31) / 32 * 4;
    const size_t start = 40 + (size_t{4} << bits);
    frame.indices.clear();
    for (size_t y = 0; y < h; ++y) {
        const uint8_t* row = &dib[start + (h - 1 - y) * stride];
        for (size_t x = 0; x < w; ++x) {
            const size_t bit = x * static_cast<size_t>(bits);
            const int shift = 8 - bits - static_cast<int>(bit % 8);
            frame.indices.push_back(
                static_cast<uint8_t>((row[bit / 8] >> shift) & ((1 << bits) - 1)));
        }
    }
    return true;
}

void ExpectSameAsGiflib(const std::vector<uint8_t>& bytes, const std::string& what) {
    std::vector<Frame> frames;
    ASSERT_TRUE(GiflibFrames(bytes, frames)) << what;
    ASSERT_FALSE(frames.empty()) << what;
    for (size_t i = 0; i < frames.size(); ++i) {
        Frame ours;
        ASSERT_TRUE(OurFrame(bytes, static_cast<int32_t>(i), ours)) << what << " image " << i;
        EXPECT_EQ(ours.width, frames[i].width);
        EXPECT_EQ(ours.height, frames[i].height);
        ASSERT_TRUE(ours.indices == frames[i].indices) << what << " image " << i;
    }
}

}  // namespace

TEST(GifGiflib, GeneratedStreamsDecodeAlike) {
    std::mt19937 rng(20240607);
    for (int n = 0; n < 150; ++n) {
        const int table_bits = 1 + static_cast<int>(rng() % 8);
        const int colours = 1 << table_bits;
        GifBuilder b;
        b.Header(rng() % 2 ? "GIF89a" : "GIF87a").Screen(400, 300, Palette(table_bits, rng()));
        if (rng() % 3 == 0) b.Comment("generated " + std::to_string(n), 1 + rng() % 255);
        const int images = 1 + static_cast<int>(rng() % 3);
        for (int i = 0; i < images; ++i) {
            GifImage image;
            image.width = static_cast<uint16_t>(1 + rng() % 300);
            image.height = static_cast<uint16_t>(1 + rng() % 200);
            const size_t count = size_t{image.width} * image.height;
            switch (rng() % 3) {
                case 0:
                    image.indices = PhotoLike(image.width, image.height, colours, rng(),
                                              static_cast<int>(rng() % 8));
                    break;
                case 1:
                    image.indices = RandomIndices(count, colours, rng());
                    break;
                default:
                    image.indices.assign(
                        count, static_cast<uint16_t>(rng() % static_cast<uint32_t>(colours)));
            }
            image.interlaced = rng() % 2 == 0;
            image.block_size = 1 + rng() % 255;
            image.lzw.min_code_size = std::max(2, table_bits) + static_cast<int>(rng() % 2);
            image.lzw.min_code_size = std::min(image.lzw.min_code_size, 8);
            image.lzw.leading_clear = rng() % 4 != 0;
            image.lzw.deferred_clear = rng() % 3 == 0;
            image.lzw.clear_after_full = static_cast<int>(rng() % 3) * 40;
            if (rng() % 3 == 0) image.local_table = Palette(table_bits, rng());
            if (rng() % 2 == 0)
                b.GraphicControl(static_cast<uint16_t>(rng() % 100),
                                 static_cast<int>(rng() % 2) - 1);
            b.Image(image);
        }
        ExpectSameAsGiflib(b.Trailer().Bytes(), "stream " + std::to_string(n));
        if (HasFatalFailure()) return;
    }
}

TEST(GifGiflib, SamplesDecodeAlike) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(ZEM_SOURCE_DIR) / "samples";
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".gif") continue;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(testing_support::ReadWholeFile(entry.path().string(), bytes));
        ExpectSameAsGiflib(bytes, entry.path().filename().string());
        ++count;
    }
    if (count == 0) GTEST_SKIP() << "no GIF in samples/";
}
