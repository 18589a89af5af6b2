// DswFile against a scripted media detector: this program supplies COM's functions itself, so
// the stream choice, the sizes asked for, the COM balance and the failure paths can be set up
// and watched call by call.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "DswFile.h"
#include "MediaDetApi.h"
#include "platform/platform.h"

namespace {

struct FakeStream {
    GUID major = dshow::kMediaTypeVideo;
    GUID format = dshow::kFormatVideoInfo;
    ULONG format_size = sizeof(DswVideoInfoHeader);
    LONG width = 320;
    LONG height = 240;
    DWORD compression = 0x34363248;  // "H264"
    HRESULT length_result = S_OK;
    double length = 60.0;
    bool media_type_fails = false;
};

enum class Fill { Ok, Fails, Throws, NoBitmaps };

struct Script {
    HRESULT co_initialize = S_OK;
    bool no_detector = false;
    bool no_string_memory = false;
    HRESULT put_filename = S_OK;
    std::vector<FakeStream> streams;
    LONG bitmap_size = 40 + 12 * 2;
    Fill fill = Fill::Ok;
    // The key-frame query: offered or not, its result and the key frame's time.
    bool key_frames = false;
    HRESULT key_result = S_OK;
    double key_time = 0.0;
};

struct Record {
    int initialized = 0;
    int uninitialized = 0;
    int live_detectors = 0;
    int live_formats = 0;
    int live_strings = 0;
    bool released_before_uninitialize = true;
    std::vector<LONG> lengths_asked;  // streams whose length was asked for
    double time = -1.0;
    double key_asked = -1.0;  // the time the key frame was looked for at or before
    LONG width = -1;
    LONG height = -1;
};

Script g_script;
Record g_record;

class FakeDetector final : public IMediaDet, public IDswKeyFrames {
public:
    HRESULT QueryInterface(const IID& iid, void** out) override {
        if (dshow::SameGuid(iid, dshow::kIidKeyFrames)) {
            *out = g_script.key_frames ? static_cast<IDswKeyFrames*>(this) : nullptr;
            if (!*out) return E_NOINTERFACE;
        } else {
            *out = static_cast<IMediaDet*>(this);
        }
        AddRef();
        return S_OK;
    }
    HRESULT KeyFrameTime(double time, double* key_time) override {
        g_record.key_asked = time;
        *key_time = g_script.key_time;
        return g_script.key_result;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        if (--m_refs > 0) return m_refs;
        --g_record.live_detectors;
        delete this;
        return 0;
    }
    HRESULT get_Filter(IUnknown**) override { return E_NOTIMPL; }
    HRESULT put_Filter(IUnknown*) override { return E_NOTIMPL; }
    HRESULT get_OutputStreams(LONG* count) override {
        *count = static_cast<LONG>(g_script.streams.size());
        return S_OK;
    }
    HRESULT get_CurrentStream(LONG* index) override {
        *index = m_current;
        return S_OK;
    }
    HRESULT put_CurrentStream(LONG index) override {
        m_current = index;
        return S_OK;
    }
    HRESULT get_StreamType(GUID* major) override {
        *major = Current().major;
        return S_OK;
    }
    HRESULT get_StreamTypeB(BSTR*) override { return E_NOTIMPL; }
    HRESULT get_StreamLength(double* seconds) override {
        g_record.lengths_asked.push_back(m_current);
        if (FAILED(Current().length_result)) return Current().length_result;
        *seconds = Current().length;
        return S_OK;
    }
    HRESULT get_Filename(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_Filename(BSTR) override { return g_script.put_filename; }
    HRESULT GetBitmapBits(double time, LONG* size, char* buffer, LONG width,
                          LONG height) override {
        g_record.time = time;
        g_record.width = width;
        g_record.height = height;
        if (!buffer) {
            *size = g_script.bitmap_size;
            return g_script.fill == Fill::NoBitmaps ? E_NOTIMPL : S_OK;
        }
        if (g_script.fill == Fill::Throws) throw std::runtime_error("detector failure");
        if (g_script.fill == Fill::Fails) return E_FAIL;
        std::memset(buffer, 0x77, static_cast<size_t>(g_script.bitmap_size));
        return S_OK;
    }
    HRESULT WriteBitmapBits(double, LONG, LONG, BSTR) override { return E_NOTIMPL; }
    HRESULT get_StreamMediaType(DswMediaType* type) override {
        const FakeStream& s = Current();
        if (s.media_type_fails) return E_FAIL;
        type->majortype = s.major;
        type->formattype = s.format;
        type->cbFormat = s.format_size;
        auto* block = static_cast<BYTE*>(CoTaskMemAlloc(sizeof(DswVideoInfoHeader)));
        std::memset(block, 0, sizeof(DswVideoInfoHeader));
        auto* video = reinterpret_cast<DswVideoInfoHeader*>(block);
        video->bmiHeader.biWidth = s.width;
        video->bmiHeader.biHeight = s.height;
        video->bmiHeader.biCompression = s.compression;
        type->pbFormat = block;
        return S_OK;
    }
    HRESULT GetSampleGrabber(IUnknown**) override { return E_NOTIMPL; }
    HRESULT get_FrameRate(double*) override { return E_NOTIMPL; }
    HRESULT EnterBitmapGrabMode(double) override { return E_NOTIMPL; }

private:
    ~FakeDetector() = default;
    const FakeStream& Current() const { return g_script.streams.at(static_cast<size_t>(m_current)); }
    ULONG m_refs = 1;
    LONG m_current = 0;
};

class DswFileTest : public testing::Test {
protected:
    void SetUp() override {
        g_script = Script();
        g_script.streams.push_back(FakeStream());
        g_record = Record();
    }
    void TearDown() override {
        // Whatever happened, the read left no detector, format block or string behind, and
        // balanced exactly the COM initialisations that succeeded.
        EXPECT_EQ(g_record.live_detectors, 0);
        EXPECT_EQ(g_record.live_formats, 0);
        EXPECT_EQ(g_record.live_strings, 0);
        EXPECT_TRUE(g_record.released_before_uninitialize);
        const int balanced = SUCCEEDED(g_script.co_initialize) ? g_record.initialized : 0;
        EXPECT_EQ(g_record.uninitialized, balanced);
    }

    int32_t Info(DswFile& file) {
        file.SetFileSource(L"clip.mp4", 0);
        return file.ReadInfoFromFile();
    }

    // The frame query's block (freed here), its size, or 0 when there was none.
    size_t Frame(int32_t position) {
        const SpiHandle block = DswFile::DswFrameQuery(L"clip.mp4", position);
        if (!block) return 0;
        const size_t size = platform::MemSize(block);
        platform::MemFree(block);
        return size;
    }
};

}  // namespace

// The COM functions of this program.
HRESULT CoInitialize(void*) {
    ++g_record.initialized;
    return g_script.co_initialize;
}
void CoUninitialize() {
    if (g_record.live_detectors != 0) g_record.released_before_uninitialize = false;
    ++g_record.uninitialized;
}
HRESULT CoCreateInstance(const CLSID& clsid, IUnknown*, DWORD context, const IID& iid,
                         void** out) {
    EXPECT_TRUE(dshow::SameGuid(clsid, dshow::kClsidMediaDet));
    EXPECT_TRUE(dshow::SameGuid(iid, dshow::kIidMediaDet));
    EXPECT_EQ(context, CLSCTX_ALL);
    if (g_script.no_detector) return REGDB_E_CLASSNOTREG;
    ++g_record.live_detectors;
    *out = static_cast<IMediaDet*>(new FakeDetector);
    return S_OK;
}
void* CoTaskMemAlloc(size_t size) {
    ++g_record.live_formats;
    return std::malloc(size);
}
void CoTaskMemFree(void* p) {
    if (p) --g_record.live_formats;
    std::free(p);
}
BSTR SysAllocString(const OLECHAR* text) {
    if (g_script.no_string_memory) return nullptr;
    ++g_record.live_strings;
    const size_t n = std::wcslen(text) + 1;
    auto* copy = static_cast<BSTR>(std::malloc(n * sizeof(OLECHAR)));
    std::wmemcpy(copy, text, n);
    return copy;
}
void SysFreeString(BSTR text) {
    --g_record.live_strings;
    std::free(text);
}

TEST(DswFramePosition, PositionToTime) {
    const struct {
        int32_t position;
        double length;
        double time;
    } table[] = {
        {0, 60, 0},       {10, 60, 10},      {60, 60, 60},      {61, 60, 30},
        {100, 60, 30},    {INT_MAX, 60, 30}, {-25, 60, 15},     {-1, 60, 0.6},
        {-100, 60, 60},   {-101, 60, 30},    {-1000, 60, 30},   {INT_MIN, 60, 30},
        {1, 0.5, 0.25},   {-50, 0.0, 0.0},   {3, 2.999, 1.4995},
    };
    for (const auto& row : table) {
        EXPECT_DOUBLE_EQ(DswFile::FramePositionToTime(row.position, row.length), row.time)
            << row.position << " of " << row.length;
    }
}

TEST_F(DswFileTest, InformationOfTheFirstVideoStream) {
    g_script.streams.front().height = -480;  // rows stored top-down
    DswFile file;
    ASSERT_EQ(Info(file), 0);
    EXPECT_EQ(file.Width(), 320);
    EXPECT_EQ(file.Height(), 480);
    EXPECT_EQ(file.VideoCompression(), 0x34363248u);
    EXPECT_EQ(file.StreamLength(), 60.0);
    EXPECT_EQ(file.BitCount(), 0);
}

// The information read wants a complete VIDEOINFOHEADER; the frame query takes the first video
// stream whatever its format, and then leaves the size to the detector.
TEST_F(DswFileTest, StreamChoiceOfTheTwoReads) {
    FakeStream audio;
    audio.major = dshow::kMediaTypeAudio;
    audio.format = dshow::kFormatWaveFormatEx;
    FakeStream other_format;
    other_format.format = dshow::kFormatWaveFormatEx;  // any format but FORMAT_VideoInfo
    other_format.width = 111;
    FakeStream short_format;
    short_format.format_size = 87;
    FakeStream good;
    good.width = 640;
    good.height = 360;
    good.length = 10.0;
    g_script.streams = {audio, other_format, short_format, good};

    DswFile file;
    ASSERT_EQ(Info(file), 0);
    EXPECT_EQ(file.Width(), 640);
    EXPECT_EQ(file.StreamLength(), 10.0);

    EXPECT_NE(Frame(-50), 0u);
    EXPECT_EQ(g_record.width, 0);
    EXPECT_EQ(g_record.height, 0);
    EXPECT_EQ(g_record.time, 30.0);  // the length of the stream the query chose

    g_script.streams = {audio, other_format, short_format};
    DswFile none;
    EXPECT_EQ(Info(none), -1);
    EXPECT_EQ(none.Width(), 0);
}

TEST_F(DswFileTest, FrameQueryAsksForTheStreamSizeAndKeepsASpareTail) {
    g_script.streams.front().height = -240;
    g_script.bitmap_size = 40 + 960 * 240;
    const size_t size = Frame(10);
    EXPECT_GE(size, static_cast<size_t>(g_script.bitmap_size) + 128);
    EXPECT_EQ(g_record.width, 320);
    EXPECT_EQ(g_record.height, 240);
    EXPECT_EQ(g_record.time, 10.0);
}

// The preview looks for the key frame at or before 10 % of the length where the detector tells
// key frames, and takes the bitmap at its time; a detector that tells none, fails, or names a
// time outside 0..10 % gets the frame at 10 % asked for. The key-frame interface is released.
TEST_F(DswFileTest, PreviewTakesTheKeyFrameTheDetectorNames) {
    const struct {
        bool offered;
        HRESULT result;
        double key;
        double taken;
    } table[] = {
        {false, S_OK, 1.0, 6.0}, {true, S_OK, 4.5, 4.5},  {true, S_OK, 0.0, 0.0},
        {true, E_FAIL, 4.5, 6.0}, {true, S_OK, 7.0, 6.0}, {true, S_OK, -1.0, 6.0},
    };
    for (const auto& row : table) {
        g_record = Record();
        g_script.key_frames = row.offered;
        g_script.key_result = row.result;
        g_script.key_time = row.key;
        const SpiHandle block = DswFile::DswPreviewQuery(L"clip.mp4");
        ASSERT_NE(block, nullptr);
        platform::MemFree(block);
        EXPECT_EQ(g_record.key_asked, row.offered ? 6.0 : -1.0);
        EXPECT_EQ(g_record.time, row.taken) << row.key;
        EXPECT_EQ(g_record.live_detectors, 0) << "a reference left on the detector";
    }
}

// Once a video stream is chosen, its failures end the query: no later stream is tried.
TEST_F(DswFileTest, FirstVideoStreamWithoutALength) {
    FakeStream no_length;
    no_length.length_result = E_FAIL;
    FakeStream zero_length;
    zero_length.length = 0.0;
    for (const FakeStream& first : {no_length, zero_length}) {
        g_script.streams = {first, FakeStream()};
        g_record.lengths_asked.clear();
        EXPECT_EQ(Frame(0), 0u);
        EXPECT_EQ(g_record.lengths_asked, std::vector<LONG>{0});
    }
    FakeStream no_type;
    no_type.media_type_fails = true;
    g_script.streams = {no_type, FakeStream()};
    EXPECT_EQ(Frame(0), 0u);
}

TEST_F(DswFileTest, DetectorFailures) {
    for (int c = 0; c < 7; ++c) {
        SetUp();
        switch (c) {
            case 0: g_script.no_detector = true; break;
            case 1: g_script.put_filename = E_FAIL; break;
            case 2: g_script.streams.clear(); break;
            case 3: g_script.bitmap_size = 0; break;
            case 4: g_script.fill = Fill::Fails; break;
            case 5: g_script.fill = Fill::Throws; break;
            case 6: g_script.fill = Fill::NoBitmaps; break;  // and no graph of our own to ask
        }
        EXPECT_EQ(Frame(0), 0u) << "case " << c;
        DswFile file;
        EXPECT_EQ(Info(file), c < 3 ? -1 : 0) << "case " << c;
        file.SetFileSource(L"clip.mp4", 0);
        EXPECT_EQ(file.ReadPictureFromFile(), -1) << "case " << c;
        EXPECT_EQ(file.ResultDib(), nullptr);
    }
}

// No memory for the COM copy of the file name: the read ends with -1, it does not end the host.
TEST_F(DswFileTest, NoMemoryForTheFileName) {
    g_script.no_string_memory = true;
    DswFile file;
    EXPECT_EQ(Info(file), -1);
    EXPECT_EQ(Frame(0), 0u);
}

// A thread already in a multithreaded apartment: the read goes on, and COM is left as it was
// (no CoUninitialize for the CoInitialize that failed). S_FALSE is balanced like S_OK.
TEST_F(DswFileTest, ComInitialisationIsBalancedOnlyWhenItSucceeded) {
    for (HRESULT result : {S_OK, S_FALSE, RPC_E_CHANGED_MODE}) {
        g_script.co_initialize = result;
        g_record.initialized = g_record.uninitialized = 0;
        DswFile file;
        EXPECT_EQ(Info(file), 0);
        EXPECT_NE(Frame(5), 0u);
        EXPECT_EQ(g_record.initialized, 2);
        EXPECT_EQ(g_record.uninitialized, SUCCEEDED(result) ? 2 : 0);
    }
}
