// GifFile's picture read (the last byte chooses the image) and information read; a mismatch with
// the literal reader, or a broken invariant, aborts.
#include <cstdio>
#include <cstdlib>

#include "GifFuzzEntry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = giftest::FuzzGif(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "gif_fuzzer: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
