#include "GifFile.h"

#include <cstring>
#include <new>

#include "ByteReader.h"
#include "Checked.h"
#include "DibHelpers.h"

namespace {

constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kImageSeparator = 0x2C;
constexpr uint8_t kGraphicControlLabel = 0xF9;
constexpr uint8_t kCommentLabel = 0xFE;
constexpr size_t kScreenDescriptorEnd = 13;  // header (6) and Logical Screen Descriptor (7)

bool IsGifSignature(const uint8_t* p) {
    return std::memcmp(p, "GIF87a", 6) == 0 || std::memcmp(p, "GIF89a", 6) == 0;
}

}  // namespace

GifFile::GifFile() = default;

// The result DIB belongs to whoever took it; only an unfinished one is freed here.
GifFile::~GifFile() = default;

int32_t GifFile::DibBitCountFor(int32_t colour_bits) {
    if (colour_bits <= 1) return 1;
    if (colour_bits <= 4) return 4;
    return 8;
}

SpiHandle GifFile::AllocateDibBlock(size_t size) { return platform::MemAlloc(size, true); }

void GifFile::ClearReadState() {
    m_skipCount = 0;
    m_gifData = nullptr;
    m_gifDataSize = 0;
    m_gifReadPos = 0;
    m_imageWidth = 0;
    m_imageHeight = 0;
    m_colourBits = 0;
    m_hasColourTable = false;
    m_interlaced = false;
    std::memset(m_paletteRed, 0, sizeof m_paletteRed);
    std::memset(m_paletteGreen, 0, sizeof m_paletteGreen);
    std::memset(m_paletteBlue, 0, sizeof m_paletteBlue);
    m_placer = GifPixelPlacer();
    m_indexBuffer.reset();
    m_indexBufferSize = 0;
    m_rowByRow = false;
    m_dib.Reset();
    m_dibLocked = false;
    m_dibBase = nullptr;
    m_dibStride = 0;
    m_dibHeaderPart = 0;
}

int32_t GifFile::ReadPictureFromMemory() {
    ClearReadState();
    m_skipCount = static_cast<uint32_t>(m_imageIndex);
    const int32_t result = DecodePicture(m_data, m_dataSize);
    m_resultDib = result == ToAbi(GifResult::Ok) ? m_dib.Release() : nullptr;
    m_width = m_imageWidth;
    m_height = m_imageHeight;
    m_bitCount = m_colourBits;
    return result;
}

int32_t GifFile::DecodePicture(const uint8_t* data, size_t size) {
    if (data) {
        m_gifData = data;
        m_gifDataSize = size;
        m_gifReadPos = 0;
    }
    GifResult result = ParseStream();
    if (result == GifResult::Ok) result = BuildDib();
    m_placer = GifPixelPlacer();
    m_indexBuffer.reset();
    m_indexBufferSize = 0;
    if (m_dibLocked) platform::MemUnlock(m_dib.Get());
    m_dibLocked = false;
    m_dibBase = nullptr;
    if (result != GifResult::Ok) m_dib.Reset();
    return ToAbi(result);
}

bool GifFile::ReadBytes(void* destination, size_t count) {
    if (count > m_gifDataSize - m_gifReadPos) return false;
    if (count != 0) std::memcpy(destination, m_gifData + m_gifReadPos, count);
    m_gifReadPos += count;
    return true;
}

bool GifFile::SkipBytes(size_t count) {
    if (count > m_gifDataSize - m_gifReadPos) return false;
    m_gifReadPos += count;
    return true;
}

// Steps over data sub-blocks up to and including the Block Terminator. On failure the position
// stays on the length byte that could not be honoured.
bool GifFile::SkipSubBlocks() {
    const uint8_t* data = m_gifData;
    const size_t size = m_gifDataSize;
    size_t pos = m_gifReadPos;
    while (pos < size) {
        const size_t length = data[pos];
#if defined(__GNUC__)
        // Each length byte depends on the one before; fetch ahead as if the blocks were full.
        __builtin_prefetch(data + pos + 1024);
#endif
        if (length == 0) {
            m_gifReadPos = pos + 1;
            return true;
        }
        if (length >= size - pos) break;
        pos += length + 1;
    }
    m_gifReadPos = pos;
    return false;
}

// Reads a Global or Local Color Table into the palette planes.
bool GifFile::ReadColourTable(int32_t count) {
    m_hasColourTable = true;
    for (int32_t i = 0; i < count; ++i) {
        uint8_t rgb[3];
        if (!ReadBytes(rgb, 3)) return false;
        m_paletteRed[i] = rgb[0];
        m_paletteGreen[i] = rgb[1];
        m_paletteBlue[i] = rgb[2];
    }
    return true;
}

// Reads the Header, the Logical Screen Descriptor and the blocks up to the selected image, then
// decodes that image's Table Based Image Data.
GifResult GifFile::ParseStream() {
    uint8_t header[6];
    if (!ReadBytes(header, sizeof header)) return GifResult::DataEnded;
    if (!IsGifSignature(header)) return GifResult::BadSignature;

    uint8_t screen[7];
    if (!ReadBytes(screen, sizeof screen)) return GifResult::DataEnded;
    m_colourBits = (screen[4] & 7) + 1;
    if ((screen[4] & 0x80) != 0 && !ReadColourTable(1 << m_colourBits)) {
        return GifResult::DataEnded;
    }

    while (m_skipCount != 0) {
        --m_skipCount;
        const GifResult skipped = SkipImage();
        if (skipped != GifResult::Ok) return skipped;
    }

    // Extensions before the image: a Graphic Control Extension has a fixed 6-byte body; its
    // values (delay, transparency) do not change the picture.
    uint8_t introducer;
    if (!ReadBytes(&introducer, 1)) return GifResult::DataEnded;
    while (introducer == kExtensionIntroducer) {
        uint8_t label;
        if (!ReadBytes(&label, 1)) return GifResult::DataEnded;
        if (label == kGraphicControlLabel) {
            if (!SkipBytes(6)) return GifResult::DataEnded;
        } else if (!SkipSubBlocks()) {
            return GifResult::DataEnded;
        }
        if (!ReadBytes(&introducer, 1)) return GifResult::DataEnded;
    }
    if (introducer != kImageSeparator) return GifResult::BadBlock;

    uint8_t descriptor[9];
    if (!ReadBytes(descriptor, sizeof descriptor)) return GifResult::DataEnded;
    m_imageWidth = ByteReader::LoadU16LE(descriptor + 4);
    m_imageHeight = ByteReader::LoadU16LE(descriptor + 6);
    const uint8_t packed = descriptor[8];
    if ((packed & 0x80) != 0) {
        const int32_t local_bits = (packed & 7) + 1;
        if (!ReadColourTable(1 << local_bits)) return GifResult::DataEnded;
        m_colourBits = local_bits;
    }
    m_interlaced = (packed & 0x40) != 0;

    // A minimum code size that the decoder refuses is reported before memory is taken for the
    // picture, as it would be after.
    if (m_gifReadPos < m_gifDataSize &&
        m_gifData[m_gifReadPos] > GifLzwDecoder::kMaxMinimumCodeSize) {
        return GifResult::BadSignature;
    }
    const GifResult allocated = AllocatePixels();
    if (allocated != GifResult::Ok) return allocated;
    const GifResult decoded = DecodeImageData();
    // Image data that ends before its end code still gives a picture.
    return decoded == GifResult::DataEnded ? GifResult::Ok : decoded;
}

// Steps over one image: its extensions, Image Descriptor, Local Color Table and image data.
GifResult GifFile::SkipImage() {
    uint8_t introducer;
    if (!ReadBytes(&introducer, 1)) return GifResult::DataEnded;
    while (introducer == kExtensionIntroducer) {
        uint8_t label;
        if (!ReadBytes(&label, 1) || !SkipSubBlocks() || !ReadBytes(&introducer, 1)) {
            return GifResult::DataEnded;
        }
    }
    if (introducer != kImageSeparator) return GifResult::BadBlock;
    uint8_t descriptor[9];
    if (!ReadBytes(descriptor, sizeof descriptor)) return GifResult::DataEnded;
    if ((descriptor[8] & 0x80) != 0 && !SkipBytes(size_t{3} << ((descriptor[8] & 7) + 1))) {
        return GifResult::DataEnded;
    }
    uint8_t min_code_size;
    if (!ReadBytes(&min_code_size, 1) || !SkipSubBlocks()) return GifResult::DataEnded;
    return GifResult::Ok;
}

// Sizes the DIB and takes the memory the indices are decoded into: the DIB's own rows for 8-bit
// pictures, an index buffer for 1- and 4-bit ones. All of it starts at 0.
GifResult GifFile::AllocatePixels() {
    const auto width = static_cast<uint64_t>(m_imageWidth);
    const auto height = static_cast<uint64_t>(m_imageHeight);
    uint64_t pixels;
    if (!CheckedMul(width, height, pixels) || pixels > m_maxPixels) return GifResult::NoMemory;
    const int32_t bit_count = DibBitCountFor(m_colourBits);
    uint64_t stride;
    uint64_t image_bytes;
    uint64_t total;
    m_dibHeaderPart = kInfoHeaderSize + (uint64_t{4} << bit_count);
    if (!DibStrideFor(static_cast<uint64_t>(bit_count), width, stride) ||
        !CheckedMul(stride, height, image_bytes) || image_bytes > UINT32_MAX ||
        !CheckedAdd(m_dibHeaderPart, image_bytes, total) || !FitsSizeT(total) ||
        !FitsSizeT(pixels)) {
        return GifResult::NoMemory;
    }
    m_dibStride = stride;

    GifRowLayout layout;
    layout.width = static_cast<uint32_t>(width);
    layout.height = static_cast<uint32_t>(height);
    layout.interlaced = m_interlaced;
    m_rowByRow = bit_count != 8 && pixels > m_rowByRowPixels;
    if (bit_count == 8 || m_rowByRow) {
        m_dib = OwnedHandle(AllocateDibBlock(static_cast<size_t>(total)));
        if (!m_dib) return GifResult::NoMemory;
        auto* block = static_cast<uint8_t*>(platform::MemLock(m_dib.Get()));
        if (!block) return GifResult::NoMemory;
        m_dibLocked = true;
        m_dibBase = block;
        if (m_rowByRow) {
            // One row of indices, packed into the DIB as each row completes.
            m_indexBufferSize = static_cast<size_t>(width);
            m_indexBuffer.reset(new (std::nothrow) uint8_t[m_indexBufferSize]());
            if (!m_indexBuffer) return GifResult::NoMemory;
            layout.base = m_indexBuffer.get();
            layout.pitch = 0;
            layout.row_sink = PackRow;
            layout.sink_context = this;
        } else if (pixels != 0) {
            // DIB rows run bottom-up: image row 0 is the last row of the block.
            uint8_t* bits = block + m_dibHeaderPart;
            layout.base = bits + (height - 1) * stride;
            layout.pitch = -static_cast<ptrdiff_t>(stride);
        }
    } else {
        m_indexBufferSize = static_cast<size_t>(pixels);
        m_indexBuffer.reset(new (std::nothrow) uint8_t[m_indexBufferSize]());
        if (!m_indexBuffer) return GifResult::NoMemory;
        layout.base = m_indexBuffer.get();
        layout.pitch = static_cast<ptrdiff_t>(width);
    }
    m_placer.Start(layout);
    return GifResult::Ok;
}

GifResult GifFile::DecodeImageData() {
    uint8_t min_code_size;
    if (!ReadBytes(&min_code_size, 1)) return GifResult::DataEnded;
    if (min_code_size > GifLzwDecoder::kMaxMinimumCodeSize) return GifResult::BadSignature;
    std::unique_ptr<GifLzwDecoder> decoder(new (std::nothrow) GifLzwDecoder);
    if (!decoder) return GifResult::BadSignature;
    if (m_rowByRow) decoder->SetLocateLimit(0);
    const GifLzwResult decoded =
        decoder->Decode(m_gifData, m_gifDataSize, m_gifReadPos, min_code_size, m_placer);
    // The row that the data ended in holds what was reached, zeros after it.
    if (m_rowByRow && !m_placer.IsFinished()) PackRow(this, m_placer.PixelRow(), m_indexBuffer.get());
    return decoded == GifLzwResult::DataEnded ? GifResult::DataEnded : GifResult::Ok;
}

void GifFile::PackRow(void* self, int32_t row, uint8_t* indices) {
    auto* gif = static_cast<GifFile*>(self);
    const auto width = static_cast<size_t>(gif->m_imageWidth);
    const auto height = static_cast<size_t>(gif->m_imageHeight);
    uint8_t* dst = gif->m_dibBase + gif->m_dibHeaderPart +
                   (height - 1 - static_cast<size_t>(row)) * static_cast<size_t>(gif->m_dibStride);
    PackIndices(indices, width, DibBitCountFor(gif->m_colourBits), dst);
    std::memset(indices, 0, width);
}

void GifFile::PackIndices(const uint8_t* src, size_t width, int32_t bit_count, uint8_t* dst) {
    if (bit_count == 4) {
        size_t x = 0;
        for (; x + 1 < width; x += 2) {
            *dst++ = static_cast<uint8_t>(((src[x] & 15) << 4) | (src[x + 1] & 15));
        }
        if (x < width) *dst = static_cast<uint8_t>((src[x] & 15) << 4);
        return;
    }
    for (size_t x = 0; x < width; x += 8) {
        unsigned byte = 0;
        for (size_t k = 0; k < 8; ++k) {
            byte <<= 1;
            if (x + k < width) byte |= src[x + k] & 1u;
        }
        *dst++ = static_cast<uint8_t>(byte);
    }
}

// Writes the BITMAPINFOHEADER and the colour table, and packs 1- and 4-bit rows.
GifResult GifFile::BuildDib() {
    const int32_t bit_count = DibBitCountFor(m_colourBits);
    const uint32_t colours = 1u << bit_count;
    const auto height = static_cast<uint64_t>(m_imageHeight);
    const uint64_t image_bytes = m_dibStride * height;
    if (!m_dib) {
        m_dib = OwnedHandle(AllocateDibBlock(static_cast<size_t>(m_dibHeaderPart + image_bytes)));
        if (!m_dib) return GifResult::NoMemory;
    }
    auto* p = static_cast<uint8_t*>(platform::MemLock(m_dib.Get()));
    if (!p) return GifResult::NoMemory;

    InfoHeaderFields fields;
    fields.width = m_imageWidth;
    fields.height = m_imageHeight;
    fields.bit_count = static_cast<uint16_t>(bit_count);
    fields.size_image = static_cast<uint32_t>(image_bytes);
    WriteInfoHeader(p, fields);

    // Without any colour table the picture gets a grey ramp from black to white.
    const uint32_t grey_step = 255 / (colours - 1);
    uint8_t* entry = p + kInfoHeaderSize;
    for (uint32_t j = 0; j < colours; ++j, entry += 4) {
        if (m_hasColourTable) {
            entry[0] = m_paletteBlue[j];
            entry[1] = m_paletteGreen[j];
            entry[2] = m_paletteRed[j];
        } else {
            entry[0] = entry[1] = entry[2] = static_cast<uint8_t>(j * grey_step);
        }
        entry[3] = 0;
    }

    if (bit_count != 8 && m_indexBuffer && !m_rowByRow) {
        // Each index is masked to the DIB's bit count, so an index beyond the colour table
        // cannot spill into the neighbouring pixels of the byte.
        const auto width = static_cast<size_t>(m_imageWidth);
        const auto stride = static_cast<size_t>(m_dibStride);
        uint8_t* bits = p + m_dibHeaderPart;
        for (size_t y = 0; y < height; ++y) {
            PackIndices(m_indexBuffer.get() + y * width, width, bit_count,
                        bits + (static_cast<size_t>(height) - 1 - y) * stride);
        }
    }
    platform::MemUnlock(m_dib.Get());
    return GifResult::Ok;
}

// Reads the logical screen size and colour depth, the comment text before the first image and,
// when its descriptor is reached, the first image's own size. Never reads outside the data.
int32_t GifFile::ReadInfoFromMemory() {
    const uint8_t* d = m_data;
    const size_t s = d ? m_dataSize : 0;
    m_width = s >= 8 ? ByteReader::LoadU16LE(d + 6) : 0;
    m_height = s >= 10 ? ByteReader::LoadU16LE(d + 8) : 0;
    m_bitCount = s >= 11 ? (d[10] & 7) + 1 : 0;
    if (s <= kScreenDescriptorEnd) return ToAbi(GifResult::NothingAfterHeader);
    size_t pos = kScreenDescriptorEnd;
    if ((d[10] & 0x80) != 0) pos += size_t{3} << m_bitCount;
    if (pos >= s) return ToAbi(GifResult::NothingAfterHeader);

    uint8_t comment[kMaxCommentBytes];
    size_t used = 0;
    bool walk_cut = false;
    while (!walk_cut && s - pos >= 3 && d[pos] == kExtensionIntroducer) {
        const uint8_t label = d[pos + 1];
        pos += 2;
        for (;;) {
            if (pos >= s) {
                walk_cut = true;
                break;
            }
            const size_t n = d[pos];
            if (n == 0) {
                ++pos;
                break;
            }
            if (n > s - pos - 1) {
                // The sub-block runs past the end of the data.
                walk_cut = true;
                break;
            }
            if (label == kCommentLabel && used < kMaxCommentBytes) {
                const size_t take = n < kMaxCommentBytes - used ? n : kMaxCommentBytes - used;
                std::memcpy(comment + used, d + pos + 1, take);
                used += take;
            }
            pos += n + 1;
        }
    }
    if (!walk_cut && s - pos >= 12 && d[pos] == kImageSeparator) {
        m_width = ByteReader::LoadU16LE(d + pos + 5);
        m_height = ByteReader::LoadU16LE(d + pos + 7);
        if ((d[pos + 9] & 0x80) != 0) m_bitCount = (d[pos + 9] & 7) + 1;
    }
    if (used > 0) {
        if (!m_infoBlock.Allocate(used, true)) return ToAbi(GifResult::NoMemory);
        auto* block = static_cast<uint8_t*>(m_infoBlock.Lock());
        if (!block) {
            m_infoBlock.Release();
            return ToAbi(GifResult::NoMemory);
        }
        std::memcpy(block, comment, used);
        m_infoBlock.Unlock();
    }
    return ToAbi(GifResult::Ok);
}
