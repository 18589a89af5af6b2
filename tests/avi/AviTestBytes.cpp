// The frame numbers drawn into test frames, and byte patches of written files; no FFmpeg here,
// so that the Windows builds share them.
#include <cstring>

#include "AviMaker.h"

namespace avitest {

namespace {

constexpr int kCodeColumns = 6;
constexpr int kCodeRows = 2;

void Store32(std::vector<uint8_t>& f, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

// The offset of the body of chunk `id` number `number` (counting from 0), or 0.
size_t FindChunk(const std::vector<uint8_t>& f, const char* id, int number) {
    for (size_t i = 12; i + 8 <= f.size(); ++i) {
        if (std::memcmp(&f[i], id, 4) == 0 && number-- == 0) return i + 8;
    }
    return 0;
}

}  // namespace

void DrawFrameNumber(int n, uint8_t* rgb, int width, int height) {
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int bit = (y * kCodeRows / height) * kCodeColumns + x * kCodeColumns / width;
            const uint8_t v = (n >> bit) & 1 ? 255 : 0;
            uint8_t* p = rgb + (static_cast<size_t>(y) * width + x) * 3;
            p[0] = p[1] = p[2] = v;
        }
    }
}

int ReadFrameNumber(const uint8_t* rgb, int width, int height) {
    int n = 0;
    for (int bit = 0; bit < kCodeColumns * kCodeRows; ++bit) {
        const int cx = (2 * (bit % kCodeColumns) + 1) * width / (2 * kCodeColumns);
        const int cy = (2 * (bit / kCodeColumns) + 1) * height / (2 * kCodeRows);
        int sum = 0;
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                const uint8_t* p = rgb + (static_cast<size_t>(cy + dy) * width + cx + dx) * 3;
                sum += p[0] + p[1] + p[2];
            }
        }
        const int mean = sum / 27;
        if (mean > 170) {
            n |= 1 << bit;
        } else if (mean > 85) {
            return -1;
        }
    }
    return n;
}

bool ReplaceFourCC(std::vector<uint8_t>& file, const char* from, const char* to, int count) {
    int done = 0;
    for (size_t i = 12; i + 4 <= file.size() && (count < 0 || done < count); ++i) {
        if (std::memcmp(&file[i], from, 4) == 0) {
            std::memcpy(&file[i], to, 4);
            ++done;
        }
    }
    return done > 0;
}

bool PatchStreamScale(std::vector<uint8_t>& file, int number, uint32_t scale) {
    const size_t strh = FindChunk(file, "strh", number);
    if (strh == 0 || strh + 24 > file.size()) return false;
    Store32(file, strh + 20, scale);  // dwScale
    return true;
}

bool PatchVideoCodec(std::vector<uint8_t>& file, int number, const char* fourcc) {
    const size_t strh = FindChunk(file, "strh", number);
    const size_t strf = FindChunk(file, "strf", number);
    if (strh == 0 || strf == 0 || strf + 20 > file.size()) return false;
    std::memcpy(&file[strh + 4], fourcc, 4);   // fccHandler
    std::memcpy(&file[strf + 16], fourcc, 4);  // biCompression
    return true;
}
}  // namespace avitest
