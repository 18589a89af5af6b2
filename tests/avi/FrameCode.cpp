#include "AviMaker.h"

namespace avitest {

namespace {

constexpr int kCodeColumns = 6;
constexpr int kCodeRows = 2;

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

}  // namespace avitest
