// Composed animation canvases kept between requests, so that a viewer stepping through frames
// 0, 1, 2... pays for one frame per request. Entries are keyed by the bytes themselves (their
// size and a hash, never a name) and the format; the cache holds at most kMaxBytes of canvases
// and kMaxEntries entries, dropping the least recently used. Lookups hand out shared, read-only
// entries: the lock is held only to find or insert one, never while pixels are copied, so
// requests on other files neither wait for each other nor see each other's canvases.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The canvas of an animation as shown at one frame: top-down rows of `bytes` bytes a pixel (1:
// colour indices, 4: straight BGRA), and what that frame's "restore previous" disposal needs:
// the rectangle it covered as it was before the frame was drawn.
struct AnimCanvas {
    int32_t frame = -1;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bytes = 4;
    std::vector<uint8_t> pixels;
    uint32_t saved_left = 0, saved_top = 0, saved_width = 0, saved_height = 0;
    std::vector<uint8_t> saved;  // empty: the frame restores nothing

    uint8_t* At(uint32_t x, uint32_t y) {
        return pixels.data() + (size_t{width} * y + x) * bytes;
    }
    size_t Footprint() const { return pixels.size() + saved.size() + sizeof(AnimCanvas); }
};

// `from`'s pixels and saved rectangle into `to`: moved when nothing else holds `from` (it left
// the cache), else copied.
inline void TakePixels(std::shared_ptr<const AnimCanvas>& from, AnimCanvas& to) {
    if (from.use_count() == 1) {
        // Every canvas is made non-const (make_shared<AnimCanvas>) and only shared as const.
        auto& owned = const_cast<AnimCanvas&>(*from);
        to.pixels = std::move(owned.pixels);
        to.saved = std::move(owned.saved);
    } else {
        to.pixels = from->pixels;
        to.saved = from->saved;
    }
    to.saved_left = from->saved_left, to.saved_top = from->saved_top;
    to.saved_width = from->saved_width, to.saved_height = from->saved_height;
}

struct AnimKey {
    uint64_t size = 0;
    uint64_t hash = 0;
    uint32_t type = 0;
    bool operator==(const AnimKey& o) const {
        return size == o.size && hash == o.hash && type == o.type;
    }
};

// The key of `size` bytes at `data`: a 64-bit hash over every byte, at memory speed.
AnimKey MakeAnimKey(const uint8_t* data, size_t size, uint32_t type);

class FrameCache {
public:
    static constexpr size_t kMaxBytes = size_t{64} << 20;
    static constexpr size_t kMaxEntries = 8;
    // Canvases larger than this are not kept (nor worth copying).
    static constexpr size_t kMaxCanvasBytes = size_t{16} << 20;

    static FrameCache& Instance();

    // The entry of `key` with the highest frame in [first, last], or null. With `take`, the
    // entry leaves the cache: a request that steps on to the next frame composes it in the same
    // pixels (AnimCanvas::TakePixels) rather than in a copy.
    std::shared_ptr<const AnimCanvas> Find(const AnimKey& key, int32_t first, int32_t last,
                                           bool take = false);
    // Keeps `canvas` (taken over) under `key`; too large a canvas is dropped.
    void Store(const AnimKey& key, std::shared_ptr<const AnimCanvas> canvas);
    void Clear();
    size_t BytesHeld();

private:
    FrameCache() = default;
    struct Impl;
    Impl& State();
};
