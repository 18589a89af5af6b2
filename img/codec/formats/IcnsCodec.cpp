// macOS icons (ICNS) through our own reader. The file is a list of elements, each a four-byte
// code and a big-endian length that counts its own 8 bytes. The pictures read are the PNG and
// JPEG 2000 entries (whatever their code: the data says which), decoded by those back ends where
// this build has them, and the RLE entries of 24-bit colour (is32, il32, ih32, it32), with
// their 8-bit masks (s8mk, l8mk, h8mk, t8mk) as alpha where the file holds one. Every picture is
// a frame, the largest first (file order breaking ties); the smallest whose long side makes a
// preview is the preview. Other elements (the table of contents, old 1- to 8-bit icons, nested
// dark-mode icons) are passed over.
#include <algorithm>
#include <cstring>
#include <vector>

#include "ByteReader.h"
#include "CodecBackends.h"
#include "CxImage.h"
#include "PreviewRules.h"

namespace {

constexpr size_t kElementHeader = 8;
constexpr size_t kMaxElements = 512;
const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
const uint8_t kJp2Signature[12] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};

struct RleKind {
    char code[5];
    char mask[5];
    uint32_t side;
    uint32_t lead;  // zero bytes before the data (it32 has 4)
};
const RleKind kRleKinds[] = {
    {"is32", "s8mk", 16, 0},
    {"il32", "l8mk", 32, 0},
    {"ih32", "h8mk", 48, 0},
    {"it32", "t8mk", 128, 4},
};

enum class EntryKind { Png, Jp2, Rle };

struct Entry {
    EntryKind kind = EntryKind::Png;
    const uint8_t* data = nullptr;
    size_t size = 0;
    uint32_t width = 0, height = 0;
    uint16_t bit_count = 0;
    const RleKind* rle = nullptr;
    const uint8_t* mask = nullptr;  // Rle: width x height alpha bytes, or none
};

const CodecBackend* EntryBackend(EntryKind kind) {
    return CxImage::BackendFor(kind == EntryKind::Png ? kTypePng : kTypeJp2);
}

DecodeRequest EntryRequest(const Entry& e) {
    DecodeRequest request;
    request.type = e.kind == EntryKind::Png                                      ? kTypePng
                   : e.size >= 12 && std::memcmp(e.data, kJp2Signature, 12) == 0 ? kTypeJp2
                                                                                 : kTypeJ2k;
    return request;
}

// The pictures of the file, largest first; false when the element list is damaged before any
// picture was found. Entries whose back end is missing or whose header cannot be read are left
// out (an icon whose every picture is such a one has none).
CodecStatus ListEntries(const uint8_t* data, size_t size, std::vector<Entry>& out) {
    if (size < kElementHeader || std::memcmp(data, "icns", 4) != 0) {
        return CodecStatus::NotThisFormat;
    }
    const uint32_t declared = ByteReader::LoadU32BE(data + 4);
    const size_t end = declared >= kElementHeader && declared < size ? declared : size;
    struct Raw {
        const uint8_t* code;
        const uint8_t* data;
        size_t size;
    };
    std::vector<Raw> elements;
    bool damaged = false;
    for (size_t at = kElementHeader;
         at + kElementHeader <= end && elements.size() < kMaxElements;) {
        const uint32_t length = ByteReader::LoadU32BE(data + at + 4);
        if (length < kElementHeader || length > end - at) {
            damaged = true;
            break;
        }
        elements.push_back({data + at, data + at + kElementHeader, length - kElementHeader});
        at += length;
    }
    for (const Raw& el : elements) {
        Entry e;
        e.data = el.data;
        e.size = el.size;
        const RleKind* rle = nullptr;
        for (const RleKind& k : kRleKinds) {
            if (std::memcmp(el.code, k.code, 4) == 0) rle = &k;
        }
        if (rle) {
            e.kind = EntryKind::Rle;
            e.rle = rle;
            e.width = e.height = rle->side;
            const size_t pixels = size_t{rle->side} * rle->side;
            for (const Raw& m : elements) {
                if (std::memcmp(m.code, rle->mask, 4) == 0 && m.size >= pixels) e.mask = m.data;
            }
            e.bit_count = e.mask ? 32 : 24;
        } else if (el.size >= 8 && std::memcmp(el.data, kPngSignature, 8) == 0) {
            e.kind = EntryKind::Png;
        } else if ((el.size >= 12 && std::memcmp(el.data, kJp2Signature, 12) == 0) ||
                   (el.size >= 4 && std::memcmp(el.data, "\xFF\x4F\xFF\x51", 4) == 0)) {
            e.kind = EntryKind::Jp2;
        } else {
            continue;
        }
        if (e.kind != EntryKind::Rle) {
            const CodecBackend* backend = EntryBackend(e.kind);
            PictureHeader header;
            if (!backend ||
                backend->ReadHeader(e.data, e.size, EntryRequest(e), header) != CodecStatus::Ok) {
                continue;
            }
            e.width = header.width, e.height = header.height, e.bit_count = header.bit_count;
        }
        out.push_back(e);
    }
    std::stable_sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) {
        return uint64_t{a.width} * a.height > uint64_t{b.width} * b.height;
    });
    if (out.empty()) return damaged ? CodecStatus::Broken : CodecStatus::Unsupported;
    return CodecStatus::Ok;
}

// One channel of an RLE entry: bytes below 0x80 copy that many plus one bytes, the others
// repeat the next byte (code - 0x80 + 3) times. Writes every `step`th byte of `out`.
bool UnpackChannel(ByteReader& in, uint8_t* out, size_t pixels, size_t step) {
    size_t done = 0;
    while (done < pixels) {
        uint8_t code = 0, value = 0;
        if (!in.ReadU8(code)) return false;
        if (code < 0x80) {
            const size_t n = code + 1u;
            if (n > pixels - done || in.Remaining() < n) return false;
            for (size_t i = 0; i < n; ++i, ++done) {
                if (!in.ReadU8(out[done * step])) return false;
            }
        } else {
            const size_t n = code - 0x80u + 3u;
            if (n > pixels - done || !in.ReadU8(value)) return false;
            for (size_t i = 0; i < n; ++i, ++done) out[done * step] = value;
        }
    }
    return true;
}

CodecStatus DecodeRle(const Entry& e, DibCanvas& canvas) {
    const size_t pixels = size_t{e.width} * e.height;
    const size_t step = e.bit_count / 8u;
    const CodecStatus created = canvas.Create(e.width, e.height, e.bit_count);
    if (created != CodecStatus::Ok) return created;
    // Rows of the picture are contiguous here (widths of 16 to 128 pixels at 3 or 4 bytes need
    // no padding), so the channels unpack into a top-down buffer copied row by row.
    std::vector<uint8_t> bgr(pixels * step);
    if (e.size == pixels * 3) {  // stored without compression, R G B interleaved
        for (size_t i = 0; i < pixels; ++i) {
            for (size_t c = 0; c < 3; ++c) bgr[i * step + 2 - c] = e.data[i * 3 + c];
        }
    } else {
        if (e.size < e.rle->lead) return CodecStatus::Broken;
        ByteReader in(e.data + e.rle->lead, e.size - e.rle->lead);
        for (size_t c = 0; c < 3; ++c) {  // red, green, blue planes
            if (!UnpackChannel(in, bgr.data() + 2 - c, pixels, step)) return CodecStatus::Broken;
        }
    }
    if (e.mask) {
        for (size_t i = 0; i < pixels; ++i) bgr[i * step + 3] = e.mask[i];
    }
    const size_t row = size_t{e.width} * step;
    for (uint32_t y = 0; y < e.height; ++y) std::memcpy(canvas.Row(y), bgr.data() + y * row, row);
    return CodecStatus::Ok;
}

CodecStatus DecodeEntry(const Entry& e, DibCanvas& canvas) {
    if (e.kind == EntryKind::Rle) return DecodeRle(e, canvas);
    DecodeResult ignored;
    const CodecStatus status =
        EntryBackend(e.kind)->Decode(e.data, e.size, EntryRequest(e), canvas, ignored);
    return status == CodecStatus::NotThisFormat ? CodecStatus::Broken : status;
}

class IcnsCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeIcns; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= kElementHeader && std::memcmp(p, "icns", 4) == 0;
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        std::vector<Entry> entries;
        const CodecStatus listed = ListEntries(data, size, entries);
        if (listed != CodecStatus::Ok) return listed;
        result.frame_count = static_cast<int32_t>(entries.size());
        if (request.frame < 0 || static_cast<size_t>(request.frame) >= entries.size()) {
            return CodecStatus::NoFrame;
        }
        return DecodeEntry(entries[static_cast<size_t>(request.frame)], canvas);
    }

    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                           PictureHeader& header) const override {
        std::vector<Entry> entries;
        const CodecStatus listed = ListEntries(data, size, entries);
        if (listed != CodecStatus::Ok) return listed;
        header.width = entries[0].width;
        header.height = entries[0].height;
        header.bit_count = entries[0].bit_count;
        header.result.frame_count = static_cast<int32_t>(entries.size());
        return CodecStatus::Ok;
    }

    // The smallest picture whose long side makes a preview, when it is not the largest.
    CodecStatus DecodePreview(const uint8_t* data, size_t size, const DecodeRequest& request,
                              DibCanvas& canvas, DecodeResult& result) const override {
        if (request.frame != 0) return CodecStatus::Unsupported;
        std::vector<Entry> entries;
        const CodecStatus listed = ListEntries(data, size, entries);
        if (listed != CodecStatus::Ok) return listed;
        size_t chosen = 0;
        for (size_t i = 1; i < entries.size(); ++i) {
            if (QualifiesAsPreview(entries[i].width, entries[i].height)) chosen = i;
        }
        if (chosen == 0) return CodecStatus::Unsupported;
        result.frame_count = static_cast<int32_t>(entries.size());
        return DecodeEntry(entries[chosen], canvas);
    }
};

}  // namespace

const CodecBackend& IcnsBackend() {
    static const IcnsCodec backend;
    return backend;
}
