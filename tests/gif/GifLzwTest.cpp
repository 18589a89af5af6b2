#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "GifFuzzEntry.h"
#include "GifLzw.h"
#include "GifReference.h"
#include "GifTestEncoder.h"

using namespace giftest;

namespace {

using Decoded = DecodedRows;

Decoded DecodeCore(const std::vector<uint8_t>& data, int width, int height, bool interlaced,
                   Rows rows = Rows::Packed, bool walk_only = false) {
    Decoded out = DecodeLzwIntoRows(data, width, height, interlaced, rows, walk_only);
    EXPECT_TRUE(out.padding_untouched);
    return out;
}

std::vector<uint8_t> ImageData(const std::vector<uint16_t>& stream_order, const LzwOptions& lzw,
                               size_t block_size = 255) {
    std::vector<uint8_t> out{static_cast<uint8_t>(lzw.min_code_size)};
    const auto blocks = SubBlocks(LzwEncode(stream_order, lzw), block_size);
    out.insert(out.end(), blocks.begin(), blocks.end());
    return out;
}

std::vector<uint8_t> Stored(const std::vector<uint16_t>& v) {
    std::vector<uint8_t> out;
    for (uint16_t x : v) out.push_back(x <= 255 ? static_cast<uint8_t>(x) : 0);
    return out;
}

// The fast decoder must agree with the literal one on every input; where it stopped early
// because the image was complete, the literal one may have ended either way.
void ExpectSameAsReference(const std::vector<uint8_t>& data, int width, int height, bool interlaced,
                           Rows rows, bool walk_only = false) {
    std::vector<uint8_t> expected(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
    const int ref =
        ReferenceDecodeImageData(data.data(), data.size(), 0, width, height, interlaced, expected);
    if (ref == 1) return;  // minimum code size refused before the decoder runs
    const Decoded got = DecodeCore(data, width, height, interlaced, rows, walk_only);
    ASSERT_EQ(got.indices, expected);
    if (got.result == GifLzwResult::EndCode) EXPECT_EQ(ref, 0);
    if (got.result == GifLzwResult::DataEnded) EXPECT_EQ(ref, 2);
}

}  // namespace

// A published example: a 10x10 picture in 22 bytes of 2-bit LZW data.
TEST(GifLzw, DecodesKnownStream) {
    const std::vector<uint8_t> data = {0x02, 0x16, 0x8C, 0x2D, 0x99, 0x87, 0x2A, 0x1C, 0xDC,
                                       0x33, 0xA0, 0x02, 0x75, 0xEC, 0x95, 0xFA, 0xA8, 0xDE,
                                       0x60, 0x8C, 0x04, 0x91, 0x4C, 0x01, 0x00};
    const char* rows[10] = {"1111122222", "1111122222", "1111122222", "1110000222", "1110000222",
                            "2220000111", "2220000111", "2222211111", "2222211111", "2222211111"};
    std::vector<uint8_t> expected;
    for (const char* row : rows) {
        for (const char* c = row; *c; ++c) expected.push_back(static_cast<uint8_t>(*c - '0'));
    }
    const Decoded got = DecodeCore(data, 10, 10, false);
    EXPECT_EQ(got.result, GifLzwResult::ImageComplete);
    EXPECT_EQ(got.indices, expected);
}

struct RoundTripCase {
    int min_code_size;
    bool interlaced;
    Rows rows;
};

class GifLzwRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(GifLzwRoundTrip, DecodesWhatWasEncoded) {
    const auto& p = GetParam();
    const int width = 37, height = 29;
    const int colours = 1 << p.min_code_size;
    // Photo-like content gives long strings; random content fills the table and forces clears.
    for (bool photo : {true, false}) {
        const auto image = photo ? PhotoLike(width, height, colours, 7)
                                 : RandomIndices(size_t{width} * height, colours, 11);
        LzwOptions lzw;
        lzw.min_code_size = p.min_code_size;
        const auto data = ImageData(ToStreamOrder(image, width, height, p.interlaced), lzw, 17);
        const Decoded got = DecodeCore(data, width, height, p.interlaced, p.rows);
        EXPECT_EQ(got.indices, Stored(image)) << "photo " << photo;
        // The table walk alone gives the same picture.
        const Decoded walked = DecodeCore(data, width, height, p.interlaced, p.rows, true);
        EXPECT_EQ(walked.indices, Stored(image)) << "photo " << photo;
        ExpectSameAsReference(data, width, height, p.interlaced, p.rows);
    }
}

std::vector<RoundTripCase> RoundTripCases() {
    std::vector<RoundTripCase> cases;
    for (int m = 2; m <= 11; ++m) {
        for (bool interlaced : {false, true}) {
            for (Rows rows : {Rows::Packed, Rows::Padded, Rows::BottomUp}) {
                cases.push_back({m, interlaced, rows});
            }
        }
    }
    return cases;
}

std::string RoundTripName(const testing::TestParamInfo<RoundTripCase>& info) {
    static const char* const kRows[] = {"Packed", "Padded", "BottomUp"};
    return "Code" + std::to_string(info.param.min_code_size) +
           (info.param.interlaced ? "Interlaced" : "") + kRows[static_cast<int>(info.param.rows)];
}

INSTANTIATE_TEST_SUITE_P(AllCodeSizes, GifLzwRoundTrip, testing::ValuesIn(RoundTripCases()),
                         RoundTripName);

TEST(GifLzw, StreamWithoutLeadingClearCodeLosesNothing) {
    const auto image = PhotoLike(64, 20, 16, 3);
    LzwOptions lzw;
    lzw.min_code_size = 4;
    lzw.leading_clear = false;
    const auto data = ImageData(image, lzw);
    EXPECT_EQ(DecodeCore(data, 64, 20, false).indices, Stored(image));
    ExpectSameAsReference(data, 64, 20, false, Rows::Packed);
}

TEST(GifLzw, FullTableWithoutClearCodeKeepsDecoding) {
    // Random 8-bit content fills the 4096-entry table after a few thousand codes.
    const auto image = RandomIndices(200 * 100, 256, 5);
    for (int clear_after : {0, 50}) {
        LzwOptions lzw;
        lzw.deferred_clear = true;
        lzw.clear_after_full = clear_after;
        const auto data = ImageData(image, lzw);
        for (Rows rows : {Rows::Packed, Rows::BottomUp}) {
            const Decoded got = DecodeCore(data, 200, 100, false, rows);
            EXPECT_EQ(got.result, GifLzwResult::ImageComplete);
            EXPECT_EQ(got.indices, Stored(image)) << clear_after;
        }
        ExpectSameAsReference(data, 200, 100, false, Rows::Packed);
    }
}

TEST(GifLzw, DataEndingEarlyKeepsWhatWasDecoded) {
    const int width = 50, height = 40;
    const auto image = PhotoLike(width, height, 64, 9);
    LzwOptions lzw;
    lzw.min_code_size = 6;
    auto codes = LzwEncode(image, lzw);
    // The last two bytes hold the last pixel code and the end code.
    for (size_t cut :
         {size_t{0}, size_t{1}, size_t{2}, size_t{17}, codes.size() / 2, codes.size() - 3}) {
        std::vector<uint8_t> part(codes.begin(), codes.begin() + static_cast<ptrdiff_t>(cut));
        std::vector<uint8_t> data{6};
        const auto blocks = SubBlocks(part, 40);
        data.insert(data.end(), blocks.begin(), blocks.end());
        const Decoded got = DecodeCore(data, width, height, false, Rows::BottomUp);
        EXPECT_EQ(got.result, GifLzwResult::DataEnded);
        ExpectSameAsReference(data, width, height, false, Rows::BottomUp);
        // A prefix of the picture, then zeros.
        size_t n = 0;
        while (n < image.size() && got.indices[n] == image[n]) ++n;
        for (size_t i = n; i < image.size(); ++i) ASSERT_EQ(got.indices[i], 0) << cut;
    }
}

TEST(GifLzw, SubBlockCutByTheEndOfDataIsNotUsed) {
    const auto image = PhotoLike(16, 16, 4, 1);
    LzwOptions lzw;
    lzw.min_code_size = 2;
    auto data = ImageData(image, lzw);
    ASSERT_GT(data[1], 3);
    data.resize(data.size() - 2);  // the only sub-block now lacks its last byte
    const Decoded got = DecodeCore(data, 16, 16, false);
    EXPECT_EQ(got.result, GifLzwResult::DataEnded);
    EXPECT_EQ(got.indices, std::vector<uint8_t>(256, 0));
}

TEST(GifLzw, PixelsAfterTheLastRowAreDropped) {
    std::vector<uint16_t> stream(8 * 3, 1);
    stream.insert(stream.end(), 11, 2);  // surplus, without an end code before it
    LzwOptions lzw;
    lzw.min_code_size = 2;
    const auto data = ImageData(stream, lzw);
    for (bool interlaced : {false, true}) {
        const Decoded got = DecodeCore(data, 8, 3, interlaced);
        EXPECT_EQ(got.result, GifLzwResult::ImageComplete);
        EXPECT_EQ(got.indices, std::vector<uint8_t>(24, 1));
        ExpectSameAsReference(data, 8, 3, interlaced, Rows::Padded);
    }
}

TEST(GifLzw, InterlacedRowsFollowThePasses) {
    for (int height = 1; height <= 17; ++height) {
        std::vector<uint16_t> stream;
        for (int i = 0; i < height; ++i) stream.insert(stream.end(), 3, static_cast<uint16_t>(i));
        LzwOptions lzw;
        lzw.min_code_size = 5;
        const Decoded got = DecodeCore(ImageData(stream, lzw), 3, height, true, Rows::BottomUp);
        const auto order = StreamRowOrder(height, true);
        for (int i = 0; i < height; ++i) {
            EXPECT_EQ(got.indices[static_cast<size_t>(order[static_cast<size_t>(i)]) * 3], i)
                << "height " << height << " data row " << i;
        }
    }
    // Height 3: data rows 1, 2, 3 go to image rows 0, 2, 1.
    EXPECT_EQ(StreamRowOrder(3, true), (std::vector<int>{0, 2, 1}));
}

TEST(GifLzw, CodeSizeGrowsWhenNextCodeReachesPowerOfTwo) {
    // Minimum code size 2: clear, then 0 1 2 in 3 bits define entries 6 ("0 1") and 7 ("1 2");
    // from then on codes take 4 bits: 7, then 8 ("2 1", defined by the 7), then the end code.
    const std::vector<std::pair<uint32_t, int>> codes = {{4, 3}, {0, 3}, {1, 3}, {2, 3},
                                                         {7, 4}, {8, 4}, {5, 4}};
    uint64_t acc = 0;
    int n = 0;
    for (auto [code, bits] : codes) {
        acc |= static_cast<uint64_t>(code) << n;
        n += bits;
    }
    std::vector<uint8_t> payload;
    for (int i = 0; i < n; i += 8) payload.push_back(static_cast<uint8_t>(acc >> i));
    std::vector<uint8_t> data{2};
    const auto blocks = SubBlocks(payload);
    data.insert(data.end(), blocks.begin(), blocks.end());
    const Decoded got = DecodeCore(data, 8, 1, false);
    EXPECT_EQ(got.result, GifLzwResult::EndCode);
    EXPECT_EQ(got.indices, (std::vector<uint8_t>{0, 1, 2, 1, 2, 2, 1, 0}));
}

TEST(GifLzw, EmptyRowsCompleteAtOnce) {
    GifPixelPlacer placer;
    uint8_t byte = 0;
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{0, 5}, {5, 0}}) {
        GifRowLayout layout;
        layout.base = &byte;
        layout.width = w;
        layout.height = h;
        placer.Start(layout);
        EXPECT_TRUE(placer.IsFinished());
        placer.PutPixel(7);
        EXPECT_EQ(byte, 0);
    }
}

// Random bytes as image data: stale and undefined table entries, codes beyond the next free
// one, cycles in the prefix chains, odd minimum code sizes and sub-block lengths.
TEST(GifLzw, AgreesWithLiteralDecoderOnArbitraryData) {
    std::mt19937 rng(1234);
    for (int iteration = 0; iteration < 3000; ++iteration) {
        const int m = static_cast<int>(rng() % 12);
        std::vector<uint8_t> payload(rng() % 600);
        for (auto& b : payload) b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() % 4 : rng());
        std::vector<uint8_t> data{static_cast<uint8_t>(m)};
        const auto blocks = SubBlocks(payload, 1 + rng() % 255, rng() % 4 != 0);
        data.insert(data.end(), blocks.begin(), blocks.end());
        const int width = static_cast<int>(rng() % 40);
        const int height = static_cast<int>(rng() % 30);
        const auto rows = static_cast<Rows>(rng() % 3);
        const bool interlaced = rng() % 2 == 0;
        ExpectSameAsReference(data, width, height, interlaced, rows, iteration % 4 == 0);
        if (testing::Test::HasFatalFailure()) {
            FAIL() << "iteration " << iteration << " m " << m << " " << width << "x" << height;
        }
    }
}
