#include <cstdio>

#include "PngWriter.h"

namespace {
// Below this many pixels a write takes well under a second: no progress line.
constexpr uint64_t kProgressPixels = 4'000'000;
}  // namespace

WriteProgress::WriteProgress(const std::string& path, uint64_t pixels, bool enabled)
    : m_path(path), m_enabled(enabled && pixels >= kProgressPixels) {}

WriteProgress::~WriteProgress() {
    if (m_enabled && m_shown >= 0) std::fprintf(stderr, "\r%*s\r", 80, "");
}

void WriteProgress::Rows(uint32_t done, uint32_t total) {
    if (!m_enabled || total == 0) return;
    const int percent = static_cast<int>(uint64_t{done} * 100 / total);
    if (percent / 10 == m_shown / 10 && m_shown >= 0) return;
    m_shown = percent;
    std::fprintf(stderr, "\rwriting %s: %d %%", m_path.c_str(), percent);
    std::fflush(stderr);
}
