#include "GraphFrame.h"

#include <windows.h>
#include <dshow.h>
#include <qedit.h>

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "Checked.h"
#include "DswFile.h"
#include "GlobalBlock.h"
#include "platform/ComPtr.h"

using platform::ComPtr;

namespace dshow {
namespace {

// How long a graph may take to deliver the frame (decoding from a key frame up to it).
constexpr DWORD kPlayLimitMs = 20000;
// A sample starting within this of the seek point counts as showing at it: container times are
// rounded (a millisecond in Matroska), and no video runs at 1000 frames a second.
constexpr REFERENCE_TIME kSlack = 10000;  // 1 ms in 100-ns units
constexpr uint64_t kFrameSpare = 128;
constexpr uint32_t kHeaderSize = 40;

// qedit's filters, whose class identifiers MinGW's headers leave out.
constexpr GUID kClsidSampleGrabber = {
    0xC1F400A0, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
constexpr GUID kClsidNullRenderer = {
    0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};

// A media type that the graph filled: its format block and interface go with it.
struct GraphMediaType : AM_MEDIA_TYPE {
    GraphMediaType() { std::memset(static_cast<AM_MEDIA_TYPE*>(this), 0, sizeof(AM_MEDIA_TYPE)); }
    ~GraphMediaType() {
        if (pbFormat) CoTaskMemFree(pbFormat);
        if (pUnk) pUnk->Release();
    }
    GraphMediaType(const GraphMediaType&) = delete;
    GraphMediaType& operator=(const GraphMediaType&) = delete;
};

// The frame geometry of the grabber's connection.
struct Geometry {
    LONG width = 0;
    LONG height = 0;
    bool bottom_up = true;
    uint64_t stride = 0;
    uint64_t bytes = 0;  // stride x height
};

// Receives the grabber's samples on the streaming thread and keeps the one showing at the seek
// point: every sample that starts at or before it replaces the last one kept; the first that
// starts after it ends the search (and is kept when nothing came before it). Times of the
// samples count from the seek point. Lives on the caller's stack: the grabber holds no counted
// reference that outlives the graph, and the callback is removed before it goes.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif
class FrameCatcher final : public ISampleGrabberCB {
public:
    explicit FrameCatcher(uint64_t bytes) : m_bytes(bytes) {
        InitializeCriticalSection(&m_lock);
        m_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~FrameCatcher() {
        if (m_done) CloseHandle(m_done);
        DeleteCriticalSection(&m_lock);
    }
    FrameCatcher(const FrameCatcher&) = delete;
    FrameCatcher& operator=(const FrameCatcher&) = delete;

    bool Ready() const { return m_done != nullptr; }
    HANDLE Done() const { return m_done; }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISampleGrabberCB)) {
            *out = static_cast<ISampleGrabberCB*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP BufferCB(double, BYTE*, long) override { return E_NOTIMPL; }

    STDMETHODIMP SampleCB(double, IMediaSample* sample) override {
        EnterCriticalSection(&m_lock);
        if (!m_finished && sample) Take(sample);
        LeaveCriticalSection(&m_lock);
        return S_OK;
    }

    // After the graph has stopped: whether a frame was kept, and whether the search ended on a
    // later frame (false: the stream ended or failed first).
    bool HaveFrame() const { return m_have && !m_failed; }
    bool Finished() const { return m_finished; }
    const std::vector<uint8_t>& Frame() const { return m_frame; }
    int Samples() const { return m_samples; }

private:
    void Take(IMediaSample* sample) {
        ++m_samples;
        REFERENCE_TIME start = 0;
        REFERENCE_TIME stop = 0;
        // Untimed samples count as showing at the seek point.
        const bool after = SUCCEEDED(sample->GetTime(&start, &stop)) && start > kSlack;
        if (after && m_have) {
            Finish();
            return;
        }
        BYTE* data = nullptr;
        if (FAILED(sample->GetPointer(&data)) || !data ||
            static_cast<uint64_t>(sample->GetActualDataLength()) < m_bytes) {
            m_failed = true;
            Finish();
            return;
        }
        try {
            m_frame.assign(data, data + m_bytes);
        } catch (const std::bad_alloc&) {
            m_failed = true;
            Finish();
            return;
        }
        m_have = true;
        if (after) Finish();
    }
    void Finish() {
        m_finished = true;
        SetEvent(m_done);
    }

    const uint64_t m_bytes;
    CRITICAL_SECTION m_lock;
    HANDLE m_done = nullptr;
    std::vector<uint8_t> m_frame;
    bool m_have = false;
    bool m_failed = false;
    bool m_finished = false;
    int m_samples = 0;
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

HRESULT CreateFilter(const CLSID& clsid, IGraphBuilder* graph, const wchar_t* name,
                     ComPtr<IBaseFilter>& filter) {
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  filter.PutVoid());
    if (FAILED(hr)) return hr;
    return graph->AddFilter(filter.Get(), name);
}

// The first pin of a filter in a direction.
HRESULT FirstPin(IBaseFilter* filter, PIN_DIRECTION direction, ComPtr<IPin>& found) {
    ComPtr<IEnumPins> pins;
    HRESULT hr = filter->EnumPins(pins.Put());
    if (FAILED(hr)) return hr;
    for (;;) {
        ComPtr<IPin> pin;
        if (pins->Next(1, pin.Put(), nullptr) != S_OK) return VFW_E_NOT_FOUND;
        PIN_DIRECTION d;
        if (SUCCEEDED(pin->QueryDirection(&d)) && d == direction) {
            found.Put();
            return pin->QueryInterface(IID_IPin, found.PutVoid());
        }
    }
}

// Joins an output pin of the source, through whatever parser and decoder the graph builder
// finds, to the grabber's input: the first pin that connects carries the video.
HRESULT ConnectSource(IGraphBuilder* graph, IBaseFilter* source, IPin* grabber_in) {
    ComPtr<IEnumPins> pins;
    HRESULT hr = source->EnumPins(pins.Put());
    if (FAILED(hr)) return hr;
    HRESULT last = VFW_E_CANNOT_CONNECT;
    for (;;) {
        ComPtr<IPin> pin;
        if (pins->Next(1, pin.Put(), nullptr) != S_OK) return last;
        PIN_DIRECTION d;
        if (FAILED(pin->QueryDirection(&d)) || d != PINDIR_OUTPUT) continue;
        last = graph->Connect(pin.Get(), grabber_in);
        if (SUCCEEDED(last)) return last;
    }
}

bool ReadGeometry(ISampleGrabber* grabber, Geometry& g) {
    GraphMediaType type;
    if (FAILED(grabber->GetConnectedMediaType(&type))) return false;
    if (!IsEqualGUID(type.formattype, FORMAT_VideoInfo) || !type.pbFormat ||
        type.cbFormat < sizeof(VIDEOINFOHEADER)) {
        return false;
    }
    const BITMAPINFOHEADER& h = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat)->bmiHeader;
    if (h.biBitCount != 24 || h.biWidth <= 0 || h.biHeight == 0) return false;
    g.width = h.biWidth;
    g.height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    g.bottom_up = h.biHeight > 0;
    g.stride = (static_cast<uint64_t>(g.width) * 3 + 3) / 4 * 4;
    g.bytes = g.stride * static_cast<uint64_t>(g.height);
    return g.bytes <= 0x7FFFFFFFu - kHeaderSize - kFrameSpare;
}

// Plays the graph from the seek point until the catcher has its frame, the stream ends or
// fails, or the time limit passes; then stops it, so that no streaming thread is left running.
// True when the catcher's frame stands: a later frame ended the search, or the stream reached
// its end (the last frame shows past it). A failed stream or the time limit: false.
bool PlayUntilCaught(IMediaControl* control, IMediaEvent* events, FrameCatcher& catcher) {
    bool stands = false;
    if (SUCCEEDED(control->Run())) {
        const DWORD begun = GetTickCount();
        for (;;) {
            if (WaitForSingleObject(catcher.Done(), 0) == WAIT_OBJECT_0) {
                stands = true;
                break;
            }
            LONG code = 0;
            if (events->WaitForCompletion(20, &code) == S_OK) {
                stands = code == EC_COMPLETE;
                break;
            }
            if (GetTickCount() - begun > kPlayLimitMs) break;
        }
    }
    control->Stop();
    return stands;
}

SpiHandle PackFrame(const Geometry& g, const std::vector<uint8_t>& rows) {
    const uint64_t size = kHeaderSize + g.bytes + kFrameSpare;
    if (!FitsSizeT(size)) return nullptr;
    OwnedHandle block = OwnedHandle::Allocate(static_cast<size_t>(size), true);
    if (!block) return nullptr;
    {
        ScopedLock lock(block.Get());
        if (!lock) return nullptr;
        BITMAPINFOHEADER header;
        std::memset(&header, 0, sizeof header);
        header.biSize = kHeaderSize;
        header.biWidth = g.width;
        header.biHeight = g.height;
        header.biPlanes = 1;
        header.biBitCount = 24;
        header.biCompression = BI_RGB;
        header.biSizeImage = static_cast<DWORD>(g.bytes);
        std::memcpy(lock.Data(), &header, sizeof header);
        uint8_t* out = lock.Data() + kHeaderSize;
        const size_t stride = static_cast<size_t>(g.stride);
        for (LONG y = 0; y < g.height; ++y) {
            const LONG from = g.bottom_up ? y : g.height - 1 - y;
            std::memcpy(out + static_cast<size_t>(y) * stride,
                        rows.data() + static_cast<size_t>(from) * stride, stride);
        }
    }
    return block.Release();
}

SpiHandle Query(const wchar_t* file_name, int32_t position, double length) {
    ComPtr<IGraphBuilder> graph;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IGraphBuilder, graph.PutVoid()))) {
        return nullptr;
    }
    ComPtr<IBaseFilter> grabber_filter;
    ComPtr<ISampleGrabber> grabber;
    if (FAILED(CreateFilter(kClsidSampleGrabber, graph.Get(), L"Frame grabber", grabber_filter)) ||
        FAILED(grabber_filter.As(grabber))) {
        return nullptr;
    }
    AM_MEDIA_TYPE want;
    std::memset(&want, 0, sizeof want);
    want.majortype = MEDIATYPE_Video;
    want.subtype = MEDIASUBTYPE_RGB24;
    want.formattype = FORMAT_VideoInfo;
    if (FAILED(grabber->SetMediaType(&want)) || FAILED(grabber->SetBufferSamples(FALSE)) ||
        FAILED(grabber->SetOneShot(FALSE))) {
        return nullptr;
    }
    ComPtr<IBaseFilter> renderer;
    if (FAILED(CreateFilter(kClsidNullRenderer, graph.Get(), L"Null renderer", renderer))) {
        return nullptr;
    }
    ComPtr<IBaseFilter> source;
    if (FAILED(graph->AddSourceFilter(file_name, L"Source", source.Put()))) return nullptr;

    ComPtr<IPin> grabber_in;
    ComPtr<IPin> grabber_out;
    ComPtr<IPin> renderer_in;
    if (FAILED(FirstPin(grabber_filter.Get(), PINDIR_INPUT, grabber_in)) ||
        FAILED(FirstPin(grabber_filter.Get(), PINDIR_OUTPUT, grabber_out)) ||
        FAILED(FirstPin(renderer.Get(), PINDIR_INPUT, renderer_in)) ||
        FAILED(ConnectSource(graph.Get(), source.Get(), grabber_in.Get())) ||
        FAILED(graph->Connect(grabber_out.Get(), renderer_in.Get()))) {
        return nullptr;
    }
    Geometry geometry;
    if (!ReadGeometry(grabber.Get(), geometry)) return nullptr;

    ComPtr<IMediaSeeking> seeking;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    ComPtr<IMediaFilter> timing;
    if (FAILED(graph.As(seeking)) || FAILED(graph.As(control)) || FAILED(graph->QueryInterface(IID_IMediaEvent, events.PutVoid())) ||
        FAILED(graph.As(timing))) {
        return nullptr;
    }
    if (!(length > 0.0)) {
        LONGLONG duration = 0;
        if (FAILED(seeking->GetDuration(&duration)) || duration <= 0) return nullptr;
        length = static_cast<double>(duration) / 1e7;
    }
    const double time = DswFile::FramePositionToTime(position, length);
    LONGLONG start = std::llround(time * 1e7);
    if (FAILED(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                     AM_SEEKING_NoPositioning))) {
        return nullptr;
    }
    // No reference clock: samples go through as fast as they are decoded.
    if (FAILED(timing->SetSyncSource(nullptr))) return nullptr;

    FrameCatcher catcher(geometry.bytes);
    if (!catcher.Ready() || FAILED(grabber->SetCallback(&catcher, 0))) return nullptr;
    const bool stands = PlayUntilCaught(control.Get(), events.Get(), catcher);
    grabber->SetCallback(nullptr, 0);
    if (!stands || !catcher.HaveFrame()) return nullptr;
    return PackFrame(geometry, catcher.Frame());
}

}  // namespace

SpiHandle GraphFrameQuery(const wchar_t* file_name, int32_t position, double length) {
    if (!file_name) return nullptr;
    try {
        return Query(file_name, position, length);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace dshow
