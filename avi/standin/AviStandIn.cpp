// The AVIFile stand-in. Files are mapped whole for as long as an object refers to them; the
// structure comes from AviRiff, the key frames from the file's index, and frames are decoded by
// FFmpeg from the key frame at or before them.
#include "AviStandIn.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "AviRiff.h"
#include "ByteReader.h"
#include "Checked.h"
#include "Decoder.h"
#include "DibConvert.h"
#include "DibHelpers.h"
#include "platform/platform.h"

struct AviStandInFile {
    ULONG refs = 1;
    platform::FileView view;
    avi::Contents contents;
    std::string base_name;  // the file's name without its folder, for stream names
};

struct AviStandInStream {
    ULONG refs = 1;
    AviStandInFile* file = nullptr;
    const avi::Stream* stream = nullptr;
};

namespace {

constexpr LONG kRecordFileInfo = sizeof(AVIFILEINFOW);
constexpr LONG kRecordStreamInfo = sizeof(AVISTREAMINFOW);
// What avifil32 reports as the capabilities of a file and of its streams.
constexpr DWORD kCaps = AVIFILECAPS_CANREAD | AVIFILECAPS_CANWRITE;

void AddRef(AviStandInFile* f) { ++f->refs; }

// Copies ANSI-range text into a record's UTF-16 field, NUL-terminated, cut to fit.
void CopyName(const std::string& text, WCHAR* out, size_t capacity) {
    size_t n = 0;
    for (; n + 1 < capacity && n < text.size(); ++n) {
        out[n] = static_cast<WCHAR>(static_cast<uint8_t>(text[n]));
    }
    out[n] = 0;
}

bool IsVideo(const avi::Stream& s) {
    return s.header.type == streamtypeVIDEO && s.format.size() >= kInfoHeaderSize;
}

// The BITMAPINFOHEADER of a video stream's format.
BITMAPINFOHEADER FormatHeader(const avi::Stream& s) {
    BITMAPINFOHEADER h{};
    std::memcpy(&h, s.format.data(), sizeof h);
    return h;
}

// Colour-table entries that follow a format's header: biClrUsed, else 2^bits up to 8 bits.
uint32_t PaletteEntries(const BITMAPINFOHEADER& h) {
    if (h.biClrUsed != 0) return std::min<uint32_t>(h.biClrUsed, 256);
    return h.biBitCount <= 8 && h.biBitCount > 0 ? 1u << h.biBitCount : 0;
}

// Where a format's colour table starts. Writers disagree on biSize: some count the codec data
// that follows the 40-byte header in it and put the colour table at the end of the format, as
// libavformat reads it; a table that fits after biSize is taken from there.
size_t PaletteOffset(const BITMAPINFOHEADER& h, size_t format_size, size_t table_bytes) {
    if (h.biSize >= kInfoHeaderSize && h.biSize <= format_size &&
        table_bytes <= format_size - h.biSize) {
        return h.biSize;
    }
    if (format_size >= kInfoHeaderSize + table_bytes) return format_size - table_bytes;
    return kInfoHeaderSize;
}

bool IsUncompressed(const BITMAPINFOHEADER& h) {
    return h.biCompression == BI_RGB || h.biCompression == BI_BITFIELDS ||
           h.biCompression == FourCC('D', 'I', 'B', ' ');
}

// A file without index flags no key frames. Its first chunk is one; every chunk is one when
// the codec codes each frame alone (uncompressed, MJPEG, DV, HuffYUV...). Other streams are
// decoded from their first frame.
void FlagKeyFramesWithoutIndex(avi::Contents& contents) {
    for (avi::Stream& s : contents.streams) {
        if (s.chunks.empty()) continue;
        bool all = s.header.type != streamtypeVIDEO;
        if (IsVideo(s)) {
            const BITMAPINFOHEADER h = FormatHeader(s);
            AVCodecID id = video::CodecForFourcc(h.biCompression);
            if (id == AV_CODEC_ID_NONE) id = video::CodecForFourcc(s.header.handler);
            const AVCodecDescriptor* d = avcodec_descriptor_get(id);
            all = IsUncompressed(h) || (d && (d->props & AV_CODEC_PROP_INTRA_ONLY));
        }
        for (avi::Chunk& c : s.chunks) c.key = all;
        s.chunks.front().key = true;
    }
}

// Rounds a * b / c to the nearest integer, as the interface's arithmetic does; 0 for c == 0.
uint64_t MulDivRound(uint64_t a, uint64_t b, uint64_t c) {
    if (c == 0) return 0;
    uint64_t p = 0;
    if (!CheckedMul(a, b, p)) return UINT32_MAX;
    return (p + c / 2) / c;
}

// The stream's rectangle: its header's, or for a video stream whose header leaves it empty,
// the size of its format.
RECT StreamFrame(const avi::Stream& s) {
    const avi::StreamHeader& h = s.header;
    RECT r{h.frame_left, h.frame_top, h.frame_right, h.frame_bottom};
    if (r.right <= r.left && r.bottom <= r.top && IsVideo(s)) {
        const BITMAPINFOHEADER b = FormatHeader(s);
        r = RECT{0, 0, b.biWidth, b.biHeight < 0 ? -b.biHeight : b.biHeight};
    }
    return r;
}

// The suggested buffer: the largest chunk of the index, 0 without one (the interface sizes
// buffers from what it has read, not from the header).
DWORD StreamBuffer(const avi::Contents& contents, const avi::Stream& s) {
    if (contents.index == avi::IndexSource::None) return 0;
    DWORD largest = 0;
    for (const avi::Chunk& c : s.chunks) largest = std::max<DWORD>(largest, c.size);
    return largest;
}

// The file's record follows its streams, as avifil32 fills it: the largest frame, the largest
// buffer, the data rate of all streams together, and the rate and length of the stream that
// lasts longest (the first of equals). The main header gives only the flags.
void FillFileInfo(const AviStandInFile& f, AVIFILEINFOW& info) {
    info = AVIFILEINFOW{};
    info.dwFlags = f.contents.main.flags;
    info.dwCaps = kCaps;
    info.dwStreams = static_cast<DWORD>(f.contents.streams.size());
    long double longest = -1;
    for (const avi::Stream& s : f.contents.streams) {
        const avi::StreamHeader& h = s.header;
        const DWORD buffer = StreamBuffer(f.contents, s);
        info.dwSuggestedBufferSize = std::max(info.dwSuggestedBufferSize, buffer);
        const uint64_t bytes = MulDivRound(h.sample_size ? h.sample_size : buffer, h.rate, h.scale);
        info.dwMaxBytesPerSec = static_cast<DWORD>(
            std::min<uint64_t>(UINT32_MAX, uint64_t{info.dwMaxBytesPerSec} + bytes));
        const RECT r = StreamFrame(s);
        if (r.right > r.left) info.dwWidth = std::max<DWORD>(info.dwWidth, static_cast<DWORD>(r.right - r.left));
        if (r.bottom > r.top) info.dwHeight = std::max<DWORD>(info.dwHeight, static_cast<DWORD>(r.bottom - r.top));
        const long double seconds =
            h.rate ? static_cast<long double>(h.length) * h.scale / h.rate : 0;
        if (seconds > longest) {
            longest = seconds;
            info.dwScale = h.scale;
            info.dwRate = h.rate;
            info.dwLength = h.length;
        }
    }
    CopyName("AVI file", info.szFileType, 64);
}

// Streams without a name are called after the file, their kind and their number among the
// streams of that kind.
void FillStreamInfo(const AviStandInFile& f, const avi::Stream& s, AVISTREAMINFOW& info) {
    const avi::StreamHeader& h = s.header;
    info = AVISTREAMINFOW{};
    info.fccType = h.type;
    info.fccHandler = h.handler;
    if (h.handler == 0 && IsVideo(s) && IsUncompressed(FormatHeader(s))) {
        info.fccHandler = FourCC('D', 'I', 'B', ' ');
    }
    info.dwFlags = h.flags;
    info.dwCaps = kCaps;
    info.wPriority = h.priority;
    info.wLanguage = h.language;
    info.dwScale = h.scale;
    info.dwRate = h.rate;
    info.dwStart = h.start;
    info.dwLength = h.length;
    info.dwInitialFrames = h.initial_frames;
    info.dwSuggestedBufferSize = StreamBuffer(f.contents, s);
    info.dwQuality = h.quality;
    info.dwSampleSize = h.sample_size;
    info.rcFrame = StreamFrame(s);
    std::string name = s.name;
    if (name.empty()) {
        int ordinal = 0;
        for (const avi::Stream& other : f.contents.streams) {
            if (&other == &s) break;
            if (other.header.type == h.type) ++ordinal;
        }
        // Kinds other than video and audio go by their four characters ("txts").
        std::string kind;
        for (int i = 0; i < 4; ++i) kind += static_cast<char>((h.type >> (8 * i)) & 0xFF);
        if (h.type == streamtypeVIDEO) kind = "video";
        if (h.type == streamtypeAUDIO) kind = "audio";
        name = f.base_name + " " + kind + " #" + std::to_string(ordinal);
    }
    CopyName(name, info.szName, 64);
}

}  // namespace

// One frame getter: either the stored bits of an uncompressed stream with its own header, or a
// decoder whose frames are converted into the default output format. AVIStreamGetFrameOpen and
// AVIStreamGetFrame answer with a pointer alone, as the system's functions do, so why video/
// failed (memory or data) ends here: the interface has no code to carry it.
struct AviStandInGetFrame {
    AviStandInStream* stream = nullptr;
    bool raw = false;
    video::Decoder decoder;
    video::FrameConverter converter;
    video::DibLayout layout = video::DibLayout::Bgr24;
    int palette_entries = 0;
    std::vector<uint8_t> palette;  // AV_PKT_DATA_PALETTE words, for 8-bit and RLE streams
    std::vector<uint8_t> head;     // the header and colour table of raw output
    std::vector<uint8_t> output;   // the packed DIB handed out
    // The decoder's position: the last chunk fed since the last key frame, -1 when none.
    int64_t last_fed = -1;
    int64_t last_output = -1;  // the chunk whose frame `output` holds
    video::FramePtr last_frame;

    const avi::Stream& Stream() const { return *stream->stream; }
    const uint8_t* File() const { return stream->file->view.Data(); }

    bool OpenDecoder(const BITMAPINFOHEADER& h);
    LPVOID Raw(size_t chunk);
    LPVOID Decode(size_t chunk);
    bool Feed(size_t chunk, bool first, std::vector<video::FramePtr>& frames);
};

bool AviStandInGetFrame::OpenDecoder(const BITMAPINFOHEADER& h) {
    const avi::Stream& s = Stream();
    video::CodecSetup setup;
    setup.codec_tag = h.biCompression;
    setup.codec_id = video::CodecForFourcc(h.biCompression);
    if (setup.codec_id == AV_CODEC_ID_NONE) setup.codec_id = video::CodecForFourcc(s.header.handler);
    if (setup.codec_id == AV_CODEC_ID_NONE) return false;
    if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN) return false;
    setup.width = h.biWidth;
    setup.height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    setup.bits_per_coded_sample = h.biBitCount;
    // Codec data follows the 40-byte header, as libavformat passes it on.
    setup.extradata.assign(s.format.begin() + kInfoHeaderSize, s.format.end());
    const uint32_t entries = PaletteEntries(h);
    if (h.biBitCount <= 8 && entries > 0) {
        // The colour table holds RGBQUADs; decoders take it as 0xAARRGGBB words.
        const size_t at = PaletteOffset(h, s.format.size(), 4 * entries);
        palette.assign(AVPALETTE_SIZE, 0);
        for (uint32_t i = 0; i < entries && at + 4 * (i + 1) <= s.format.size(); ++i) {
            const uint32_t rgb = ByteReader::LoadU32LE(&s.format[at + 4 * i]) & 0xFFFFFF;
            ByteReader::StoreU32LE(&palette[4 * i], rgb | 0xFF000000u);
        }
        // The colour table is no codec data: the decoders that would read extradata as a
        // palette get the same colours with the first packet.
        if (setup.codec_id == AV_CODEC_ID_MSRLE || setup.codec_id == AV_CODEC_ID_MSVIDEO1 ||
            setup.codec_id == AV_CODEC_ID_CINEPAK || setup.codec_id == AV_CODEC_ID_RAWVIDEO) {
            setup.extradata.clear();
        }
        palette_entries = static_cast<int>(entries);
    }
    if (decoder.Open(setup) != video::Status::Ok) return false;
    const AVPixelFormat out = decoder.Context()->pix_fmt;
    if (setup.codec_id == AV_CODEC_ID_MSVIDEO1 && h.biBitCount == 16) {
        layout = video::DibLayout::Rgb555;
    } else if (out == AV_PIX_FMT_PAL8 && h.biBitCount <= 8) {
        layout = video::DibLayout::Pal8;
    } else {
        layout = video::DibLayout::Bgr24;
    }
    return true;
}

LPVOID AviStandInGetFrame::Raw(size_t chunk) {
    const avi::Chunk& c = Stream().chunks[chunk];
    if (!c.present) return nullptr;
    const BITMAPINFOHEADER& h = *reinterpret_cast<const BITMAPINFOHEADER*>(head.data());
    const uint32_t image = h.biSizeImage;
    try {
        output.assign(head.size() + image, 0);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    std::memcpy(output.data(), head.data(), head.size());
    std::memcpy(output.data() + head.size(), File() + c.offset, std::min<size_t>(c.size, image));
    last_output = static_cast<int64_t>(chunk);
    return output.data();
}

bool AviStandInGetFrame::Feed(size_t chunk, bool first, std::vector<video::FramePtr>& frames) {
    const avi::Chunk& c = Stream().chunks[chunk];
    last_fed = static_cast<int64_t>(chunk);
    // An empty chunk repeats the frame before it; one outside the file has nothing to decode.
    if (c.size == 0 || !c.present) return true;
    video::PacketPtr packet = video::MakePacket();
    if (!packet || av_new_packet(packet.get(), static_cast<int>(c.size)) < 0) return false;
    std::memcpy(packet->data, File() + c.offset, c.size);
    packet->pts = packet->dts = static_cast<int64_t>(chunk);
    if (c.key) packet->flags |= AV_PKT_FLAG_KEY;
    if (first && !palette.empty()) {
        uint8_t* side = av_packet_new_side_data(packet.get(), AV_PKT_DATA_PALETTE, AVPALETTE_SIZE);
        if (!side) return false;
        std::memcpy(side, palette.data(), AVPALETTE_SIZE);
    }
    return decoder.Decode(packet.get(), frames) == video::Status::Ok;
}

LPVOID AviStandInGetFrame::Decode(size_t chunk) {
    const std::vector<avi::Chunk>& chunks = Stream().chunks;
    if (last_output == static_cast<int64_t>(chunk) && !output.empty()) return output.data();
    // Decoding starts at the key frame at or before the chunk; a file whose index flags none
    // is decoded from its first chunk.
    size_t key = chunk;
    while (key > 0 && !chunks[key].key) --key;
    size_t from = key;
    bool first = true;
    if (last_fed >= static_cast<int64_t>(key) && last_fed < static_cast<int64_t>(chunk)) {
        from = static_cast<size_t>(last_fed) + 1;  // carry on from the frame decoded last
        first = false;
    } else {
        decoder.Flush();
        last_frame.reset();
    }
    std::vector<video::FramePtr> frames;
    auto keep = [&] {
        for (video::FramePtr& f : frames) {
            if (f->pts <= static_cast<int64_t>(chunk) &&
                (!last_frame || f->pts >= last_frame->pts)) {
                last_frame = std::move(f);
            }
        }
        frames.clear();
    };
    for (size_t i = from; i <= chunk; ++i) {
        if (!Feed(i, first && i == from, frames)) return nullptr;
        keep();
    }
    // A decoder that holds frames back (B-frames) gives the rest when drained; it then needs a
    // fresh start.
    int64_t wanted = static_cast<int64_t>(chunk);
    while (wanted > static_cast<int64_t>(key) && chunks[static_cast<size_t>(wanted)].size == 0) {
        --wanted;
    }
    if (!last_frame || last_frame->pts < wanted) {
        if (decoder.Decode(nullptr, frames) != video::Status::Ok) return nullptr;
        keep();
        last_fed = -1;
    }
    if (!last_frame) return nullptr;
    if (converter.ToPackedDib(last_frame.get(), layout, palette_entries, output) !=
        video::Status::Ok) {
        return nullptr;
    }
    last_output = static_cast<int64_t>(chunk);
    return output.data();
}

HRESULT AVIFileOpenW(PAVIFILE* file, LPCWSTR name, UINT mode, LPCLSID handler) {
    if (!file) return AVIERR_BADPARAM;
    *file = nullptr;
    if (!name) return AVIERR_BADPARAM;
    if (mode != OF_READ || handler) return AVIERR_UNSUPPORTED;
    // As the system's function, this one reports a shortage of memory as a code: nothing it
    // took (the file object, the view) outlives a failure.
    try {
        std::unique_ptr<AviStandInFile> f(new AviStandInFile);
        if (!f->view.Open(name)) return AVIERR_FILEOPEN;
        if (!FitsSizeT(f->view.Size()) ||
            avi::ParseAvi(f->view.Data(), static_cast<size_t>(f->view.Size()), f->contents) !=
                avi::ParseStatus::Ok) {
            return AVIERR_BADFORMAT;
        }
        if (f->contents.index == avi::IndexSource::None) FlagKeyFramesWithoutIndex(f->contents);
        const std::string native = platform::WideToNative(name);
        const size_t slash = native.find_last_of("/\\");
        f->base_name = slash == std::string::npos ? native : native.substr(slash + 1);
        *file = f.release();
        return AVIERR_OK;
    } catch (const std::bad_alloc&) {
        return AVIERR_MEMORY;
    }
}

HRESULT AVIFileInfoW(PAVIFILE file, AVIFILEINFOW* info, LONG size) {
    if (!file) return AVIERR_BADHANDLE;
    if (!info) return AVIERR_BADPARAM;
    if (size < 0) return AVIERR_BADSIZE;
    AVIFILEINFOW full;
    FillFileInfo(*file, full);
    std::memcpy(info, &full, static_cast<size_t>(std::min(size, kRecordFileInfo)));
    return size < kRecordFileInfo ? AVIERR_BUFFERTOOSMALL : AVIERR_OK;
}

HRESULT AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, DWORD type, LONG number) {
    if (!stream) return AVIERR_BADPARAM;
    *stream = nullptr;
    if (!file) return AVIERR_BADHANDLE;
    if (number < 0) return AVIERR_NODATA;
    LONG seen = 0;
    for (const avi::Stream& s : file->contents.streams) {
        if (type != 0 && s.header.type != type) continue;
        if (seen++ != number) continue;
        auto* st = new (std::nothrow) AviStandInStream;
        if (!st) return AVIERR_MEMORY;
        st->file = file;
        st->stream = &s;
        AddRef(file);
        *stream = st;
        return AVIERR_OK;
    }
    return AVIERR_NODATA;
}

HRESULT AVIStreamInfoW(PAVISTREAM stream, AVISTREAMINFOW* info, LONG size) {
    if (!stream) return AVIERR_BADHANDLE;
    if (!info) return AVIERR_BADPARAM;
    if (size < 0) return AVIERR_BADSIZE;
    AVISTREAMINFOW full;
    FillStreamInfo(*stream->file, *stream->stream, full);
    std::memcpy(info, &full, static_cast<size_t>(std::min(size, kRecordStreamInfo)));
    return size < kRecordStreamInfo ? AVIERR_BUFFERTOOSMALL : AVIERR_OK;
}

PGETFRAME AVIStreamGetFrameOpen(PAVISTREAM stream, LPBITMAPINFOHEADER wanted) {
    if (!stream || wanted || !IsVideo(*stream->stream)) return nullptr;
    const avi::Stream& s = *stream->stream;
    const BITMAPINFOHEADER h = FormatHeader(s);
    auto* g = new (std::nothrow) AviStandInGetFrame;
    if (!g) return nullptr;
    g->stream = stream;
    ++stream->refs;
    bool ok = false;
    try {
        if (IsUncompressed(h)) {
            // The stored bits come out as they are, under the stream's own header and colour
            // table (or masks); only the image size is filled in when the header leaves it 0.
            uint64_t stride = 0, image = 0;
            const uint64_t rows = h.biHeight < 0 ? -static_cast<int64_t>(h.biHeight)
                                                 : static_cast<int64_t>(h.biHeight);
            const uint64_t table =
                4ull * PaletteEntries(h) + (h.biCompression == BI_BITFIELDS ? 12 : 0);
            ok = h.biWidth > 0 && rows > 0 && h.biBitCount > 0 &&
                 DibStrideFor(h.biBitCount, static_cast<uint32_t>(h.biWidth), stride) &&
                 CheckedMul(stride, rows, image) && image <= (uint64_t{1} << 30);
            if (ok) {
                g->raw = true;
                g->head.assign(kInfoHeaderSize + table, 0);
                // The stream's own header, as avifil32 hands it on (biPlanes and the densities
                // as stored: it is no new header, so not the framework's writer), made to
                // describe exactly the block that follows it.
                std::memcpy(g->head.data(), s.format.data(), kInfoHeaderSize);
                const size_t from = PaletteOffset(h, s.format.size(), table);
                std::memcpy(g->head.data() + kInfoHeaderSize, s.format.data() + from,
                            std::min<size_t>(table, s.format.size() - from));
                auto* out = reinterpret_cast<BITMAPINFOHEADER*>(g->head.data());
                out->biSize = kInfoHeaderSize;
                out->biSizeImage = static_cast<DWORD>(image);
                out->biClrUsed = PaletteEntries(h);
                if (h.biCompression != BI_BITFIELDS) out->biCompression = BI_RGB;
            }
        } else {
            ok = g->OpenDecoder(h);
        }
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (!ok) {
        AVIStreamGetFrameClose(g);
        return nullptr;
    }
    return g;
}

LONG AVIStreamLength(PAVISTREAM stream) {
    return stream ? static_cast<LONG>(stream->stream->header.length) : -1;
}

LONG AVIStreamStart(PAVISTREAM stream) {
    return stream ? static_cast<LONG>(stream->stream->header.start) : -1;
}

LONG AVIStreamFindSample(PAVISTREAM stream, LONG position, LONG flags) {
    if (!stream) return -1;
    const avi::Stream& s = *stream->stream;
    const int64_t start = s.header.start;
    const int64_t count = static_cast<int64_t>(s.chunks.size());
    const int64_t length = std::min<int64_t>(s.header.length, count);
    const bool prev = (flags & FIND_PREV) != 0;
    int64_t i = static_cast<int64_t>(position) - start;
    if (flags & FIND_FROM_START) i = 0;
    if (prev && i >= length) i = length - 1;
    if (i < 0) {
        if (prev) return -1;
        i = 0;
    }
    auto matches = [&](int64_t k) {
        const avi::Chunk& c = s.chunks[static_cast<size_t>(k)];
        if (flags & FIND_KEY) return c.key;
        if (flags & FIND_FORMAT) return k == 0;
        return c.size != 0;  // FIND_ANY: a sample with data
    };
    for (; i >= 0 && i < length; i += prev ? -1 : 1) {
        if (!matches(i)) continue;
        const avi::Chunk& c = s.chunks[static_cast<size_t>(i)];
        switch (flags & FIND_RET) {
            case FIND_SIZE:
                return static_cast<LONG>(c.size);
            case FIND_OFFSET:
                return static_cast<LONG>(std::min<uint64_t>(c.offset, INT32_MAX));
            default:
                return static_cast<LONG>(i + start);
        }
    }
    return -1;
}

LPVOID AVIStreamGetFrame(PGETFRAME getter, LONG position) {
    if (!getter) return nullptr;
    const avi::Stream& s = getter->Stream();
    const int64_t i = static_cast<int64_t>(position) - s.header.start;
    const int64_t count = std::min<int64_t>(static_cast<int64_t>(s.chunks.size()), s.header.length);
    if (i < 0 || i >= count) return nullptr;
    try {
        if (!getter->raw) return getter->Decode(static_cast<size_t>(i));
        // A dropped frame (an empty chunk) shows the frame before it.
        int64_t k = i;
        while (k > 0 && s.chunks[static_cast<size_t>(k)].size == 0) --k;
        return getter->Raw(static_cast<size_t>(k));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

HRESULT AVIStreamGetFrameClose(PGETFRAME getter) {
    if (!getter) return AVIERR_BADHANDLE;
    AviStandInStream* stream = getter->stream;
    delete getter;
    AVIStreamRelease(stream);
    return AVIERR_OK;
}

ULONG AVIStreamRelease(PAVISTREAM stream) {
    if (!stream) return 0;
    const ULONG left = --stream->refs;
    if (left == 0) {
        AVIFileRelease(stream->file);
        delete stream;
    }
    return left;
}

ULONG AVIFileRelease(PAVIFILE file) {
    if (!file) return 0;
    const ULONG left = --file->refs;
    if (left == 0) delete file;
    return left;
}
