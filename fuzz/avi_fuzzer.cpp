// libFuzzer target over the AVIFile stand-in's RIFF/index reader: the headers, the stream
// lists, idx1 and OpenDML indexes, and the movi scan of a file without index. Every chunk that
// the reader reports present must lie inside the input; the target reads its first and last
// byte so that ASan sees any that does not.
#include <cstdint>
#include <cstdlib>

#include "AviRiff.h"

namespace {

volatile uint32_t g_sink;

}  // namespace

int FuzzAviRiff(const uint8_t* data, size_t size) {
    avi::Contents contents;
    const avi::ParseStatus status = avi::ParseAvi(data, size, contents);
    if (status != avi::ParseStatus::Ok) return 0;
    if (contents.streams.empty() || contents.streams.size() > avi::kMaxStreams) std::abort();
    size_t total = 0;
    for (const avi::Stream& s : contents.streams) {
        total += s.chunks.size();
        for (const avi::Chunk& c : s.chunks) {
            if (!c.present || c.size == 0) continue;
            if (c.offset > size || c.size > size - c.offset) std::abort();
            g_sink = g_sink + data[c.offset] + data[c.offset + c.size - 1];
        }
    }
    if (total > avi::kMaxChunks) std::abort();
    return 0;
}

#ifndef ZEM_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzAviRiff(data, size);
}
#endif
