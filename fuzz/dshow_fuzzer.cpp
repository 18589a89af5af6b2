// libFuzzer target over dshowsrc's reads of a file: the input is written to a file, which the
// media detector (on Linux the stand-in over FFmpeg) opens; every stream's type, media type,
// length and frame rate is asked for, then DswFile's information read and frame grab run on the
// same file as GetPictureInfo and GetPicture do (or GetPreview's key-frame grab, with the key
// frame's time checked against the time it is looked for at or before). A broken invariant
// aborts.
//
// The last two input bytes choose, and stay part of the data:
//   size-1  the frame position (signed): seconds when positive, 0 the start, -1 to -100 a per
//           cent of the length, below that the middle
//   size-2  the file name's extension (low three bits): .mp4 .avi .mkv .mpg .m4v .ts .vob none;
//           bit 3 set: the preview instead of the frame at the position
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "DibHelpers.h"
#include "DswFile.h"
#include "FramePosition.h"
#include "GlobalBlock.h"
#include "MediaDetApi.h"

namespace {

// Frames above this many pixels are not grabbed: they only slow the search down.
constexpr int64_t kMaxFuzzPixels = int64_t{1} << 18;
// The detector's frame block carries this many spare bytes after the bitmap.
constexpr uint64_t kFrameSpare = 128;

volatile uint32_t g_sink;

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "dshow_fuzzer: %s\n", what);
    std::abort();
}

uint32_t Touch(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum = sum * 31u + p[i];
    return sum;
}

// The input as a file, in memory-backed /dev/shm where there is one; removed with the object.
class InputAsFile {
public:
    InputAsFile(const uint8_t* data, size_t size, const char* extension) {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::path dir = "/dev/shm";
        if (!fs::is_directory(dir, ec) || access(dir.c_str(), W_OK) != 0) {
            dir = fs::temp_directory_path(ec);
        }
        m_path = (dir / ("zem-dshow-fuzz-" + std::to_string(getpid()) + extension)).string();
        FILE* f = std::fopen(m_path.c_str(), "wb");
        Check(f != nullptr, "cannot write the input file");
        const bool written = std::fwrite(data, 1, size, f) == size;
        Check(std::fclose(f) == 0 && written, "cannot write the input file");
        m_wide.assign(m_path.begin(), m_path.end());
    }
    ~InputAsFile() { std::remove(m_path.c_str()); }
    InputAsFile(const InputAsFile&) = delete;
    InputAsFile& operator=(const InputAsFile&) = delete;

    const wchar_t* WideName() const { return m_wide.c_str(); }

private:
    std::string m_path;
    std::wstring m_wide;
};

// What the detector said about the first video stream that has a VIDEOINFOHEADER.
struct FirstVideo {
    bool found = false;
    LONG width = 0;
    LONG height = 0;
    DWORD compression = 0;
    double length = 0.0;
};

void CheckMediaType(const DswMediaType& type, const GUID& major, FirstVideo& first,
                    double length) {
    Check(dshow::SameGuid(type.majortype, major), "media type differs from the stream type");
    Check(type.pUnk == nullptr, "media type carries an interface");
    Check(type.pbFormat != nullptr, "media type without a format block");
    g_sink = g_sink + Touch(type.pbFormat, type.cbFormat);
    if (dshow::SameGuid(major, dshow::kMediaTypeVideo)) {
        Check(dshow::SameGuid(type.formattype, dshow::kFormatVideoInfo) &&
                  type.cbFormat >= sizeof(DswVideoInfoHeader),
              "video stream without a VIDEOINFOHEADER");
        const auto* info = reinterpret_cast<const DswVideoInfoHeader*>(type.pbFormat);
        Check(info->bmiHeader.biSize == sizeof(BITMAPINFOHEADER), "header length");
        Check(info->bmiHeader.biWidth > 0 && info->bmiHeader.biHeight > 0, "size not positive");
        if (!first.found) {
            first.found = true;
            first.width = info->bmiHeader.biWidth;
            first.height = info->bmiHeader.biHeight;
            first.compression = info->bmiHeader.biCompression;
            first.length = length;
        }
    } else {
        Check(dshow::SameGuid(type.formattype, dshow::kFormatWaveFormatEx) &&
                  type.cbFormat >= sizeof(WAVEFORMATEX),
              "audio stream without a WAVEFORMATEX");
    }
}

// Every stream through the detector's own interface, as a host of the detector sees them.
FirstVideo WalkStreams(const wchar_t* file_name) {
    FirstVideo first;
    void* object = nullptr;
    Check(SUCCEEDED(CoCreateInstance(dshow::kClsidMediaDet, nullptr, CLSCTX_ALL,
                                     dshow::kIidMediaDet, &object)) &&
              object,
          "no detector");
    IMediaDet* detector = static_cast<IMediaDet*>(object);
    BSTR name = SysAllocString(file_name);
    LONG count = 0;
    if (SUCCEEDED(detector->put_Filename(name))) {
        Check(SUCCEEDED(detector->get_OutputStreams(&count)) && count >= 0, "stream count");
    } else {
        Check(FAILED(detector->get_OutputStreams(&count)) && count == 0,
              "streams of a file that did not open");
    }
    for (LONG i = 0; i < count; ++i) {
        Check(SUCCEEDED(detector->put_CurrentStream(i)), "stream index refused");
        LONG current = -1;
        Check(SUCCEEDED(detector->get_CurrentStream(&current)) && current == i, "current stream");
        GUID major;
        Check(SUCCEEDED(detector->get_StreamType(&major)), "stream type");
        const bool video = dshow::SameGuid(major, dshow::kMediaTypeVideo);
        Check(video || dshow::SameGuid(major, dshow::kMediaTypeAudio), "stream neither kind");
        double length = -1.0;
        Check(SUCCEEDED(detector->get_StreamLength(&length)), "stream length");
        Check(std::isfinite(length) && length >= 0.0, "stream length not a length");
        double rate = -1.0;
        const HRESULT rated = detector->get_FrameRate(&rate);
        Check(video ? SUCCEEDED(rated) && std::isfinite(rate) && rate >= 0.0 : FAILED(rated),
              "frame rate");
        DswMediaType type;
        std::memset(&type, 0, sizeof type);
        Check(SUCCEEDED(detector->get_StreamMediaType(&type)), "media type");
        CheckMediaType(type, major, first, length);
        CoTaskMemFree(type.pbFormat);
        if (!video) {
            LONG size = 0;
            Check(FAILED(detector->GetBitmapBits(0.0, &size, nullptr, 0, 0)),
                  "a bitmap of an audio stream");
        }
    }
    Check(FAILED(detector->put_CurrentStream(count)) && FAILED(detector->put_CurrentStream(-1)),
          "stream index out of range taken");
    SysFreeString(name);
    detector->Release();
    return first;
}

// The information read that GetPictureInfo makes agrees with the detector's first video stream.
void CheckInfoRead(const wchar_t* file_name, const FirstVideo& first) {
    DswFile file;
    file.SetFileSource(file_name, 0);
    const int32_t result = file.ReadInfoFromFile();
    Check(result == SPI_OK || result == SPI_NOT_IMPLEMENTED, "information read result");
    if (result != SPI_OK) {
        Check(!first.found, "a video stream that the information read missed");
        return;
    }
    Check(first.found && file.Width() == first.width && file.Height() == first.height &&
              file.VideoCompression() == first.compression &&
              file.StreamLength() == first.length,
          "information read differs from the detector");
}

// The stand-in's key frame for the preview of a stream: a time in 0..the time asked for.
void CheckKeyFrameTime(const wchar_t* file_name, const FirstVideo& first) {
    void* object = nullptr;
    Check(SUCCEEDED(CoCreateInstance(dshow::kClsidMediaDet, nullptr, CLSCTX_ALL,
                                     dshow::kIidMediaDet, &object)) &&
              object,
          "no detector");
    IMediaDet* detector = static_cast<IMediaDet*>(object);
    void* keys_object = nullptr;
    Check(SUCCEEDED(detector->QueryInterface(dshow::kIidKeyFrames, &keys_object)) && keys_object,
          "the stand-in tells no key frames");
    auto* keys = static_cast<IDswKeyFrames*>(keys_object);
    BSTR name = SysAllocString(file_name);
    double key = -1.0;
    if (SUCCEEDED(detector->put_Filename(name))) {
        LONG count = 0;
        detector->get_OutputStreams(&count);
        for (LONG i = 0; i < count; ++i) {
            GUID major;
            if (FAILED(detector->put_CurrentStream(i)) ||
                FAILED(detector->get_StreamType(&major)) ||
                !dshow::SameGuid(major, dshow::kMediaTypeVideo)) {
                Check(FAILED(keys->KeyFrameTime(0.0, &key)), "a key frame of an audio stream");
                continue;
            }
            const double time = DswFile::FramePositionToTime(kPreviewFramePosition, first.length);
            if (SUCCEEDED(keys->KeyFrameTime(time, &key))) {
                Check(key >= 0.0 && key <= time, "key frame after the time");
            }
            break;
        }
    }
    SysFreeString(name);
    keys->Release();
    detector->Release();
}

// The frame grab that GetPicture (or GetPreview) makes: a 24-bit bitmap of the stream's size
// with the spare tail.
void CheckFrame(const wchar_t* file_name, int32_t position, bool preview,
                const FirstVideo& first) {
    if (!first.found || first.width <= 0 || first.height <= 0) return;
    if (static_cast<int64_t>(first.width) * first.height > kMaxFuzzPixels) return;
    if (preview) CheckKeyFrameTime(file_name, first);
    OwnedHandle frame(preview ? DswFile::DswPreviewQuery(file_name)
                              : DswFile::DswFrameQuery(file_name, position));
    if (!frame) return;
    ScopedLock lock(frame.Get());
    Check(static_cast<bool>(lock), "frame block does not lock");
    const size_t size = platform::MemSize(frame.Get());
    DibMeasures m;
    Check(MeasureDib(lock.Data(), size, m) && m.bit_count == 24 && m.compression == BI_RGB,
          "frame is no 24-bit bitmap");
    Check(m.width == first.width && m.height == first.height, "frame size");
    Check(m.total_size + kFrameSpare <= size, "frame block shorter than its bitmap");
    g_sink = g_sink + Touch(lock.Data(), static_cast<size_t>(m.total_size));
}

}  // namespace

int FuzzDshow(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static const char* const kExtensions[] = {".mp4", ".avi", ".mkv", ".mpg",
                                              ".m4v", ".ts",  ".vob", ""};
    const int32_t position = static_cast<int8_t>(data[size - 1]);
    const InputAsFile file(data, size, kExtensions[data[size - 2] & 7]);
    const FirstVideo first = WalkStreams(file.WideName());
    CheckInfoRead(file.WideName(), first);
    const bool preview = (data[size - 2] & 8) != 0;
    CheckFrame(file.WideName(), position, preview, first);
    return 0;
}

#ifndef ZEM_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzDshow(data, size);
}
#endif
