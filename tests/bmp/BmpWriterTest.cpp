// BmpFile's writers: BMP file images in memory and on disk, and what happens to the target
// file when writing fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>

#include "BmpFile.h"
#include "BmpTestUtil.h"
#include "platform/platform.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace {

using namespace bmp_test;
namespace fs = std::filesystem;

// A BmpFile holding the packed DIB read from `bmp`; frees it at the end.
class ReadBmp {
public:
    explicit ReadBmp(const Bytes& bmp) : m_copy(bmp) {
        m_file.SetMemorySource(m_copy.data(), m_copy.size());
        m_result = m_file.ReadPictureFromMemory();
    }
    ~ReadBmp() { testing_support::FreeHandle(m_file.TakeResultDib()); }
    BmpFile& File() { return m_file; }
    int32_t Result() const { return m_result; }

private:
    HeapBytes m_copy;
    BmpFile m_file;
    int32_t m_result;
};

Bytes OutputBytes(BmpFile& file) {
    const auto& out = file.OutputBuffer();
    return Bytes(out.Data(), out.Data() + out.Size());
}

int32_t WriteTo(BmpFile& file, const std::string& path) {
    const std::wstring wide = platform::AnsiToWide(path.c_str());
    file.SetFileSource(wide.c_str(), 0);
    return file.WritePictureToFile();
}

// A packed DIB whose header announces far more than its block holds.
SpiHandle ShortDib() {
    SpiHandle dib = platform::MemAlloc(56, true);
    Bytes header = BuildBmp(Bare(Rgb24Spec(100, 100)));
    std::memcpy(platform::MemLock(dib), header.data(), 56);
    platform::MemUnlock(dib);
    return dib;
}

TEST(BmpWriteMemory, SixtyFourByteDibMakesSeventyEightBytes) {
    const Bytes bmp = BuildBmp(Rgb24Spec());
    ReadBmp read(bmp);
    ASSERT_EQ(read.Result(), SPI_OK);
    ASSERT_EQ(read.File().WritePictureToMemory(), SPI_OK);
    const Bytes out = OutputBytes(read.File());
    ASSERT_EQ(out.size(), 78u);
    EXPECT_EQ(out[0], 'B');
    EXPECT_EQ(out[1], 'M');
    EXPECT_EQ(GetU32(out.data() + 2), 78u);   // bfSize
    EXPECT_EQ(GetU32(out.data() + 6), 0u);    // bfReserved1, bfReserved2
    EXPECT_EQ(GetU32(out.data() + 10), 54u);  // bfOffBits
    EXPECT_EQ(out, bmp);
}

TEST(BmpWriteMemory, KeepsALongerBufferAndWritesItsFront) {
    const Bytes bmp = BuildBmp(Rgb24Spec());
    ReadBmp read(bmp);
    const Bytes filler(200, 0xEE);
    read.File().OutputBuffer().WriteAt(filler.data(), 200, 0);
    ASSERT_EQ(read.File().WritePictureToMemory(), SPI_OK);
    const Bytes out = OutputBytes(read.File());
    ASSERT_EQ(out.size(), 200u);
    EXPECT_EQ(Prefix(out, 78), bmp);
    EXPECT_EQ(out[78], 0xEE);
}

TEST(BmpWriteMemory, WithoutADibWritesNothing) {
    BmpFile file;
    EXPECT_EQ(file.WritePictureToMemory(), SPI_NOT_IMPLEMENTED);
    EXPECT_EQ(file.OutputBuffer().Size(), 0);
}

struct RoundTrip {
    const char* name;
    BmpSpec layout;
};

// Names the case in messages (the raw bytes of the struct include padding).
void PrintTo(const RoundTrip& value, std::ostream* os) { *os << value.name; }

BmpSpec Pal4Rle() { return RleSpec(8, 3, true, Rle4Stream()); }

// Whatever was read comes back out as a BMP file image that reads to the same DIB.
class BmpRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(BmpRoundTrip, ThroughMemoryAndFile) {
    const Bytes bmp = BuildBmp(GetParam().layout);
    ReadBmp read(bmp);
    ASSERT_EQ(read.Result(), SPI_OK);
    const SpiHandle dib = read.File().ResultDib();
    const Bytes dib_bytes = testing_support::HandleBytes(dib);

    ASSERT_EQ(read.File().WritePictureToMemory(), SPI_OK);
    const Bytes image = OutputBytes(read.File());
    ASSERT_GE(image.size(), 14u + 40u);
    EXPECT_EQ(GetU32(image.data() + 2), image.size());
    ReadBmp again(image);
    ASSERT_EQ(again.Result(), SPI_OK);
    const Bytes again_bytes = testing_support::HandleBytes(again.File().ResultDib());
    EXPECT_EQ(Prefix(again_bytes, image.size() - 14), Prefix(dib_bytes, image.size() - 14));

    if (bmp[14] == 12) return;  // the file writer takes info-type headers only
    TempDir dir;
    const std::string path = dir.File("out.bmp");
    ASSERT_EQ(WriteTo(read.File(), path), 0);
    Bytes on_disk;
    ASSERT_TRUE(testing_support::ReadWholeFile(path, on_disk));
    EXPECT_EQ(on_disk, image);
    // Read back through the plug-in from the written file.
    const Picture p = PictureFromFile(path, 0);
    ASSERT_EQ(p.result, SPI_OK);
    EXPECT_EQ(Prefix(p.info, image.size() - 14), Prefix(dib_bytes, image.size() - 14));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BmpRoundTrip,
    ::testing::Values(RoundTrip{"Rgb24", Rgb24Spec()}, RoundTrip{"Pal8", Pal8Spec()},
                      RoundTrip{"TopDown", Pal8Spec(5, -4)},
                      RoundTrip{"Bitfields16", Bitfields16Spec()},
                      RoundTrip{"DecodedRle4", Pal4Rle()}, RoundTrip{"Core", CoreSpec()}),
    [](const ::testing::TestParamInfo<RoundTrip>& info) { return std::string(info.param.name); });

TEST(BmpWriteFile, WritesTheDesignExampleByteForByte) {
    const Bytes bmp = BuildBmp(Pal8Spec(5, 4, 16));
    ReadBmp read(bmp);
    TempDir dir;
    const std::string path = dir.File("pal8.bmp");
    ASSERT_TRUE(testing_support::WriteWholeFile(path, Bytes(500, 1)));  // truncated, not appended
    ASSERT_EQ(WriteTo(read.File(), path), 0);
    Bytes on_disk;
    ASSERT_TRUE(testing_support::ReadWholeFile(path, on_disk));
    EXPECT_EQ(on_disk, bmp);
    EXPECT_EQ(GetU32(on_disk.data() + 10), 14u + 40u + 64u);  // bfOffBits
}

// ---- Failures: a file the writer could not open is never deleted ----

TEST(BmpWriteFile, NullDibTouchesNoFile) {
    TempDir dir;
    const std::string path = dir.File("keep.bmp");
    ASSERT_TRUE(testing_support::WriteWholeFile(path, Bytes(10, 7)));
    BmpFile file;
    EXPECT_EQ(WriteTo(file, path), 1);
    Bytes kept;
    ASSERT_TRUE(testing_support::ReadWholeFile(path, kept));
    EXPECT_EQ(kept, Bytes(10, 7));
}

TEST(BmpWriteFile, TargetThatIsAFolderIsLeftAlone) {
    ReadBmp read(BuildBmp(Rgb24Spec()));
    TempDir dir;
    const std::string target = dir.File("folder.bmp");
    fs::create_directory(target);
    ASSERT_TRUE(testing_support::WriteWholeFile(target + "/inside", Bytes(3, 1)));
    EXPECT_EQ(WriteTo(read.File(), target), 1);
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_TRUE(fs::exists(target + "/inside"));
}

TEST(BmpWriteFile, MissingFolderCreatesNothing) {
    ReadBmp read(BuildBmp(Rgb24Spec()));
    TempDir dir;
    EXPECT_EQ(WriteTo(read.File(), dir.File("missing/out.bmp")), 1);
    EXPECT_FALSE(fs::exists(dir.File("missing")));
}

TEST(BmpWriteFile, UnwritableDibTouchesNoFile) {
    TempDir dir;
    const std::string path = dir.File("short.bmp");
    const std::wstring wide = platform::AnsiToWide(path.c_str());
    SpiHandle dib = ShortDib();
    EXPECT_FALSE(SaveDibAsBmpFile(wide.c_str(), dib));
    EXPECT_FALSE(fs::exists(path));
    // The DIB is checked before the file is opened, so an existing file is neither truncated
    // nor deleted.
    ASSERT_TRUE(testing_support::WriteWholeFile(path, Bytes(10, 7)));
    EXPECT_FALSE(SaveDibAsBmpFile(wide.c_str(), dib));
    Bytes kept;
    ASSERT_TRUE(testing_support::ReadWholeFile(path, kept));
    EXPECT_EQ(kept, Bytes(10, 7));
    testing_support::FreeHandle(dib);
}

TEST(BmpWriteFile, CoreHeaderDibIsNotWritten) {
    ReadBmp read(BuildBmp(CoreSpec()));
    ASSERT_EQ(read.Result(), SPI_OK);
    TempDir dir;
    EXPECT_EQ(WriteTo(read.File(), dir.File("core.bmp")), 1);
    EXPECT_FALSE(fs::exists(dir.File("core.bmp")));
}

#if !defined(_WIN32)
// Runs `body` in a child process and returns its exit status (or -1 when it did not exit).
template <class Body>
int InChild(Body body) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(BmpWriteFile, ExistingFileItCannotOpenIsKept) {
    // No file descriptor left: the open fails while deleting the file still would work, which is
    // the case where the writer must not delete what it never opened (as root, permissions would
    // not stop the open).
    ReadBmp read(BuildBmp(Rgb24Spec()));
    TempDir dir;
    const std::string path = dir.File("kept.bmp");
    ASSERT_TRUE(testing_support::WriteWholeFile(path, Bytes(10, 7)));
    const int status = InChild([&] {
        const rlimit none = {0, 0};
        if (setrlimit(RLIMIT_NOFILE, &none) != 0) return 2;
        return WriteTo(read.File(), path) == 1 ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
    Bytes kept;
    ASSERT_TRUE(testing_support::ReadWholeFile(path, kept));
    EXPECT_EQ(kept, Bytes(10, 7));
}

TEST(BmpWriteFile, WriteThatFailsMidwayDeletesTheFile) {
    ReadBmp read(BuildBmp(Rgb24Spec(40, 40)));
    TempDir dir;
    const std::string path = dir.File("partial.bmp");
    const int status = InChild([&] {
        // Files may grow to 100 bytes: the header goes out, the bitmap does not.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit small = {100, 100};
        if (setrlimit(RLIMIT_FSIZE, &small) != 0) return 2;
        return WriteTo(read.File(), path) == 1 ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(fs::exists(path));
}
#endif

}  // namespace
