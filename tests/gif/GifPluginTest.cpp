// gifsrc loaded as a host loads it: the module file, the five exports by name.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "GifReference.h"
#include "GifTestEncoder.h"
#include "TestSupport.h"

using namespace giftest;
using testing_support::FreeHandle;
using testing_support::HandleBytes;

namespace {

class GifPlugin : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_plugin.ok) << m_plugin.error; }

    PluginModule& P() { return m_plugin.module; }

    static const std::vector<uint8_t>& Anim() {
        static const std::vector<uint8_t> bytes = [] {
            GifBuilder b;
            b.Header().Screen(50, 40, Palette(8, 3)).Comment("frames");
            for (int i = 0; i < 3; ++i) {
                GifImage image;
                image.width = static_cast<uint16_t>(30 + i);
                image.height = static_cast<uint16_t>(20 + i);
                image.indices = PhotoLike(30 + i, 20 + i, 256, 40u + i);
                b.GraphicControl(5).Image(image);
            }
            return b.Trailer().Bytes();
        }();
        return bytes;
    }

    int32_t GetMemory(const std::vector<uint8_t>& bytes, SpiHandle* info, SpiHandle* bits,
                      SpiUserData user = 0) {
        return P().GetPicture(reinterpret_cast<const char*>(bytes.data()),
                              static_cast<SpiLength>(bytes.size()), SPI_SRC_MEMORY, info, bits,
                              nullptr, user);
    }

    testing_support::LoadedPlugin m_plugin{"gifsrc"};
};

// A temporary file that holds `prefix` followed by `bytes`.
struct TempFile {
    TempFile(const std::vector<uint8_t>& bytes, size_t prefix = 0) {
        dir = testing_support::MakeTempDir();
        path = dir + "/picture.gif";
        std::vector<uint8_t> all(prefix, 0x55);
        all.insert(all.end(), bytes.begin(), bytes.end());
        EXPECT_TRUE(testing_support::WriteWholeFile(path, all));
    }
    ~TempFile() { testing_support::RemoveTree(dir); }
    std::string dir, path;
};

}  // namespace

TEST_F(GifPlugin, InformationStrings) {
    EXPECT_EQ(P().Info(0), "00IN");
    EXPECT_EQ(P().Info(1), "GIF to DIB image plug-in");
    EXPECT_EQ(P().Info(2), "*.gif");
    EXPECT_EQ(P().Info(3), "GIF");
    char buf[10];
    EXPECT_EQ(P().GetPluginInfo(1, buf, 10), 9);
    EXPECT_STREQ(buf, "GIF to DI");
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(P().GetPluginInfo(4, buf, 10), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(P().GetPluginInfo(0, nullptr, 10), 0);
}

TEST_F(GifPlugin, IsSupportedByHeadAndByFile) {
    std::vector<uint8_t> head(2048, 0);
    for (const char* sig : {"GIF87a", "GIF89a"}) {
        std::memcpy(head.data(), sig, 6);
        EXPECT_EQ(P().IsSupported("x.gif", reinterpret_cast<SpiHeadWord>(head.data())), 1);
    }
    for (const char* sig : {"GIF88a", "gif89a", "GIF89b", "BM\0\0\0\0"}) {
        std::memcpy(head.data(), sig, 6);
        EXPECT_EQ(P().IsSupported("x.gif", reinterpret_cast<SpiHeadWord>(head.data())), 0);
    }
    TempFile file(Anim());
    EXPECT_EQ(P().IsSupported(file.path.c_str(), 0), 1);
    EXPECT_EQ(P().IsSupported((file.dir + "/missing.gif").c_str(), 0), 0);
}

TEST_F(GifPlugin, PictureInfoCarriesTheCommentHandle) {
    PictureInfoRecord info;
    std::memset(&info, 0xEE, sizeof info);
    const auto& gif = Anim();
    ASSERT_EQ(P().GetPictureInfo(reinterpret_cast<const char*>(gif.data()),
                                 static_cast<SpiLength>(gif.size()), SPI_SRC_MEMORY, &info),
              0);
    const PictureInfoRecord got = info;
    EXPECT_EQ(int32_t{got.left}, 0);
    EXPECT_EQ(int32_t{got.top}, 0);
    EXPECT_EQ(int32_t{got.width}, 30);
    EXPECT_EQ(int32_t{got.height}, 20);
    EXPECT_EQ(int{got.xDensity}, 0);
    EXPECT_EQ(int{got.colorDepth}, 8);
    SpiHandle handle = info.infoHandle;  // a packed field: read it by value
    ASSERT_NE(handle, nullptr);
    const auto comment = HandleBytes(handle);
    EXPECT_EQ(std::string(comment.begin(), comment.begin() + 6), "frames");
    FreeHandle(handle);
    EXPECT_EQ(int{info.reserved[0]}, 0xEE);  // bytes the plug-in does not name are left alone

    // From a file, with the picture starting at an offset.
    TempFile file(Anim(), 100);
    std::memset(&info, 0, sizeof info);
    ASSERT_EQ(P().GetPictureInfo(file.path.c_str(), 100, SPI_SRC_FILE, &info), 0);
    EXPECT_EQ(int32_t{info.width}, 30);
    FreeHandle(info.infoHandle);
    EXPECT_EQ(P().GetPictureInfo(file.path.c_str(), 100 + static_cast<SpiLength>(Anim().size()),
                                 SPI_SRC_FILE, &info),
              6);

    // Header and screen descriptor only: -6 and no handle.
    std::memset(&info, 0, sizeof info);
    EXPECT_EQ(
        P().GetPictureInfo(reinterpret_cast<const char*>(gif.data()), 13, SPI_SRC_MEMORY, &info),
        -6);
    EXPECT_EQ(int32_t{info.width}, 50);
    handle = info.infoHandle;
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(P().GetPictureInfo(reinterpret_cast<const char*>(gif.data()), 13, 2, &info), 6);
    EXPECT_EQ(int32_t{info.width}, 0);
    EXPECT_EQ(P().GetPictureInfo(reinterpret_cast<const char*>(gif.data()), 13, 1, nullptr), -1);
}

TEST_F(GifPlugin, PictureInOneOrTwoHandles) {
    const auto& gif = Anim();
    const auto ref = ReferenceDecodePicture(gif.data(), gif.size(), 0);
    ASSERT_EQ(ref.result, 0);

    SpiHandle info = nullptr;
    SpiHandle bits = reinterpret_cast<SpiHandle>(static_cast<intptr_t>(SPI_PACKED_DIB_MARKER));
    ASSERT_EQ(GetMemory(gif, &info, &bits), 0);
    EXPECT_EQ(bits, nullptr);
    auto whole = HandleBytes(info);
    FreeHandle(info);
    ASSERT_GE(whole.size(), ref.dib.size());
    EXPECT_TRUE(std::equal(ref.dib.begin(), ref.dib.end(), whole.begin()));

    ASSERT_EQ(GetMemory(gif, &info, nullptr), 0);
    FreeHandle(info);

    bits = nullptr;
    ASSERT_EQ(GetMemory(gif, &info, &bits), 0);
    ASSERT_NE(bits, nullptr);
    auto head = HandleBytes(info);
    auto rows = HandleBytes(bits);
    FreeHandle(info);
    FreeHandle(bits);
    ASSERT_GE(head.size(), 40u + 1024u);
    EXPECT_TRUE(std::equal(ref.dib.begin(), ref.dib.begin() + 1064, head.begin()));
    EXPECT_TRUE(std::equal(ref.dib.begin() + 1064, ref.dib.end(), rows.begin()));
}

TEST_F(GifPlugin, RequestBlockChoosesTheImage) {
    const auto& gif = Anim();
    PictureRequestBlock block{};
    std::memcpy(block.tag, "zem", 3);
    for (int32_t index = 0; index < 4; ++index) {
        block.field48 = index;
        SpiHandle info = nullptr;
        const int32_t result =
            GetMemory(gif, &info, nullptr, reinterpret_cast<SpiUserData>(&block));
        const auto ref = ReferenceDecodePicture(gif.data(), gif.size(), index);
        ASSERT_EQ(result, ref.result) << index;
        if (index == 3) {
            EXPECT_EQ(result, 3);
            EXPECT_EQ(info, nullptr);
            continue;
        }
        auto dib = HandleBytes(info);
        FreeHandle(info);
        EXPECT_EQ(dib[4], 30 + index);
        EXPECT_TRUE(std::equal(ref.dib.begin(), ref.dib.end(), dib.begin()));
    }
    // Another tag: the block is not read, and the first image comes back.
    std::memcpy(block.tag, "zeN", 3);
    SpiHandle info = nullptr;
    ASSERT_EQ(GetMemory(gif, &info, nullptr, reinterpret_cast<SpiUserData>(&block)), 0);
    EXPECT_EQ(HandleBytes(info)[4], 30);
    FreeHandle(info);
}

TEST_F(GifPlugin, FailuresLeaveTheSlotsEmpty) {
    const auto& gif = Anim();
    std::vector<uint8_t> cut(gif.begin(), gif.begin() + 20);
    SpiHandle info = reinterpret_cast<SpiHandle>(1);
    SpiHandle bits = reinterpret_cast<SpiHandle>(2);
    EXPECT_EQ(GetMemory(cut, &info, &bits), 2);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(bits, nullptr);
    EXPECT_EQ(GetMemory(gif, nullptr, &bits), -1);
    EXPECT_EQ(P().GetPicture(reinterpret_cast<const char*>(gif.data()),
                             static_cast<SpiLength>(gif.size()), 2, &info, &bits, nullptr, 0),
              -1);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(P().GetPreview(reinterpret_cast<const char*>(gif.data()),
                             static_cast<SpiLength>(gif.size()), SPI_SRC_MEMORY, &info, &bits,
                             nullptr, 0),
              -1);

    TempFile file(gif, 7);
    ASSERT_EQ(P().GetPicture(file.path.c_str(), 7, SPI_SRC_FILE, &info, nullptr, nullptr, 0), 0);
    FreeHandle(info);
    EXPECT_EQ(P().GetPicture(file.path.c_str(), 7 + static_cast<SpiLength>(gif.size()),
                             SPI_SRC_FILE, &info, nullptr, nullptr, 0),
              6);
    EXPECT_EQ(info, nullptr);
}
