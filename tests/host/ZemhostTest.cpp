// zemhost run as a process on the sample pictures, with the plug-ins of the build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "ByteReader.h"
#include "DibImage.h"
#include "TestSupport.h"

#if ZEM_HOST_PNG
#include <png.h>
#endif
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifndef ZEMHOST_PATH
#error "ZEMHOST_PATH must name the built zemhost"
#endif
#ifndef ZEM_SAMPLES_DIR
#error "ZEM_SAMPLES_DIR must name the samples folder"
#endif

namespace {

namespace fs = std::filesystem;
using testing_support::ReadWholeFile;
using testing_support::WriteWholeFile;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& s) {
#if defined(_WIN32)
    return "\"" + s + "\"";
#else
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
#endif
}

std::string Sample(const char* name) { return std::string(ZEM_SAMPLES_DIR) + "/" + name; }

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(ReadWholeFile(path, bytes)) << path;
    return bytes;
}

#if defined(_WIN32)
// Starts the program itself rather than through cmd.exe, with no console, its output in files
// that every sharing mode leaves open to reading and removal, and waits for it to end. Returns
// its exit code, or -1 when it could not be run.
int RunRedirected(std::string command, const std::string& out, const std::string& err) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE in = CreateFileA("NUL", GENERIC_READ, share, &inherit, OPEN_EXISTING, 0, nullptr);
    const HANDLE files[] = {
        CreateFileA(out.c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, nullptr),
        CreateFileA(err.c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, nullptr)};
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = files[0];
    startup.hStdError = files[1];
    PROCESS_INFORMATION process{};
    DWORD code = static_cast<DWORD>(-1);
    if (in != INVALID_HANDLE_VALUE && files[0] != INVALID_HANDLE_VALUE &&
        files[1] != INVALID_HANDLE_VALUE &&
        CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                       nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        if (!GetExitCodeProcess(process.hProcess, &code)) code = static_cast<DWORD>(-1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    for (HANDLE h : {in, files[0], files[1]}) {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    return static_cast<int>(code);
}
#endif

class Zemhost : public testing::Test {
protected:
    void SetUp() override {
        m_dir = testing_support::MakeTempDir();
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override { testing_support::RemoveTree(m_dir); }

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    Outcome Run(const std::vector<std::string>& args) const {
        std::string command = Quote(ZEMHOST_PATH);
        for (const std::string& a : args) command += " " + Quote(a);
        // Fresh names for each run: a copy of a run's output handle that lives on elsewhere
        // (under Wine, a process of the session may have taken one) keeps its name busy.
        ++m_runs;
        const std::string out = Path("stdout" + std::to_string(m_runs) + ".txt");
        const std::string err = Path("stderr" + std::to_string(m_runs) + ".txt");
        Outcome o;
#if defined(_WIN32)
        o.status = RunRedirected(command, out, err);
#else
        command += " >" + Quote(out) + " 2>" + Quote(err);
        const int rc = std::system(command.c_str());
        o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
        std::vector<uint8_t> bytes;
        if (ReadWholeFile(out, bytes)) o.out.assign(bytes.begin(), bytes.end());
        if (ReadWholeFile(err, bytes)) o.err.assign(bytes.begin(), bytes.end());
        std::error_code ec;
        fs::remove(out, ec);
        fs::remove(err, ec);
        // Windows writes text-mode lines ending in CR LF.
        for (std::string* text : {&o.out, &o.err}) {
            text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
        }
        return o;
    }

    std::string m_dir;
    mutable int m_runs = 0;
};

#define EXPECT_HAS(text, part) \
    EXPECT_NE((text).find(part), std::string::npos) << "missing '" << (part) << "' in:\n" << (text)

TEST_F(Zemhost, HelpDescribesTheCommands) {
    for (const char* form : {"--help", "-h", "help"}) {
        const Outcome o = Run({form});
        EXPECT_EQ(o.status, 0) << form;
        EXPECT_HAS(o.out, "zemhost decode FILE -o OUT.png");
        EXPECT_HAS(o.out, "zemhost probe FILE...");
        EXPECT_HAS(o.out, "--split");
        EXPECT_HAS(o.out, "byte 48");
        EXPECT_HAS(o.out, "zemhost thumbs DIR -o OUTDIR/");
    }
    const Outcome bare = Run({});
    EXPECT_EQ(bare.status, 2);
    EXPECT_HAS(bare.err, "Usage:");
    const Outcome bad = Run({"decode", "--bogus"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_HAS(bad.err, "unknown option --bogus");
}

TEST_F(Zemhost, PluginsListsTheInformationStrings) {
    const Outcome o = Run({"plugins"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_HAS(o.out, "bmpsrc (bmpsrc");
    EXPECT_HAS(o.out, "00IN");
    EXPECT_HAS(o.out, "BMP to DIB image plug-in");
    EXPECT_HAS(o.out, "*.bmp;*.dib");

    const Outcome empty = Run({"plugins", "--plugins", m_dir});
    EXPECT_EQ(empty.status, 1);
    EXPECT_HAS(empty.err, "no plug-in modules");
}

TEST_F(Zemhost, ProbeTellsWhoAcceptsEachFile) {
    ASSERT_TRUE(WriteWholeFile(Path("note.txt"), {'h', 'i', '\n'}));
    const Outcome o = Run({"probe", Sample("gradient-24.bmp"), Path("note.txt")});
    EXPECT_EQ(o.status, 1);  // the text file is accepted by no plug-in
    EXPECT_HAS(o.out, "by name and head: bmpsrc");
    EXPECT_HAS(o.out, "by file:          bmpsrc");
    EXPECT_HAS(o.out, "by file:          none");

    const Outcome missing = Run({"probe", Path("missing.bmp")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_HAS(missing.err, "no such file");
}

TEST_F(Zemhost, InfoReportsSizeDepthAndRowOrder) {
    const Outcome o = Run({"info", Sample("gradient-24.bmp"), "--plugin", "bmpsrc"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_HAS(o.out, "plug-in:       bmpsrc");
    EXPECT_HAS(o.out, "size:          48 x 32\n");
    EXPECT_HAS(o.out, "depth:         24 bits per pixel");
    // bmpsrc fills neither a comment nor a frame count: info prints no zero for them.
    EXPECT_EQ(o.out.find("comment:"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("frame count:"), std::string::npos) << o.out;

    const Outcome top = Run({"info", "--memory", Sample("topdown-24.bmp"), "--plugin", "bmpsrc"});
    EXPECT_EQ(top.status, 0) << top.err;
    EXPECT_HAS(top.out, "48 x -32 (rows top-down)");
}

#if ZEM_HOST_PNG
struct Png {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgb;
    std::vector<uint8_t> At(uint32_t x, uint32_t y) const {
        const uint8_t* p = rgb.data() + (size_t{y} * width + x) * 3;
        return {p[0], p[1], p[2]};
    }
};

bool ReadPng(const std::string& path, Png& png) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    png.width = image.width;
    png.height = image.height;
    png.rgb.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, png.rgb.data(), 0, nullptr) != 0;
}

struct PixelCheck {
    uint32_t x, y;
    std::vector<uint8_t> rgb;
};

struct SampleCase {
    const char* file;
    uint32_t width, height;
    std::vector<PixelCheck> pixels;  // as drawn by samples/make_samples.py
};

void PrintTo(const SampleCase& c, std::ostream* os) { *os << c.file; }

class ZemhostSample : public Zemhost, public testing::WithParamInterface<SampleCase> {};

TEST_P(ZemhostSample, DecodesToPngOfRightSizeAndColours) {
    const SampleCase& c = GetParam();
    const std::string out = Path("out.png");
    const Outcome o = Run({"decode", Sample(c.file), "-o", out, "--plugin", "bmpsrc"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_HAS(o.out, "via bmpsrc");
    Png png;
    ASSERT_TRUE(ReadPng(out, png));
    EXPECT_EQ(png.width, c.width);
    EXPECT_EQ(png.height, c.height);
    for (const PixelCheck& p : c.pixels) {
        EXPECT_EQ(png.At(p.x, p.y), p.rgb) << "pixel " << p.x << "," << p.y;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Samples, ZemhostSample,
    testing::Values(
        SampleCase{"gradient-24.bmp",
                   48,
                   32,
                   {{0, 0, {0, 0, 96}}, {24, 16, {32, 64, 224}}, {47, 31, {255, 255, 96}}}},
        SampleCase{"topdown-24.bmp",
                   48,
                   32,
                   {{24, 0, {250, 250, 250}}, {0, 0, {40, 80, 200}}, {0, 31, {40, 220, 200}}}},
        SampleCase{"palette-8.bmp", 64, 48, {}},
        SampleCase{"palette-4.bmp", 64, 48, {{0, 0, {255, 0, 0}}, {0, 47, {0, 0, 255}}}},
        SampleCase{"mono-1.bmp", 64, 48, {{0, 0, {250, 240, 210}}, {8, 0, {30, 30, 90}}}},
        SampleCase{"rle8.bmp", 64, 48, {{0, 0, {255, 0, 0}}, {0, 47, {0, 0, 255}}}},
        SampleCase{"rle4.bmp", 64, 48, {}},
        SampleCase{"bitfields-565.bmp", 64, 48, {{0, 0, {255, 0, 0}}}},
        SampleCase{"rgb-32.bmp", 48, 32, {{0, 0, {0, 160, 255}}, {30, 4, {20, 20, 20}}}}),
    [](const testing::TestParamInfo<SampleCase>& info) {
        std::string name = info.param.file;
        name = name.substr(0, name.find('.'));
        for (char& ch : name) {
            if (ch == '-') ch = '_';
        }
        return name;
    });

TEST_F(Zemhost, RunLengthAndPlainSamplesDecodeAlike) {
    // rle8.bmp and palette-4.bmp hold the same drawing, compressed and plain.
    ASSERT_EQ(Run({"decode", Sample("rle8.bmp"), "-o", Path("rle.png")}).status, 0);
    ASSERT_EQ(Run({"decode", Sample("palette-4.bmp"), "-o", Path("plain.png")}).status, 0);
    Png rle, plain;
    ASSERT_TRUE(ReadPng(Path("rle.png"), rle));
    ASSERT_TRUE(ReadPng(Path("plain.png"), plain));
    EXPECT_EQ(rle.rgb, plain.rgb);
}

// An RLE8 BMP file whose file header says nothing but "BM": the colour table (4 bytes an entry)
// and the stream follow the 40-byte header.
std::vector<uint8_t> Rle8Bmp(uint32_t width, uint32_t height, uint32_t size_image,
                             const std::vector<uint8_t>& colours,
                             const std::vector<uint8_t>& stream) {
    std::vector<uint8_t> bmp = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> header(40, 0);
    ByteReader::StoreU32LE(header.data(), 40);                                      // biSize
    ByteReader::StoreU32LE(header.data() + 4, width);                               // biWidth
    ByteReader::StoreU32LE(header.data() + 8, height);                              // biHeight
    ByteReader::StoreU16LE(header.data() + 12, 1);                                  // biPlanes
    ByteReader::StoreU16LE(header.data() + 14, 8);                                  // biBitCount
    ByteReader::StoreU32LE(header.data() + 16, 1);                     // biCompression: BI_RLE8
    ByteReader::StoreU32LE(header.data() + 20, size_image);                         // biSizeImage
    ByteReader::StoreU32LE(header.data() + 32, static_cast<uint32_t>(colours.size() / 4));
    bmp.insert(bmp.end(), header.begin(), header.end());
    bmp.insert(bmp.end(), colours.begin(), colours.end());
    bmp.insert(bmp.end(), stream.begin(), stream.end());
    return bmp;
}

TEST_F(Zemhost, StillCompressedDibIsDrawnForPngAndSavedAsBmp) {
    // An RLE8 run longer than its row: the plug-in hands back the bitmap still compressed.
    // One colour; a run of 5 in a 4-byte row, end.
    const std::vector<uint8_t> bmp = Rle8Bmp(2, 1, 4, {0, 0, 255, 0}, {5, 0, 0, 1});
    ASSERT_TRUE(WriteWholeFile(Path("overrun.bmp"), bmp));

    // Drawn as Windows draws it: the run fills its row and stops there.
    const Outcome png =
        Run({"decode", Path("overrun.bmp"), "-o", Path("overrun.png"), "--plugin", "bmpsrc"});
    EXPECT_EQ(png.status, 0) << png.err;
    Png drawn;
    ASSERT_TRUE(ReadPng(Path("overrun.png"), drawn));
    EXPECT_EQ(drawn.rgb, (std::vector<uint8_t>{255, 0, 0, 255, 0, 0}));

    const Outcome saved =
        Run({"decode", Path("overrun.bmp"), "-o", Path("copy.bmp"), "--plugin", "bmpsrc"});
    EXPECT_EQ(saved.status, 0) << saved.err;
    std::vector<uint8_t> expected(bmp);
    ByteReader::StoreU32LE(expected.data() + 2, static_cast<uint32_t>(bmp.size()));  // bfSize
    ByteReader::StoreU32LE(expected.data() + 10, 14 + 40 + 4);                       // bfOffBits
    EXPECT_EQ(FileBytes(Path("copy.bmp")), expected);
}

TEST_F(Zemhost, OverflowingRunsGetOnePictureFromEveryReader) {
    // A 3 x 2 RLE8 bitmap whose runs pass the end of their rows; drawn clipped, as Windows
    // draws it, the bottom row is all colour 1 and the top row 0, 1, 0. A decoder that wraps
    // the rest of a run onto the next row, or refuses the bitmap, shows something else.
    const std::vector<uint8_t> bmp =
        Rle8Bmp(3, 2, 0, {0, 0, 200, 0, 0, 90, 0, 0},  // red, then green
                {5, 1, 0, 0,                          // a run of 5 in a 3-pixel row; end of line
                 0, 3, 0, 1, 0, 0, 9, 1,              // absolute 0 1 0 (padded), a run of 9
                 0, 1});                              // end of bitmap
    ASSERT_TRUE(WriteWholeFile(Path("runs.bmp"), bmp));
    const std::vector<uint8_t> want = {200, 0, 0, 0, 90, 0, 200, 0, 0,
                                       0, 90, 0, 0, 90, 0, 0, 90, 0};
    // bmpsrc returns it still compressed and zemhost draws it; imgsrc draws it itself.
    for (const char* plugin : {"bmpsrc", "imgsrc"}) {
        SCOPED_TRACE(plugin);
        const std::string out = Path(std::string(plugin) + ".png");
        const Outcome o = Run({"decode", Path("runs.bmp"), "-o", out, "--plugin", plugin});
        ASSERT_EQ(o.status, 0) << o.err;
        Png png;
        ASSERT_TRUE(ReadPng(out, png));
        EXPECT_EQ(png.rgb, want);
    }
    // imgsrc's header read takes the file as its picture read does.
    const Outcome info = Run({"info", Path("runs.bmp"), "--plugin", "imgsrc"});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_HAS(info.out, "size:          3 x 2\n");
    EXPECT_HAS(info.out, "depth:         8 bits per pixel");
}
#else
// PNG through the Windows Imaging Component's encoder: read back by imgsrc, the pixels are
// those of the source.
TEST_F(Zemhost, PngOutputThroughTheSystemEncoder) {
    const Outcome o = Run({"decode", Sample("gradient-24.bmp"), "-o", Path("out.png")});
    ASSERT_EQ(o.status, 0) << o.err;
    const std::vector<uint8_t> png = FileBytes(Path("out.png"));
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png[1], 'P');
    const Outcome back =
        Run({"decode", Path("out.png"), "-o", Path("back.bmp"), "--plugin", "imgsrc"});
    ASSERT_EQ(back.status, 0) << back.err;
    const std::vector<uint8_t> source = FileBytes(Sample("gradient-24.bmp"));
    const std::vector<uint8_t> read = FileBytes(Path("back.bmp"));
    const size_t pixels = 48 * 32 * 3;  // 24-bit rows of 144 bytes: no padding
    ASSERT_GE(read.size(), pixels);
    EXPECT_TRUE(std::equal(source.end() - pixels, source.end(), read.end() - pixels));
}
#endif  // ZEM_HOST_PNG

TEST_F(Zemhost, BmpOutputReproducesPlainSamplesByteForByte) {
    for (const char* name : {"gradient-24.bmp", "topdown-24.bmp", "palette-8.bmp", "mono-1.bmp",
                             "bitfields-565.bmp", "rgb-32.bmp"}) {
        const std::vector<uint8_t> original = FileBytes(Sample(name));
        const std::vector<std::vector<std::string>> variants = {
            {}, {"--split"}, {"--memory"}, {"--memory", "--split"}};
        for (const auto& extra : variants) {
            std::vector<std::string> args = {"decode",  Sample(name), "-o",    Path("out.bmp"),
                                             "--force", "--plugin",   "bmpsrc"};
            args.insert(args.end(), extra.begin(), extra.end());
            const Outcome o = Run(args);
            ASSERT_EQ(o.status, 0) << name << ": " << o.err;
            EXPECT_EQ(FileBytes(Path("out.bmp")), original) << name << " " << extra.size();
        }
    }
}

TEST_F(Zemhost, RunLengthSampleBecomesUncompressedBmp) {
    const Outcome o = Run({"decode", Sample("rle8.bmp"), "-o", Path("rle.bmp"), "--split"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_HAS(o.out, "(two handles)");
    const std::vector<uint8_t> in = FileBytes(Sample("rle8.bmp"));
    const std::vector<uint8_t> out = FileBytes(Path("rle.bmp"));
    const size_t head = 14 + 40 + 16 * 4;
    ASSERT_EQ(out.size(), head + 64 * 48);
    EXPECT_EQ(ByteReader::LoadU32LE(out.data() + 2), out.size());                   // bfSize
    EXPECT_EQ(ByteReader::LoadU32LE(out.data() + 10), head);                        // bfOffBits
    EXPECT_EQ(ByteReader::LoadU32LE(out.data() + 14 + 16), 0u);                     // biCompression
    EXPECT_EQ(ByteReader::LoadU32LE(out.data() + 14 + 20), 0u);                     // biSizeImage
    EXPECT_TRUE(std::equal(in.begin() + 54, in.begin() + head, out.begin() + 54));  // palette
    // Each 8-bit index equals the nibble of the plain 4-bit drawing of the same picture.
    const std::vector<uint8_t> plain = FileBytes(Sample("palette-4.bmp"));
    for (size_t row = 0; row < 48; ++row) {
        for (size_t x = 0; x < 64; ++x) {
            const uint8_t byte = plain[head + row * 32 + x / 2];
            const uint8_t nibble = static_cast<uint8_t>(x % 2 ? byte & 0x0F : byte >> 4);
            ASSERT_EQ(out[head + row * 64 + x], nibble) << "row " << row << ", x " << x;
        }
    }
}

TEST_F(Zemhost, FailuresWriteNothingAndKeepExistingOutput) {
    ASSERT_TRUE(WriteWholeFile(Path("note.txt"), {'h', 'i', '\n'}));
    const Outcome none = Run({"decode", Path("note.txt"), "-o", Path("note.bmp")});
    EXPECT_EQ(none.status, 1);
    EXPECT_HAS(none.err, "no plug-in accepts");
    EXPECT_FALSE(fs::exists(Path("note.bmp")));

    // A BMP cut short: bmpsrc takes it by its header, then finds the rows missing.
    std::vector<uint8_t> cut = FileBytes(Sample("gradient-24.bmp"));
    cut.resize(cut.size() / 2);
    ASSERT_TRUE(WriteWholeFile(Path("cut.bmp"), cut));
    ASSERT_TRUE(WriteWholeFile(Path("old.bmp"), {'o', 'l', 'd'}));
    const Outcome short_read =
        Run({"decode", Path("cut.bmp"), "-o", Path("old.bmp"), "--force", "--plugin", "bmpsrc"});
    EXPECT_EQ(short_read.status, 1);
    EXPECT_HAS(short_read.err, "file read error");
    EXPECT_HAS(short_read.err, "(code 6)");
    EXPECT_EQ(FileBytes(Path("old.bmp")), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_FALSE(fs::exists(Path("old.bmp.zemhost-partial")));

    const Outcome format = Run({"decode", Sample("gradient-24.bmp"), "-o", Path("x.jpg")});
    EXPECT_EQ(format.status, 2);
    EXPECT_HAS(format.err, "cannot tell the output format");

    const Outcome named =
        Run({"decode", Sample("gradient-24.bmp"), "-o", Path("x.bmp"), "--plugin", "nosuch"});
    EXPECT_EQ(named.status, 1);
    EXPECT_HAS(named.err, "no plug-in called nosuch (loaded: ");
    EXPECT_HAS(named.err, "bmpsrc");

    const Outcome offset = Run({"decode", Sample("gradient-24.bmp"), "-o", Path("x.bmp"),
                                "--memory", "--offset", "99999"});
    EXPECT_EQ(offset.status, 1);
    EXPECT_HAS(offset.err, "lies at or beyond the end");
    EXPECT_FALSE(fs::exists(Path("x.bmp")));
    EXPECT_FALSE(fs::exists(Path("x.jpg")));
}

TEST_F(Zemhost, PictureAtAnOffsetIsFoundByFileAndInMemory) {
    std::vector<uint8_t> file(100, 0x5A);
    const std::vector<uint8_t> original = FileBytes(Sample("gradient-24.bmp"));
    file.insert(file.end(), original.begin(), original.end());
    ASSERT_TRUE(WriteWholeFile(Path("wrapped.dat"), file));
    for (bool memory : {false, true}) {
        std::vector<std::string> args = {
            "decode", Path("wrapped.dat"), "-o", Path("x.bmp"), "--offset", "100", "--force"};
        if (memory) args.push_back("--memory");
        const Outcome o = Run(args);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(FileBytes(Path("x.bmp")), original) << "memory " << memory;
    }
    const Outcome info = Run({"info", Path("wrapped.dat"), "--offset", "100"});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_HAS(info.out, "48 x 32");
}

// The request block and the comment handle, end to end through the GIF plug-in.
TEST_F(Zemhost, RequestBlockChoosesTheImageOfAnAnimation) {
    if (!fs::exists(testing_support::PluginPath("gifsrc"))) {
        GTEST_SKIP() << "gifsrc is not built";
    }
    const std::string gif = Sample("gif-animation-4.gif");
    std::vector<std::vector<uint8_t>> images;
    for (const char* index : {"0", "1", "3"}) {
        const Outcome o = Run({"decode", gif, "--image", index, "-o", Path("frame.bmp"), "--force",
                               "--plugin", "gifsrc"});
        ASSERT_EQ(o.status, 0) << o.err;
        images.push_back(FileBytes(Path("frame.bmp")));
    }
    EXPECT_NE(images[0], images[1]);
    EXPECT_NE(images[1], images[2]);
    const Outcome frame = Run(
        {"decode", gif, "--frame", "1", "-o", Path("frame.bmp"), "--force", "--plugin", "gifsrc"});
    ASSERT_EQ(frame.status, 0) << frame.err;
    EXPECT_EQ(FileBytes(Path("frame.bmp")), images[1]);
    const Outcome beyond =
        Run({"decode", gif, "--image", "4", "-o", Path("beyond.bmp"), "--plugin", "gifsrc"});
    EXPECT_EQ(beyond.status, 1);
    EXPECT_HAS(beyond.err, "image not found");
    EXPECT_HAS(beyond.err, "(code 3)");
    EXPECT_FALSE(fs::exists(Path("beyond.bmp")));

    const Outcome info = Run({"info", gif, "--plugin", "gifsrc"});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_HAS(info.out, "plug-in:       gifsrc");
    EXPECT_HAS(info.out, "comment:       \"zem sample: 4 frames\"");
}

TEST_F(Zemhost, BatchDecodesIntoFolderAndCountsFailures) {
    ASSERT_TRUE(WriteWholeFile(Path("note.txt"), {'h', 'i', '\n'}));
    const std::string folder = Path("batch") + "/";
    const Outcome o = Run({"decode", Sample("gradient-24.bmp"), Path("note.txt"),
                           Sample("palette-8.bmp"), "-o", folder, "--format", "bmp"});
    EXPECT_EQ(o.status, 1);
    EXPECT_HAS(o.out, "decoded 2 of 3 files");
    EXPECT_HAS(o.err, "no plug-in accepts");
    EXPECT_EQ(o.err.find("[1/3]"), std::string::npos);  // no progress when stderr is a file
    EXPECT_EQ(FileBytes(folder + "gradient-24.bmp"), FileBytes(Sample("gradient-24.bmp")));
    EXPECT_TRUE(fs::exists(folder + "palette-8.bmp"));
    EXPECT_FALSE(fs::exists(folder + "note.bmp"));

    fs::create_directory(Path("a"));
    ASSERT_TRUE(WriteWholeFile(Path("a/gradient-24.bmp"), FileBytes(Sample("gradient-24.bmp"))));
    const Outcome clash = Run({"decode", Sample("gradient-24.bmp"), Path("a/gradient-24.bmp"), "-o",
                               Path("clash") + "/"});
    EXPECT_EQ(clash.status, 2);
    EXPECT_HAS(clash.err, "would both be written to");
    EXPECT_FALSE(fs::exists(Path("clash")));

    const Outcome not_folder =
        Run({"decode", Sample("gradient-24.bmp"), Sample("palette-8.bmp"), "-o", Path("one.png")});
    EXPECT_EQ(not_folder.status, 2);
    EXPECT_HAS(not_folder.err, "several inputs need -o to name a folder");
}

bool PluginBuilt(const char* name) { return fs::exists(testing_support::PluginPath(name)); }

// No file is lost: an input is never written over, by any spelling or link, even with --force;
// a read-only output is left alone; an existing output is replaced only with --force. Every file
// that is refused keeps its bytes.
TEST_F(Zemhost, NeverWritesOverInputsOrExistingOutputs) {
    const std::vector<uint8_t> original = FileBytes(Sample("gradient-24.bmp"));
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    ASSERT_TRUE(WriteWholeFile(Path("in.bmp"), original));
    ASSERT_TRUE(WriteWholeFile(Path("old.png"), old));
    ASSERT_TRUE(WriteWholeFile(Path("ro.png"), old));
    const fs::perms writable =
        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    fs::permissions(Path("ro.png"), writable, fs::perm_options::remove);
    std::error_code ec;
    fs::create_hard_link(Path("in.bmp"), Path("link.bmp"), ec);
    const bool linked = !ec;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::string in = Path("in.bmp");
    std::vector<Case> cases = {
        {{"decode", in, "-o", in, "--force"},
         2,
         in + " is an input file; it is never written over"},
        {{"decode", in, "-o", m_dir + "/./in.bmp", "-y"}, 2, "is an input file"},
        {{"decode", in, "-o", Path("old.png")}, 3, "old.png exists; left alone (--force or -y"},
        {{"decode", in, "-o", Path("ro.png"), "--force"}, 3, "ro.png is read-only; left alone"},
        {{"decode", in, "-o", m_dir + "/", "--format", "bmp", "-y"}, 2, "is an input file"},
    };
    if (linked) cases.push_back({{"decode", in, "-o", Path("link.bmp"), "-y"}, 2, "is an input"});
    for (const Case& c : cases) {
        const Outcome o = Run(c.args);
        EXPECT_EQ(o.status, c.status) << c.args[3] << ": " << o.err;
        EXPECT_HAS(o.err, c.message);
        EXPECT_EQ(FileBytes(in), original) << c.args[3];
        EXPECT_EQ(FileBytes(Path("old.png")), old);
        EXPECT_EQ(FileBytes(Path("ro.png")), old);
    }
    const Outcome forced = Run({"decode", in, "-o", Path("old.png"), "--force"});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(FileBytes(Path("old.png")).size() > 8 && FileBytes(Path("old.png"))[1] == 'P', true);
    fs::permissions(Path("ro.png"), fs::perms::owner_write, fs::perm_options::add);
}

// A batch checks every output before it writes one: all clashes are listed, and a batch whose
// outputs would land on its own inputs writes nothing.
TEST_F(Zemhost, BatchListsEveryClashBeforeWritingAnything) {
    const std::vector<uint8_t> bmp = FileBytes(Sample("gradient-24.bmp"));
    fs::create_directories(Path("a"));
    fs::create_directories(Path("b"));
    for (const char* name : {"a/x.bmp", "a/y.bmp", "b/x.bmp", "b/y.bmp"}) {
        ASSERT_TRUE(WriteWholeFile(Path(name), bmp));
    }
    const Outcome clash = Run({"decode", Path("a/x.bmp"), Path("b/x.bmp"), Path("a/y.bmp"),
                               Path("b/y.bmp"), "-o", Path("out") + "/"});
    EXPECT_EQ(clash.status, 2);
    EXPECT_HAS(clash.err, "would both be written to " + Path("out") + "/x.png");
    EXPECT_HAS(clash.err, "would both be written to " + Path("out") + "/y.png");
    EXPECT_FALSE(fs::exists(Path("out")));

    const Outcome onto = Run({"decode", Path("a/x.bmp"), Path("a/y.bmp"), "-o", Path("a"),
                              "--format", "bmp", "--force"});
    EXPECT_EQ(onto.status, 2);
    EXPECT_HAS(onto.err, "x.bmp is an input file");
    EXPECT_HAS(onto.err, "y.bmp is an input file");
    for (const char* name : {"a/x.bmp", "a/y.bmp"}) EXPECT_EQ(FileBytes(Path(name)), bmp);

    fs::create_directories(Path("c"));
    ASSERT_TRUE(WriteWholeFile(Path("c/x.png"), {'o', 'l', 'd'}));
    const Outcome skip = Run({"decode", Path("a/x.bmp"), Path("a/y.bmp"), "-o", Path("c")});
    EXPECT_EQ(skip.status, 3) << skip.err;
    EXPECT_HAS(skip.out, "decoded 1 of 2 files (1 skipped)");
    EXPECT_EQ(FileBytes(Path("c/x.png")), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_TRUE(fs::exists(Path("c/y.png")));
}

// info prints the fields that the answering plug-in fills and no others; where several accept a
// file, the one whose answers say most is chosen.
TEST_F(Zemhost, InfoPrintsTheFieldsOfTheAnsweringPlugin) {
    struct Row {
        const char* file;
        const char* plugin;  // --plugin, or null to let zemhost choose
        const char* answers;
        std::vector<std::string> present, absent;
    };
    const std::vector<std::string> video_fields = {"stream length:", "codec:"};
    const std::vector<Row> rows = {
        {"gif-animation-4.gif",
         nullptr,
         "imgsrc",
         {"image type:    2 (GIF)", "frame count:   4", "dots per inch", "depth:         8 bits"},
         video_fields},
        {"gif-animation-4.gif",
         "gifsrc",
         "gifsrc",
         {"comment:       \"zem sample: 4 frames\"", "depth:"},
         {"frame count:", "image type:", "codec:"}},
        {"gradient-24.bmp",
         "bmpsrc",
         "bmpsrc",
         {"depth:         24 bits"},
         {"comment:", "frame count:", "codec:", "stream length:", "densities:"}},
        {"png-rgba-alpha.png",
         nullptr,
         "imgsrc",
         {"image type:    4 (PNG)", "frame count:   1", "depth:         32 bits"},
         video_fields},
        {"tiff-pages-3.tif",
         nullptr,
         "imgsrc",
         {"image type:    6 (TIFF)", "frame count:   3"},
         video_fields},
#if !defined(_WIN32)  // Wine's media detector takes seconds a clip, and names codecs its own way
        {"video-h264.mp4",
         nullptr,
         "dshowsrc",
         {"size:          192 x 108", "stream length: 3 s", "codec:         0x31637661 'avc1'"},
         {"depth:", "densities:", "frame count:", "image type:"}},
        {"clip-audio-video.avi",
         nullptr,
         "dshowsrc",
         {"stream length: 2 s", "codec:"},
         {"depth:", "frame count:"}},
        {"clip-audio-video.avi",
         "avisrc",
         "avisrc",
         {"size:          96 x 72"},
         {"stream length:", "codec:", "densities:", "frame count:"}},
#endif
    };
    for (const Row& row : rows) {
        if (!PluginBuilt(row.answers)) continue;
        std::vector<std::string> args = {"info", Sample(row.file)};
        if (row.plugin) args.insert(args.end(), {"--plugin", row.plugin});
        const Outcome o = Run(args);
        ASSERT_EQ(o.status, 0) << row.file << ": " << o.err;
        EXPECT_HAS(o.out, std::string("plug-in:       ") + row.answers + "\n");
        for (const std::string& field : row.present) EXPECT_HAS(o.out, field);
        for (const std::string& field : row.absent) {
            EXPECT_EQ(o.out.find(field), std::string::npos) << row.file << ": " << field;
        }
    }
    // Several files in one call, separated by a blank line.
    const Outcome two = Run({"info", Sample("gradient-24.bmp"), Sample("palette-8.bmp")});
    EXPECT_EQ(two.status, 0) << two.err;
    EXPECT_HAS(two.out, "gradient-24.bmp\nplug-in:");
    EXPECT_HAS(two.out, "\n\nfile:          " + Sample("palette-8.bmp"));
}

// Failures and surprises in the user's words, with nothing written.
TEST_F(Zemhost, MessagesSayWhatHappened) {
    if (!PluginBuilt("imgsrc")) GTEST_SKIP() << "imgsrc is not built";
    std::vector<uint8_t> png = FileBytes(Sample("png-rgba-alpha.png"));
    png.resize(3000);
    ASSERT_TRUE(WriteWholeFile(Path("cut.png"), png));
    std::vector<uint8_t> bmp = FileBytes(Sample("gradient-24.bmp"));
    bmp.resize(1000);
    ASSERT_TRUE(WriteWholeFile(Path("cut.bmp"), bmp));
    ASSERT_TRUE(WriteWholeFile(Path("empty.png"), {}));
    const std::string out = Path("out.png");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        // The information read answers from the headers, which a cut PNG keeps.
        {{"decode", Path("cut.png"), "-o", out},
         1,
         "(imgsrc) the PNG file is cut short: a complete PNG ends with its IEND chunk"},
        {{"decode", Path("cut.bmp"), "-o", out},
         1,
         "the BMP file is cut short: its file header gives 4662 bytes, and it has 1000"},
        {{"decode", Sample("tiff-pages-3.tif"), "--image", "3", "-o", out},
         1,
         "page 3 of 3 requested; the file has pages 0 to 2"},
        {{"info", Sample("gif-animation-4.gif"), "--frame", "4"},
         1,
         "frame 4 of 4 requested; the file has frames 0 to 3"},
        {{"decode", Path("empty.png"), "-o", out}, 1, "empty.png: the file is empty"},
        {{"info", Path("empty.png")}, 1, "the file is empty"},
        {{"decode", Sample("gradient-24.bmp"), "-o", Path("none/x.png")},
         1,
         "cannot write " + Path("none/x.png") + ": the folder " + Path("none") + " does not exist"},
        {{"decode", Sample("gradient-24.bmp"), "--image", "-1", "-o", out},
         2,
         "--image counts from 0"},
        {{"--version"}, 0, "zemhost 0."},
    };
    for (const Case& c : cases) {
        const Outcome o = Run(c.args);
        EXPECT_EQ(o.status, c.status) << c.args[1] << ": " << o.err;
        EXPECT_HAS(o.out + o.err, c.message);
        EXPECT_EQ(o.err.find("partial"), std::string::npos) << o.err;
        EXPECT_FALSE(fs::exists(out)) << c.args[1];
    }
    const Outcome page = Run({"info", Sample("tiff-pages-3.tif"), "--image", "2"});
    EXPECT_EQ(page.status, 0) << page.err;
    EXPECT_HAS(page.out, "image 2:       160 x 120");

    // Options that mean nothing to the plug-in that answered are warned of; the work is done.
    const Outcome warned = Run({"decode", Sample("png-rgba-alpha.png"), "-o", out, "--scale", "2",
                                "--position", "5", "--type", "png"});
    EXPECT_EQ(warned.status, 0) << warned.err;
    EXPECT_HAS(warned.err, "--scale has no effect on " + Sample("png-rgba-alpha.png") +
                               ": it reduces JPEG pictures only, and this is a PNG file");
    EXPECT_HAS(warned.err, "--position has no effect");
    EXPECT_EQ(warned.err.find("--type"), std::string::npos) << warned.err;
    const Outcome on_bmpsrc = Run({"decode", Sample("gradient-24.bmp"), "-o", Path("x.bmp"),
                                   "--plugin", "bmpsrc", "--image", "1"});
    EXPECT_EQ(on_bmpsrc.status, 0) << on_bmpsrc.err;
    EXPECT_HAS(on_bmpsrc.err, "--image has no effect");
}

// A BMP file that zemhost wrote, read back through the host's converter.
struct Picture {
    uint32_t width = 0, height = 0;
    size_t channels = 0;
    std::vector<uint8_t> rows;  // top row first
};

Picture ReadBmp(const std::string& path) {
    Picture p;
    const std::vector<uint8_t> bytes = FileBytes(path);
    DibImage image;
    std::string error = "too short";
    if (bytes.size() <= 14 || !image.Load(bytes.data() + 14, bytes.size() - 14, error)) {
        ADD_FAILURE() << path << ": " << error;
        return p;
    }
    p = {image.Width(), image.Height(), image.Channels(), image.ConvertAll()};
    return p;
}

// Mean difference per channel between a thumbnail and the whole picture sampled at the
// corresponding places: small for a faithful reduction, large for swapped channels, flipped or
// shifted rows.
double MeanDifference(const Picture& thumb, const Picture& whole) {
    uint64_t total = 0;
    for (uint32_t y = 0; y < thumb.height; ++y) {
        for (uint32_t x = 0; x < thumb.width; ++x) {
            const size_t sx = (x * 2 + 1) * size_t{whole.width} / (thumb.width * 2);
            const size_t sy = (y * 2 + 1) * size_t{whole.height} / (thumb.height * 2);
            for (size_t c = 0; c < 3; ++c) {
                total += static_cast<uint64_t>(
                    std::abs(thumb.rows[(y * size_t{thumb.width} + x) * thumb.channels + c] -
                             whole.rows[(sy * whole.width + sx) * whole.channels + c]));
            }
        }
    }
    return double(total) / (3.0 * thumb.width * thumb.height);
}

// thumbs: the files of the folder (not of its subfolders) that a plug-in takes, each as its
// preview (avisrc: a key frame), or read at 1/8 (a JPEG) or whole, reduced to 256 px when larger.
// Wine's avifil32 has no decoder for the sample clip's codec: avisrc reads no frame of it there.
#if defined(_WIN32)
constexpr bool kClipReadable = false;
#else
constexpr bool kClipReadable = true;
#endif

TEST_F(Zemhost, ThumbsWritesASmallPictureOfEachPictureOfAFolder) {
    if (!PluginBuilt("imgsrc") || !PluginBuilt("avisrc")) GTEST_SKIP() << "needs imgsrc, avisrc";
    const std::string in = Path("in");
    fs::create_directories(in + "/sub");
    for (const char* name : {"png-palette-216.png", "png-rgba-alpha.png", "jpeg-photo-420.jpg",
                             "gradient-24.bmp", "clip-audio-video.avi"}) {
        if (kClipReadable || std::strstr(name, ".avi") == nullptr) {
            fs::copy_file(Sample(name), in + "/" + name);
        }
    }
    fs::copy_file(Sample("rle8.bmp"), in + "/sub/rle8.bmp");
    ASSERT_TRUE(WriteWholeFile(in + "/note.txt", {'h', 'i', '\n'}));
    const Outcome o = Run({"thumbs", in, "-o", Path("out"), "--format", "bmp"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_HAS(o.out, "1 file of " + in + " accepted by no plug-in, left out: 1 .txt");
    EXPECT_HAS(o.out, kClipReadable ? "thumbnails of 5 of 5 files" : "thumbnails of 4 of 4 files");
    if (kClipReadable) {
        // dshowsrc, the first plug-in to take the clip, gives its key-frame preview.
        EXPECT_HAS(o.out,
                   "clip-audio-video.avi.bmp: 96 x 72 from the preview (96 x 72) via dshowsrc");
    }
    // imgsrc previews a JPEG at the smallest eighth that keeps 256 px (7/8 of 320 x 240).
    EXPECT_HAS(o.out, "jpeg-photo-420.jpg.bmp: 256 x 192 from the preview (280 x 210) via imgsrc");
    EXPECT_FALSE(fs::exists(Path("out/sub")));
    EXPECT_FALSE(fs::exists(Path("out/note.txt.bmp")));

    // Small pictures are their own thumbnails, exactly as decode (--preview) writes them.
    const std::vector<std::vector<std::string>> same = {
        {"gradient-24.bmp", "decode", in + "/gradient-24.bmp"},
        {"clip-audio-video.avi", "decode", in + "/clip-audio-video.avi", "--preview", "--plugin",
         "avisrc"}};
    for (std::vector<std::string> args : same) {
        const std::string stem = args[0];
        if (!kClipReadable && stem == "clip-audio-video.avi") continue;
        args.erase(args.begin());
        args.insert(args.end(), {"-o", Path(stem + ".bmp")});
        ASSERT_EQ(Run(args).status, 0) << stem;
        EXPECT_EQ(FileBytes(Path("out/" + stem + ".bmp")), FileBytes(Path(stem + ".bmp"))) << stem;
    }
    for (const std::string stem : {"png-palette-216", "png-rgba-alpha"}) {
        ASSERT_EQ(Run({"decode", in + "/" + stem + ".png", "-o", Path(stem + ".bmp")}).status, 0);
        const Picture thumb = ReadBmp(Path("out/" + stem + ".png.bmp"));
        const Picture whole = ReadBmp(Path(stem + ".bmp"));
        EXPECT_EQ(thumb.width, 256u) << stem;
        EXPECT_EQ(thumb.height, 192u) << stem;
        EXPECT_EQ(thumb.channels, whole.channels) << stem;
        if (thumb.width == 256 && thumb.height == 192) {
            EXPECT_LT(MeanDifference(thumb, whole), 8.0) << stem;
        }
    }
}

// thumbs keeps every file of the folder, picture or not, and outputs that exist, as decode does.
TEST_F(Zemhost, ThumbsNeverWritesOverAFileOfTheFolder) {
    const std::string in = Path("in");
    fs::create_directories(in);
    const std::vector<uint8_t> bmp = FileBytes(Sample("gradient-24.bmp"));
    const std::vector<uint8_t> text = {'h', 'i', '\n'};
    ASSERT_TRUE(WriteWholeFile(in + "/a.bmp", bmp));
    ASSERT_TRUE(WriteWholeFile(in + "/b.dib", bmp));
    ASSERT_TRUE(WriteWholeFile(in + "/b.dib.bmp", text));  // not bmpsrc's, but a file of the folder
    const Outcome onto =
        Run({"thumbs", in, "-o", in, "--format", "bmp", "--force", "--plugin", "bmpsrc"});
    EXPECT_EQ(onto.status, 2);
    EXPECT_HAS(onto.err, in + "/b.dib.bmp is an input file");
    EXPECT_EQ(FileBytes(in + "/a.bmp"), bmp);
    EXPECT_EQ(FileBytes(in + "/b.dib.bmp"), text);
    EXPECT_FALSE(fs::exists(in + "/a.bmp.bmp"));
    for (const int status : {0, 3, -1}) {  // a first run, a second, a second with -y
        std::vector<std::string> args = {"thumbs", in, "-o", Path("out"), "--plugin", "bmpsrc"};
        if (status == -1) args.push_back("-y");
        const Outcome o = Run(args);
        EXPECT_EQ(o.status, std::max(status, 0)) << o.err;
        EXPECT_HAS(o.out, status == 3 ? "thumbnails of 0 of 2 files (2 skipped)"
                                      : "thumbnails of 2 of 2 files");
    }
    EXPECT_TRUE(fs::exists(Path("out/a.bmp.png")));
    const Outcome none = Run({"thumbs", Path("out"), "-o", Path("x"), "--plugin", "bmpsrc"});
    EXPECT_EQ(none.status, 1);
    EXPECT_HAS(none.err, "is accepted by bmpsrc");
}

// The preview through info and decode: avisrc gives one, imgsrc has none for PNG, and bmpsrc,
// which always declines, is not asked.
TEST_F(Zemhost, InfoAndDecodeShowThePreview) {
    struct Row {
        const char* file;
        const char* plugin;
        const char* line;  // null: no preview line
    };
    const Row rows[] = {{"clip-audio-video.avi", "avisrc", "preview:       96 x 72, 24-bit\n"},
                        {"png-rgba-alpha.png", "imgsrc", "preview:       none\n"},
                        {"gradient-24.bmp", "bmpsrc", nullptr}};
    for (const Row& row : rows) {
        if (!PluginBuilt(row.plugin) || (!kClipReadable && row.plugin == rows[0].plugin)) continue;
        const Outcome o = Run({"info", Sample(row.file), "--plugin", row.plugin, "--preview"});
        ASSERT_EQ(o.status, 0) << o.err;
        if (row.line) EXPECT_HAS(o.out, row.line);
        // Without --preview, info reads headers only.
        const Outcome headers = Run({"info", Sample(row.file), "--plugin", row.plugin});
        EXPECT_EQ(headers.out.find("preview:"), std::string::npos) << headers.out;
        if (!row.line) EXPECT_EQ(o.out.find("preview:"), std::string::npos) << o.out;
    }
    const Outcome none = Run({"decode", Sample("gradient-24.bmp"), "--preview", "--plugin",
                              "bmpsrc", "-o", Path("p.bmp")});
    EXPECT_EQ(none.status, 1);
    EXPECT_HAS(none.err, "(bmpsrc) no preview");
    EXPECT_FALSE(fs::exists(Path("p.bmp")));
}

}  // namespace

namespace {

// The command that runs zemhost as a user who is not root, for a file that root could read
// whatever its permissions: "setpriv ... ", empty when no such user can be had here (then
// `why` says so) or none is needed.
std::string AsOrdinaryUser(std::string& why) {
#if defined(_WIN32)
    why = "file permissions are not tested under Wine";
    return {};
#else
    if (geteuid() != 0) return {};
    if (std::system("setpriv --version >/dev/null 2>&1") != 0) {
        why = "running as root without setpriv: no unreadable file can be arranged";
        return {};
    }
    return "setpriv --reuid=65534 --regid=65534 --clear-groups ";
#endif
}

}  // namespace

// One folder as a camera and a phone fill it: RAW and JPEG of one stem, a still and a clip of
// one stem, names that differ only in case, a bare DIB, an unreadable file, a subfolder and
// files that are no pictures. thumbs writes one thumbnail per readable file, none over another,
// says what it left out, and mirrors the subfolder with -r; decode refuses the clashes of stems
// and names its way out; and each message case says what happened.
TEST_F(Zemhost, FolderOfCameraFilesAndEveryMessage) {
    if (!PluginBuilt("imgsrc")) GTEST_SKIP() << "imgsrc is not built";
    const std::string in = Path("in");
    fs::create_directories(in + "/sub");
    struct Item {
        const char* name;
        const char* sample;  // null: written below
        bool picture;
    };
#if defined(_WIN32)
    // Wine's imaging component reads neither camera RAW nor HEIF: pictures it reads stand in.
    const char* raw = "tiff-pages-3.tif";
    const char* heif = "png-palette-216.png";
#else
    const char* raw = "dng-cfa.dng";
    const char* heif = "avif-photo.avif";
#endif
    std::vector<Item> items = {
        {"IMG_0001.DNG", raw, true},
        {"IMG_0001.JPG", "jpeg-photo-420.jpg", true},
        {"IMG_0002.HEIC", heif, true},
        {"a.bmp", "gradient-24.bmp", true},
        {"sub/IMG_0001.JPG", "jpeg-photo-420.jpg", true},
        {"notes.txt", nullptr, false},
        {"IMG_0001.XMP", nullptr, false},
    };
#if defined(_WIN32)
    items.push_back({"A.png", "png-rgba-alpha.png", true});  // Windows cannot hold a.bmp, A.BMP
#else
    items.push_back({"A.BMP", "palette-8.bmp", true});
    items.push_back({"IMG_0002.MOV", "video-h264.mp4", true});
#endif
    for (const Item& item : items) {
        if (item.sample) {
            fs::copy_file(Sample(item.sample), in + "/" + item.name);
        } else {
            ASSERT_TRUE(WriteWholeFile(in + "/" + item.name, {'<', 'x', '/', '>', '\n'}));
        }
    }
    // A bitmap without its file header, as .dib files hold it.
    const std::vector<uint8_t> bmp = FileBytes(Sample("gradient-24.bmp"));
    ASSERT_TRUE(WriteWholeFile(in + "/bare.dib", {bmp.begin() + 14, bmp.end()}));
    std::string no_user;
    const std::string user = AsOrdinaryUser(no_user);
    bool locked = false;
#if !defined(_WIN32)
    if (no_user.empty()) {
        ASSERT_TRUE(WriteWholeFile(in + "/locked.jpg", FileBytes(Sample("jpeg-photo-420.jpg"))));
        fs::permissions(in + "/locked.jpg", fs::perms::none);
        // The ordinary user works in the folder as its owner would.
        for (const std::string& dir : {m_dir, in, in + "/sub"}) {
            fs::permissions(dir, fs::perms::all);
        }
        locked = true;
    }
#endif
    auto run = [&](std::vector<std::string> args) {
        if (user.empty()) return Run(args);
#if defined(_WIN32)
        return Outcome();
#else
        std::string command = user + Quote(ZEMHOST_PATH);
        for (const std::string& a : args) command += " " + Quote(a);
        const std::string out = Path("user-out.txt"), err = Path("user-err.txt");
        const int rc = std::system((command + " >" + out + " 2>" + err).c_str());
        Outcome o;
        o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        std::vector<uint8_t> bytes;
        if (ReadWholeFile(out, bytes)) o.out.assign(bytes.begin(), bytes.end());
        if (ReadWholeFile(err, bytes)) o.err.assign(bytes.begin(), bytes.end());
        return o;
#endif
    };
    if (!locked) std::printf("unreadable file not tested: %s\n", no_user.c_str());

    size_t pictures = 0;
    for (const Item& item : items) pictures += item.picture && !std::strstr(item.name, "sub/");
    ++pictures;  // bare.dib
    for (const bool deep : {false, true}) {
        const std::string out = Path(deep ? "deep" : "flat");
        std::vector<std::string> args = {"thumbs", in, "-o", out, "--format", "bmp"};
        if (deep) args.insert(args.end(), {"-r", "-v", "--jobs", "2", "--size", "64"});
        const Outcome o = run(args);
        EXPECT_EQ(o.status, locked ? 1 : 0) << o.err;
        const size_t expected = pictures + (deep ? 1 : 0);
        const size_t total = expected + (locked ? 1 : 0);
        EXPECT_HAS(o.out, "thumbnails of " + std::to_string(expected) + " of " +
                              std::to_string(total) + " files" + (locked ? " (1 failed)" : ""));
        for (const Item& item : items) {
            const bool wanted = item.picture && (deep || !std::strstr(item.name, "sub/"));
            EXPECT_EQ(fs::exists(out + "/" + item.name + ".bmp"), wanted) << item.name;
        }
        EXPECT_TRUE(fs::exists(out + "/bare.dib.bmp"));
        if (locked) EXPECT_HAS(o.err, "locked.jpg: cannot read it: permission denied");
        EXPECT_HAS(o.out, "2 files of " + in + " accepted by no plug-in, left out: 1 .txt, 1 .xmp");
        if (deep) {
            EXPECT_HAS(o.out, "left out: " + in + "/notes.txt (no plug-in takes it)");
            EXPECT_HAS(o.out, "sub/IMG_0001.JPG.bmp: 64 x 48 from the");
            // Results come in file-name order whatever thread made them.
            EXPECT_LT(o.out.find("IMG_0001.DNG.bmp"), o.out.find("IMG_0001.JPG.bmp"));
        } else {
            EXPECT_HAS(o.out, "(-v names them)");
            EXPECT_HAS(o.out, "1 subfolder of " + in + " left out (-r goes into them)");
        }
    }

    // decode keeps refusing outputs of one name, before it writes anything, and names the way
    // out; where the output folder ignores case (Windows), a.bmp and A.png clash too.
    const std::vector<std::string> pair = {in + "/IMG_0001.DNG", in + "/IMG_0001.JPG"};
    Outcome clash = Run({"decode", pair[0], pair[1], "-o", Path("d") + "/"});
    EXPECT_EQ(clash.status, 2);
    EXPECT_HAS(clash.err, "would both be written to " + Path("d") + "/IMG_0001.png");
    EXPECT_HAS(clash.err, "--name full");
    EXPECT_FALSE(fs::exists(Path("d")));
    Outcome full = Run({"decode", pair[0], pair[1], "-o", Path("d") + "/", "--name", "full"});
    EXPECT_EQ(full.status, 0) << full.err;
    EXPECT_TRUE(fs::exists(Path("d/IMG_0001.JPG.png")));
#if defined(_WIN32)
    clash = Run({"decode", in + "/a.bmp", in + "/A.png", "-o", Path("w") + "/"});
    EXPECT_EQ(clash.status, 2);
    EXPECT_HAS(clash.err, "would both be written to");
    EXPECT_FALSE(fs::exists(Path("w")));
#endif

    // Each message case: its words and its exit status, nothing written on failure.
    std::vector<uint8_t> png = FileBytes(Sample("png-rgba-alpha.png"));
    png[png.size() / 2] ^= 0xFF;  // the pixel data breaks; the file still ends with IEND
    ASSERT_TRUE(WriteWholeFile(Path("damaged.png"), png));
    // A placeable metafile: imgsrc knows it (type 10) and draws none.
    std::vector<uint8_t> wmf = {0xD7, 0xCD, 0xC6, 0x9A};
    wmf.resize(120, 0);
    ASSERT_TRUE(WriteWholeFile(Path("drawing.wmf"), wmf));
    const std::string o_png = Path("o.png");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string words;
        bool user = false;
    };
    std::vector<Case> cases = {
        {{"decode", in + "/IMG_0001.JPG", "--type", "png", "-o", o_png},
         1,
         "the file is not a PNG: it is a JPEG file"},
        {{"decode", Sample("ico-two-entries.ico"), "--scale", "2", "-o", o_png},
         0,
         "and this is an ICO file"},
        {{"decode", in + "/IMG_0001.JPG", "--position", "11.9", "-o", o_png},
         2,
         "--position takes whole seconds"},
        {{"decode", in + "/bare.dib", "-o", o_png}, 0, "via bmpsrc"},
    };
#if !defined(_WIN32)  // what the system's decoders make of damaged files is their own
    cases.push_back({{"decode", Path("damaged.png"), "-o", o_png}, 1, "damaged: a PNG file whose"});
    cases.push_back(
        {{"decode", Path("drawing.wmf"), "-o", o_png}, 1, "unsupported: a WMF file of a variant"});
#endif
    if (kClipReadable) {
        cases.push_back({{"decode", in + "/IMG_0002.MOV", "--position", "500", "-o", o_png},
                         0,
                         "is past the end (3 s): the plug-in gives the middle frame"});
    }
    if (locked) {
        cases.push_back({{"decode", in + "/locked.jpg", "-o", Path("locked.png")},
                         1,
                         "locked.jpg: permission denied",
                         true});
    }
    for (const Case& c : cases) {
        std::error_code ec;
        fs::remove(o_png, ec);
        const Outcome o = c.user ? run(c.args) : Run(c.args);
        EXPECT_EQ(o.status, c.status) << c.args[1] << ": " << o.err;
        EXPECT_HAS(o.out + o.err, c.words);
        EXPECT_EQ(o.err.find(" a ICO"), std::string::npos) << o.err;
        if (c.status != 0) EXPECT_FALSE(fs::exists(o_png)) << c.args[1];
    }
}
