// imgsrc's own rules through the built module: the signature order, the name test, the request
// block and the record with their write-backs, and the result codes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ImgTestSupport.h"
#include "TestSupport.h"

namespace {

using img_test::Imgsrc;

std::vector<uint8_t> Head(const char* bytes, size_t n) {
    std::vector<uint8_t> head(2048, 0);
    std::memcpy(head.data(), bytes, n);
    return head;
}

int32_t Probe(const char* name, const std::vector<uint8_t>& head) {
    return Imgsrc().IsSupported(name, reinterpret_cast<SpiHeadWord>(head.data()));
}

TEST(ImgPlugin, InformationStrings) {
    EXPECT_EQ(Imgsrc().Info(0), "00IN");
    EXPECT_EQ(Imgsrc().Info(1), "Multi-format image plug-in");
    EXPECT_EQ(Imgsrc().Info(2), "*.*");
    EXPECT_EQ(Imgsrc().Info(3), "All Image");
    EXPECT_EQ(Imgsrc().Info(4), "");
    EXPECT_EQ(Imgsrc().Info(-1), "");
}

}  // namespace
