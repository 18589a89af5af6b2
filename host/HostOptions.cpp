#include "HostOptions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "ResultText.h"

namespace {

// The commands an option applies to, as bits.
constexpr unsigned kForProbe = 1;
constexpr unsigned kForInfo = 2;
constexpr unsigned kForDecode = 4;
constexpr unsigned kForAll = 8;
constexpr unsigned kForThumbs = 16;

// Every option: its spelling (an alias names its main spelling), whether it takes a value, and
// the commands it applies to. A new option is one row here and one branch in ApplyOption.
struct OptionSpec {
    const char* name;
    const char* alias_of;
    bool takes_value;
    unsigned commands;
};

const OptionSpec kOptions[] = {
    {"--plugins", nullptr, true, kForAll},
    {"--plugin", nullptr, true, kForInfo | kForDecode | kForThumbs},
    {"-o", "--output", true, kForDecode | kForThumbs},
    {"--output", nullptr, true, kForDecode | kForThumbs},
    {"--format", nullptr, true, kForDecode | kForThumbs},
    {"--force", nullptr, false, kForDecode | kForThumbs},
    {"-y", "--force", false, kForDecode | kForThumbs},
    {"--png-level", nullptr, true, kForDecode | kForThumbs},
    {"--preview", nullptr, false, kForInfo | kForDecode},
    {"--as-stored", nullptr, false, kForInfo | kForDecode | kForThumbs},
    {"--name", nullptr, true, kForDecode},
    {"-r", "--recursive", false, kForThumbs},
    {"--recursive", nullptr, false, kForThumbs},
    {"-v", "--verbose", false, kForThumbs},
    {"--verbose", nullptr, false, kForThumbs},
    {"--size", nullptr, true, kForThumbs},
    {"-j", "--jobs", true, kForThumbs},
    {"--jobs", nullptr, true, kForThumbs},
    {"--memory", nullptr, false, kForInfo | kForDecode},
    {"--split", nullptr, false, kForDecode},
    {"--offset", nullptr, true, kForInfo | kForDecode},
    {"--image", nullptr, true, kForInfo | kForDecode},
    {"--frame", nullptr, true, kForInfo | kForDecode},
    {"--position", nullptr, true, kForDecode},
    {"--scale", nullptr, true, kForDecode},
    {"--type", nullptr, true, kForInfo | kForDecode},
};

const OptionSpec* FindOption(const std::string& name) {
    for (const OptionSpec& option : kOptions) {
        if (name == option.name) return &option;
    }
    return nullptr;
}

bool OptionApplies(Command command, const OptionSpec& option) {
    if (option.commands & kForAll) return true;
    switch (command) {
        case Command::Probe:
            return (option.commands & kForProbe) != 0;
        case Command::Info:
            return (option.commands & kForInfo) != 0;
        case Command::Decode:
            return (option.commands & kForDecode) != 0;
        case Command::Thumbs:
            return (option.commands & kForThumbs) != 0;
        default:
            return false;
    }
}

const char* CommandName(Command command) {
    switch (command) {
        case Command::Plugins:
            return "plugins";
        case Command::Probe:
            return "probe";
        case Command::Info:
            return "info";
        case Command::Decode:
            return "decode";
        case Command::Thumbs:
            return "thumbs";
        default:
            return "help";
    }
}

bool ParseInt32(const std::string& text, int32_t& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
        return false;
    }
    out = static_cast<int32_t>(value);
    return true;
}

bool ParseOffset(const std::string& text, uint64_t& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    // The offset travels in the length argument, which is 32-bit in 32-bit builds.
    if (value > static_cast<unsigned long long>(std::numeric_limits<SpiLength>::max())) {
        return false;
    }
    out = value;
    return true;
}

bool ApplyOption(const std::string& name, const std::string& value, HostOptions& out,
                 std::string& error) {
    auto int_option = [&](std::optional<int32_t>& field) {
        int32_t v;
        if (!ParseInt32(value, v)) {
            error =
                name + " needs a whole number from -2147483648 to 2147483647, not '" + value + "'";
            return false;
        }
        field = v;
        return true;
    };
    if (name == "--plugins") {
        out.plugin_dir = value;
    } else if (name == "--plugin") {
        out.plugin_name = value;
    } else if (name == "-o" || name == "--output") {
        out.output = value;
    } else if (name == "--format") {
        if (value == "png" || value == "PNG") {
            out.format = OutputFormat::Png;
        } else if (value == "bmp" || value == "BMP") {
            out.format = OutputFormat::Bmp;
        } else {
            error = "--format takes png or bmp, not '" + value + "'";
            return false;
        }
    } else if (name == "--force") {
        out.force = true;
    } else if (name == "--preview") {
        out.preview = true;
    } else if (name == "--as-stored") {
        out.as_stored = true;
    } else if (name == "--name") {
        if (value == "stem") {
            out.name_style = NameStyle::Stem;
        } else if (value == "full") {
            out.name_style = NameStyle::Full;
        } else {
            error = "--name takes stem (photo.png) or full (photo.jpg.png), not '" + value + "'";
            return false;
        }
    } else if (name == "--recursive") {
        out.recursive = true;
    } else if (name == "--verbose") {
        out.verbose = true;
    } else if (name == "--size" || name == "--jobs") {
        int32_t v;
        const int32_t most = name == "--size" ? 4096 : 256;
        if (!ParseInt32(value, v) || v < 1 || v > most) {
            error = name + " takes a whole number from 1 to " + std::to_string(most) + ", not '" +
                    value + "'";
            return false;
        }
        if (name == "--size") {
            out.size = static_cast<uint32_t>(v);
        } else {
            out.jobs = static_cast<unsigned>(v);
        }
    } else if (name == "--png-level") {
        int32_t level;
        if (!ParseInt32(value, level) || level < 0 || level > 9) {
            error =
                "--png-level takes a zlib level from 0 (none) to 9 (smallest), not '" + value + "'";
            return false;
        }
        out.png_level = level;
    } else if (name == "--memory") {
        out.memory = true;
    } else if (name == "--split") {
        out.split = true;
    } else if (name == "--offset") {
        if (!ParseOffset(value, out.offset)) {
            error = "--offset needs a byte count from 0 to " +
                    std::to_string(std::numeric_limits<SpiLength>::max()) + ", not '" + value + "'";
            return false;
        }
    } else if (name == "--image" || name == "--frame") {
        std::optional<int32_t>& field = name == "--image" ? out.image : out.frame;
        if (!int_option(field)) return false;
        if (*field < 0) {
            error = name + " counts from 0 (the first image); " + value + " is not one";
            return false;
        }
    } else if (name == "--position") {
        char* end = nullptr;
        const double seconds = std::strtod(value.c_str(), &end);
        if (!value.empty() && *end == '\0' &&
            seconds != static_cast<double>(static_cast<long long>(seconds))) {
            error =
                "--position takes whole seconds (or -1 to -100 for a per cent of the "
                "length), not '" +
                value +
                "': the plug-ins are asked for a time in whole "
                "seconds";
            return false;
        }
        return int_option(out.position);
    } else if (name == "--scale") {
        return int_option(out.scale);
    } else if (name == "--type") {
        // A number, or a type's name as the multi-format plug-in calls it ("jpeg", "tiff").
        const std::optional<uint32_t> named = ImageTypeFromName(value);
        if (named) {
            out.type = static_cast<int32_t>(*named);
            return true;
        }
        if (!int_option(out.type)) {
            error =
                "--type takes a type number or name (jpeg, png, tiff, ...), not '" + value + "'";
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseHostOptions(const std::vector<std::string>& args, HostOptions& out, std::string& error) {
    out = HostOptions();
    std::vector<std::string> positional;
    std::vector<std::string> given;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            out = HostOptions();
            out.command = Command::Help;
            return true;
        }
        if (arg == "--version") {
            out = HostOptions();
            out.command = Command::Version;
            return true;
        }
        std::string name = arg;
        std::string value;
        bool has_value = false;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        const OptionSpec* option = FindOption(name);
        if (!option) {
            error = "unknown option " + name;
            return false;
        }
        if (option->takes_value && !has_value) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
        } else if (!option->takes_value && has_value) {
            error = name + " takes no value";
            return false;
        }
        const std::string main_name = option->alias_of ? option->alias_of : option->name;
        if (!ApplyOption(main_name, value, out, error)) return false;
        given.push_back(name);
    }

    if (positional.empty()) {
        error = "no command given";
        return false;
    }
    const std::string& command = positional[0];
    if (command == "help") {
        out.command = Command::Help;
        return true;
    } else if (command == "plugins") {
        out.command = Command::Plugins;
    } else if (command == "probe") {
        out.command = Command::Probe;
    } else if (command == "info") {
        out.command = Command::Info;
    } else if (command == "decode") {
        out.command = Command::Decode;
    } else if (command == "thumbs") {
        out.command = Command::Thumbs;
    } else {
        error = "unknown command '" + command + "'";
        return false;
    }
    out.files.assign(positional.begin() + 1, positional.end());
    const char* name = CommandName(out.command);

    for (const std::string& option : given) {
        const OptionSpec* row = FindOption(option);
        if (!OptionApplies(out.command, *row)) {
            error = "option " + option + " does not apply to " + name;
            return false;
        }
        out.given.push_back(row->alias_of ? row->alias_of : row->name);
    }
    switch (out.command) {
        case Command::Plugins:
            if (!out.files.empty()) {
                error = "plugins takes no file";
                return false;
            }
            break;
        case Command::Probe:
            if (out.files.empty()) {
                error = "probe needs at least one FILE";
                return false;
            }
            break;
        case Command::Info:
            if (out.files.empty()) {
                error = "info needs at least one FILE";
                return false;
            }
            if (out.image && out.frame) {
                error = "--image and --frame both name the image to describe; give one";
                return false;
            }
            break;
        case Command::Decode:
            if (out.files.empty()) {
                error = "decode needs at least one FILE";
                return false;
            }
            if (out.output.empty()) {
                error = "decode needs -o OUT.png, -o OUT.bmp or -o DIR/";
                return false;
            }
            if (out.image && out.frame) {
                error = "--image and --frame both choose the image to decode; give one";
                return false;
            }
            break;
        case Command::Thumbs:
            if (out.files.size() != 1) {
                error = "thumbs needs one DIR (the folder of pictures)";
                return false;
            }
            if (out.output.empty()) {
                error = "thumbs needs -o DIR/ (the folder for the thumbnails)";
                return false;
            }
            break;
        default:
            break;
    }
    return true;
}

bool FillRequestBlock(const HostOptions& options, PictureRequestBlock& block) {
    std::memset(&block, 0, sizeof block);
    if (!options.HasRequestFields()) return false;
    std::memcpy(block.tag, "zem", 3);
    if (options.scale) block.field44 = *options.scale;
    if (options.image) {
        block.field48 = *options.image;
    } else if (options.frame) {
        block.field48 = *options.frame;
    }
    if (options.position) block.field52 = *options.position;
    if (options.type) block.field56 = *options.type;
    return true;
}

OutputFormat FormatFromExtension(const std::string& path) {
    const size_t dot = path.rfind('.');
    const size_t slash = path.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return OutputFormat::Unspecified;
    }
    std::string ext = path.substr(dot + 1);
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (ext == "png") return OutputFormat::Png;
    if (ext == "bmp") return OutputFormat::Bmp;
    return OutputFormat::Unspecified;
}

std::string VersionText() { return std::string("zemhost ") + ZEM_VERSION; }

std::string UsageText(bool png_available) {
    std::string text =
        R"(zemhost reads pictures, animation frames, pages and video frames through the image
plug-ins of its folder, as an image viewer does, and saves them as PNG or BMP files.

Usage:
  zemhost decode FILE -o OUT.png  decode and save; the extension (.png or .bmp) picks the format
  zemhost decode FILE... -o DIR/  decode each FILE into DIR, named after it (photo.jpg gives
                                  DIR/photo.png; --name full gives DIR/photo.jpg.png), with the
                                  extension of --format (default png)
  zemhost decode FILE --preview -o OUT.png
                                  save the small picture that the file holds (or a cheap reduced
                                  read) instead of the whole picture
  zemhost thumbs DIR -o OUTDIR/   a thumbnail of every picture and clip of DIR, named after the
                                  whole file name: IMG_0001.CR2 gives OUTDIR/IMG_0001.CR2.png
                                  (or .bmp with --format), so that IMG_0001.CR2 and IMG_0001.JPG
                                  both get one; with -r, of its subfolders too, in the same
                                  subfolders of OUTDIR
  zemhost info FILE...            what is known of each file from its headers: size, and as far
                                  as the file tells, depth, densities, comment, type, frame
                                  count, clip length and codec; the preview's size with --preview
  zemhost probe FILE...           which plug-ins accept each file: by its name and first bytes,
                                  and by reading the file
  zemhost plugins                 the plug-ins found and what each reads
  zemhost help | --help | -h      this text
  zemhost --version               the version of zemhost

Files are never lost: decode and thumbs never write over an input file (whatever the name it
is given by; for thumbs, any file of DIR), replace an existing output only with --force, and
never replace a read-only one. Outputs that exist are skipped with a message. Two inputs whose
outputs would have one name (a.jpg and a.png, or a.jpg and A.JPG where the output folder does
not tell case apart, as on Windows) refuse a decode batch before anything is written; thumbs
gives the second a number instead ("A.JPG (2).png").

Options:
  --plugins DIR     load the plug-ins in DIR (default: the "plugins" folder beside zemhost)
  --plugin NAME     info, decode, thumbs: use this plug-in (as listed by "zemhost plugins")
                    instead of the one chosen below
  -o, --output OUT  decode: OUT.png, OUT.bmp, or a folder (an existing one, or ending in "/");
                    thumbs: a folder
  --format png|bmp  decode, thumbs: the output format for a folder, or for an OUT of another
                    extension
  --name stem|full  decode into a folder: name each output after the input's name without its
                    extension (stem, the default: photo.png) or with it (full: photo.jpg.png)
  -y, --force       decode, thumbs: replace outputs that exist (never an input, never a
                    read-only file)
  --preview         decode: save the preview instead of the picture (fails when the file has
                    none); info: print the preview's size, which costs a reduced read
  --as-stored       info, decode, thumbs: pictures as the file stores them; without it imgsrc
                    is asked for them upright (EXIF or TIFF orientation applied) and in sRGB
                    (the ICC profile converted)
  --png-level N     decode, thumbs: compression of PNG output, 0 to 9 (default 2: about as
                    fast as the decode; 6 to 9 give files some 10 to 20 % smaller, many times
                    slower)
  -r, --recursive   thumbs: go into subfolders, mirroring them under OUTDIR
  --size N          thumbs: the thumbnails' long side in pixels (default 256)
  -j, --jobs N      thumbs: make N thumbnails at a time (default: one per processor core);
                    results are printed in file-name order all the same
  -v, --verbose     thumbs: name each file that no plug-in takes (without it they are counted
                    by extension)
  --memory          info, decode: pass the file's bytes instead of its name
  --offset N        info, decode: the picture starts N bytes into the file (with --memory, the
                    bytes from N on are passed)
  --split           decode: ask for the header and the pixels apart, and join them again

Choosing what to decode:
  --image N         the image of an animation or the page of a multi-page picture (0 = the
                    first); with info, that image is read and its size printed
  --frame N         the same as --image (give one of the two)
  --position P      the frame of a video clip at P whole seconds from its start, or with -1
                    to -100 at that per cent of its length. dshowsrc gives the middle frame for a
                    time past the end; avisrc gives none
  --scale S         read a JPEG at 1/S of its size (1 to 8; imgsrc)
  --type T          read the file as this type (imgsrc), by name or number: jpeg, png, tiff,
                    bmp, gif, ico, tga, jp2, j2k, pnm, raw, psd, webp, heif, avif, jxl, qoi,
                    dds, icns, pcx, sgi, xpm, xbm, wbmp, ras, hdr, pfm
An option that does not apply to the file (--scale on a PNG, --position on a still picture,
--image on a video) is warned of, and the picture written as read.

The plug-in used: of those that accept the file (by its name and first 2048 bytes, or else by
reading it), dshowsrc for video clips (exact frames, length, codec), imgsrc for pictures (type,
frame count, densities), otherwise the first in file-name order. When dshowsrc can read no frame
of a clip, the next plug-in that accepts it is tried. A .dib file (a bitmap without a file
header) goes to bmpsrc, which lists the name.

Output: PNG files are 8-bit RGB, or RGBA for pictures with transparency; BMP files hold the
picture exactly as the plug-in returned it. Thumbnails are the file's preview where it has one,
else the picture (JPEGs read at 1/8 of their size), reduced to the long side of --size. Nothing
is written when a step fails. On a terminal, progress goes to standard error: "[3/10] name" in a
batch or thumbs, "writing NAME: 40 %" for large PNG files.

Exit status: 0 success, 1 failure (the reason on standard error; for a batch or thumbs, any
file that could not be read or decoded), 2 usage error or a refused batch (nothing written), 3
some outputs existed and were skipped (nothing failed). probe exits with 1 when a file cannot be
read or no plug-in accepts it. thumbs names each file that cannot be read with the system's
reason ("permission denied"), and counts the files that no plug-in takes.

For host writers: the choosing options fill the 60-byte request block tagged "zem" that
GetPicture and GetPreview receive: --scale byte 44, --image or --frame byte 48, --position byte
52 (whole seconds, hence no fractions), --type byte 56 (type numbers: 0 detect, 1 bmp, 2 gif,
3 jpeg, 4 png, 5 ico, 6 tiff, 7 tga, 11 jp2, 12 j2k, 14 pnm, 19 raw, 20 psd, 21 webp, 22 heif,
23 avif, 24 jxl, 25 qoi, 26 dds, 27 icns, 28 pcx, 29 sgi, 30 xpm, 31 xbm, 32 wbmp, 33 ras,
34 hdr, 35 pfm), which imgsrc overwrites with the type found; fields not given are 0, and
without any of them no block is passed. For info, --type sets byte 106 of the information
record. For imgsrc, unless --as-stored is given, bits 8 (0x100: upright) and 9 (0x200: sRGB)
are added above the type in byte 56 (a block is passed for them) and in byte 106; imgsrc leaves
set those that it honoured. BMP output is the returned packed DIB behind a 14-byte file header (RLE and top-down rows
kept); PNG output draws RLE4 and RLE8 DIBs as Windows does and takes alpha from an alpha bit
field, or from 32-bit BI_RGB whose fourth bytes are not all 0.
)";
    if (!png_available) {
        text += "\nPNG output is not supported in this build: use .bmp or --format bmp.\n";
    }
    return text;
}
