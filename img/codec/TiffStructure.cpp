#include "TiffStructure.h"

#include <algorithm>
#include <cstring>

#include "PreviewRules.h"

namespace {

constexpr uint32_t kMaxChain = 1024;    // directories walked along a chain
constexpr uint32_t kMaxEntries = 4096;  // entries read in one directory
constexpr uint32_t kMaxSubIfds = 64;    // SubIFDs taken from one directory

enum Tag : uint32_t {
    kNewSubfileType = 254,
    kImageWidth = 256,
    kImageLength = 257,
    kSubIfds = 330,
    kJpegInterchange = 513,
    kJpegInterchangeLength = 514,
};

// What one directory says of itself.
struct Ifd {
    uint32_t width = 0, height = 0, subfile = 0;
    uint32_t jpeg_offset = 0, jpeg_length = 0;
    bool has_jpeg = false;
    std::vector<uint32_t> sub_ifds;
    uint32_t next = 0;
};

// A SHORT or LONG value held in the entry itself.
bool ScalarValue(const TiffView& tiff, uint64_t entry, uint32_t& out) {
    uint32_t type = 0, count = 0;
    if (!tiff.U16(entry + 2, type) || !tiff.U32(entry + 4, count) || count < 1) return false;
    if (type == 3) return tiff.U16(entry + 8, out);
    if (type == 4 || type == 13) return tiff.U32(entry + 8, out);
    return false;
}

bool ReadIfd(const TiffView& tiff, uint64_t at, Ifd& ifd) {
    uint32_t count = 0;
    if (at == 0 || !tiff.U16(at, count) || count > kMaxEntries) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t entry = at + 2 + uint64_t{i} * 12;
        uint32_t tag = 0, value = 0;
        if (!tiff.U16(entry, tag)) return false;
        switch (tag) {
            case kImageWidth:
                if (ScalarValue(tiff, entry, value)) ifd.width = value;
                break;
            case kImageLength:
                if (ScalarValue(tiff, entry, value)) ifd.height = value;
                break;
            case kNewSubfileType:
                if (ScalarValue(tiff, entry, value)) ifd.subfile = value;
                break;
            case kJpegInterchange:
                if (ScalarValue(tiff, entry, value)) ifd.jpeg_offset = value, ifd.has_jpeg = true;
                break;
            case kJpegInterchangeLength:
                if (ScalarValue(tiff, entry, value)) ifd.jpeg_length = value;
                break;
            case kSubIfds: {
                uint32_t type = 0, n = 0;
                if (!tiff.U16(entry + 2, type) || !tiff.U32(entry + 4, n)) break;
                if (type != 4 && type != 13) break;
                n = std::min(n, kMaxSubIfds);
                // One offset is held in the entry; more are stored where the entry points.
                uint64_t base = entry + 8;
                if (n > 1) {
                    if (!tiff.U32(entry + 8, value)) break;
                    base = value;
                }
                for (uint32_t k = 0; k < n; ++k) {
                    if (!tiff.U32(base + uint64_t{k} * 4, value)) break;
                    ifd.sub_ifds.push_back(value);
                }
                break;
            }
            default:
                break;
        }
    }
    uint32_t next = 0;
    if (!tiff.U32(at + 2 + uint64_t{count} * 12, next)) next = 0;
    ifd.next = next;
    return true;
}

// The JPEG a directory points at, when it lies within the bytes and begins with SOI.
ThumbnailSearch JpegOf(const TiffView& tiff, const Ifd& ifd, const uint8_t*& out, size_t& size) {
    if (!ifd.has_jpeg) return ThumbnailSearch::None;
    const uint64_t end = uint64_t{ifd.jpeg_offset} + ifd.jpeg_length;
    if (ifd.jpeg_length < 4 || end > tiff.Size()) return ThumbnailSearch::Damaged;
    const uint8_t* p = tiff.Data() + ifd.jpeg_offset;
    if (p[0] != 0xFF || p[1] != 0xD8) return ThumbnailSearch::Damaged;
    out = p;
    size = ifd.jpeg_length;
    return ThumbnailSearch::Found;
}

}  // namespace

TiffSignature ReadTiffSignature(const uint8_t* p, size_t size) {
    if (!p || size < 4) return TiffSignature::None;
    uint32_t magic = 0;
    if (p[0] == 'I' && p[1] == 'I') {
        magic = p[2] | p[3] << 8;
    } else if (p[0] == 'M' && p[1] == 'M') {
        magic = p[2] << 8 | p[3];
    }
    if (magic == 42) return TiffSignature::Classic;
    return magic == 43 ? TiffSignature::Big : TiffSignature::None;
}

bool TiffView::Init() {
    if (m_size < 8 || ReadTiffSignature(m_data, m_size) != TiffSignature::Classic) return false;
    m_big = m_data[0] == 'M';
    return true;
}

bool TiffView::U16(uint64_t at, uint32_t& out) const {
    if (at > m_size || m_size - at < 2) return false;
    const uint8_t* p = m_data + at;
    out = m_big ? (p[0] << 8 | p[1]) : (p[1] << 8 | p[0]);
    return true;
}

bool TiffView::U32(uint64_t at, uint32_t& out) const {
    uint32_t a = 0, b = 0;
    if (!U16(at, a) || !U16(at + 2, b)) return false;
    out = m_big ? (a << 16 | b) : (b << 16 | a);
    return true;
}

bool ExifResolution(const uint8_t* data, size_t size, double& x_dpi, double& y_dpi) {
    TiffView tiff(data, size);
    uint32_t ifd = 0, count = 0;
    if (!tiff.Init() || !tiff.U32(4, ifd) || !tiff.U16(ifd, count)) return false;
    double x = 0, y = 0;
    uint32_t unit = 2;  // inches unless the file says otherwise
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t entry = uint64_t{ifd} + 2 + uint64_t{i} * 12;
        uint32_t tag = 0, type = 0, value = 0;
        if (!tiff.U16(entry, tag) || !tiff.U16(entry + 2, type)) return false;
        if (tag == 0x0128 && type == 3 && tiff.U16(entry + 8, value)) unit = value;
        if ((tag == 0x011A || tag == 0x011B) && type == 5 && tiff.U32(entry + 8, value)) {
            uint32_t num = 0, den = 0;
            if (!tiff.U32(value, num) || !tiff.U32(uint64_t{value} + 4, den) || den == 0) continue;
            (tag == 0x011A ? x : y) = static_cast<double>(num) / den;
        }
    }
    if (!(x > 0) || !(y > 0) || (unit != 2 && unit != 3)) return false;
    const double factor = unit == 3 ? 2.54 : 1.0;
    x_dpi = x * factor;
    y_dpi = y * factor;
    return true;
}

ThumbnailSearch FindExifThumbnail(const uint8_t* data, size_t size, const uint8_t*& thumb,
                                  size_t& thumb_size) {
    static const uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return ThumbnailSearch::None;
    // The markers before the first scan: FF, code, a two-byte length that counts itself.
    size_t at = 2;
    while (at + 4 <= size) {
        if (data[at] != 0xFF) return ThumbnailSearch::None;
        const uint8_t code = data[at + 1];
        if (code == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (code == 0xDA || code == 0xD9) return ThumbnailSearch::None;
        if (code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {  // markers without a length
            at += 2;
            continue;
        }
        const size_t length = static_cast<size_t>(data[at + 2]) << 8 | data[at + 3];
        if (length < 2 || length > size - at - 2) return ThumbnailSearch::None;
        const uint8_t* body = data + at + 4;
        const size_t body_size = length - 2;
        if (code == 0xE1 && body_size >= 6 && std::memcmp(body, kExif, 6) == 0) {
            TiffView tiff(body + 6, body_size - 6);
            uint32_t ifd0 = 0;
            if (!tiff.Init() || !tiff.U32(4, ifd0)) return ThumbnailSearch::None;
            Ifd first, second;
            if (!ReadIfd(tiff, ifd0, first) || first.next == 0) return ThumbnailSearch::None;
            if (first.next == ifd0 || !ReadIfd(tiff, first.next, second)) {
                return ThumbnailSearch::Damaged;
            }
            return JpegOf(tiff, second, thumb, thumb_size);
        }
        at += 2 + length;
    }
    return ThumbnailSearch::None;
}

bool TiffPreviewCandidates(const uint8_t* data, size_t size, uint32_t frame,
                           std::vector<TiffPreviewCandidate>& out) {
    TiffView tiff(data, size);
    uint32_t offset = 0;
    if (!tiff.Init() || !tiff.U32(4, offset)) return false;
    std::vector<uint32_t> seen;
    auto add_jpeg = [&](const Ifd& ifd) {
        TiffPreviewCandidate c;
        c.kind = TiffPreviewCandidate::Kind::Jpeg;
        if (JpegOf(tiff, ifd, c.jpeg, c.jpeg_size) == ThumbnailSearch::Found) out.push_back(c);
    };
    bool in_page = false;
    for (uint32_t index = 0; offset != 0 && index < kMaxChain; ++index) {
        if (std::find(seen.begin(), seen.end(), offset) != seen.end()) break;  // a loop
        seen.push_back(offset);
        Ifd ifd;
        if (!ReadIfd(tiff, offset, ifd)) return index > frame;
        if (index == frame) {
            in_page = true;
            for (uint32_t sub : ifd.sub_ifds) {
                Ifd child;
                if (!ReadIfd(tiff, sub, child) || !(child.subfile & 1)) continue;
                if (child.has_jpeg) {
                    add_jpeg(child);
                    continue;
                }
                if (child.width == 0 || child.height == 0) continue;
                TiffPreviewCandidate c;
                c.kind = TiffPreviewCandidate::Kind::SubIfd;
                c.ifd = sub;
                c.width = child.width;
                c.height = child.height;
                out.push_back(c);
            }
        } else if (in_page) {
            // What follows the page up to the next full page belongs to it: reduced pages,
            // and thumbnail directories of EXIF's kind (a JPEG marked reduced, or with no size
            // of its own; a full page of old-style JPEG has one).
            if (ifd.has_jpeg && ((ifd.subfile & 1) || ifd.width == 0)) {
                add_jpeg(ifd);
            } else if (!(ifd.subfile & 1)) {
                break;
            } else if (ifd.width != 0 && ifd.height != 0) {
                TiffPreviewCandidate c;
                c.kind = TiffPreviewCandidate::Kind::Page;
                c.page = index;
                c.width = ifd.width;
                c.height = ifd.height;
                out.push_back(c);
            }
        }
        offset = ifd.next;
    }
    return in_page;
}

bool SmallestQualifying(std::vector<TiffPreviewCandidate>& candidates, const CodecBackend* jpeg,
                        TiffPreviewCandidate& chosen) {
    bool found = false;
    uint64_t best = 0;
    for (TiffPreviewCandidate& c : candidates) {
        if (c.kind == TiffPreviewCandidate::Kind::Jpeg) {
            PictureHeader header;
            if (!jpeg ||
                jpeg->ReadHeader(c.jpeg, c.jpeg_size, DecodeRequest{}, header) != CodecStatus::Ok) {
                continue;
            }
            c.width = header.width;
            c.height = header.height;
        }
        if (!QualifiesAsPreview(c.width, c.height)) continue;
        const uint64_t area = uint64_t{c.width} * c.height;
        if (!found || area < best) {
            found = true;
            best = area;
            chosen = c;
        }
    }
    return found;
}
