#include "OutputPlan.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <unordered_map>

#include "FileIdentity.h"
#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const char* Extension(OutputFormat format) { return format == OutputFormat::Bmp ? ".bmp" : ".png"; }

#if !defined(_WIN32)
// The name with each ASCII letter in the other case; unchanged when it has none. Windows folders
// never tell case apart, so only the other systems ask.
std::string SwapCase(const std::string& name) {
    std::string out = name;
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (std::islower(u)) {
            c = static_cast<char>(std::toupper(u));
        } else if (std::isupper(u)) {
            c = static_cast<char>(std::tolower(u));
        }
    }
    return out;
}
#endif

}  // namespace

bool EndsWithSeparator(const std::string& path) {
    return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

std::string OutputFileName(const std::string& input, NameStyle style, OutputFormat format) {
    const fs::path name = fs::path(input).filename();
    return (style == NameStyle::Full ? name.string() : name.stem().string()) + Extension(format);
}

bool FolderIgnoresCase(const std::string& folder) {
#if defined(_WIN32)
    (void)folder;
    return true;
#else
    std::error_code ec;
    fs::path dir = fs::absolute(fs::path(folder), ec).lexically_normal();
    while (!fs::is_directory(dir, ec) && dir.has_relative_path()) dir = dir.parent_path();
    if (dir.empty()) dir = fs::current_path(ec);
    // A name the folder holds, asked for in the other case: found, and the same file, only
    // where names compare without case. A few entries suffice to find one with letters.
    int looked = 0;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end && looked < 32;
         it.increment(ec), ++looked) {
        const std::string name = it->path().filename().string();
        const std::string swapped = SwapCase(name);
        if (swapped == name) continue;
        FileIdentity a, b;
        return IdentityOf(it->path().string(), a) && IdentityOf((dir / swapped).string(), b) &&
               a == b;
    }
    // An empty folder (or one of names without letters): a file made for the question.
    const fs::path probe = dir / (".zemhost-Case-" + std::to_string(::getpid()));
    if (!std::ofstream(probe)) return false;
    const bool ignores = fs::exists(dir / SwapCase(probe.filename().string()), ec);
    fs::remove(probe, ec);
    return ignores;
#endif
}

std::string NameKey(const std::string& path, bool ignore_case) {
    std::error_code ec;
    fs::path p = fs::absolute(fs::path(path), ec);
    if (ec) p = fs::path(path);
    std::string key = p.lexically_normal().generic_string();
    if (!ignore_case) return key;
#if defined(_WIN32)
    // NTFS folds names with its own upper-case table, beyond ASCII; the invariant locale's
    // upper case is the closest that KERNEL32 offers (USER32's would tie zemhost.exe to it).
    const std::wstring wide = platform::AnsiToWide(key.c_str());
    std::wstring upper(wide.size(), L'\0');
    if (!wide.empty() &&
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide.data(), static_cast<int>(wide.size()),
                     &upper[0], static_cast<int>(upper.size())) != static_cast<int>(wide.size()))
        return platform::WideToNative(wide);
    return platform::WideToNative(upper);
#else
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
#endif
}

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
        jobs.push_back({options.files[0], out, format, {}, {}});
        return true;
    }
    make_folder = !fs::is_directory(fs::path(out), ec);
    const OutputFormat format =
        options.format == OutputFormat::Unspecified ? OutputFormat::Png : options.format;
    const std::string folder = EndsWithSeparator(out) ? out : out + "/";
    jobs.reserve(options.files.size());
    for (const std::string& input : options.files) {
        jobs.push_back(
            {input, folder + OutputFileName(input, options.name_style, format), format, {}, {}});
    }
    return true;
}

bool ResolveClashes(std::vector<DecodeJob>& jobs, bool ignore_case, bool rename,
                    std::string& error) {
    std::unordered_map<std::string, const DecodeJob*> taken;
    taken.reserve(jobs.size() * 2);
    std::string problems;
    for (DecodeJob& job : jobs) {
        auto [it, fresh] = taken.emplace(NameKey(job.output, ignore_case), &job);
        if (fresh) continue;
        if (!rename) {
            problems += "\n  " + it->second->input + " and " + job.input +
                        " would both be written to " + job.output;
            continue;
        }
        // "a.JPG.png" clashes with "A.jpg.png": this one becomes "a.JPG (2).png", or the
        // first such number that is free.
        const std::string ext = fs::path(job.output).extension().string();
        const std::string base = job.output.substr(0, job.output.size() - ext.size());
        const std::string other = it->second->output;
        for (int n = 2;; ++n) {
            const std::string candidate = base + " (" + std::to_string(n) + ")" + ext;
            if (taken.emplace(NameKey(candidate, ignore_case), &job).second) {
                job.output = candidate;
                break;
            }
        }
        job.note = "named so because " + other +
                   " is the same name here (this folder's names do not tell case apart)";
    }
    if (problems.empty()) return true;
    error = "nothing written:" + problems;
    return false;
}
