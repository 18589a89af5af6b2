#include "PluginCalls.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>

#include "ResultText.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kHeadBytes = 2048;

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

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

// Whether a plug-in's file filter ("*.bmp;*.dib") names the extension of `path`. The catch-all
// "*.*" names none: it says nothing of what the plug-in reads.
bool FilterNames(const HostPlugin& plugin, const std::string& path) {
    const std::string ext = Lower(fs::path(path).extension().string());
    if (ext.size() < 2) return false;
    const std::string filter = Lower(plugin.info[2]);
    size_t start = 0;
    while (start <= filter.size()) {
        size_t end = filter.find(';', start);
        if (end == std::string::npos) end = filter.size();
        const std::string pattern = filter.substr(start, end - start);
        if (pattern.size() > 2 && pattern.compare(0, 1, "*") == 0 && pattern.substr(1) == ext) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Reads and frees the info handle that GetPictureInfo left in the record.
std::string TakeComment(SpiHandle handle, bool& present);

}  // namespace

void Fail(const std::string& message) { std::fprintf(stderr, "zemhost: %s\n", message.c_str()); }
void Warn(const std::string& message) { Fail("warning: " + message); }

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

std::string WhyUnreadable(const std::string& path) {
    errno = 0;
#if defined(_WIN32)
    std::FILE* file = _wfopen(platform::AnsiToWide(path.c_str()).c_str(), L"rb");
#else
    std::FILE* file = std::fopen(path.c_str(), "rb");
#endif
    if (file) {
        std::fclose(file);
        return {};
    }
    const int code = errno;
    std::string why = code != 0 ? std::strerror(code) : "it cannot be opened";
    if (!why.empty()) why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
    return why;
}

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
    const std::string why = WhyUnreadable(path);
    if (!why.empty()) {
        error = "cannot read " + path + ": " + why;
        return false;
    }
    if (fs::file_size(fs::path(path), ec) == 0 && !ec) {
        error = "the file is empty";
        return false;
    }
    return true;
}

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

bool PictureSource::Open(const std::string& path, const HostOptions& options, std::string& error) {
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
    if (m_view.Size() - m_offset > static_cast<uint64_t>(std::numeric_limits<SpiLength>::max())) {
        error = path + " is too large to pass in memory in this build";
        return false;
    }
    return true;
}

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
    // a file through a media framework are then asked last, and only when they must be. A
    // picture at an offset is tested by the bytes from there on: the file's head is not its own.
    std::vector<uint8_t> head;
    if (!ReadHead(path, options.offset, head)) {
        const std::string why = WhyUnreadable(path);
        error = "cannot read " + path + (why.empty() ? "" : ": " + why);
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
    // A bare DIB ("*.dib") has no signature that IsSupported knows it by, although bmpsrc
    // lists the name and reads it: a plug-in whose filter names the extension is taken when
    // its information read answers for the file.
    if (found.empty() && options.offset == 0) {
        for (const auto& plugin : plugins.Plugins()) {
            if (!FilterNames(*plugin, path)) continue;
            PictureInfoRecord record;
            std::memset(&record, 0, sizeof record);
            SpiHandle comment = nullptr;
            const int32_t code =
                plugin->module.GetPictureInfo(path.c_str(), 0, SPI_SRC_FILE, &record);
            std::memcpy(
                &comment,
                reinterpret_cast<const uint8_t*>(&record) + offsetof(PictureInfoRecord, infoHandle),
                sizeof comment);
            if (comment) platform::MemFree(comment);
            if (code == SPI_OK) found.push_back(plugin.get());
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

int32_t RequestPicture(const HostPlugin& plugin, const PictureSource& source,
                       PictureRequestBlock* block, bool split, ReceivedDib& dib, Export which) {
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

void AddPictureOptions(uint32_t picture_options, const HostPlugin& plugin,
                       PictureRequestBlock& block, bool& has_block) {
    if (!picture_options || plugin.family != PluginFamily::MultiFormat) return;
    if (!has_block) {
        std::memset(&block, 0, sizeof block);
        std::memcpy(block.tag, "zem", 3);
        has_block = true;
    }
    block.field56 = static_cast<int32_t>(static_cast<uint32_t>(block.field56) | picture_options);
}

Reading RequestFromCandidates(const std::vector<HostPlugin*>& candidates,
                              const PictureSource& source, const PictureRequestBlock* request,
                              bool split, Export which, bool quiet, ReceivedDib& dib,
                              uint32_t picture_options) {
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
        AddPictureOptions(picture_options, *candidate, r.block, r.has_block);
        r.code =
            RequestPicture(*candidate, source, r.has_block ? &r.block : nullptr, split, dib, which);
        if (r.code != SPI_NOT_IMPLEMENTED || candidate->family != PluginFamily::Video) break;
    }
    return r;
}

namespace {

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

}  // namespace

InfoReading ReadInfo(const HostPlugin& plugin, const PictureSource& source,
                     std::optional<int32_t> type, uint32_t picture_options) {
    InfoReading r;
    // The long form of the record, zero-filled, so that every plug-in finds room for its fields.
    std::memset(&r.record, 0, sizeof r.record);
    if (plugin.family != PluginFamily::MultiFormat) picture_options = 0;
    if (type || picture_options) {
        const uint32_t value = static_cast<uint32_t>(type.value_or(0)) | picture_options;
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

std::string ATypeLabel(uint32_t type) {
    const std::string label = TypeLabel(type);
    // The names are said letter by letter or as words; those that start with a vowel (ICO,
    // AVIF) take "an".
    const bool vowel = std::string("AEIOU").find(label[0]) != std::string::npos;
    return (vowel ? "an " : "a ") + label;
}
