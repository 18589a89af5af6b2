// imgsrc's own rules through the built module: the signature order, the name test, the request
// block and the record with their write-backs, and the result codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "BmpBuilder.h"
#include "GifTestEncoder.h"
#include "ImgFile.h"
#include "ImgTestSupport.h"
#include "TestSupport.h"

namespace {

using img_test::Imgsrc;

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> HeadOf(const std::string& bytes) {
    std::vector<uint8_t> head(2048, 0);
    std::memcpy(head.data(), bytes.data(), bytes.size());
    return head;
}

int32_t Probe(const char* name, const std::vector<uint8_t>& head) {
    return Imgsrc().IsSupported(name, reinterpret_cast<SpiHeadWord>(head.data()));
}

// A GIF whose one image declares `width` x `height` pixels and carries no data.
std::vector<uint8_t> EmptyGif(uint16_t width, uint16_t height) {
    giftest::GifBuilder b;
    b.Header().Screen(width, height, giftest::Palette(2, 1));
    giftest::GifImage image;
    image.width = width;
    image.height = height;
    image.raw_data = true;
    image.data = {2, 0};  // minimum code size, terminator
    return b.Image(image).Trailer().Bytes();
}

// A small GIF of `frames` images, each 6 x 4.
std::vector<uint8_t> SmallGif(int frames, uint16_t width = 6, uint16_t height = 4) {
    giftest::GifBuilder b;
    b.Header().Screen(width, height, giftest::Palette(2, 1));
    for (int i = 0; i < frames; ++i) {
        giftest::GifImage image;
        image.width = width;
        image.height = height;
        image.indices.assign(size_t{width} * height, static_cast<uint16_t>(i & 3));
        b.Image(image);
    }
    return b.Trailer().Bytes();
}

TEST(ImgPlugin, InformationStrings) {
    EXPECT_EQ(Imgsrc().Info(0), "00IN");
    EXPECT_EQ(Imgsrc().Info(1), "Multi-format image plug-in");
    EXPECT_EQ(Imgsrc().Info(2), "*.*");
    EXPECT_EQ(Imgsrc().Info(3), "All Image");
    EXPECT_EQ(Imgsrc().Info(4), "");
    EXPECT_EQ(Imgsrc().Info(-1), "");
}

struct SignatureCase {
    const char* what;
    std::string head;
    int32_t want;
};

// The head decides before any name; rules apply in order, and near misses fall through.
TEST(ImgPlugin, SignaturesInOrder) {
    const SignatureCase cases[] = {
        {"BM", "BM", 1},
        {"GIF87a", "GIF87a", 2},
        {"GIF89a", "GIF89a", 2},
        {"GIF88a is no GIF", "GIF88a", 0},
        {"JPEG", "\xFF\xD8\xFF\xE0", 3},
        {"PNG", std::string("\x89PNG\r\n\x1A\n", 8), 4},
        {"PNG with a bad byte", std::string("\x89PNG\r\n\x1A\x0B", 8), 0},
        {"TIFF II", std::string("II\x2A\0", 4), 6},
        {"TIFF MM", std::string("MM\0\x2A", 4), 6},
        {"MM then 2A 00 is not TIFF", std::string("MM\x2A\0", 4), 0},
        {"JP2", std::string("\0\0\0\x0CjP  \r\n\x87\n", 12), 11},
        {"placeable metafile", "\xD7\xCD\xC6\x9A", 10},
        {"BM before a JP2 tail", "BM\0\x0CjP", 1},
        {"PSD", "8BPS", 20},
        {"J2K codestream", "\xFF\x4F\xFF\x51", 12},
        {"WebP", std::string("RIFF\x10\0\0\0WEBPVP8 ", 16), 21},
        {"RIFF AVI is not WebP", std::string("RIFF\x10\0\0\0AVI LIST", 16), 0},
        {"AVIF", std::string("\0\0\0\x1C" "ftypavif\0\0\0\0avifmif1miaf", 28), 23},
        {"HEIC", std::string("\0\0\0\x18" "ftypheic\0\0\0\0mif1heic", 24), 22},
        {"MP4 is neither", std::string("\0\0\0\x18" "ftypisom\0\0\0\0isomiso2", 24), 0},
        {"JPEG XL codestream", "\xFF\x0A", 24},
        {"JPEG XL container", std::string("\0\0\0\x0CJXL \r\n\x87\n", 12), 24},
        {"QOI", "qoif", 25},
        {"DDS", "DDS |", 26},
        {"ICNS", "icns", 27},
        {"CUR with a filled reserved byte",
         std::string("\0\0\2\0\1\0\x10\x10\0\x07\1\0\x20\0\x68\4\0\0\x16\0\0\0", 22), 5},
        {"ICO", std::string("\0\0\1\0\1\0\x10\x10\0\0\1\0\x20\0\x68\4\0\0\x16\0\0\0", 22), 5},
        {"CUR", std::string("\0\0\2\0\1\0\x10\x10\0\0\1\0\x20\0\x68\4\0\0\x16\0\0\0", 22), 5},
        {"ICO whose image overlaps the directory",
         std::string("\0\0\1\0\1\0\x10\x10\0\0\1\0\x20\0\x68\4\0\0\x05\0\0\0", 22), 0},
        {"PPM", "P6\n3 2\n255\n", 14},
        {"PAM", "P7\nWIDTH 1\n", 14},
        {"P8 is no PNM", "P8\n", 0},
        {"P6 without white space", "P63", 0},
        {"PCX", std::string("\x0A\x05\x01\x08", 4) + std::string(61, '\0') + "\x01", 28},
        {"PCX without planes", std::string("\x0A\x05\x01\x08", 4) + std::string(62, '\0'), 0},
        {"DCX", "\xB1\x68\xDE\x3A", 28},
        {"SGI", "\x01\xDA\x01\x01", 29},
        {"XPM", "/* XPM */\n", 30},
        {"XBM", "#define x_width 8\n", 31},
        {"a #define of no width", "#define X 1\n", 0},
        {"Sun raster", "\x59\xA6\x6A\x95", 33},
        {"Radiance", "#?RADIANCE\n", 34},
        {"RGBE", "#?RGBE\n", 34},
        {"PFM colour", "PF\n", 35},
        {"PFM grey", "Pf ", 35},
        {"Pf without white space", "Pf3", 0},
    };
    for (const SignatureCase& c : cases) {
        EXPECT_EQ(Probe("noextension", HeadOf(c.head)), c.want) << c.what;
    }
}

struct NameCase {
    const char* name;
    int32_t want;
};

// Names are matched at their last dot, case-insensitively, in type order.
TEST(ImgPlugin, NameTestForUnrecognisedBytes) {
    const NameCase cases[] = {
        {"photo.png", 4},      {"PHOTO.JPE", 3},   {"photo.jpeg", 3},  {"a.b.jpg", 3},
        {"scan.TIFF", 6},      {"x.tif", 6},       {"x.jp2", 11},      {"x.j2k", 12},
        {"x.psd", 20},         {"x.raw", 19},      {"IMG_0001.CR2", 19}, {"x.dng", 19},
        {"x.tga", 7},          {"x.ico", 5},       {"x.cur", 5},       {"x.pgm", 14},
        {"x.webp", 21},        {"x.heic", 22},     {"x.avif", 23},     {"x.jxl", 24},
        {"x.qoi", 25},         {"x.bmp", 1},       {"x.gif", 2},       {"noextension", 0},
        {"x.png.txt", 0},      {"x.", 0},          {".png", 4},        {"x.pcx", 28},
        {"x.DCX", 28},         {"x.sgi", 29},      {"x.rgb", 29},      {"x.bw", 29},
        {"x.xpm", 30},         {"x.xbm", 31},      {"x.wbmp", 32},     {"x.ras", 33},
        {"x.sun", 33},         {"x.hdr", 34},      {"x.pfm", 35},         {"x.dds", 26},
        {"x.mpo", 3},          {"x.icns", 27},
    };
    const std::vector<uint8_t> junk = HeadOf("junk");
    for (const NameCase& c : cases) EXPECT_EQ(Probe(c.name, junk), c.want) << c.name;
    // The signature wins over the name.
    EXPECT_EQ(Probe("photo.png", HeadOf("BM")), 1);
    // No name: the head's result alone.
    EXPECT_EQ(Probe(nullptr, junk), 0);
    EXPECT_EQ(Probe(nullptr, HeadOf("8BPS")), 20);
}

TEST(ImgPlugin, FileFormReadsTheHeadAndStillTestsTheName) {
    const std::string dir = testing_support::MakeTempDir();
    const std::string gif = dir + "/picture.dat";
    ASSERT_TRUE(testing_support::WriteWholeFile(gif, SmallGif(1)));
    EXPECT_EQ(Imgsrc().IsSupported(gif.c_str(), 0), 2);
    const std::string missing = dir + "/missing.jpeg";
    EXPECT_EQ(Imgsrc().IsSupported(missing.c_str(), 0), 3);
    EXPECT_EQ(Imgsrc().IsSupported((dir + "/missing").c_str(), 0), 0);
    testing_support::RemoveTree(dir);
}

TEST(ImgPlugin, InfoRecordFieldsAndWriteBack) {
    const std::vector<uint8_t> gif = SmallGif(3);
    img_test::Info info = img_test::GetInfo(gif);
    ASSERT_EQ(info.result, 0);
    EXPECT_EQ(+info.record.width, 6);
    EXPECT_EQ(+info.record.height, 4);
    EXPECT_EQ(+info.record.colorDepth, 4);  // a four-colour table
    EXPECT_EQ(+info.record.imageType, 2u);
    EXPECT_EQ(+info.record.frameCount, 3u);
    EXPECT_EQ(+info.record.xDensity, 96);
    EXPECT_EQ(+info.record.yDensity, 96);
    // A requested type that matches decodes too; one that does not gives 3, unrequested 2.
    EXPECT_EQ(img_test::GetInfo(gif, 2).result, 0);
    const img_test::Info wrong = img_test::GetInfo(gif, 4);
    EXPECT_EQ(wrong.result, 3);
    EXPECT_EQ(+wrong.record.imageType, 4u);
    EXPECT_EQ(img_test::GetInfo(Bytes("not a picture at all")).result, 2);
    EXPECT_EQ(img_test::GetInfo(Bytes("not a picture at all"), 6).result, 3);
    EXPECT_EQ(img_test::GetInfo(gif, 63).result, 3);  // a type no back end reads

    EXPECT_EQ(Imgsrc().GetPictureInfo(reinterpret_cast<const char*>(gif.data()),
                                      static_cast<SpiLength>(gif.size()), SPI_SRC_MEMORY,
                                      nullptr),
              -1);
    // Another source kind: 6, and the record written from the empty state with the type kept.
    PictureInfoRecord record{};
    record.imageType = 4;
    record.width = 77;
    EXPECT_EQ(Imgsrc().GetPictureInfo(reinterpret_cast<const char*>(gif.data()),
                                      static_cast<SpiLength>(gif.size()), 2, &record),
              6);
    EXPECT_EQ(+record.width, 0);
    EXPECT_EQ(+record.imageType, 4u);
    EXPECT_EQ(+record.xDensity, 96);
}

TEST(ImgPlugin, RequestBlockChoosesFrameAndTypeAndLearnsTheType) {
    const std::vector<uint8_t> gif = SmallGif(3);
    for (int frame = 0; frame < 3; ++frame) {
        const img_test::Picture p = img_test::Decode(gif, frame);
        ASSERT_EQ(p.result, 0) << frame;
        EXPECT_EQ(p.type_back, 2u);
        // Frame i is filled with index i of a two-colour table (index 2 and 3 shows black).
        EXPECT_EQ(p.rgba, img_test::Decode(gif, frame).rgba);
    }
    EXPECT_NE(img_test::Decode(gif, 0).rgba, img_test::Decode(gif, 1).rgba);
    // Frames outside the picture fail the decode, never another frame.
    EXPECT_EQ(img_test::Decode(gif, 3).result, 2);
    EXPECT_EQ(img_test::Decode(gif, -1).result, 2);
    EXPECT_EQ(img_test::Decode(gif, INT32_MAX).result, 2);
    // Undecodable bytes give 2 whatever the type; the type asked for stays in the block.
    EXPECT_EQ(img_test::Decode(Bytes("nothing"), 0, 1, 0).result, 2);
    const img_test::Picture typed = img_test::Decode(Bytes("nothing"), 0, 1, 3);
    EXPECT_EQ(typed.result, 2);
    EXPECT_EQ(typed.type_back, 3u);
    // Scale means nothing to a GIF.
    EXPECT_EQ(img_test::Decode(gif, 1, 100).rgba, img_test::Decode(gif, 1, 1).rgba);
}

TEST(ImgPlugin, BlockWithoutTheTagIsNeitherReadNorWritten) {
    const std::vector<uint8_t> gif = SmallGif(2);
    PictureRequestBlock block{};
    std::memcpy(block.tag, "zeM", 3);
    block.field48 = 5;  // would fail if read
    block.field56 = 77;
    SpiHandle info = nullptr;
    SpiHandle bits = nullptr;
    ASSERT_EQ(Imgsrc().GetPicture(reinterpret_cast<const char*>(gif.data()),
                                  static_cast<SpiLength>(gif.size()), SPI_SRC_MEMORY, &info,
                                  &bits, nullptr, reinterpret_cast<SpiUserData>(&block)),
              0);
    EXPECT_EQ(+block.field56, 77);
    // Two handles: the header with its colour table, and the rows.
    ASSERT_NE(info, nullptr);
    ASSERT_NE(bits, nullptr);
    EXPECT_EQ(testing_support::HandleBytes(info).size() >= 40 + 8, true);
    EXPECT_GE(testing_support::HandleBytes(bits).size(), 4u * 4);
    testing_support::FreeHandle(info);
    testing_support::FreeHandle(bits);
}

TEST(ImgPlugin, PictureResultCodes) {
    const std::vector<uint8_t> gif = SmallGif(1);
    const char* data = reinterpret_cast<const char*>(gif.data());
    const auto size = static_cast<SpiLength>(gif.size());
    SpiHandle bits = nullptr;
    EXPECT_EQ(Imgsrc().GetPicture(data, size, SPI_SRC_MEMORY, nullptr, &bits, nullptr, 0), 3);
    SpiHandle info = reinterpret_cast<SpiHandle>(1);
    EXPECT_EQ(Imgsrc().GetPicture(data, size, 2, &info, &bits, nullptr, 0), 3);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(Imgsrc().GetPreview(data, size, SPI_SRC_MEMORY, &info, &bits, nullptr, 0), -1);

    // From a file, at an offset; an offset at or past the end, or no file, gives 6.
    const std::string dir = testing_support::MakeTempDir();
    const std::string path = dir + "/p.gif";
    std::vector<uint8_t> padded(100 + gif.size(), 0x5A);
    std::copy(gif.begin(), gif.end(), padded.begin() + 100);
    ASSERT_TRUE(testing_support::WriteWholeFile(path, padded));
    ASSERT_EQ(Imgsrc().GetPicture(path.c_str(), 100, SPI_SRC_FILE, &info, &bits, nullptr, 0), 0);
    testing_support::FreeHandle(info);
    testing_support::FreeHandle(bits);
    EXPECT_EQ(Imgsrc().GetPicture(path.c_str(), static_cast<SpiLength>(padded.size()),
                                  SPI_SRC_FILE, &info, &bits, nullptr, 0),
              6);
    EXPECT_EQ(Imgsrc().GetPicture((dir + "/none.gif").c_str(), 0, SPI_SRC_FILE, &info, &bits,
                                  nullptr, 0),
              6);
    testing_support::RemoveTree(dir);

    // A picture above 2^30 pixels is refused as out of memory before its memory is taken.
    EXPECT_EQ(img_test::Decode(EmptyGif(65535, 65535)).result, 4);
}

// Each failure keeps its cause up to the exports, from memory and from a file alike.
TEST(ImgPlugin, FailureCodesByCause) {
    bmp_test::BmpSpec layout;
    layout.width = 5;
    layout.height = 3;
    layout.bits.assign(16 * 3, 0x5A);
    std::vector<uint8_t> cut = bmp_test::BuildBmp(layout);
    cut.pop_back();
    const std::vector<uint8_t> junk = Bytes("not a picture at all");
    const std::vector<uint8_t> huge = EmptyGif(65535, 65535);
    struct Case {
        const char* what;
        const std::vector<uint8_t>& bytes;
        uint32_t type;  // asked for at 106 and at 56
        int32_t info, picture, preview;
    };
    const Case cases[] = {
        {"no format", junk, 0, 2, 2, 2},
        {"not the type asked for", junk, 2, 3, 2, -1},
        {"rows cut short", cut, 0, 2, 2, -1},
        {"rows cut short, type asked for", cut, 1, 3, 2, -1},
        {"a type no back end reads", junk, 63, 3, 2, -1},
        {"too large to build", huge, 0, 4, 4, -1},
        {"too large to build, type asked for", huge, 2, 4, 4, -1},
    };
    const std::string dir = testing_support::MakeTempDir();
    const std::string path = dir + "/picture";
    for (const Case& c : cases) {
        ASSERT_TRUE(testing_support::WriteWholeFile(path, c.bytes));
        for (const uint32_t kind : {SPI_SRC_MEMORY, SPI_SRC_FILE}) {
            const bool file = kind == SPI_SRC_FILE;
            SCOPED_TRACE(std::string(c.what) + (file ? ", file" : ", memory"));
            const char* buffer =
                file ? path.c_str() : reinterpret_cast<const char*>(c.bytes.data());
            const auto length = static_cast<SpiLength>(file ? 0 : c.bytes.size());
            PictureInfoRecord record{};
            record.imageType = c.type;
            EXPECT_EQ(Imgsrc().GetPictureInfo(buffer, length, kind, &record), c.info);
            for (const bool preview : {false, true}) {
                PictureRequestBlock block{};
                std::memcpy(block.tag, "zem", 3);
                block.field44 = 1;
                block.field56 = static_cast<int32_t>(c.type);
                SpiHandle info = nullptr, bits = nullptr;
                EXPECT_EQ((preview ? Imgsrc().GetPreview : Imgsrc().GetPicture)(
                              buffer, length, kind, &info, &bits, nullptr,
                              reinterpret_cast<SpiUserData>(&block)),
                          preview ? c.preview : c.picture);
                EXPECT_EQ(info, nullptr);
            }
        }
    }
    testing_support::RemoveTree(dir);
}

// The writing slots that no export calls: BMP round trip, and types without an encoder fail.
TEST(ImgPlugin, WritingSlots) {
    const std::vector<uint8_t> gif = SmallGif(2);
    ImgFile reader;
    reader.SetMemorySource(gif.data(), gif.size());
    reader.SetFrameIndex(1);
    ASSERT_EQ(reader.ReadPictureFromMemory(), 0);
    OwnedHandle dib(reader.TakeResultDib());

    ImgFile writer;
    writer.SetResultDib(dib.Get());
    writer.SetImageType(1);
    ASSERT_EQ(writer.WritePictureToMemory(), 0);
    const std::vector<uint8_t> bmp(writer.OutputBuffer().Data(),
                                   writer.OutputBuffer().Data() + writer.OutputBuffer().Size());
    EXPECT_EQ(img_test::Decode(bmp).rgba, img_test::Decode(gif, 1).rgba);

    ImgFile unknown;
    unknown.SetResultDib(dib.Get());
    unknown.SetImageType(10);  // metafiles are recognised, never written
    EXPECT_EQ(unknown.WritePictureToMemory(), 3);
    ImgFile empty;
    empty.SetImageType(1);
    EXPECT_EQ(empty.WritePictureToMemory(), 3);
}

}  // namespace
