// ICO and CUR through our own reader. Every directory entry is a frame, in the order a viewer
// would want them: frame 0 is the entry Windows picks for the largest display (the largest
// picture, then the deepest colour), the others follow largest first, file order breaking ties.
// Sizes and depths come from the entries' own headers: a cursor's directory holds its hotspot
// where an icon's holds planes and bit count, and a side of 256 is stored there as 0. An entry
// is either a PNG stream, decoded by the PNG back end when this build has one, or a DIB whose
// height counts its colour (XOR) rows and its 1-bit AND mask; its 16- and 32-bit pixels may
// be described by bit fields. An entry's stated size bounds it; when that size does not even
// cover the colour rows (a size that leaves out the table or the rows), the colour rows are
// read from the file as far as it holds them, with no mask.
//
// Transparency: a 32-bit entry keeps its own alpha (unless every alpha byte is 0, as in icons
// made before alpha was used: then the AND mask gives it). A lower-depth entry whose mask marks
// any pixel transparent becomes 32-bit BGRA with the mask as alpha; one whose mask is all
// opaque keeps its own layout (1-, 4- or 8-bit with its palette, 24-bit; 16-bit becomes 24-bit).
// An entry whose data ends before its mask counts as opaque.
#include <algorithm>
#include <cstring>

#include "ByteReader.h"
#include "Checked.h"
#include "CodecBackends.h"
#include "CxImage.h"
#include "SampleScale.h"

namespace {

constexpr size_t kDirectorySize = 6;
constexpr size_t kEntrySize = 16;
constexpr uint32_t kMaxEntries = 256;
const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

struct DibEntry {
    uint32_t header_size = 0;
    int32_t width = 0;
    int32_t height = 0;  // colour rows and mask rows together
    uint16_t bit_count = 0;
    uint32_t compression = 0;
    uint32_t colours_used = 0;
};

uint64_t Stride(uint64_t width, uint32_t bits) { return (width * bits + 31) / 32 * 4; }

// What ranks an entry: its pixel count and colour depth, from the entry's own header where it
// can be read, else from the directory (0 standing for 256).
struct EntryRank {
    uint64_t pixels = 0;
    uint32_t depth = 0;
    uint16_t index = 0;
};

EntryRank RankEntry(const uint8_t* data, size_t size, uint16_t index, bool icon) {
    EntryRank rank;
    rank.index = index;
    // A directory cut short: the entries past its end rank last (and fail when asked for).
    if (kDirectorySize + kEntrySize * (size_t{index} + 1) > size) return rank;
    const uint8_t* d = data + kDirectorySize + kEntrySize * size_t{index};
    rank.pixels = uint64_t{d[0] ? d[0] : 256u} * (d[1] ? d[1] : 256u);
    rank.depth = icon ? ByteReader::LoadU16LE(d + 6) : 0;
    const uint32_t offset = ByteReader::LoadU32LE(d + 12);
    if (offset >= size || size - offset < 26) return rank;
    const uint8_t* e = data + offset;
    if (std::memcmp(e, kPngSignature, 8) == 0) {
        static const uint8_t kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
        const uint8_t colour_type = e[25];
        rank.pixels = uint64_t{ByteReader::LoadU32BE(e + 16)} * ByteReader::LoadU32BE(e + 20);
        rank.depth = colour_type < 7 ? uint32_t{e[24]} * kChannels[colour_type] : 0;
        return rank;
    }
    const uint32_t header_size = ByteReader::LoadU32LE(e);
    const int32_t width = ByteReader::LoadI32LE(e + 4), height = ByteReader::LoadI32LE(e + 8);
    if (header_size < 40 || width <= 0 || height < 2) return rank;
    rank.pixels = uint64_t(width) * uint64_t(height / 2);
    rank.depth = ByteReader::LoadU16LE(e + 14);
    return rank;
}

// The file entry shown as `frame`: entries by size, then depth, both descending.
uint16_t EntryOfFrame(const uint8_t* data, size_t size, uint16_t count, uint16_t frame) {
    EntryRank ranks[kMaxEntries];
    const bool icon = ByteReader::LoadU16LE(data + 2) == 1;
    for (uint16_t i = 0; i < count; ++i) ranks[i] = RankEntry(data, size, i, icon);
    std::stable_sort(ranks, ranks + count, [](const EntryRank& a, const EntryRank& b) {
        return a.pixels != b.pixels ? a.pixels > b.pixels : a.depth > b.depth;
    });
    return ranks[frame].index;
}

// A bit-field channel: where the mask's bits lie, for values scaled onto 0..255.
struct FieldChannel {
    uint32_t mask = 0, shift = 0, max = 0;
    explicit FieldChannel(uint32_t m = 0) : mask(m) {
        if (!m) return;
        while (!((m >> shift) & 1)) ++shift;
        max = m >> shift;
    }
    uint8_t Of(uint32_t v) const { return mask ? ScaleSample((v & mask) >> shift, max) : 0; }
};

// The source pixel x of a row as B, G, R, A (A = 255 except in 32-bit rows).
void SourcePixel(const uint8_t* row, uint32_t x, uint32_t bits, const uint8_t* table,
                 uint32_t table_entries, uint8_t* out) {
    if (bits == 32) {
        std::memcpy(out, row + uint64_t{x} * 4, 4);
        return;
    }
    out[3] = 255;
    if (bits == 24) {
        std::memcpy(out, row + uint64_t{x} * 3, 3);
        return;
    }
    if (bits == 16) {
        const uint32_t v = ByteReader::LoadU16LE(row + uint64_t{x} * 2);
        Expand555(v, out);
        return;
    }
    const uint32_t per_byte = 8 / bits;
    const uint32_t shift = 8 - bits * (x % per_byte + 1);
    const uint32_t index = (row[x / per_byte] >> shift) & ((1u << bits) - 1);
    if (index < table_entries) {
        std::memcpy(out, table + uint64_t{index} * 4, 3);
    } else {
        out[0] = out[1] = out[2] = 0;
    }
}

class IcoCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeIco; }

    // An ICONDIR (reserved 0, type 1 icon or 2 cursor, 1 to 256 entries) whose first entry
    // points past the directory and declares a plausible size. The entry's reserved byte is
    // not looked at: Windows ignores it, and some cursor writers fill it.
    bool Sniff(const uint8_t* p, size_t size) const override { return IsIco(p, size); }

    static bool IsIco(const uint8_t* p, size_t size) {
        if (size < kDirectorySize + kEntrySize || ByteReader::LoadU16LE(p) != 0) return false;
        const uint16_t kind = ByteReader::LoadU16LE(p + 2);
        const uint16_t count = ByteReader::LoadU16LE(p + 4);
        if ((kind != 1 && kind != 2) || count == 0 || count > kMaxEntries) return false;
        const uint8_t* entry = p + kDirectorySize;
        return ByteReader::LoadU32LE(entry + 8) >= 40 &&
               ByteReader::LoadU32LE(entry + 12) >= kDirectorySize + kEntrySize * count;
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        return Read(data, size, request.frame, canvas, result, nullptr);
    }

    // With `header` set, the entry's measures are reported instead of decoding it.
    static CodecStatus Read(const uint8_t* data, size_t size, int32_t index, DibCanvas& canvas,
                            DecodeResult& result, PictureHeader* header) {
        if (!IsIco(data, size)) return CodecStatus::NotThisFormat;
        const uint16_t count = ByteReader::LoadU16LE(data + 4);
        if (index < 0 || index >= count) return CodecStatus::NoFrame;
        ByteReader r(data, size);
        const size_t file_entry = EntryOfFrame(data, size, count, static_cast<uint16_t>(index));
        if (!r.Skip(kDirectorySize + kEntrySize * file_entry)) return CodecStatus::Broken;
        uint32_t bytes = 0, offset = 0;
        if (!r.Skip(8) || !r.ReadU32LE(bytes) || !r.ReadU32LE(offset)) {
            return CodecStatus::Broken;
        }
        // An entry whose stated size runs past the end of the file is read as far as it goes.
        if (offset >= size) return CodecStatus::Broken;
        const size_t available = size - offset;
        const size_t entry_size = bytes < available ? bytes : available;
        const uint8_t* entry = data + offset;
        result.frame_count = count;
        if (entry_size >= 8 && std::memcmp(entry, kPngSignature, 8) == 0) {
            return DecodePng(entry, entry_size, canvas, header);
        }
        return DecodeDib(ByteReader(entry, entry_size), available, canvas, header);
    }

    // The directory and the first entry's header; a DIB entry's AND mask is looked at too, as
    // it decides between indexed and 32-bit pixels (icons are small).
    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                     PictureHeader& header) const override {
        DibCanvas unused;
        return Read(data, size, 0, unused, header.result, &header);
    }

private:
    static uint8_t AlphaOf(const uint8_t* row, uint32_t x, bool bit_fields,
                           const FieldChannel* fields) {
        if (!bit_fields) return row[uint64_t{x} * 4 + 3];
        return fields[3].mask ? fields[3].Of(ByteReader::LoadU32LE(row + uint64_t{x} * 4)) : 0;
    }

    static CodecStatus DecodePng(const uint8_t* entry, size_t size, DibCanvas& canvas,
                                 PictureHeader* header) {
        const CodecBackend* png = CxImage::BackendFor(kTypePng);
        if (!png) return CodecStatus::Unsupported;
        DecodeRequest request;
        request.type = kTypePng;
        DecodeResult ignored;
        PictureHeader entry_header;
        const CodecStatus status = header ? png->ReadHeader(entry, size, request, entry_header)
                                          : png->Decode(entry, size, request, canvas, ignored);
        if (header && status == CodecStatus::Ok) {
            header->width = entry_header.width;
            header->height = entry_header.height;
            header->bit_count = entry_header.bit_count;
        }
        return status == CodecStatus::NotThisFormat ? CodecStatus::Broken : status;
    }

    static CodecStatus DecodeDib(ByteReader r, size_t available, DibCanvas& canvas,
                                 PictureHeader* header_only) {
        DibEntry e;
        const uint8_t* header = r.Position();
        if (!r.ReadU32LE(e.header_size) || e.header_size < 40 || e.header_size > 124 ||
            r.Remaining() < 36) {
            return CodecStatus::Broken;
        }
        e.width = ByteReader::LoadI32LE(header + 4);
        e.height = ByteReader::LoadI32LE(header + 8);
        e.bit_count = ByteReader::LoadU16LE(header + 14);
        e.compression = ByteReader::LoadU32LE(header + 16);
        e.colours_used = ByteReader::LoadU32LE(header + 32);
        if (e.width <= 0 || e.height < 2) return CodecStatus::Broken;
        const uint32_t bits = e.bit_count;
        if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
            return CodecStatus::Unsupported;
        }
        // Bit fields (16 and 32 bits): three masks after a 40-byte header, inside a longer one.
        FieldChannel fields[4];
        const bool bit_fields = e.compression == 3 && (bits == 16 || bits == 32);
        if (e.compression != 0 && !bit_fields) return CodecStatus::Unsupported;
        uint32_t masks_size = 0;
        if (bit_fields) {
            masks_size = e.header_size == 40 ? 12 : 0;
            if (r.Remaining() < 36 + masks_size || (e.header_size > 40 && e.header_size < 52)) {
                return CodecStatus::Broken;
            }
            for (int k = 0; k < 3; ++k) {
                fields[k] = FieldChannel(ByteReader::LoadU32LE(header + 40 + 4 * k));
            }
            if (e.header_size >= 56) fields[3] = FieldChannel(ByteReader::LoadU32LE(header + 52));
        }
        const auto width = static_cast<uint32_t>(e.width);
        const auto height = static_cast<uint32_t>(e.height) / 2u;
        uint32_t table_entries = 0;
        if (bits <= 8) {
            table_entries = 1u << bits;
            if (e.colours_used != 0 && e.colours_used < table_entries) {
                table_entries = e.colours_used;
            }
        }
        const uint64_t colour_stride = Stride(width, bits);
        const uint64_t mask_stride = Stride(width, 1);
        uint64_t table_end = 0, colour_end = 0, mask_end = 0;
        if (!CheckedAdd(uint64_t{e.header_size} + masks_size, uint64_t{table_entries} * 4,
                        table_end) ||
            !CheckedAdd(table_end, colour_stride * height, colour_end) ||
            !CheckedAdd(colour_end, mask_stride * height, mask_end)) {
            return CodecStatus::Broken;
        }
        const size_t size = r.Remaining() + 4;
        if (colour_end > size && colour_end > available) return CodecStatus::Broken;
        const uint8_t* table = header + e.header_size + masks_size;
        const uint8_t* colours = header + table_end;
        // Rows are stored bottom-up: picture row y is stored row height - 1 - y.
        const uint8_t* mask = mask_end <= size ? header + colour_end : nullptr;
        auto colour_row = [&](uint32_t y) { return colours + (height - 1u - y) * colour_stride; };
        auto transparent = [&](uint32_t x, uint32_t y) {
            if (!mask) return false;
            const uint8_t* row = mask + (height - 1u - y) * mask_stride;
            return ((row[x / 8] >> (7 - x % 8)) & 1) != 0;
        };

        bool any_transparent = false;
        bool any_alpha = false;
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                any_transparent = any_transparent || transparent(x, y);
                if (bits == 32) {
                    any_alpha = any_alpha || AlphaOf(colour_row(y), x, bit_fields, fields) != 0;
                }
            }
        }
        const bool alpha_from_mask = bits == 32 ? !any_alpha : any_transparent;
        const bool keep_layout = bits != 32 && bits != 16 && !any_transparent;
        const uint16_t out_bits =
            keep_layout ? static_cast<uint16_t>(bits) : (bits == 32 || any_transparent ? 32 : 24);
        if (header_only) {
            header_only->width = width;
            header_only->height = height;
            header_only->bit_count = out_bits;
            return CodecStatus::Ok;
        }
        const CodecStatus created = canvas.Create(width, height, out_bits);
        if (created != CodecStatus::Ok) return created;
        if (keep_layout) {
            for (uint32_t i = 0; i < table_entries; ++i) {
                const uint8_t* c = table + uint64_t{i} * 4;
                canvas.Palette()[i] = RgbQuad{c[0], c[1], c[2], 0};
            }
            const auto row_bytes = static_cast<size_t>(colour_stride);
            for (uint32_t y = 0; y < height; ++y) {
                std::memcpy(canvas.Row(y), colour_row(y), row_bytes);
            }
            return CodecStatus::Ok;
        }
        const uint32_t step = out_bits / 8u;
        for (uint32_t y = 0; y < height; ++y) {
            uint8_t* d = canvas.Row(y);
            const uint8_t* s = colour_row(y);
            for (uint32_t x = 0; x < width; ++x, d += step) {
                uint8_t px[4];
                if (bit_fields) {
                    const uint32_t v = bits == 32 ? ByteReader::LoadU32LE(s + uint64_t{x} * 4)
                                                  : ByteReader::LoadU16LE(s + uint64_t{x} * 2);
                    px[0] = fields[2].Of(v), px[1] = fields[1].Of(v), px[2] = fields[0].Of(v);
                    px[3] = fields[3].mask ? fields[3].Of(v) : 255;
                } else {
                    SourcePixel(s, x, bits, table, table_entries, px);
                }
                if (alpha_from_mask) px[3] = transparent(x, y) ? 0 : 255;
                std::memcpy(d, px, step);
            }
        }
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& IcoBackend() {
    static const IcoCodec backend;
    return backend;
}
