// A viewer runs for days: 10,000 mixed requests (ZEM_STRESS_LONG_REQUESTS) must leave the
// process's open descriptors, mappings and heap (Linux), or its handle count (Windows), where
// they were after one warm-up round of every request.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "StressKit.h"
#include "platform/com.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <malloc.h>
#endif

namespace {

constexpr bool kOwnHeap = !stress::kSanitized;  // a sanitizer's allocator keeps its own books

struct Counts {
    long descriptors = -1;  // open file descriptors; Windows: handles
    long mappings = -1;     // lines of /proc/self/maps
    long heap = -1;         // bytes in use from malloc
};

#if defined(_WIN32)
Counts Measure() {
    Counts c;
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles)) c.descriptors = handles;
    return c;
}
#else
long CountLines(const char* path) {
    FILE* f = std::fopen(path, "r");
    if (!f) return -1;
    long lines = 0;
    for (int ch; (ch = std::fgetc(f)) != EOF;) lines += ch == '\n';
    std::fclose(f);
    return lines;
}
Counts Measure() {
    Counts c;
    c.descriptors = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++c.descriptors;
    }
    c.mappings = CountLines("/proc/self/maps");
    if (kOwnHeap) {
        malloc_trim(0);
        c.heap = static_cast<long>(mallinfo2().uordblks);
    }
    return c;
}
#endif

TEST(Resources, TenThousandRequestsLeaveNothingBehind) {
    const platform::ComScope com;  // as a viewer's thread has it
    stress::GatherOptions options;
    options.max_bytes = 160 * 1024;
    options.max_per_corpus = 4;
    std::string error;
    const std::vector<stress::Target> targets = stress::LoadTargets(options, error);
    ASSERT_TRUE(error.empty()) << error;
    const std::vector<stress::Request> requests = stress::AllRequests(targets);
    ASSERT_FALSE(requests.empty());
    // Warm-up: libraries set up their tables once, on first use, and a decoder library behind
    // libheif starts a worker thread that stays (one stack, one guard page) on some later
    // request: every request twice, then a random mix of the same kind as the measured one.
    for (int round = 0; round < 2; ++round) {
        for (const stress::Request& r : requests) stress::RunRequest(targets, r);
    }
    std::mt19937 random(7);
    std::uniform_int_distribution<size_t> pick(0, requests.size() - 1);
    for (size_t n = 0; n < 3000; ++n) stress::RunRequest(targets, requests[pick(random)]);
    const Counts before = Measure();

    const char* env = std::getenv("ZEM_STRESS_LONG_REQUESTS");
    const size_t total = env && *env ? std::strtoul(env, nullptr, 10) : 10000;
    for (size_t n = 0; n < total; ++n) {
        const stress::Outcome got = stress::RunRequest(targets, requests[pick(random)]);
        ASSERT_TRUE(got.fault.empty()) << got.fault;
    }
    const Counts after = Measure();
    std::printf("resources after %zu requests: descriptors %ld -> %ld, mappings %ld -> %ld, "
                "heap bytes %ld -> %ld\n",
                total, before.descriptors, after.descriptors, before.mappings, after.mappings,
                before.heap, after.heap);
    EXPECT_EQ(after.descriptors, before.descriptors);
    // A sanitizer's allocator maps its regions as it first needs them: only the process's own
    // heap says anything about the mappings.
    if (kOwnHeap) EXPECT_EQ(after.mappings, before.mappings);
    EXPECT_EQ(after.heap, before.heap);
}

}  // namespace
