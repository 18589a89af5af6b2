#include "MediaDet.h"

#include <cstring>
#include <new>

#include "DibHelpers.h"
#include "platform/platform.h"

using dshow::SameGuid;

namespace {

// MEDIASUBTYPE_RGB24, the subtype of uncompressed 24-bit video.
constexpr GUID kSubtypeRgb24 = {
    0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};

// The measures of the whole bitmap (header and rows) of a 24-bit frame, or false when it does
// not fit the detector's 32-bit size.
bool BitmapBytes(LONG width, LONG height, NewDibLayout& measures) {
    return width > 0 && height > 0 &&
           PlanNewDib(static_cast<uint64_t>(width), static_cast<uint64_t>(height), 24, 0,
                      measures) &&
           measures.total_size <= INT32_MAX;
}

// The BITMAPINFOHEADER of a bitmap with 24-bit rows, bottom-up (biHeight positive), at `out`:
// a record of the emulated interface or the head of a bitmap, written by the framework's writer.
void WriteBitmapHeader(void* out, LONG width, LONG height, uint32_t compression,
                       uint32_t size_image) {
    InfoHeaderFields fields;
    fields.width = width;
    fields.height = height;
    fields.bit_count = 24;
    fields.compression = compression;
    fields.size_image = size_image;
    WriteInfoHeader(static_cast<uint8_t*>(out), fields);
}

// VFW_E_UNSUPPORTED_STREAM: the system's detector answers it for a stream it has no filter for.
constexpr HRESULT kUnsupportedStream = static_cast<HRESULT>(0x80040265u);

// The one table from video/'s statuses to the detector's results.
HRESULT ResultOf(video::Status status) {
    switch (status) {
        case video::Status::Ok:
            return S_OK;
        case video::Status::NoMemory:
            return E_OUTOFMEMORY;
        case video::Status::Unsupported:
            return kUnsupportedStream;
        case video::Status::Broken:
            return E_FAIL;
    }
    return E_UNEXPECTED;
}

}  // namespace

HRESULT MediaDet::QueryInterface(const IID& iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (SameGuid(iid, dshow::kIidKeyFrames)) {
        AddRef();
        *out = static_cast<IDswKeyFrames*>(this);
        return S_OK;
    }
    if (!SameGuid(iid, dshow::kIidMediaDet) && !SameGuid(iid, dshow::kIidUnknown)) {
        return E_NOINTERFACE;
    }
    AddRef();
    *out = static_cast<IMediaDet*>(this);
    return S_OK;
}

ULONG MediaDet::AddRef() { return ++m_references; }

ULONG MediaDet::Release() {
    const ULONG left = --m_references;
    if (left == 0) delete this;
    return left;
}

const video::StreamFacts* MediaDet::Current() const {
    if (!m_media.IsOpen()) return nullptr;
    const auto& streams = m_media.Streams();
    if (m_current < 0 || static_cast<size_t>(m_current) >= streams.size()) return nullptr;
    return &streams[static_cast<size_t>(m_current)];
}

HRESULT MediaDet::put_Filename(BSTR name) {
    if (!name) return E_POINTER;
    try {
        m_current = 0;
        m_fileName = name;
        return ResultOf(m_media.Open(platform::WideToNative(m_fileName)));
    } catch (const std::bad_alloc&) {
        m_media.Close();
        return E_OUTOFMEMORY;
    }
}

HRESULT MediaDet::get_Filename(BSTR* name) {
    if (!name) return E_POINTER;
    *name = nullptr;
    if (!m_media.IsOpen()) return S_OK;
    *name = SysAllocString(m_fileName.c_str());
    return *name ? S_OK : E_OUTOFMEMORY;
}

HRESULT MediaDet::get_OutputStreams(LONG* count) {
    if (!count) return E_POINTER;
    *count = 0;
    if (!m_media.IsOpen()) return E_INVALIDARG;
    *count = static_cast<LONG>(m_media.Streams().size());
    return S_OK;
}

HRESULT MediaDet::get_CurrentStream(LONG* index) {
    if (!index) return E_POINTER;
    *index = m_current;
    return S_OK;
}

HRESULT MediaDet::put_CurrentStream(LONG index) {
    if (!m_media.IsOpen()) return E_INVALIDARG;
    if (index < 0 || static_cast<size_t>(index) >= m_media.Streams().size()) return E_INVALIDARG;
    m_current = index;
    return S_OK;
}

HRESULT MediaDet::get_StreamType(GUID* major_type) {
    if (!major_type) return E_POINTER;
    const video::StreamFacts* facts = Current();
    if (!facts) return E_INVALIDARG;
    *major_type = facts->kind == video::StreamKind::Video ? dshow::kMediaTypeVideo
                                                          : dshow::kMediaTypeAudio;
    return S_OK;
}

HRESULT MediaDet::get_StreamTypeB(BSTR* major_type) {
    if (major_type) *major_type = nullptr;
    return E_NOTIMPL;
}

HRESULT MediaDet::get_StreamLength(double* seconds) {
    if (!seconds) return E_POINTER;
    const video::StreamFacts* facts = Current();
    if (!facts) return E_INVALIDARG;
    *seconds = facts->length;
    return S_OK;
}

HRESULT MediaDet::get_FrameRate(double* rate) {
    if (!rate) return E_POINTER;
    const video::StreamFacts* facts = Current();
    if (!facts || facts->kind != video::StreamKind::Video) return E_INVALIDARG;
    *rate = facts->frame_rate;
    return S_OK;
}

// A video stream gets a VIDEOINFOHEADER (positive height, the stream's four-character code as
// compression and subtype), an audio stream a WAVEFORMATEX. The format block is the caller's.
HRESULT MediaDet::get_StreamMediaType(DswMediaType* media_type) {
    if (!media_type) return E_POINTER;
    std::memset(media_type, 0, sizeof *media_type);
    const video::StreamFacts* facts = Current();
    if (!facts) return E_INVALIDARG;
    if (facts->kind == video::StreamKind::Video) {
        auto* format = static_cast<DswVideoInfoHeader*>(CoTaskMemAlloc(sizeof(DswVideoInfoHeader)));
        if (!format) return E_OUTOFMEMORY;
        std::memset(format, 0, sizeof *format);
        const bool uncompressed = facts->four_cc == 0;
        NewDibLayout measures;
        const bool fits = BitmapBytes(facts->width, facts->height, measures);
        format->rcSource = {0, 0, facts->width, facts->height};
        format->rcTarget = format->rcSource;
        format->dwBitRate = static_cast<DWORD>(std::min<int64_t>(facts->bit_rate, UINT32_MAX));
        format->AvgTimePerFrame =
            facts->frame_rate > 0 ? static_cast<int64_t>(1e7 / facts->frame_rate) : 0;
        const BITMAPINFOHEADER& h = format->bmiHeader;
        WriteBitmapHeader(&format->bmiHeader, facts->width, facts->height, facts->four_cc,
                          uncompressed && fits ? static_cast<uint32_t>(measures.image_size) : 0);
        media_type->majortype = dshow::kMediaTypeVideo;
        media_type->subtype = uncompressed ? kSubtypeRgb24 : dshow::SubtypeFromFourCc(facts->four_cc);
        media_type->bFixedSizeSamples = uncompressed ? 1 : 0;
        media_type->bTemporalCompression = uncompressed ? 0 : 1;
        media_type->lSampleSize = h.biSizeImage;
        media_type->formattype = dshow::kFormatVideoInfo;
        media_type->cbFormat = sizeof *format;
        media_type->pbFormat = reinterpret_cast<BYTE*>(format);
        return S_OK;
    }
    auto* format = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(sizeof(WAVEFORMATEX)));
    if (!format) return E_OUTOFMEMORY;
    std::memset(format, 0, sizeof *format);
    format->wFormatTag = static_cast<WORD>(facts->wave_tag);
    format->nChannels = static_cast<WORD>(facts->channels);
    format->nSamplesPerSec = static_cast<DWORD>(facts->sample_rate);
    format->wBitsPerSample = static_cast<WORD>(facts->bits_per_sample);
    format->nBlockAlign = static_cast<WORD>(facts->channels * facts->bits_per_sample / 8);
    format->nAvgBytesPerSec = static_cast<DWORD>(facts->bit_rate / 8);
    media_type->majortype = dshow::kMediaTypeAudio;
    media_type->subtype = dshow::SubtypeFromFourCc(facts->wave_tag);
    media_type->formattype = dshow::kFormatWaveFormatEx;
    media_type->cbFormat = sizeof *format;
    media_type->pbFormat = reinterpret_cast<BYTE*>(format);
    return S_OK;
}

// With no buffer: the bytes that a bitmap of that size needs. With one: the bitmap of the frame
// showing at the time, in the stream's own size when none is asked for.
HRESULT MediaDet::GetBitmapBits(double stream_time, LONG* buffer_size, char* buffer, LONG width,
                                LONG height) {
    const video::StreamFacts* facts = Current();
    if (!facts || facts->kind != video::StreamKind::Video) return E_INVALIDARG;
    if (width < 0 || height < 0) return E_INVALIDARG;
    if (width == 0 || height == 0) {
        width = facts->width;
        height = facts->height;
    }
    if (width <= 0 || height <= 0) return E_FAIL;
    NewDibLayout measures;
    if (!BitmapBytes(width, height, measures)) return E_OUTOFMEMORY;
    if (!buffer) {
        if (!buffer_size) return E_POINTER;
        *buffer_size = static_cast<LONG>(measures.total_size);
        return S_OK;
    }
    WriteBitmapHeader(buffer, width, height, BI_RGB, static_cast<uint32_t>(measures.image_size));
    const uint64_t stride = measures.stride;
    auto* rows = reinterpret_cast<uint8_t*>(buffer) + kInfoHeaderSize;
    // The conversion writes the pixels only: the bytes that pad each row are cleared here, so
    // that no stale memory reaches the host.
    const size_t pixels = static_cast<size_t>(width) * 3;
    if (stride > pixels) {
        for (LONG y = 0; y < height; ++y) {
            std::memset(rows + static_cast<size_t>(y) * stride + pixels, 0, stride - pixels);
        }
    }
    try {
        return ResultOf(
            m_media.FrameAt(static_cast<size_t>(m_current), stream_time, width, height, rows));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT MediaDet::KeyFrameTime(double stream_time, double* key_time) {
    if (!key_time) return E_POINTER;
    *key_time = 0.0;
    const video::StreamFacts* facts = Current();
    if (!facts || facts->kind != video::StreamKind::Video) return E_INVALIDARG;
    try {
        return ResultOf(
            m_media.KeyFrameTime(static_cast<size_t>(m_current), stream_time, *key_time));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT MediaDet::get_Filter(IUnknown** filter) {
    if (filter) *filter = nullptr;
    return E_NOTIMPL;
}

HRESULT MediaDet::put_Filter(IUnknown*) { return E_NOTIMPL; }

HRESULT MediaDet::WriteBitmapBits(double, LONG, LONG, BSTR) { return E_NOTIMPL; }

HRESULT MediaDet::GetSampleGrabber(IUnknown** grabber) {
    if (grabber) *grabber = nullptr;
    return E_NOTIMPL;
}

HRESULT MediaDet::EnterBitmapGrabMode(double) { return E_NOTIMPL; }
