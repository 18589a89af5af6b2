// The Windows builds' back end over the Windows Imaging Component: JPEG, PNG, TIFF, ICO and
// whatever other container an installed WIC codec decodes. It comes late in detection order, so
// BMP, GIF and the other formats that we read ourselves never reach it.
//
// The chosen frame is copied row by row straight into the canvas, in the pixel formats of every
// target: indexed data keeps its palette (2-bit data widened to 4 bits), grey becomes an 8-bit
// grey DIB (bilevel: 1-bit black and white), colour 24-bit BGR, anything with alpha 32-bit BGRA.
// The common native formats are converted here (16-bit samples reduced with rounding, CMYK by
// R = (255 - C) x (255 - K) / 255); WIC's format converter takes the rest.
#include <cstring>
#include <utility>
#include <vector>

#include "ByteReader.h"
#include "CodecBackends.h"
#include "TiffStructure.h"
#include "PreviewRules.h"
#include "SampleScale.h"
#include "WicEncoder.h"
#include "WicSupport.h"
#include "platform/ComPtr.h"
#include "platform/com.h"

// The source transform of WIC's JPEG decoder (decoding at a reduced scale), which mingw-w64's
// wincodec.h does not declare. COM interfaces have no virtual destructor.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
struct WicSourceTransform : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CopyPixels(const WICRect* rect, UINT width, UINT height,
                                                 WICPixelFormatGUID* format,
                                                 WICBitmapTransformOptions transform, UINT stride,
                                                 UINT buffer_size, BYTE* buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetClosestSize(UINT* width, UINT* height) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetClosestPixelFormat(WICPixelFormatGUID* format) = 0;
    virtual HRESULT STDMETHODCALLTYPE DoesSupportTransform(WICBitmapTransformOptions transform,
                                                           BOOL* supported) = 0;
};
#pragma GCC diagnostic pop
__CRT_UUID_DECL(WicSourceTransform, 0x3b16811b, 0x6a43, 0x4ec9, 0xb7, 0x13, 0x3d, 0x5a, 0x0c,
                0x13, 0xb9, 0x40)

namespace {

using platform::ComPtr;

// How the rows of one native pixel format become canvas rows.
enum class Rows {
    Copy,     // already in the canvas's form
    Widen2,   // 2-bit indices to 4-bit ones
    Grey,     // 2- or 4-bit grey to 8 bits
    Swap,     // RGB(A) bytes to BGR(A)
    Reduce,   // 16-bit samples to 8 bits, RGB(A) or BGR(A) order
    Cmyk,     // 8- or 16-bit CMYK to BGR
    Convert,  // not ours: WIC's format converter
};

enum class Table { None, Indexed, Grey, BlackWhite };

struct Layout {
    const GUID* format;
    Rows rows;
    uint16_t source_bits;  // per pixel
    uint16_t bit_count;    // of the canvas
    Table table;
    bool rgb_order;  // red first in the source
};

const Layout kLayouts[] = {
    {&GUID_WICPixelFormatBlackWhite, Rows::Copy, 1, 1, Table::BlackWhite, false},
    {&GUID_WICPixelFormat1bppIndexed, Rows::Copy, 1, 1, Table::Indexed, false},
    {&GUID_WICPixelFormat2bppIndexed, Rows::Widen2, 2, 4, Table::Indexed, false},
    {&GUID_WICPixelFormat4bppIndexed, Rows::Copy, 4, 4, Table::Indexed, false},
    {&GUID_WICPixelFormat8bppIndexed, Rows::Copy, 8, 8, Table::Indexed, false},
    {&GUID_WICPixelFormat2bppGray, Rows::Grey, 2, 8, Table::Grey, false},
    {&GUID_WICPixelFormat4bppGray, Rows::Grey, 4, 8, Table::Grey, false},
    {&GUID_WICPixelFormat8bppGray, Rows::Copy, 8, 8, Table::Grey, false},
    {&GUID_WICPixelFormat16bppGray, Rows::Reduce, 16, 8, Table::Grey, false},
    {&GUID_WICPixelFormat24bppBGR, Rows::Copy, 24, 24, Table::None, false},
    {&GUID_WICPixelFormat24bppRGB, Rows::Swap, 24, 24, Table::None, true},
    {&GUID_WICPixelFormat32bppBGRA, Rows::Copy, 32, 32, Table::None, false},
    {&GUID_WICPixelFormat32bppRGBA, Rows::Swap, 32, 32, Table::None, true},
    {&GUID_WICPixelFormat48bppBGR, Rows::Reduce, 48, 24, Table::None, false},
    {&GUID_WICPixelFormat48bppRGB, Rows::Reduce, 48, 24, Table::None, true},
    {&GUID_WICPixelFormat64bppBGRA, Rows::Reduce, 64, 32, Table::None, false},
    {&GUID_WICPixelFormat64bppRGBA, Rows::Reduce, 64, 32, Table::None, true},
    {&GUID_WICPixelFormat32bppCMYK, Rows::Cmyk, 32, 24, Table::None, false},
    {&GUID_WICPixelFormat64bppCMYK, Rows::Cmyk, 64, 24, Table::None, false},
};

// Formats with alpha that the table above leaves to the converter.
const GUID* const kAlphaFormats[] = {
    &GUID_WICPixelFormat32bppPBGRA,        &GUID_WICPixelFormat32bppPRGBA,
    &GUID_WICPixelFormat16bppBGRA5551,     &GUID_WICPixelFormat64bppPRGBA,
    &GUID_WICPixelFormat64bppPBGRA,        &GUID_WICPixelFormat64bppRGBAFixedPoint,
    &GUID_WICPixelFormat64bppBGRAFixedPoint, &GUID_WICPixelFormat64bppRGBAHalf,
    &GUID_WICPixelFormat64bppPRGBAHalf,    &GUID_WICPixelFormat128bppRGBAFloat,
    &GUID_WICPixelFormat128bppPRGBAFloat,  &GUID_WICPixelFormat128bppRGBAFixedPoint,
    &GUID_WICPixelFormat40bppCMYKAlpha,    &GUID_WICPixelFormat80bppCMYKAlpha,
    &GUID_WICPixelFormat8bppAlpha,         &GUID_WICPixelFormat32bppRGBA1010102,
    &GUID_WICPixelFormat32bppR10G10B10A2,
};

const Layout* LayoutOf(const GUID& format) {
    for (const Layout& l : kLayouts) {
        if (IsEqualGUID(*l.format, format)) return &l;
    }
    return nullptr;
}

bool HasAlpha(IWICImagingFactory* factory, const GUID& format) {
    for (const GUID* g : kAlphaFormats) {
        if (IsEqualGUID(*g, format)) return true;
    }
    ComPtr<IWICComponentInfo> info;
    ComPtr<IWICPixelFormatInfo2> pixel_info;
    BOOL transparent = FALSE;
    return SUCCEEDED(factory->CreateComponentInfo(format, info.Put())) &&
           SUCCEEDED(info.As(pixel_info)) &&
           SUCCEEDED(pixel_info->SupportsTransparency(&transparent)) && transparent;
}

uint8_t Reduce16At(const uint8_t* p) { return Reduce16(ByteReader::LoadU16LE(p)); }

void ConvertRow(const Layout& l, const uint8_t* s, uint8_t* d, uint32_t width) {
    switch (l.rows) {
        case Rows::Widen2:
            WidenTwoBitRow(s, d, width);
            break;
        case Rows::Grey: {
            const uint32_t bits = l.source_bits;
            const uint32_t max = (1u << bits) - 1;
            const uint32_t per_byte = 8 / bits;
            for (uint32_t x = 0; x < width; ++x) {
                const uint32_t shift = 8 - bits * (x % per_byte + 1);
                d[x] = static_cast<uint8_t>(((s[x / per_byte] >> shift) & max) * 255 / max);
            }
            break;
        }
        case Rows::Swap: {
            const uint32_t n = l.bit_count / 8;
            for (uint32_t x = 0; x < width; ++x, s += n, d += n) {
                d[0] = s[2], d[1] = s[1], d[2] = s[0];
                if (n == 4) d[3] = s[3];
            }
            break;
        }
        case Rows::Reduce: {
            const uint32_t n = l.source_bits / 16;
            for (uint32_t x = 0; x < width; ++x, s += 2 * n, d += n) {
                for (uint32_t c = 0; c < n; ++c) d[c] = Reduce16At(s + 2 * c);
                if (l.rgb_order) std::swap(d[0], d[2]);
            }
            break;
        }
        case Rows::Cmyk: {
            const uint32_t step = l.source_bits / 8 / 4;  // bytes per sample
            for (uint32_t x = 0; x < width; ++x, s += 4 * step, d += 3) {
                uint8_t cmyk[4];
                for (uint32_t c = 0; c < 4; ++c) {
                    cmyk[c] = step == 2 ? Reduce16At(s + 2 * c) : s[c];
                }
                CmykToBgr(cmyk[0], cmyk[1], cmyk[2], cmyk[3], d);
            }
            break;
        }
        case Rows::Copy:
        case Rows::Convert:
            break;
    }
}

// Rows of the picture in its WIC pixel format: from a bitmap source, or from the JPEG
// decoder's source transform at a reduced size.
class RowSource {
public:
    RowSource(IWICBitmapSource* source, uint32_t width) : m_source(source), m_width(width) {}
    RowSource(WicSourceTransform* transform, uint32_t width, uint32_t height, const GUID& format)
        : m_transform(transform), m_width(width), m_height(height), m_format(format) {}

    HRESULT Copy(uint32_t y, uint32_t bytes, uint8_t* out) const {
        const WICRect rect{0, static_cast<INT>(y), static_cast<INT>(m_width), 1};
        if (m_source) return m_source->CopyPixels(&rect, bytes, bytes, out);
        GUID format = m_format;
        return m_transform->CopyPixels(&rect, m_width, m_height, &format,
                                       WICBitmapTransformRotate0, bytes, bytes, out);
    }

private:
    IWICBitmapSource* m_source = nullptr;
    WicSourceTransform* m_transform = nullptr;
    uint32_t m_width;
    uint32_t m_height = 0;
    GUID m_format{};
};

CodecStatus FillRows(const Layout& l, const RowSource& source, DibCanvas& canvas) {
    const uint32_t width = canvas.Width();
    const auto bytes = static_cast<uint32_t>((uint64_t{width} * l.source_bits + 7) / 8);
    // The canvas row's bytes, and the padding after them up to the stride, which the host gets
    // too: zeros, never what the memory held before. So are the unused low bits of a last byte
    // shared by fewer than 8 / bit_count pixels, which decoders may leave as they found them.
    const auto used = static_cast<size_t>((uint64_t{width} * l.bit_count + 7) / 8);
    const auto padding = static_cast<size_t>(canvas.Stride()) - used;
    const uint32_t spare_bits = static_cast<uint32_t>(used * 8 - uint64_t{width} * l.bit_count);
    const auto last_mask = static_cast<uint8_t>(0xFF << spare_bits);
    std::vector<uint8_t> row;
    if (l.rows != Rows::Copy && l.rows != Rows::Convert) row.resize(bytes);
    for (uint32_t y = 0; y < canvas.Height(); ++y) {
        uint8_t* target = row.empty() ? canvas.Row(y) : row.data();
        const HRESULT hr = source.Copy(y, bytes, target);
        if (FAILED(hr)) return wic::StatusOf(hr);
        if (!row.empty()) ConvertRow(l, row.data(), canvas.Row(y), width);
        canvas.Row(y)[used - 1] &= last_mask;
        std::memset(canvas.Row(y) + used, 0, padding);
    }
    return CodecStatus::Ok;
}

// The palette of an indexed frame into the canvas; false when a colour carries alpha (the
// picture then goes to 32 bits).
bool TakePalette(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame, DibCanvas* canvas,
                 bool& has_alpha) {
    ComPtr<IWICPalette> palette;
    UINT count = 0;
    WICColor colours[256];
    if (FAILED(factory->CreatePalette(palette.Put())) || FAILED(frame->CopyPalette(palette.Get())) ||
        FAILED(palette->GetColors(256, colours, &count))) {
        return false;
    }
    has_alpha = false;
    for (UINT i = 0; i < count; ++i) has_alpha = has_alpha || (colours[i] >> 24) != 0xFF;
    if (!canvas) return true;
    RgbQuad table[256];
    for (UINT i = 0; i < count; ++i) {
        table[i] = RgbQuad{static_cast<uint8_t>(colours[i]), static_cast<uint8_t>(colours[i] >> 8),
                           static_cast<uint8_t>(colours[i] >> 16), 0};
    }
    canvas->SetPalette(table, count);
    return true;
}

// A side at N/8, rounded up as DCT scaling rounds it.
uint32_t ScaledSize(uint32_t size, uint32_t eighths) {
    return static_cast<uint32_t>((uint64_t{size} * eighths + 7) / 8);
}

// The N/8 that a request asks of a JPEG: its own N, else the smallest not below 1/scale.
uint32_t EighthsOf(const DecodeRequest& request) {
    if (request.scale_eighths >= 1 && request.scale_eighths <= 8) return request.scale_eighths;
    const uint32_t scale = request.jpeg_scale < 1 ? 1 : request.jpeg_scale;
    return (8 + scale - 1) / scale;
}

constexpr uint32_t kPreviewEighths = 0;  // DecodeFrame: the preview rules pick N from the size

class WicCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeJpeg; }

    bool Reads(uint32_t type) const override {
        switch (type) {
            case kTypeJpeg: case kTypePng: case kTypeIco: case kTypeTiff:
            case kTypeRaw: case kTypeWebp: case kTypeHeif:
                return true;
            default:
                return false;
        }
    }

    // Whatever our own readers left: WIC itself finds out whether one of its codecs takes it.
    bool Sniff(const uint8_t*, size_t size) const override { return size > 0; }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        return Run(data, size, request, canvas, result, nullptr, EighthsOf(request));
    }

    // JPEG: the EXIF thumbnail (found by our bounded reader, decoded by WIC) when it qualifies,
    // else the picture at the preview scale. TIFF: the smallest qualifying reduced page of the
    // chain (WIC's frames) or JPEG thumbnail; SubIFDs are not WIC frames. Others: none.
    CodecStatus DecodePreview(const uint8_t* data, size_t size, const DecodeRequest& request,
                              DibCanvas& canvas, DecodeResult& result) const override {
        const bool jpeg = size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
        if (!jpeg && !IsTiffSignature(data, size)) return CodecStatus::Unsupported;
        if (request.frame < 0 || (jpeg && request.frame != 0)) return CodecStatus::NoFrame;
        // The picture's own measures: its type, frame count and densities stand for the preview.
        PictureHeader picture;
        DecodeRequest asked = request;
        asked.type = jpeg ? kTypeJpeg : kTypeTiff;
        const CodecStatus header_read = ReadHeader(data, size, asked, picture);
        if (header_read != CodecStatus::Ok) return header_read;
        result = picture.result;
        DecodeRequest whole;
        whole.type = kTypeJpeg;
        DecodeResult unused;
        if (jpeg) {
            const uint8_t* thumb = nullptr;
            size_t thumb_size = 0;
            PictureHeader own;
            if (FindExifThumbnail(data, size, thumb, thumb_size) == ThumbnailSearch::Found &&
                ReadHeader(thumb, thumb_size, whole, own) == CodecStatus::Ok &&
                QualifiesAsPreview(own.width, own.height)) {
                const CodecStatus status = Decode(thumb, thumb_size, whole, canvas, unused);
                if (status == CodecStatus::Ok || status == CodecStatus::NoMemory) return status;
                canvas.Reset();  // a damaged thumbnail: the reduced decode instead
            }
            return Run(data, size, asked, canvas, unused, nullptr, kPreviewEighths);
        }
        std::vector<TiffPreviewCandidate> candidates;
        TiffPreviewCandidate chosen;
        if (!TiffPreviewCandidates(data, size, static_cast<uint32_t>(request.frame),
                                   candidates)) {
            return CodecStatus::Unsupported;
        }
        std::vector<TiffPreviewCandidate> frames;  // the kinds that WIC reaches
        for (const TiffPreviewCandidate& c : candidates) {
            if (c.kind != TiffPreviewCandidate::Kind::SubIfd) frames.push_back(c);
        }
        if (!SmallestQualifying(frames, this, chosen)) return CodecStatus::Unsupported;
        if (chosen.kind == TiffPreviewCandidate::Kind::Jpeg) {
            return Decode(chosen.jpeg, chosen.jpeg_size, whole, canvas, unused);
        }
        asked.frame = static_cast<int32_t>(chosen.page);
        return Run(data, size, asked, canvas, unused, nullptr, 8);
    }

    // The frame decode's size, pixel format and resolution, which WIC gives without pixels.
    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest& request,
                     PictureHeader& header) const override {
        DibCanvas unused;
        return Run(data, size, request, unused, header.result, &header, 8);
    }

    CodecStatus Encode(const DibView& view, const EncodeOptions& options,
                       std::vector<uint8_t>& out) const override {
        const platform::ComScope com;
        return wic::EncodePicture(view, options, out);
    }

private:
    // With `header_only` set, the frame's measures are reported instead of decoding it.
    // A JPEG is decoded at `eighths`/8 (kPreviewEighths: as the preview rules say).
    static CodecStatus Run(const uint8_t* data, size_t size, const DecodeRequest& request,
                           DibCanvas& canvas, DecodeResult& result, PictureHeader* header_only,
                           uint32_t eighths);
    static CodecStatus DecodeFrame(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame,
                                   uint32_t type, uint32_t eighths, DibCanvas& canvas,
                                   PictureHeader* header_only);
};

CodecStatus WicCodec::Run(const uint8_t* data, size_t size, const DecodeRequest& request,
                          DibCanvas& canvas, DecodeResult& result, PictureHeader* header_only,
                          uint32_t eighths) {
    if (request.frame < 0) return CodecStatus::NoFrame;
    if (size > MAXDWORD) return CodecStatus::Unsupported;
    const CodecStatus checked = wic::CheckBeforeDecoding(data, size);
    if (checked != CodecStatus::Ok) return checked;

    // COM for this request; a thread that its host put in the multithreaded apartment stays
    // there, and WIC's objects work in either.
    const platform::ComScope com;
    HRESULT hr = S_OK;
    ComPtr<IWICImagingFactory> factory;
    *factory.Put() = wic::CreateFactory(hr);
    if (!factory) return CodecStatus::Unsupported;
    ComPtr<IWICStream> stream;
    hr = factory->CreateStream(stream.Put());
    if (SUCCEEDED(hr)) {
        hr = stream->InitializeFromMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size));
    }
    if (FAILED(hr)) return wic::StatusOf(hr);
    ComPtr<IWICBitmapDecoder> decoder;
    hr = factory->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                          decoder.Put());
    if (FAILED(hr)) {
        // No codec took it, or one that looked at it failed on the header (Wine's TGA decoder
        // tries any bytes): the back ends after this one may still read it.
        return hr == E_OUTOFMEMORY ? CodecStatus::NoMemory : CodecStatus::NotThisFormat;
    }
    GUID container{};
    if (FAILED(decoder->GetContainerFormat(&container))) return CodecStatus::Broken;
    // A container without a code of ours (JPEG XR, DDS, Wine's TGA...) is left to the back
    // ends after this one.
    const uint32_t type = wic::TypeOfContainer(container);
    if (type == kTypeUnknown) return CodecStatus::NotThisFormat;
    if (request.type != kTypeUnknown && request.type != type) return CodecStatus::NotThisFormat;
    UINT frames = 0;
    if (FAILED(decoder->GetFrameCount(&frames)) || frames == 0) return CodecStatus::Broken;
    if (static_cast<uint32_t>(request.frame) >= frames) return CodecStatus::NoFrame;
    ComPtr<IWICBitmapFrameDecode> frame;
    hr = decoder->GetFrame(static_cast<UINT>(request.frame), frame.Put());
    if (FAILED(hr)) return wic::StatusOf(hr);

    const CodecStatus status = DecodeFrame(
        factory.Get(), frame.Get(), type, type == kTypeJpeg ? eighths : 8, canvas, header_only);
    if (status != CodecStatus::Ok) return status;
    double x_dpi = 0, y_dpi = 0;
    if (SUCCEEDED(frame->GetResolution(&x_dpi, &y_dpi)) && x_dpi > 0 && y_dpi > 0) {
        result.x_dpi = x_dpi;
        result.y_dpi = y_dpi;
    }
    result.type = type;
    result.frame_count = static_cast<int32_t>(frames);
    return CodecStatus::Ok;
}

CodecStatus WicCodec::DecodeFrame(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame,
                                  uint32_t type, uint32_t eighths, DibCanvas& canvas,
                                  PictureHeader* header_only) {
    UINT width = 0, height = 0;
    HRESULT hr = frame->GetSize(&width, &height);
    if (FAILED(hr)) return wic::StatusOf(hr);
    const CodecStatus fits = CheckDeclaredSize(width, height);
    if (fits != CodecStatus::Ok) return fits;
    WICPixelFormatGUID native{};
    hr = frame->GetPixelFormat(&native);
    if (FAILED(hr)) return wic::StatusOf(hr);
    const Layout* layout = LayoutOf(native);
    bool palette_alpha = false;
    if (layout && layout->table == Table::Indexed &&
        (!TakePalette(factory, frame, nullptr, palette_alpha) || palette_alpha)) {
        layout = nullptr;  // colours with alpha: 32-bit through the converter
    }
    if (header_only) {
        header_only->width = width;
        header_only->height = height;
        header_only->bit_count =
            layout ? layout->bit_count : (palette_alpha || HasAlpha(factory, native) ? 32 : 24);
        return CodecStatus::Ok;
    }

    // The source of the rows: the frame, or at a reduced JPEG scale the decoder's own transform
    // where it offers that size, else a scaler over the frame.
    IWICBitmapSource* source = frame;
    ComPtr<WicSourceTransform> transform;
    ComPtr<IWICBitmapScaler> scaler;
    if (eighths == kPreviewEighths) eighths = PreviewScaleEighths(width, height);
    if (type == kTypeJpeg && eighths < 8) {
        const uint32_t want_width = ScaledSize(width, eighths);
        const uint32_t want_height = ScaledSize(height, eighths);
        UINT w = want_width, h = want_height;
        GUID format = native;
        if (layout && SUCCEEDED(frame->QueryInterface(__uuidof(WicSourceTransform),
                                                      transform.PutVoid())) &&
            SUCCEEDED(transform->GetClosestSize(&w, &h)) && w == want_width &&
            h == want_height && SUCCEEDED(transform->GetClosestPixelFormat(&format)) &&
            IsEqualGUID(format, native)) {
            const CodecStatus created = canvas.Create(w, h, layout->bit_count);
            if (created != CodecStatus::Ok) return created;
            if (layout->table == Table::Grey) canvas.SetGreyPalette();
            return FillRows(*layout, RowSource(transform.Get(), w, h, native), canvas);
        }
        hr = factory->CreateBitmapScaler(scaler.Put());
        if (SUCCEEDED(hr)) {
            hr = scaler->Initialize(frame, want_width, want_height,
                                    WICBitmapInterpolationModeFant);
        }
        if (FAILED(hr)) return wic::StatusOf(hr);
        source = scaler.Get();
        width = want_width;
        height = want_height;
    }

    ComPtr<IWICFormatConverter> converter;
    Layout converted{};
    if (!layout) {
        const bool alpha = palette_alpha || HasAlpha(factory, native);
        converted = Layout{alpha ? &GUID_WICPixelFormat32bppBGRA : &GUID_WICPixelFormat24bppBGR,
                           Rows::Convert, uint16_t(alpha ? 32 : 24), uint16_t(alpha ? 32 : 24),
                           Table::None, false};
        hr = factory->CreateFormatConverter(converter.Put());
        if (SUCCEEDED(hr)) {
            hr = converter->Initialize(source, *converted.format, WICBitmapDitherTypeNone, nullptr,
                                       0.0, WICBitmapPaletteTypeCustom);
        }
        if (FAILED(hr)) return wic::StatusOf(hr);
        source = converter.Get();
        layout = &converted;
    }

    const CodecStatus created = canvas.Create(width, height, layout->bit_count);
    if (created != CodecStatus::Ok) return created;
    switch (layout->table) {
        case Table::Grey:
            canvas.SetGreyPalette();
            break;
        case Table::BlackWhite: {
            const RgbQuad black_white[2] = {{0, 0, 0, 0}, {255, 255, 255, 0}};
            canvas.SetPalette(black_white, 2);
            break;
        }
        case Table::Indexed:
            if (!TakePalette(factory, frame, &canvas, palette_alpha)) return CodecStatus::Broken;
            break;
        case Table::None:
            break;
    }
    return FillRows(*layout, RowSource(source, width), canvas);
}

}  // namespace

const CodecBackend& WicBackend() {
    static const WicCodec backend;
    return backend;
}
