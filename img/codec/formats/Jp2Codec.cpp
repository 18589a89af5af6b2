// JPEG 2000 through OpenJPEG, from memory: JP2 files (type 11) and bare codestreams (type 12).
// Grey, grey+alpha, RGB, RGBA, sYCC and CMYK components become 8-, 24- or 32-bit DIBs;
// sub-sampled components are repeated to full size, deeper ones reduced to 8 bits with
// rounding, signed ones shifted. The resolution comes from the JP2 header's res box.
#include <openjpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "ByteReader.h"
#include "CodecBackends.h"
#include "IsoBoxes.h"
#include "PreviewRules.h"
#include "SampleScale.h"

namespace {

const uint8_t kJp2Signature[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
const uint8_t kCodestreamStart[4] = {0xFF, 0x4F, 0xFF, 0x51};  // SOC, SIZ

bool IsJp2(const uint8_t* p, size_t size) {
    return size >= sizeof kJp2Signature && std::memcmp(p, kJp2Signature, 12) == 0;
}

bool IsCodestream(const uint8_t* p, size_t size) {
    return size >= 4 && std::memcmp(p, kCodestreamStart, 4) == 0;
}

// ---------------------------------------------------------------------------------------------
// The caller's bytes as an OpenJPEG stream.

struct Source {
    const uint8_t* data;
    uint64_t size;
    uint64_t pos;
};

OPJ_SIZE_T SourceRead(void* buffer, OPJ_SIZE_T n, void* user) {
    auto* s = static_cast<Source*>(user);
    if (s->pos >= s->size) return static_cast<OPJ_SIZE_T>(-1);
    const uint64_t take = std::min<uint64_t>(n, s->size - s->pos);
    std::memcpy(buffer, s->data + s->pos, static_cast<size_t>(take));
    s->pos += take;
    return static_cast<OPJ_SIZE_T>(take);
}

OPJ_OFF_T SourceSkip(OPJ_OFF_T n, void* user) {
    auto* s = static_cast<Source*>(user);
    if (n < 0) {
        const uint64_t back = std::min<uint64_t>(s->pos, static_cast<uint64_t>(-(n + 1)) + 1);
        s->pos -= back;
        return -static_cast<OPJ_OFF_T>(back);
    }
    const uint64_t ahead = std::min<uint64_t>(static_cast<uint64_t>(n), s->size - s->pos);
    s->pos += ahead;
    return static_cast<OPJ_OFF_T>(ahead);
}

OPJ_BOOL SourceSeek(OPJ_OFF_T to, void* user) {
    auto* s = static_cast<Source*>(user);
    if (to < 0 || static_cast<uint64_t>(to) > s->size) return OPJ_FALSE;
    s->pos = static_cast<uint64_t>(to);
    return OPJ_TRUE;
}

void Quiet(const char*, void*) {}

struct CodecCloser {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamCloser {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageCloser {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};

// ---------------------------------------------------------------------------------------------
// The JP2 header's resolution (res box: resd preferred, else resc), in dots per inch.

uint64_t LoadBE(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

bool ResolutionOf(ByteReader box, double& x_dpi, double& y_dpi) {
    uint8_t b[10];
    if (!box.ReadBytes(b, 10)) return false;
    auto dpi = [](uint64_t n, uint64_t d, int8_t e) {
        if (n == 0 || d == 0 || e < -20 || e > 20) return 0.0;
        return static_cast<double>(n) / static_cast<double>(d) * std::pow(10.0, e) * 0.0254;
    };
    y_dpi = dpi(LoadBE(b, 2), LoadBE(b + 2, 2), static_cast<int8_t>(b[8]));
    x_dpi = dpi(LoadBE(b + 4, 2), LoadBE(b + 6, 2), static_cast<int8_t>(b[9]));
    return x_dpi > 0 && y_dpi > 0;
}

void ReadResolution(const uint8_t* data, size_t size, DecodeResult& result) {
    ByteReader header, res, box;
    if (!FindBox(ByteReader(data, size), BoxType("jp2h"), header) ||
        !FindBox(header, BoxType("res "), res)) {
        return;
    }
    double x = 0, y = 0;
    if ((FindBox(res, BoxType("resd"), box) && ResolutionOf(box, x, y)) ||
        (FindBox(res, BoxType("resc"), box) && ResolutionOf(box, x, y))) {
        result.x_dpi = x;
        result.y_dpi = y;
    }
}

// ---------------------------------------------------------------------------------------------
// Components to pixels.

// One component brought to 8 bits at every pixel of the picture.
class Channel {
public:
    // `factor`: the resolution levels that the decode left out (0: the whole picture).
    bool Set(const opj_image_t& image, const opj_image_comp_t& c, uint32_t width,
             uint32_t factor) {
        if (!c.data || c.w == 0 || c.h == 0 || c.dx == 0 || c.dy == 0 || c.prec < 1 ||
            c.prec > 31) {
            return false;
        }
        m_comp = &c;
        m_x0 = Reduce(image.x0, factor);
        m_y0 = Reduce(image.y0, factor);
        m_first_x = Reduce(c.x0, factor);
        m_first_y = Reduce(c.y0, factor);
        m_max = (int64_t{1} << c.prec) - 1;
        m_offset = c.sgnd ? int64_t{1} << (c.prec - 1) : 0;
        m_columns.resize(width);
        for (uint32_t x = 0; x < width; ++x) m_columns[x] = Index(m_x0 + x, c.dx, m_first_x, c.w);
        if (c.prec <= 16) {
            m_table.resize(static_cast<size_t>(m_max) + 1);
            for (int64_t v = 0; v <= m_max; ++v) m_table[static_cast<size_t>(v)] = Scale(v);
        }
        return true;
    }

    // Sets the row that At reads from (y counted from the picture's top).
    void Row(uint32_t y) {
        const uint32_t r = Index(m_y0 + y, m_comp->dy, m_first_y, m_comp->h);
        m_row = m_comp->data + static_cast<size_t>(r) * m_comp->w;
    }

    // A reference-grid position at `factor` levels below the full resolution (ceil(v / 2^f)).
    static uint32_t Reduce(uint32_t v, uint32_t factor) {
        return static_cast<uint32_t>((uint64_t{v} + (uint64_t{1} << factor) - 1) >> factor);
    }

    uint8_t At(uint32_t x) const {
        int64_t v = int64_t{m_row[m_columns[x]]} + m_offset;
        v = v < 0 ? 0 : (v > m_max ? m_max : v);
        return m_table.empty() ? Scale(v) : m_table[static_cast<size_t>(v)];
    }

private:
    // Nearest sample of a sub-sampled component: the one whose grid position lies at or before
    // the pixel, kept inside the component.
    static uint32_t Index(uint64_t position, uint32_t step, uint32_t first, uint32_t count) {
        const uint64_t at = position / step;
        if (at <= first) return 0;
        return static_cast<uint32_t>(std::min<uint64_t>(at - first, count - 1));
    }

    uint8_t Scale(int64_t v) const { return static_cast<uint8_t>((v * 255 + m_max / 2) / m_max); }

    const opj_image_comp_t* m_comp = nullptr;
    uint32_t m_x0 = 0, m_y0 = 0;            // the picture's origin at this resolution
    uint32_t m_first_x = 0, m_first_y = 0;  // the component's first sample there
    const OPJ_INT32* m_row = nullptr;
    int64_t m_max = 255;
    int64_t m_offset = 0;
    std::vector<uint32_t> m_columns;
    std::vector<uint8_t> m_table;
};

uint8_t Clamp8(double v) {
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : std::lround(v)));
}

// How the components make pixels: colour or grey, and whether one is alpha.
struct Components {
    uint32_t n, colour_count;
    bool colour, cmyk, ycc, alpha;
    explicit Components(const opj_image_t& image) : Components(image.numcomps, image.color_space) {}
    Components(uint32_t count, OPJ_COLOR_SPACE space)
        : n(std::min<uint32_t>(count, 4)),
          colour(n >= 3 && space != OPJ_CLRSPC_GRAY),
          cmyk(colour && n == 4 && space == OPJ_CLRSPC_CMYK),
          ycc(colour && space == OPJ_CLRSPC_SYCC) {
        colour_count = colour ? (cmyk ? 4 : 3) : 1;
        alpha = n > colour_count;
    }
    uint16_t Bits() const { return alpha ? 32 : (colour ? 24 : 8); }
};

// The picture decoded `factor` resolution levels below the full one.
CodecStatus Fill(const opj_image_t& image, DibCanvas& canvas, uint32_t factor = 0) {
    const uint32_t width = Channel::Reduce(image.x1, factor) - Channel::Reduce(image.x0, factor);
    const uint32_t height = Channel::Reduce(image.y1, factor) - Channel::Reduce(image.y0, factor);
    const Components kinds(image);
    const uint32_t n = kinds.n;
    const bool colour = kinds.colour, cmyk = kinds.cmyk, ycc = kinds.ycc, alpha = kinds.alpha;
    const uint32_t colour_count = kinds.colour_count;
    Channel channels[4];
    for (uint32_t c = 0; c < n; ++c) {
        if (!channels[c].Set(image, image.comps[c], width, factor)) return CodecStatus::Broken;
    }
    const CodecStatus created = canvas.Create(width, height, kinds.Bits());
    if (created != CodecStatus::Ok) return created;
    if (!colour && !alpha) canvas.SetGreyPalette();
    const uint32_t step = alpha ? 4 : (colour ? 3 : 1);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t c = 0; c < n; ++c) channels[c].Row(y);
        uint8_t* q = canvas.Row(y);
        for (uint32_t x = 0; x < width; ++x, q += step) {
            uint8_t r = channels[0].At(x), g = r, b = r;
            if (colour) {
                g = channels[1].At(x);
                b = channels[2].At(x);
            }
            if (cmyk) {
                uint8_t bgr[3];
                CmykToBgr(r, g, b, channels[3].At(x), bgr);
                r = bgr[2], g = bgr[1], b = bgr[0];
            } else if (ycc) {
                const double luma = r, cb = g - 128.0, cr = b - 128.0;
                r = Clamp8(luma + 1.402 * cr);
                g = Clamp8(luma - 0.344136 * cb - 0.714136 * cr);
                b = Clamp8(luma + 1.772 * cb);
            }
            if (step == 1) {
                q[0] = r;
                continue;
            }
            q[0] = b, q[1] = g, q[2] = r;
            if (alpha) q[3] = channels[colour_count].At(x);
        }
    }
    return CodecStatus::Ok;
}

class Jp2Codec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeJp2; }
    bool Reads(uint32_t type) const override { return type == kTypeJp2 || type == kTypeJ2k; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return IsJp2(p, size) || IsCodestream(p, size);
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        const bool jp2 = IsJp2(data, size);
        if (!jp2 && !IsCodestream(data, size)) return CodecStatus::NotThisFormat;
        if (request.frame != 0) return CodecStatus::NoFrame;
        result.type = jp2 ? kTypeJp2 : kTypeJ2k;
        result.frame_count = 1;
        if (jp2) ReadResolution(data, size, result);
        const CodecStatus status = DecodePixels(data, size, jp2, canvas);
        if (status != CodecStatus::Ok) canvas.Reset();
        return status;
    }

    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                     PictureHeader& header) const override {
        const bool jp2 = IsJp2(data, size);
        if (!jp2 && !IsCodestream(data, size)) return CodecStatus::NotThisFormat;
        header.result.type = jp2 ? kTypeJp2 : kTypeJ2k;
        header.result.frame_count = 1;
        if (jp2) ReadResolution(data, size, header.result);
        DibCanvas unused;
        return DecodePixels(data, size, jp2, unused, &header);
    }

    // The codestream's own resolution level whose long side is the smallest still at least
    // kPreviewTarget (the whole picture when it is smaller than that). A large picture coded
    // without such a level has no cheap preview.
    CodecStatus DecodePreview(const uint8_t* data, size_t size, const DecodeRequest& request,
                              DibCanvas& canvas, DecodeResult& result) const override {
        const bool jp2 = IsJp2(data, size);
        if (!jp2 && !IsCodestream(data, size)) return CodecStatus::NotThisFormat;
        if (request.frame != 0) return CodecStatus::NoFrame;
        result.type = jp2 ? kTypeJp2 : kTypeJ2k;
        result.frame_count = 1;
        if (jp2) ReadResolution(data, size, result);
        const CodecStatus status = DecodePixels(data, size, jp2, canvas, nullptr, true);
        if (status != CodecStatus::Ok) canvas.Reset();
        return status;
    }

private:
    // The resolution levels to leave out for a preview of this picture; false when no level of
    // the codestream makes a cheap one.
    static bool PreviewFactor(opj_codec_t* codec, const opj_image_t& image, uint32_t& factor) {
        opj_codestream_info_v2_t* info = opj_get_cstr_info(codec);
        if (!info) return false;
        uint32_t levels = 0;
        if (info->m_default_tile_info.tccp_info && info->nbcomps > 0) {
            levels = info->m_default_tile_info.tccp_info[0].numresolutions;
            for (uint32_t c = 1; c < info->nbcomps; ++c) {
                levels = std::min(levels, info->m_default_tile_info.tccp_info[c].numresolutions);
            }
        }
        opj_destroy_cstr_info(&info);
        if (levels == 0) return false;
        auto long_side = [&](uint32_t f) {
            return std::max(Channel::Reduce(image.x1, f) - Channel::Reduce(image.x0, f),
                            Channel::Reduce(image.y1, f) - Channel::Reduce(image.y0, f));
        };
        factor = 0;
        while (factor + 1 < levels && factor < 31 && long_side(factor + 1) >= kPreviewTarget) {
            ++factor;
        }
        // A large picture coded without a single reduced level costs a whole decode: no cheap
        // preview.
        return factor > 0 || long_side(1) < kPreviewTarget;
    }

    // With `header_only` set, stops after the main header (JP2: the header boxes) and reports it; with
    // `preview`, decodes the reduced resolution level that PreviewFactor chooses.
    static CodecStatus DecodePixels(const uint8_t* data, size_t size, bool jp2, DibCanvas& canvas,
                                    PictureHeader* header_only = nullptr, bool preview = false) {
        std::unique_ptr<opj_codec_t, CodecCloser> codec(
            opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
        if (!codec) return CodecStatus::NoMemory;
        opj_set_info_handler(codec.get(), Quiet, nullptr);
        opj_set_warning_handler(codec.get(), Quiet, nullptr);
        opj_set_error_handler(codec.get(), Quiet, nullptr);
        opj_dparameters_t parameters;
        opj_set_default_decoder_parameters(&parameters);
        if (!opj_setup_decoder(codec.get(), &parameters)) return CodecStatus::Broken;

        Source source{data, size, 0};
        std::unique_ptr<opj_stream_t, StreamCloser> stream(
            opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE));
        if (!stream) return CodecStatus::NoMemory;
        opj_stream_set_user_data(stream.get(), &source, nullptr);
        opj_stream_set_user_data_length(stream.get(), size);
        opj_stream_set_read_function(stream.get(), SourceRead);
        opj_stream_set_skip_function(stream.get(), SourceSkip);
        opj_stream_set_seek_function(stream.get(), SourceSeek);

        opj_image_t* raw_image = nullptr;
        const bool header = opj_read_header(stream.get(), codec.get(), &raw_image);
        std::unique_ptr<opj_image_t, ImageCloser> image(raw_image);
        if (!header || !image) return CodecStatus::Broken;
        // Sizes are known now: refuse what the DIB could not hold before OpenJPEG allocates
        // the components.
        if (image->x1 <= image->x0 || image->y1 <= image->y0 || image->numcomps == 0) {
            return CodecStatus::Broken;
        }
        const CodecStatus fits = CheckDeclaredSize(image->x1 - image->x0, image->y1 - image->y0);
        if (fits != CodecStatus::Ok) return fits;
        if (header_only) {
            header_only->width = image->x1 - image->x0;
            header_only->height = image->y1 - image->y0;
            // A JP2 palette (pclr) turns the codestream's index component into its columns when
            // the picture is decoded.
            uint32_t count = image->numcomps;
            ByteReader jp2h, pclr;
            uint8_t head[3];
            if (jp2 && FindBox(ByteReader(data, size), BoxType("jp2h"), jp2h) &&
                FindBox(jp2h, BoxType("pclr"), pclr) && pclr.ReadBytes(head, 3) && head[2] > 0) {
                count = head[2];
            }
            header_only->bit_count = Components(count, image->color_space).Bits();
            return CodecStatus::Ok;
        }
        if (image->numcomps > 4) {
            // Only the first four are used; the others need not be decoded at all.
            const OPJ_UINT32 wanted[4] = {0, 1, 2, 3};
            if (!opj_set_decoded_components(codec.get(), 4, wanted, OPJ_FALSE)) {
                return CodecStatus::Unsupported;
            }
        }
        uint32_t factor = 0;
        if (preview) {
            if (!PreviewFactor(codec.get(), *image, factor)) return CodecStatus::Unsupported;
            if (factor > 0 && !opj_set_decoded_resolution_factor(codec.get(), factor)) {
                return CodecStatus::Broken;
            }
        }
        if (!opj_decode(codec.get(), stream.get(), image.get()) ||
            !opj_end_decompress(codec.get(), stream.get())) {
            return CodecStatus::Broken;
        }
        return Fill(*image, canvas, factor);
    }
};

}  // namespace

const CodecBackend& Jp2Backend() {
    static const Jp2Codec backend;
    return backend;
}
