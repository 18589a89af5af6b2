#include "WicEncoder.h"

#include <cstring>

#include "WicSupport.h"
#include "platform/ComPtr.h"

namespace wic {

namespace {

using platform::ComPtr;

// The WIC pixel format of the picture's rows as they stand. Grey ramps (8-bit, and black and
// white 1-bit) are offered as grey, so that the encoders can write grey files.
const GUID* SourceFormat(const DibView& v, bool& indexed) {
    indexed = false;
    switch (v.bit_count) {
        case 1:
            if (v.palette_size == 2 && v.IsGreyRamp()) return &GUID_WICPixelFormatBlackWhite;
            indexed = true;
            return &GUID_WICPixelFormat1bppIndexed;
        case 4:
            indexed = true;
            return &GUID_WICPixelFormat4bppIndexed;
        case 8:
            if (v.palette_size == 256 && v.IsGreyRamp()) return &GUID_WICPixelFormat8bppGray;
            indexed = true;
            return &GUID_WICPixelFormat8bppIndexed;
        case 24:
            return &GUID_WICPixelFormat24bppBGR;
        case 32:
            return v.has_alpha ? &GUID_WICPixelFormat32bppBGRA : &GUID_WICPixelFormat32bppBGR;
        default:
            return nullptr;
    }
}

HRESULT MakePalette(IWICImagingFactory* factory, const DibView& v, ComPtr<IWICPalette>& out) {
    WICColor colours[256];
    UINT count = v.palette ? v.palette_size : 0;
    if (count > (1u << v.bit_count)) count = 1u << v.bit_count;
    for (UINT i = 0; i < count; ++i) {
        const RgbQuad& c = v.palette[i];
        colours[i] = 0xFF000000u | uint32_t{c.red} << 16 | uint32_t{c.green} << 8 | c.blue;
    }
    if (count == 0) {  // no table: black
        colours[0] = 0xFF000000u;
        count = 1;
    }
    HRESULT hr = factory->CreatePalette(out.Put());
    if (SUCCEEDED(hr)) hr = out->InitializeCustom(colours, count);
    return hr;
}

HRESULT WriteQuality(IPropertyBag2* options, float quality) {
    PROPBAG2 option{};
    option.pstrName = const_cast<LPOLESTR>(L"ImageQuality");
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_R4;
    value.fltVal = quality;
    const HRESULT hr = options->Write(1, &option, &value);
    VariantClear(&value);
    return hr;
}

HRESULT CopyStream(IStream* stream, std::vector<uint8_t>& out) {
    STATSTG stat{};
    HRESULT hr = stream->Stat(&stat, STATFLAG_NONAME);
    if (FAILED(hr)) return hr;
    if (stat.cbSize.QuadPart > 0x7FFFFFFF) return E_OUTOFMEMORY;
    HGLOBAL memory = nullptr;
    hr = GetHGlobalFromStream(stream, &memory);
    if (FAILED(hr)) return hr;
    const auto size = static_cast<size_t>(stat.cbSize.QuadPart);
    const void* bytes = GlobalLock(memory);
    if (!bytes) return E_OUTOFMEMORY;
    out.assign(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + size);
    GlobalUnlock(memory);
    return S_OK;
}

}  // namespace

CodecStatus EncodePicture(const DibView& v, const EncodeOptions& options,
                          std::vector<uint8_t>& out) {
    out.clear();
    const GUID* container = ContainerOfType(options.type);
    if (!container) return CodecStatus::Unsupported;
    bool indexed = false;
    const GUID* format = SourceFormat(v, indexed);
    if (!format || !v.top_row || v.width == 0 || v.height == 0) return CodecStatus::Broken;
    const uint64_t stride = static_cast<uint64_t>(v.pitch < 0 ? -v.pitch : v.pitch);
    const uint64_t bytes = stride * v.height;
    if (bytes > 0xFFFFFFFFu) return CodecStatus::NoMemory;

    HRESULT hr = S_OK;
    ComPtr<IWICImagingFactory> factory;
    *factory.Put() = CreateFactory(hr);
    if (!factory) return CodecStatus::Unsupported;

    // The rows as WIC sees them: the block from its lowest address, and for bottom-up rows a
    // vertical flip over it.
    const uint8_t* lowest = v.pitch < 0 ? v.Row(v.height - 1) : v.top_row;
    ComPtr<IWICBitmap> bitmap;
    hr = factory->CreateBitmapFromMemory(v.width, v.height, *format, static_cast<UINT>(stride),
                                         static_cast<UINT>(bytes), const_cast<BYTE*>(lowest),
                                         bitmap.Put());
    ComPtr<IWICPalette> palette;
    if (SUCCEEDED(hr) && indexed) {
        hr = MakePalette(factory.Get(), v, palette);
        if (SUCCEEDED(hr)) hr = bitmap->SetPalette(palette.Get());
    }
    if (SUCCEEDED(hr)) hr = bitmap->SetResolution(v.x_dpi, v.y_dpi);
    if (FAILED(hr)) return StatusOf(hr);
    IWICBitmapSource* source = bitmap.Get();
    ComPtr<IWICBitmapFlipRotator> flip;
    if (v.pitch < 0) {
        hr = factory->CreateBitmapFlipRotator(flip.Put());
        if (SUCCEEDED(hr)) hr = flip->Initialize(bitmap.Get(), WICBitmapTransformFlipVertical);
        if (FAILED(hr)) return StatusOf(hr);
        source = flip.Get();
    }

    ComPtr<IStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> frame_options;
    hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.Put());
    if (SUCCEEDED(hr)) hr = factory->CreateEncoder(*container, nullptr, encoder.Put());
    if (SUCCEEDED(hr)) hr = encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache);
    if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(frame.Put(), frame_options.Put());
    if (SUCCEEDED(hr) && options.type == kTypeJpeg) {
        hr = WriteQuality(frame_options.Get(), static_cast<float>(options.jpeg_quality) / 100.0f);
    }
    if (SUCCEEDED(hr)) hr = frame->Initialize(frame_options.Get());
    if (SUCCEEDED(hr)) hr = frame->SetSize(v.width, v.height);
    if (SUCCEEDED(hr)) hr = frame->SetResolution(v.x_dpi, v.y_dpi);
    // The encoder answers with the nearest format it writes; WriteSource converts to it.
    WICPixelFormatGUID written = *format;
    if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&written);
    if (SUCCEEDED(hr) && palette && IsEqualGUID(written, *format)) {
        hr = frame->SetPalette(palette.Get());
    }
    if (SUCCEEDED(hr)) hr = frame->WriteSource(source, nullptr);
    if (SUCCEEDED(hr)) hr = frame->Commit();
    if (SUCCEEDED(hr)) hr = encoder->Commit();
    if (SUCCEEDED(hr)) hr = CopyStream(stream.Get(), out);
    if (FAILED(hr)) {
        out.clear();
        return StatusOf(hr) == CodecStatus::NoMemory ? CodecStatus::NoMemory
                                                     : CodecStatus::Unsupported;
    }
    return out.empty() ? CodecStatus::Unsupported : CodecStatus::Ok;
}

}  // namespace wic
