#include "PictureMetadata.h"

#include <algorithm>
#include <cstring>

#include "ByteReader.h"
#include "CodecTypes.h"
#include "ColourManage.h"
#include "IsoBoxes.h"
#include "TiffStructure.h"

#ifdef ZEM_CODEC_ZLIB
#include <zlib.h>
#endif

namespace {

constexpr uint32_t kOrientationTag = 0x0112;
constexpr uint32_t kIccTag = 34675;
constexpr uint32_t kMaxPages = 1024;
constexpr size_t kMaxIcc = size_t{64} << 20;  // larger profiles are not believed

uint8_t ValidOrientation(uint32_t value) {
    return value >= 1 && value <= 8 ? static_cast<uint8_t>(value) : 0;
}

// One entry of the directory at `ifd` with the tag, or false.
bool FindEntry(const TiffView& tiff, uint64_t ifd, uint32_t wanted, uint64_t& entry) {
    uint32_t count = 0;
    if (ifd == 0 || !tiff.U16(ifd, count)) return false;
    for (uint32_t i = 0; i < count && i < 4096; ++i) {
        const uint64_t at = ifd + 2 + uint64_t{i} * 12;
        uint32_t tag = 0;
        if (!tiff.U16(at, tag)) return false;
        if (tag == wanted) {
            entry = at;
            return true;
        }
    }
    return false;
}

uint8_t OrientationOf(const TiffView& tiff, uint64_t ifd) {
    uint64_t entry = 0;
    uint32_t type = 0, value = 0;
    if (!FindEntry(tiff, ifd, kOrientationTag, entry) || !tiff.U16(entry + 2, type)) return 0;
    if (type == 3 && tiff.U16(entry + 8, value)) return ValidOrientation(value);
    if (type == 4 && tiff.U32(entry + 8, value)) return ValidOrientation(value);
    return 0;
}

void IccOf(const TiffView& tiff, uint64_t ifd, std::vector<uint8_t>& out) {
    uint64_t entry = 0;
    uint32_t type = 0, count = 0, offset = 0;
    if (!FindEntry(tiff, ifd, kIccTag, entry) || !tiff.U16(entry + 2, type) ||
        !tiff.U32(entry + 4, count) || (type != 7 && type != 1) || count <= 4 ||
        !tiff.U32(entry + 8, offset)) {
        return;
    }
    if (offset > tiff.Size() || count > tiff.Size() - offset) return;
    out.assign(tiff.Data() + offset, tiff.Data() + offset + count);
}

void ReadTiff(const uint8_t* data, size_t size, int32_t frame, bool want_icc,
              PictureMetadata& out) {
    TiffView tiff(data, size);
    uint32_t ifd = 0;
    if (!tiff.Init() || !tiff.U32(4, ifd) || frame < 0) return;
    std::vector<uint32_t> seen;
    for (int32_t page = 0; page < frame; ++page) {
        uint32_t count = 0;
        if (seen.size() >= kMaxPages || std::find(seen.begin(), seen.end(), ifd) != seen.end() ||
            !tiff.U16(ifd, count) || !tiff.U32(ifd + 2 + uint64_t{count} * 12, ifd) || ifd == 0) {
            return;
        }
        seen.push_back(ifd);
    }
    out.orientation = OrientationOf(tiff, ifd);
    if (want_icc) IccOf(tiff, ifd, out.icc);
}

// JPEG: APP1 "Exif" for the orientation, APP2 "ICC_PROFILE" chunks (numbered 1..n) for the
// profile, all before the first scan.
void ReadJpeg(const uint8_t* data, size_t size, bool want_icc, PictureMetadata& out) {
    static const uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    static const char kIcc[12] = "ICC_PROFILE";
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return;
    std::vector<std::pair<const uint8_t*, size_t>> chunks;
    uint32_t chunk_total = 0;
    bool exif_seen = false;
    size_t at = 2;
    while (at + 4 <= size) {
        if (data[at] != 0xFF) break;
        const uint8_t code = data[at + 1];
        if (code == 0xFF) {
            ++at;
            continue;
        }
        if (code == 0xDA || code == 0xD9) break;
        if (code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {
            at += 2;
            continue;
        }
        const size_t length = static_cast<size_t>(data[at + 2]) << 8 | data[at + 3];
        if (length < 2 || length > size - at - 2) break;
        const uint8_t* body = data + at + 4;
        const size_t body_size = length - 2;
        if (code == 0xE1 && !exif_seen && body_size >= 6 && std::memcmp(body, kExif, 6) == 0) {
            exif_seen = true;
            out.orientation = ExifOrientation(body + 6, body_size - 6);
        } else if (code == 0xE2 && want_icc && body_size > 14 && std::memcmp(body, kIcc, 12) == 0) {
            const uint32_t seq = body[12], total = body[13];
            if (seq == 0 || total == 0 || (chunk_total != 0 && total != chunk_total)) {
                chunks.clear();
                chunk_total = 0xFFFFFFFFu;  // inconsistent numbering: no profile
            } else if (chunk_total != 0xFFFFFFFFu) {
                chunk_total = total;
                if (chunks.size() < total) chunks.resize(total);
                if (seq <= total && !chunks[seq - 1].first) {
                    chunks[seq - 1] = {body + 14, body_size - 14};
                }
            }
        }
        at += 2 + length;
    }
    if (!want_icc || chunks.empty() || chunk_total == 0xFFFFFFFFu) return;
    size_t total = 0;
    for (const auto& c : chunks) {
        if (!c.first) return;  // a chunk is missing
        total += c.second;
    }
    out.icc.reserve(total);
    for (const auto& c : chunks) out.icc.insert(out.icc.end(), c.first, c.first + c.second);
}

#ifdef ZEM_CODEC_ZLIB
// The zlib stream of an iCCP chunk, inflated, up to kMaxIcc.
void InflateIcc(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(std::min<size_t>(size, 0xFFFFFFFFu));
    std::vector<uint8_t> buffer(size_t{1} << 16);
    int status = Z_OK;
    while (status == Z_OK && out.size() < kMaxIcc) {
        z.next_out = buffer.data();
        z.avail_out = static_cast<uInt>(buffer.size());
        status = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buffer.data(), buffer.data() + (buffer.size() - z.avail_out));
    }
    inflateEnd(&z);
    if (status != Z_STREAM_END) out.clear();
}
#endif

// PNG: eXIf for the orientation, iCCP (name, 0, method 0, zlib data) for the profile, cICP for
// a CICP description.
void ReadPng(const uint8_t* data, size_t size, bool want_icc, PictureMetadata& out) {
    if (size < 8 || data[0] != 0x89 || std::memcmp(data + 1, "PNG", 3) != 0) return;
    ByteReader r(data + 8, size - 8);
    uint32_t length = 0, type = 0;
    while (r.ReadU32BE(length) && r.ReadU32BE(type)) {
        ByteReader body;
        if (!r.Take(length, body) || !r.Skip(4)) return;
        const uint8_t* p = body.Position();
        if (type == 0x65584966) {  // eXIf
            // Some writers keep the "Exif\0\0" of the JPEG segment.
            if (length >= 6 && std::memcmp(p, "Exif\0\0", 6) == 0) p += 6, length -= 6;
            out.orientation = ExifOrientation(p, length);
        } else if (type == 0x69434350 && want_icc) {  // iCCP
            const uint8_t* end = static_cast<const uint8_t*>(std::memchr(p, 0, length));
            if (!end || static_cast<size_t>(end - p) + 2 > length || end[1] != 0) continue;
#ifdef ZEM_CODEC_ZLIB
            InflateIcc(end + 2, length - (end + 2 - p), out.icc);
#endif
        } else if (type == 0x63494350 && length == 4) {  // cICP
            out.has_cicp = true;
            std::memcpy(out.cicp, p, 4);
        } else if (type == 0x49454E44) {  // IEND
            return;
        }
    }
}

// WebP: RIFF chunks EXIF and ICCP.
void ReadWebp(const uint8_t* data, size_t size, bool want_icc, PictureMetadata& out) {
    if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WEBP", 4) != 0) {
        return;
    }
    ByteReader r(data + 12, size - 12);
    uint32_t type = 0, length = 0;
    while (r.ReadU32BE(type) && r.ReadU32LE(length)) {
        ByteReader body;
        if (!r.Take(length, body)) return;
        const uint8_t* p = body.Position();
        if (length & 1) (void)r.Skip(1);
        if (type == 0x45584946) {  // EXIF
            if (length >= 6 && std::memcmp(p, "Exif\0\0", 6) == 0) p += 6, length -= 6;
            out.orientation = ExifOrientation(p, length);
        } else if (type == 0x49434350 && want_icc && length > 0) {  // ICCP
            out.icc.assign(p, p + length);
        }
    }
}

// JP2: the first colour box (colr) of the header box decides; later ones are alternatives
// that readers may skip.
// Method 1 names sRGB (16), grey (17) or sYCC (18, which the decoder brings to sRGB): nothing
// to convert; methods 2 and 3 hold an ICC profile. Other enumerated spaces are not converted.
void ReadJp2(const uint8_t* data, size_t size, bool want_icc, PictureMetadata& out) {
    ByteReader jp2h, colr;
    if (!want_icc || !FindBox(ByteReader(data, size), BoxType("jp2h"), jp2h) ||
        !FindBox(jp2h, BoxType("colr"), colr)) {
        return;
    }
    uint8_t method = 0;
    uint32_t space = 0;
    if (!colr.ReadU8(method) || !colr.Skip(2)) return;
    if (method == 1) {
        if (!colr.ReadU32BE(space)) return;
        out.colours_unknown = space != 16 && space != 17 && space != 18;
    } else if ((method == 2 || method == 3) && colr.Remaining() > 0) {
        out.icc.assign(colr.Position(), colr.Position() + colr.Remaining());
    }
}

// PSD and PSB: the ICC profile of image resource 1039, in the resource section after the
// header and the colour mode data.
void ReadPsd(const uint8_t* data, size_t size, bool want_icc, PictureMetadata& out) {
    ByteReader r(data, size);
    uint32_t length = 0;
    ByteReader resources;
    if (!want_icc || size < 26 || std::memcmp(data, "8BPS", 4) != 0 || !r.Skip(26) ||
        !r.ReadU32BE(length) || !r.Skip(length) || !r.ReadU32BE(length) ||
        !r.Take(length, resources)) {
        return;
    }
    ByteReader profile;
    if (FindPsdResource(resources, 1039, profile) && profile.Remaining() > 0) {
        out.icc.assign(profile.Position(), profile.Position() + profile.Remaining());
    }
}

}  // namespace

bool FindPsdResource(ByteReader resources, uint16_t id, ByteReader& found) {
    uint8_t signature[4];
    uint16_t block_id = 0;
    uint8_t name = 0;
    uint32_t length = 0;
    while (resources.ReadBytes(signature, 4) && resources.ReadU16BE(block_id) &&
           resources.ReadU8(name) && resources.Skip(name + ((name & 1) ? 0u : 1u)) &&
           resources.ReadU32BE(length)) {
        ByteReader data;
        if (!resources.Take(length, data)) return false;
        if (block_id == id && std::memcmp(signature, "8BIM", 4) == 0) {
            found = data;
            return true;
        }
        if ((length & 1) && !resources.Skip(1)) return false;
    }
    return false;
}

void ReadHeifColours(const uint8_t* data, size_t size, PictureMetadata& out) {
    ByteReader meta, pitm, iprp, ipco, ipma;
    uint8_t version = 0;
    uint32_t primary = 0, flags = 0, entries = 0;
    uint16_t id16 = 0;
    if (!data || !FindBox(ByteReader(data, size), BoxType("meta"), meta) || !meta.Skip(4) ||
        !FindBox(meta, BoxType("pitm"), pitm) || !FindBox(meta, BoxType("iprp"), iprp) ||
        !FindBox(iprp, BoxType("ipco"), ipco) || !FindBox(iprp, BoxType("ipma"), ipma) ||
        !pitm.ReadU8(version) || !pitm.Skip(3) ||
        !(version == 0 ? pitm.ReadU16BE(id16) : pitm.ReadU32BE(primary))) {
        return;
    }
    if (version == 0) primary = id16;
    // Property associations: item, then indexes into ipco counted from 1 (the top bit of each
    // marks the property essential; flag 1 makes them 15 bits rather than 7).
    if (!ipma.ReadU32BE(flags) || !ipma.ReadU32BE(entries)) return;
    version = static_cast<uint8_t>(flags >> 24);
    ByteReader nclx;
    for (uint32_t e = 0; e < entries; ++e) {
        uint32_t item = 0;
        uint8_t count = 0;
        if (!(version < 1 ? ipma.ReadU16BE(id16) : ipma.ReadU32BE(item)) || !ipma.ReadU8(count)) {
            return;
        }
        if (version < 1) item = id16;
        // Each item has one entry: the others are skipped unread, and the walk ends with the
        // primary's, so that the ipco walk below runs for one entry's indexes at most.
        if (item != primary) {
            if (!ipma.Skip(size_t{count} * ((flags & 1) ? 2 : 1))) return;
            continue;
        }
        for (uint8_t a = 0; a < count; ++a) {
            uint32_t index = 0;
            uint8_t small = 0;
            if (flags & 1) {
                if (!ipma.ReadU16BE(id16)) return;
                index = id16 & 0x7FFFu;
            } else {
                if (!ipma.ReadU8(small)) return;
                index = small & 0x7Fu;
            }
            if (index == 0) continue;
            ByteReader properties = ipco, colr;
            uint32_t type = 0, kind = 0;
            bool found = true;
            for (uint32_t i = 0; i < index && found; ++i) found = NextBox(properties, type, colr);
            if (!found || type != BoxType("colr") || !colr.ReadU32BE(kind)) continue;
            if ((kind == BoxType("prof") || kind == BoxType("rICC")) && colr.Remaining() > 0 &&
                colr.Remaining() <= kMaxIcc) {
                out.icc.assign(colr.Position(), colr.Position() + colr.Remaining());
                return;  // a profile rules over nclx codes, as for the picture read
            }
            if (kind == BoxType("nclx")) nclx = colr;
        }
        break;
    }
    uint16_t primaries = 0, transfer = 0, matrix = 0;
    uint8_t range = 0;
    if (nclx.ReadU16BE(primaries) && nclx.ReadU16BE(transfer) && nclx.ReadU16BE(matrix) &&
        nclx.ReadU8(range)) {
        if (primaries > 255 || transfer > 255 || matrix > 255) {
            out.colours_unknown = true;
            return;
        }
        TakeDecodedCicp(out, static_cast<uint8_t>(primaries), static_cast<uint8_t>(transfer),
                        static_cast<uint8_t>(matrix), range >> 7, true);
    }
}

void TakeDecodedCicp(PictureMetadata& out, uint8_t primaries, uint8_t transfer, uint8_t matrix,
                     uint8_t full_range, bool want_icc) {
    out.has_cicp = true;
    out.cicp[0] = primaries;
    out.cicp[1] = transfer;
    out.cicp[2] = matrix;
    out.cicp[3] = full_range;
    if (!want_icc) return;
    // Codes left unspecified (2) are taken as sRGB's, as viewers take them.
    const uint8_t rgb[4] = {primaries == 2 ? uint8_t{1} : primaries,
                            transfer == 2 ? uint8_t{13} : transfer, 0, 1};
    out.colours_unknown = CicpToProfile(rgb, out.icc) == CicpColours::Unknown;
}

uint8_t ExifOrientation(const uint8_t* data, size_t size) {
    TiffView tiff(data, size);
    uint32_t ifd = 0;
    if (!tiff.Init() || !tiff.U32(4, ifd)) return 0;
    return OrientationOf(tiff, ifd);
}

void ReadPictureMetadata(const uint8_t* data, size_t size, uint32_t type, int32_t frame,
                         bool want_icc, PictureMetadata& out) {
    out = PictureMetadata();
    if (!data) return;
    switch (type) {
        case kTypeJpeg:
            ReadJpeg(data, size, want_icc, out);
            break;
        case kTypeTiff:
            ReadTiff(data, size, frame, want_icc, out);
            break;
        case kTypePng:
            ReadPng(data, size, want_icc, out);
            break;
        case kTypeWebp:
            ReadWebp(data, size, want_icc, out);
            break;
        case kTypeJp2:
            ReadJp2(data, size, want_icc, out);
            break;
        case kTypePsd:
            ReadPsd(data, size, want_icc, out);
            break;
        default:
            break;
    }
    if (out.icc.size() > kMaxIcc) out.icc.clear();
    if (want_icc && out.has_cicp) {
        out.colours_unknown = CicpToProfile(out.cicp, out.icc) == CicpColours::Unknown;
    }
}
