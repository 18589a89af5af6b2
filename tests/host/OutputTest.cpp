// The BMP file layout, the joining of split handles and the staged output files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "BmpWriter.h"
#include "DibBuilder.h"
#include "OutputPlan.h"
#include "ReceivedDib.h"
#include "StagedFile.h"
#include "TestSupport.h"
#include "platform/platform.h"

namespace {

using testing_support::MakeTempDir;
using testing_support::ReadWholeFile;
using testing_support::RemoveTree;

struct Layout {
    const char* name;
    std::vector<uint8_t> dib;
    uint32_t off_bits;  // bfOffBits
    size_t dib_bytes;   // DIB bytes after the file header
};

void PrintTo(const Layout& c, std::ostream* os) { *os << c.name; }

class BmpFileLayout : public testing::TestWithParam<Layout> {};

TEST_P(BmpFileLayout, HeaderPointsAtTheRows) {
    const Layout& l = GetParam();
    std::vector<uint8_t> block(l.dib);
    block.resize(block.size() + 10, 0xAB);  // trailing bytes of the block are not written
    BmpFilePlan plan;
    std::string error;
    ASSERT_TRUE(PlanBmpFile(block.data(), block.size(), plan, error)) << error;
    EXPECT_EQ(plan.file_header[0], 'B');
    EXPECT_EQ(plan.file_header[1], 'M');
    EXPECT_EQ(ByteReader::LoadU32LE(plan.file_header + 2), l.dib_bytes + 14);  // bfSize
    EXPECT_EQ(ByteReader::LoadU32LE(plan.file_header + 6), 0u);                // reserved
    EXPECT_EQ(ByteReader::LoadU32LE(plan.file_header + 10), l.off_bits);
    EXPECT_EQ(plan.dib_bytes, l.dib_bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Dibs, BmpFileLayout,
    testing::Values(
        Layout{"Rgb24", DibBuilder::Info(2, 2, 24).U32({0, 0, 0, 0}).Bytes(), 54, 56},
        Layout{"TopDown", DibBuilder::Info(2, -2, 24).U32({0, 0, 0, 0}).Bytes(), 54, 56},
        Layout{"Palette16Of8Bit",
               [] {
                   DibBuilder b = DibBuilder::Info(1, 1, 8, BI_RGB, 16);
                   for (int i = 0; i < 16; ++i) b.Quad(1, 1, 1);
                   return b.U32({0}).Bytes();
               }(),
               14 + 40 + 64, 40 + 64 + 4},
        Layout{"BitFields", DibBuilder::Info(1, 1, 16, BI_BITFIELDS).U32({1, 2, 3, 0}).Bytes(),
               14 + 40 + 12, 56},
        Layout{"Core1Bit",
               DibBuilder::Core(1, 1, 1).Triple(0, 0, 0).Triple(9, 9, 9).U32({0}).Bytes(),
               14 + 12 + 6, 22},
        Layout{"StillRle8",
               DibBuilder::Info(4, 4, 8, BI_RLE8, 1, 40, 6)
                   .Quad(0, 0, 0)
                   .U8({4, 0, 0, 0, 0, 1})
                   .Bytes(),
               14 + 40 + 4, 40 + 4 + 6}),
    [](const testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

TEST(BmpFile, RefusesUnknownHeaderAndShortBlock) {
    BmpFilePlan plan;
    std::string error;
    auto odd = DibBuilder::Info(1, 1, 24, BI_RGB, 0, 64).U32({0}).Bytes();
    EXPECT_FALSE(PlanBmpFile(odd.data(), odd.size(), plan, error));
    EXPECT_NE(error.find("64 bytes"), std::string::npos) << error;
    auto rgb = DibBuilder::Info(2, 2, 24).U32({0, 0, 0, 0}).Bytes();
    EXPECT_FALSE(PlanBmpFile(rgb.data(), rgb.size() - 1, plan, error));
    EXPECT_NE(error.find("shorter"), std::string::npos) << error;
}

TEST(BmpFile, WritesHeaderAndDibExactly) {
    const std::string dir = MakeTempDir();
    auto dib = DibBuilder::Info(1, 1, 24).U8({1, 2, 3, 0}).Bytes();
    std::string error;
    const std::string path = dir + "/out.bmp";
    ASSERT_TRUE(WriteBmpFile(path, dib.data(), dib.size(), error)) << error;
    std::vector<uint8_t> file;
    ASSERT_TRUE(ReadWholeFile(path, file));
    ASSERT_EQ(file.size(), 14 + dib.size());
    EXPECT_TRUE(std::equal(dib.begin(), dib.end(), file.begin() + 14));
    EXPECT_FALSE(std::filesystem::exists(path + ".zemhost-partial"));
    RemoveTree(dir);
}

TEST(BmpFile, FailedWriteLeavesNothing) {
    const std::string dir = MakeTempDir();
    auto dib = DibBuilder::Info(1, 1, 24).U8({1, 2, 3, 0}).Bytes();
    std::string error;
    EXPECT_FALSE(WriteBmpFile(dir + "/missing/out.bmp", dib.data(), dib.size(), error));
    // The message names the file and folder the user gave, not the temporary file.
    EXPECT_NE(error.find("cannot write " + dir + "/missing/out.bmp: the folder " + dir +
                         "/missing does not exist"),
              std::string::npos)
        << error;
    EXPECT_EQ(error.find("partial"), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_empty(dir));
    RemoveTree(dir);
}

TEST(StagedFile, DiscardKeepsExistingTarget) {
    const std::string dir = MakeTempDir();
    const std::string path = dir + "/keep.bin";
    ASSERT_TRUE(testing_support::WriteWholeFile(path, {1, 2, 3}));
    {
        StagedFile out(path);
        std::string error;
        ASSERT_TRUE(out.Open(error)) << error;
        ASSERT_TRUE(out.Write("xyz", 3));
        // Not committed: the destructor throws the partial file away.
    }
    std::vector<uint8_t> kept;
    ASSERT_TRUE(ReadWholeFile(path, kept));
    EXPECT_EQ(kept, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(std::filesystem::exists(path + ".zemhost-partial"));
    RemoveTree(dir);
}

SpiHandle BlockWith(const std::vector<uint8_t>& bytes, size_t extra = 0) {
    SpiHandle h = platform::MemAlloc(bytes.size() + extra, true);
    std::memcpy(platform::MemLock(h), bytes.data(), bytes.size());
    platform::MemUnlock(h);
    return h;
}

TEST(ReceivedDib, OneHandleIsViewedAsItIs) {
    auto dib = DibBuilder::Info(1, 1, 24).U8({1, 2, 3, 0}).Bytes();
    ReceivedDib received;
    received.Adopt(BlockWith(dib), nullptr);
    std::string error;
    ASSERT_TRUE(received.Assemble(error)) << error;
    EXPECT_FALSE(received.WasSplit());
    ASSERT_GE(received.Size(), dib.size());
    EXPECT_EQ(std::memcmp(received.Data(), dib.data(), dib.size()), 0);
}

TEST(ReceivedDib, TwoHandlesAreJoinedAfterTheMeasuredHeaderPart) {
    DibBuilder b = DibBuilder::Info(3, 1, 8, BI_RGB, 2);
    b.Quad(1, 2, 3).Quad(4, 5, 6);
    const std::vector<uint8_t> head = b.Bytes();
    const std::vector<uint8_t> rows = {1, 0, 1, 0};
    // The header block may be larger than asked for; its slack must not reach the rows.
    SpiHandle info = BlockWith(head, 24);
    std::memset(static_cast<uint8_t*>(platform::MemLock(info)) + head.size(), 0xEE, 24);
    platform::MemUnlock(info);
    ReceivedDib received;
    received.Adopt(info, BlockWith(rows));
    std::string error;
    ASSERT_TRUE(received.Assemble(error)) << error;
    EXPECT_TRUE(received.WasSplit());
    std::vector<uint8_t> expected = head;
    expected.insert(expected.end(), rows.begin(), rows.end());
    ASSERT_GE(received.Size(), expected.size());
    EXPECT_EQ(std::vector<uint8_t>(received.Data(), received.Data() + expected.size()), expected);
}

TEST(ReceivedDib, RefusesHeaderBlockShorterThanItsColourTable) {
    auto head = DibBuilder::Info(1, 1, 8).Bytes();  // announces 256 entries, holds none
    ReceivedDib received;
    received.Adopt(BlockWith(head), BlockWith({0, 0, 0, 0}));
    std::string error;
    EXPECT_FALSE(received.Assemble(error));
    EXPECT_NE(error.find("header block"), std::string::npos) << error;
}

TEST(ReceivedDib, RefusesMissingPicture) {
    ReceivedDib received;
    std::string error;
    EXPECT_FALSE(received.Assemble(error));
    EXPECT_NE(error.find("no picture"), std::string::npos) << error;
}

// Names that differ only in case are one file where the output folder ignores case: decode
// lists the clash, thumbs numbers the later name; neither ever gives two jobs one output.
TEST(OutputPlan, ClashesFollowTheFileSystemsCase) {
    const std::vector<DecodeJob> planned = {{"in/a.jpg", "out/a.jpg.png", {}, {}, {}},
                                            {"in/A.JPG", "out/A.JPG.png", {}, {}, {}},
                                            {"in/A.JPG (2)", "out/A.JPG (2).png", {}, {}, {}},
                                            {"in/b.jpg", "out/b.jpg.png", {}, {}, {}}};
    std::vector<DecodeJob> jobs = planned;
    std::string error;
    EXPECT_TRUE(ResolveClashes(jobs, false, false, error)) << error;
    EXPECT_FALSE(ResolveClashes(jobs, true, false, error));
    EXPECT_NE(error.find("in/a.jpg and in/A.JPG would both be written to out/A.JPG.png"),
              std::string::npos)
        << error;
    EXPECT_TRUE(ResolveClashes(jobs, true, true, error));
    EXPECT_EQ(jobs[1].output, "out/A.JPG (2).png");
    EXPECT_EQ(jobs[2].output, "out/A.JPG (2) (2).png");  // its own name was taken just before
    EXPECT_EQ(jobs[3].output, "out/b.jpg.png");
    EXPECT_NE(jobs[1].note.find("out/a.jpg.png"), std::string::npos) << jobs[1].note;
    EXPECT_EQ(OutputFileName("d/IMG_0001.CR2", NameStyle::Full, OutputFormat::Png),
              "IMG_0001.CR2.png");
    EXPECT_EQ(OutputFileName("d/IMG_0001.CR2", NameStyle::Stem, OutputFormat::Bmp), "IMG_0001.bmp");
#if defined(_WIN32)
    EXPECT_TRUE(FolderIgnoresCase("."));
#else
    // The temporary folder of this machine is case-sensitive; a folder not yet made is asked
    // of the one above it.
    const std::string dir = MakeTempDir();
    EXPECT_FALSE(FolderIgnoresCase(dir + "/not/made/yet"));
    RemoveTree(dir);
#endif
}

}  // namespace
