#include "DibConvert.h"

#include <cstring>
#include <new>

namespace video {

namespace {

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}

constexpr uint32_t kHeaderSize = 40;

}  // namespace

uint32_t DibStride(int bit_count, int width) {
    if (bit_count <= 0 || width <= 0) return 0;
    const uint64_t stride = (static_cast<uint64_t>(bit_count) * static_cast<uint64_t>(width) + 31) /
                            32 * 4;
    return stride > 0x7FFFFFFFu ? 0 : static_cast<uint32_t>(stride);
}

void WriteInfoHeader(uint8_t* out, int width, int height, int bit_count, uint32_t colors_used) {
    std::memset(out, 0, kHeaderSize);
    const uint32_t stride = DibStride(bit_count, width);
    Put32(out, kHeaderSize);                                                 // biSize
    Put32(out + 4, static_cast<uint32_t>(width));                            // biWidth
    Put32(out + 8, static_cast<uint32_t>(height));                           // biHeight
    Put16(out + 12, 1);                                                      // biPlanes
    Put16(out + 14, static_cast<uint32_t>(bit_count));                       // biBitCount
    Put32(out + 16, 0);                                                      // biCompression
    Put32(out + 20, stride * static_cast<uint32_t>(height < 0 ? -height : height));  // biSizeImage
    Put32(out + 32, colors_used);                                            // biClrUsed
}

bool FrameConverter::Convert(const AVFrame* frame, int width, int height, AVPixelFormat format,
                             uint8_t* rows, uint32_t stride) {
    if (!frame || frame->width <= 0 || frame->height <= 0 || width <= 0 || height <= 0) {
        return false;
    }
    const auto source = static_cast<AVPixelFormat>(frame->format);
    const int flags = (width == frame->width && height == frame->height) ? SWS_POINT : SWS_BICUBIC;
    m_sws.reset(sws_getCachedContext(m_sws.release(), frame->width, frame->height, source, width,
                                     height, format, flags | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                     nullptr, nullptr, nullptr));
    if (!m_sws) return false;
    // Bottom-up rows: start at the last row and step backwards.
    uint8_t* dst[4] = {rows + static_cast<size_t>(stride) * static_cast<size_t>(height - 1),
                       nullptr, nullptr, nullptr};
    const int dst_stride[4] = {-static_cast<int>(stride), 0, 0, 0};
    return sws_scale(m_sws.get(), frame->data, frame->linesize, 0, frame->height, dst,
                     dst_stride) == height;
}

bool FrameConverter::ToBgr24Rows(const AVFrame* frame, int width, int height, uint8_t* rows) {
    const uint32_t stride = DibStride(24, width);
    return stride != 0 && Convert(frame, width, height, AV_PIX_FMT_BGR24, rows, stride);
}

bool FrameConverter::ToPackedDib(const AVFrame* frame, DibLayout layout, int palette_entries,
                                 std::vector<uint8_t>& dib) {
    if (!frame || frame->width <= 0 || frame->height <= 0) return false;
    const int width = frame->width;
    const int height = frame->height;
    const int bit_count = layout == DibLayout::Bgr24 ? 24 : layout == DibLayout::Rgb555 ? 16 : 8;
    const uint32_t stride = DibStride(bit_count, width);
    if (stride == 0) return false;
    uint32_t colors = 0;
    if (layout == DibLayout::Pal8) {
        if (frame->format != AV_PIX_FMT_PAL8 || !frame->data[1]) return false;
        colors = static_cast<uint32_t>(palette_entries < 1     ? 256
                                       : palette_entries > 256 ? 256
                                                               : palette_entries);
    }
    const uint64_t image = static_cast<uint64_t>(stride) * static_cast<uint64_t>(height);
    const uint64_t head = kHeaderSize + 4ull * colors;
    if (image > 0x7FFFFFFFull - head) return false;
    try {
        dib.assign(static_cast<size_t>(head + image), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    WriteInfoHeader(dib.data(), width, height, bit_count, colors);
    uint8_t* rows = dib.data() + head;
    switch (layout) {
        case DibLayout::Bgr24:
            return Convert(frame, width, height, AV_PIX_FMT_BGR24, rows, stride);
        case DibLayout::Rgb555:
            return Convert(frame, width, height, AV_PIX_FMT_RGB555LE, rows, stride);
        case DibLayout::Pal8: {
            // The palette holds 0xAARRGGBB words: in memory B, G, R, A, as an RGBQUAD with the
            // alpha in its reserved byte, which a DIB keeps at zero.
            const uint8_t* pal = frame->data[1];
            for (uint32_t i = 0; i < colors; ++i) {
                std::memcpy(dib.data() + kHeaderSize + 4 * i, pal + 4 * i, 3);
            }
            for (int y = 0; y < height; ++y) {
                std::memcpy(rows + static_cast<size_t>(stride) * static_cast<size_t>(height - 1 - y),
                            frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0],
                            static_cast<size_t>(width));
            }
            return true;
        }
    }
    return false;
}

}  // namespace video
