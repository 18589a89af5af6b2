// TIFF through libtiff, from memory. Every directory is a frame. The common layouts (bilevel,
// palette, grey, grey+alpha, RGB, RGBA, CMYK with integer samples of 8 to 16 bits, grey and RGB
// with floating-point samples, JPEG-compressed YCbCr through libjpeg's colour conversion) are
// decoded scanline by scanline, straight into the DIB rows where a row fits there; tiled files
// and separate planes a band of strips or tiles at a time, interleaved into the same scanlines.
// Integer samples scale onto 8 bits; floating-point ones are linear light, shown clamped to
// [0, 1] through the sRGB curve. The rest (raw YCbCr, old-style JPEG, CIE L*a*b*, LogLuv...)
// goes through libtiff's RGBA reader in bands of whole strips or tiles. The writer makes
// palette, grey, RGB and RGBA files.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "Checked.h"
#include "CodecBackends.h"
#include "CxImage.h"
#include "SampleScale.h"
#include "TiffStructure.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Memory I/O for TIFFClientOpen: reading from the caller's bytes, writing into a vector.

struct MemoryIo {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    uint64_t pos = 0;
    std::vector<uint8_t>* out = nullptr;  // writing
};

tmsize_t IoRead(thandle_t h, void* buffer, tmsize_t n) {
    auto* io = static_cast<MemoryIo*>(h);
    if (n <= 0 || io->pos >= io->size) return 0;
    const uint64_t take = std::min<uint64_t>(static_cast<uint64_t>(n), io->size - io->pos);
    std::memcpy(buffer, io->data + io->pos, static_cast<size_t>(take));
    io->pos += take;
    return static_cast<tmsize_t>(take);
}

tmsize_t IoWrite(thandle_t h, void* buffer, tmsize_t n) {
    auto* io = static_cast<MemoryIo*>(h);
    if (!io->out || n < 0) return -1;
    uint64_t end = 0;
    if (!CheckedAdd(io->pos, static_cast<uint64_t>(n), end) || !FitsSizeT(end)) return -1;
    try {
        if (end > io->out->size()) io->out->resize(static_cast<size_t>(end));
    } catch (const std::bad_alloc&) {
        return -1;
    }
    std::memcpy(io->out->data() + io->pos, buffer, static_cast<size_t>(n));
    io->pos = end;
    io->size = io->out->size();
    io->data = io->out->data();
    return n;
}

toff_t IoSeek(thandle_t h, toff_t offset, int whence) {
    auto* io = static_cast<MemoryIo*>(h);
    uint64_t base = 0;
    if (whence == SEEK_CUR) base = io->pos;
    if (whence == SEEK_END) base = io->size;
    uint64_t to = 0;
    if (!CheckedAdd(base, offset, to)) return static_cast<toff_t>(-1);
    io->pos = to;
    return to;
}

int IoClose(thandle_t) { return 0; }
toff_t IoSize(thandle_t h) { return static_cast<MemoryIo*>(h)->size; }

int IoMap(thandle_t h, void** base, toff_t* size) {
    auto* io = static_cast<MemoryIo*>(h);
    if (io->out) return 0;  // no mapping while writing
    *base = const_cast<uint8_t*>(io->data);
    *size = io->size;
    return 1;
}

void IoUnmap(thandle_t, void*, toff_t) {}

int Quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

// Opens the bytes with libtiff's messages silenced for this handle alone.
TiffPtr OpenTiff(MemoryIo& io, const char* mode) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, Quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, Quiet, nullptr);
    // No single allocation beyond the largest DIB plus slack: damaged byte counts cannot make
    // libtiff ask for more.
    TIFFOpenOptionsSetMaxSingleMemAlloc(
        options, static_cast<tmsize_t>(
                     std::min<uint64_t>(DibCanvas::kMaxPixels * 4 + (1u << 20), SIZE_MAX / 2)));
    TIFF* tif = TIFFClientOpenExt("memory", mode, &io, IoRead, IoWrite, IoSeek, IoClose, IoSize,
                                  IoMap, IoUnmap, options);
    TIFFOpenOptionsFree(options);
    return TiffPtr(tif);
}

// ---------------------------------------------------------------------------------------------
// Decoding.

enum class Kind { Bilevel, Palette, Grey, GreyAlpha, Rgb, RgbAlpha, Cmyk };

// How one directory's samples become DIB pixels along a row.
struct Layout {
    Kind kind = Kind::Rgb;
    uint16_t bps = 8;
    uint16_t spp = 1;
    uint16_t planes = 1;  // spp when each sample is stored in a plane of its own
    uint16_t dib_bits = 24;
    uint16_t alpha = 0;  // sample index of the alpha channel (GreyAlpha, RgbAlpha)
    bool associated = false;
    bool min_is_white = false;
    bool floating = false;  // IEEE floating-point samples of 16, 24 or 32 bits

    // The largest integer sample (integer samples have at most 16 bits).
    uint32_t Max() const { return (1u << bps) - 1; }

    // Whether a converted row never runs ahead of its source, so the scanline can be read into
    // the DIB row and converted there.
    bool InPlace() const {
        switch (kind) {
            case Kind::Bilevel:
            case Kind::Palette:
                return bps != 2;
            case Kind::Grey:
                return bps >= 8;
            case Kind::Rgb:
            case Kind::Cmyk:
                return true;
            case Kind::RgbAlpha:
                return true;
            case Kind::GreyAlpha:
                return false;
        }
        return false;
    }

    // Integer sample s of pixel x at its own precision (8 to 16 bits), and scaled to 8 bits.
    uint32_t Raw(const uint8_t* row, uint32_t x, uint32_t s) const {
        const uint64_t i = uint64_t{x} * spp + s;
        if (bps == 8) return row[i];
        if (bps == 16) {
            uint16_t v;
            std::memcpy(&v, row + i * 2, 2);
            return v;
        }
        // Other depths (12 bits, say) are packed from the high bit of each byte.
        const uint64_t bit = i * bps;
        const uint8_t* p = row + bit / 8;
        const auto shift = static_cast<uint32_t>(bit % 8);
        const uint32_t bytes = (shift + bps + 7) / 8;
        uint32_t v = 0;
        for (uint32_t k = 0; k < bytes; ++k) v = v << 8 | p[k];
        return (v >> (bytes * 8 - shift - bps)) & Max();
    }
    uint8_t To8(uint32_t v) const {
        return bps == 8 ? static_cast<uint8_t>(v) : ScaleSample(v, Max());
    }
    uint32_t Sample(const uint8_t* row, uint32_t x, uint32_t s) const {
        return To8(Raw(row, x, s));
    }

    // Floating-point sample s of pixel x. libtiff hands samples over in the machine's byte
    // order (little-endian on every target).
    float Float(const uint8_t* row, uint32_t x, uint32_t s) const {
        const uint8_t* p = row + (uint64_t{x} * spp + s) * (bps / 8u);
        if (bps == 32) {
            float v;
            std::memcpy(&v, p, 4);
            return v;
        }
        if (bps == 16) return WidenFloat(uint32_t{p[0]} | uint32_t{p[1]} << 8, 5, 10);
        return WidenFloat(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16, 7, 16);
    }

    // Linear light: associated alpha undone, then clamped to [0, 1] through the sRGB curve;
    // alpha itself clamped and scaled.
    void ConvertFloat(const uint8_t* src, uint8_t* dst, uint32_t width) const {
        const bool grey = kind == Kind::Grey || kind == Kind::GreyAlpha;
        const bool with_alpha = kind == Kind::GreyAlpha || kind == Kind::RgbAlpha;
        const uint32_t step = dib_bits / 8u;
        for (uint32_t x = 0; x < width; ++x) {
            const float a = with_alpha ? Float(src, x, alpha) : 1.0f;
            auto colour = [&](uint32_t s) {
                float v = Float(src, x, s);
                if (grey && min_is_white) v = 1.0f - v;
                if (associated) v = a > 0.0f ? v / a : 0.0f;
                return LinearToDisplay8(v);
            };
            const uint8_t r = colour(0), g = grey ? r : colour(1), b = grey ? r : colour(2);
            uint8_t* q = dst + static_cast<size_t>(x) * step;
            if (kind == Kind::Grey) {
                q[0] = r;
                continue;
            }
            q[0] = b, q[1] = g, q[2] = r;
            if (with_alpha) q[3] = UnitTo8(a);
        }
    }

    void Convert(const uint8_t* src, uint8_t* dst, uint32_t width) const {
        if (floating) return ConvertFloat(src, dst, width);
        switch (kind) {
            case Kind::Bilevel:
            case Kind::Palette:
                if (bps == 2) {
                    WidenTwoBitRow(src, dst, width);
                } else if (src != dst) {
                    std::memcpy(dst, src, (static_cast<size_t>(width) * bps + 7) / 8);
                }
                return;
            case Kind::Grey: {
                const uint32_t max = (1u << (bps == 16 ? 8 : bps)) - 1;
                for (uint32_t x = 0; x < width; ++x) {
                    uint32_t v;
                    if (bps >= 8) {
                        v = Sample(src, x, 0);
                    } else {
                        const uint32_t bit = x * bps;
                        v = (src[bit / 8] >> (8 - bps - bit % 8)) & max;
                        v = v * 255 / max;
                    }
                    dst[x] = static_cast<uint8_t>(min_is_white ? 255 - v : v);
                }
                return;
            }
            case Kind::GreyAlpha:
            case Kind::RgbAlpha: {
                // Associated alpha is undone at the samples' own precision, then reduced.
                const uint32_t max = Max();
                const bool grey = kind == Kind::GreyAlpha;
                for (uint32_t x = 0; x < width; ++x) {
                    const uint32_t a = Raw(src, x, alpha);
                    auto colour = [&](uint32_t s) {
                        uint32_t v = Raw(src, x, s);
                        if (grey && min_is_white) v = max - v;
                        return To8(associated ? Unpremultiply(v, a, max) : v);
                    };
                    const uint8_t r = colour(0);
                    uint8_t* q = dst + static_cast<size_t>(x) * 4;
                    q[0] = grey ? r : colour(2), q[1] = grey ? r : colour(1), q[2] = r;
                    q[3] = To8(a);
                }
                return;
            }
            case Kind::Rgb:
                for (uint32_t x = 0; x < width; ++x) {
                    const auto r = static_cast<uint8_t>(Sample(src, x, 0));
                    const auto g = static_cast<uint8_t>(Sample(src, x, 1));
                    const auto b = static_cast<uint8_t>(Sample(src, x, 2));
                    uint8_t* q = dst + static_cast<size_t>(x) * 3;
                    q[0] = b, q[1] = g, q[2] = r;
                }
                return;
            case Kind::Cmyk:
                for (uint32_t x = 0; x < width; ++x) {
                    CmykToBgr(Sample(src, x, 0), Sample(src, x, 1), Sample(src, x, 2),
                              Sample(src, x, 3), dst + static_cast<size_t>(x) * 3);
                }
                return;
        }
    }
};

// The alpha sample among the extra samples, if any.
bool FindAlpha(TIFF* tif, uint16_t colour_samples, uint16_t spp, Layout& layout) {
    uint16_t count = 0;
    uint16_t* kinds = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &count, &kinds) || !kinds) return false;
    for (uint16_t i = 0; i < count; ++i) {
        if (kinds[i] != EXTRASAMPLE_ASSOCALPHA && kinds[i] != EXTRASAMPLE_UNASSALPHA) continue;
        const uint32_t index = static_cast<uint32_t>(spp) - count + i;
        if (index < colour_samples || index >= spp) return false;
        layout.alpha = static_cast<uint16_t>(index);
        layout.associated = kinds[i] == EXTRASAMPLE_ASSOCALPHA;
        return true;
    }
    return false;
}

// Picks the scanline layout for the current directory; false sends it to the RGBA reader.
bool ChooseLayout(TIFF* tif, Layout& layout) {
    uint16_t bps = 1, spp = 1, photometric = 0, planar = PLANARCONFIG_CONTIG, format = 1;
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
    if (spp == 0 || spp > 8) return false;
    layout.floating = format == SAMPLEFORMAT_IEEEFP;
    if (layout.floating ? bps != 16 && bps != 24 && bps != 32 : format != SAMPLEFORMAT_UINT) {
        return false;
    }
    // Samples of several bytes, or of 8 to 16 bits as integers: the depths that every
    // layout but palette and bilevel reads.
    const bool deep = layout.floating || (bps >= 8 && bps <= 16);
    layout.bps = bps;
    layout.spp = spp;
    layout.planes = planar == PLANARCONFIG_SEPARATE ? spp : 1;
    if (layout.floating && photometric != PHOTOMETRIC_MINISWHITE &&
        photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_RGB) {
        return false;
    }
    switch (photometric) {
        case PHOTOMETRIC_MINISWHITE:
        case PHOTOMETRIC_MINISBLACK:
            layout.min_is_white = photometric == PHOTOMETRIC_MINISWHITE;
            if (spp >= 2 && FindAlpha(tif, 1, spp, layout)) {
                if (!deep) return false;
                layout.kind = Kind::GreyAlpha;
                layout.dib_bits = 32;
                return true;
            }
            if (bps == 1 && spp == 1) {
                layout.kind = Kind::Bilevel;
                layout.dib_bits = 1;
                return true;
            }
            if (bps != 2 && bps != 4 && !deep) return false;
            if (spp > 1 && bps < 8) return false;
            layout.kind = Kind::Grey;
            layout.dib_bits = 8;
            return true;
        case PHOTOMETRIC_PALETTE:
            if (spp != 1 || (bps != 1 && bps != 2 && bps != 4 && bps != 8)) return false;
            layout.kind = Kind::Palette;
            layout.dib_bits = bps == 2 ? 4 : bps;
            return true;
        case PHOTOMETRIC_YCBCR:
            // libjpeg converts to RGB; other YCbCr data goes through the RGBA reader.
            if (compression != COMPRESSION_JPEG || bps != 8 || spp != 3 || layout.planes != 1) {
                return false;
            }
            if (!TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB)) return false;
            layout.kind = Kind::Rgb;
            layout.dib_bits = 24;
            return true;
        case PHOTOMETRIC_RGB:
            if (spp < 3 || !deep) return false;
            if (spp >= 4 && FindAlpha(tif, 3, spp, layout)) {
                layout.kind = Kind::RgbAlpha;
                layout.dib_bits = 32;
                return true;
            }
            layout.kind = Kind::Rgb;
            layout.dib_bits = 24;
            return true;
        case PHOTOMETRIC_SEPARATED: {
            uint16_t inkset = INKSET_CMYK;
            TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
            if (inkset != INKSET_CMYK || spp < 4 || !deep) return false;
            layout.kind = Kind::Cmyk;
            layout.dib_bits = 24;
            return true;
        }
        default:
            return false;
    }
}

// 16-bit colour maps are reduced to 8 bits, unless every entry is already below 256 (old
// writers stored 8-bit values).
bool SetTiffPalette(TIFF* tif, uint16_t bps, DibCanvas& canvas) {
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue) || !red || !green || !blue) {
        return false;
    }
    const uint32_t n = 1u << bps;
    bool eight_bit = true;
    for (uint32_t i = 0; i < n; ++i) {
        if (red[i] > 255 || green[i] > 255 || blue[i] > 255) eight_bit = false;
    }
    auto reduce = [eight_bit](uint16_t v) {
        return eight_bit ? static_cast<uint8_t>(v) : Reduce16(v);
    };
    RgbQuad* palette = canvas.Palette();
    for (uint32_t i = 0; i < n; ++i) {
        palette[i] = RgbQuad{reduce(blue[i]), reduce(green[i]), reduce(red[i]), 0};
    }
    return true;
}

void SetBilevelPalette(bool min_is_white, DibCanvas& canvas) {
    const RgbQuad black{0, 0, 0, 0}, white{255, 255, 255, 0};
    canvas.Palette()[0] = min_is_white ? white : black;
    canvas.Palette()[1] = min_is_white ? black : white;
}

CodecStatus ReadStrips(TIFF* tif, const Layout& layout, DibCanvas& canvas) {
    const tmsize_t scanline = TIFFScanlineSize(tif);
    if (scanline <= 0) return CodecStatus::Broken;
    const bool direct = layout.InPlace() && scanline <= canvas.Stride();
    std::vector<uint8_t> row;
    if (!direct) row.resize(static_cast<size_t>(scanline));
    for (uint32_t y = 0; y < canvas.Height(); ++y) {
        uint8_t* target = canvas.Row(y);
        uint8_t* source = direct ? target : row.data();
        if (TIFFReadScanline(tif, source, y, 0) < 0) return CodecStatus::Broken;
        layout.Convert(source, target, canvas.Width());
    }
    return CodecStatus::Ok;
}

// Sample x of each plane's row into its place in one row of contiguous samples.
void Interleave(const Layout& layout, const std::vector<const uint8_t*>& planes, uint32_t width,
                uint8_t* row) {
    const uint32_t spp = layout.spp, bps = layout.bps;
    if (bps % 8 == 0) {
        const uint32_t bytes = bps / 8;
        for (uint32_t x = 0; x < width; ++x) {
            for (uint32_t s = 0; s < spp; ++s) {
                std::memcpy(row + (uint64_t{x} * spp + s) * bytes, planes[s] + uint64_t{x} * bytes,
                            bytes);
            }
        }
        return;
    }
    // Packed samples (12 bits, say) bit by bit, from the high bit of each byte.
    std::memset(row, 0, static_cast<size_t>((uint64_t{width} * spp * bps + 7) / 8));
    for (uint32_t x = 0; x < width; ++x) {
        for (uint32_t s = 0; s < spp; ++s) {
            const uint64_t from = uint64_t{x} * bps, to = (uint64_t{x} * spp + s) * bps;
            for (uint32_t b = 0; b < bps; ++b) {
                if ((planes[s][(from + b) / 8] >> (7 - (from + b) % 8)) & 1) {
                    row[(to + b) / 8] |= static_cast<uint8_t>(0x80u >> ((to + b) % 8));
                }
            }
        }
    }
}

// Tiled files and separate planes: a band of rows at a time (a strip of each plane, or a row
// of tiles of each plane), each plane's band laid out as scanlines across the picture (tile
// widths are multiples of 16, so each tile's rows end on a byte boundary). The planes of a row
// are interleaved into one contiguous row, which converts as a contiguous file's row does, so
// every layout reaches the same sample arithmetic (alpha undone at the samples' precision).
CodecStatus ReadBands(TIFF* tif, const Layout& layout, DibCanvas& canvas) {
    const bool tiled = TIFFIsTiled(tif) != 0;
    const uint32_t width = canvas.Width(), height = canvas.Height();
    uint32_t tile_width = 0, band_rows = 0;
    uint64_t across = 1, plane_row = 0;
    const tmsize_t tile_row = tiled ? TIFFTileRowSize(tif) : TIFFScanlineSize(tif);
    if (tiled) {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tile_width);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &band_rows);
        const tmsize_t tile_size = TIFFTileSize(tif);
        if (tile_width == 0 || band_rows == 0 || tile_row <= 0 || tile_size <= 0 ||
            static_cast<uint64_t>(tile_row) * band_rows > static_cast<uint64_t>(tile_size)) {
            return CodecStatus::Broken;
        }
        across = (uint64_t{width} + tile_width - 1) / tile_width;
    } else {
        if (tile_row <= 0) return CodecStatus::Broken;
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &band_rows);
        band_rows = std::max<uint32_t>(1, std::min(band_rows, height));
    }
    uint64_t band_size = 0;
    if (!CheckedMul(across, static_cast<uint64_t>(tile_row), plane_row) ||
        !CheckedMul(plane_row, band_rows, band_size) || band_size > (uint64_t{1} << 34) ||
        !FitsSizeT(band_size) ||
        band_size > static_cast<uint64_t>(std::numeric_limits<tmsize_t>::max())) {
        return CodecStatus::NoMemory;
    }
    std::vector<uint8_t> tile(tiled ? static_cast<size_t>(TIFFTileSize(tif)) : 0);
    std::vector<std::vector<uint8_t>> bands(layout.planes,
                                            std::vector<uint8_t>(static_cast<size_t>(band_size)));
    std::vector<uint8_t> row(
        layout.planes > 1 ? static_cast<size_t>((uint64_t{width} * layout.spp * layout.bps + 7) / 8)
                          : 0);
    std::vector<const uint8_t*> plane_rows(layout.planes);
    for (uint32_t top = 0; top < height; top += band_rows) {
        const uint32_t rows = std::min(band_rows, height - top);
        for (uint16_t plane = 0; plane < layout.planes; ++plane) {
            uint8_t* band = bands[plane].data();
            if (!tiled) {
                const tmsize_t want = static_cast<tmsize_t>(plane_row * rows);
                if (TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, top, plane), band, want) <
                    want) {
                    return CodecStatus::Broken;
                }
                continue;
            }
            for (uint64_t t = 0; t < across; ++t) {
                const auto x = static_cast<uint32_t>(t * tile_width);
                if (TIFFReadTile(tif, tile.data(), x, top, 0, plane) < 0) {
                    return CodecStatus::Broken;
                }
                for (uint32_t r = 0; r < band_rows; ++r) {
                    std::memcpy(band + r * plane_row + t * static_cast<uint64_t>(tile_row),
                                tile.data() + static_cast<uint64_t>(r) * tile_row,
                                static_cast<size_t>(tile_row));
                }
            }
        }
        for (uint32_t r = 0; r < rows; ++r) {
            for (uint16_t plane = 0; plane < layout.planes; ++plane) {
                plane_rows[plane] = bands[plane].data() + r * plane_row;
            }
            const uint8_t* source = plane_rows[0];
            if (layout.planes > 1) {
                Interleave(layout, plane_rows, width, row.data());
                source = row.data();
            }
            layout.Convert(source, canvas.Row(top + r), width);
        }
    }
    return CodecStatus::Ok;
}

// Whether libtiff's RGBA reader gives grey for this image (its samples' kind).
bool IsGrey(const TIFFRGBAImage& image) {
    return image.photometric == PHOTOMETRIC_MINISBLACK ||
           image.photometric == PHOTOMETRIC_MINISWHITE;
}

// libtiff's RGBA reader, a band of whole strips or tiles at a time. Its alpha comes
// premultiplied for colour pictures, and is made straight here.
CodecStatus ReadRgba(TIFF* tif, uint32_t width, uint32_t height, uint16_t orientation,
                     DibCanvas& canvas) {
    char message[1024] = {};
    if (!TIFFRGBAImageOK(tif, message)) return CodecStatus::Unsupported;
    TIFFRGBAImage image{};
    if (!TIFFRGBAImageBegin(&image, tif, 0, message)) return CodecStatus::Broken;
    struct Ender {
        TIFFRGBAImage* image;
        ~Ender() { TIFFRGBAImageEnd(image); }
    } ender{&image};
    image.req_orientation = orientation;  // rows as stored
    uint32_t band = 0;
    if (TIFFIsTiled(tif)) {
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &band);
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &band);
    }
    band = std::max<uint32_t>(1, std::min(band, height));
    const bool alpha = image.alpha != 0;
    const bool grey = IsGrey(image);
    const CodecStatus created = canvas.CreateForSamples(width, height, grey, alpha);
    if (created != CodecStatus::Ok) return created;
    std::vector<uint32_t> raster(static_cast<size_t>(width) * band);
    for (uint32_t top = 0; top < height; top += band) {
        const uint32_t rows = std::min(band, height - top);
        image.row_offset = static_cast<int>(top);
        image.col_offset = 0;
        if (!TIFFRGBAImageGet(&image, raster.data(), width, rows)) return CodecStatus::Broken;
        for (uint32_t r = 0; r < rows; ++r) {
            const uint32_t* p = raster.data() + static_cast<size_t>(r) * width;
            uint8_t* q = canvas.Row(top + r);
            for (uint32_t x = 0; x < width; ++x) {
                const uint32_t v = p[x];
                auto red = static_cast<uint8_t>(TIFFGetR(v));
                auto green = static_cast<uint8_t>(TIFFGetG(v));
                auto blue = static_cast<uint8_t>(TIFFGetB(v));
                if (grey && !alpha) {
                    q[x] = red;
                } else if (alpha) {
                    const auto a = static_cast<uint8_t>(TIFFGetA(v));
                    if (!grey) {
                        red = static_cast<uint8_t>(Unpremultiply(red, a, 255));
                        green = static_cast<uint8_t>(Unpremultiply(green, a, 255));
                        blue = static_cast<uint8_t>(Unpremultiply(blue, a, 255));
                    }
                    q[x * 4] = blue, q[x * 4 + 1] = green, q[x * 4 + 2] = red, q[x * 4 + 3] = a;
                } else {
                    q[x * 3] = blue, q[x * 3 + 1] = green, q[x * 3 + 2] = red;
                }
            }
        }
    }
    return CodecStatus::Ok;
}

void ReadResolution(TIFF* tif, DecodeResult& result) {
    float x = 0, y = 0;
    uint16_t unit = RESUNIT_INCH;
    if (!TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x) || !TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y))
        return;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    const double scale = unit == RESUNIT_INCH ? 1.0 : unit == RESUNIT_CENTIMETER ? 2.54 : 0.0;
    if (!(x > 0) || !(y > 0) || scale == 0) return;
    result.x_dpi = x * scale;
    result.y_dpi = y * scale;
}

// The current directory's size, checked before anything is allocated, and its resolution.
CodecStatus ReadMeasures(TIFF* tif, uint32_t& width, uint32_t& height, DecodeResult& result) {
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) ||
        !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) || width == 0 || height == 0) {
        return CodecStatus::Broken;
    }
    const CodecStatus fits = CheckDeclaredSize(width, height);
    if (fits == CodecStatus::Ok) ReadResolution(tif, result);
    return fits;
}

CodecStatus DecodeDirectory(TIFF* tif, DibCanvas& canvas, DecodeResult& result) {
    uint32_t width = 0, height = 0;
    const CodecStatus measured = ReadMeasures(tif, width, height, result);
    if (measured != CodecStatus::Ok) return measured;
    uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);

    Layout layout;
    if (!ChooseLayout(tif, layout)) return ReadRgba(tif, width, height, orientation, canvas);
    const CodecStatus created = canvas.Create(width, height, layout.dib_bits);
    if (created != CodecStatus::Ok) return created;
    if (layout.kind == Kind::Palette) {
        if (!SetTiffPalette(tif, layout.bps, canvas)) return CodecStatus::Broken;
    } else if (layout.kind == Kind::Bilevel) {
        SetBilevelPalette(layout.min_is_white, canvas);
    } else if (layout.kind == Kind::Grey) {
        canvas.SetGreyPalette();
    }
    if (TIFFIsTiled(tif) || layout.planes > 1) return ReadBands(tif, layout, canvas);
    return ReadStrips(tif, layout, canvas);
}

// What DecodeDirectory would make of the current directory, from its tags alone.
CodecStatus ReadDirectoryHeader(TIFF* tif, PictureHeader& header) {
    uint32_t width = 0, height = 0;
    const CodecStatus measured = ReadMeasures(tif, width, height, header.result);
    if (measured != CodecStatus::Ok) return measured;
    header.width = width;
    header.height = height;
    Layout layout;
    if (ChooseLayout(tif, layout)) {
        uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
        if (layout.kind == Kind::Palette &&
            (!TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue) || !red || !green ||
             !blue)) {
            return CodecStatus::Broken;
        }
        header.bit_count = layout.dib_bits;
        return CodecStatus::Ok;
    }
    // The RGBA reader's choice, as ReadRgba makes it.
    char message[1024] = {};
    if (!TIFFRGBAImageOK(tif, message)) return CodecStatus::Unsupported;
    TIFFRGBAImage image{};
    if (!TIFFRGBAImageBegin(&image, tif, 0, message)) return CodecStatus::Broken;
    header.bit_count = DibCanvas::SampleBits(IsGrey(image), image.alpha != 0);
    TIFFRGBAImageEnd(&image);
    return CodecStatus::Ok;
}

// ---------------------------------------------------------------------------------------------
// Encoding.

bool IsBlackWhite(const DibView& v, bool& min_is_white) {
    if (v.palette_size < 2) return false;
    auto is = [](const RgbQuad& c, uint8_t x) { return c.red == x && c.green == x && c.blue == x; };
    if (is(v.palette[0], 0) && is(v.palette[1], 255)) return min_is_white = false, true;
    if (is(v.palette[0], 255) && is(v.palette[1], 0)) return min_is_white = true, true;
    return false;
}

CodecStatus WriteTiff(TIFF* tif, const DibView& v) {
    const bool indexed = v.bit_count <= 8;
    const bool alpha = v.bit_count == 32 && v.has_alpha;
    bool min_is_white = false;
    const bool bilevel = v.bit_count == 1 && IsBlackWhite(v, min_is_white);
    const bool grey = v.bit_count == 8 && v.palette_size == 256 && v.IsGreyRamp();
    const uint16_t spp = indexed ? 1 : (alpha ? 4 : 3);
    const uint16_t bps = indexed ? v.bit_count : 8;
    uint16_t photometric = PHOTOMETRIC_RGB;
    if (bilevel)
        photometric = min_is_white ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK;
    else if (grey)
        photometric = PHOTOMETRIC_MINISBLACK;
    else if (indexed)
        photometric = PHOTOMETRIC_PALETTE;

    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, v.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, v.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bps);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    if (bps == 8 && photometric != PHOTOMETRIC_PALETTE) {
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    }
    if (alpha) {
        const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<float>(v.x_dpi > 0 ? v.x_dpi : 96));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<float>(v.y_dpi > 0 ? v.y_dpi : 96));
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    if (photometric == PHOTOMETRIC_PALETTE) {
        const uint32_t n = 1u << bps;
        std::vector<uint16_t> map(3 * static_cast<size_t>(n), 0);
        for (uint32_t i = 0; i < n && i < v.palette_size; ++i) {
            map[i] = static_cast<uint16_t>(v.palette[i].red * 257);
            map[n + i] = static_cast<uint16_t>(v.palette[i].green * 257);
            map[2 * n + i] = static_cast<uint16_t>(v.palette[i].blue * 257);
        }
        TIFFSetField(tif, TIFFTAG_COLORMAP, map.data(), map.data() + n, map.data() + 2 * n);
    }
    const size_t row_bytes = (static_cast<size_t>(v.width) * bps * spp + 7) / 8;
    std::vector<uint8_t> row(row_bytes);
    for (uint32_t y = 0; y < v.height; ++y) {
        const uint8_t* src = v.Row(y);
        if (indexed) {
            std::memcpy(row.data(), src, row_bytes);
        } else {
            const size_t in = v.bit_count / 8;
            for (uint32_t x = 0; x < v.width; ++x) {
                const uint8_t* p = src + x * in;
                uint8_t* q = row.data() + static_cast<size_t>(x) * spp;
                q[0] = p[2], q[1] = p[1], q[2] = p[0];
                if (alpha) q[3] = p[3];
            }
        }
        if (TIFFWriteScanline(tif, row.data(), y, 0) < 0) return CodecStatus::Broken;
    }
    return TIFFWriteDirectory(tif) ? CodecStatus::Ok : CodecStatus::Broken;
}

class TiffCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeTiff; }

    bool Sniff(const uint8_t* p, size_t size) const override { return IsTiffSignature(p, size); }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        if (request.frame < 0) return CodecStatus::NoFrame;
        MemoryIo io;
        io.data = data;
        io.size = size;
        TiffPtr tif = OpenTiff(io, "rh");  // h: the header is read, the first IFD lazily
        if (!tif) return CodecStatus::Broken;
        // libtiff counts along the chain and stops at a loop.
        const tdir_t directories = TIFFNumberOfDirectories(tif.get());
        if (directories == 0) return CodecStatus::Broken;
        if (static_cast<uint64_t>(request.frame) >= directories) return CodecStatus::NoFrame;
        if (!TIFFSetDirectory(tif.get(), static_cast<tdir_t>(request.frame))) {
            return CodecStatus::Broken;
        }
        result.frame_count = static_cast<int32_t>(std::min<tdir_t>(directories, INT32_MAX));
        const CodecStatus status = DecodeDirectory(tif.get(), canvas, result);
        if (status != CodecStatus::Ok) canvas.Reset();
        canvas.ClearRowPadding();
        return status;
    }

    // The smallest qualifying reduced-resolution directory (a SubIFD of the page, or a reduced
    // page after it in the chain) or JPEG thumbnail; Unsupported when the page has none.
    CodecStatus DecodePreview(const uint8_t* data, size_t size, const DecodeRequest& request,
                              DibCanvas& canvas, DecodeResult& result) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        if (request.frame < 0) return CodecStatus::NoFrame;
        std::vector<TiffPreviewCandidate> candidates;
        TiffPreviewCandidate chosen;
        if (!TiffPreviewCandidates(data, size, static_cast<uint32_t>(request.frame), candidates) ||
            !SmallestQualifying(candidates, CxImage::BackendFor(kTypeJpeg), chosen)) {
            return CodecStatus::Unsupported;
        }
        CodecStatus status = CodecStatus::Broken;
        if (chosen.kind == TiffPreviewCandidate::Kind::Jpeg) {
            DecodeResult own;
            status = CxImage::BackendFor(kTypeJpeg)->Decode(chosen.jpeg, chosen.jpeg_size,
                                                            DecodeRequest{}, canvas, own);
        } else {
            MemoryIo io;
            io.data = data;
            io.size = size;
            TiffPtr tif = OpenTiff(io, "rh");
            if (!tif) return CodecStatus::Broken;
            const bool set = chosen.kind == TiffPreviewCandidate::Kind::Page
                                 ? TIFFSetDirectory(tif.get(), static_cast<tdir_t>(chosen.page))
                                 : TIFFSetSubDirectory(tif.get(), chosen.ifd);
            if (!set) return CodecStatus::Broken;
            status = DecodeDirectory(tif.get(), canvas, result);
        }
        result.type = kTypeTiff;
        if (status != CodecStatus::Ok) canvas.Reset();
        canvas.ClearRowPadding();
        return status;
    }

    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                     PictureHeader& header) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        MemoryIo io;
        io.data = data;
        io.size = size;
        TiffPtr tif = OpenTiff(io, "rh");
        if (!tif) return CodecStatus::Broken;
        // The same walk along the chain as Decode's, with libtiff's loop and count limits.
        const tdir_t directories = TIFFNumberOfDirectories(tif.get());
        if (directories == 0) return CodecStatus::Broken;
        if (!TIFFSetDirectory(tif.get(), 0)) return CodecStatus::Broken;
        header.result.frame_count = static_cast<int32_t>(std::min<tdir_t>(directories, INT32_MAX));
        return ReadDirectoryHeader(tif.get(), header);
    }

    CodecStatus Encode(const DibView& view, const EncodeOptions&,
                       std::vector<uint8_t>& out) const override {
        if (view.width == 0 || view.height == 0 || !view.top_row) return CodecStatus::Broken;
        if (view.bit_count <= 8 && !view.palette) return CodecStatus::Broken;
        out.clear();
        MemoryIo io;
        io.out = &out;
        TiffPtr tif = OpenTiff(io, "w");
        if (!tif) return CodecStatus::NoMemory;
        const CodecStatus status = WriteTiff(tif.get(), view);
        tif.reset();
        if (status != CodecStatus::Ok) out.clear();
        return status;
    }
};

}  // namespace

const CodecBackend& TiffBackend() {
    static const TiffCodec backend;
    return backend;
}
