// Damaged pictures of every format in samples/ through the built module: every prefix length
// on a stride, and random byte changes, give a result code or a whole DIB, never a crash; and the
// fuzz target's body replays the seeds and every finding kept in tests/data/img.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "ImgTestSupport.h"
#include "TestSupport.h"

int FuzzImg(const uint8_t* data, size_t size);
int FuzzImgInfo(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> FilesIn(const fs::path& dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    return files;
}

// Pictures that the plug-in decodes whole, so that damage to them is worth trying.
std::vector<fs::path> DecodableSamples() {
    std::vector<fs::path> out;
    for (const fs::path& path : FilesIn(fs::path(ZEM_SOURCE_DIR) / "samples")) {
        std::vector<uint8_t> bytes;
        if (!testing_support::ReadWholeFile(path.string(), bytes)) continue;
        if (img_test::Decode(bytes).result == 0) out.push_back(path);
    }
    return out;
}

void ExpectCodeOrWholeDib(const std::vector<uint8_t>& bytes, const std::string& what) {
    const img_test::Picture p = img_test::Decode(bytes);
    if (p.result == 0) {
        EXPECT_TRUE(p.error.empty()) << what << ": " << p.error;
        EXPECT_GT(p.width, 0u) << what;
    } else {
        EXPECT_TRUE(p.dib.empty()) << what << ": a failed read handed out a DIB";
    }
    const img_test::Info info = img_test::GetInfo(bytes);
    if (info.result == 0) EXPECT_GT(+info.record.width, 0) << what;
}

TEST(ImgRobustness, TruncatedSamples) {
    for (const fs::path& path : DecodableSamples()) {
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(testing_support::ReadWholeFile(path.string(), bytes));
        const size_t stride = bytes.size() / 97 + 1;
        for (size_t n = 0; n < bytes.size(); n += stride) {
            const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(n));
            ExpectCodeOrWholeDib(cut, path.filename().string() + " cut to " + std::to_string(n));
        }
    }
}

TEST(ImgRobustness, CorruptedSamples) {
    std::mt19937 random(20261208);
    for (const fs::path& path : DecodableSamples()) {
        // A damaged RLE header may declare a picture of up to 2^30 pixels, which the RLE
        // decoder then fills: correct but slow; bmpsrc's own suites cover those streams.
        if (path.filename().string().rfind("rle", 0) == 0) continue;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(testing_support::ReadWholeFile(path.string(), bytes));
        for (int round = 0; round < 48; ++round) {
            std::vector<uint8_t> damaged = bytes;
            const int changes = 1 + round % 8;
            for (int i = 0; i < changes; ++i) {
                // Headers matter most: half the changes land in the first 64 bytes.
                const size_t span = (i & 1) ? damaged.size() : std::min<size_t>(64, damaged.size());
                damaged[random() % span] = static_cast<uint8_t>(random());
            }
            ExpectCodeOrWholeDib(damaged, path.filename().string() + " round " +
                                              std::to_string(round));
        }
    }
}

TEST(ImgRobustness, FuzzSeedsAndFindings) {
    const fs::path data = fs::path(ZEM_SOURCE_DIR) / "tests" / "data" / "img";
    int replayed = 0;
    for (const char* sub : {"seed", "regress"}) {
        for (const fs::path& path : FilesIn(data / sub)) {
            std::vector<uint8_t> bytes;
            ASSERT_TRUE(testing_support::ReadWholeFile(path.string(), bytes));
            FuzzImg(bytes.data(), bytes.size());
            FuzzImgInfo(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    for (const fs::path& path : FilesIn(fs::path(ZEM_SOURCE_DIR) / "samples")) {
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(testing_support::ReadWholeFile(path.string(), bytes));
        FuzzImg(bytes.data(), bytes.size());
        FuzzImgInfo(bytes.data(), bytes.size());
        ++replayed;
    }
    EXPECT_GT(replayed, 0);
}

}  // namespace
