// zemhost: the command-line host. It loads the plug-ins of a folder the way a viewer does and
// drives their five exports: lists them, asks which ones take a file, reads picture information
// and decodes pictures into PNG or BMP files.
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
#include <string>
#include <vector>

#include "BmpWriter.h"
#include "DibImage.h"
#include "HostOptions.h"
#include "PluginSet.h"
#include "PngWriter.h"
#include "ReceivedDib.h"
#include "ResultText.h"
#include "platform/com.h"
#include "platform/platform.h"
#include "plugin_abi.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr size_t kHeadBytes = 2048;

void Fail(const std::string& message) { std::fprintf(stderr, "zemhost: %s\n", message.c_str()); }

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

private:
    std::string m_path;
    uint64_t m_offset = 0;
    bool m_memory = false;
    platform::FileView m_view;
};

// The plug-in for a file: the one named by --plugin, else the first that accepts the file by
// file. A picture at an offset is tested by the bytes from that offset on, since the file's own
// head is not the picture's.
HostPlugin* ChoosePlugin(const PluginSet& plugins, const HostOptions& options,
                         const std::string& path, std::string& error) {
    if (!options.plugin_name.empty()) {
        HostPlugin* plugin = plugins.Find(options.plugin_name);
        if (!plugin) {
            error =
                "no plug-in called " + options.plugin_name + " (loaded: " + plugins.Names() + ")";
        }
        return plugin;
    }
    // As viewers do: the file's first bytes (from the offset on) go to every plug-in first;
    // only when none accepts them is each asked to read the file itself. Plug-ins that probe
    // a file through a media framework are then asked last, and only when they must be.
    std::vector<uint8_t> head;
    if (!ReadHead(path, options.offset, head)) {
        error = "cannot read " + path;
        return nullptr;
    }
    for (const auto& plugin : plugins.Plugins()) {
        if (plugin->module.IsSupported(path.c_str(), HeadWord(head)) != 0) return plugin.get();
    }
    if (options.offset == 0) {
        for (const auto& plugin : plugins.Plugins()) {
            if (plugin->module.IsSupported(path.c_str(), 0) != 0) return plugin.get();
        }
    }
    error = "no plug-in accepts " + path + " (tried: " + plugins.Names() + ")";
    return nullptr;
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

int RunInfo(const HostOptions& options) {
    PluginSet plugins;
    std::string dir;
    if (!LoadPlugins(options, plugins, dir)) return kExitFailure;
    const std::string& path = options.files[0];
    std::string error;
    PictureSource source;
    if (!source.Open(path, options, error)) {
        Fail("info " + path + ": " + error);
        return kExitFailure;
    }
    HostPlugin* plugin = ChoosePlugin(plugins, options, path, error);
    if (!plugin) {
        Fail("info " + path + ": " + error);
        return kExitFailure;
    }
    // The long form of the record, zero-filled, so that every plug-in finds room for its fields.
    PictureInfoRecord record;
    std::memset(&record, 0, sizeof record);
    if (options.type) {
        const uint32_t type = static_cast<uint32_t>(*options.type);
        std::memcpy(reinterpret_cast<uint8_t*>(&record) + offsetof(PictureInfoRecord, imageType),
                    &type, sizeof type);
    }
    const int32_t code =
        plugin->module.GetPictureInfo(source.Buffer(), source.Length(), source.Flag(), &record);
    SpiHandle info_handle;
    std::memcpy(&info_handle,
                reinterpret_cast<const uint8_t*>(&record) + offsetof(PictureInfoRecord, infoHandle),
                sizeof info_handle);
    bool has_comment = false;
    const std::string comment = TakeComment(info_handle, has_comment);
    if (code != SPI_OK) {
        Fail("info " + path + " (" + plugin->name + "): " + DescribeResult(code, plugin->family));
        return kExitFailure;
    }
    std::printf("file:          %s\n", path.c_str());
    std::printf("plug-in:       %s\n", plugin->name.c_str());
    std::printf("size:          %d x %d%s\n", record.width, record.height,
                record.height < 0 ? " (rows top-down)" : "");
    std::printf("depth:         %u bit%s per pixel\n", static_cast<unsigned>(record.colorDepth),
                record.colorDepth == 1 ? "" : "s");
    std::printf("densities:     %u x %u%s\n", static_cast<unsigned>(record.xDensity),
                static_cast<unsigned>(record.yDensity),
                plugin->family == PluginFamily::MultiFormat ? " dots per inch" : "");
    if (has_comment) {
        std::printf("comment:       \"%s\"\n", comment.c_str());
    } else {
        std::printf("comment:       none\n");
    }
    double stream_length;
    uint32_t codec, image_type, frame_count;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    std::memcpy(&stream_length, bytes + offsetof(PictureInfoRecord, streamLength), 8);
    std::memcpy(&codec, bytes + offsetof(PictureInfoRecord, codec), 4);
    std::memcpy(&image_type, bytes + offsetof(PictureInfoRecord, imageType), 4);
    std::memcpy(&frame_count, bytes + offsetof(PictureInfoRecord, frameCount), 4);
    std::printf("stream length: %g s\n", stream_length);
    std::printf("codec:         0x%08X%s\n", codec, FourCc(codec).c_str());
    const char* type_name = ImageTypeName(image_type);
    if (plugin->family == PluginFamily::MultiFormat && type_name) {
        std::printf("image type:    %u (%s)\n", image_type, type_name);
    } else {
        std::printf("image type:    %u\n", image_type);
    }
    std::printf("frame count:   %u\n", frame_count);
    return kExitOk;
}

struct DecodeJob {
    std::string input;
    std::string output;
    OutputFormat format = OutputFormat::Png;
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
        jobs.push_back({options.files[0], out, format});
        return true;
    }
    make_folder = !fs::is_directory(fs::path(out), ec);
    const OutputFormat format =
        options.format == OutputFormat::Unspecified ? OutputFormat::Png : options.format;
    const std::string folder = EndsWithSeparator(out) ? out : out + "/";
    const char* extension = format == OutputFormat::Png ? ".png" : ".bmp";
    std::map<std::string, std::string> taken;
    for (const std::string& input : options.files) {
        const std::string output = folder + fs::path(input).stem().string() + extension;
        auto [it, fresh] = taken.emplace(output, input);
        if (!fresh) {
            error = it->second + " and " + input + " would both be written to " + output;
            return false;
        }
        jobs.push_back({input, output, format});
    }
    return true;
}

// Decodes one input through its plug-in and saves it; on success `summary` says what was done.
bool DecodeOne(const PluginSet& plugins, const HostOptions& options, const DecodeJob& job,
               std::string& summary, std::string& error) {
    PictureSource source;
    if (!source.Open(job.input, options, error)) return false;
    HostPlugin* plugin = ChoosePlugin(plugins, options, job.input, error);
    if (!plugin) return false;

    PictureRequestBlock block;
    const bool has_block = FillRequestBlock(options, block);
    const SpiUserData user_data =
        has_block ? static_cast<SpiUserData>(reinterpret_cast<intptr_t>(&block)) : 0;
    const SpiHandle marker =
        reinterpret_cast<SpiHandle>(static_cast<intptr_t>(SPI_PACKED_DIB_MARKER));
    SpiHandle info = nullptr;
    SpiHandle bits = options.split ? nullptr : marker;
    const int32_t code = plugin->module.GetPicture(source.Buffer(), source.Length(), source.Flag(),
                                                   &info, &bits, nullptr, user_data);
    // A plug-in that left the marker in place has not touched the slot: it holds no handle.
    if (bits == marker) bits = nullptr;
    ReceivedDib dib;
    dib.Adopt(info, bits);
    if (code != SPI_OK) {
        error = "(" + plugin->name + ") " + DescribeResult(code, plugin->family);
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
    if (job.format == OutputFormat::Bmp) {
        if (!WriteBmpFile(job.output, dib.Data(), dib.Size(), error)) return false;
    } else {
        DibImage image;
        if (!image.Load(dib.Data(), dib.Size(), error) || !WritePngFile(job.output, image, error)) {
            error = "(" + plugin->name + ") " + error;
            return false;
        }
    }
    summary = job.input + " -> " + job.output + ": " + std::to_string(m.width) + " x " +
              std::to_string(m.abs_height) + ", " + std::to_string(m.bit_count) + "-bit DIB via " +
              plugin->name + (dib.WasSplit() ? " (two handles)" : "");
    if (has_block && plugin->family == PluginFamily::MultiFormat) {
        summary += ", image type " + std::to_string(block.field56);
    }
    return true;
}

int RunDecode(const HostOptions& options) {
    std::vector<DecodeJob> jobs;
    bool make_folder = false;
    std::string error;
    if (!PlanOutputs(options, jobs, make_folder, error)) {
        Fail("decode: " + error);
        return kExitUsage;
    }
    if (jobs[0].format == OutputFormat::Png && !PngOutputAvailable()) {
        Fail("decode: PNG output is not supported in this build; write .bmp files (--format bmp)");
        return kExitFailure;
    }
    PluginSet plugins;
    std::string dir;
    if (!LoadPlugins(options, plugins, dir)) return kExitFailure;
    if (make_folder) {
        std::error_code ec;
        fs::create_directories(fs::path(options.output), ec);
        if (ec) {
            Fail("decode: cannot create the folder " + options.output + ": " + ec.message());
            return kExitFailure;
        }
    }
    const bool progress = jobs.size() > 1 && platform::StderrIsTerminal();
    size_t done = 0;
    for (size_t i = 0; i < jobs.size(); ++i) {
        if (progress) {
            std::fprintf(stderr, "[%zu/%zu] %s\n", i + 1, jobs.size(), jobs[i].input.c_str());
        }
        std::string summary;
        if (DecodeOne(plugins, options, jobs[i], summary, error)) {
            std::printf("%s\n", summary.c_str());
            std::fflush(stdout);
            ++done;
        } else {
            Fail("decode " + jobs[i].input + ": " + error);
        }
    }
    if (jobs.size() > 1) std::printf("decoded %zu of %zu files\n", done, jobs.size());
    return done == jobs.size() ? kExitOk : kExitFailure;
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
