// zemhost: the command-line host. It loads the plug-ins of a folder the way a viewer does and
// drives their five exports: lists them, asks which ones take a file, reads picture information
// and decodes pictures into PNG or BMP files.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "BmpWriter.h"
#include "ByteReader.h"
#include "DibImage.h"
#include "HostOptions.h"
#include "PluginSet.h"
#include "PngWriter.h"
#include "ReceivedDib.h"
#include "ResultText.h"
#include "Thumbnail.h"
#include "platform/com.h"
#include "platform/platform.h"
#include "plugin_abi.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSkipped = 3;  // nothing failed, but outputs that exist were left alone
constexpr size_t kHeadBytes = 2048;

void Fail(const std::string& message) { std::fprintf(stderr, "zemhost: %s\n", message.c_str()); }
void Warn(const std::string& message) { Fail("warning: " + message); }

// Loads the plug-ins of --plugins DIR or of the folder beside the executable; modules that do
// not load are reported and skipped.
bool LoadPlugins(const HostOptions& options, PluginSet& plugins, std::string& dir) {
    dir = options.plugin_dir.empty() ? DefaultPluginDir() : options.plugin_dir;
    std::string error;
    const bool ok = plugins.Load(dir, error);
    for (const std::string& failure : plugins.Failures()) {
        Fail("warning: plug-in not loaded: " + failure);
    }
    if (!ok) Fail(error);
    return ok;
}

// A file that a command reads: it must exist and be a regular file.
bool CheckInputFile(const std::string& path, std::string& error) {
    std::error_code ec;
    const fs::file_status status = fs::status(fs::path(path), ec);
    if (!fs::exists(status)) {
        error = "cannot open " + path + ": no such file";
        return false;
    }
    if (!fs::is_regular_file(status)) {
        error = path + " is not a regular file";
        return false;
    }
    if (fs::file_size(fs::path(path), ec) == 0 && !ec) {
        error = "the file is empty";
        return false;
    }
    return true;
}

// The first 2048 bytes of a file from `offset` on, zero-padded, as IsSupported expects them.
bool ReadHead(const std::string& path, uint64_t offset, std::vector<uint8_t>& head) {
    head.assign(kHeadBytes, 0);
    std::ifstream in(fs::path(path), std::ios::binary);
    if (!in) return false;
    in.seekg(static_cast<std::streamoff>(offset));
    if (!in) return false;
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    return !in.bad();
}

SpiHeadWord HeadWord(const std::vector<uint8_t>& head) {
    return static_cast<SpiHeadWord>(reinterpret_cast<uintptr_t>(head.data()));
}

// The source of a picture request: the file's name with an offset, or its bytes in memory.
class PictureSource {
public:
    bool Open(const std::string& path, const HostOptions& options, std::string& error) {
        m_path = path;
        m_offset = options.offset;
        m_memory = options.memory;
        if (!CheckInputFile(path, error)) return false;
        if (!m_memory) return true;
        if (!m_view.Open(platform::AnsiToWide(path.c_str()).c_str())) {
            error = "cannot read " + path + " into memory (it is empty or unreadable)";
            return false;
        }
        if (m_offset >= m_view.Size()) {
            error = "offset " + std::to_string(m_offset) + " lies at or beyond the end of " + path +
                    " (" + std::to_string(m_view.Size()) + " bytes)";
            return false;
        }
        if (m_view.Size() - m_offset >
            static_cast<uint64_t>(std::numeric_limits<SpiLength>::max())) {
            error = path + " is too large to pass in memory in this build";
            return false;
        }
        return true;
    }
    const char* Buffer() const {
        return m_memory ? reinterpret_cast<const char*>(m_view.Data() + m_offset) : m_path.c_str();
    }
    SpiLength Length() const {
        return static_cast<SpiLength>(m_memory ? m_view.Size() - m_offset : m_offset);
    }
    uint32_t Flag() const { return m_memory ? SPI_SRC_MEMORY : SPI_SRC_FILE; }
    const std::string& Path() const { return m_path; }
    uint64_t Offset() const { return m_offset; }

private:
    std::string m_path;
    uint64_t m_offset = 0;
    bool m_memory = false;
    platform::FileView m_view;
};

// How well a plug-in's answers suit a file that several accept: the video plug-in knows a
// clip's length and codec and reads exact frames, the multi-format plug-in a picture's type,
// frame count and densities; the single-format plug-ins come after them.
int AnswerRank(PluginFamily family) {
    switch (family) {
        case PluginFamily::Video:
            return 0;
        case PluginFamily::MultiFormat:
            return 1;
        default:
            return 2;
    }
}

// The plug-ins that accept a file, best first: the one named by --plugin alone, else every
// plug-in that accepts it, by AnswerRank and then in file-name order. A picture at an offset is
// tested by the bytes from that offset on, since the file's own head is not the picture's.
std::vector<HostPlugin*> CandidatePlugins(const PluginSet& plugins, const HostOptions& options,
                                          const std::string& path, std::string& error) {
    std::vector<HostPlugin*> found;
    if (!options.plugin_name.empty()) {
        if (HostPlugin* plugin = plugins.Find(options.plugin_name)) {
            found.push_back(plugin);
        } else {
            error =
                "no plug-in called " + options.plugin_name + " (loaded: " + plugins.Names() + ")";
        }
        return found;
    }
    // As viewers do: the file's first bytes (from the offset on) go to every plug-in first;
    // only when none accepts them is each asked to read the file itself. Plug-ins that probe
    // a file through a media framework are then asked last, and only when they must be.
    std::vector<uint8_t> head;
    if (!ReadHead(path, options.offset, head)) {
        error = "cannot read " + path;
        return found;
    }
    for (const auto& plugin : plugins.Plugins()) {
        if (plugin->module.IsSupported(path.c_str(), HeadWord(head)) != 0) {
            found.push_back(plugin.get());
        }
    }
    if (found.empty() && options.offset == 0) {
        for (const auto& plugin : plugins.Plugins()) {
            if (plugin->module.IsSupported(path.c_str(), 0) != 0) found.push_back(plugin.get());
        }
    }
    if (found.empty()) {
        error = "no plug-in accepts " + path + " (tried: " + plugins.Names() + ")";
    }
    std::stable_sort(found.begin(), found.end(), [](const HostPlugin* a, const HostPlugin* b) {
        return AnswerRank(a->family) < AnswerRank(b->family);
    });
    return found;
}

// Text of a comment block: printable ASCII as it is, everything else escaped. The block may be
// longer than its text (the size query may round up), so trailing zeros are dropped.
std::string EscapeComment(const uint8_t* p, size_t n) {
    while (n > 0 && p[n - 1] == 0) --n;
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = p[i];
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

// Reads and frees the info handle that GetPictureInfo left at byte 22 of the record.
std::string TakeComment(SpiHandle handle, bool& present) {
    present = handle != nullptr;
    if (!handle) return {};
    std::string text;
    const size_t size = platform::MemSize(handle);
    if (const auto* p = static_cast<const uint8_t*>(platform::MemLock(handle))) {
        text = EscapeComment(p, size);
        platform::MemUnlock(handle);
    }
    platform::MemFree(handle);
    return text;
}

std::string FourCc(uint32_t code) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((code >> (8 * i)) & 0xFF);
        if (c < 0x20 || c >= 0x7F) return {};
        s += c;
    }
    return " '" + s + "'";
}

int RunPlugins(const HostOptions& options) {
    PluginSet plugins;
    std::string dir;
    if (!LoadPlugins(options, plugins, dir)) return kExitFailure;
    std::printf("plug-ins in %s:\n", dir.c_str());
    for (const auto& plugin : plugins.Plugins()) {
        std::printf("%s (%s)\n", plugin->name.c_str(), plugin->file_name.c_str());
        std::printf("  0 version:     %s\n", plugin->info[0].c_str());
        std::printf("  1 description: %s\n", plugin->info[1].c_str());
        std::printf("  2 filter:      %s\n", plugin->info[2].c_str());
        std::printf("  3 type:        %s\n", plugin->info[3].c_str());
    }
    return plugins.Failures().empty() ? kExitOk : kExitFailure;
}

std::string Acceptance(const HostPlugin& plugin, int32_t value) {
    // The multi-format plug-in answers with the image type it recognised.
    if (value == 1) return plugin.name;
    return plugin.name + " (" + std::to_string(value) + ")";
}

int RunProbe(const HostOptions& options) {
    PluginSet plugins;
    std::string dir;
    if (!LoadPlugins(options, plugins, dir)) return kExitFailure;
    int status = kExitOk;
    for (const std::string& path : options.files) {
        std::string error;
        std::vector<uint8_t> head;
        if (!CheckInputFile(path, error) || !ReadHead(path, 0, head)) {
            Fail("probe " + path + ": " + (error.empty() ? "cannot read the file" : error));
            status = kExitFailure;
            continue;
        }
        std::string by_head, by_file;
        for (const auto& plugin : plugins.Plugins()) {
            const int32_t head_answer = plugin->module.IsSupported(path.c_str(), HeadWord(head));
            const int32_t file_answer = plugin->module.IsSupported(path.c_str(), 0);
            if (head_answer != 0)
                by_head += (by_head.empty() ? "" : ", ") + Acceptance(*plugin, head_answer);
            if (file_answer != 0)
                by_file += (by_file.empty() ? "" : ", ") + Acceptance(*plugin, file_answer);
        }
        std::printf("%s\n", path.c_str());
        std::printf("  by name and head: %s\n", by_head.empty() ? "none" : by_head.c_str());
        std::printf("  by file:          %s\n", by_file.empty() ? "none" : by_file.c_str());
        if (by_head.empty() && by_file.empty()) status = kExitFailure;
    }
    return status;
}

// Which export a request goes to: GetPicture, or GetPreview (same arguments, same handles).
enum class Export { Picture, Preview };

// Asks the plug-in for the picture (or its preview); the DIB's handles are adopted whatever the
// result.
int32_t RequestPicture(const HostPlugin& plugin, const PictureSource& source,
                       PictureRequestBlock* block, bool split, ReceivedDib& dib,
                       Export which = Export::Picture) {
    const SpiUserData user_data =
        block ? static_cast<SpiUserData>(reinterpret_cast<intptr_t>(block)) : 0;
    const SpiHandle marker =
        reinterpret_cast<SpiHandle>(static_cast<intptr_t>(SPI_PACKED_DIB_MARKER));
    SpiHandle info = nullptr;
    SpiHandle bits = split ? nullptr : marker;
    const GetPictureFn request =
        which == Export::Preview ? plugin.module.GetPreview : plugin.module.GetPicture;
    const int32_t code =
        request(source.Buffer(), source.Length(), source.Flag(), &info, &bits, nullptr, user_data);
    // A plug-in that left the marker in place has not touched the slot: it holds no handle.
    if (bits == marker) bits = nullptr;
    dib.Adopt(info, bits);
    return code;
}

// What GetPictureInfo answered, with the comment handle already read and freed.
struct InfoReading {
    int32_t code = SPI_INTERNAL_ERROR;
    PictureInfoRecord record{};
    bool has_comment = false;
    std::string comment;

    template <typename T>
    T Field(size_t offset) const {
        T value;
        std::memcpy(&value, reinterpret_cast<const uint8_t*>(&record) + offset, sizeof value);
        return value;
    }
    uint32_t ImageType() const { return Field<uint32_t>(offsetof(PictureInfoRecord, imageType)); }
    uint32_t FrameCount() const { return Field<uint32_t>(offsetof(PictureInfoRecord, frameCount)); }
};

InfoReading ReadInfo(const HostPlugin& plugin, const PictureSource& source,
                     std::optional<int32_t> type) {
    InfoReading r;
    // The long form of the record, zero-filled, so that every plug-in finds room for its fields.
    std::memset(&r.record, 0, sizeof r.record);
    if (type) {
        const uint32_t value = static_cast<uint32_t>(*type);
        std::memcpy(reinterpret_cast<uint8_t*>(&r.record) + offsetof(PictureInfoRecord, imageType),
                    &value, sizeof value);
    }
    r.code =
        plugin.module.GetPictureInfo(source.Buffer(), source.Length(), source.Flag(), &r.record);
    r.comment =
        TakeComment(r.Field<SpiHandle>(offsetof(PictureInfoRecord, infoHandle)), r.has_comment);
    return r;
}

std::string TypeLabel(uint32_t type) {
    const char* name = ImageTypeName(type);
    return name ? name : "type " + std::to_string(type);
}

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

// Says in the user's words why a request failed, from the result code and what else the
// plug-in tells about the file: a frame or page beyond the last, a file cut short, a variant that
// the plug-in does not read.
std::string ExplainFailure(int32_t code, const HostPlugin& plugin, const PictureSource& source,
                           const HostOptions& options) {
    const std::string by = "(" + plugin.name + ") ";
    const std::string coded = " (code " + std::to_string(code) + ")";
    if (plugin.family == PluginFamily::MultiFormat) {
        const InfoReading info = ReadInfo(plugin, source, options.type);
        const std::optional<int32_t> index = options.image ? options.image : options.frame;
        const uint32_t count = info.FrameCount();
        if (info.code == SPI_OK && index && count > 0 && static_cast<uint32_t>(*index) >= count) {
            const char* word = info.ImageType() == 6 ? "page" : "frame";
            return by + word + " " + std::to_string(*index) + " of " + std::to_string(count) +
                   " requested; the file has " + word + "s 0 to " + std::to_string(count - 1) +
                   coded;
        }
        // When the record cannot be read either, the type that the plug-in recognised by the
        // file's head (its answer to IsSupported) still tells what the file claims to be.
        uint32_t type = info.code == SPI_OK ? info.ImageType() : 0;
        std::vector<uint8_t> head;
        if (type == 0 && ReadHead(source.Path(), source.Offset(), head)) {
            const int32_t answer = plugin.module.IsSupported(source.Path().c_str(), HeadWord(head));
            if (answer > 0) type = static_cast<uint32_t>(answer);
        }
        std::string why;
        if (type != 0 && LooksCutShort(source.Path(), source.Offset(), type, why)) {
            return by + "the " + TypeLabel(type) + " file is cut short: " + why + coded;
        }
        if (type != 0 && code == SPI_UNKNOWN_FORMAT) {
            return by + "a " + TypeLabel(type) + " file of a variant that this plug-in does not " +
                   "read (or damaged in a way it cannot tell)" + coded;
        }
    }
    return by + DescribeResult(code, plugin.family);
}

// The fields that each kind of plug-in fills in the information record, so that info prints
// those and no zeros that mean "not known".
struct InfoFields {
    bool depth, densities, comment, stream, type_and_frames;
};

InfoFields FieldsOf(PluginFamily family) {
    switch (family) {
        case PluginFamily::MultiFormat:
            return {true, true, false, false, true};
        case PluginFamily::Gif:
            return {true, true, true, false, false};
        case PluginFamily::Video:
            return {false, false, false, true, false};
        case PluginFamily::Avi:
            return {true, false, false, true, false};
        case PluginFamily::Generic:
            break;
    }
    return {true, true, false, false, false};
}

// Prints the information of one file; false, with the reason on standard error, on failure.
bool InfoOne(const PluginSet& plugins, const HostOptions& options, const std::string& path) {
    std::string error;
    PictureSource source;
    if (!source.Open(path, options, error)) {
        Fail("info " + path + ": " + error);
        return false;
    }
    const std::vector<HostPlugin*> candidates = CandidatePlugins(plugins, options, path, error);
    if (candidates.empty()) {
        Fail("info " + path + ": " + error);
        return false;
    }
    const HostPlugin& plugin = *candidates[0];
    const InfoReading info = ReadInfo(plugin, source, options.type);
    if (info.code != SPI_OK) {
        Fail("info " + path + ": " + ExplainFailure(info.code, plugin, source, options));
        return false;
    }
    const PictureInfoRecord& record = info.record;
    const InfoFields fields = FieldsOf(plugin.family);
    std::printf("file:          %s\n", path.c_str());
    std::printf("plug-in:       %s\n", plugin.name.c_str());
    std::printf("size:          %d x %d%s\n", record.width, record.height,
                record.height < 0 ? " (rows top-down)" : "");
    if (fields.depth && record.colorDepth != 0) {
        std::printf("depth:         %u bit%s per pixel\n", static_cast<unsigned>(record.colorDepth),
                    record.colorDepth == 1 ? "" : "s");
    }
    if (fields.densities && (record.xDensity != 0 || record.yDensity != 0)) {
        std::printf("densities:     %u x %u%s\n", static_cast<unsigned>(record.xDensity),
                    static_cast<unsigned>(record.yDensity),
                    plugin.family == PluginFamily::MultiFormat ? " dots per inch" : "");
    }
    if (info.has_comment) {
        std::printf("comment:       \"%s\"\n", info.comment.c_str());
    } else if (fields.comment) {
        std::printf("comment:       none\n");
    }
    const auto length = info.Field<double>(offsetof(PictureInfoRecord, streamLength));
    const auto codec = info.Field<uint32_t>(offsetof(PictureInfoRecord, codec));
    if (fields.stream && length > 0) std::printf("stream length: %g s\n", length);
    if (fields.stream && codec != 0) {
        std::printf("codec:         0x%08X%s\n", codec, FourCc(codec).c_str());
    }
    if (fields.type_and_frames) {
        std::printf("image type:    %u (%s)\n", info.ImageType(),
                    TypeLabel(info.ImageType()).c_str());
        std::printf("frame count:   %u\n", info.FrameCount());
    }
    // The preview, from the plug-ins that can give one (bmpsrc and gifsrc always decline).
    if (plugin.family == PluginFamily::MultiFormat || plugin.family == PluginFamily::Video ||
        plugin.family == PluginFamily::Avi) {
        PictureRequestBlock block;
        const bool has_block = FillRequestBlock(options, block);
        ReceivedDib preview;
        const int32_t code = RequestPicture(plugin, source, has_block ? &block : nullptr, false,
                                            preview, Export::Preview);
        std::string why;
        DibMeasures m;
        if (code == SPI_NOT_IMPLEMENTED) {
            std::printf("preview:       none\n");
        } else if (code != SPI_OK) {
            std::printf("preview:       unreadable: %s\n",
                        DescribeResult(code, plugin.family).c_str());
        } else if (preview.Assemble(why) && MeasureDib(preview.Data(), preview.Size(), m)) {
            std::printf("preview:       %u x %u, %u-bit\n", static_cast<unsigned>(m.width),
                        static_cast<unsigned>(m.abs_height), static_cast<unsigned>(m.bit_count));
        } else {
            std::printf("preview:       unreadable: the returned DIB cannot be measured\n");
        }
    }
    // --image N: that image itself, decoded, since the record describes the first one only.
    const std::optional<int32_t> index = options.image ? options.image : options.frame;
    if (index) {
        PictureRequestBlock block;
        FillRequestBlock(options, block);
        ReceivedDib dib;
        const int32_t code = RequestPicture(plugin, source, &block, false, dib);
        DibMeasures m;
        if (code != SPI_OK) {
            Fail("info " + path + ": " + ExplainFailure(code, plugin, source, options));
            return false;
        }
        if (!dib.Assemble(error) || !MeasureDib(dib.Data(), dib.Size(), m)) {
            Fail("info " + path + ": (" + plugin.name + ") the returned DIB cannot be measured");
            return false;
        }
        std::printf("image %d:%*s%u x %u, %u bit%s per pixel\n", *index,
                    *index < 10 ? 7 : (*index < 100 ? 6 : 1), "", static_cast<unsigned>(m.width),
                    static_cast<unsigned>(m.abs_height), static_cast<unsigned>(m.bit_count),
                    m.bit_count == 1 ? "" : "s");
    }
    return true;
}

int RunInfo(const HostOptions& options) {
    PluginSet plugins;
    std::string dir;
    if (!LoadPlugins(options, plugins, dir)) return kExitFailure;
    bool all_ok = true;
    for (size_t i = 0; i < options.files.size(); ++i) {
        if (i > 0) std::printf("\n");
        if (!InfoOne(plugins, options, options.files[i])) all_ok = false;
        std::fflush(stdout);
    }
    return all_ok ? kExitOk : kExitFailure;
}

struct DecodeJob {
    std::string input;
    std::string output;
    OutputFormat format = OutputFormat::Png;
    std::string skip;  // why the output is left alone; empty: write it
};

bool EndsWithSeparator(const std::string& path) {
    return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

// Works out the output of each input. A folder target (an existing folder, or a name ending in
// a separator) takes one file per input, named after it; a file target takes one input.
bool PlanOutputs(const HostOptions& options, std::vector<DecodeJob>& jobs, bool& make_folder,
                 std::string& error) {
    jobs.clear();
    make_folder = false;
    const std::string& out = options.output;
    std::error_code ec;
    const bool is_folder = EndsWithSeparator(out) || fs::is_directory(fs::path(out), ec);
    if (!is_folder) {
        if (options.files.size() > 1) {
            error = "several inputs need -o to name a folder (an existing one, or ending in /)";
            return false;
        }
        OutputFormat format = FormatFromExtension(out);
        if (format == OutputFormat::Unspecified) format = options.format;
        if (format == OutputFormat::Unspecified) {
            error = "cannot tell the output format from " + out +
                    ": use a .png or .bmp name, or --format";
            return false;
        }
        if (options.format != OutputFormat::Unspecified && options.format != format) {
            error = "--format contradicts the extension of " + out;
            return false;
        }
        jobs.push_back({options.files[0], out, format, {}});
        return true;
    }
    make_folder = !fs::is_directory(fs::path(out), ec);
    const OutputFormat format =
        options.format == OutputFormat::Unspecified ? OutputFormat::Png : options.format;
    const std::string folder = EndsWithSeparator(out) ? out : out + "/";
    const char* extension = format == OutputFormat::Png ? ".png" : ".bmp";
    for (const std::string& input : options.files) {
        jobs.push_back({input, folder + fs::path(input).stem().string() + extension, format, {}});
    }
    return true;
}

// The name by which two spellings of one path compare equal before either exists.
std::string PathKey(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(fs::path(path), ec);
    if (ec) p = fs::path(path);
    return p.lexically_normal().generic_string();
}

// Checks every output before anything is written. Outputs that two inputs would share, and
// outputs that are one of `inputs` (the same file by identity: a hard link or another spelling
// counts), are all listed in `error`: the whole batch is then refused. An output that exists
// is skipped without --force; a read-only one, or one that is not a plain file, always.
bool CheckOutputs(const HostOptions& options, const std::vector<std::string>& inputs,
                  std::vector<DecodeJob>& jobs, std::string& error) {
    std::map<std::string, const DecodeJob*> taken;
    std::string problems;
    for (DecodeJob& job : jobs) {
        const auto [it, fresh] = taken.emplace(PathKey(job.output), &job);
        if (!fresh) {
            problems += "\n  " + it->second->input + " and " + job.input +
                        " would both be written to " + job.output;
        }
        std::error_code ec;
        const fs::file_status status = fs::status(fs::path(job.output), ec);
        if (!fs::exists(status)) continue;
        bool is_input = false;
        for (const std::string& input : inputs) {
            if (fs::equivalent(fs::path(job.output), fs::path(input), ec) && !ec) is_input = true;
        }
        if (is_input) {
            problems += "\n  " + job.output + " is an input file; it is never written over";
        } else if (!fs::is_regular_file(status)) {
            job.skip = job.output + " exists and is not a plain file; left alone";
        } else if ((status.permissions() & fs::perms::owner_write) == fs::perms::none) {
            job.skip = job.output + " is read-only; left alone (make it writable to replace it)";
        } else if (!options.force) {
            job.skip = job.output + " exists; left alone (--force or -y replaces it)";
        }
    }
    if (problems.empty()) return true;
    error = "nothing written:" + problems;
    return false;
}

// Warns of request options that the plug-in that answered does not read, so that a user who
// asked for a frame or a scale learns that the output is not what was asked for.
void WarnUnusedOptions(const HostOptions& options, const HostPlugin& plugin, uint32_t type_found,
                       const std::string& input) {
    const bool video = plugin.family == PluginFamily::Video || plugin.family == PluginFamily::Avi;
    const bool multi = plugin.family == PluginFamily::MultiFormat;
    auto warn = [&](const char* option, const std::string& why) {
        Warn(std::string(option) + " has no effect on " + input + ": " + why);
    };
    if (options.scale && !(multi && type_found == 3)) {
        warn("--scale", multi ? "it reduces JPEG pictures only, and this is a " +
                                    TypeLabel(type_found) + " file"
                              : plugin.name + " does not read it (imgsrc reduces JPEGs)");
    }
    if (options.position && !video) warn("--position", "a still picture has no time position");
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

// A picture asked of the plug-ins that accept a file, best first, as decode asks it: the first
// one's answer stands, except that a video plug-in that gives nothing (-1: its media framework
// reads no frame, or it has no preview) leaves the clip to the next one that accepts it.
struct Reading {
    int32_t code = SPI_NOT_IMPLEMENTED;
    const HostPlugin* plugin = nullptr;
    PictureRequestBlock block{};  // as the plug-in left it (imgsrc writes the type back)
    bool has_block = false;
};

Reading RequestFromCandidates(const std::vector<HostPlugin*>& candidates,
                              const PictureSource& source, const PictureRequestBlock* request,
                              bool split, Export which, bool quiet, ReceivedDib& dib) {
    Reading r;
    for (const HostPlugin* candidate : candidates) {
        if (r.plugin && !quiet) {
            Warn(r.plugin->name +
                 (which == Export::Preview ? " has no preview of " : " could read no frame of ") +
                 source.Path() + "; trying " + candidate->name);
        }
        r.plugin = candidate;
        r.has_block = request != nullptr;
        if (request) r.block = *request;
        r.code =
            RequestPicture(*candidate, source, r.has_block ? &r.block : nullptr, split, dib, which);
        if (r.code != SPI_NOT_IMPLEMENTED || candidate->family != PluginFamily::Video) break;
    }
    return r;
}

// Writes the packed DIB that `plugin` returned to the job's output in the job's format.
bool SaveDib(const DecodeJob& job, const HostOptions& options, const std::string& plugin,
             const uint8_t* data, size_t size, std::string& error) {
    if (job.format == OutputFormat::Bmp) return WriteBmpFile(job.output, data, size, error);
    DibImage image;
    if (!image.Load(data, size, error)) {
        error = "(" + plugin + ") " + error;
        return false;
    }
    PngSettings settings;
    settings.level = options.png_level ? *options.png_level : kDefaultPngLevel;
    settings.show_progress = platform::StderrIsTerminal();
    return WritePngFile(job.output, image, settings, error);
}

// Decodes one input and saves it; on success `summary` says what was done.
bool DecodeOne(const PluginSet& plugins, const HostOptions& options, const DecodeJob& job,
               std::string& summary, std::string& error) {
    PictureSource source;
    if (!source.Open(job.input, options, error)) return false;
    const std::vector<HostPlugin*> candidates =
        CandidatePlugins(plugins, options, job.input, error);
    if (candidates.empty()) return false;

    ReceivedDib dib;
    PictureRequestBlock request;
    const bool has_request = FillRequestBlock(options, request);
    const Export which = options.preview ? Export::Preview : Export::Picture;
    const Reading r = RequestFromCandidates(candidates, source, has_request ? &request : nullptr,
                                            options.split, which, false, dib);
    const HostPlugin* plugin = r.plugin;
    if (r.code == SPI_NOT_IMPLEMENTED && options.preview) {
        error = "(" + plugin->name + ") no preview: the plug-in holds no cheap one for this file " +
                "(code -1); decode it without --preview";
        return false;
    }
    if (r.code != SPI_OK) {
        error = ExplainFailure(r.code, *plugin, source, options);
        return false;
    }
    if (!dib.Assemble(error)) {
        error = "(" + plugin->name + ") " + error;
        return false;
    }
    DibMeasures m;
    if (!MeasureDib(dib.Data(), dib.Size(), m)) {
        error = "(" + plugin->name + ") the returned DIB cannot be measured";
        return false;
    }
    WarnUnusedOptions(options, *plugin, static_cast<uint32_t>(r.block.field56), job.input);
    if (!SaveDib(job, options, plugin->name, dib.Data(), dib.Size(), error)) return false;
    summary = job.input + " -> " + job.output + ": " + (options.preview ? "preview " : "") +
              std::to_string(m.width) + " x " + std::to_string(m.abs_height) + ", " +
              std::to_string(m.bit_count) + "-bit DIB via " + plugin->name +
              (dib.WasSplit() ? " (two handles)" : "");
    if (r.has_block && plugin->family == PluginFamily::MultiFormat) {
        summary += ", image type " + std::to_string(r.block.field56);
    }
    return true;
}

// Refuses a PNG batch in a build without PNG output and warns of a --png-level that does nothing.
bool CheckOutputFormat(const HostOptions& options, OutputFormat format, const char* command) {
    if (format == OutputFormat::Png && !PngOutputAvailable()) {
        Fail(std::string(command) +
             ": PNG output is not supported in this build; write .bmp files (--format bmp)");
        return false;
    }
    if (options.png_level && format != OutputFormat::Png) {
        Warn("--png-level has no effect on BMP output");
    } else if (options.png_level && !PngLevelHonoured()) {
        Warn(
            "--png-level has no effect in this build: the system's PNG encoder chooses its own "
            "compression");
    }
    return true;
}

bool MakeOutputFolder(const std::string& folder, const char* command) {
    std::error_code ec;
    fs::create_directories(fs::path(folder), ec);
    if (!ec) return true;
    Fail(std::string(command) + ": cannot create the output folder " + folder + ": " +
         ec.message());
    return false;
}

// Runs the jobs in order, with progress on a terminal, and prints the tally. `one` does a job
// and says what it did. The exit status: 0, 1 when any job failed, 3 when some were skipped.
template <typename DoOne>
int RunJobs(const std::vector<DecodeJob>& jobs, const char* command, const char* verb,
            DoOne&& one) {
    const bool progress = jobs.size() > 1 && platform::StderrIsTerminal();
    size_t done = 0, skipped = 0;
    for (size_t i = 0; i < jobs.size(); ++i) {
        if (progress) {
            std::fprintf(stderr, "[%zu/%zu] %s\n", i + 1, jobs.size(), jobs[i].input.c_str());
        }
        if (!jobs[i].skip.empty()) {
            Fail(std::string(command) + " " + jobs[i].input + ": skipped: " + jobs[i].skip);
            ++skipped;
            continue;
        }
        std::string summary, error;
        if (one(jobs[i], summary, error)) {
            std::printf("%s\n", summary.c_str());
            std::fflush(stdout);
            ++done;
        } else {
            Fail(std::string(command) + " " + jobs[i].input + ": " + error);
        }
    }
    if (jobs.size() > 1) {
        std::printf("%s %zu of %zu files", verb, done, jobs.size());
        if (skipped > 0) std::printf(" (%zu skipped)", skipped);
        std::printf("\n");
    }
    if (done + skipped < jobs.size()) return kExitFailure;
    return skipped > 0 ? kExitSkipped : kExitOk;
}

int RunDecode(const HostOptions& options) {
    std::vector<DecodeJob> jobs;
    bool make_folder = false;
    std::string error;
    if (!PlanOutputs(options, jobs, make_folder, error) ||
        !CheckOutputs(options, options.files, jobs, error)) {
        Fail("decode: " + error);
        return kExitUsage;
    }
    if (!CheckOutputFormat(options, jobs[0].format, "decode")) return kExitFailure;
    PluginSet plugins;
    std::string dir;
    if (!LoadPlugins(options, plugins, dir)) return kExitFailure;
    if (make_folder && !MakeOutputFolder(options.output, "decode")) return kExitFailure;
    return RunJobs(jobs, "decode", "decoded",
                   [&](const DecodeJob& job, std::string& summary, std::string& why) {
                       return DecodeOne(plugins, options, job, summary, why);
                   });
}

// The thumbnail of one picture: the plug-in's preview, or where every plug-in declines (or the
// preview cannot be read, while the picture may be), the picture read at 1/8 scale (imgsrc
// reduces JPEGs so); either reduced here when it is larger than a thumbnail.
bool ThumbOne(const HostOptions& options, const std::vector<HostPlugin*>& candidates,
              const DecodeJob& job, std::string& summary, std::string& error) {
    PictureSource source;
    if (!source.Open(job.input, options, error)) return false;
    ReceivedDib dib;
    Reading r =
        RequestFromCandidates(candidates, source, nullptr, false, Export::Preview, true, dib);
    const bool from_preview = r.code == SPI_OK;
    if (!from_preview) {
        PictureRequestBlock reduced;
        std::memset(&reduced, 0, sizeof reduced);
        std::memcpy(reduced.tag, "zem", 3);
        reduced.field44 = 8;
        dib.Reset();
        r = RequestFromCandidates(candidates, source, &reduced, false, Export::Picture, true, dib);
    }
    const HostPlugin& plugin = *r.plugin;
    if (r.code != SPI_OK) {
        error = ExplainFailure(r.code, plugin, source, options);
        return false;
    }
    DibMeasures m;
    DibImage image;
    if (!dib.Assemble(error) || !MeasureDib(dib.Data(), dib.Size(), m) ||
        !image.Load(dib.Data(), dib.Size(), error)) {
        if (error.empty()) error = "the returned DIB cannot be measured";
        error = "(" + plugin.name + ") " + error;
        return false;
    }
    const ThumbnailSize size = FitWithin(image.Width(), image.Height(), kThumbnailSide);
    std::vector<uint8_t> reduced;
    const uint8_t* data = dib.Data();
    size_t bytes = dib.Size();
    if (size.width != image.Width() || size.height != image.Height()) {
        if (!ShrinkToDib(image, size, reduced, error)) return false;
        data = reduced.data();
        bytes = reduced.size();
    }
    if (!SaveDib(job, options, plugin.name, data, bytes, error)) return false;
    summary = job.input + " -> " + job.output + ": " + std::to_string(size.width) + " x " +
              std::to_string(size.height) + " from the " + (from_preview ? "preview" : "picture") +
              " (" + std::to_string(m.width) + " x " + std::to_string(m.abs_height) + ") via " +
              plugin.name;
    return true;
}

int RunThumbs(const HostOptions& options) {
    const std::string& folder = options.files[0];
    std::error_code ec;
    if (!fs::is_directory(fs::path(folder), ec)) {
        Fail("thumbs: " + folder + " is not a folder");
        return kExitFailure;
    }
    // Every file of the folder, in name order; all of them are kept from being written over.
    std::vector<std::string> files;
    for (fs::directory_iterator it(fs::path(folder), ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) files.push_back(it->path().string());
    }
    if (ec) {
        Fail("thumbs: cannot list " + folder + ": " + ec.message());
        return kExitFailure;
    }
    std::sort(files.begin(), files.end());

    HostOptions batch = options;
    batch.output = EndsWithSeparator(options.output) ? options.output : options.output + "/";
    batch.plugin_name.clear();
    batch.files.clear();
    const OutputFormat format =
        options.format == OutputFormat::Unspecified ? OutputFormat::Png : options.format;
    if (!CheckOutputFormat(options, format, "thumbs")) return kExitFailure;
    PluginSet plugins;
    std::string dir;
    if (!LoadPlugins(options, plugins, dir)) return kExitFailure;
    HostPlugin* only = nullptr;
    if (!options.plugin_name.empty() && !(only = plugins.Find(options.plugin_name))) {
        Fail("thumbs: no plug-in called " + options.plugin_name + " (loaded: " + plugins.Names() +
             ")");
        return kExitFailure;
    }
    // The pictures: the files that a plug-in (the one of --plugin, if given) accepts.
    std::map<std::string, std::vector<HostPlugin*>> candidates;
    for (const std::string& file : files) {
        std::string unused;
        std::vector<HostPlugin*> found = CandidatePlugins(plugins, batch, file, unused);
        if (only) {
            const bool accepts = std::find(found.begin(), found.end(), only) != found.end();
            found.assign(accepts ? 1 : 0, only);
        }
        if (found.empty()) continue;
        batch.files.push_back(file);
        candidates[file] = std::move(found);
    }
    const size_t others = files.size() - batch.files.size();
    if (batch.files.empty()) {
        Fail("thumbs: no file of " + folder + " is accepted by " +
             (only ? only->name : "any plug-in (loaded: " + plugins.Names() + ")"));
        return kExitFailure;
    }
    std::vector<DecodeJob> jobs;
    bool make_folder = false;
    std::string error;
    if (!PlanOutputs(batch, jobs, make_folder, error) || !CheckOutputs(batch, files, jobs, error)) {
        Fail("thumbs: " + error);
        return kExitUsage;
    }
    if (make_folder && !MakeOutputFolder(batch.output, "thumbs")) return kExitFailure;
    if (others > 0) {
        std::printf("%zu file%s of %s accepted by no plug-in: left out\n", others,
                    others == 1 ? "" : "s", folder.c_str());
    }
    return RunJobs(jobs, "thumbs", "thumbnails of",
                   [&](const DecodeJob& job, std::string& summary, std::string& why) {
                       return ThumbOne(options, candidates[job.input], job, summary, why);
                   });
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) {
        std::fputs(UsageText(PngOutputAvailable()).c_str(), stderr);
        return kExitUsage;
    }
    HostOptions options;
    std::string error;
    if (!ParseHostOptions(args, options, error)) {
        Fail(error);
        std::fprintf(stderr, "Run 'zemhost --help' for the commands and options.\n");
        return kExitUsage;
    }
    switch (options.command) {
        case Command::Plugins:
            return RunPlugins(options);
        case Command::Probe:
            return RunProbe(options);
        case Command::Info:
            return RunInfo(options);
        case Command::Decode:
            return RunDecode(options);
        case Command::Thumbs:
            return RunThumbs(options);
        case Command::Version:
            std::printf("%s\n", VersionText().c_str());
            return kExitOk;
        default:
            std::fputs(UsageText(PngOutputAvailable()).c_str(), stdout);
            return kExitOk;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Plug-ins that use COM components (avifil32, the media detector) find it set up, as in a
    // viewer.
    const platform::ComScope com;
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        return Run(args);
    } catch (const std::bad_alloc&) {
        Fail("out of memory");
    } catch (const std::exception& e) {
        Fail(std::string("unexpected error: ") + e.what());
    }
    return kExitFailure;
}
