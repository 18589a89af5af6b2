#include "AviRiff.h"

#include <algorithm>

#include "ByteReader.h"

namespace avi {

namespace {

constexpr uint32_t kRiff = FourCC('R', 'I', 'F', 'F');
constexpr uint32_t kList = FourCC('L', 'I', 'S', 'T');
constexpr uint32_t kAvi = FourCC('A', 'V', 'I', ' ');
constexpr uint32_t kAviX = FourCC('A', 'V', 'I', 'X');
constexpr uint32_t kHdrl = FourCC('h', 'd', 'r', 'l');
constexpr uint32_t kStrl = FourCC('s', 't', 'r', 'l');
constexpr uint32_t kMovi = FourCC('m', 'o', 'v', 'i');
constexpr uint32_t kRec = FourCC('r', 'e', 'c', ' ');
constexpr uint32_t kAvih = FourCC('a', 'v', 'i', 'h');
constexpr uint32_t kStrh = FourCC('s', 't', 'r', 'h');
constexpr uint32_t kStrf = FourCC('s', 't', 'r', 'f');
constexpr uint32_t kStrn = FourCC('s', 't', 'r', 'n');
constexpr uint32_t kIndx = FourCC('i', 'n', 'd', 'x');
constexpr uint32_t kIdx1 = FourCC('i', 'd', 'x', '1');
constexpr uint8_t kIndexOfIndexes = 0;  // bIndexType of an OpenDML super index
constexpr uint8_t kIndexOfChunks = 1;   // bIndexType of an OpenDML standard index
constexpr uint32_t kOpenDmlNotKey = 0x80000000u;

uint64_t LoadU64LE(const uint8_t* p) {
    return ByteReader::LoadU32LE(p) | static_cast<uint64_t>(ByteReader::LoadU32LE(p + 4)) << 32;
}

// One RIFF chunk: its id, and its body as far as the data reaches (a file cut short gives a
// shorter body than the header announces).
struct RiffChunk {
    uint32_t id = 0;
    uint64_t body_offset = 0;  // from the start of the file
    ByteReader body;
};

// Walks the chunks of a list body. Each chunk is padded to an even size.
class ChunkWalker {
public:
    ChunkWalker(const uint8_t* file, ByteReader list) : m_file(file), m_list(list) {}

    bool Next(RiffChunk& chunk) {
        uint32_t size = 0;
        if (!m_list.ReadU32LE(chunk.id) || !m_list.ReadU32LE(size)) return false;
        chunk.body_offset = static_cast<uint64_t>(m_list.Position() - m_file);
        const size_t take = std::min<size_t>(size, m_list.Remaining());
        if (!m_list.Take(take, chunk.body)) return false;
        if ((size & 1) && m_list.Remaining() > 0) (void)m_list.Skip(1);
        return true;
    }

private:
    const uint8_t* m_file;
    ByteReader m_list;
};

// The stream number of a chunk id "##xx", or -1.
int StreamNumber(uint32_t id) {
    const int a = static_cast<int>(id & 0xFF) - '0';
    const int b = static_cast<int>((id >> 8) & 0xFF) - '0';
    if (a < 0 || a > 9 || b < 0 || b > 9) return -1;
    return a * 10 + b;
}

bool IsIndexChunk(uint32_t id) {
    return (id & 0xFFFF) == (static_cast<uint32_t>('i') | static_cast<uint32_t>('x') << 8);
}

// Reads the AVIStreamHeader of a strh chunk.
void ReadStreamHeader(ByteReader r, StreamHeader& h) {
    auto u32 = [&](uint32_t& out) { return r.ReadU32LE(out); };
    auto u16 = [&](uint16_t& out) { return r.ReadU16LE(out); };
    auto i16 = [&](int16_t& out) {
        uint16_t u = 0;
        if (!r.ReadU16LE(u)) return false;
        out = static_cast<int16_t>(u);
        return true;
    };
    (void)(u32(h.type) && u32(h.handler) && u32(h.flags) && u16(h.priority) &&
           u16(h.language) && u32(h.initial_frames) && u32(h.scale) && u32(h.rate) &&
           u32(h.start) && u32(h.length) && u32(h.suggested_buffer_size) && u32(h.quality) &&
           u32(h.sample_size) && i16(h.frame_left) && i16(h.frame_top) && i16(h.frame_right) &&
           i16(h.frame_bottom));
}

// Reads the MainAVIHeader of an avih chunk.
bool ReadMainHeader(ByteReader r, MainHeader& h) {
    return r.ReadU32LE(h.micro_sec_per_frame) && r.ReadU32LE(h.max_bytes_per_sec) &&
           r.ReadU32LE(h.padding_granularity) && r.ReadU32LE(h.flags) &&
           r.ReadU32LE(h.total_frames) && r.ReadU32LE(h.initial_frames) &&
           r.ReadU32LE(h.streams) && r.ReadU32LE(h.suggested_buffer_size) &&
           r.ReadU32LE(h.width) && r.ReadU32LE(h.height);
}

struct ParseState {
    const uint8_t* file = nullptr;
    size_t size = 0;
    Contents* out = nullptr;
    std::vector<ByteReader> super_indexes;  // per stream, empty when it has no indx
    std::vector<RiffChunk> movi_lists;      // body_offset points at the "movi" type
    ByteReader idx1;
    bool has_idx1 = false;
    size_t total_chunks = 0;

    bool AddChunk(Stream& s, uint64_t offset, uint32_t size_bytes, bool key) {
        if (total_chunks >= kMaxChunks) return false;
        ++total_chunks;
        Chunk c;
        c.offset = offset;
        c.size = size_bytes;
        c.key = key;
        c.present = offset <= size && size_bytes <= size - offset;
        s.chunks.push_back(c);
        return true;
    }
};

// Reads a strl list: one stream's header, format, name and OpenDML index.
void ParseStreamList(ParseState& st, ByteReader body) {
    if (st.out->streams.size() >= kMaxStreams) return;
    Stream s;
    ByteReader super_index;
    ChunkWalker walker(st.file, body);
    RiffChunk c;
    while (walker.Next(c)) {
        switch (c.id) {
            case kStrh:
                ReadStreamHeader(c.body, s.header);
                break;
            case kStrf:
                s.format.assign(c.body.Position(), c.body.Position() + c.body.Remaining());
                break;
            case kStrn: {
                const char* text = reinterpret_cast<const char*>(c.body.Position());
                s.name.assign(text, std::find(text, text + c.body.Remaining(), '\0'));
                break;
            }
            case kIndx:
                super_index = c.body;
                break;
            default:
                break;
        }
    }
    st.out->streams.push_back(std::move(s));
    st.super_indexes.push_back(super_index);
}

// Reads the hdrl list: the main header and the stream lists.
void ParseHeaderList(ParseState& st, ByteReader body) {
    ChunkWalker walker(st.file, body);
    RiffChunk c;
    while (walker.Next(c)) {
        if (c.id == kAvih) {
            st.out->has_main_header = ReadMainHeader(c.body, st.out->main);
        } else if (c.id == kList) {
            uint32_t type = 0;
            if (c.body.ReadU32LE(type) && type == kStrl) ParseStreamList(st, c.body);
        }
    }
}

// Walks the chunks of one RIFF form (AVI or AVIX) for its lists and index.
void ParseForm(ParseState& st, ByteReader body, bool first) {
    ChunkWalker walker(st.file, body);
    RiffChunk c;
    while (walker.Next(c)) {
        if (c.id == kList) {
            RiffChunk list = c;
            uint32_t type = 0;
            if (!list.body.ReadU32LE(type)) continue;
            if (type == kHdrl && first) {
                ParseHeaderList(st, list.body);
            } else if (type == kMovi) {
                list.body_offset = c.body_offset;
                st.movi_lists.push_back(list);
            }
        } else if (c.id == kIdx1 && first && !st.has_idx1) {
            st.idx1 = c.body;
            st.has_idx1 = true;
        }
    }
}

// Reads the entries of an OpenDML standard index (an ix## chunk, or an indx that indexes
// chunks itself) into the stream.
bool ReadStandardIndex(ParseState& st, Stream& s, ByteReader r) {
    uint16_t longs_per_entry = 0;
    uint8_t sub_type = 0, type = 0;
    uint32_t entries = 0, chunk_id = 0, reserved = 0;
    uint8_t base[8];
    if (!r.ReadU16LE(longs_per_entry) || !r.ReadU8(sub_type) || !r.ReadU8(type) ||
        !r.ReadU32LE(entries) || !r.ReadU32LE(chunk_id) || !r.ReadBytes(base, 8) ||
        !r.ReadU32LE(reserved)) {
        return false;
    }
    if (type != kIndexOfChunks || longs_per_entry < 2) return false;
    const uint64_t base_offset = LoadU64LE(base);
    const size_t entry_size = 4u * longs_per_entry;
    for (uint32_t i = 0; i < entries; ++i) {
        ByteReader e;
        if (!r.Take(entry_size, e)) break;
        uint32_t offset = 0, size_word = 0;
        if (!e.ReadU32LE(offset) || !e.ReadU32LE(size_word)) break;
        if (base_offset > UINT64_MAX - offset) continue;
        if (!st.AddChunk(s, base_offset + offset, size_word & ~kOpenDmlNotKey,
                         (size_word & kOpenDmlNotKey) == 0)) {
            return false;
        }
    }
    return true;
}

// Reads a stream's OpenDML indexes: a super index whose entries point at ix## chunks, or a
// standard index in place. False when the stream has none that can be read.
bool ReadOpenDmlIndex(ParseState& st, Stream& s, ByteReader indx) {
    if (indx.Remaining() < 24) return false;
    const uint8_t* p = indx.Position();
    const uint16_t longs_per_entry = ByteReader::LoadU16LE(p);
    const uint8_t type = p[3];
    if (type == kIndexOfChunks) return ReadStandardIndex(st, s, indx);
    if (type != kIndexOfIndexes || longs_per_entry < 4) return false;
    const uint32_t entries = ByteReader::LoadU32LE(p + 4);
    ByteReader r = indx;
    if (!r.Skip(24)) return false;
    bool any = false;
    for (uint32_t i = 0; i < entries; ++i) {
        ByteReader e;
        if (!r.Take(4u * longs_per_entry, e)) break;
        uint8_t offset_bytes[8];
        uint32_t size = 0;
        if (!e.ReadBytes(offset_bytes, 8) || !e.ReadU32LE(size)) break;
        const uint64_t offset = LoadU64LE(offset_bytes);
        // The entry points at the ix## chunk's header.
        if (offset > st.size || st.size - offset < 8) continue;
        const uint32_t body_size = ByteReader::LoadU32LE(st.file + offset + 4);
        const size_t avail = std::min<uint64_t>(body_size, st.size - offset - 8);
        if (!IsIndexChunk(ByteReader::LoadU32LE(st.file + offset))) continue;
        if (ReadStandardIndex(st, s, ByteReader(st.file + offset + 8, avail))) any = true;
        if (st.total_chunks >= kMaxChunks) break;
    }
    return any;
}

// Reads the idx1 index. Its offsets count from the "movi" type of the first movi list, or, in
// some writers' files, from the start of the file; the first entry tells which.
void ReadIdx1(ParseState& st, const std::vector<bool>& wanted) {
    const uint8_t* entries = st.idx1.Position();
    const size_t count = st.idx1.Remaining() / 16;
    uint64_t base = st.movi_lists.empty() ? 0 : st.movi_lists.front().body_offset;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = entries + 16 * i;
        const uint32_t id = ByteReader::LoadU32LE(e);
        if (ByteReader::LoadU32LE(e + 4) & kIndexList) continue;
        const uint64_t off = ByteReader::LoadU32LE(e + 8);
        auto names = [&](uint64_t at) {
            return at <= st.size && st.size - at >= 4 && ByteReader::LoadU32LE(st.file + at) == id;
        };
        if (!names(base + off) && names(off)) base = 0;
        break;
    }
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = entries + 16 * i;
        const uint32_t id = ByteReader::LoadU32LE(e);
        const uint32_t flags = ByteReader::LoadU32LE(e + 4);
        const int n = StreamNumber(id);
        if ((flags & kIndexList) || n < 0 || static_cast<size_t>(n) >= st.out->streams.size() ||
            !wanted[static_cast<size_t>(n)]) {
            continue;
        }
        const uint64_t data = base + ByteReader::LoadU32LE(e + 8) + 8;
        if (!st.AddChunk(st.out->streams[static_cast<size_t>(n)], data,
                         ByteReader::LoadU32LE(e + 12), (flags & kIndexKeyFrame) != 0)) {
            return;
        }
    }
}

// Finds the data chunks of a movi list (and the rec lists inside it) when there is no index.
void ScanMovi(ParseState& st, ByteReader body, int depth) {
    ChunkWalker walker(st.file, body);
    RiffChunk c;
    while (walker.Next(c)) {
        if (c.id == kList) {
            uint32_t type = 0;
            if (depth < 2 && c.body.ReadU32LE(type) && type == kRec) ScanMovi(st, c.body, depth + 1);
            continue;
        }
        const int n = StreamNumber(c.id);
        if (n < 0 || static_cast<size_t>(n) >= st.out->streams.size()) continue;
        if (!st.AddChunk(st.out->streams[static_cast<size_t>(n)], c.body_offset,
                         static_cast<uint32_t>(c.body.Remaining()), false)) {
            return;
        }
    }
}

}  // namespace

ParseStatus ParseAvi(const uint8_t* data, size_t size, Contents& out) {
    out = Contents();
    if (!data || size < 12 || ByteReader::LoadU32LE(data) != kRiff ||
        ByteReader::LoadU32LE(data + 8) != kAvi) {
        return ParseStatus::NotAvi;
    }
    ParseState st;
    st.file = data;
    st.size = size;
    st.out = &out;
    // The top level: RIFF AVI, then any number of RIFF AVIX forms of an OpenDML file.
    ChunkWalker top(data, ByteReader(data, size));
    RiffChunk form;
    bool first = true;
    while (top.Next(form)) {
        uint32_t type = 0;
        if (form.id != kRiff || !form.body.ReadU32LE(type)) break;
        if (first ? type != kAvi : type != kAviX) break;
        ParseForm(st, form.body, first);
        first = false;
    }
    if (!out.has_main_header || out.streams.empty()) return ParseStatus::Broken;

    // OpenDML indexes reach into the AVIX forms; idx1 covers the first form only, so it serves
    // the streams that have no OpenDML index.
    std::vector<bool> wanted(out.streams.size(), true);
    for (size_t i = 0; i < out.streams.size(); ++i) {
        if (st.super_indexes[i].Remaining() == 0) continue;
        if (ReadOpenDmlIndex(st, out.streams[i], st.super_indexes[i])) {
            wanted[i] = false;
            out.index = IndexSource::OpenDml;
        } else {
            st.total_chunks -= out.streams[i].chunks.size();
            out.streams[i].chunks.clear();
        }
    }
    if (st.has_idx1) {
        ReadIdx1(st, wanted);
        if (out.index == IndexSource::None) out.index = IndexSource::Idx1;
    }
    if (out.index != IndexSource::None) return ParseStatus::Ok;
    for (const RiffChunk& movi : st.movi_lists) {
        ByteReader body = movi.body;
        ScanMovi(st, body, 0);
    }
    return ParseStatus::Ok;
}

}  // namespace avi
