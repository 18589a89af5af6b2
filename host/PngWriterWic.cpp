// PNG output through the PNG encoder of the Windows Imaging Component (windowscodecs.dll, a
// system component): the rows go to the encoder as BGR or BGRA, the encoded file is collected in
// memory and then written through a StagedFile like every other output. The encoder chooses its
// own compression, so --png-level does not reach it.
// Our headers come first: the DIB constants (BI_RGB...) are enumerators there and macros in
// the Windows headers.
#include "PngWriter.h"
#include "StagedFile.h"
#include "platform/ComPtr.h"
#include "platform/com.h"
// clang-format off
#include <objbase.h>
#include <wincodec.h>
// clang-format on

#include <cstdio>
#include <utility>
#include <vector>

namespace {

using platform::ComPtr;

std::string HresultText(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
    return buf;
}

// Rows are handed over this many at a time, so that the converted copy stays small.
constexpr uint32_t kRowsPerBatch = 64;

HRESULT EncodeRows(IWICImagingFactory* factory, const DibImage& image, WriteProgress& progress,
                   IStream* stream) {
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> options;
    HRESULT hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.Put());
    if (SUCCEEDED(hr)) hr = encoder->Initialize(stream, WICBitmapEncoderNoCache);
    if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(frame.Put(), options.Put());
    if (SUCCEEDED(hr)) hr = frame->Initialize(options.Get());
    if (SUCCEEDED(hr)) hr = frame->SetSize(image.Width(), image.Height());
    const size_t channels = image.Channels();
    WICPixelFormatGUID format =
        channels == 4 ? GUID_WICPixelFormat32bppBGRA : GUID_WICPixelFormat24bppBGR;
    const WICPixelFormatGUID wanted = format;
    if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
    if (SUCCEEDED(hr) && !IsEqualGUID(format, wanted)) hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    if (FAILED(hr)) return hr;
    const size_t row_bytes = image.RowBytes();
    std::vector<uint8_t> rows(row_bytes * kRowsPerBatch);
    for (uint32_t y = 0; y < image.Height() && SUCCEEDED(hr);) {
        const uint32_t n = image.Height() - y < kRowsPerBatch ? image.Height() - y : kRowsPerBatch;
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t* row = rows.data() + row_bytes * i;
            image.ConvertRow(y + i, row);
            for (size_t x = 0; x < row_bytes; x += channels) std::swap(row[x], row[x + 2]);
        }
        hr = frame->WritePixels(n, static_cast<UINT>(row_bytes), static_cast<UINT>(row_bytes * n),
                                rows.data());
        y += n;
        progress.Rows(y, image.Height());
    }
    if (SUCCEEDED(hr)) hr = frame->Commit();
    if (SUCCEEDED(hr)) hr = encoder->Commit();
    return hr;
}

}  // namespace

bool PngOutputAvailable() { return true; }

bool PngLevelHonoured() { return false; }

bool WritePngFile(const std::string& path, const DibImage& image, const PngSettings& settings,
                  std::string& error) {
    if (uint64_t{image.RowBytes()} * kRowsPerBatch > 0x7FFFFFFF) {
        error = "cannot write PNG " + path + ": the picture is too wide for the encoder";
        return false;
    }
    const platform::ComScope com;
    ComPtr<IWICImagingFactory> factory;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWICImagingFactory, factory.PutVoid());
    if (FAILED(hr)) {
        error = "cannot write PNG " + path + ": the Windows Imaging Component is not available (" +
                HresultText(hr) + ")";
        return false;
    }
    ComPtr<IStream> stream;
    hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.Put());
    WriteProgress progress(path, uint64_t{image.Width()} * image.Height(), settings.show_progress);
    if (SUCCEEDED(hr)) hr = EncodeRows(factory.Get(), image, progress, stream.Get());
    STATSTG stat{};
    HGLOBAL memory = nullptr;
    if (SUCCEEDED(hr)) hr = stream->Stat(&stat, STATFLAG_NONAME);
    if (SUCCEEDED(hr)) hr = GetHGlobalFromStream(stream.Get(), &memory);
    if (FAILED(hr)) {
        error = "cannot write PNG " + path + ": the PNG encoder failed (" + HresultText(hr) + ")";
        return false;
    }
    StagedFile out(path);
    if (!out.Open(error)) return false;
    const void* bytes = GlobalLock(memory);
    const bool written = bytes && out.Write(bytes, static_cast<size_t>(stat.cbSize.QuadPart));
    if (bytes) GlobalUnlock(memory);
    if (!written) {
        error = "cannot write " + path + " (disk full?)";
        return false;
    }
    return out.Commit(error);
}
