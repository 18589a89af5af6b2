#include "DswFile.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "Checked.h"
#include "FramePosition.h"
#include "GlobalBlock.h"
#include "MediaDetApi.h"
#include "platform/com.h"
#if defined(_WIN32)
#include "win32/BoundedJob.h"
#include "win32/GraphFrame.h"
#endif

using dshow::SameGuid;

namespace {

using Clock = std::chrono::steady_clock;

// Spare bytes after the detector's bitmap in the frame block.
constexpr uint64_t kFrameSpare = 128;

#if defined(_WIN32)
// On Windows the media detector's work of a read, its opening of the file included, runs as a
// BoundedJob: the file's parser may deadlock there, and Wine's takes a minute to open some AVI
// files without an index. The request ends by its limit from `begun` whatever the parser does;
// false then, and the job, which owns its copy of the file name and its answer, runs on alone.
// The job's thread brings its own COM (the multithreaded apartment), so the detector and the
// graph are made, used and released there, and the host's thread is left as it was found.
template <class Answer, class Work>
bool RunDetectorWork(Work work, Clock::time_point begun, Answer& answer) {
    struct Job final : dshow::BoundedJob {
        explicit Job(Work w) : work(std::move(w)) {}
        void Run() override { answer = work(); }
        Work work;
        Answer answer;
    };
    const std::shared_ptr<Job> job = std::make_shared<Job>(std::move(work));
    if (!dshow::RunBounded(job, begun + dshow::kRequestLimit)) return false;
    answer = std::move(job->answer);
    return true;
}
#else
// COM on the calling thread for the length of one read, through the COM functions that
// MediaDetApi.h names (the stand-in's, or a test's own in the scripted tests). Only an
// initialisation that succeeded (S_OK, or S_FALSE on a thread that already was a
// single-threaded apartment) is balanced: on a thread of a multithreaded apartment CoInitialize
// fails, the detector is made in that apartment all the same, and COM is left as it was found.
platform::ComScope StartCom() {
    return platform::ComScope(SUCCEEDED(CoInitialize(nullptr)), [] { CoUninitialize(); });
}

// Elsewhere the detector's work runs on the calling thread: the stand-in's parsers do not block.
template <class Answer, class Work>
bool RunDetectorWork(Work work, Clock::time_point, Answer& answer) {
    const platform::ComScope com = StartCom();
    answer = work();
    return true;
}
#endif

// One media detector with the file opened in it, released before the read's COM ends.
class OpenDetector {
public:
    OpenDetector() = default;
    ~OpenDetector() {
        if (m_name) SysFreeString(m_name);
        if (m_detector) m_detector->Release();
    }
    OpenDetector(const OpenDetector&) = delete;
    OpenDetector& operator=(const OpenDetector&) = delete;

    // Creates the detector, with no file yet.
    HRESULT Create() {
        void* object = nullptr;
        const HRESULT created = CoCreateInstance(dshow::kClsidMediaDet, nullptr, CLSCTX_ALL,
                                                 dshow::kIidMediaDet, &object);
        if (FAILED(created) || !object) {
            m_noDetector = true;
            return FAILED(created) ? created : E_NOINTERFACE;
        }
        m_detector = static_cast<IMediaDet*>(object);
        return S_OK;
    }

    // Creates the detector unless Create did, gives it the file and counts the streams; the
    // detector's result when one of them fails. A COM copy of the name that cannot be made for
    // want of memory fails the read like any other failure here.
    HRESULT Open(const wchar_t* file_name) {
        if (!file_name) return E_POINTER;
        if (!m_detector) {
            const HRESULT created = Create();
            if (FAILED(created)) return created;
        }
        m_name = SysAllocString(file_name);
        if (!m_name) return E_OUTOFMEMORY;
        HRESULT hr = m_detector->put_Filename(m_name);
        if (FAILED(hr)) return hr;
        LONG count = 0;
        hr = m_detector->get_OutputStreams(&count);
        if (FAILED(hr)) return hr;
        if (count < 1) return E_FAIL;
        m_streamCount = count;
        return S_OK;
    }

    IMediaDet* operator->() const { return m_detector; }
    IMediaDet* Get() const { return m_detector; }
    LONG StreamCount() const { return m_streamCount; }
    // Whether Open failed because the system has no detector to create.
    bool NoDetector() const { return m_noDetector; }

private:
    IMediaDet* m_detector = nullptr;
    bool m_noDetector = false;
    BSTR m_name = nullptr;
    LONG m_streamCount = 0;
};

// A media type filled by the detector; its format block and interface are released with it.
class MediaType {
public:
    MediaType() { std::memset(&m_type, 0, sizeof m_type); }
    ~MediaType() { Free(); }
    MediaType(const MediaType&) = delete;
    MediaType& operator=(const MediaType&) = delete;

    DswMediaType* Out() {
        Free();
        return &m_type;
    }
    const DswMediaType& Get() const { return m_type; }

    // The video format header when the type carries a complete VIDEOINFOHEADER, else null.
    const DswVideoInfoHeader* VideoInfo() const {
        if (!SameGuid(m_type.formattype, dshow::kFormatVideoInfo)) return nullptr;
        if (m_type.cbFormat < sizeof(DswVideoInfoHeader) || !m_type.pbFormat) return nullptr;
        return reinterpret_cast<const DswVideoInfoHeader*>(m_type.pbFormat);
    }

    // A format block is freed whenever there is one, also when its length says 0.
    void Free() {
        if (m_type.pbFormat) CoTaskMemFree(m_type.pbFormat);
        m_type.cbFormat = 0;
        m_type.pbFormat = nullptr;
        if (m_type.pUnk) m_type.pUnk->Release();
        m_type.pUnk = nullptr;
    }

private:
    DswMediaType m_type;
};

LONG AbsHeight(LONG height) { return height < 0 ? -height : height; }

// The one table from the detector's results to dshowsrc's codes. The design gives each read one
// failure code, -1, whatever the cause: a shortage of memory (E_OUTOFMEMORY), a file the
// detector cannot read or a stream it cannot decode all end the read the same way.
int32_t ResultOf(HRESULT cause) { return SUCCEEDED(cause) ? SPI_OK : SPI_NOT_IMPLEMENTED; }

// What the information read learns of the first video stream described by a VIDEOINFOHEADER;
// `cause` is S_OK when there is one.
struct StreamFacts {
    HRESULT cause = E_FAIL;
    LONG width = 0;
    LONG height = 0;
    uint32_t compression = 0;
    double length = 0.0;
};

StreamFacts ProbeStreams(const wchar_t* file_name);

// A frame query's answer: the frame block, or the detector's result (or E_OUTOFMEMORY) that
// ended it without one.
struct FrameAnswer {
    OwnedHandle frame;
    HRESULT cause = E_FAIL;
};

// The frame query (the key frame at or before the position's time when `key_frame`), on the
// thread that RunDetectorWork gives it, for a request that began at `begun`.
FrameAnswer FrameQuery(const wchar_t* file_name, int32_t frame_position, bool key_frame,
                       Clock::time_point begun);

// The frame query as a request runs it: within the request's limit on Windows.
FrameAnswer BoundedFrameQuery(const wchar_t* file_name, int32_t frame_position, bool key_frame) {
    const Clock::time_point begun = Clock::now();
    FrameAnswer answer;
    if (!file_name) {
        answer.cause = E_POINTER;
        return answer;
    }
    try {
        auto work = [name = std::wstring(file_name), frame_position, key_frame, begun] {
            return FrameQuery(name.c_str(), frame_position, key_frame, begun);
        };
        if (!RunDetectorWork(std::move(work), begun, answer)) answer = FrameAnswer();
    } catch (const std::bad_alloc&) {
        answer = FrameAnswer();
        answer.cause = E_OUTOFMEMORY;
    }
    return answer;
}

// The frame from a filter graph of our own, for systems whose detector gives no bitmaps (or
// that have none), within the time limit of the request that began at `begun`: Windows only.
// `length` 0 leaves the length to the graph. `open_cost` is how long the detector took to open
// the file, which the graph's source opens again.
SpiHandle FrameWithoutDetector(const wchar_t* file_name, int32_t frame_position, double length,
                               bool key_frame, Clock::time_point begun,
                               Clock::duration open_cost = Clock::duration::zero()) {
#if defined(_WIN32)
    return dshow::GraphFrameQuery(file_name, frame_position, length, key_frame, begun, open_cost);
#else
    (void)file_name;
    (void)frame_position;
    (void)length;
    (void)key_frame;
    (void)begun;
    (void)open_cost;
    return nullptr;
#endif
}

#if defined(_WIN32)
constexpr bool kOwnGraph = true;
#else
constexpr bool kOwnGraph = false;
#endif

// Whether the detector tells key frames (our stand-in does; the system's detector does not).
bool TellsKeyFrames(IMediaDet* detector) {
    void* object = nullptr;
    if (FAILED(detector->QueryInterface(dshow::kIidKeyFrames, &object)) || !object) return false;
    static_cast<IUnknown*>(object)->Release();
    return true;
}

// The time of the key frame at or before `time` where the detector tells key frames; `time`
// itself where it does not.
double KeyFrameAtOrBefore(IMediaDet* detector, double time) {
    void* object = nullptr;
    if (FAILED(detector->QueryInterface(dshow::kIidKeyFrames, &object)) || !object) return time;
    auto* keys = static_cast<IDswKeyFrames*>(object);
    double key = time;
    if (FAILED(keys->KeyFrameTime(time, &key)) || !(key >= 0.0) || key > time) key = time;
    keys->Release();
    return key;
}

}  // namespace

double DswFile::FramePositionToTime(int32_t frame_position, double length) {
    if (frame_position > 0) {
        const double seconds = static_cast<double>(frame_position);
        return seconds > length ? 50.0 * length / 100.0 : seconds;
    }
    if (frame_position == 0) return 0.0;
    // Negated in 64 bits: INT32_MIN has no 32-bit opposite.
    int64_t percent = -static_cast<int64_t>(frame_position);
    if (percent > 100) percent = 50;
    return static_cast<double>(percent) * length / 100.0;
}

int32_t DswFile::ReadInfoFromFile() {
    if (!m_fileName) return ResultOf(E_POINTER);
    const Clock::time_point begun = Clock::now();
    StreamFacts facts;
    try {
        auto work = [name = std::wstring(m_fileName)] { return ProbeStreams(name.c_str()); };
        if (!RunDetectorWork(std::move(work), begun, facts)) return ResultOf(E_FAIL);
    } catch (const std::bad_alloc&) {
        return ResultOf(E_OUTOFMEMORY);
    }
    if (FAILED(facts.cause)) return ResultOf(facts.cause);
    m_width = facts.width;
    m_height = facts.height;
    m_videoCompression = facts.compression;
    m_streamLength = facts.length;
    return ResultOf(S_OK);
}

int32_t DswFile::ReadPictureFromFile() {
    FrameAnswer answer = m_preview ? BoundedFrameQuery(m_fileName, kPreviewFramePosition, true)
                                   : BoundedFrameQuery(m_fileName, m_framePosition, false);
    m_resultDib = answer.frame.Release();
    // A query that found no frame failed, whatever step it ended at.
    return ResultOf(m_resultDib ? S_OK : FAILED(answer.cause) ? answer.cause : E_FAIL);
}

SpiHandle DswFile::DswFrameQuery(const wchar_t* file_name, int32_t frame_position) {
    return BoundedFrameQuery(file_name, frame_position, false).frame.Release();
}

SpiHandle DswFile::DswPreviewQuery(const wchar_t* file_name) {
    return BoundedFrameQuery(file_name, kPreviewFramePosition, true).frame.Release();
}

namespace {

StreamFacts ProbeStreams(const wchar_t* file_name) {
    StreamFacts facts;
    OpenDetector detector;
    facts.cause = detector.Open(file_name);
    if (FAILED(facts.cause)) return facts;
    facts.cause = E_FAIL;  // until a video stream with a VIDEOINFOHEADER is found
    for (LONG i = 0; i < detector.StreamCount(); ++i) {
        if (FAILED(detector->put_CurrentStream(i))) continue;
        MediaType type;
        if (FAILED(detector->get_StreamMediaType(type.Out()))) continue;
        const DswVideoInfoHeader* video = type.VideoInfo();
        if (!SameGuid(type.Get().majortype, dshow::kMediaTypeVideo) || !video) continue;
        facts.width = video->bmiHeader.biWidth;
        facts.height = AbsHeight(video->bmiHeader.biHeight);
        facts.compression = video->bmiHeader.biCompression;
        double length = 0.0;
        detector->get_StreamLength(&length);
        facts.length = length;
        facts.cause = S_OK;
        break;
    }
    return facts;
}

FrameAnswer FrameQuery(const wchar_t* file_name, int32_t frame_position, bool key_frame,
                       Clock::time_point begun) {
    FrameAnswer answer;
    HRESULT& cause = answer.cause;
    OpenDetector detector;
    // A preview where the detector tells no key frames (the system's never does): our own graph
    // asks the file's parser for the key frame, over the graph's own length, so the file is
    // opened once.
    if (key_frame && kOwnGraph && file_name && SUCCEEDED(detector.Create()) &&
        !TellsKeyFrames(detector.Get())) {
        answer.frame =
            OwnedHandle(FrameWithoutDetector(file_name, frame_position, 0.0, true, begun));
        return answer;
    }
    const Clock::time_point opening = Clock::now();
    cause = detector.Open(file_name);
    const Clock::duration open_cost = Clock::now() - opening;
    if (FAILED(cause)) {
        if (detector.NoDetector()) {
            answer.frame =
                OwnedHandle(FrameWithoutDetector(file_name, frame_position, 0.0, key_frame, begun));
        }
        return answer;
    }
    cause = E_FAIL;

    // The first stream of the video major type; its media format is not looked at here.
    bool found = false;
    for (LONG i = 0; i < detector.StreamCount() && !found; ++i) {
        GUID major;
        std::memset(&major, 0, sizeof major);
        if (FAILED(detector->put_CurrentStream(i))) continue;
        if (FAILED(detector->get_StreamType(&major))) continue;
        found = SameGuid(major, dshow::kMediaTypeVideo);
    }
    if (!found) return answer;

    double length = 0.0;
    if (FAILED(detector->get_StreamLength(&length)) || !(length > 0.0)) return answer;

    // The stream's own size when it has a VIDEOINFOHEADER; otherwise the detector chooses.
    LONG width = 0;
    LONG height = 0;
    {
        MediaType type;
        cause = detector->get_StreamMediaType(type.Out());
        if (FAILED(cause)) return answer;
        if (const DswVideoInfoHeader* video = type.VideoInfo()) {
            width = video->bmiHeader.biWidth;
            height = AbsHeight(video->bmiHeader.biHeight);
        }
    }

    double time = DswFile::FramePositionToTime(frame_position, length);
    if (key_frame) time = KeyFrameAtOrBefore(detector.Get(), time);
    LONG size = 0;
    const HRESULT sized = detector->GetBitmapBits(time, &size, nullptr, width, height);
    if (sized == E_NOTIMPL) {
        answer.frame =
            OwnedHandle(FrameWithoutDetector(file_name, frame_position, length, key_frame, begun,
                                             open_cost));
        return answer;
    }
    if (FAILED(sized) || size <= 0) {
        cause = FAILED(sized) ? sized : E_FAIL;
        return answer;
    }
    const uint64_t block_size = static_cast<uint64_t>(size) + kFrameSpare;
    cause = E_OUTOFMEMORY;
    if (!FitsSizeT(block_size)) return answer;
    // The detector writes the bitmap; the spare tail is cleared, so that no byte the heap held
    // reaches the host.
    OwnedHandle block = OwnedHandle::Allocate(static_cast<size_t>(block_size), false);
    if (!block) return answer;
    HRESULT filled = E_FAIL;
    {
        ScopedLock lock(block.Get());
        if (!lock) return answer;
        std::memset(lock.Data() + size, 0, kFrameSpare);
        try {
            filled = detector->GetBitmapBits(time, nullptr, reinterpret_cast<char*>(lock.Data()),
                                             width, height);
        } catch (...) {
            filled = E_FAIL;
        }
    }
    cause = filled;
    if (SUCCEEDED(filled)) answer.frame = std::move(block);
    return answer;
}

}  // namespace
