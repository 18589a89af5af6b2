#include "ResultText.h"

#include "plugin_abi.h"

PluginFamily FamilyFromTypeName(const std::string& type_name) {
    if (type_name == "GIF") return PluginFamily::Gif;
    if (type_name == "All Image") return PluginFamily::MultiFormat;
    if (type_name == "DirectShow") return PluginFamily::Video;
    if (type_name == "AVI") return PluginFamily::Avi;
    return PluginFamily::Generic;
}

namespace {

const char* FamilyText(int32_t code, PluginFamily family) {
    switch (family) {
        case PluginFamily::Gif:
            switch (code) {
                case 1:
                    return "not a valid GIF: bad header or LZW minimum code size";
                case 2:
                    return "the GIF data ended early";
                case 3:
                    return "image not found: no image at that index, or a block is broken";
                case 4:
                    return "LZW string table overflow, or out of memory";
                case -6:
                    return "the GIF holds no image after its header and colour table";
                default:
                    return nullptr;
            }
        case PluginFamily::MultiFormat:
            switch (code) {
                case SPI_UNKNOWN_FORMAT:
                    return "unknown format: a format or variant that this plug-in does not "
                           "read";
                case SPI_BROKEN_DATA:
                    return "broken data: the file is damaged or cut short, or is not of the "
                           "requested type";
                case SPI_OUT_OF_MEMORY:
                    return "out of memory, or the picture is larger than 2^30 pixels";
                default:
                    return nullptr;
            }
        case PluginFamily::Video:
            switch (code) {
                case SPI_NOT_IMPLEMENTED:
                    return "no frame could be read (the clip's frames cannot be decoded here, "
                           "or there is none at that position)";
                case 1:
                    return "the video plug-in reads only named files, not memory";
                default:
                    return nullptr;
            }
        case PluginFamily::Avi:
            switch (code) {
                case SPI_UNKNOWN_FORMAT:
                    return "unknown format: the AVI file cannot be opened or its header read";
                case SPI_BROKEN_DATA:
                    return "broken data: no frame could be taken at that position";
                default:
                    return nullptr;
            }
        case PluginFamily::Generic:
            return nullptr;
    }
    return nullptr;
}

const char* CommonText(int32_t code) {
    switch (code) {
        case SPI_OK:
            return "ok";
        case SPI_NOT_IMPLEMENTED:
            return "not implemented: the plug-in ran no read for this request";
        case 1:
            return "the file is not a valid picture for this plug-in";
        case SPI_UNKNOWN_FORMAT:
            return "unsupported: a kind of file, or a variant of one, that this plug-in does not "
                   "read";
        case SPI_BROKEN_DATA:
            return "damaged: the file's data cannot be decoded (or it is not what its name and "
                   "first bytes claim)";
        case SPI_OUT_OF_MEMORY:
            return "out of memory";
        case SPI_INTERNAL_ERROR:
            return "internal error in the plug-in";
        case SPI_FILE_READ_ERROR:
            return "file read error: the file is cut short (it ends before the picture's data "
                   "does), or cannot be opened, or the offset lies at or beyond its end";
        default:
            return nullptr;
    }
}

}  // namespace

std::string DescribeResult(int32_t code, PluginFamily family) {
    const char* text = FamilyText(code, family);
    if (!text) text = CommonText(code);
    if (!text) return "unknown error " + std::to_string(code);
    return std::string(text) + " (code " + std::to_string(code) + ")";
}

// clang-format off
const char* ImageTypeName(uint32_t type) {
    switch (type) {
        case 1: return "BMP";
        case 2: return "GIF";
        case 3: return "JPEG";
        case 4: return "PNG";
        case 5: return "ICO";
        case 6: return "TIFF";
        case 7: return "TGA";
        case 10: return "WMF";
        case 11: return "JPEG 2000 (JP2)";
        case 12: return "JPEG 2000 codestream";
        case 14: return "PNM";
        case 19: return "camera RAW";
        case 20: return "PSD";
        case 21: return "WebP";
        case 22: return "HEIF";
        case 23: return "AVIF";
        case 24: return "JPEG XL";
        case 25: return "QOI";
        case 26: return "DDS";
        case 27: return "ICNS";
        case 28: return "PCX";
        case 29: return "SGI";
        case 30: return "XPM";
        case 31: return "XBM";
        case 32: return "WBMP";
        case 33: return "Sun raster";
        case 34: return "Radiance HDR";
        case 35: return "PFM";
        default: return nullptr;
    }
}
// clang-format on

std::optional<uint32_t> ImageTypeFromName(const std::string& name) {
    struct Alias {
        const char* name;
        uint32_t type;
    };
    static const Alias kAliases[] = {
        {"bmp", 1},   {"dib", 1},   {"gif", 2},   {"jpeg", 3},  {"jpg", 3},  {"png", 4},
        {"ico", 5},   {"cur", 5},   {"tiff", 6},  {"tif", 6},   {"tga", 7},  {"wmf", 10},
        {"jp2", 11},  {"j2k", 12},  {"j2c", 12},  {"pnm", 14},  {"ppm", 14}, {"pgm", 14},
        {"pbm", 14},  {"pam", 14},  {"raw", 19},  {"dng", 19},  {"psd", 20}, {"psb", 20},
        {"webp", 21}, {"heif", 22}, {"heic", 22}, {"avif", 23}, {"jxl", 24}, {"qoi", 25},
        {"dds", 26},  {"icns", 27}, {"mpo", 3},
        {"pcx", 28},  {"dcx", 28},  {"sgi", 29},  {"xpm", 30},  {"xbm", 31}, {"wbmp", 32},
        {"ras", 33},  {"sun", 33},  {"hdr", 34},  {"pfm", 35},
    };
    std::string lower = name;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    for (const Alias& alias : kAliases) {
        if (lower == alias.name) return alias.type;
    }
    return std::nullopt;
}
