#include "FrameCache.h"

#include <cstring>
#include <list>
#include <mutex>

namespace {

uint64_t Mix(uint64_t h, uint64_t v) {
    h ^= v * 0x9E3779B97F4A7C15ULL;
    h = (h << 31) | (h >> 33);
    return h * 0xC2B2AE3D27D4EB4FULL;
}

}  // namespace

AnimKey MakeAnimKey(const uint8_t* data, size_t size, uint32_t type) {
    // Four independent lanes keep the multiplies in flight.
    uint64_t lane[4] = {size, 0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL, type};
    size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        for (int k = 0; k < 4; ++k) {
            uint64_t v;
            std::memcpy(&v, data + i + 8 * k, 8);
            lane[k] = Mix(lane[k], v);
        }
    }
    uint64_t tail = 0;
    for (; i < size; ++i) tail = Mix(tail, data[i]);
    uint64_t h = Mix(Mix(Mix(Mix(lane[0], lane[1]), lane[2]), lane[3]), tail);
    h ^= h >> 29;
    return AnimKey{size, h, type};
}

struct FrameCache::Impl {
    struct Entry {
        AnimKey key;
        std::shared_ptr<const AnimCanvas> canvas;
    };
    std::mutex lock;
    std::list<Entry> entries;  // most recently used first
    size_t bytes = 0;
};

FrameCache& FrameCache::Instance() {
    // Destroyed, with every canvas it holds, when the module is unloaded.
    static FrameCache cache;
    return cache;
}

FrameCache::Impl& FrameCache::State() {
    static Impl impl;
    return impl;
}

std::shared_ptr<const AnimCanvas> FrameCache::Find(const AnimKey& key, int32_t first,
                                                   int32_t last, bool take) {
    Impl& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    auto best = s.entries.end();
    for (auto it = s.entries.begin(); it != s.entries.end(); ++it) {
        const int32_t f = it->canvas->frame;
        if (!(it->key == key) || f < first || f > last) continue;
        if (best == s.entries.end() || f > best->canvas->frame) best = it;
    }
    if (best == s.entries.end()) return nullptr;
    std::shared_ptr<const AnimCanvas> found = best->canvas;
    if (take) {
        s.bytes -= found->Footprint();
        s.entries.erase(best);
    } else {
        s.entries.splice(s.entries.begin(), s.entries, best);
    }
    return found;
}

void FrameCache::Store(const AnimKey& key, std::shared_ptr<const AnimCanvas> canvas) {
    if (!canvas || canvas->Footprint() > kMaxCanvasBytes) return;
    Impl& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    for (auto it = s.entries.begin(); it != s.entries.end(); ++it) {
        if (it->key == key && it->canvas->frame == canvas->frame) {
            s.bytes -= it->canvas->Footprint();
            s.entries.erase(it);
            break;
        }
    }
    s.bytes += canvas->Footprint();
    s.entries.push_front(Impl::Entry{key, std::move(canvas)});
    while (s.entries.size() > kMaxEntries || s.bytes > kMaxBytes) {
        s.bytes -= s.entries.back().canvas->Footprint();
        s.entries.pop_back();
    }
}

void FrameCache::Clear() {
    Impl& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.entries.clear();
    s.bytes = 0;
}

size_t FrameCache::BytesHeld() {
    Impl& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.bytes;
}
