#include "DibCanvas.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "ByteReader.h"
#include "Checked.h"
#include "DibHelpers.h"

DibCanvas::~DibCanvas() { Reset(); }

void DibCanvas::Reset() {
    if (m_base) platform::MemUnlock(m_block.Get());
    m_block.Reset();
    m_base = nullptr;
    m_bottomRow = nullptr;
    m_palette = nullptr;
    m_stride = 0;
    m_width = m_height = 0;
    m_bitCount = 0;
}

CodecStatus CheckDeclaredSize(uint64_t width, uint64_t height) {
    if (width == 0 || height == 0) return CodecStatus::Broken;
    // The header fields are signed 32-bit too.
    uint64_t pixels = 0;
    if (!CheckedMul(width, height, pixels) || pixels > DibCanvas::kMaxPixels ||
        width > INT32_MAX || height > INT32_MAX) {
        return CodecStatus::NoMemory;
    }
    return CodecStatus::Ok;
}

CodecStatus DibCanvas::Measure(uint32_t width, uint32_t height, uint16_t bit_count,
                               uint64_t& total) {
    // Refuse before any picture memory is taken.
    const CodecStatus declared = CheckDeclaredSize(width, height);
    if (declared == CodecStatus::Broken) return declared;
    if (bit_count != 1 && bit_count != 4 && bit_count != 8 && bit_count != 24 && bit_count != 32) {
        return CodecStatus::Unsupported;
    }
    if (declared != CodecStatus::Ok) return declared;
    const uint64_t colours = bit_count <= 8 ? (uint64_t{1} << bit_count) : 0;
    NewDibLayout layout;
    if (!PlanNewDib(width, height, bit_count, colours, layout)) return CodecStatus::NoMemory;
    total = layout.total_size;
    return CodecStatus::Ok;
}

CodecStatus DibCanvas::Create(uint32_t width, uint32_t height, uint16_t bit_count,
                              bool zero_rows) {
    Reset();
    uint64_t total = 0;
    const CodecStatus fits = Measure(width, height, bit_count, total);
    if (fits != CodecStatus::Ok) return fits;
    const uint64_t colours = bit_count <= 8 ? (uint64_t{1} << bit_count) : 0;
    NewDibLayout layout;
    (void)PlanNewDib(width, height, bit_count, colours, layout);  // checked by Measure
    const uint64_t stride = layout.stride;
    const uint64_t image = layout.image_size;
    const uint64_t head = layout.header_part;
    m_block = OwnedHandle::Allocate(static_cast<size_t>(total), false);
    if (!m_block) return CodecStatus::NoMemory;
    m_base = static_cast<uint8_t*>(platform::MemLock(m_block.Get()));
    if (!m_base) {
        m_block.Reset();
        return CodecStatus::NoMemory;
    }
    uint8_t* h = m_base;
    std::memset(h, 0, static_cast<size_t>(head));
    InfoHeaderFields fields;
    fields.width = static_cast<int32_t>(width);
    fields.height = static_cast<int32_t>(height);  // bottom-up
    fields.bit_count = bit_count;
    fields.size_image = static_cast<uint32_t>(image);
    fields.colors_used = static_cast<uint32_t>(colours);
    WriteInfoHeader(h, fields);
    m_palette = reinterpret_cast<RgbQuad*>(h + kInfoHeaderSize);
    m_stride = static_cast<ptrdiff_t>(stride);
    m_bottomRow = h + head + (height - uint64_t{1}) * stride;
    if (zero_rows) {
        std::memset(h + head, 0, static_cast<size_t>(image));
    } else {
        // Back ends fill each row up to its last pixel; the padding up to the stride, and the
        // unused low bits of a last partial byte (which libpng leaves as it finds them), are
        // zeroed here so that no stale heap byte reaches the host.
        const uint64_t used = uint64_t{width} * bit_count / 8;
        for (uint64_t y = 0; used < stride && y < height; ++y) {
            std::memset(h + head + y * stride + used, 0, static_cast<size_t>(stride - used));
        }
    }
    m_width = width;
    m_height = height;
    m_bitCount = bit_count;
    SetResolution(96, 96);
    return CodecStatus::Ok;
}

CodecStatus DibCanvas::Adopt(SpiHandle dib) {
    Reset();
    OwnedHandle block(dib);
    if (!block) return CodecStatus::NoMemory;
    const size_t available = platform::MemSize(dib);
    auto* base = static_cast<uint8_t*>(platform::MemLock(dib));
    if (!base) return CodecStatus::NoMemory;
    DibMeasures m;
    const bool fits = MeasureDib(base, available, m) && m.header_size == kInfoHeaderSize &&
                      m.compression == BI_RGB && !m.IsTopDown() && m.abs_height > 0 &&
                      m.total_size <= available &&
                      (m.bit_count == 1 || m.bit_count == 4 || m.bit_count == 8 ||
                       m.bit_count == 24 || m.bit_count == 32) &&
                      m.abs_height * static_cast<uint64_t>(m.width) <= kMaxPixels;
    if (!fits) {
        platform::MemUnlock(dib);
        return CodecStatus::Broken;
    }
    m_block = std::move(block);
    m_base = base;
    m_palette = reinterpret_cast<RgbQuad*>(base + m.header_size);
    m_stride = static_cast<ptrdiff_t>(m.stride);
    m_bottomRow = base + m.HeaderPartSize() + (m.abs_height - 1) * m.stride;
    m_width = static_cast<uint32_t>(m.width);
    m_height = static_cast<uint32_t>(m.abs_height);
    m_bitCount = static_cast<uint16_t>(m.bit_count);
    return CodecStatus::Ok;
}

void DibCanvas::SetPalette(const RgbQuad* colours, uint32_t count) {
    if (!m_palette || m_bitCount > 8) return;
    const uint32_t room = 1u << m_bitCount;
    std::memcpy(m_palette, colours, sizeof(RgbQuad) * (count < room ? count : room));
}

CodecStatus DibCanvas::CreateForSamples(uint32_t width, uint32_t height, bool grey, bool alpha) {
    const CodecStatus created = Create(width, height, SampleBits(grey, alpha));
    if (created == CodecStatus::Ok && grey && !alpha) SetGreyPalette();
    return created;
}

void DibCanvas::SetGreyPalette() {
    if (!m_palette || m_bitCount > 8) return;
    const uint32_t n = 1u << m_bitCount;
    for (uint32_t i = 0; i < n; ++i) {
        const auto v = static_cast<uint8_t>(i * 255 / (n - 1));
        m_palette[i] = RgbQuad{v, v, v, 0};
    }
}

void DibCanvas::ClearRowPadding() {
    if (!m_base) return;
    const uint64_t bits = uint64_t{m_width} * m_bitCount;
    const auto used = static_cast<size_t>((bits + 7) / 8);
    const auto stride = static_cast<size_t>(m_stride);
    // The bits after the last pixel of a 1-, 2- or 4-bit row's last byte too.
    const auto spare = static_cast<uint8_t>(0xFF >> (bits % 8));
    const uint8_t keep = bits % 8 == 0 ? 0xFF : static_cast<uint8_t>(~spare);
    if (used >= stride && keep == 0xFF) return;
    for (uint32_t y = 0; y < m_height; ++y) {
        if (used != 0) Row(y)[used - 1] &= keep;
        if (used < stride) std::memset(Row(y) + used, 0, stride - used);
    }
}

void DibCanvas::SetResolution(double x_dpi, double y_dpi) {
    if (!m_base) return;
    auto ppm = [](double dpi) -> uint32_t {
        if (!(dpi > 0) || dpi > 1e6) return 0;
        return static_cast<uint32_t>(std::lround(dpi / 0.0254));
    };
    ByteReader::StoreU32LE(m_base + 24, ppm(x_dpi));  // biXPelsPerMeter
    ByteReader::StoreU32LE(m_base + 28, ppm(y_dpi));  // biYPelsPerMeter
}

SpiHandle DibCanvas::Release() {
    if (m_base) platform::MemUnlock(m_block.Get());
    m_base = nullptr;
    SpiHandle h = m_block.Release();
    Reset();
    return h;
}

void DibCanvas::Swap(DibCanvas& other) noexcept {
    std::swap(m_block, other.m_block);
    std::swap(m_base, other.m_base);
    std::swap(m_bottomRow, other.m_bottomRow);
    std::swap(m_palette, other.m_palette);
    std::swap(m_stride, other.m_stride);
    std::swap(m_width, other.m_width);
    std::swap(m_height, other.m_height);
    std::swap(m_bitCount, other.m_bitCount);
}
