#include "FailureText.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "ByteReader.h"
#include "ResultText.h"

namespace fs = std::filesystem;

namespace {

// Whether the end of a file shows that it was cut short, for the formats whose end says so:
// a PNG ends with its IEND chunk, a JPEG with the EOI marker, a GIF with its trailer, and a BMP
// is as long as its file header says. Other formats give no verdict.
bool LooksCutShort(const std::string& path, uint64_t offset, uint32_t type, std::string& why) {
    std::ifstream in(fs::path(path), std::ios::binary | std::ios::ate);
    if (!in) return false;
    const auto end = static_cast<uint64_t>(in.tellg());
    if (end <= offset || end - offset < 12) return false;
    uint8_t tail[8];
    uint8_t head[6];
    in.seekg(static_cast<std::streamoff>(end - sizeof tail));
    in.read(reinterpret_cast<char*>(tail), sizeof tail);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(head), sizeof head);
    if (!in) return false;
    switch (type) {
        case 1: {
            const uint64_t declared = ByteReader::LoadU32LE(head + 2);
            why = "its file header gives " + std::to_string(declared) + " bytes, and it has " +
                  std::to_string(end - offset);
            return head[0] == 'B' && head[1] == 'M' && declared > end - offset;
        }
        case 2:
            why = "a complete GIF ends with its trailer byte 0x3B, and this one does not";
            return tail[7] != 0x3B;
        case 3:
            why = "a complete JPEG ends with its EOI marker, and this one does not";
            return !(tail[6] == 0xFF && tail[7] == 0xD9);
        case 4:
            why = "a complete PNG ends with its IEND chunk, and this one does not";
            return std::memcmp(tail, "IEND", 4) != 0;
        default:
            return false;
    }
}

// Seconds as a person writes them: "12 s", "2.5 s".
std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

// The clip's length when --position asks for a time past it (the video plug-ins' information
// read gives the length), else nothing.
std::optional<double> PositionPastEnd(const HostOptions& options, const HostPlugin& plugin,
                                      const PictureSource& source) {
    const bool video = plugin.family == PluginFamily::Video || plugin.family == PluginFamily::Avi;
    if (!video || !options.position || *options.position <= 0) return std::nullopt;
    const InfoReading info = ReadInfo(plugin, source, std::nullopt);
    const double length = info.StreamLength();
    if (info.code != SPI_OK || !(length > 0) || *options.position <= length) return std::nullopt;
    return length;
}

}  // namespace

std::string ExplainFailure(int32_t code, const HostPlugin& plugin, const PictureSource& source,
                           const HostOptions& options) {
    const std::string by = "(" + plugin.name + ") ";
    const std::string coded = " (code " + std::to_string(code) + ")";
    if (const std::optional<double> length = PositionPastEnd(options, plugin, source)) {
        return by + "--position " + std::to_string(*options.position) + " is past the end (" +
               Seconds(*length) + "): " + plugin.name + " reads no frame there" + coded;
    }
    if (plugin.family != PluginFamily::MultiFormat) {
        return by + DescribeResult(code, plugin.family);
    }
    // The type that the plug-in recognises by the file's head (its answer to IsSupported) says
    // what the file is, whatever --type asked for.
    uint32_t by_head = 0;
    std::vector<uint8_t> head;
    if (ReadHead(source.Path(), source.Offset(), head)) {
        const int32_t answer = plugin.module.IsSupported(source.Path().c_str(), HeadWord(head));
        if (answer > 0) by_head = static_cast<uint32_t>(answer);
    }
    if (options.type && *options.type > 0 && by_head != 0 &&
        static_cast<uint32_t>(*options.type) != by_head) {
        return by + "the file is not " + ATypeLabel(static_cast<uint32_t>(*options.type)) +
               ": it is " + ATypeLabel(by_head) + " file (leave out --type to read it as one)" +
               coded;
    }
    const InfoReading info = ReadInfo(plugin, source, options.type);
    const std::optional<int32_t> index = options.image ? options.image : options.frame;
    const uint32_t count = info.FrameCount();
    if (info.code == SPI_OK && index && count > 0 && static_cast<uint32_t>(*index) >= count) {
        const char* word = info.ImageType() == 6 ? "page" : "frame";
        return by + word + " " + std::to_string(*index) + " of " + std::to_string(count) +
               " requested; the file has " + word + "s 0 to " + std::to_string(count - 1) + coded;
    }
    // When the record cannot be read either, the type found by the head still tells what the
    // file claims to be.
    const uint32_t type = info.code == SPI_OK ? info.ImageType() : by_head;
    std::string why;
    if (type != 0 && LooksCutShort(source.Path(), source.Offset(), type, why)) {
        return by + "the " + TypeLabel(type) + " file is cut short: " + why + coded;
    }
    // imgsrc reads every variant of BMP, GIF, JPEG and PNG: when their headers read well, a
    // picture that fails is damaged whatever the code. Of the other formats, code 2 means a
    // variant that the plug-in does not read.
    const bool reads_all_variants = type >= 1 && type <= 4;
    const bool damaged = code == SPI_BROKEN_DATA ||
                         (code == SPI_UNKNOWN_FORMAT && info.code == SPI_OK && reads_all_variants);
    if (type != 0 && damaged) {
        return by + "damaged: " + ATypeLabel(type) + " file whose " +
               (info.code == SPI_OK ? "headers read well but whose picture data" : "headers") +
               " cannot be decoded" + coded;
    }
    if (type != 0 && code == SPI_UNKNOWN_FORMAT) {
        return by + "unsupported: " + ATypeLabel(type) + " file of a variant that " + plugin.name +
               " does not read" + coded;
    }
    return by + DescribeResult(code, plugin.family);
}

void WarnUnusedOptions(const HostOptions& options, const HostPlugin& plugin,
                       const PictureSource& source, uint32_t type_found) {
    const std::string& input = source.Path();
    const bool video = plugin.family == PluginFamily::Video || plugin.family == PluginFamily::Avi;
    const bool multi = plugin.family == PluginFamily::MultiFormat;
    auto warn = [&](const char* option, const std::string& why) {
        Warn(std::string(option) + " has no effect on " + input + ": " + why);
    };
    if (options.scale && !(multi && type_found == 3)) {
        warn("--scale", multi ? "it reduces JPEG pictures only, and this is " +
                                    ATypeLabel(type_found) + " file"
                              : plugin.name + " does not read it (imgsrc reduces JPEGs)");
    }
    if (options.position && !video) warn("--position", "a still picture has no time position");
    if (const std::optional<double> length = PositionPastEnd(options, plugin, source)) {
        Warn("--position " + std::to_string(*options.position) + " of " + input +
             " is past the end (" + Seconds(*length) + "): the plug-in gives the middle frame");
    }
    if (options.image || options.frame) {
        const char* option = options.image ? "--image" : "--frame";
        if (video) {
            warn(option, plugin.name + " reads one frame of a video, chosen by --position");
        } else if (!multi && plugin.family != PluginFamily::Gif) {
            warn(option, plugin.name + " reads single pictures (imgsrc reads pages and frames)");
        }
    }
    if (options.type && !multi) warn("--type", "only imgsrc reads it");
}
