#include "StressKit.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "DibHelpers.h"
#include "TestSupport.h"
#include "platform/platform.h"

#ifndef ZEM_SOURCE_DIR
#define ZEM_SOURCE_DIR "."
#endif

namespace stress {

// The system's media detector is not ours to bound: Wine 8.0's never returns from a damaged
// Matroska file of the dshow fuzz corpus (51daaf71...). Windows builds give dshowsrc the samples.
#if defined(_WIN32)
constexpr const char* kDshowCorpora = "";
#else
constexpr const char* kDshowCorpora = "dshow_fuzzer";
#endif

const std::vector<PluginEntry>& PluginTable() {
    // module, samples it reads, corpora it replays, request blocks, hostile inputs
    static const std::vector<PluginEntry> table = {
        {"bmpsrc", ".bmp .dib", "bmp_fuzzer shared:bmpsuite-g", {{}}, HostileBmp},
        {"gifsrc", ".gif", "gif_fuzzer", {{}, {{48, 1}}, {{48, 3}}}, HostileGif},
        {"imgsrc", "*", "img_fuzzer shared:pngsuite",
         {{}, {{44, 2}, {48, 1}}, {{44, 8}, {56, 3}}, {{48, 2}, {56, 0}}}, HostileImg},
        {"avisrc", ".avi", "avi_fuzzer", {{}, {{52, 3}}, {{52, 1000}}}, HostileAvi},
        {"dshowsrc", ".mp4 .mkv .avi", kDshowCorpora, {{}, {{52, 1}}, {{52, 60}}}, HostileAvi},
    };
    return table;
}

const char* CallName(Call call) {
    static const char* const names[kCallCount] = {
        "IsSupported(head)",      "IsSupported(file)",     "GetPictureInfo(file)",
        "GetPictureInfo(memory)", "GetPicture(file)",      "GetPicture(file, split)",
        "GetPicture(memory)",     "GetPicture(memory, split)", "GetPreview(file)"};
    return names[static_cast<int>(call)];
}

std::string SourceDir() { return ZEM_SOURCE_DIR; }

std::vector<std::string> FilesIn(const std::string& dir) {
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (entry.is_regular_file(ec)) files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

namespace {

std::vector<std::string> Words(const char* text) {
    std::vector<std::string> words;
    std::string word;
    for (const char* p = text;; ++p) {
        if (*p == ' ' || *p == '\0') {
            if (!word.empty()) words.push_back(word);
            word.clear();
            if (*p == '\0') break;
        } else {
            word += *p;
        }
    }
    return words;
}

bool TakesSample(const PluginEntry& entry, const std::string& path) {
    const std::string ext = std::filesystem::path(path).extension().string();
    if (ext == ".py" || ext == ".sh") return false;  // the samples' generators
    for (const std::string& s : Words(entry.suffixes)) {
        if (s == "*") return true;
        std::string lower = ext;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (s == lower) return true;
    }
    return false;
}

void AddFile(const std::string& path, const std::string& label, const GatherOptions& options,
             std::vector<Input>& out) {
    Input input;
    if (!testing_support::ReadWholeFile(path, input.bytes)) return;
    if (input.bytes.empty() || input.bytes.size() > options.max_bytes) return;
    input.label = label;
    input.path = path;
    out.push_back(std::move(input));
}

}  // namespace

std::vector<Target> LoadTargets(const GatherOptions& options, std::string& error) {
    std::vector<Target> targets;
    // ZEM_STRESS_PLUGINS="gifsrc imgsrc" narrows a run to those plug-ins.
    const char* only = std::getenv("ZEM_STRESS_PLUGINS");
    for (const PluginEntry& entry : PluginTable()) {
        if (only && *only) {
            const std::vector<std::string> wanted = Words(only);
            if (std::find(wanted.begin(), wanted.end(), entry.module) == wanted.end()) continue;
        }
        const std::string path = testing_support::PluginPath(entry.module);
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) continue;  // not built on this target
        Target target;
        target.entry = &entry;
        std::string why;
        if (!target.module->Load(path, why)) {
            error += std::string(entry.module) + ": " + why + "\n";
            continue;
        }
        if (options.samples) {
            for (const std::string& file : FilesIn(SourceDir() + "/samples")) {
                if (!TakesSample(entry, file)) continue;
                AddFile(file, "samples/" + std::filesystem::path(file).filename().string(),
                        options, target.inputs);
            }
        }
        if (options.corpora) {
            for (const std::string& corpus : Words(entry.corpora)) {
                std::string dir = SourceDir() + "/fuzz/corpus/" + corpus;
                if (corpus.rfind("shared:", 0) == 0) {
                    const std::string shared = testing_support::CorpusDir();
                    if (shared.empty()) continue;
                    dir = shared + "/" + corpus.substr(7);
                }
                const std::vector<std::string> files = FilesIn(dir);
                const size_t step =
                    std::max<size_t>(1, files.size() / std::max<size_t>(1, options.max_per_corpus));
                for (size_t i = 0; i < files.size(); i += step) {
                    AddFile(files[i],
                            corpus + "/" + std::filesystem::path(files[i]).filename().string(),
                            options, target.inputs);
                }
            }
        }
        targets.push_back(std::move(target));
    }
    return targets;
}

uint64_t Hash(const void* data, size_t size, uint64_t seed) {
    // FNV-1a over 64 bits, seeded.
    uint64_t h = 1469598103934665603ull ^ (seed * 1099511628211ull);
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        h ^= p[i];
        h *= 1099511628211ull;
    }
    return h;
}

Outcome Run(const PluginModule& module, const Input& input, Call call, const Variant& variant) {
    Outcome out;
    const char* name = input.path.c_str();
    const char* memory = reinterpret_cast<const char*>(input.bytes.data());
    const auto length = static_cast<SpiLength>(input.bytes.size());
    switch (call) {
        case Call::SupportedHead: {
            uint8_t head[2048] = {};
            std::memcpy(head, input.bytes.data(), std::min(input.bytes.size(), sizeof head));
            out.result = module.IsSupported(name, reinterpret_cast<SpiHeadWord>(head));
            return out;
        }
        case Call::SupportedFile:
            out.result = module.IsSupported(name, 3);
            return out;
        case Call::InfoFile:
        case Call::InfoMemory: {
            PictureInfoRecord record;
            std::memset(&record, 0xA5, sizeof record);
            record.infoHandle = nullptr;
            record.imageType = 0;
            for (const BlockField& f : variant) {
                if (f.offset == 56) record.imageType = static_cast<uint32_t>(f.value);
            }
            const bool file = call == Call::InfoFile;
            out.result = module.GetPictureInfo(file ? name : memory, file ? 0 : length,
                                               file ? SPI_SRC_FILE : SPI_SRC_MEMORY, &record);
            out.handles[0] = record.infoHandle;
            record.infoHandle = nullptr;
            out.digest = Hash(&record, sizeof record, static_cast<uint64_t>(out.result));
            return out;
        }
        default:
            break;
    }
    PictureRequestBlock block{};
    std::memcpy(block.tag, "zem", 3);
    for (const BlockField& f : variant) {
        std::memcpy(reinterpret_cast<uint8_t*>(&block) + f.offset, &f.value, 4);
    }
    const bool use_block = !variant.empty();
    const bool file = call == Call::PictureFileWhole || call == Call::PictureFileSplit ||
                      call == Call::Preview;
    const bool split = call == Call::PictureFileSplit || call == Call::PictureMemorySplit;
    SpiHandle bits = split ? nullptr
                           : reinterpret_cast<SpiHandle>(
                                 static_cast<intptr_t>(SPI_PACKED_DIB_MARKER));
    const SpiUserData user = use_block ? reinterpret_cast<SpiUserData>(&block) : 0;
    GetPictureFn fn = call == Call::Preview ? module.GetPreview : module.GetPicture;
    out.result = fn(file ? name : memory, file ? 0 : length, file ? SPI_SRC_FILE : SPI_SRC_MEMORY,
                    &out.handles[0], &bits, nullptr, user);
    // A plug-in clears the slot of a one-handle request, or leaves it alone when it does not
    // read pictures at all (previews).
    const bool untouched =
        bits == reinterpret_cast<SpiHandle>(static_cast<intptr_t>(SPI_PACKED_DIB_MARKER));
    out.handles[1] = untouched ? nullptr : bits;
    if (!split && out.handles[1]) out.fault = "a second handle on a request for one";
    out.digest = Hash(&block, sizeof block, static_cast<uint64_t>(out.result));
    return out;
}

void Finish(Outcome& out, Call call, bool keep) {
    const bool picture = call >= Call::PictureFileWhole;
    const bool split = call == Call::PictureFileSplit || call == Call::PictureMemorySplit;
    // A block may be larger than asked (the slack is zeroed), by an amount that depends on the
    // allocator's state: only the DIB's own length, or the bytes up to the last non-zero one,
    // count.
    std::vector<uint8_t> bytes = testing_support::HandleBytes(out.handles[0]);
    DibMeasures m;
    if (!out.fault.empty()) {
    } else if (picture && out.result != SPI_OK && (out.handles[0] || out.handles[1])) {
        out.fault = "failed with " + std::to_string(out.result) + " but handed out a handle";
    } else if (picture && out.result == SPI_OK) {
        if (!out.handles[0] || (split && !out.handles[1])) {
            out.fault = "succeeded without its handles";
        } else if (!MeasureDib(bytes.data(), bytes.size(), m, true) ||
                   (split ? m.HeaderPartSize() : m.total_size) > bytes.size()) {
            out.fault = "succeeded with a block that is not a whole DIB";
        } else if (split) {
            bytes.resize(static_cast<size_t>(m.HeaderPartSize()));
            const std::vector<uint8_t> bits = testing_support::HandleBytes(out.handles[1]);
            bytes.insert(bytes.end(), bits.begin(), bits.end());
            if (m.total_size > bytes.size()) out.fault = "the bits block is short";
        }
        if (out.fault.empty()) bytes.resize(static_cast<size_t>(m.total_size));
    } else {
        while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();
    }
    out.digest = Hash(bytes.data(), bytes.size(), out.digest);
    if (!keep) Release(out);
}

std::vector<Request> AllRequests(const std::vector<Target>& targets) {
    std::vector<Request> out;
    for (size_t t = 0; t < targets.size(); ++t) {
        const std::vector<Variant>& variants = targets[t].entry->variants;
        for (size_t i = 0; i < targets[t].inputs.size(); ++i) {
            for (int c = 0; c < kCallCount; ++c) {
                const auto call = static_cast<Call>(c);
                const bool picture = call >= Call::PictureFileWhole && call != Call::Preview;
                for (size_t v = 0; v < variants.size(); ++v) {
                    bool typed = false;  // the type field also steers the information read
                    for (const BlockField& f : variants[v]) typed = typed || f.offset == 56;
                    const bool info = call == Call::InfoFile || call == Call::InfoMemory;
                    if (v == 0 || picture || (info && typed)) out.push_back({t, i, call, v});
                }
            }
        }
    }
    return out;
}

Outcome RunRequest(const std::vector<Target>& targets, const Request& r) {
    const Target& target = targets[r.target];
    Outcome out = Run(*target.module, target.inputs[r.input], r.call,
                      target.entry->variants[r.variant]);
    Finish(out, r.call);
    return out;
}

std::string Describe(const std::vector<Target>& targets, const Request& r) {
    const Target& target = targets[r.target];
    return std::string(target.entry->module) + " " + CallName(r.call) + " " +
           target.inputs[r.input].label + " block " + std::to_string(r.variant);
}

void Release(Outcome& out) {
    for (SpiHandle& h : out.handles) {
        testing_support::FreeHandle(h);
        h = nullptr;
    }
}

}  // namespace stress
