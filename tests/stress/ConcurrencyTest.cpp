// Many requests at once, as a thumbnail strip or a prefetching viewer makes them: 8 threads, each
// with 1,000 requests drawn from every call of every plug-in over the samples and a spread of the
// corpora. Each result must equal what the same request gave on one thread first. Built under
// ThreadSanitizer (the tsan preset), the same run proves the requests share no unguarded state.
// ZEM_STRESS_THREADS and ZEM_STRESS_REQUESTS change the size.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DibHelpers.h"
#include "GifTestEncoder.h"
#include "PluginModule.h"
#include "StressKit.h"
#include "TestSupport.h"
#include "platform/com.h"

namespace {

size_t EnvSize(const char* name, size_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? static_cast<size_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

TEST(Concurrency, EveryRequestGivesItsSingleThreadResult) {
    // Viewers set up COM on every thread that calls a plug-in (avifil32 needs it on Windows).
    const platform::ComScope com;
    stress::GatherOptions options;
    options.max_bytes = 160 * 1024;
    options.max_per_corpus = 6;
    std::string error;
    const std::vector<stress::Target> targets = stress::LoadTargets(options, error);
    ASSERT_TRUE(error.empty()) << error;
    ASSERT_FALSE(targets.empty());
    const std::vector<stress::Request> requests = stress::AllRequests(targets);

    // The single-thread results.
    std::vector<stress::Outcome> expected;
    expected.reserve(requests.size());
    for (const stress::Request& r : requests) {
        expected.push_back(stress::RunRequest(targets, r));
        EXPECT_TRUE(expected.back().fault.empty())
            << stress::Describe(targets, r) << ": " << expected.back().fault;
    }

    const size_t thread_count = EnvSize("ZEM_STRESS_THREADS", 8);
    const size_t per_thread = EnvSize("ZEM_STRESS_REQUESTS", 1000);
    std::mutex report_lock;
    std::vector<std::string> differences;
    std::atomic<size_t> ready{0};
    std::atomic<size_t> done{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            const platform::ComScope thread_com;
            std::mt19937 random(static_cast<uint32_t>(1000 + t));
            std::uniform_int_distribution<size_t> pick(0, requests.size() - 1);
            ready.fetch_add(1);
            while (ready.load() < thread_count) std::this_thread::yield();  // start together
            for (size_t n = 0; n < per_thread; ++n) {
                const size_t k = pick(random);
                const stress::Outcome got = stress::RunRequest(targets, requests[k]);
                if (got.result != expected[k].result || got.digest != expected[k].digest ||
                    !got.fault.empty()) {
                    std::lock_guard<std::mutex> lock(report_lock);
                    differences.push_back(stress::Describe(targets, requests[k]) + ": result " +
                                          std::to_string(got.result) + " (alone " +
                                          std::to_string(expected[k].result) + ")" +
                                          (got.digest != expected[k].digest ? ", other bytes"
                                                                            : "") +
                                          (got.fault.empty() ? "" : ", " + got.fault));
                }
                done.fetch_add(1);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(done.load(), thread_count * per_thread);
    std::sort(differences.begin(), differences.end());
    differences.erase(std::unique(differences.begin(), differences.end()), differences.end());
    std::string listed;
    for (size_t i = 0; i < differences.size() && i < 20; ++i) listed += differences[i] + "\n";
    EXPECT_TRUE(differences.empty()) << differences.size() << " requests differed:\n" << listed;
    std::printf("concurrency: %zu threads x %zu requests over %zu distinct requests "
                "(%zu plug-ins)\n",
                thread_count, per_thread, requests.size(), targets.size());
}

}  // namespace

namespace {

// An animation whose frames are partial images over a full first one, with each disposal,
// transparency and, every `key_every` frames, an opaque image that covers the screen.
std::vector<uint8_t> Animation(int width, int height, int frames, int key_every, uint32_t seed) {
    giftest::GifBuilder gif;
    gif.Header().Screen(uint16_t(width), uint16_t(height), giftest::Palette(5, seed), 5);
    for (int i = 0; i < frames; ++i) {
        const bool full = i == 0 || i % key_every == 0;
        giftest::GifImage image;
        image.left = uint16_t(full ? 0 : (i * 7) % (width / 2));
        image.top = uint16_t(full ? 0 : (i * 5) % (height / 2));
        image.width = uint16_t(full ? width : width / 2);
        image.height = uint16_t(full ? height : height / 3);
        image.indices = giftest::PhotoLike(image.width, image.height, 32, seed + uint32_t(i));
        image.interlaced = i % 3 == 1;
        image.lzw.min_code_size = 5;
        gif.GraphicControl(4, full ? -1 : 3, full ? 1 : i % 4);
        gif.Image(image);
    }
    return gif.Trailer().Bytes();
}

uint64_t ReadFrame(const PluginModule& imgsrc, const std::vector<uint8_t>& bytes, int32_t frame) {
    PictureRequestBlock block{};
    std::memcpy(block.tag, "zem", 3);
    block.field48 = frame;
    SpiHandle dib = nullptr;
    const int32_t r = imgsrc.GetPicture(reinterpret_cast<const char*>(bytes.data()),
                                        static_cast<SpiLength>(bytes.size()), SPI_SRC_MEMORY,
                                        &dib, nullptr, nullptr,
                                        static_cast<SpiUserData>(reinterpret_cast<intptr_t>(&block)));
    const std::vector<uint8_t> bytes_out = testing_support::HandleBytes(dib);
    testing_support::FreeHandle(dib);
    // The DIB's own bytes: the block may be larger, and its slack carries no meaning.
    DibMeasures m;
    const size_t size =
        MeasureDib(bytes_out.data(), bytes_out.size(), m) ? size_t(m.total_size) : 0;
    return r != 0 ? uint64_t(r) : stress::Hash(bytes_out.data(), size, 1);
}

// imgsrc keeps recently composed frames for the next request: from 8 threads stepping through
// two animations in random order, every frame equals the one read alone on one thread.
TEST(Concurrency, AnimationFramesInRandomOrderEqualTheSequentialOnes) {
    PluginModule imgsrc;
    std::string error;
    ASSERT_TRUE(imgsrc.Load(testing_support::PluginPath("imgsrc"), error)) << error;
    const std::vector<uint8_t> files[2] = {Animation(96, 64, 24, 7, 1), Animation(50, 40, 17, 100, 9)};
    std::vector<uint64_t> alone[2];
    for (int f = 0; f < 2; ++f) {
        for (int32_t i = 0; i < 30; ++i) alone[f].push_back(ReadFrame(imgsrc, files[f], i));
        ASSERT_GT(alone[f][10], 10u) << "frame 10 of animation " << f << " fails";
    }
    std::atomic<int> differences{0};
    std::vector<std::thread> threads;
    const size_t thread_count = EnvSize("ZEM_STRESS_THREADS", 8);
    for (uint32_t t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(500 + t);
            for (int n = 0; n < 150; ++n) {
                const int f = int(random() % 2);
                const auto i = int32_t(random() % 30);
                if (ReadFrame(imgsrc, files[f], i) != alone[f][size_t(i)]) differences.fetch_add(1);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(differences.load(), 0);
}

}  // namespace
