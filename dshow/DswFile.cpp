#include "DswFile.h"

#include <chrono>
#include <cstring>

#include "Checked.h"
#include "FramePosition.h"
#include "GlobalBlock.h"
#include "MediaDetApi.h"
#include "platform/com.h"
#if defined(_WIN32)
#include "win32/GraphFrame.h"
#endif

using dshow::SameGuid;

namespace {

// Spare bytes after the detector's bitmap in the frame block.
constexpr uint64_t kFrameSpare = 128;

// COM on the calling thread for the length of one read, through the COM functions that
// MediaDetApi.h names (the system's on Windows, the stand-in's elsewhere, a test's own in the
// scripted tests). Only an initialisation that succeeded (S_OK, or S_FALSE on a thread that
// already was a single-threaded apartment) is balanced: on a thread of a multithreaded apartment
// CoInitialize fails, the detector is made in that apartment all the same, and COM is left as
// it was found.
platform::ComScope StartCom() {
    return platform::ComScope(SUCCEEDED(CoInitialize(nullptr)), [] { CoUninitialize(); });
}

// One media detector with the file opened in it. Declared after the ComScope, so that the
// detector is released before COM is uninitialised.
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

// The frame query (the key frame at or before the position's time when `key_frame`); `cause`
// gets the detector's result, or E_OUTOFMEMORY, when it fails.
SpiHandle FrameQuery(const wchar_t* file_name, int32_t frame_position, bool key_frame,
                     HRESULT& cause);

// The frame from a filter graph of our own, for systems whose detector gives no bitmaps (or
// that have none), within the time limit of the request that began at `begun`: Windows only.
// `length` 0 leaves the length to the graph.
SpiHandle FrameWithoutDetector(const wchar_t* file_name, int32_t frame_position, double length,
                               bool key_frame, std::chrono::steady_clock::time_point begun) {
#if defined(_WIN32)
    return dshow::GraphFrameQuery(file_name, frame_position, length, key_frame, begun);
#else
    (void)file_name;
    (void)frame_position;
    (void)length;
    (void)key_frame;
    (void)begun;
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
    const platform::ComScope com = StartCom();
    OpenDetector detector;
    const HRESULT opened = detector.Open(m_fileName);
    if (FAILED(opened)) return ResultOf(opened);
    for (LONG i = 0; i < detector.StreamCount(); ++i) {
        if (FAILED(detector->put_CurrentStream(i))) continue;
        MediaType type;
        if (FAILED(detector->get_StreamMediaType(type.Out()))) continue;
        const DswVideoInfoHeader* video = type.VideoInfo();
        if (!SameGuid(type.Get().majortype, dshow::kMediaTypeVideo) || !video) continue;
        m_width = video->bmiHeader.biWidth;
        m_height = AbsHeight(video->bmiHeader.biHeight);
        m_videoCompression = video->bmiHeader.biCompression;
        double length = 0.0;
        detector->get_StreamLength(&length);
        m_streamLength = length;
        return ResultOf(S_OK);
    }
    return ResultOf(E_FAIL);  // no video stream with a VIDEOINFOHEADER
}

int32_t DswFile::ReadPictureFromFile() {
    HRESULT cause = E_FAIL;
    m_resultDib = m_preview ? FrameQuery(m_fileName, kPreviewFramePosition, true, cause)
                            : FrameQuery(m_fileName, m_framePosition, false, cause);
    // A query that found no frame failed, whatever step it ended at.
    return ResultOf(m_resultDib ? S_OK : FAILED(cause) ? cause : E_FAIL);
}

SpiHandle DswFile::DswFrameQuery(const wchar_t* file_name, int32_t frame_position) {
    HRESULT cause = E_FAIL;
    return FrameQuery(file_name, frame_position, false, cause);
}

SpiHandle DswFile::DswPreviewQuery(const wchar_t* file_name) {
    HRESULT cause = E_FAIL;
    return FrameQuery(file_name, kPreviewFramePosition, true, cause);
}

namespace {

SpiHandle FrameQuery(const wchar_t* file_name, int32_t frame_position, bool key_frame,
                     HRESULT& cause) {
    const auto begun = std::chrono::steady_clock::now();
    const platform::ComScope com = StartCom();
    OpenDetector detector;
    // A preview where the detector tells no key frames (the system's never does): our own graph
    // asks the file's parser for the key frame, over the graph's own length, so the file is
    // opened once.
    if (key_frame && kOwnGraph && file_name && SUCCEEDED(detector.Create()) &&
        !TellsKeyFrames(detector.Get())) {
        return FrameWithoutDetector(file_name, frame_position, 0.0, true, begun);
    }
    cause = detector.Open(file_name);
    if (FAILED(cause)) {
        return detector.NoDetector()
                   ? FrameWithoutDetector(file_name, frame_position, 0.0, key_frame, begun)
                   : nullptr;
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
    if (!found) return nullptr;

    double length = 0.0;
    if (FAILED(detector->get_StreamLength(&length)) || !(length > 0.0)) return nullptr;

    // The stream's own size when it has a VIDEOINFOHEADER; otherwise the detector chooses.
    LONG width = 0;
    LONG height = 0;
    {
        MediaType type;
        cause = detector->get_StreamMediaType(type.Out());
        if (FAILED(cause)) return nullptr;
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
        return FrameWithoutDetector(file_name, frame_position, length, key_frame, begun);
    }
    if (FAILED(sized) || size <= 0) {
        cause = FAILED(sized) ? sized : E_FAIL;
        return nullptr;
    }
    const uint64_t block_size = static_cast<uint64_t>(size) + kFrameSpare;
    cause = E_OUTOFMEMORY;
    if (!FitsSizeT(block_size)) return nullptr;
    // The detector writes the bitmap; the spare tail is cleared, so that no byte the heap held
    // reaches the host.
    OwnedHandle block = OwnedHandle::Allocate(static_cast<size_t>(block_size), false);
    if (!block) return nullptr;
    HRESULT filled = E_FAIL;
    {
        ScopedLock lock(block.Get());
        if (!lock) return nullptr;
        std::memset(lock.Data() + size, 0, kFrameSpare);
        try {
            filled = detector->GetBitmapBits(time, nullptr, reinterpret_cast<char*>(lock.Data()),
                                             width, height);
        } catch (...) {
            filled = E_FAIL;
        }
    }
    cause = filled;
    if (FAILED(filled)) return nullptr;
    return block.Release();
}

}  // namespace
