// PCX and DCX through our own reader. A PCX picture is a 128-byte header and scan lines of one
// or more planes, run-length encoded (a byte of 0xC0 or more repeats the next byte its low six
// bits times; runs may go on from one line into the next). Layouts: 1 bit in 1 plane (black and
// white), 1 bit in 2-4 planes and 2 or 4 bits in 1 plane (the header's 16-colour palette),
// 8 bits in 1 plane (the 256-colour palette after a 0x0C byte at the end, else grey) and 8 bits
// in 3 or 4 planes (RGB, RGBA). Indexed pictures keep their palette (1-, 4- or 8-bit DIBs), RGB
// gives 24-bit and RGBA 32-bit BGRA.
//
// DCX holds up to 1023 PCX pages behind a table of offsets; each page is a frame.
#include <cstring>
#include <vector>

#include "ByteReader.h"
#include "CodecBackends.h"
#include "RunStream.h"
#include "SampleScale.h"

namespace {

constexpr size_t kHeaderSize = 128;
constexpr size_t kPaletteTrailer = 769;  // 0x0C and 256 RGB entries
constexpr uint8_t kDcxMagic[4] = {0xB1, 0x68, 0xDE, 0x3A};  // 987654321, little-endian
constexpr uint32_t kDcxMaxPages = 1023;

struct PcxHeader {
    uint8_t version = 0;
    bool rle = false;
    uint8_t bits = 0;    // per pixel in each plane
    uint8_t planes = 0;
    uint32_t width = 0, height = 0;
    uint16_t line_bytes = 0;  // per plane, even in files that follow the format
    const uint8_t* ega = nullptr;  // the header's 16 colours

    uint16_t BitCount() const {
        if (bits == 1 && planes == 1) return 1;
        if ((bits == 1 && planes >= 2 && planes <= 4) || (planes == 1 && (bits == 2 || bits == 4))) {
            return 4;
        }
        if (bits == 8 && planes == 1) return 8;
        if (bits == 8 && planes == 3) return 24;
        if (bits == 8 && planes == 4) return 32;
        return 0;
    }
};

// The header's fields, and whether they describe a picture this reader can build.
bool ParseHeader(const uint8_t* p, size_t size, PcxHeader& h) {
    if (size < kHeaderSize || p[0] != 0x0A || p[2] > 1) return false;
    h.version = p[1];
    if (h.version > 5 || h.version == 1) return false;
    h.rle = p[2] == 1;
    h.bits = p[3];
    const uint16_t x0 = ByteReader::LoadU16LE(p + 4), y0 = ByteReader::LoadU16LE(p + 6);
    const uint16_t x1 = ByteReader::LoadU16LE(p + 8), y1 = ByteReader::LoadU16LE(p + 10);
    if (x1 < x0 || y1 < y0) return false;
    h.width = x1 - x0 + 1u;
    h.height = y1 - y0 + 1u;
    h.ega = p + 16;
    h.planes = p[65];
    h.line_bytes = ByteReader::LoadU16LE(p + 66);
    return h.BitCount() != 0 && uint64_t{h.line_bytes} * 8 >= uint64_t{h.width} * h.bits;
}

// A packet of PCX's run-length code: a byte of 0xC0 or more repeats the next byte its low six
// bits times; any other byte stands for itself.
bool PcxPacket(ByteReader& in, uint32_t& count, uint8_t& value) {
    uint8_t b = 0;
    if (!in.ReadU8(b)) return false;
    if (b < 0xC0) {
        count = 1, value = b;
        return true;
    }
    count = b & 0x3Fu;
    return in.ReadU8(value);
}

// One PCX picture (a whole file, or a DCX page's bytes).
CodecStatus ReadPage(const uint8_t* data, size_t size, DibCanvas& canvas, PictureHeader* header) {
    PcxHeader h;
    if (!ParseHeader(data, size, h)) return CodecStatus::Broken;
    const uint16_t bit_count = h.BitCount();
    const uint64_t line = uint64_t{h.line_bytes} * h.planes;
    // A run holds at most 63 bytes, so a byte of data gives at most 63 bytes of lines.
    const uint64_t available = size - kHeaderSize;
    if (line * h.height > (h.rle ? available * 63 : available)) return CodecStatus::Broken;
    const CodecStatus declared = CheckDeclaredSize(h.width, h.height);
    if (declared != CodecStatus::Ok) return declared;
    const CodecStatus created = MeasureOrCreate(header, canvas, h.width, h.height, bit_count);
    if (created != CodecStatus::Ok || header) return created;
    RgbQuad* palette = canvas.Palette();
    if (bit_count == 1) {
        palette[1] = RgbQuad{255, 255, 255, 0};
    } else if (bit_count == 4) {
        for (int i = 0; i < 16; ++i) palette[i] = RgbQuad{h.ega[3 * i + 2], h.ega[3 * i + 1], h.ega[3 * i], 0};
    } else if (bit_count == 8) {
        const uint8_t* trailer =
            size >= kHeaderSize + kPaletteTrailer ? data + size - kPaletteTrailer : nullptr;
        if (trailer && trailer[0] == 0x0C) {
            for (int i = 0; i < 256; ++i) {
                palette[i] = RgbQuad{trailer[3 * i + 3], trailer[3 * i + 2], trailer[3 * i + 1], 0};
            }
        } else {
            canvas.SetGreyPalette();
        }
    }

    RunStream lines(ByteReader(data + kHeaderSize, size - kHeaderSize), h.rle, PcxPacket);
    std::vector<uint8_t> buffer(static_cast<size_t>(line));
    const uint32_t lb = h.line_bytes;
    for (uint32_t y = 0; y < h.height; ++y) {
        if (!lines.Read(buffer.data(), buffer.size())) return CodecStatus::Broken;
        uint8_t* d = canvas.Row(y);
        const uint8_t* s = buffer.data();
        if (h.planes == 1 && h.bits != 2) {
            std::memcpy(d, s, static_cast<size_t>((uint64_t{h.width} * h.bits + 7) / 8));
        } else if (h.planes == 1) {
            WidenTwoBitRow(s, d, h.width);
        } else if (h.bits == 1) {
            // Plane p gives bit p of each pixel's index.
            for (uint32_t x = 0; x < h.width; ++x) {
                uint32_t index = 0;
                for (uint32_t p = 0; p < h.planes; ++p) {
                    index |= ((s[p * lb + x / 8] >> (7 - x % 8)) & 1u) << p;
                }
                d[x / 2] = static_cast<uint8_t>(x % 2 ? (d[x / 2] | index) : index << 4);
            }
        } else {
            const uint32_t step = h.planes;
            for (uint32_t x = 0; x < h.width; ++x, d += step) {
                d[0] = s[2 * lb + x];
                d[1] = s[lb + x];
                d[2] = s[x];
                if (step == 4) d[3] = s[3 * lb + x];
            }
        }
    }
    canvas.ClearRowPadding();
    return CodecStatus::Ok;
}

bool IsDcx(const uint8_t* p, size_t size) {
    return size >= 8 && std::memcmp(p, kDcxMagic, 4) == 0;
}

// A DCX file's page offsets, up to the first 0 (or the table's end), each inside the file.
CodecStatus DcxPages(const uint8_t* data, size_t size, std::vector<uint32_t>& pages) {
    ByteReader r(data + 4, size - 4);
    uint32_t offset = 0;
    while (pages.size() < kDcxMaxPages && r.ReadU32LE(offset) && offset != 0) {
        if (offset >= size) return CodecStatus::Broken;
        pages.push_back(offset);
    }
    return pages.empty() ? CodecStatus::Broken : CodecStatus::Ok;
}

// The bytes of page `index`: from its offset to the next page's (or the file's end).
void PageBytes(const std::vector<uint32_t>& pages, size_t index, size_t size, size_t& from,
               size_t& length) {
    from = pages[index];
    size_t end = size;
    if (index + 1 < pages.size() && pages[index + 1] > from) end = pages[index + 1];
    length = end - from;
}

class PcxCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypePcx; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        PcxHeader h;
        return IsDcx(p, size) || (size >= kHeaderSize && p[2] == 1 && ParseHeader(p, size, h));
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        return Read(data, size, request.frame, &canvas, result, nullptr);
    }

    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                           PictureHeader& header) const override {
        return Read(data, size, 0, nullptr, header.result, &header);
    }

private:
    CodecStatus Read(const uint8_t* data, size_t size, int32_t frame, DibCanvas* canvas,
                     DecodeResult& result, PictureHeader* header) const {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        if (frame < 0) return CodecStatus::NoFrame;
        DibCanvas unused;
        DibCanvas& target = canvas ? *canvas : unused;
        if (!IsDcx(data, size)) {
            if (frame != 0) return CodecStatus::NoFrame;
            return ReadPage(data, size, target, header);
        }
        std::vector<uint32_t> pages;
        const CodecStatus listed = DcxPages(data, size, pages);
        if (listed != CodecStatus::Ok) return listed;
        result.frame_count = static_cast<int32_t>(pages.size());
        if (static_cast<size_t>(frame) >= pages.size()) return CodecStatus::NoFrame;
        size_t from = 0, length = 0;
        PageBytes(pages, static_cast<size_t>(frame), size, from, length);
        return ReadPage(data + from, length, target, header);
    }
};

}  // namespace

const CodecBackend& PcxBackend() {
    static const PcxCodec backend;
    return backend;
}
