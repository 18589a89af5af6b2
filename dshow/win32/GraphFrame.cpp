#include "GraphFrame.h"

// Before windows.h, whose BI_ macros would rename the framework's enumerators.
#include "DibHelpers.h"

#include <windows.h>
#include <dshow.h>
#include <qedit.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "Checked.h"
#include "DswFile.h"
#include "GlobalBlock.h"
#include "platform/ComPtr.h"

using platform::ComPtr;

namespace dshow {
namespace {

using Clock = std::chrono::steady_clock;

// How long a request may take, from its start (the media detector's part included) to its
// answer. The graph is built, played and stopped on a thread of its own, which the request stops
// waiting for then: opening a file and stopping a graph can block for good when the file's
// parser deadlocks, and no call of DirectShow's can be called off.
constexpr std::chrono::milliseconds kQueryLimit{20000};
// Until when the query's plays may go on (each decodes from a key frame up to the time): a
// damaged or endless file ends there with no frame, and a graph that stops as it should is
// stopped within the request's limit.
constexpr std::chrono::milliseconds kPlayLimit{18000};
// A sample starting within this of the seek point counts as showing at it: container times are
// rounded (a millisecond in Matroska), and no video runs at 1000 frames a second.
constexpr REFERENCE_TIME kSlack = 10000;  // 1 ms in 100-ns units
constexpr uint64_t kFrameSpare = 128;
// Where the format gives no frame duration: a frame at 25 frames a second.
constexpr REFERENCE_TIME kDefaultFrameTime = 400000;
// How many earlier starts a time past the last frame tries (up to 64 frame durations back).
constexpr int kEarlierTries = 6;

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
    NewDibLayout layout;            // the 24-bit DIB that holds the frame
    uint64_t bytes = 0;             // the grabber's rows, stride x height
    REFERENCE_TIME frame_time = 0;  // 100-ns units; 0 when the format does not say
};

// Receives the grabber's samples on the streaming thread and keeps the one showing at a time
// after the seek point (sample times count from the seek point): every sample that starts at or
// before it replaces the last one kept; the first that starts after it ends the search (and is
// kept when nothing came before it). Only a sample that may be the one kept is copied: one
// whose stop time reaches the time (less twice the slack, so that the last frame of a stream
// that ends at the time is copied too), or that carries no stop time. A sample passed over
// that turns out to be the one kept (frames with gaps between them, or a stream that ends
// before the time) is reported as missed, and its play is made again from its start with
// `copy_all`. Lives on the caller's stack: the grabber holds no counted reference that outlives
// the graph, and the callback is removed before it goes.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif
class FrameCatcher final : public ISampleGrabberCB {
public:
    // Samples starting after `limit` (100-ns units from the seek point) end the search.
    // `bytes` 0: the sample times alone are wanted.
    FrameCatcher(uint64_t bytes, REFERENCE_TIME limit, bool copy_all = false)
        : m_bytes(bytes), m_limit(limit), m_copyAll(copy_all) {
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

    // After the graph has stopped: whether a frame was found and copied; whether one was found
    // but passed over uncopied (Missed: MissedStart tells its start).
    bool HaveFrame() const { return m_have && m_copied && !m_failed; }
    bool Missed() const { return m_have && !m_copied && !m_failed; }
    REFERENCE_TIME MissedStart() const { return m_keptStart; }
    bool Failed() const { return m_failed; }
    // Whether the frame kept is the first that came and starts after the time.
    bool Late() const { return m_late; }
    bool Finished() const { return m_finished; }
    const std::vector<uint8_t>& Frame() const { return m_frame; }
    // The start of the first sample that came (0 when it had none).
    REFERENCE_TIME FirstStart() const { return m_firstStart; }

private:
    void Take(IMediaSample* sample) {
        REFERENCE_TIME start = 0;
        REFERENCE_TIME stop = 0;
        const HRESULT timing = sample->GetTime(&start, &stop);
        const bool timed = SUCCEEDED(timing);
        if (m_samples++ == 0 && timed) m_firstStart = start;
        // Untimed samples count as showing at the seek point.
        const bool after = timed && start > m_limit;
        if (after && m_have) {
            Finish();
            return;
        }
        m_have = true;
        m_keptStart = timed ? start : 0;
        const bool stops = timing == S_OK && stop > start;
        if (!after && !m_copyAll && stops && stop + 2 * kSlack <= m_limit) {
            m_copied = false;  // a later sample shows at the time, unless none comes
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
        m_copied = true;
        if (after) {
            m_late = true;
            Finish();
        }
    }
    void Finish() {
        m_finished = true;
        SetEvent(m_done);
    }

    const uint64_t m_bytes;
    const REFERENCE_TIME m_limit;
    const bool m_copyAll;
    CRITICAL_SECTION m_lock;
    HANDLE m_done = nullptr;
    std::vector<uint8_t> m_frame;
    bool m_have = false;    // a sample at or before the time came (or the first after it)
    bool m_copied = false;  // the one that came last of those is in m_frame
    REFERENCE_TIME m_keptStart = 0;
    bool m_failed = false;
    bool m_finished = false;
    bool m_late = false;
    int m_samples = 0;
    REFERENCE_TIME m_firstStart = 0;
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
    const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
    const BITMAPINFOHEADER& h = info->bmiHeader;
    g.frame_time = info->AvgTimePerFrame > 0 ? info->AvgTimePerFrame : 0;
    if (h.biBitCount != 24 || h.biWidth <= 0 || h.biHeight == 0) return false;
    g.width = h.biWidth;
    g.height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    g.bottom_up = h.biHeight > 0;
    if (!PlanNewDib(static_cast<uint64_t>(g.width), static_cast<uint64_t>(g.height), 24, 0,
                    g.layout)) {
        return false;
    }
    g.bytes = g.layout.image_size;
    return g.layout.total_size <= 0x7FFFFFFFu - kFrameSpare;
}

// Plays the graph from the seek point until the catcher has its frame, the stream ends or
// fails, or the time limit passes; then stops it, so that no streaming thread is left running.
enum class Play { Caught, Ended, Failed };

void DiscardEvents(IMediaEvent* events) {
    LONG code = 0;
    LONG_PTR first = 0;
    LONG_PTR second = 0;
    while (events->GetEvent(&code, &first, &second, 0) == S_OK) {
        events->FreeEventParams(code, first, second);
    }
}

bool PastPlayLimit(Clock::time_point begun) { return Clock::now() - begun > kPlayLimit; }

// Caught: a later frame ended the search, or the stream reached its end after a frame at or
// before the time (the last frame shows past the end); the catcher holds it, or says that it
// missed it. Ended: the stream ended before any frame came. Failed: the stream failed, a frame
// could not be kept, or the time limit passed (also before the play began).
Play PlayUntilCaught(IMediaControl* control, IMediaEvent* events, Clock::time_point begun,
                     FrameCatcher& catcher) {
    if (PastPlayLimit(begun)) return Play::Failed;
    DiscardEvents(events);  // those of an earlier play
    bool stands = false;
    bool ended = false;
    if (SUCCEEDED(control->Run())) {
        while (!stands && !ended) {
            if (WaitForSingleObject(catcher.Done(), 0) == WAIT_OBJECT_0) {
                stands = true;
                break;
            }
            LONG code = 0;
            LONG_PTR first = 0;
            LONG_PTR second = 0;
            if (events->GetEvent(&code, &first, &second, 20) == S_OK) {
                events->FreeEventParams(code, first, second);
                if (code == EC_COMPLETE) ended = true;
                if (code == EC_ERRORABORT || code == EC_USERABORT ||
                    code == EC_STREAM_ERROR_STOPPED) {
                    break;
                }
            }
            if (PastPlayLimit(begun)) break;
        }
    }
    control->Stop();
    DiscardEvents(events);
    const bool found = catcher.HaveFrame() || catcher.Missed();
    if (!catcher.Failed() && found && (stands || ended)) return Play::Caught;
    return ended && !catcher.Failed() && !found ? Play::Ended : Play::Failed;
}

// The interfaces of a built graph that a play uses.
struct GraphParts {
    ISampleGrabber* grabber;
    IMediaSeeking* seeking;
    IMediaControl* control;
    IMediaEvent* events;
    Clock::time_point begun;  // when the request began: the limit covers all of its plays
};

// Seeks to `seek` (100-ns units) and plays into the catcher.
Play PlayFrom(const GraphParts& g, REFERENCE_TIME seek, FrameCatcher& catcher) {
    LONGLONG start = seek;
    if (FAILED(g.seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                       AM_SEEKING_NoPositioning)) ||
        !catcher.Ready() || FAILED(g.grabber->SetCallback(&catcher, 0))) {
        return Play::Failed;
    }
    const Play played = PlayUntilCaught(g.control, g.events, g.begun, catcher);
    g.grabber->SetCallback(nullptr, 0);
    return played;
}

// The start of the key frame at or before `wanted` on the graph's time line, as the parser
// answers a key-frame seek (in the position it returns, or its current position after it);
// `wanted` itself where the parser seeks exactly (Wine's does) or answers outside
// [`first`, `wanted`].
REFERENCE_TIME KeyFrameAtOrBefore(IMediaSeeking* seeking, REFERENCE_TIME wanted,
                                  REFERENCE_TIME first) {
    LONGLONG at = wanted;
    if (FAILED(seeking->SetPositions(&at, AM_SEEKING_AbsolutePositioning |
                                              AM_SEEKING_SeekToKeyFrame,
                                     nullptr, AM_SEEKING_NoPositioning))) {
        return wanted;
    }
    LONGLONG current = wanted;
    if (SUCCEEDED(seeking->GetCurrentPosition(&current)) && current < at) at = current;
    return at >= first && at < wanted ? at : wanted;
}

// Where the stream's frames lie on the graph's time line. After a seek, the parser delivers the
// frame showing at the seek point first (cut to start there) and stamps every sample with its
// time from the seek point plus a constant `bias`: 0 for most files, but some (MP4 files whose
// frames are reordered, under Wine's parser) carry the delay of their first frame's
// composition offset in it. `first` is where the first frame lies on the seek time line (later
// than 0 when the file starts with audio). A play from 0 gives first + bias; one from within a
// frame, whose cut sample starts at the seek point, gives the bias alone.
struct TimeBase {
    REFERENCE_TIME first = 0;
    REFERENCE_TIME bias = 0;
};

// Both are at least 0, so a first stamp of 0 needs no second play.
bool FindTimeBase(const GraphParts& g, const Geometry& geometry, TimeBase& base) {
    constexpr REFERENCE_TIME kFirstSampleEnds = INT64_MIN;
    FrameCatcher from_start(0, kFirstSampleEnds);  // times only
    if (PlayFrom(g, 0, from_start) != Play::Caught) return false;
    const REFERENCE_TIME first_stamp = from_start.FirstStart();
    if (first_stamp <= 0) {
        base = TimeBase();
        return true;
    }
    const REFERENCE_TIME half = (geometry.frame_time > 0 ? geometry.frame_time
                                                         : kDefaultFrameTime) / 2;
    FrameCatcher within(0, kFirstSampleEnds);
    const Play played = PlayFrom(g, first_stamp + half, within);
    if (played == Play::Failed) return false;
    // A stream of one frame ends before that point: no bias to be seen.
    base.bias = played == Play::Caught ? within.FirstStart() : 0;
    base.first = first_stamp - base.bias > 0 ? first_stamp - base.bias : 0;
    return true;
}

SpiHandle PackFrame(const Geometry& g, const std::vector<uint8_t>& rows) {
    const uint64_t size = g.layout.total_size + kFrameSpare;
    if (!FitsSizeT(size)) return nullptr;
    OwnedHandle block = OwnedHandle::Allocate(static_cast<size_t>(size), true);
    if (!block) return nullptr;
    {
        ScopedLock lock(block.Get());
        if (!lock) return nullptr;
        InfoHeaderFields header;
        header.width = g.width;
        header.height = g.height;
        header.bit_count = 24;
        header.size_image = static_cast<DWORD>(g.layout.image_size);
        WriteInfoHeader(lock.Data(), header);
        uint8_t* out = lock.Data() + g.layout.header_part;
        const size_t stride = static_cast<size_t>(g.layout.stride);
        // The pixels only: the bytes that pad each row stay as the cleared block has them,
        // whatever the decoder's buffer held there.
        const size_t pixels = static_cast<size_t>(g.width) * 3;
        for (LONG y = 0; y < g.height; ++y) {
            const LONG from = g.bottom_up ? y : g.height - 1 - y;
            std::memcpy(out + static_cast<size_t>(y) * stride,
                        rows.data() + static_cast<size_t>(from) * stride, pixels);
        }
    }
    return block.Release();
}

SpiHandle Query(const wchar_t* file_name, int32_t position, double length, bool key_frame,
                Clock::time_point begun) {
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
    if (!ReadGeometry(grabber.Get(), geometry) || PastPlayLimit(begun)) return nullptr;

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
    // No reference clock: samples go through as fast as they are decoded.
    if (FAILED(timing->SetSyncSource(nullptr))) return nullptr;
    const GraphParts graph_parts{grabber.Get(), seeking.Get(), control.Get(), events.Get(),
                                 begun};

    // Times count from the stream's first frame.
    TimeBase base;
    if (!FindTimeBase(graph_parts, geometry, base)) return nullptr;
    REFERENCE_TIME wanted = base.first + std::llround(time * 1e7);
    if (key_frame) wanted = KeyFrameAtOrBefore(seeking.Get(), wanted, base.first);

    // Two cases start the search again from an earlier point, one frame's duration back at
    // first and twice as far on each further try: a time at or past the last frame's start may
    // end the stream before any frame comes (the parser seeks past it); and the frames just
    // before a key frame may be missing after a seek (the decoder drops the frames that refer to
    // pictures before the point it started from), so that the first frame to come starts after
    // the time. The search then keeps the last frame at or before the time.
    const REFERENCE_TIME step = geometry.frame_time > 0 ? geometry.frame_time : kDefaultFrameTime;
    REFERENCE_TIME back = 0;
    for (int attempt = 0; attempt <= kEarlierTries; ++attempt) {
        const REFERENCE_TIME seek = wanted - back > base.first ? wanted - back : base.first;
        FrameCatcher catcher(geometry.bytes, wanted - seek + base.bias + kSlack);
        const Play played = PlayFrom(graph_parts, seek, catcher);
        const bool earliest = seek == base.first || attempt == kEarlierTries;
        if (played == Play::Caught && catcher.Missed()) {
            // The frame showing at the time was passed over: again from its start.
            const REFERENCE_TIME missed = seek + catcher.MissedStart() - base.bias;
            FrameCatcher again(geometry.bytes, wanted - missed + base.bias + kSlack, true);
            if (PlayFrom(graph_parts, missed, again) != Play::Caught || !again.HaveFrame()) {
                return nullptr;
            }
            return PackFrame(geometry, again.Frame());
        }
        if (played == Play::Caught && (!catcher.Late() || earliest)) {
            return PackFrame(geometry, catcher.Frame());
        }
        if (played == Play::Failed || earliest) return nullptr;
        back = back == 0 ? step : back * 2;
    }
    return nullptr;
}

// One query and its answer, shared by the request and the thread that runs the query: whichever
// lets go of it last frees it, with a frame the request did not wait for.
struct QueryJob {
    std::wstring file_name;
    int32_t position = 0;
    double length = 0.0;
    bool key_frame = false;
    Clock::time_point begun;
    HMODULE module = nullptr;  // this module, held while the thread runs its code
    OwnedHandle frame;
    LONG holders = 2;
};

void LetGo(QueryJob* job) {
    if (InterlockedDecrement(&job->holders) == 0) delete job;
}

// The query's thread: a multithreaded apartment of its own, so that the graph's objects belong
// to no thread the request might end.
void RunJob(QueryJob& job) {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    try {
        job.frame = OwnedHandle(
            Query(job.file_name.c_str(), job.position, job.length, job.key_frame, job.begun));
    } catch (...) {
        job.frame.Reset();
    }
    if (SUCCEEDED(com)) CoUninitialize();
}

DWORD WINAPI QueryThread(void* parameter) {
    auto* job = static_cast<QueryJob*>(parameter);
    const HMODULE module = job->module;
    RunJob(*job);
    LetGo(job);
    FreeLibraryAndExitThread(module, 0);
}

}  // namespace

SpiHandle GraphFrameQuery(const wchar_t* file_name, int32_t position, double length, bool key_frame,
                          std::chrono::steady_clock::time_point begun) {
    // Nothing is begun that could not end in time.
    if (!file_name || PastPlayLimit(begun)) return nullptr;
    auto* job = new (std::nothrow) QueryJob;
    if (!job) return nullptr;
    try {
        job->file_name = file_name;
    } catch (...) {
        delete job;
        return nullptr;
    }
    job->position = position;
    job->length = length;
    job->key_frame = key_frame;
    job->begun = begun;
    // The thread holds this module: a host that unloads it while a query it gave up on still
    // runs does not pull its code away.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&QueryThread), &job->module)) {
        delete job;
        return nullptr;
    }
    const HANDLE thread = CreateThread(nullptr, 0, QueryThread, job, 0, nullptr);
    if (!thread) {
        FreeLibrary(job->module);
        delete job;
        return nullptr;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(begun + kQueryLimit - Clock::now());
    const DWORD wait = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
    // Past the limit the thread is left to end by itself, and the request ends without a frame.
    const bool ended = WaitForSingleObject(thread, wait) == WAIT_OBJECT_0;
    CloseHandle(thread);
    SpiHandle frame = ended ? job->frame.Release() : nullptr;
    LetGo(job);
    return frame;
}

}  // namespace dshow
