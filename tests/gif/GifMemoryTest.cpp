// Memory of a picture read, measured by replacing the global allocation functions of this test
// program: GifFile takes its work memory (index buffer, decoder tables) with operator new and
// the DIB through AllocateDibBlock, which the probe below records. A picture read may hold at
// most the index buffer, the DIB and 64 KB at any moment. The same hooks make each allocation
// fail in turn.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "GifFile.h"
#include "GifTestEncoder.h"

namespace {

std::atomic<size_t> g_current{0};
std::atomic<size_t> g_peak{0};
std::atomic<long> g_fail_countdown{0};  // the n-th allocation from now fails; 0: none

constexpr size_t kHeader = 16;  // keeps the block's size; preserves 16-byte alignment

void* Allocate(size_t n) {
    if (g_fail_countdown.load() > 0 && g_fail_countdown.fetch_sub(1) == 1) return nullptr;
    auto* p = static_cast<unsigned char*>(std::malloc(n + kHeader));
    if (!p) return nullptr;
    *reinterpret_cast<size_t*>(p) = n;
    const size_t now = g_current.fetch_add(n) + n;
    size_t peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
    return p + kHeader;
}

void Release(void* q) noexcept {
    if (!q) return;
    auto* p = static_cast<unsigned char*>(q) - kHeader;
    g_current.fetch_sub(*reinterpret_cast<size_t*>(p));
    std::free(p);
}

}  // namespace

void* operator new(size_t n) {
    if (void* p = Allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) {
    if (void* p = Allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new(size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

namespace {

class ProbeFile : public GifFile {
public:
    size_t dib_bytes = 0;
    bool fail_dib = false;

protected:
    SpiHandle AllocateDibBlock(size_t size) override {
        if (fail_dib) return nullptr;
        dib_bytes += size;
        return GifFile::AllocateDibBlock(size);
    }
};

struct Measured {
    int32_t result;
    size_t work_peak;  // operator new bytes above what was held before the read
    size_t dib_bytes;
};

Measured Measure(const std::vector<uint8_t>& gif, uint64_t row_by_row_pixels) {
    ProbeFile file;
    file.SetRowByRowPixels(row_by_row_pixels);
    file.SetMemorySource(gif.data(), gif.size());
    const size_t before = g_current.load();
    g_peak = before;
    const int32_t result = file.ReadPictureFromMemory();
    const Measured m{result, g_peak.load() - before, file.dib_bytes};
    platform::MemFree(file.TakeResultDib());
    return m;
}

}  // namespace

TEST(GifMemory, PictureReadStaysWithinIndexBufferDibAnd64K) {
    struct Case {
        int width, height, bits;
        bool interlaced;
    } cases[] = {
        {1920, 1080, 8, false}, {1920, 1080, 8, true}, {999, 777, 4, true}, {1001, 333, 1, false}};
    for (const auto& c : cases) {
        const auto gif = giftest::SimpleGif(c.width, c.height,
                                            giftest::PhotoLike(c.width, c.height, 1 << c.bits, 1),
                                            c.bits, c.interlaced);
        const Measured m = Measure(gif, GifFile::kDefaultRowByRowPixels);
        ASSERT_EQ(m.result, 0);
        const size_t pixels = static_cast<size_t>(c.width) * static_cast<size_t>(c.height);
        // 8-bit pictures decode straight into the DIB: no index buffer at all.
        const size_t index_buffer = c.bits == 8 ? 0 : pixels;
        EXPECT_LE(m.work_peak, index_buffer + 64 * 1024) << c.width << "x" << c.height;
        // Packed row by row (as pictures of many pixels are), one row of indices at most.
        const Measured rows = Measure(gif, 0);
        EXPECT_EQ(rows.result, 0);
        EXPECT_LE(rows.work_peak, size_t(c.width) + 64 * 1024) << c.width << "x" << c.height;
        const size_t stride = (static_cast<size_t>(c.width) * (c.bits == 1   ? 1
                                                               : c.bits == 4 ? 4
                                                                             : 8) +
                               31) /
                              32 * 4;
        EXPECT_EQ(m.dib_bytes, 40 + (size_t{4} << c.bits) + stride * static_cast<size_t>(c.height));
        RecordProperty("work_peak_" + std::to_string(c.width), static_cast<int>(m.work_peak));
        std::printf("%dx%d %d-bit%s: work memory peak %zu bytes, DIB %zu bytes\n", c.width,
                    c.height, c.bits, c.interlaced ? " interlaced" : "", m.work_peak, m.dib_bytes);
    }
}

// Each allocation of the read fails in turn: the read ends with 1 (decoder tables) or 4
// (pixel memory), hands out nothing and keeps nothing.
TEST(GifMemory, EveryAllocationFailureEndsTheRequest) {
    for (int bits : {4, 8}) {
        const auto gif = giftest::SimpleGif(64, 48, giftest::PhotoLike(64, 48, 1 << bits, 2), bits);
        for (long n = 1;; ++n) {
            const size_t before = g_current.load();
            ProbeFile file;
            file.SetMemorySource(gif.data(), gif.size());
            g_fail_countdown = n;
            const int32_t result = file.ReadPictureFromMemory();
            const bool injected = g_fail_countdown.load() <= 0;
            g_fail_countdown = 0;
            SpiHandle dib = file.TakeResultDib();
            if (!injected) {
                EXPECT_EQ(result, 0);
                platform::MemFree(dib);
                break;
            }
            EXPECT_TRUE(result == 1 || result == 4) << "allocation " << n << ": " << result;
            EXPECT_EQ(dib, nullptr);
            EXPECT_EQ(g_current.load(), before) << "allocation " << n;
        }
        ProbeFile file;
        file.fail_dib = true;
        file.SetMemorySource(gif.data(), gif.size());
        EXPECT_EQ(file.ReadPictureFromMemory(), 4);
    }
}
