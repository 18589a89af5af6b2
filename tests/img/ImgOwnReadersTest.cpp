// Our own BMP and GIF readers behind imgsrc give the pictures that bmpsrc and gifsrc give, over
// the public BMP suite and the samples (GIF frames after the first composed, as a viewer shows
// them, where gifsrc gives raw images).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "DibImage.h"
#include "GifComposition.h"
#include "ImgTestSupport.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

// The picture that `plugin` gives for `bytes`, as top-down RGBA; empty when it gives none.
std::vector<uint8_t> Through(const char* plugin, const std::vector<uint8_t>& bytes, int image) {
    static testing_support::LoadedPlugin bmpsrc("bmpsrc");
    static testing_support::LoadedPlugin gifsrc("gifsrc");
    const testing_support::LoadedPlugin& loaded = std::string(plugin) == "bmpsrc" ? bmpsrc : gifsrc;
    if (!loaded.ok) {
        ADD_FAILURE() << plugin << " did not load: " << loaded.error;
        return {};
    }
    const PluginModule& m = loaded.module;
    PictureRequestBlock block{};
    block.tag[0] = 'z', block.tag[1] = 'e', block.tag[2] = 'm';
    block.field48 = image;
    SpiHandle dib = nullptr;
    auto bits = reinterpret_cast<SpiHandle>(static_cast<intptr_t>(SPI_PACKED_DIB_MARKER));
    if (m.GetPicture(reinterpret_cast<const char*>(bytes.data()),
                     static_cast<SpiLength>(bytes.size()), SPI_SRC_MEMORY, &dib, &bits, nullptr,
                     reinterpret_cast<SpiUserData>(&block)) != 0) {
        return {};
    }
    const std::vector<uint8_t> raw = testing_support::HandleBytes(dib);
    testing_support::FreeHandle(dib);
    DibImage image_dib;
    std::string error;
    if (!image_dib.Load(raw.data(), raw.size(), error)) return {};
    return img_test::ToRgba(image_dib.ConvertAll(), static_cast<int>(image_dib.Channels()));
}

TEST(ImgOwnReaders, BmpSuiteMatchesBmpsrc) {
    ZEM_REQUIRE_CORPUS(corpus);
    const fs::path dir = fs::path(corpus) / "bmpsuite-g";
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".bmp") continue;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(testing_support::ReadWholeFile(entry.path().string(), bytes));
        const std::vector<uint8_t> want = Through("bmpsrc", bytes, 0);
        const img_test::Picture got = img_test::Decode(bytes);
        if (want.empty()) continue;  // bmpsrc hands out DIBs a host cannot convert (2-bit...)
        SCOPED_TRACE(entry.path().filename().string());
        // 32-bit BI_RGB is read as 24-bit colour here; bmpsrc's copy may carry the fourth byte.
        ASSERT_EQ(got.result, 0);
        ASSERT_EQ(got.rgba.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            if (i % 4 == 3 && !got.has_alpha) continue;
            ASSERT_EQ(got.rgba[i], want[i]) << "byte " << i;
        }
        EXPECT_TRUE(got.bit_count == 1 || got.bit_count == 4 || got.bit_count == 8 ||
                    got.bit_count == 24 || got.bit_count == 32);
        ++compared;
    }
    EXPECT_GT(compared, 20);
}

TEST(ImgOwnReaders, GifSamplesMatchGifsrcFrameByFrame) {
    const fs::path dir = fs::path(ZEM_SOURCE_DIR) / "samples";
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".gif") continue;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(testing_support::ReadWholeFile(entry.path().string(), bytes));
        const img_test::Info info = img_test::GetInfo(bytes);
        ASSERT_EQ(info.result, 0);
        int screen_w = 0, screen_h = 0;
        std::vector<img_test::RefFrame> frames;
        // Streams without colour tables show gifsrc's grey ramp, which giflib knows nothing of.
        const bool peer = img_test::GiflibFrames(bytes, screen_w, screen_h, frames) &&
                          std::none_of(frames.begin(), frames.end(),
                                       [](const img_test::RefFrame& f) { return f.table.empty(); });
        for (uint32_t frame = 0; frame < info.record.frameCount; ++frame) {
            SCOPED_TRACE(entry.path().filename().string() + " frame " + std::to_string(frame));
            const img_test::Picture got = img_test::Decode(bytes, static_cast<int32_t>(frame));
            // gifsrc gives each image raw; imgsrc composes the animation. The first images of
            // the samples fill the screen without transparency, so both agree there.
            if (frame == 0) {
                EXPECT_EQ(got.rgba, Through("gifsrc", bytes, 0));
            }
            if (peer) {
                const img_test::RefPicture want =
                    img_test::ComposeReference(screen_w, screen_h, frames, frame);
                EXPECT_TRUE(img_test::SameRgba(got, want.rgba, want.width, want.height));
            }
            ++compared;
        }
        EXPECT_EQ(img_test::Decode(bytes, static_cast<int32_t>(info.record.frameCount)).result, 2);
    }
    EXPECT_GE(compared, 8);
}

}  // namespace
