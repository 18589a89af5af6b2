#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "GifFile.h"
#include "GifReference.h"
#include "GifTestEncoder.h"
#include "TestSupport.h"

using namespace giftest;
using testing_support::FreeHandle;
using testing_support::HandleBytes;

namespace {

struct Picture {
    int32_t result = 0;
    std::vector<uint8_t> dib;  // the whole block: at least the DIB's size
};

Picture ReadPicture(const std::vector<uint8_t>& bytes, int32_t index = 0,
                    uint64_t max_pixels = GifFile::kDefaultMaxPixels,
                    uint64_t row_by_row_pixels = GifFile::kDefaultRowByRowPixels) {
    GifFile file;
    file.SetImageIndex(index);
    file.SetMaxPixels(max_pixels);
    file.SetRowByRowPixels(row_by_row_pixels);
    file.SetMemorySource(bytes.data(), bytes.size());
    Picture p;
    p.result = file.ReadPictureFromMemory();
    SpiHandle dib = file.TakeResultDib();
    EXPECT_EQ(p.result == 0, dib != nullptr) << "a DIB exactly when the read succeeds";
    p.dib = HandleBytes(dib);
    FreeHandle(dib);
    return p;
}

void ExpectSameAsReference(const std::vector<uint8_t>& bytes, int32_t index = 0,
                           uint64_t max_pixels = GifFile::kDefaultMaxPixels) {
    const ReferencePicture ref =
        ReferenceDecodePicture(bytes.data(), bytes.size(), index, max_pixels);
    // Through an index buffer, and packed row by row as pictures of many pixels are.
    for (const uint64_t row_by_row : {GifFile::kDefaultRowByRowPixels, uint64_t{0}}) {
        const Picture got = ReadPicture(bytes, index, max_pixels, row_by_row);
        ASSERT_EQ(got.result, ref.result) << "row by row from " << row_by_row;
        if (ref.result != 0) return;
        ASSERT_GE(got.dib.size(), ref.dib.size());
        ASSERT_TRUE(std::equal(ref.dib.begin(), ref.dib.end(), got.dib.begin()))
            << "row by row from " << row_by_row;
    }
}

uint32_t U32(const std::vector<uint8_t>& v, size_t at) {
    return v[at] | (v[at + 1] << 8) | (v[at + 2] << 16) | (static_cast<uint32_t>(v[at + 3]) << 24);
}

GifImage MakeImage(int width, int height, std::vector<uint16_t> indices, int min_code_size,
                   bool interlaced = false) {
    GifImage image;
    image.width = static_cast<uint16_t>(width);
    image.height = static_cast<uint16_t>(height);
    image.indices = std::move(indices);
    image.interlaced = interlaced;
    image.lzw.min_code_size = min_code_size;
    return image;
}

// Three images of different sizes and tables, with the extensions an animation carries.
std::vector<uint8_t> Animation() {
    GifBuilder b;
    b.Header()
        .Screen(40, 30, Palette(8, 1))
        .Comment("three frames")
        .Extension(0xFF, {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 1, 0, 0});
    for (int i = 0; i < 3; ++i) {
        GifImage image =
            MakeImage(20 + i, 10 + i, PhotoLike(20 + i, 10 + i, 16, 10u + i), 4, i == 1);
        if (i == 2) image.local_table = Palette(4, 99);
        b.GraphicControl(10, i).Image(image);
    }
    return b.Trailer().Bytes();
}

}  // namespace

struct SignatureCase {
    const char* bytes;
    int32_t result;
};

class GifSignature : public testing::TestWithParam<SignatureCase> {};

TEST_P(GifSignature, OnlyTheTwoVersionsAreAccepted) {
    auto gif = SimpleGif(4, 4, std::vector<uint16_t>(16, 1), 2);
    const std::string sig = GetParam().bytes;
    if (sig.size() < 6) {
        gif.assign(sig.begin(), sig.end());
    } else {
        std::copy(sig.begin(), sig.end(), gif.begin());
    }
    EXPECT_EQ(ReadPicture(gif).result, GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Headers, GifSignature,
                         testing::Values(SignatureCase{"GIF87a", 0}, SignatureCase{"GIF89a", 0},
                                         SignatureCase{"gif89a", 1}, SignatureCase{"GIF88a", 1},
                                         SignatureCase{"GIF89b", 1}, SignatureCase{"GIF89", 2},
                                         SignatureCase{"", 2}),
                         [](const testing::TestParamInfo<SignatureCase>& info) {
                             std::string name = info.param.bytes;
                             return name.empty() ? std::string("Empty") : name;
                         });

TEST(GifFile, BlockErrorsAndImageIndexes) {
    const auto anim = Animation();
    auto trailer_only = GifBuilder().Header().Screen(1, 1, Palette(1, 1)).Trailer().Bytes();
    EXPECT_EQ(ReadPicture(trailer_only).result, 3);
    EXPECT_EQ(ReadPicture(anim, 3).result, 3);
    EXPECT_EQ(ReadPicture(anim, -1).result, 3);  // a huge count runs into the Trailer
    std::vector<uint8_t> no_trailer(anim.begin(), anim.end() - 1);
    EXPECT_EQ(ReadPicture(no_trailer, -1).result, 2);
    auto junk = GifBuilder().Header().Screen(1, 1, {}).Raw({0x99}).Bytes();
    EXPECT_EQ(ReadPicture(junk).result, 3);
    for (int32_t i = 0; i < 3; ++i) ExpectSameAsReference(anim, i);
}

TEST(GifFile, ChosenImageIsDecodedByItself) {
    const auto anim = Animation();
    GifFile file;
    file.SetImageIndex(2);
    file.SetMemorySource(anim.data(), anim.size());
    ASSERT_EQ(file.ReadPictureFromMemory(), 0);
    FreeHandle(file.TakeResultDib());
    EXPECT_EQ(file.Width(), 22);
    EXPECT_EQ(file.Height(), 12);
    EXPECT_EQ(file.BitCount(), 4);  // the local table's size
    // A local table of 16 entries replaces entries 0-15; the rest keep the global colours.
    const auto local = Palette(4, 99);
    const auto global = Palette(8, 1);
    EXPECT_EQ(file.PaletteRed(15), local[45]);
    EXPECT_EQ(file.PaletteBlue(16), global[50]);
}

struct DepthCase {
    int colour_bits;
    uint16_t dib_bits;
};

class GifDepth : public testing::TestWithParam<DepthCase> {};

TEST_P(GifDepth, TableSizeChoosesTheDibBitCount) {
    const auto& p = GetParam();
    const int width = 13, height = 7;
    const auto indices = PhotoLike(width, height, 1 << p.colour_bits, 3);
    for (bool with_table : {true, false}) {
        GifImage image = MakeImage(width, height, indices, std::max(2, p.colour_bits));
        const auto gif =
            GifBuilder()
                .Header()
                .Screen(width, height,
                        with_table ? Palette(p.colour_bits, 5) : std::vector<uint8_t>{},
                        p.colour_bits)
                .Image(image)
                .Trailer()
                .Bytes();
        const Picture got = ReadPicture(gif);
        ASSERT_EQ(got.result, 0);
        EXPECT_EQ(got.dib[14], p.dib_bits);
        const uint32_t colours = 1u << p.dib_bits;
        const uint32_t stride = (width * p.dib_bits + 31) / 32 * 4;
        EXPECT_EQ(U32(got.dib, 20), stride * height);
        ASSERT_GE(got.dib.size(), 40 + 4 * colours + stride * height);
        if (!with_table) {
            // A grey ramp: 0 and 255 for 2 colours, steps of 17 for 16, of 1 for 256.
            const uint32_t step = 255 / (colours - 1);
            for (uint32_t j = 0; j < colours; ++j) {
                EXPECT_EQ(got.dib[40 + 4 * j], j * step);
                EXPECT_EQ(got.dib[40 + 4 * j + 2], j * step);
            }
        }
        ExpectSameAsReference(gif);
    }
}

INSTANTIATE_TEST_SUITE_P(AllTableSizes, GifDepth,
                         testing::Values(DepthCase{1, 1}, DepthCase{2, 4}, DepthCase{3, 4},
                                         DepthCase{4, 4}, DepthCase{5, 8}, DepthCase{6, 8},
                                         DepthCase{7, 8}, DepthCase{8, 8}),
                         [](const testing::TestParamInfo<DepthCase>& info) {
                             return "Table" + std::to_string(1 << info.param.colour_bits);
                         });

TEST(GifFile, PacksOneAndFourBitRows) {
    // 3 pixels 1, 0, 1 in a 1-bit DIB: 0xA0, then the rest of the 4-byte stride.
    const Picture mono = ReadPicture(SimpleGif(3, 1, {1, 0, 1}, 1));
    ASSERT_EQ(mono.result, 0);
    EXPECT_EQ(mono.dib[40 + 8], 0xA0);
    const Picture nibbles = ReadPicture(SimpleGif(3, 2, {1, 2, 3, 4, 5, 6}, 3));
    ASSERT_EQ(nibbles.result, 0);
    const size_t bits = 40 + 16 * 4;
    EXPECT_EQ(nibbles.dib[bits + 0], 0x45);  // bottom-up: image row 1 first
    EXPECT_EQ(nibbles.dib[bits + 1], 0x60);
    EXPECT_EQ(nibbles.dib[bits + 4], 0x12);
    EXPECT_EQ(nibbles.dib[bits + 5], 0x30);
}

TEST(GifFile, IndexBeyondTheTableStaysInItsPixel) {
    // A 4-colour table (4-bit DIB) whose data carries indices up to 31.
    GifImage image = MakeImage(4, 1, {31, 17, 2, 16}, 5);
    const auto gif =
        GifBuilder().Header().Screen(4, 1, Palette(2, 1)).Image(image).Trailer().Bytes();
    const Picture got = ReadPicture(gif);
    ASSERT_EQ(got.result, 0);
    EXPECT_EQ(got.dib[40 + 64], 0xF1);
    EXPECT_EQ(got.dib[40 + 64 + 1], 0x20);
    // A 2-colour table (1-bit DIB): index 3 is its low bit.
    GifImage mono = MakeImage(3, 1, {3, 2, 3}, 2);
    const auto gif1 =
        GifBuilder().Header().Screen(3, 1, Palette(1, 1)).Image(mono).Trailer().Bytes();
    EXPECT_EQ(ReadPicture(gif1).dib[40 + 8], 0xA0);
    ExpectSameAsReference(gif);
    ExpectSameAsReference(gif1);
}

TEST(GifFile, GraphicControlBodyIsSixBytesWhateverItsSizeSays) {
    auto gif = GifBuilder().Header().Screen(2, 1, Palette(1, 1)).Bytes();
    const std::vector<uint8_t> gce = {0x21, 0xF9, 0x09, 1, 2, 3, 4, 5};
    gif.insert(gif.end(), gce.begin(), gce.end());
    gif = GifBuilder().Raw(gif).Image(MakeImage(2, 1, {1, 1}, 2)).Trailer().Bytes();
    EXPECT_EQ(ReadPicture(gif).result, 0);
}

TEST(GifFile, EmptyImages) {
    for (auto [w, h] : {std::pair<int, int>{0, 3}, {3, 0}, {0, 0}}) {
        GifImage image = MakeImage(w, h, {}, 2);
        const auto gif =
            GifBuilder().Header().Screen(1, 1, Palette(8, 1)).Image(image).Trailer().Bytes();
        const Picture got = ReadPicture(gif);
        ASSERT_EQ(got.result, 0);
        EXPECT_EQ(U32(got.dib, 4), static_cast<uint32_t>(w));
        EXPECT_EQ(U32(got.dib, 8), static_cast<uint32_t>(h));
        ExpectSameAsReference(gif);
    }
}

TEST(GifFile, RefusesPicturesAboveThePixelLimit) {
    GifImage image = MakeImage(1, 1, {0}, 2);
    image.width = 65535;
    image.height = 65535;
    image.raw_data = true;
    image.data = {2, 2, 0x4C, 0x01, 0};
    const auto huge =
        GifBuilder().Header().Screen(1, 1, Palette(8, 1)).Image(image).Trailer().Bytes();
    EXPECT_EQ(ReadPicture(huge).result, 4);
    // A refused minimum code size is reported first.
    image.data = {12, 0};
    const auto bad_code =
        GifBuilder().Header().Screen(1, 1, Palette(8, 1)).Image(image).Trailer().Bytes();
    EXPECT_EQ(ReadPicture(bad_code).result, 1);

    const auto small = SimpleGif(10, 10, std::vector<uint16_t>(100, 1), 1);
    EXPECT_EQ(ReadPicture(small, 0, 99).result, 4);
    EXPECT_EQ(ReadPicture(small, 0, 100).result, 0);
}

namespace {

class FailingDibFile : public GifFile {
protected:
    SpiHandle AllocateDibBlock(size_t) override { return nullptr; }
};

}  // namespace

TEST(GifFile, DibMemoryNotObtainedGivesFour) {
    for (int bits : {1, 4, 8}) {
        const auto gif = SimpleGif(5, 5, std::vector<uint16_t>(25, 1), bits);
        FailingDibFile file;
        file.SetMemorySource(gif.data(), gif.size());
        EXPECT_EQ(file.ReadPictureFromMemory(), 4);
        EXPECT_EQ(file.TakeResultDib(), nullptr);
    }
}

// Every prefix of a few pictures, and randomly damaged copies: the reader gives the literal
// reader's result and DIB, and never reads outside the data (the sanitizer build checks that).
TEST(GifFile, TruncationSweepMatchesLiteralReader) {
    std::vector<std::pair<std::vector<uint8_t>, int32_t>> files = {
        {SimpleGif(23, 11, PhotoLike(23, 11, 256, 1), 8), 0},
        {SimpleGif(17, 9, PhotoLike(17, 9, 16, 2), 4, true), 0},
        {SimpleGif(9, 9, PhotoLike(9, 9, 2, 3), 1), 0},
        {Animation(), 1},
        {Animation(), 2},
    };
    for (const auto& [bytes, index] : files) {
        for (size_t n = 0; n <= bytes.size(); ++n) {
            std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
            ExpectSameAsReference(prefix, index);
            if (HasFatalFailure()) FAIL() << "prefix of " << n << " bytes";
        }
    }
}

TEST(GifFile, DamagedStreamsMatchLiteralReader) {
    std::mt19937 rng(77);
    const auto base = Animation();
    for (int i = 0; i < 1500; ++i) {
        auto bytes = base;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const size_t at = 6 + rng() % (bytes.size() - 6);
            switch (rng() % 3) {
                case 0:
                    bytes[at] = static_cast<uint8_t>(rng());
                    break;
                case 1:
                    bytes.erase(bytes.begin() + static_cast<ptrdiff_t>(at));
                    break;
                default:
                    bytes.insert(bytes.begin() + static_cast<ptrdiff_t>(at),
                                 static_cast<uint8_t>(rng()));
            }
        }
        ExpectSameAsReference(bytes, static_cast<int32_t>(rng() % 3));
        if (HasFatalFailure()) FAIL() << "iteration " << i;
    }
}

namespace {

struct Info {
    int32_t result, width, height, depth;
    std::vector<uint8_t> comment;
};

Info ReadInfo(const std::vector<uint8_t>& bytes) {
    GifFile file;
    file.SetMemorySource(bytes.data(), bytes.size());
    Info info{file.ReadInfoFromMemory(), file.Width(), file.Height(), file.BitCount(), {}};
    SpiHandle h = file.InfoBlock().Detach();
    if (h) {
        // The block holds exactly the comment bytes, without a terminating zero.
        info.comment = HandleBytes(h);
        FreeHandle(h);
    }
    return info;
}

std::vector<uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace

TEST(GifInfo, ScreenFirstImageAndComments) {
    const auto image = MakeImage(7, 5, std::vector<uint16_t>(35, 1), 2);
    const auto gif = GifBuilder()
                         .Header()
                         .Screen(30, 20, Palette(5, 1))
                         .Comment("hello")
                         .Image(image)
                         .Trailer()
                         .Bytes();
    Info info = ReadInfo(gif);
    EXPECT_EQ(info.result, 0);
    EXPECT_EQ(info.width, 7);  // the first image's own size
    EXPECT_EQ(info.height, 5);
    EXPECT_EQ(info.depth, 5);  // the table size exponent, not the DIB's bit count
    EXPECT_EQ(std::vector<uint8_t>(info.comment.begin(), info.comment.begin() + 5), Text("hello"));

    // Two comments are joined without separator; more than 2048 bytes are cut.
    const std::string long_text(3000, 'x');
    GifImage local = image;
    local.local_table = Palette(3, 2);
    const auto two = GifBuilder()
                         .Header()
                         .Screen(30, 20, {})
                         .Comment("ab", 1)
                         .GraphicControl(1)
                         .Comment(long_text)
                         .Image(local)
                         .Bytes();
    info = ReadInfo(two);
    EXPECT_EQ(info.depth, 3);
    ASSERT_GE(info.comment.size(), 2048u);
    EXPECT_EQ(info.comment[0], 'a');
    EXPECT_EQ(info.comment[1], 'b');
    EXPECT_EQ(info.comment[2047], 'x');
}

TEST(GifInfo, ShortAndCutData) {
    const auto gif = GifBuilder()
                         .Header()
                         .Screen(300, 200, Palette(2, 1))
                         .Comment("note")
                         .Image(MakeImage(1, 1, {0}, 2))
                         .Bytes();
    // Nothing after the screen descriptor and its table: -6 with the screen's fields; shorter
    // data reports what it holds and zeros for the rest.
    struct {
        size_t size;
        int32_t result, width, height, depth;
    } cases[] = {
        {0, -6, 0, 0, 0},      {7, -6, 0, 0, 0},      {9, -6, 300, 0, 0},   {11, -6, 300, 200, 2},
        {13, -6, 300, 200, 2}, {25, -6, 300, 200, 2}, {26, 0, 300, 200, 2},
    };
    for (const auto& c : cases) {
        const Info info = ReadInfo(
            std::vector<uint8_t>(gif.begin(), gif.begin() + static_cast<ptrdiff_t>(c.size)));
        EXPECT_EQ(info.result, c.result) << c.size;
        EXPECT_EQ(info.width, c.width) << c.size;
        EXPECT_EQ(info.height, c.height) << c.size;
        EXPECT_EQ(info.depth, c.depth) << c.size;
    }
    // A comment sub-block cut by the end of the data ends the walk; the first image is not
    // looked for, and only whole sub-blocks count.
    for (size_t cut = 26; cut < gif.size(); ++cut) {
        const Info info =
            ReadInfo(std::vector<uint8_t>(gif.begin(), gif.begin() + static_cast<ptrdiff_t>(cut)));
        EXPECT_EQ(info.result, 0);
        const bool whole_comment = cut >= 25 + 2 + 1 + 4;
        EXPECT_EQ(info.comment.empty(), !whole_comment) << cut;
        EXPECT_EQ(info.width, cut >= 33 + 12 ? 1 : 300) << cut;
    }
    // Not a GIF at all: whatever the bytes at the screen descriptor's places give.
    const Info other = ReadInfo(Text("Not a GIF file, just text."));
    EXPECT_EQ(other.result, 0);
    EXPECT_EQ(other.width, 'G' | ('I' << 8));
}
