// The Windows dshowsrc through the system's media detector (Wine's, over GStreamer) on the
// clips that the native build writes: the information read, frames (from the plug-in's own
// filter graph where the detector gives none) against the Linux stand-in's, faults, a graph
// whose Stop never returns, and COM left on the calling thread as it was found.
//
// A test that fails after one of its queries ended without a frame at dshowsrc's time limit
// ends with status 75: Wine's parser deadlocks now and then, and the test runner gives such a
// test one more run (cmake/wine-run.in). Every other failure ends as gtest ends it.
#include <objbase.h>
#include <strmif.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ClipMaker.h"
#include "DshowClips.h"
#include "TestSupport.h"

namespace {

struct WineClip {
    const char* name;
    int width;
    int height;
};

// The clips whose containers Wine's DirectShow opens through GStreamer. Wine's parser hands the
// detector decoded video, so the compression code is that of the decoded format, not the
// stream's.
const WineClip kClips[] = {
    {"h264.mp4", 64, 48},        {"h264.mkv", 64, 48},        {"mpeg4.avi", 64, 48},
    {"mpeg4.m4v", 64, 48},       {"audio-first.mp4", 64, 48}, {"audio-first.mkv", 64, 48},
    {"audio-first.avi", 64, 48}, {"odd-444.mkv", 33, 17},     {"padded.mp4", 66, 38},
};

std::string ClipPath(const char* name) { return std::string(ZEM_DSHOW_CLIP_DIR) + "\\" + name; }

// dshowsrc's plays stop 18 s after a request began and the request ends at 20 s: a request
// that fails after this long ran into that limit.
constexpr double kLimitSeconds = 17.0;
// The status that asks the runner for a further run.
constexpr int kWineDeadlockStatus = 75;

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool HaveClips() {
    std::vector<uint8_t> bytes;
    return testing_support::ReadWholeFile(ClipPath("h264.mp4"), bytes) && !bytes.empty();
}

double Length(const PictureInfoRecord& r) {
    double v;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(&r) + offsetof(PictureInfoRecord, streamLength),
                8);
    return v;
}

uint32_t Codec(const PictureInfoRecord& r) {
    uint32_t v;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(&r) + offsetof(PictureInfoRecord, codec), 4);
    return v;
}

class DshowWine : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_plugin.ok) << m_plugin.error;
        if (!HaveClips()) {
            GTEST_SKIP() << "no clips in " << ZEM_DSHOW_CLIP_DIR
                         << " (the native default build's dshow_make_clips writes them)";
        }
        // As an image viewer does: a single-threaded apartment on the calling thread.
        m_com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    }
    void TearDown() override {
        if (SUCCEEDED(m_com)) CoUninitialize();
        if (HasFailure() && m_limitHits > 0) {
            std::printf(
                "%d queries of this test ended without a frame at dshowsrc's time limit "
                "(Wine's parser deadlocked): status %d\n",
                m_limitHits, kWineDeadlockStatus);
            std::fflush(stdout);
            std::_Exit(kWineDeadlockStatus);
        }
    }

    // Counts a request for a frame that the file has which failed at the time limit. Requests
    // that should fail (`want_frame` false) count for nothing: a fault of ours on such a file
    // is never excused.
    int32_t Timed(int32_t result, std::chrono::steady_clock::time_point start,
                  bool want_frame = true) {
        if (want_frame && result != 0 && SecondsSince(start) >= kLimitSeconds) ++m_limitHits;
        return result;
    }

    int32_t Info(const std::string& path, PictureInfoRecord& record) {
        std::memset(&record, 0, sizeof record);
        return m_plugin.module.GetPictureInfo(path.c_str(), 0, SPI_SRC_FILE, &record);
    }

    // GetPicture at a position, the one-handle form; the block's bytes in `dib`.
    int32_t Frame(const std::string& path, int32_t position, std::vector<uint8_t>& dib,
                  bool want_frame = true) {
        PictureRequestBlock block;
        std::memset(&block, 0, sizeof block);
        std::memcpy(block.tag, "zem", 3);
        block.field52 = position;
        SpiHandle info = nullptr;
        const auto start = std::chrono::steady_clock::now();
        const int32_t result =
            Timed(m_plugin.module.GetPicture(path.c_str(), 0, SPI_SRC_FILE, &info, nullptr, nullptr,
                                             reinterpret_cast<SpiUserData>(&block)),
                  start, want_frame);
        dib = testing_support::HandleBytes(info);
        if (info) testing_support::FreeHandle(info);
        return result;
    }

    // GetPreview, timed as Frame is.
    int32_t Preview(const std::string& path, SpiHandle* info, SpiHandle* bits) {
        const auto start = std::chrono::steady_clock::now();
        return Timed(
            m_plugin.module.GetPreview(path.c_str(), 0, SPI_SRC_FILE, info, bits, nullptr, 0),
            start);
    }

    testing_support::LoadedPlugin m_plugin{"dshowsrc"};
    HRESULT m_com = E_FAIL;
    int m_limitHits = 0;
};

}  // namespace

TEST_F(DshowWine, InformationThroughTheSystemDetector) {
    for (const WineClip& clip : kClips) {
        PictureInfoRecord record;
        ASSERT_EQ(Info(ClipPath(clip.name), record), 0) << clip.name;
        EXPECT_EQ(record.width, clip.width) << clip.name;
        EXPECT_EQ(record.height, clip.height) << clip.name;
        EXPECT_EQ(record.colorDepth, 0) << clip.name;
        EXPECT_NEAR(Length(record), 4.0, 0.05) << clip.name;
        const uint32_t code = Codec(record);
        std::printf("%-16s %d x %d, %.3f s, compression 0x%08X '%.4s'\n", clip.name, record.width,
                    record.height, Length(record), code, reinterpret_cast<const char*>(&code));
        EXPECT_EQ(m_plugin.module.IsSupported(ClipPath(clip.name).c_str(), 0), 1) << clip.name;
    }
    PictureInfoRecord record;
    EXPECT_EQ(Info(ClipPath("missing.mp4"), record), -1);
    EXPECT_EQ(record.width, 0);
    EXPECT_EQ(m_plugin.module.IsSupported(ClipPath("missing.mp4").c_str(), 0), 0);
}

// Frames through the module at the positions of the Linux frame tests: the frame number that
// the pixels carry, and every pixel against the frame that the Linux stand-in decodes there
// (NAME.frames beside the clip). Two decoders and two colour conversions differ by a few
// levels; a wrong frame, a flipped or shifted picture differs by hundreds.
TEST_F(DshowWine, FramesEqualTheStandInsAtTheLinuxPositions) {
    constexpr int kTolerance = 12;
    for (const WineClip& clip : kClips) {
        std::vector<uint8_t> refs;
        ASSERT_TRUE(testing_support::ReadWholeFile(ClipPath(clip.name) + ".frames", refs))
            << clip.name << ": no reference frames (written by dshow_make_clips)";
        const uint8_t* ref = refs.data();
        size_t differing = 0;
        int largest = 0;
        for (const cliptest::WinePosition& at : cliptest::kWinePositions) {
            int32_t position;
            uint32_t ref_size;
            ASSERT_LE(ref + 8, refs.data() + refs.size()) << clip.name;
            std::memcpy(&position, ref, 4);
            std::memcpy(&ref_size, ref + 4, 4);
            ASSERT_EQ(position, at.position);
            ASSERT_LE(ref + 8 + ref_size, refs.data() + refs.size()) << clip.name;
            const uint8_t* want = ref + 8;
            ref += 8 + ref_size;
            std::vector<uint8_t> dib;
            ASSERT_EQ(Frame(ClipPath(clip.name), at.position, dib), 0)
                << clip.name << " at " << at.position;
            const size_t stride = (static_cast<size_t>(clip.width) * 3 + 3) / 4 * 4;
            const size_t bytes = stride * static_cast<size_t>(clip.height);
            ASSERT_GE(dib.size(), 40 + bytes + 128) << clip.name;
            ASSERT_EQ(ref_size, 40 + bytes) << clip.name;
            EXPECT_EQ(std::memcmp(dib.data(), want, 40), 0) << clip.name << " header";
            EXPECT_EQ(cliptest::ReadFrameNumber(dib.data(), dib.size()), at.frame)
                << clip.name << " at " << at.position;
            EXPECT_EQ(cliptest::ReadFrameNumber(want, ref_size), at.frame) << clip.name;
            for (int y = 0; y < clip.height; ++y) {
                for (int x = 0; x < clip.width; ++x) {
                    int pixel = 0;
                    for (int c = 0; c < 3; ++c) {
                        const size_t i = 40 + static_cast<size_t>(y) * stride + 3u * x + c;
                        pixel = std::max(pixel, std::abs(dib[i] - want[i]));
                    }
                    differing += pixel > 0;
                    largest = std::max(largest, pixel);
                }
            }
        }
        std::printf("%-16s %zu frames: %zu of %zu pixels differ from the stand-in's, by %d at "
                    "most\n",
                    clip.name, std::size(cliptest::kWinePositions), differing,
                    std::size(cliptest::kWinePositions) * clip.width * clip.height, largest);
        EXPECT_LE(largest, kTolerance) << clip.name;
    }
}

// Every per-cent position of a clip with B-frames and of one whose video starts after its
// audio: -p takes p % of the 4-second length, so -1..-100 walk all 40 frames.
TEST_F(DshowWine, EveryPerCentPositionTakesTheFrameShowingThen) {
    for (const char* name : {"h264.mp4", "audio-first.mkv"}) {
        for (int p = 1; p <= 100; ++p) {
            std::vector<uint8_t> dib;
            ASSERT_EQ(Frame(ClipPath(name), -p, dib), 0) << name << " at " << -p;
            EXPECT_EQ(cliptest::ReadFrameNumber(dib.data(), dib.size()),
                      cliptest::FrameShownAt(p * 4.0 / 100.0, 10, 40))
                << name << " at " << -p;
        }
    }
}

// Files without a frame end with -1 and leave nothing behind: one that Wine's DirectShow does
// not open (MPEG program stream), one whose coded frames are damaged (the detector reads its
// index, the graph decodes nothing), and a missing one. A file cut off after 60 % gives, at
// 90 %, a time past its last frame: the last frame it has, as at 100 %. Wine's parser (8.0)
// keeps some 34 handles for every file it opens, in the media detector as in our graph: so a
// frame request on these files must leave what an information request leaves, and on a good
// file no more than one more opening of it.
TEST_F(DshowWine, FaultsEndWithMinusOneAndLeaveNothing) {
    const std::string dir = testing_support::MakeTempDir();
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(testing_support::ReadWholeFile(ClipPath("h264.mp4"), bytes));
    const auto mdat = std::search(bytes.begin(), bytes.end(), "mdat", "mdat" + 4);
    ASSERT_NE(mdat, bytes.end());
    for (auto it = mdat + 20; it < bytes.end() && it < mdat + 2020; ++it) *it ^= 0x5A;
    ASSERT_TRUE(testing_support::WriteWholeFile(dir + "\\damaged.mp4", bytes));
    ASSERT_TRUE(testing_support::ReadWholeFile(ClipPath("audio-first.mkv"), bytes));
    bytes.resize(bytes.size() * 6 / 10);
    ASSERT_TRUE(testing_support::WriteWholeFile(dir + "\\cut.mkv", bytes));

    std::vector<uint8_t> dib;
    ASSERT_EQ(Frame(dir + "\\cut.mkv", -90, dib), 0);
    const int past_the_end = cliptest::ReadFrameNumber(dib.data(), dib.size());
    ASSERT_EQ(Frame(dir + "\\cut.mkv", -100, dib), 0);
    EXPECT_EQ(past_the_end, cliptest::ReadFrameNumber(dib.data(), dib.size()));
    EXPECT_GT(past_the_end, 0);
    EXPECT_LT(past_the_end, 36);

    const std::string faults[] = {ClipPath("mpeg2.mpg"), dir + "\\damaged.mp4",
                                  ClipPath("missing.mp4")};
    for (const std::string& path : faults) {
        EXPECT_EQ(Frame(path, -50, dib, false), -1) << path;
        EXPECT_EQ(Frame(path, 0, dib, false), -1) << path;
    }
    // What each kind of request leaves, over three rounds after one warm-up round.
    const auto leaves = [&](bool frames, const std::vector<std::string>& files) {
        const auto round = [&] {
            for (const std::string& path : files) {
                PictureInfoRecord record;
                if (frames) {
                    Frame(path, -50, dib, path == ClipPath("h264.mkv"));
                } else {
                    Info(path, record);
                }
            }
        };
        round();
        const long handles = testing_support::TableHandleCount();
        const long threads = testing_support::ThreadCount();
        for (int i = 0; i < 3; ++i) round();
        return std::make_pair(testing_support::TableHandleCount() - handles,
                              testing_support::ThreadCount() - threads);
    };
    const std::vector<std::string> bad(std::begin(faults), std::end(faults));
    const auto info = leaves(false, bad);
    const auto frames = leaves(true, bad);
    std::printf("9 frame requests on these files left %ld handles and %ld threads (information "
                "requests on them: %ld and %ld)\n",
                frames.first, frames.second, info.first, info.second);
    EXPECT_EQ(frames.first, info.first);
    EXPECT_LE(frames.second, info.second);
    const std::vector<std::string> good = {ClipPath("h264.mkv")};
    const auto good_info = leaves(false, good);
    const auto good_frames = leaves(true, good);
    std::printf("3 frame requests on a good file left %ld handles and %ld threads (information "
                "requests: %ld and %ld)\n",
                good_frames.first, good_frames.second, good_info.first, good_info.second);
    EXPECT_LE(good_frames.first - good_info.first, good_info.first);
    EXPECT_LE(good_frames.second, good_info.second);
    testing_support::RemoveTree(dir);
}

// A host thread in a multithreaded apartment: the plug-in reads all the same and leaves the
// thread's COM as it was (its own CoInitialize fails there, and is not balanced).
TEST_F(DshowWine, ComLeftAsFoundOnAMultithreadedThread) {
    bool read_ok = false;
    HRESULT after = E_FAIL;
    std::thread worker([&] {
        if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return;
        PictureInfoRecord record;
        std::memset(&record, 0, sizeof record);
        read_ok = m_plugin.module.GetPictureInfo(ClipPath("h264.mkv").c_str(), 0, SPI_SRC_FILE,
                                                 &record) == 0 &&
                  record.width == 64;
        // Still in the multithreaded apartment: asking for it again only counts up.
        after = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(after)) CoUninitialize();
        CoUninitialize();
    });
    worker.join();
    EXPECT_TRUE(read_ok);
    EXPECT_EQ(after, S_FALSE);
}

// GetPreview where the detector tells no key frames: the plug-in's own graph asks the parser
// for a key-frame seek to 10 %, which Wine's parser answers with the exact time, so the frame
// showing at 10 %, frame 4, every byte as GetPicture gives it there, in one handle and in two.
TEST_F(DshowWine, PreviewIsTheFrameAtTenPerCent) {
    for (const WineClip& clip : kClips) {
        const std::string path = ClipPath(clip.name);
        std::vector<uint8_t> picture;
        ASSERT_EQ(Frame(path, -10, picture), 0) << clip.name;
        SpiHandle info = nullptr;
        ASSERT_EQ(Preview(path, &info, nullptr), 0) << clip.name;
        const std::vector<uint8_t> whole = testing_support::HandleBytes(info);
        testing_support::FreeHandle(info);
        SpiHandle head = nullptr;
        SpiHandle bits = nullptr;
        ASSERT_EQ(Preview(path, &head, &bits), 0) << clip.name;
        std::vector<uint8_t> split = testing_support::HandleBytes(head);
        const std::vector<uint8_t> rows = testing_support::HandleBytes(bits);
        split.insert(split.end(), rows.begin(), rows.end());
        testing_support::FreeHandle(head);
        testing_support::FreeHandle(bits);
        const size_t stride = (static_cast<size_t>(clip.width) * 3 + 3) / 4 * 4;
        const size_t bytes = 40 + stride * static_cast<size_t>(clip.height);
        ASSERT_GE(whole.size(), bytes + 128) << clip.name;
        ASSERT_GE(split.size(), bytes + 128) << clip.name;
        EXPECT_EQ(cliptest::ReadFrameNumber(whole.data(), whole.size()), 4) << clip.name;
        EXPECT_EQ(std::memcmp(whole.data(), picture.data(), bytes), 0) << clip.name;
        EXPECT_EQ(std::memcmp(split.data(), picture.data(), bytes), 0) << clip.name;
        // The bytes that pad the rows are zero, not whatever the decoder's buffer held.
        for (size_t y = 0, pixels = clip.width * 3u; y < static_cast<size_t>(clip.height); ++y) {
            for (size_t x = pixels; x < stride; ++x) {
                ASSERT_EQ(whole[40 + y * stride + x], 0) << clip.name << " row " << y;
            }
        }
    }
    SpiHandle info = nullptr;
    EXPECT_EQ(m_plugin.module.GetPreview(ClipPath("missing.mp4").c_str(), 0, SPI_SRC_FILE, &info,
                                         nullptr, nullptr, 0),
              -1);
    EXPECT_EQ(info, nullptr);
}

namespace {

// The null renderer of dshowsrc's graph, wrapped so that its Stop blocks until the test lets it
// go: a parser that deadlocks while the graph stops. The graph's builder creates it through
// COM, which finds this class first in the process's multithreaded apartment.
constexpr GUID kClsidNullRenderer = {
    0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};

struct StuckStops {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> entered{0};
    std::atomic<int> live{0};
};

#define ZEM_FORWARD(name, params, args) \
    STDMETHODIMP name params override { return m_inner->name args; }
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif
class StuckRenderer final : public IBaseFilter {
public:
    StuckRenderer(IBaseFilter* inner, StuckStops& stops) : m_inner(inner), m_stops(stops) {
        ++m_stops.live;
    }
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IPersist) &&
            !IsEqualIID(iid, IID_IMediaFilter) && !IsEqualIID(iid, IID_IBaseFilter)) {
            return m_inner->QueryInterface(iid, out);  // seeking and renderer flags: the inner's
        }
        *out = static_cast<IBaseFilter*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --m_refs;
        if (left == 0) {
            m_inner->Release();
            --m_stops.live;
            delete this;
        }
        return left;
    }
    STDMETHODIMP Stop() override {
        ++m_stops.entered;
        WaitForSingleObject(m_stops.release, 120000);
        return m_inner->Stop();
    }
    ZEM_FORWARD(GetClassID, (CLSID * id), (id))
    ZEM_FORWARD(Pause, (), ())
    ZEM_FORWARD(Run, (REFERENCE_TIME start), (start))
    ZEM_FORWARD(GetState, (DWORD ms, FILTER_STATE* state), (ms, state))
    ZEM_FORWARD(SetSyncSource, (IReferenceClock * clock), (clock))
    ZEM_FORWARD(GetSyncSource, (IReferenceClock * *clock), (clock))
    ZEM_FORWARD(EnumPins, (IEnumPins * *pins), (pins))
    ZEM_FORWARD(FindPin, (LPCWSTR id, IPin** pin), (id, pin))
    ZEM_FORWARD(QueryFilterInfo, (FILTER_INFO * info), (info))
    ZEM_FORWARD(JoinFilterGraph, (IFilterGraph * graph, LPCWSTR name), (graph, name))
    ZEM_FORWARD(QueryVendorInfo, (LPWSTR * info), (info))

private:
    ~StuckRenderer() = default;
    IBaseFilter* m_inner;
    StuckStops& m_stops;
    std::atomic<ULONG> m_refs{1};
};

// Makes the system's null renderer and wraps it.
class StuckRendererFactory final : public IClassFactory {
public:
    StuckRendererFactory(IClassFactory* real, StuckStops& stops) : m_real(real), m_stops(stops) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        const bool mine = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory);
        *out = mine ? static_cast<IClassFactory*>(this) : nullptr;
        return mine ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        *out = nullptr;
        IBaseFilter* inner = nullptr;
        const HRESULT hr = outer ? CLASS_E_NOAGGREGATION
                                 : m_real->CreateInstance(nullptr, IID_IBaseFilter,
                                                          reinterpret_cast<void**>(&inner));
        if (FAILED(hr)) return hr;
        auto* wrapper = new StuckRenderer(inner, m_stops);
        const HRESULT got = wrapper->QueryInterface(iid, out);
        wrapper->Release();
        return got;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    IClassFactory* m_real;
    StuckStops& m_stops;
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#undef ZEM_FORWARD

}  // namespace

// A graph whose Stop never returns (here until the test lets it go) ends the request with -1
// within dshowsrc's 20 s limit; the query's thread, let go, then ends by itself and releases
// every filter.
TEST_F(DshowWine, AStopThatNeverReturnsEndsTheRequestWithinTheLimit) {
    StuckStops stops;
    ASSERT_NE(stops.release, nullptr);
    HRESULT registered = E_FAIL;
    int32_t result = 0;
    double seconds = 0;
    bool released = false;
    std::thread host([&] {
        if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return;
        IClassFactory* real = nullptr;
        registered = CoGetClassObject(kClsidNullRenderer, CLSCTX_INPROC_SERVER, nullptr,
                                      IID_IClassFactory, reinterpret_cast<void**>(&real));
        StuckRendererFactory factory(real, stops);
        DWORD cookie = 0;
        if (SUCCEEDED(registered)) {
            registered = CoRegisterClassObject(kClsidNullRenderer, &factory, CLSCTX_INPROC_SERVER,
                                               REGCLS_MULTIPLEUSE, &cookie);
        }
        if (SUCCEEDED(registered)) {
            std::vector<uint8_t> dib;
            const auto start = std::chrono::steady_clock::now();
            result = Frame(ClipPath("h264.mkv"), -50, dib);
            seconds = SecondsSince(start);
            m_limitHits = 0;  // the limit is what this test wants
            SetEvent(stops.release);
            for (int i = 0; i < 600 && stops.live > 0; ++i) Sleep(100);
            released = stops.live == 0;
            CoRevokeClassObject(cookie);
        }
        SetEvent(stops.release);
        if (real) real->Release();
        CoUninitialize();
    });
    host.join();
    CloseHandle(stops.release);
    ASSERT_HRESULT_SUCCEEDED(registered) << "the stuck renderer could not be registered";
    std::printf("a request whose graph's Stop never returned ended with %d after %.1f s\n", result,
                seconds);
    EXPECT_GE(stops.entered, 1) << "the graph was never stopped: the test tested nothing";
    EXPECT_EQ(result, -1);
    EXPECT_LT(seconds, 23.0) << "20 s is the limit (3 s more for a busy machine)";
    EXPECT_TRUE(released) << "the query's thread did not end after its Stop returned";
}
