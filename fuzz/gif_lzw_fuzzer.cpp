// The LZW decoder alone against the literal decoder: byte 0 is the minimum code size, the last
// three bytes give the rows' size and layout.
#include <cstdio>
#include <cstdlib>

#include "GifFuzzEntry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = giftest::FuzzGifLzw(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "gif_lzw_fuzzer: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
