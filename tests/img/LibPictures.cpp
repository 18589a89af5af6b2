#include "LibPictures.h"

#include <libraw/libraw.h>
#include <openjpeg.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace img_test {

// ---------------------------------------------------------------------------------------------
// TIFF

namespace {

struct TiffDeleter {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
using Tiff = std::unique_ptr<TIFF, TiffDeleter>;

void QuietLibtiff() {
    static const bool once = [] {
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(nullptr);
        return true;
    }();
    (void)once;
}

bool WritePage(TIFF* tif, const TiffPage& p) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, p.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, p.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, p.bps);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, p.spp);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, p.photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, p.planar);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, p.compression);
    if (p.sample_format != SAMPLEFORMAT_UINT) {
        TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, p.sample_format);
    }
    if (p.subfile_type) TIFFSetField(tif, TIFFTAG_SUBFILETYPE, p.subfile_type);
    if (p.compression == COMPRESSION_JPEG && p.photometric == PHOTOMETRIC_YCBCR) {
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    } else if (p.photometric == PHOTOMETRIC_YCBCR) {
        TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, 1, 1);  // raw samples, one set a pixel
    }
    if (!p.extra_samples.empty()) {
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, static_cast<uint16_t>(p.extra_samples.size()),
                     p.extra_samples.data());
    }
    if (!p.colormap.empty()) {
        const size_t n = p.colormap.size() / 3;
        TIFFSetField(tif, TIFFTAG_COLORMAP, p.colormap.data(), p.colormap.data() + n,
                     p.colormap.data() + 2 * n);
    }
    if (p.x_res > 0) {
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, p.x_res);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, p.y_res);
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, p.res_unit);
    }
    // Each plane as scanlines of its own samples: the page's samples, or one of them each.
    const bool separate = p.planar == PLANARCONFIG_SEPARATE;
    const uint32_t per_plane = separate ? 1 : p.spp;
    const size_t row_bytes = (static_cast<size_t>(p.width) * p.bps * per_plane + 7) / 8;
    std::vector<std::vector<uint8_t>> planes(separate ? p.spp : 1);
    for (size_t s = 0; s < planes.size(); ++s) {
        if (!separate) {
            planes[s] = p.pixels;
            continue;
        }
        planes[s].assign(row_bytes * p.height, 0);
        for (uint32_t y = 0; y < p.height; ++y) {
            for (uint64_t x = 0; x < p.width; ++x) {
                const uint64_t from = (x * p.spp + s) * p.bps, to = x * p.bps;
                for (uint32_t b = 0; b < p.bps; ++b) {
                    const uint8_t* src = p.pixels.data() + y * p.RowBytes();
                    if ((src[(from + b) / 8] >> (7 - (from + b) % 8)) & 1) {
                        planes[s][y * row_bytes + (to + b) / 8] |=
                            static_cast<uint8_t>(0x80 >> ((to + b) % 8));
                    }
                }
            }
        }
    }
    if (p.tile) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, p.tile);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, p.tile);
        const size_t tile_row = (static_cast<size_t>(p.tile) * p.bps * per_plane + 7) / 8;
        std::vector<uint8_t> tile(tile_row * p.tile);
        for (size_t s = 0; s < planes.size(); ++s) {
            for (uint32_t y = 0; y < p.height; y += p.tile) {
                for (uint32_t x = 0; x < p.width; x += p.tile) {
                    std::fill(tile.begin(), tile.end(), 0);
                    const size_t offset = static_cast<size_t>(x) * p.bps * per_plane / 8;
                    const size_t take = std::min(tile_row, row_bytes - offset);
                    for (uint32_t r = 0; r < p.tile && y + r < p.height; ++r) {
                        std::memcpy(tile.data() + r * tile_row,
                                    planes[s].data() + (y + r) * row_bytes + offset, take);
                    }
                    if (TIFFWriteTile(tif, tile.data(), x, y, 0, static_cast<uint16_t>(s)) < 0) {
                        return false;
                    }
                }
            }
        }
        return TIFFWriteDirectory(tif) != 0;
    }
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP,
                 p.rows_per_strip ? p.rows_per_strip : TIFFDefaultStripSize(tif, 0));
    std::vector<uint8_t> row(row_bytes);
    for (size_t s = 0; s < planes.size(); ++s) {
        for (uint32_t y = 0; y < p.height; ++y) {
            std::memcpy(row.data(), planes[s].data() + y * row_bytes, row_bytes);
            if (TIFFWriteScanline(tif, row.data(), y, static_cast<uint16_t>(s)) < 0) return false;
        }
    }
    return TIFFWriteDirectory(tif) != 0;
}

// libtiff writes through a temporary file: linking directories reads back what was written.
class TiffFile {
public:
    TiffFile() : m_file(std::tmpfile()) { QuietLibtiff(); }
    explicit TiffFile(const std::vector<uint8_t>& bytes) : TiffFile() {
        if (m_file && std::fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size()) {
            std::fclose(m_file);
            m_file = nullptr;
        }
        if (m_file) std::fflush(m_file), std::rewind(m_file);
    }
    ~TiffFile() {
        if (m_file) std::fclose(m_file);
    }
    TIFF* Open(const char* mode) {
        return m_file ? TIFFFdOpen(dup(fileno(m_file)), "temporary", mode) : nullptr;
    }
    std::vector<uint8_t> Bytes() {
        std::vector<uint8_t> out;
        if (!m_file || std::fseek(m_file, 0, SEEK_END) != 0) return out;
        out.resize(static_cast<size_t>(std::ftell(m_file)));
        std::rewind(m_file);
        if (std::fread(out.data(), 1, out.size(), m_file) != out.size()) out.clear();
        return out;
    }

private:
    FILE* m_file;
};

}  // namespace

std::vector<uint8_t> MakeTiff(const std::vector<TiffPage>& pages, const char* mode) {
    TiffFile file;
    Tiff tif(file.Open(mode));
    if (!tif) return {};
    for (const TiffPage& p : pages) {
        if (!WritePage(tif.get(), p)) return {};
    }
    tif.reset();
    return file.Bytes();
}

void FillRandom(TiffPage& page, std::mt19937& rng) {
    page.pixels.resize(page.RowBytes() * page.height);
    for (uint8_t& b : page.pixels) b = static_cast<uint8_t>(rng());
    if (page.photometric == PHOTOMETRIC_PALETTE) {
        page.colormap.resize(3u << page.bps);
        for (uint16_t& c : page.colormap) c = static_cast<uint16_t>((rng() & 255) * 257);
    }
    const bool associated =
        !page.extra_samples.empty() && page.extra_samples[0] == EXTRASAMPLE_ASSOCALPHA;
    if (!associated) return;
    const size_t pixels = static_cast<size_t>(page.width) * page.height;
    const uint16_t alpha = static_cast<uint16_t>(page.spp - page.extra_samples.size());
    for (size_t i = 0; i < pixels; ++i) {
        for (uint16_t s = 0; s < alpha; ++s) {
            if (page.bps == 16) {
                auto* v = reinterpret_cast<uint16_t*>(page.pixels.data()) + i * page.spp;
                v[s] = static_cast<uint16_t>(v[s] % (uint32_t{v[alpha]} + 1));
            } else {
                uint8_t* v = page.pixels.data() + i * page.spp;
                v[s] = static_cast<uint8_t>(v[s] % (v[alpha] + 1));
            }
        }
    }
}

bool TiffReference(const std::vector<uint8_t>& bytes, int page, std::vector<uint8_t>& rgba,
                   uint32_t& width, uint32_t& height) {
    TiffFile file(bytes);
    Tiff tif(file.Open("r"));
    if (!tif || !TIFFSetDirectory(tif.get(), static_cast<tdir_t>(page))) return false;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
    std::vector<uint32_t> raster(static_cast<size_t>(width) * height);
    if (!TIFFReadRGBAImageOriented(tif.get(), width, height, raster.data(), ORIENTATION_TOPLEFT,
                                   0)) {
        return false;
    }
    rgba.resize(raster.size() * 4);
    for (size_t i = 0; i < raster.size(); ++i) {
        rgba[i * 4] = static_cast<uint8_t>(TIFFGetR(raster[i]));
        rgba[i * 4 + 1] = static_cast<uint8_t>(TIFFGetG(raster[i]));
        rgba[i * 4 + 2] = static_cast<uint8_t>(TIFFGetB(raster[i]));
        rgba[i * 4 + 3] = static_cast<uint8_t>(TIFFGetA(raster[i]));
    }
    return true;
}

uint16_t TiffTag(const std::vector<uint8_t>& bytes, uint32_t tag) {
    TiffFile file(bytes);
    Tiff tif(file.Open("r"));
    uint16_t value = 0;
    if (!tif || !TIFFGetField(tif.get(), tag, &value)) return 0;
    return value;
}

// ---------------------------------------------------------------------------------------------
// JPEG 2000

namespace {

struct Bytes {
    std::vector<uint8_t> data;
    size_t pos = 0;
};

OPJ_SIZE_T StreamRead(void* buffer, OPJ_SIZE_T n, void* user) {
    auto* b = static_cast<Bytes*>(user);
    if (b->pos >= b->data.size()) return static_cast<OPJ_SIZE_T>(-1);
    const size_t take = std::min<size_t>(n, b->data.size() - b->pos);
    std::memcpy(buffer, b->data.data() + b->pos, take);
    b->pos += take;
    return take;
}

OPJ_SIZE_T StreamWrite(void* buffer, OPJ_SIZE_T n, void* user) {
    auto* b = static_cast<Bytes*>(user);
    if (b->pos + n > b->data.size()) b->data.resize(b->pos + n);
    std::memcpy(b->data.data() + b->pos, buffer, n);
    b->pos += n;
    return n;
}

OPJ_OFF_T StreamSkip(OPJ_OFF_T n, void* user) {
    auto* b = static_cast<Bytes*>(user);
    b->pos = static_cast<size_t>(static_cast<OPJ_OFF_T>(b->pos) + n);
    return n;
}

OPJ_BOOL StreamSeek(OPJ_OFF_T to, void* user) {
    static_cast<Bytes*>(user)->pos = static_cast<size_t>(to);
    return OPJ_TRUE;
}

opj_stream_t* MakeStream(Bytes& bytes, bool input) {
    opj_stream_t* s = opj_stream_create(1 << 16, input ? OPJ_TRUE : OPJ_FALSE);
    opj_stream_set_user_data(s, &bytes, nullptr);
    if (input) {
        opj_stream_set_user_data_length(s, bytes.data.size());
        opj_stream_set_read_function(s, StreamRead);
    } else {
        opj_stream_set_write_function(s, StreamWrite);
    }
    opj_stream_set_skip_function(s, StreamSkip);
    opj_stream_set_seek_function(s, StreamSeek);
    return s;
}

uint8_t To8(int32_t v, uint32_t precision, bool is_signed) {
    if (is_signed) v += 1 << (precision - 1);
    const int64_t max = (int64_t{1} << precision) - 1;
    v = static_cast<int32_t>(std::clamp<int64_t>(v, 0, max));
    return static_cast<uint8_t>((v * 255 + max / 2) / max);
}

}  // namespace

uint32_t Jp2Picture::PlaneWidth(uint32_t c) const {
    const uint32_t d = (c == 1 || c == 2) ? dx : 1;
    return (width + d - 1) / d;
}

uint32_t Jp2Picture::PlaneHeight(uint32_t c) const {
    const uint32_t d = (c == 1 || c == 2) ? dy : 1;
    return (height + d - 1) / d;
}

void FillRandom(Jp2Picture& p, std::mt19937& rng) {
    p.planes.assign(p.components, {});
    const int32_t low = p.is_signed ? -(1 << (p.precision - 1)) : 0;
    const uint32_t span = 1u << p.precision;
    for (uint32_t c = 0; c < p.components; ++c) {
        std::vector<int32_t>& plane = p.planes[c];
        plane.resize(static_cast<size_t>(p.PlaneWidth(c)) * p.PlaneHeight(c));
        // Smooth ramps with noise: lossy coding then keeps its errors small.
        for (size_t i = 0; i < plane.size(); ++i) {
            const uint32_t x = static_cast<uint32_t>(i % p.PlaneWidth(c));
            const uint32_t base = (x * 7 + c * 40) * span / 256;
            plane[i] = low + static_cast<int32_t>((base + rng() % (span / 8 + 1)) % span);
        }
    }
}

std::vector<uint8_t> MakeJp2(const Jp2Picture& p) {
    std::vector<opj_image_cmptparm_t> parms(p.components);
    for (uint32_t c = 0; c < p.components; ++c) {
        opj_image_cmptparm_t& m = parms[c];
        std::memset(&m, 0, sizeof m);
        m.dx = (c == 1 || c == 2) ? p.dx : 1;
        m.dy = (c == 1 || c == 2) ? p.dy : 1;
        m.w = p.PlaneWidth(c);
        m.h = p.PlaneHeight(c);
        m.prec = p.precision;
        m.sgnd = p.is_signed ? 1 : 0;
    }
    opj_image_t* image =
        opj_image_create(p.components, parms.data(), static_cast<OPJ_COLOR_SPACE>(p.colour_space));
    if (!image) return {};
    image->x0 = image->y0 = 0;
    image->x1 = p.width;
    image->y1 = p.height;
    for (uint32_t c = 0; c < p.components; ++c) {
        std::copy(p.planes[c].begin(), p.planes[c].end(), image->comps[c].data);
    }
    if (p.alpha) image->comps[p.components - 1].alpha = 1;

    opj_cparameters_t parameters;
    opj_set_default_encoder_parameters(&parameters);
    parameters.tcp_numlayers = 1;
    parameters.tcp_rates[0] = p.lossy ? 12.0f : 0.0f;
    parameters.cp_disto_alloc = 1;
    parameters.tcp_mct = (p.components >= 3 && p.dx == 1 && p.dy == 1) ? 1 : 0;
    const uint32_t smallest =
        std::min(p.PlaneWidth(p.components > 1 ? 1 : 0), p.PlaneHeight(p.components > 1 ? 1 : 0));
    if (p.resolutions > 0) parameters.numresolution = static_cast<int>(p.resolutions);
    while (parameters.numresolution > 1 &&
           (1u << (parameters.numresolution - 1)) > std::min({smallest, p.width, p.height})) {
        --parameters.numresolution;
    }
    opj_codec_t* codec = opj_create_compress(p.codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2);
    Bytes out;
    opj_stream_t* stream = MakeStream(out, false);
    const bool ok = opj_setup_encoder(codec, &parameters, image) &&
                    opj_start_compress(codec, image, stream) && opj_encode(codec, stream) &&
                    opj_end_compress(codec, stream);
    opj_stream_destroy(stream);
    opj_destroy_codec(codec);
    opj_image_destroy(image);
    return ok ? out.data : std::vector<uint8_t>{};
}

std::vector<uint8_t> AddJp2Resolution(const std::vector<uint8_t>& jp2, double x_dpi, double y_dpi) {
    auto u32 = [&](size_t at) {
        return uint32_t{jp2[at]} << 24 | uint32_t{jp2[at + 1]} << 16 | uint32_t{jp2[at + 2]} << 8 |
               jp2[at + 3];
    };
    auto put32 = [](std::vector<uint8_t>& v, uint32_t x) {
        for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<uint8_t>(x >> s));
    };
    auto put16 = [](std::vector<uint8_t>& v, uint32_t x) {
        v.push_back(static_cast<uint8_t>(x >> 8));
        v.push_back(static_cast<uint8_t>(x));
    };
    std::vector<uint8_t> res;
    put32(res, 26);
    res.insert(res.end(), {'r', 'e', 's', ' '});
    put32(res, 18);
    res.insert(res.end(), {'r', 'e', 's', 'c'});
    // Grid points per metre = N / D * 10^E; with D = 254 and E = 2, N = dots per inch * 100.
    put16(res, static_cast<uint32_t>(y_dpi * 100 + 0.5));
    put16(res, 254);
    put16(res, static_cast<uint32_t>(x_dpi * 100 + 0.5));
    put16(res, 254);
    res.push_back(2);
    res.push_back(2);
    for (size_t at = 0; at + 8 <= jp2.size();) {
        const uint32_t length = u32(at);
        if (std::memcmp(jp2.data() + at + 4, "jp2h", 4) == 0) {
            std::vector<uint8_t> out(jp2.begin(), jp2.begin() + static_cast<ptrdiff_t>(at));
            put32(out, length + static_cast<uint32_t>(res.size()));
            out.insert(out.end(), jp2.begin() + static_cast<ptrdiff_t>(at + 4),
                       jp2.begin() + static_cast<ptrdiff_t>(at + length));
            out.insert(out.end(), res.begin(), res.end());
            out.insert(out.end(), jp2.begin() + static_cast<ptrdiff_t>(at + length), jp2.end());
            return out;
        }
        if (length < 8) break;
        at += length;
    }
    return jp2;
}

bool Jp2Reference(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& rgba, uint32_t& width,
                  uint32_t& height, uint32_t factor) {
    Bytes in{bytes, 0};
    const bool codestream = bytes.size() > 2 && bytes[0] == 0xFF && bytes[1] == 0x4F;
    opj_codec_t* codec = opj_create_decompress(codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    parameters.cp_reduce = factor;
    opj_setup_decoder(codec, &parameters);
    opj_stream_t* stream = MakeStream(in, true);
    opj_image_t* image = nullptr;
    bool ok = opj_read_header(stream, codec, &image) && opj_decode(codec, stream, image) &&
              opj_end_decompress(codec, stream);
    // Positions on the reference grid `factor` levels down: ceil(v / 2^factor).
    auto down = [factor](uint32_t v) {
        return static_cast<uint32_t>((uint64_t{v} + (1u << factor) - 1) >> factor);
    };
    if (ok) {
        width = down(image->x1) - down(image->x0);
        height = down(image->y1) - down(image->y0);
        const uint32_t n = std::min<uint32_t>(image->numcomps, 4);
        rgba.assign(static_cast<size_t>(width) * height * 4, 255);
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                uint8_t v[4] = {0, 0, 0, 255};
                for (uint32_t c = 0; c < n; ++c) {
                    const opj_image_comp_t& m = image->comps[c];
                    const uint32_t cx =
                        std::min((down(image->x0) + x) / m.dx - down(m.x0), m.w - 1);
                    const uint32_t cy =
                        std::min((down(image->y0) + y) / m.dy - down(m.y0), m.h - 1);
                    v[c] = To8(m.data[static_cast<size_t>(cy) * m.w + cx], m.prec, m.sgnd != 0);
                }
                uint8_t* q = rgba.data() + (static_cast<size_t>(y) * width + x) * 4;
                if (n <= 2) {
                    q[0] = q[1] = q[2] = v[0];
                    q[3] = n == 2 ? v[1] : 255;
                } else {
                    q[0] = v[0], q[1] = v[1], q[2] = v[2], q[3] = n == 4 ? v[3] : 255;
                }
            }
        }
    }
    if (image) opj_image_destroy(image);
    opj_stream_destroy(stream);
    opj_destroy_codec(codec);
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Camera RAW

// The preview directory after the raw one: one strip, a JPEG stream written as it is.
static bool WriteDngPreview(TIFF* t, const DngPreview& p) {
    const bool jpeg = !p.jpeg.empty();
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, p.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, p.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, p.height);
    TIFFSetField(t, TIFFTAG_COMPRESSION, jpeg ? COMPRESSION_JPEG : COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, jpeg ? PHOTOMETRIC_YCBCR : PHOTOMETRIC_RGB);
    if (jpeg) TIFFSetField(t, TIFFTAG_JPEGTABLESMODE, 0);
    const std::vector<uint8_t>& bytes = jpeg ? p.jpeg : p.rgb;
    std::vector<uint8_t> copy(bytes);
    return TIFFWriteRawStrip(t, 0, copy.data(), static_cast<tmsize_t>(copy.size())) >= 0 &&
           TIFFWriteDirectory(t);
}

std::vector<uint8_t> MakeDng(uint32_t width, uint32_t height, std::vector<uint16_t> mosaic,
                             std::mt19937& rng, uint16_t white, const DngPreview* preview) {
    QuietLibtiff();
    if (mosaic.empty()) {
        mosaic.resize(static_cast<size_t>(width) * height);
        for (size_t i = 0; i < mosaic.size(); ++i) {
            const uint32_t x = static_cast<uint32_t>(i % width);
            mosaic[i] = static_cast<uint16_t>((x * 3000 / width + rng() % 800) % (white + 1u));
        }
    }
    TiffFile file;
    {
        Tiff tif(file.Open("w"));
        if (!tif) return {};
        TIFF* t = tif.get();
        const uint16_t dims[2] = {2, 2};
        const uint8_t pattern[4] = {0, 1, 1, 2};  // R G / G B
        const uint8_t version[4] = {1, 4, 0, 0};
        const uint8_t backward[4] = {1, 1, 0, 0};
        const float matrix[9] = {0.6722f, -0.0635f, -0.0963f, -0.4287f, 1.2460f,
                                 0.2028f, -0.0908f, 0.2162f,  0.5668f};
        const float neutral[3] = {0.5f, 1.0f, 0.7f};
        const uint32_t white_level = white;
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, 0);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_ORIENTATION, preview ? preview->orientation : ORIENTATION_TOPLEFT);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, height);
        TIFFSetField(t, TIFFTAG_MAKE, "Zem");
        TIFFSetField(t, TIFFTAG_MODEL, "Test Camera");
        TIFFSetField(t, TIFFTAG_CFAREPEATPATTERNDIM, dims);
        TIFFSetField(t, TIFFTAG_CFAPATTERN, 4, pattern);
        TIFFSetField(t, TIFFTAG_DNGVERSION, version);
        TIFFSetField(t, TIFFTAG_DNGBACKWARDVERSION, backward);
        TIFFSetField(t, TIFFTAG_UNIQUECAMERAMODEL, "Zem Test Camera");
        TIFFSetField(t, TIFFTAG_COLORMATRIX1, 9, matrix);
        TIFFSetField(t, TIFFTAG_CALIBRATIONILLUMINANT1, 21);  // D65
        TIFFSetField(t, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
        TIFFSetField(t, TIFFTAG_WHITELEVEL, 1, &white_level);
        for (uint32_t y = 0; y < height; ++y) {
            if (TIFFWriteScanline(t, mosaic.data() + static_cast<size_t>(y) * width, y, 0) < 0) {
                return {};
            }
        }
        if (!TIFFWriteDirectory(t)) return {};
        if (preview && !WriteDngPreview(t, *preview)) return {};
    }
    return file.Bytes();
}

bool RawReference(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& rgb, uint32_t& width,
                  uint32_t& height) {
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK |
                                        LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
    std::vector<uint8_t> copy(bytes);
    raw->imgdata.params.use_camera_wb = 1;
    if (raw->open_buffer(copy.data(), copy.size()) != LIBRAW_SUCCESS ||
        raw->unpack() != LIBRAW_SUCCESS || raw->dcraw_process() != LIBRAW_SUCCESS) {
        return false;
    }
    int error = 0;
    libraw_processed_image_t* image = raw->dcraw_make_mem_image(&error);
    if (!image) return false;
    const bool ok = image->type == LIBRAW_IMAGE_BITMAP && image->colors == 3 && image->bits == 8;
    if (ok) {
        width = image->width;
        height = image->height;
        rgb.assign(image->data, image->data + image->data_size);
    }
    LibRaw::dcraw_clear_mem(image);
    return ok;
}

}  // namespace img_test
