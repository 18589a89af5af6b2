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

namespace {

// Bytes of `text`, padded with spaces to a multiple of `block`.
std::vector<uint8_t> Padded(const std::string& text, size_t block) {
    std::vector<uint8_t> b(text.begin(), text.end());
    b.resize((b.size() + block - 1) / block * block, ' ');
    return b;
}

void PutLe(std::vector<uint8_t>& b, size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + size_t(i)] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

// The media detector opens movies: the video containers, and no picture, icon, animation or
// document that libavformat also has a demuxer for.
TEST(DshowOpensOnlyVideoContainers, PicturesAndDocumentsAreRefusedMoviesOpen) {
    testing_support::LoadedPlugin plugin{"dshowsrc"};
    ASSERT_TRUE(plugin.ok) << plugin.error;
    std::string error;
    ASSERT_FALSE(cliptest::ClipDir(&error).empty()) << error;
    // FITS: 80-character cards in a 2880-byte header, then 4 x 4 bytes of data in a block.
    std::string cards;
    for (const char* card : {"SIMPLE  =                    T", "BITPIX  =                    8",
                             "NAXIS   =                    2", "NAXIS1  =                    4",
                             "NAXIS2  =                    4", "END"}) {
        cards += std::string(card) + std::string(80 - std::strlen(card), ' ');
    }
    std::vector<uint8_t> fits = Padded(cards, 2880);
    fits.resize(fits.size() + 2880, 0x40);
    // FLI: a 128-byte header (8 x 8, 8 bits, one frame) and one empty frame chunk.
    std::vector<uint8_t> fli(128 + 16, 0);
    PutLe(fli, 0, 144, 4);       // file size
    PutLe(fli, 4, 0xAF11, 2);    // FLI magic
    PutLe(fli, 6, 1, 2);         // frames
    PutLe(fli, 8, 8, 2);         // width
    PutLe(fli, 10, 8, 2);        // height
    PutLe(fli, 12, 8, 2);        // depth
    PutLe(fli, 16, 5, 2);        // speed
    PutLe(fli, 128, 16, 4);      // frame chunk size
    PutLe(fli, 132, 0xF1FA, 2);  // frame chunk magic
    const std::string pdf =
        "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n2 0 obj << /Type /Pages "
        "/Kids [] /Count 0 >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n";
    const std::pair<const char*, std::vector<uint8_t>> others[] = {
        {"picture.fits", fits}, {"animation.fli", fli},
        {"paper.pdf", std::vector<uint8_t>(pdf.begin(), pdf.end())}};
    const std::string dir = testing_support::MakeTempDir();
    for (const auto& [name, bytes] : others) {
        const std::string path = dir + "/" + name;
        ASSERT_TRUE(testing_support::WriteWholeFile(path, bytes));
        PictureInfoRecord record{};
        EXPECT_EQ(plugin.module.GetPictureInfo(path.c_str(), 0, SPI_SRC_FILE, &record), -1)
            << name;
        EXPECT_EQ(plugin.module.IsSupported(path.c_str(), 0), 0) << name;
    }
    // Every container of the list: the standard clips and one clip of each other kind.
    std::vector<std::string> movies;
    for (const cliptest::NamedClip& clip : cliptest::StandardClips()) {
        movies.push_back(cliptest::ClipPath(clip.name));
    }
    const std::pair<const char*, cliptest::Codec> containers[] = {
        {"mpegts", cliptest::Codec::Mpeg2}, {"asf", cliptest::Codec::Mpeg4},
        {"flv", cliptest::Codec::H264},     {"mov", cliptest::Codec::H264},
        {"3gp", cliptest::Codec::Mpeg4},    {"webm", cliptest::Codec::Vp8},
        {"ogg", cliptest::Codec::Theora}};
    for (const auto& [muxer, codec] : containers) {
        cliptest::ClipSpec recipe;
        recipe.muxer = muxer;
        recipe.codec = codec;
        recipe.frames = 12;
        recipe.b_frames = 0;
        const std::string path = dir + "/clip." + muxer;
        ASSERT_TRUE(cliptest::MakeClip(path, recipe, error)) << muxer << ": " << error;
        movies.push_back(path);
    }
    for (const std::string& movie : movies) {
        PictureInfoRecord record{};
        EXPECT_EQ(plugin.module.GetPictureInfo(movie.c_str(), 0, SPI_SRC_FILE, &record), 0)
            << movie;
        EXPECT_EQ(plugin.module.IsSupported(movie.c_str(), 0), 1) << movie;
    }
    testing_support::RemoveTree(dir);
}
