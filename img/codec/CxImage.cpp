#include "CxImage.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "ByteReader.h"
#include "Checked.h"
#include "ColourManage.h"
#include "DibHelpers.h"
#include "Orientation.h"
#include "PictureMetadata.h"
#include "platform/platform.h"

namespace {

constexpr int32_t kDefaultDpi = 96;

int32_t RoundDpi(double dpi) {
    if (!(dpi > 0) || dpi > 65535) return kDefaultDpi;
    const long v = std::lround(dpi);
    return v > 0 ? static_cast<int32_t>(v) : kDefaultDpi;
}

// The formats whose colour descriptions the layer reads (or that have none, so their pictures
// are taken as sRGB). HEIF and AVIF are read through libheif and libavif, where this build
// decodes them with those; Windows' own decoders leave the colours unread, so a request for sRGB
// is not answered for them there.
bool ColoursKnown(uint32_t type) {
    switch (type) {
        case kTypeHeif:
        case kTypeAvif:
#ifdef ZEM_CODEC_HEIF
            return true;
#else
            return false;
#endif
        default:
            return true;
    }
}

// What the file says of its orientation and colours: the layer's readers, then the back end's
// library for what they do not read.
void ReadMetadata(const CodecBackend* backend, const uint8_t* data, size_t size, uint32_t type,
                  int32_t frame, bool want_icc, PictureMetadata& meta) {
    ReadPictureMetadata(data, size, type, frame, want_icc, meta);
    if (backend && data) backend->ReadDescription(data, size, frame, want_icc, meta);
}

// Whether the colours the file describes (a profile or CICP codes; neither: sRGB already) can be
// had in sRGB.
bool SrgbReachable(const PictureMetadata& meta) {
    if (meta.colours_unknown) return false;
    return meta.icc.empty() || ProfileConvertible(meta.icc.data(), meta.icc.size());
}

}  // namespace

CxImage::CxImage(uint32_t image_type) : m_type(image_type) {}

CxImage::~CxImage() { Destroy(); }

const CodecBackend* CxImage::BackendFor(uint32_t type) {
    size_t count = 0;
    const CodecBackend* const* all = CodecBackends(count);
    for (size_t i = 0; i < count; ++i) {
        if (all[i]->Reads(type)) return all[i];
    }
    return nullptr;
}

bool CxImage::Decode(const uint8_t* data, uint32_t size, uint32_t type) {
    return Run(data, size, type, What::Picture);
}

bool CxImage::DecodePreview(const uint8_t* data, uint32_t size, uint32_t type) {
    return Run(data, size, type, What::Preview);
}

bool CxImage::Begin(const uint8_t* data, uint32_t size) {
    m_canvas.Reset();
    m_width = m_height = 0;
    m_bpp = 0;
    m_frameCount = 0;
    m_honoured = 0;
    m_status = data && size != 0 ? CodecStatus::NotThisFormat : CodecStatus::Broken;
    return m_status != CodecStatus::Broken;
}

template <typename Attempt>
const CodecBackend* CxImage::Detect(const uint8_t* data, uint32_t size, uint32_t type,
                                    Attempt&& attempt) {
    const CodecBackend* used = nullptr;
    try {
        if (type != kTypeUnknown) {
            used = BackendFor(type);
            m_status = used ? attempt(*used, false) : CodecStatus::Unsupported;
            return used;
        }
        size_t count = 0;
        const CodecBackend* const* all = CodecBackends(count);
        for (size_t i = 0; i < count; ++i) {
            if (!all[i]->Sniff(data, size)) continue;
            used = all[i];
            m_status = attempt(*used, true);
            if (m_status != CodecStatus::NotThisFormat) break;
        }
    } catch (const std::bad_alloc&) {
        m_status = CodecStatus::NoMemory;
    }
    return used;
}

bool CxImage::Run(const uint8_t* data, uint32_t size, uint32_t type, What what) {
    if (!Begin(data, size)) return false;
    DecodeRequest request;
    request.frame = m_frame;
    request.jpeg_scale = m_jpegScale;
    request.type = type;
    DecodeResult result;
    // Back ends that can turn and convert as they decode are asked to (no pass after the decode).
    PictureMetadata meta;
    PictureOptions options;
    const CodecBackend* used =
        Detect(data, size, type, [&](const CodecBackend& backend, bool detecting) {
            result = DecodeResult();
            m_canvas.Reset();
            request.options = nullptr;
            if (what == What::Picture) {
                if (m_options && backend.AppliesPictureOptions()) {
                    const bool srgb = (m_options & kOptionSrgb) && ColourManagementAvailable() &&
                                      ColoursKnown(backend.Type());
                    ReadMetadata(&backend, data, size, backend.Type(), m_frame, srgb, meta);
                    options = PictureOptions();
                    options.orientation = (m_options & kOptionUpright) ? meta.orientation : 0;
                    options.srgb = srgb && !meta.colours_unknown;
                    options.icc = meta.icc.data();
                    options.icc_size = meta.icc.size();
                    request.options = &options;
                }
                return backend.Decode(data, size, request, m_canvas, result);
            }
            CodecStatus status = backend.DecodePreview(data, size, request, m_canvas, result);
            // A back end without previews cannot tell whether the file is its own; its
            // header read can (camera RAW declines the plain TIFF that it sniffs).
            PictureHeader header;
            if (detecting && status == CodecStatus::Unsupported &&
                backend.ReadHeader(data, size, request, header) == CodecStatus::NotThisFormat) {
                status = CodecStatus::NotThisFormat;
            }
            return status;
        });
    if (m_status != CodecStatus::Ok || !m_canvas.IsCreated()) {
        if (m_status == CodecStatus::Ok) m_status = CodecStatus::Broken;
        // The format is known even when its picture or preview is not to be had.
        if (used && m_status != CodecStatus::NotThisFormat) {
            m_type = result.type != kTypeUnknown ? result.type : used->Type();
        }
        m_canvas.Reset();
        return false;
    }
    m_width = m_canvas.Width();
    m_height = m_canvas.Height();
    m_bpp = m_canvas.BitCount();
    m_frameCount = result.frame_count;
    m_type = result.type != kTypeUnknown ? result.type : used->Type();
    m_xDpi = RoundDpi(result.x_dpi);
    m_yDpi = RoundDpi(result.y_dpi);
    if (m_options && !ApplyOptions(data, size, request.options)) {
        m_canvas.Reset();
        m_width = m_height = 0;
        m_bpp = 0;
        return false;
    }
    m_canvas.SetResolution(m_xDpi, m_yDpi);
    return true;
}

bool CxImage::ApplyOptions(const uint8_t* data, uint32_t size, const PictureOptions* done) {
    if (done && done->applied) {  // the back end turned and converted as it decoded
        if (done->srgb && done->converted == CodecStatus::Ok) m_honoured |= kOptionSrgb;
        if (m_options & kOptionUpright) {
            if (OrientationSwapsSides(done->orientation)) std::swap(m_xDpi, m_yDpi);
            m_honoured |= kOptionUpright;
        }
        return true;
    }
    PictureMetadata meta;
    CodecStatus converted = CodecStatus::Unsupported;
    const bool srgb =
        (m_options & kOptionSrgb) && ColourManagementAvailable() && ColoursKnown(m_type);
    try {
        ReadMetadata(BackendFor(m_type), data, size, m_type, m_frame, srgb, meta);
        if (srgb) {
            converted = meta.colours_unknown ? CodecStatus::Unsupported
                        : meta.icc.empty()
                            ? CodecStatus::Ok
                            : ConvertToSrgb(m_canvas, meta.icc.data(), meta.icc.size());
        }
    } catch (const std::bad_alloc&) {
        m_status = CodecStatus::NoMemory;
        return false;
    }
    if (srgb) {
        if (converted == CodecStatus::NoMemory) {
            m_status = converted;
            return false;
        }
        if (converted == CodecStatus::Ok) m_honoured |= kOptionSrgb;
    }
    if (m_options & kOptionUpright) {
        const CodecStatus turned = ApplyOrientation(m_canvas, meta.orientation);
        if (turned != CodecStatus::Ok) {
            m_status = turned;
            return false;
        }
        if (OrientationSwapsSides(meta.orientation)) {
            std::swap(m_width, m_height);
            std::swap(m_xDpi, m_yDpi);
        }
        m_honoured |= kOptionUpright;
    }
    return true;
}

bool CxImage::ReadHeader(const uint8_t* data, uint32_t size, uint32_t type) {
    if (!Begin(data, size)) return false;
    DecodeRequest request;
    request.type = type;
    PictureHeader header;
    const CodecBackend* used = Detect(data, size, type, [&](const CodecBackend& backend, bool) {
        header = PictureHeader();
        return backend.ReadHeader(data, size, request, header);
    });
    if (m_status != CodecStatus::Ok) return false;
    // The checks that building the picture would make.
    uint64_t total = 0;
    m_status = DibCanvas::Measure(header.width, header.height, header.bit_count, total);
    if (m_status == CodecStatus::Ok && header.result.frame_count <= 0) {
        m_status = CodecStatus::Broken;
    }
    if (m_status != CodecStatus::Ok) return false;
    m_width = header.width;
    m_height = header.height;
    m_bpp = header.bit_count;
    m_frameCount = header.result.frame_count;
    m_type = header.result.type != kTypeUnknown ? header.result.type : used->Type();
    m_xDpi = RoundDpi(header.result.x_dpi);
    m_yDpi = RoundDpi(header.result.y_dpi);
    if (m_options) {
        // What the picture read with the same options gives: the turned sides, and sRGB where
        // the profile can be converted.
        PictureMetadata meta;
        try {
            ReadMetadata(BackendFor(m_type), data, size, m_type, 0,
                         (m_options & kOptionSrgb) != 0, meta);
        } catch (const std::bad_alloc&) {
            m_status = CodecStatus::NoMemory;
            return false;
        }
        if ((m_options & kOptionSrgb) && ColourManagementAvailable() && ColoursKnown(m_type) &&
            SrgbReachable(meta)) {
            m_honoured |= kOptionSrgb;
        }
        if (m_options & kOptionUpright) {
            if (OrientationSwapsSides(meta.orientation)) {
                std::swap(m_width, m_height);
                std::swap(m_xDpi, m_yDpi);
            }
            m_honoured |= kOptionUpright;
        }
    }
    return true;
}

SpiHandle CxImage::CopyToHandle() { return m_canvas.Release(); }

bool CxImage::CreateFromHANDLE(SpiHandle dib) {
    m_hasView = false;
    m_source.clear();
    m_status = CodecStatus::Broken;
    if (!dib) return false;
    const size_t total = platform::MemSize(dib);
    ScopedLock lock(dib);
    if (!lock) return false;
    DibMeasures m;
    if (!MeasureDib(lock.Data(), total, m) || m.total_size > total || m.abs_height == 0) {
        return false;
    }
    m_status = CodecStatus::Unsupported;
    if (!m.IsInfoType() || m.compression != BI_RGB) return false;
    switch (m.bit_count) {
        case 1: case 4: case 8: case 24: case 32: break;
        default: return false;
    }
    try {
        m_source.assign(lock.Data(), lock.Data() + m.total_size);
    } catch (const std::bad_alloc&) {
        m_status = CodecStatus::NoMemory;
        return false;
    }
    const uint8_t* base = m_source.data();
    DibView& v = m_view;
    v = DibView();
    v.width = static_cast<uint32_t>(m.width);
    v.height = static_cast<uint32_t>(m.abs_height);
    v.bit_count = static_cast<uint16_t>(m.bit_count);
    if (m.bit_count <= 8) {
        v.palette = reinterpret_cast<const RgbQuad*>(base + m.header_size);
        v.palette_size = static_cast<uint32_t>(m.color_count);
    }
    const uint8_t* rows = base + m.HeaderPartSize();
    const auto stride = static_cast<ptrdiff_t>(m.stride);
    if (m.IsTopDown()) {
        v.top_row = rows;
        v.pitch = stride;
    } else {
        v.top_row = rows + (static_cast<ptrdiff_t>(v.height) - 1) * stride;
        v.pitch = -stride;
    }
    const auto x_ppm = static_cast<int32_t>(ByteReader::LoadU32LE(base + 24));
    const auto y_ppm = static_cast<int32_t>(ByteReader::LoadU32LE(base + 28));
    v.x_dpi = x_ppm > 0 ? x_ppm * 0.0254 : kDefaultDpi;
    v.y_dpi = y_ppm > 0 ? y_ppm * 0.0254 : kDefaultDpi;
    if (v.bit_count == 32) {
        for (uint32_t y = 0; y < v.height && !v.has_alpha; ++y) {
            const uint8_t* r = v.Row(y);
            for (uint32_t x = 0; x < v.width; ++x) {
                if (r[x * 4 + 3] != 0) {
                    v.has_alpha = true;
                    break;
                }
            }
        }
    }
    m_hasView = true;
    m_status = CodecStatus::Ok;
    return true;
}

bool CxImage::EncodeTo(std::vector<uint8_t>& out, uint32_t type) {
    out.clear();
    m_status = CodecStatus::Broken;
    if (!m_hasView) return false;
    const CodecBackend* backend = BackendFor(type);
    m_status = CodecStatus::Unsupported;
    if (!backend) return false;
    EncodeOptions options;
    options.type = type;
    options.jpeg_quality = m_jpegQuality == 0 ? 1 : (m_jpegQuality > 100 ? 100 : m_jpegQuality);
    try {
        m_status = backend->Encode(m_view, options, out);
    } catch (const std::bad_alloc&) {
        m_status = CodecStatus::NoMemory;
    }
    if (m_status == CodecStatus::Ok && out.empty()) m_status = CodecStatus::Broken;
    return m_status == CodecStatus::Ok;
}

bool CxImage::Save(const wchar_t* file_name, uint32_t type) {
    if (!file_name) return false;
    std::vector<uint8_t> bytes;
    if (!EncodeTo(bytes, type)) return false;
    platform::OutputFile file;
    if (!file.Create(file_name)) return false;
    if (!file.Write(bytes.data(), bytes.size()) || !file.Close()) {
        file.Close();
        platform::RemoveFile(file_name);
        return false;
    }
    return true;
}

bool CxImage::Encode(uint8_t*& buffer, int32_t& size, uint32_t type) {
    buffer = nullptr;
    size = 0;
    std::vector<uint8_t> bytes;
    if (!EncodeTo(bytes, type)) return false;
    auto* block = bytes.size() > INT32_MAX ? nullptr
                                           : static_cast<uint8_t*>(std::malloc(bytes.size()));
    if (!block) {
        m_status = CodecStatus::NoMemory;
        return false;
    }
    std::memcpy(block, bytes.data(), bytes.size());
    buffer = block;
    size = static_cast<int32_t>(bytes.size());
    return true;
}

void CxImage::FreeMemory(void* block) { std::free(block); }

void CxImage::DestroyFrames() { m_canvas.Reset(); }

void CxImage::Destroy() {
    m_canvas.Reset();
    m_source.clear();
    m_source.shrink_to_fit();
    m_hasView = false;
    m_width = m_height = 0;
    m_bpp = 0;
}
