// Replays the fuzz findings in tests/data/gif/regress/ through the fuzz targets' own bodies:
// files named lzw-* go to the LZW target, all others to the picture target. The good/ and bad/
// seed files go through the picture target too.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "GifFuzzEntry.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

TEST(GifRegress, FuzzFindingsAndSeedsRunClean) {
    const fs::path root = fs::path(ZEM_SOURCE_DIR) / "tests" / "data" / "gif";
    int count = 0;
    for (const char* sub : {"regress", "good", "bad"}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(root / sub, ec)) {
            std::vector<uint8_t> bytes;
            ASSERT_TRUE(testing_support::ReadWholeFile(entry.path().string(), bytes));
            const std::string name = entry.path().filename().string();
            const std::string problem = name.rfind("lzw-", 0) == 0
                                            ? giftest::FuzzGifLzw(bytes.data(), bytes.size())
                                            : giftest::FuzzGif(bytes.data(), bytes.size());
            EXPECT_EQ(problem, "") << sub << "/" << name;
            ++count;
        }
    }
    if (count == 0) GTEST_SKIP() << "no files in tests/data/gif";
}
