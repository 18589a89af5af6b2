// Allocation failure at every point a request reaches. This program defines malloc, its
// companions and operator new, and exports them; the plug-in modules it loads and every library
// resolve to them, so one hook sees every allocation a request makes on its thread. The calls
// that fail in turn are those made by the plug-in's own code (movable memory and operator new)
// and by the libraries whose allocation failures are part of their interface: zlib, libpng and
// libjpeg (kFailingLibraries). Every block allocated during the
// request, by anyone, counts for leaks. For each request: a warm-up run (one-time library set-up
// is not counted), a counting run that numbers the allocation calls, then one run per number N in
// which call N fails. Each run must end with a code or a whole DIB, and leave no block that it
// allocated unfreed beyond the handles it returned. Linux only, and not under a sanitizer (whose
// allocator this would replace). ZEM_STRESS_PLUGINS narrows the run; ZEM_FAULT_TRACE=1 prints where each block left
// behind was allocated.
#include <gtest/gtest.h>

#include <execinfo.h>
#include <link.h>
#include <malloc.h>

#include <new>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "StressKit.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {

// The blocks allocated while armed and not yet freed: an open-addressed table that itself never
// allocates. Frees from any thread remove their block; one spin lock guards it.
class BlockTable {
public:
    void Add(void* p, void* const* frames, int depth) {
        Lock();
        size_t i = Slot(p);
        while (m_slots[i] && m_slots[i] != kGone) i = (i + 1) & kMask;
        if (!m_slots[i] && m_used_count < kSize) m_used[m_used_count++] = i;
        m_slots[i] = p;
        m_depth[i % kTraced] = depth;
        for (int k = 0; k < depth && k < kFrames; ++k) m_frames[i % kTraced][k] = frames[k];
        ++m_count;
        Unlock();
    }
    void Remove(void* p) {
        if (!p || m_count.load(std::memory_order_relaxed) == 0) return;
        Lock();
        for (size_t i = Slot(p); m_slots[i]; i = (i + 1) & kMask) {
            if (m_slots[i] == p) {
                m_slots[i] = kGone;
                --m_count;
                break;
            }
        }
        Unlock();
    }
    bool Contains(void* p) {
        Lock();
        bool found = false;
        for (size_t i = Slot(p); m_slots[i] && !found; i = (i + 1) & kMask) {
            found = m_slots[i] == p;
        }
        Unlock();
        return found;
    }
    size_t Count() const { return m_count.load(); }
    // Prints where the blocks still held (other than `keep`) were allocated.
    void PrintHeld(SpiHandle const* keep, size_t keep_count) {
        for (size_t k = 0; k < m_used_count; ++k) {
            const size_t i = m_used[k];
            void* p = m_slots[i];
            if (!p || p == kGone || std::find(keep, keep + keep_count, p) != keep + keep_count) {
                continue;
            }
            std::fprintf(stderr, "block %p allocated at:\n", p);
            backtrace_symbols_fd(m_frames[i % kTraced], m_depth[i % kTraced], 2);
        }
    }
    void Clear() {
        Lock();
        for (size_t k = 0; k < m_used_count; ++k) m_slots[m_used[k]] = nullptr;
        m_used_count = 0;
        m_count = 0;
        Unlock();
    }

private:
    static constexpr size_t kSize = size_t{1} << 20;
    static constexpr size_t kMask = kSize - 1;
    void* const kGone = reinterpret_cast<void*>(1);
    static size_t Slot(void* p) { return (reinterpret_cast<uintptr_t>(p) >> 4) * 2654435761u & kMask; }
    void Lock() {
        while (m_lock.test_and_set(std::memory_order_acquire)) {
        }
    }
    void Unlock() { m_lock.clear(std::memory_order_release); }
    static constexpr size_t kTraced = size_t{1} << 14;
    static constexpr int kFrames = 12;
    void* m_slots[kSize] = {};
    void* m_frames[kTraced][kFrames] = {};  // where each block came from (slots modulo kTraced)
    int m_depth[kTraced] = {};
    size_t m_used[kSize] = {};  // the slots ever filled since the last Clear
    size_t m_used_count = 0;
    std::atomic<size_t> m_count{0};
    std::atomic_flag m_lock = ATOMIC_FLAG_INIT;
};

BlockTable g_blocks;

// Code whose allocations fail in turn: the plug-in modules and these libraries. Not OpenJPEG
// 2.5.0 (it reads through a failed malloc inside opj_decode), libtiff 4.5.0 (through a failed
// realloc of TIFFSetField inside TIFFReadDirectory) nor FFmpeg 5.1 (avformat_open_input leaks the
// metadata of a Matroska file when one of its strdups fails): this test found all three, in the
// libraries' own code.
const char* const kFailingLibraries[] = {"libz.so", "libpng16.so", "libjpeg.so"};

// Code whose blocks are caches kept for the thread, not the request's: the dynamic linker's TLS
// of threads a library starts (kept with glibc's cached stacks) and the OpenMP runtime's thread
// team (LibRaw works in parallel regions).
const char* const kThreadCaches[] = {"/ld-linux", "libgomp.so"};

struct CodeRange {
    uintptr_t low, high;
    bool fails;  // else: one of kThreadCaches
};
CodeRange g_ranges[256];
int g_range_count = 0;

int AddRanges(dl_phdr_info* info, size_t, void*) {
    const std::string name = info->dlpi_name ? info->dlpi_name : "";
    bool fails = name.find("/plugins/") != std::string::npos;
    for (const char* library : kFailingLibraries) fails = fails || name.find(library) != std::string::npos;
    bool loader = false;
    for (const char* cache : kThreadCaches) loader = loader || name.find(cache) != std::string::npos;
    if (!fails && !loader) return 0;
    for (int i = 0; i < info->dlpi_phnum && g_range_count < 256; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X)) continue;
        const uintptr_t low = info->dlpi_addr + ph.p_vaddr;
        g_ranges[g_range_count++] = {low, low + ph.p_memsz, fails};
    }
    return 0;
}

// 1: the caller's allocations fail in turn; 2: the dynamic linker's; 0: anyone else.
int KindOf(const void* caller) {
    const auto at = reinterpret_cast<uintptr_t>(caller);
    for (int i = 0; i < g_range_count; ++i) {
        if (at >= g_ranges[i].low && at < g_ranges[i].high) return g_ranges[i].fails ? 1 : 2;
    }
    return 0;
}

// Armed on the requesting thread only, so that gtest's and other threads' allocations pass.
__thread bool t_armed = false;
__thread long t_calls = 0;      // allocation calls seen while armed
__thread long t_fail_at = 0;    // the call number that fails (0: none)
__thread bool t_failed = false; // whether it was reached
__thread bool t_tracing = false; // inside backtrace(), whose own allocations pass
bool g_trace = false;            // ZEM_FAULT_TRACE set: blocks remember their allocation site

bool ShouldFail(const void* caller) {
    if (!t_armed || t_tracing || KindOf(caller) != 1) return false;
    ++t_calls;
    if (t_calls == t_fail_at) {
        t_failed = true;
        if (g_trace) {  // where the failing call is made
            void* frames[12];
            t_tracing = true;
            backtrace_symbols_fd(frames, backtrace(frames, 12), 2);
            t_tracing = false;
        }
        return true;
    }
    return false;
}

void* Track(void* p, const void* caller) {
    if (!p || !t_armed || t_tracing || KindOf(caller) == 2) return p;
    void* frames[12] = {};
    int depth = 0;
    if (g_trace) {
        t_tracing = true;
        depth = backtrace(frames, 12);
        t_tracing = false;
    }
    g_blocks.Add(p, frames, depth);
    return p;
}

}  // namespace

#define ZEM_CALLER __builtin_return_address(0)
#define ZEM_FAIL_IF_ASKED(value) \
    if (ShouldFail(ZEM_CALLER)) return errno = ENOMEM, value

extern "C" {
void* malloc(size_t size) {
    ZEM_FAIL_IF_ASKED(nullptr);
    return Track(__libc_malloc(size), ZEM_CALLER);
}
void* calloc(size_t count, size_t size) {
    ZEM_FAIL_IF_ASKED(nullptr);
    return Track(__libc_calloc(count, size), ZEM_CALLER);
}
void* realloc(void* p, size_t size) {
    ZEM_FAIL_IF_ASKED(nullptr);
    void* q = __libc_realloc(p, size);
    if (q || size == 0) {
        g_blocks.Remove(p);
        Track(q, ZEM_CALLER);
    }
    return q;
}
void free(void* p) {
    g_blocks.Remove(p);
    __libc_free(p);
}
void* memalign(size_t alignment, size_t size) {
    ZEM_FAIL_IF_ASKED(nullptr);
    return Track(__libc_memalign(alignment, size), ZEM_CALLER);
}
void* aligned_alloc(size_t alignment, size_t size) {
    ZEM_FAIL_IF_ASKED(nullptr);
    return Track(__libc_memalign(alignment, size), ZEM_CALLER);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    if (ShouldFail(ZEM_CALLER)) return ENOMEM;
    void* p = Track(__libc_memalign(alignment, size), ZEM_CALLER);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}
void* valloc(size_t size) { return Track(__libc_memalign(4096, size), ZEM_CALLER); }
void* pvalloc(size_t size) {
    return Track(__libc_memalign(4096, (size + 4095) & ~size_t{4095}), ZEM_CALLER);
}
}

// operator new, so that the caller seen is the code that asked for the object.
namespace {
void* New(size_t size, const void* caller) {
    if (ShouldFail(caller)) return nullptr;
    return Track(__libc_malloc(size ? size : 1), caller);
}
void* NewAligned(size_t size, std::align_val_t align, const void* caller) {
    if (ShouldFail(caller)) return nullptr;
    return Track(__libc_memalign(static_cast<size_t>(align), size ? size : 1), caller);
}
}  // namespace
void* operator new(size_t n) {
    if (void* p = New(n, ZEM_CALLER)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) {
    if (void* p = New(n, ZEM_CALLER)) return p;
    throw std::bad_alloc();
}
void* operator new(size_t n, const std::nothrow_t&) noexcept { return New(n, ZEM_CALLER); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return New(n, ZEM_CALLER); }
void* operator new(size_t n, std::align_val_t a) {
    if (void* p = NewAligned(n, a, ZEM_CALLER)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n, std::align_val_t a) {
    if (void* p = NewAligned(n, a, ZEM_CALLER)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { free(p); }

namespace {

struct Armed {
    long calls = 0;
    bool failed = false;
    stress::Outcome outcome;
    size_t leaked = 0;
};

// One run of a request with allocation call `fail_at` failing (0: none).
Armed RunArmed(const stress::Target& target, const stress::Input& input, stress::Call call,
               long fail_at) {
    Armed out;
    g_blocks.Clear();
    t_calls = 0;
    t_fail_at = fail_at;
    t_failed = false;
    t_armed = true;
    out.outcome = stress::Run(*target.module, input, call, target.entry->variants[0]);
    t_armed = false;
    out.calls = t_calls;
    out.failed = t_failed;
    size_t handles = 0;
    for (SpiHandle h : out.outcome.handles) handles += h && g_blocks.Contains(h) ? 1 : 0;
    out.leaked = g_blocks.Count() - handles;
    if (out.leaked && g_trace) g_blocks.PrintHeld(out.outcome.handles, 2);
    stress::Finish(out.outcome, call);
    return out;
}

struct Tally {
    size_t requests = 0;
    long points = 0;     // allocation calls failed in turn, summed over the requests
    long most = 0;       // the most one request made
    size_t failures = 0; // runs that ended with a code because of the failure
};

TEST(FaultInjection, EveryAllocationOfEveryRequestFailsInTurn) {
    if (stress::kSanitized) GTEST_SKIP() << "this program replaces the allocator";
    g_trace = std::getenv("ZEM_FAULT_TRACE") != nullptr;
    if (g_trace) {
        void* frames[4];
        backtrace(frames, 4);  // loads the unwinder before any request
    }
    stress::GatherOptions options;
    options.corpora = false;
    options.max_bytes = 160 * 1024;
    std::string error;
    const std::vector<stress::Target> targets = stress::LoadTargets(options, error);
    ASSERT_TRUE(error.empty()) << error;
    dl_iterate_phdr(AddRanges, nullptr);  // after the modules and their libraries are loaded
    const stress::Call calls[] = {stress::Call::SupportedFile, stress::Call::InfoMemory,
                                  stress::Call::InfoFile, stress::Call::PictureMemoryWhole,
                                  stress::Call::PictureFileSplit};
    std::map<std::string, Tally> tallies;
    for (const stress::Target& target : targets) {
        Tally& tally = tallies[target.entry->module];
        for (const stress::Input& input : target.inputs) {
            for (stress::Call call : calls) {
                const std::string what = std::string(target.entry->module) + " " +
                                         stress::CallName(call) + " " + input.label;
                RunArmed(target, input, call, 0);  // warm-up
                const Armed counted = RunArmed(target, input, call, 0);
                ASSERT_TRUE(counted.outcome.fault.empty()) << what << ": " << counted.outcome.fault;
                ASSERT_EQ(counted.leaked, 0u) << what << " leaks without any failure";
                ++tally.requests;
                tally.most = std::max(tally.most, counted.calls);
                for (long n = 1;; ++n) {
                    if (g_trace) std::fprintf(stderr, "%s: allocation %ld fails\n", what.c_str(), n);
                    const Armed got = RunArmed(target, input, call, n);
                    if (!got.failed) break;  // the request made fewer than n calls
                    ++tally.points;
                    tally.failures += got.outcome.result != counted.outcome.result;
                    ASSERT_TRUE(got.outcome.fault.empty())
                        << what << ", allocation " << n << " failing: " << got.outcome.fault;
                    ASSERT_EQ(got.leaked, 0u)
                        << what << ", allocation " << n << " failing: blocks left behind";
                }
            }
        }
    }
    for (const auto& [module, t] : tallies) {
        std::printf("fault injection: %s: %zu requests, %ld allocation calls failed in turn "
                    "(at most %ld in one request), %zu of them changed the result\n",
                    module.c_str(), t.requests, t.points, t.most, t.failures);
    }
}

}  // namespace
