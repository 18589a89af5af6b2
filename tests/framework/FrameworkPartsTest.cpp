// The framework's building blocks: byte buffer, movable-memory holder, file mapping through
// ImageFileBase, the bounded reader and the file-name pattern matcher.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ByteReader.h"
#include "GlobalBlock.h"
#include "ImageFileBase.h"
#include "PatternMatch.h"
#include "TestSupport.h"
#include "ZEMxMemoryT.h"
#include "platform/platform.h"

namespace {

using testing_support::MakeTempDir;
using testing_support::RemoveTree;
using testing_support::WriteWholeFile;

TEST(ZEMxMemoryT, GrowsKeepsAndOverwrites) {
    ZEMxMemoryT<unsigned char> buf;
    std::vector<unsigned char> a(14, 'a'), b(100, 'b'), c(10, 'c');
    buf.WriteAt(a.data(), 14, 0);
    EXPECT_EQ(buf.Size(), 14);
    buf.WriteAt(b.data(), 100, 14);
    ASSERT_EQ(buf.Size(), 114);
    EXPECT_EQ(buf.Data()[13], 'a');
    EXPECT_EQ(buf.Data()[14], 'b');
    buf.WriteAt(c.data(), 10, 0);
    EXPECT_EQ(buf.Size(), 114);
    EXPECT_EQ(buf.Data()[9], 'c');
    EXPECT_EQ(buf.Data()[10], 'a');
    EXPECT_EQ(buf.Data()[113], 'b');
}

TEST(ZEMxMemoryT, AssignNeverShrinksAndIgnoresNullOrNegative) {
    ZEMxMemoryT<unsigned char> big, small, empty;
    std::vector<unsigned char> x(20, 'x'), y(5, 'y');
    big.WriteAt(x.data(), 20, 0);
    small.WriteAt(y.data(), 5, 0);
    big.Assign(small);
    EXPECT_EQ(big.Size(), 20);
    EXPECT_EQ(big.Data()[4], 'y');
    EXPECT_EQ(big.Data()[5], 'x');
    big.Assign(empty);
    EXPECT_EQ(big.Size(), 20);
    big.WriteAt(nullptr, 50, 0);
    big.WriteAt(x.data(), -1, 0);
    big.WriteAt(x.data(), 1, -5);
    EXPECT_EQ(big.Size(), 20);
    // Overlapping source inside the buffer moves correctly.
    big.WriteAt(big.Data() + 2, 10, 0);
    EXPECT_EQ(big.Data()[0], 'y');
    EXPECT_EQ(big.Data()[3], 'x');
    EXPECT_THROW(big.WriteAt(x.data(), 10, INT32_MAX - 5), std::bad_alloc);
    EXPECT_EQ(big.Size(), 20);
}

TEST(GlobalBlock, ReleaseFreesOnlyOwnedBlocks) {
    GlobalBlock owned;
    ASSERT_TRUE(owned.Allocate(16, true));
    auto* p = static_cast<unsigned char*>(owned.Lock());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[15], 0);
    owned.Release();
    EXPECT_EQ(owned.Handle(), nullptr);
    EXPECT_EQ(owned.Locked(), nullptr);
    EXPECT_FALSE(owned.Owned());

    SpiHandle h = platform::MemAlloc(8, true);
    {
        GlobalBlock borrowed;
        borrowed.Attach(h, false);
        borrowed.Release();  // not owned: only cleared
        EXPECT_EQ(borrowed.Handle(), nullptr);
    }
    EXPECT_GE(platform::MemSize(h), 8u);  // still valid
    GlobalBlock handed;
    handed.Attach(h, true);
    handed.Lock();
    SpiHandle out = handed.Detach();
    EXPECT_EQ(out, h);
    EXPECT_EQ(handed.Handle(), nullptr);
    platform::MemFree(out);
}

// A format class that records what the memory read was handed.
class RecordingFile : public ImageFileBase {
public:
    int32_t ReadPictureFromMemory() override {
        seen.assign(m_data, m_data + m_dataSize);
        ++calls;
        m_resultDib = platform::MemAlloc(4, true);
        return SPI_OK;
    }
    std::vector<uint8_t> seen;
    int calls = 0;
};

TEST(ImageFileBase, FileSourceMapsFromTheOffset) {
    const std::string dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    const std::string path = dir + "/data.bin";
    ASSERT_TRUE(WriteWholeFile(path, {1, 2, 3, 4, 5}));
    const std::wstring wide = platform::AnsiToWide(path.c_str());

    RecordingFile whole;
    whole.SetFileSource(wide.c_str(), 0);
    EXPECT_EQ(whole.ReadPictureFromFile(), SPI_OK);
    EXPECT_EQ(whole.seen, (std::vector<uint8_t>{1, 2, 3, 4, 5}));

    RecordingFile tail;
    tail.SetFileSource(wide.c_str(), 3);
    EXPECT_EQ(tail.ReadPictureFromFile(), SPI_OK);
    EXPECT_EQ(tail.seen, (std::vector<uint8_t>{4, 5}));

    // The result DIB outlives the format object that made it.
    SpiHandle dib = tail.TakeResultDib();
    platform::MemFree(whole.TakeResultDib());

    for (uint64_t offset : {uint64_t{5}, uint64_t{6}, UINT64_MAX}) {
        RecordingFile beyond;
        beyond.SetFileSource(wide.c_str(), offset);
        EXPECT_EQ(beyond.ReadPictureFromFile(), SPI_FILE_READ_ERROR) << offset;
        EXPECT_EQ(beyond.calls, 0);
    }
    const std::string empty = dir + "/empty.bin";
    ASSERT_TRUE(WriteWholeFile(empty, {}));
    const std::wstring wide_empty = platform::AnsiToWide(empty.c_str());
    RecordingFile none;
    none.SetFileSource(wide_empty.c_str(), 0);
    EXPECT_EQ(none.ReadPictureFromFile(), SPI_FILE_READ_ERROR);
    const std::wstring missing = platform::AnsiToWide((dir + "/missing.bin").c_str());
    none.SetFileSource(missing.c_str(), 0);
    EXPECT_EQ(none.ReadInfoFromFile(), SPI_FILE_READ_ERROR);
    ImageFileBase base;
    EXPECT_EQ(base.ReadPictureFromMemory(), SPI_NOT_IMPLEMENTED);
    EXPECT_EQ(base.WritePictureToMemory(), SPI_NOT_IMPLEMENTED);
    platform::MemFree(dib);
    RemoveTree(dir);
}

TEST(ByteReader, NeverReadsPastItsEnd) {
    const uint8_t data[] = {0x01, 0x02, 0x03, 0x04, 0x05};
    ByteReader r(data, sizeof data);
    uint32_t v32;
    uint16_t v16;
    uint8_t v8;
    ASSERT_TRUE(r.ReadU16LE(v16));
    EXPECT_EQ(v16, 0x0201);
    EXPECT_FALSE(r.ReadU32LE(v32));
    EXPECT_EQ(r.Remaining(), 3u);  // a failed read consumes nothing
    EXPECT_FALSE(r.Skip(SIZE_MAX));
    ByteReader sub;
    ASSERT_TRUE(r.Take(2, sub));
    ASSERT_TRUE(sub.ReadU8(v8));
    EXPECT_EQ(v8, 0x03);
    EXPECT_EQ(r.Remaining(), 1u);
    ByteReader empty(nullptr, 0);
    EXPECT_FALSE(empty.ReadU8(v8));
}

TEST(PatternMatch, ListsSplitAtTheLastDotIgnoringCase) {
    const wchar_t* jpeg = L"*.JPG;*.JPE;*.JPEG";
    EXPECT_TRUE(MatchPatternList(L"PHOTO.JPE", jpeg, L';'));
    EXPECT_TRUE(MatchPatternList(L"photo.jpeg", jpeg, L';'));
    EXPECT_TRUE(MatchPatternList(L"a.b.jpg", jpeg, L';'));
    const wchar_t* video = L"*.mp4;*.avi;*.mpg;*.mkv;*.m4v";
    for (const wchar_t* ok : {L"Movie.MP4", L"a.mkv", L"x.M4v", L".avi"}) {
        EXPECT_TRUE(MatchPatternList(ok, video, L';')) << ok;
    }
    for (const wchar_t* bad : {L"movie", L"movie.mp", L"movie.mp44", L"movie.mp4.txt",
                               L"movie.mov"}) {
        EXPECT_FALSE(MatchPatternList(bad, video, L';')) << bad;
    }
    // An empty entry ends the list: later entries are never tried.
    EXPECT_FALSE(MatchPatternList(L"a.gif", L"*.bmp;;*.gif", L';'));
    EXPECT_FALSE(MatchPatternList(L"a.gif", L"", L';'));
    // Separator 0: a NUL-separated list ending with an empty entry.
    const wchar_t nul_list[] = L"*.bmp\0*.gif\0";
    EXPECT_TRUE(MatchPatternList(L"x.GIF", nul_list, 0));
    // A dot in a folder counts when the file name has none.
    EXPECT_TRUE(MatchFilePattern(L"dir.d/name", L"*.d/name"));
    EXPECT_FALSE(MatchFilePattern(L"noext", L"*.*"));
    EXPECT_TRUE(MatchFilePattern(L"noext", L"*"));
}

TEST(PatternMatch, WildcardsDoNotBacktrack) {
    EXPECT_FALSE(MatchWildcard(L"abcabd", L"*bd"));
    EXPECT_TRUE(MatchWildcard(L"abc", L"a*"));
    EXPECT_TRUE(MatchWildcard(L"abc", L"a?c"));
    EXPECT_FALSE(MatchWildcard(L"ab", L"a?c"));
    EXPECT_TRUE(MatchWildcard(L"ABC", L"abc"));
    EXPECT_TRUE(MatchWildcard(L"", L""));
    EXPECT_TRUE(MatchWildcard(L"", L"*"));
    EXPECT_FALSE(MatchWildcard(L"", L"?"));
    // "?" right after a star consumes nothing and keeps the star pending.
    EXPECT_TRUE(MatchWildcard(L"xyz", L"*?z"));
}

TEST(PlatformText, NamesRoundTripThroughWideText) {
    for (const char* name : {"plain.bmp", "caf\xc3\xa9.bmp", "\xff\xfe.bmp", "a\xed\xb2\x80z",
                             "\xe2\x82", "\xf0\x9f\x98\x80.gif"}) {
        const std::wstring wide = platform::AnsiToWide(name);
#if !defined(_WIN32)
        EXPECT_EQ(platform::WideToNative(wide), std::string(name)) << name;
#endif
    }
#if !defined(_WIN32)
    EXPECT_EQ(platform::AnsiToWide("caf\xc3\xa9"), std::wstring(L"caf\u00e9"));
    EXPECT_EQ(platform::AnsiToWide("\xff"), std::wstring(1, static_cast<wchar_t>(0xDCFF)));
#endif
    EXPECT_TRUE(platform::AnsiToWide(nullptr).empty());
}

}  // namespace
