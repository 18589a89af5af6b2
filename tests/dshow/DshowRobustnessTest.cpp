// Damaged clips through the module: cut short anywhere, or with bytes overwritten. Every call
// returns 0 or -1 (and a frame only with 0); under the sanitizers nothing leaks or overruns.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "DshowClips.h"
#include "TestSupport.h"

using testing_support::FreeHandle;

namespace {

class DshowDamage : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_plugin.ok) << m_plugin.error;
        std::string error;
        ASSERT_FALSE(cliptest::ClipDir(&error).empty()) << error;
        ASSERT_TRUE(testing_support::ReadWholeFile(cliptest::ClipPath(GetParam()), m_clip));
        m_dir = testing_support::MakeTempDir();
        m_path = m_dir + "/damaged-" + GetParam();
    }
    void TearDown() override { testing_support::RemoveTree(m_dir); }

    // Information and two frames of the damaged bytes; checks the results' shape.
    void ReadAll(const std::vector<uint8_t>& bytes, const std::string& what) {
        ASSERT_TRUE(testing_support::WriteWholeFile(m_path, bytes));
        PluginModule& p = m_plugin.module;
        PictureInfoRecord record;
        std::memset(&record, 0, sizeof record);
        const int32_t info = p.GetPictureInfo(m_path.c_str(), 0, SPI_SRC_FILE, &record);
        EXPECT_TRUE(info == 0 || info == -1) << what << ": " << info;
        if (info == -1) EXPECT_EQ(record.width, 0) << what;
        for (int32_t position : {0, -75}) {
            PictureRequestBlock block;
            std::memset(&block, 0, sizeof block);
            std::memcpy(block.tag, "zem", 3);
            block.field52 = position;
            SpiHandle head = nullptr;
            SpiHandle bits = nullptr;
            const int32_t got = p.GetPicture(m_path.c_str(), 0, SPI_SRC_FILE, &head, &bits,
                                             nullptr, reinterpret_cast<SpiUserData>(&block));
            EXPECT_TRUE(got == 0 || got == -1) << what << ": " << got;
            EXPECT_EQ(got == 0, head != nullptr && bits != nullptr) << what;
            FreeHandle(head);
            FreeHandle(bits);
        }
        EXPECT_EQ(p.IsSupported(m_path.c_str(), 0), info == 0 ? 1 : 0) << what;
    }

    testing_support::LoadedPlugin m_plugin{"dshowsrc"};
    std::vector<uint8_t> m_clip;
    std::string m_dir;
    std::string m_path;
};

}  // namespace

TEST_P(DshowDamage, CutShort) {
    const size_t step = m_clip.size() / 24 + 1;
    for (size_t n = 0; n < m_clip.size(); n += step) {
        ReadAll(std::vector<uint8_t>(m_clip.begin(), m_clip.begin() + static_cast<ptrdiff_t>(n)),
                "first " + std::to_string(n) + " bytes");
    }
}

TEST_P(DshowDamage, Overwritten) {
    std::mt19937 random(20240611u);
    for (int round = 0; round < 24; ++round) {
        std::vector<uint8_t> bytes = m_clip;
        const size_t count = 1 + random() % 16;
        for (size_t i = 0; i < count; ++i) {
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        }
        // Every fourth round also overwrites a whole run: a header or a frame gone.
        if (round % 4 == 3) {
            const size_t at = random() % bytes.size();
            const size_t run = std::min<size_t>(bytes.size() - at, 64 + random() % 512);
            std::memset(bytes.data() + at, static_cast<int>(random() & 0xFF), run);
        }
        ReadAll(bytes, "round " + std::to_string(round));
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, DshowDamage,
                         testing::Values("h264.mp4", "h264.mkv", "mpeg4.avi", "mpeg4.m4v",
                                         "audio-first.mp4", "odd-444.mkv"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

// Files that name other files or URLs (playlists, lists of files, references) are no movies of
// their own: the plug-in reads the file it is given and nothing that file points at.
TEST(DshowReadsOnlyItsFile, PlaylistsAndListsOfFilesAreRefused) {
    testing_support::LoadedPlugin plugin{"dshowsrc"};
    ASSERT_TRUE(plugin.ok) << plugin.error;
    std::string error;
    ASSERT_FALSE(cliptest::ClipDir(&error).empty()) << error;
    const std::string clip = cliptest::ClipPath("h264.mp4");
    struct Pointer {
        const char* name;
        std::string text;
    };
    const Pointer pointers[] = {
        {"list.ffconcat", "ffconcat version 1.0\nfile '" + clip + "'\n"},
        {"list.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:4.0,\n" + clip +
                          "\n#EXT-X-ENDLIST\n"},
        {"list.m3u8.mp4", "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:4.0,\nfile:" + clip +
                              "\n#EXT-X-ENDLIST\n"},
    };
    const std::string dir = testing_support::MakeTempDir();
    for (const Pointer& p : pointers) {
        const std::string path = dir + "/" + p.name;
        ASSERT_TRUE(testing_support::WriteWholeFile(
            path, std::vector<uint8_t>(p.text.begin(), p.text.end())));
        PictureInfoRecord record;
        std::memset(&record, 0, sizeof record);
        EXPECT_EQ(plugin.module.GetPictureInfo(path.c_str(), 0, SPI_SRC_FILE, &record), -1)
            << p.name;
        EXPECT_EQ(plugin.module.IsSupported(path.c_str(), 0), 0) << p.name;
    }
    testing_support::RemoveTree(dir);
}
