#include "DibConvert.h"

#include <cstring>
#include <new>

#include "DibHelpers.h"

namespace video {

namespace {

// The most bytes of a row, and of a whole packed DIB, that this converter writes: sws_scale
// takes the stride as an int.
constexpr uint64_t kMaxDibBytes = 0x7FFFFFFF;

// Bytes per row of `width` pixels of `bit_count` bits, padded to 4; 0 past kMaxDibBytes.
uint32_t RowStride(uint32_t bit_count, int width) {
    uint64_t stride = 0;
    if (width <= 0 || !DibStrideFor(bit_count, static_cast<uint64_t>(width), stride) ||
        stride > kMaxDibBytes) {
        return 0;
    }
    return static_cast<uint32_t>(stride);
}

}  // namespace

Status FrameConverter::Convert(const AVFrame* frame, int width, int height, AVPixelFormat format,
                               uint8_t* rows, uint32_t stride) {
    if (!frame || frame->width <= 0 || frame->height <= 0 || width <= 0 || height <= 0) {
        return Status::Broken;
    }
    const auto source = static_cast<AVPixelFormat>(frame->format);
    if (!sws_isSupportedInput(source) || !sws_isSupportedOutput(format)) {
        return Status::Unsupported;
    }
    const int flags = (width == frame->width && height == frame->height) ? SWS_POINT : SWS_BICUBIC;
    m_sws.reset(sws_getCachedContext(m_sws.release(), frame->width, frame->height, source, width,
                                     height, format, flags | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                     nullptr, nullptr, nullptr));
    if (!m_sws) return Status::NoMemory;
    // Bottom-up rows: start at the last row and step backwards.
    uint8_t* dst[4] = {rows + static_cast<size_t>(stride) * static_cast<size_t>(height - 1),
                       nullptr, nullptr, nullptr};
    const int dst_stride[4] = {-static_cast<int>(stride), 0, 0, 0};
    return sws_scale(m_sws.get(), frame->data, frame->linesize, 0, frame->height, dst,
                     dst_stride) == height
               ? Status::Ok
               : Status::Broken;
}

Status FrameConverter::ToBgr24Rows(const AVFrame* frame, int width, int height, uint8_t* rows) {
    if (width <= 0) return Status::Broken;
    const uint32_t stride = RowStride(24, width);
    if (stride == 0) return Status::NoMemory;
    return Convert(frame, width, height, AV_PIX_FMT_BGR24, rows, stride);
}

Status FrameConverter::ToPackedDib(const AVFrame* frame, DibLayout layout, int palette_entries,
                                   std::vector<uint8_t>& dib) {
    if (!frame || frame->width <= 0 || frame->height <= 0) return Status::Broken;
    const int width = frame->width;
    const int height = frame->height;
    const uint32_t bit_count = layout == DibLayout::Bgr24 ? 24 : layout == DibLayout::Rgb555 ? 16 : 8;
    uint32_t colors = 0;
    if (layout == DibLayout::Pal8) {
        if (frame->format != AV_PIX_FMT_PAL8 || !frame->data[1]) return Status::Unsupported;
        colors = static_cast<uint32_t>(palette_entries < 1     ? 256
                                       : palette_entries > 256 ? 256
                                                               : palette_entries);
    }
    NewDibLayout measures;
    if (!PlanNewDib(static_cast<uint64_t>(width), static_cast<uint64_t>(height), bit_count, colors,
                    measures) ||
        measures.total_size > kMaxDibBytes) {
        return Status::NoMemory;
    }
    const auto stride = static_cast<uint32_t>(measures.stride);
    const auto head = static_cast<size_t>(measures.header_part);
    try {
        dib.assign(static_cast<size_t>(measures.total_size), 0);
    } catch (const std::bad_alloc&) {
        return Status::NoMemory;
    }
    InfoHeaderFields fields;
    fields.width = width;
    fields.height = height;
    fields.bit_count = static_cast<uint16_t>(bit_count);
    fields.size_image = static_cast<uint32_t>(measures.image_size);
    fields.colors_used = colors;
    WriteInfoHeader(dib.data(), fields);
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
                std::memcpy(dib.data() + kInfoHeaderSize + 4 * i, pal + 4 * i, 3);
            }
            for (int y = 0; y < height; ++y) {
                std::memcpy(rows + static_cast<size_t>(stride) * static_cast<size_t>(height - 1 - y),
                            frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0],
                            static_cast<size_t>(width));
            }
            return Status::Ok;
        }
    }
    return Status::Unsupported;
}

}  // namespace video
