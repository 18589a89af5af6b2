// The command line of zemhost: commands, options, and the request block that the options fill.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "plugin_abi.h"

enum class Command { None, Help, Version, Plugins, Probe, Info, Decode, Thumbs };
enum class OutputFormat { Unspecified, Png, Bmp };
// How a batch names its outputs: after the input's stem (photo.png) or its whole name
// (photo.jpg.png), as thumbs does, so that files of one stem do not clash.
enum class NameStyle { Stem, Full };

struct HostOptions {
    Command command = Command::None;
    std::vector<std::string> files;
    std::string plugin_dir;   // --plugins; empty: the plugins folder beside the executable
    std::string plugin_name;  // --plugin; empty: the first plug-in that accepts the file
    std::string output;       // -o
    OutputFormat format = OutputFormat::Unspecified;  // --format
    bool memory = false;
    bool split = false;
    bool force = false;                      // --force, -y: replace existing outputs
    bool preview = false;                    // --preview: ask GetPreview instead of GetPicture
    bool as_stored = false;                  // --as-stored: ask imgsrc for no picture options
    std::optional<int> png_level;            // --png-level: zlib level 0 to 9 for PNG output
    NameStyle name_style = NameStyle::Stem;  // --name: decode's output names in a folder
    bool recursive = false;                  // -r, --recursive: thumbs mirrors the subfolders
    bool verbose = false;                    // -v, --verbose: thumbs names each file it leaves out
    uint32_t size = 256;                     // --size: the thumbnails' long side
    unsigned jobs = 0;                       // --jobs, -j: threads for thumbs; 0: one per core
    uint64_t offset = 0;
    std::optional<int32_t> image;     // byte 48
    std::optional<int32_t> frame;     // byte 48 when --image is absent
    std::optional<int32_t> position;  // byte 52
    std::optional<int32_t> scale;     // byte 44
    std::optional<int32_t> type;      // byte 56; for info, byte 106 of the record
    std::vector<std::string> given;   // the options given, in order, as spelt in the table

    bool HasRequestFields() const { return image || frame || position || scale || type; }
};

// Parses the arguments after the program name. False, with a message, on a usage error.
[[nodiscard]] bool ParseHostOptions(const std::vector<std::string>& args, HostOptions& out,
                                    std::string& error);

// Fills `block` from the request options: the tag "zem", then bytes 44, 48, 52 and 56 from
// --scale, --image (or --frame), --position and --type; the rest is zero. False, leaving the
// block zeroed, when no request option was given: the host then passes no block.
bool FillRequestBlock(const HostOptions& options, PictureRequestBlock& block);

// The option bits that zemhost adds above imgsrc's type (byte 56, byte 106): the picture
// upright and in sRGB, unless --as-stored.
constexpr uint32_t kPictureUpright = 0x100;
constexpr uint32_t kPictureSrgb = 0x200;
inline uint32_t PictureOptionBits(const HostOptions& options) {
    return options.as_stored ? 0 : kPictureUpright | kPictureSrgb;
}

// The usage text of --help.
std::string UsageText(bool png_available);

// "zemhost VERSION", the line of --version.
std::string VersionText();

// The PNG compression level when --png-level is not given: fast, at the speed of the decode.
constexpr int kDefaultPngLevel = 2;

// The output format named by a file's extension (.png or .bmp, any case), or Unspecified.
OutputFormat FormatFromExtension(const std::string& path);
