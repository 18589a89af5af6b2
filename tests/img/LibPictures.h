// Pictures made with the codec libraries' own writers (libtiff, OpenJPEG), for the differential
// tests and the sample generator, and the libraries' own decodes of them as references.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace img_test {

// One TIFF directory. `pixels` holds contiguous samples row by row (rows packed to bytes for
// fewer than 8 bits, 16-bit samples in machine order); the writer splits them into planes for
// PLANARCONFIG_SEPARATE.
struct TiffPage {
    uint32_t width = 0, height = 0;
    uint16_t bps = 8, spp = 3;
    uint16_t photometric = 2;             // PHOTOMETRIC_RGB
    uint16_t planar = 1;                  // PLANARCONFIG_CONTIG
    uint16_t compression = 1;             // COMPRESSION_NONE
    std::vector<uint16_t> extra_samples;  // EXTRASAMPLE_* kinds
    std::vector<uint16_t> colormap;       // red, green, blue tables of 2^bps entries
    uint32_t tile = 0;                    // tile width and length; 0: strips
    uint32_t rows_per_strip = 0;          // 0: libtiff's default
    float x_res = 0, y_res = 0;           // 0: no resolution tags
    uint16_t res_unit = 2;                // RESUNIT_INCH
    uint32_t subfile_type = 0;            // NewSubfileType (1: a reduced-resolution page)
    uint16_t sample_format = 1;           // SAMPLEFORMAT_UINT; 3: IEEE floating point
    std::vector<uint8_t> pixels;          // contiguous samples, packed from the high bit

    size_t RowBytes() const { return (static_cast<size_t>(width) * bps * spp + 7) / 8; }
};

// `mode` "w8" writes a BigTIFF.
std::vector<uint8_t> MakeTiff(const std::vector<TiffPage>& pages, const char* mode = "w");
// Random samples for the page's layout; associated alpha keeps colour samples within alpha.
void FillRandom(TiffPage& page, std::mt19937& rng);
// libtiff's TIFFReadRGBAImageOriented (top-left) of one directory, as RGBA bytes.
bool TiffReference(const std::vector<uint8_t>& bytes, int page, std::vector<uint8_t>& rgba,
                   uint32_t& width, uint32_t& height);
// A 16-bit tag of the first directory, as libtiff reads it (0 when absent).
uint16_t TiffTag(const std::vector<uint8_t>& bytes, uint32_t tag);

// A JPEG 2000 picture for OpenJPEG's encoder: planes[c] holds component c's samples
// (its own size when sub-sampled).
struct Jp2Picture {
    uint32_t width = 0, height = 0;
    uint32_t components = 3;
    uint32_t precision = 8;
    bool is_signed = false;
    uint32_t dx = 1, dy = 1;  // sub-sampling of components 1 and 2
    bool alpha = false;       // the last component is alpha
    bool codestream = false;  // J2K rather than JP2
    bool lossy = false;
    uint32_t resolutions = 0;  // resolution levels; 0: as many as the size allows, up to 6
    int colour_space = 1;  // OPJ_CLRSPC_SRGB
    std::vector<std::vector<int32_t>> planes;

    uint32_t PlaneWidth(uint32_t c) const;
    uint32_t PlaneHeight(uint32_t c) const;
};

void FillRandom(Jp2Picture& picture, std::mt19937& rng);
std::vector<uint8_t> MakeJp2(const Jp2Picture& picture);
// Adds a capture-resolution box (resc) to a JP2 file's header box.
std::vector<uint8_t> AddJp2Resolution(const std::vector<uint8_t>& jp2, double x_dpi, double y_dpi);
// OpenJPEG's decode, each component reduced to 8 bits with rounding (signed ones shifted)
// and sub-sampled ones repeated, as RGBA (grey and grey+alpha widened).
// `factor`: decoded that many resolution levels down.
bool Jp2Reference(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& rgba, uint32_t& width,
                  uint32_t& height, uint32_t factor = 0);

// An embedded preview for MakeDng: a second directory (NewSubfileType 1) of 8-bit RGB holding
// a complete JPEG stream (`jpeg`, compression 7) or else uncompressed rows (`rgb`).
struct DngPreview {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> jpeg, rgb;
    uint16_t orientation = 1;  // the camera's, in the raw directory (TIFF's 1 to 8)
};

// A small uncompressed CFA DNG (RGGB, 16-bit) written with libtiff, with the tags that LibRaw
// needs to develop it. `mosaic` is width*height samples below `white`; empty: random.
std::vector<uint8_t> MakeDng(uint32_t width, uint32_t height, std::vector<uint16_t> mosaic,
                             std::mt19937& rng, uint16_t white = 4095,
                             const DngPreview* preview = nullptr);
// LibRaw's own development with the camera's white balance (dcraw_make_mem_image), as RGB.
bool RawReference(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& rgb, uint32_t& width,
                  uint32_t& height);

}  // namespace img_test
