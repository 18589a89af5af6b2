// zemhost thumbs: a thumbnail of every picture and clip of a folder (and of its subfolders with
// -r), named after the whole input name, on as many threads as asked.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "BatchRunner.h"
#include "Commands.h"
#include "DibHelpers.h"
#include "FailureText.h"
#include "OutputPlan.h"
#include "OverwritePolicy.h"
#include "PluginCalls.h"
#include "Thumbnail.h"

namespace {

namespace fs = std::filesystem;

// The thumbnail of one picture: the plug-in's preview, or where every plug-in declines (or the
// preview cannot be read, while the picture may be), the picture read at 1/8 scale (imgsrc
// reduces JPEGs so); either reduced here when it is larger than a thumbnail.
bool ThumbOne(const HostOptions& options, const std::vector<HostPlugin*>& candidates,
              const DecodeJob& job, std::string& summary, std::string& error) {
    PictureSource source;
    if (!source.Open(job.input, options, error)) return false;
    ReceivedDib dib;
    Reading r = RequestFromCandidates(candidates, source, nullptr, false, Export::Preview, true,
                                      dib, PictureOptionBits(options));
    const bool from_preview = r.code == SPI_OK;
    if (!from_preview) {
        PictureRequestBlock reduced;
        std::memset(&reduced, 0, sizeof reduced);
        std::memcpy(reduced.tag, "zem", 3);
        reduced.field44 = 8;
        dib.Reset();
        r = RequestFromCandidates(candidates, source, &reduced, false, Export::Picture, true, dib,
                                  PictureOptionBits(options));
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
    const ThumbnailSize size = FitWithin(image.Width(), image.Height(), options.size);
    std::vector<uint8_t> reduced;
    const uint8_t* data = dib.Data();
    size_t bytes = dib.Size();
    if (size.width != image.Width() || size.height != image.Height()) {
        if (!ShrinkToDib(image, size, reduced, error)) return false;
        data = reduced.data();
        bytes = reduced.size();
    }
    if (!SaveDib(job, options, plugin.name, data, bytes, false, error)) return false;
    summary = job.input + " -> " + job.output + ": " + std::to_string(size.width) + " x " +
              std::to_string(size.height) + " from the " + (from_preview ? "preview" : "picture") +
              " (" + std::to_string(m.width) + " x " + std::to_string(m.abs_height) + ") via " +
              plugin.name + (job.note.empty() ? "" : "; " + job.note);
    return true;
}

// The files of a folder, in name order, with their paths below it; the output folder, when it
// lies within, is not entered (a second run would otherwise take its own thumbnails).
struct FolderWalk {
    std::vector<std::string> files;     // as paths from the folder given
    std::vector<std::string> relative;  // the same below the folder: "sub/IMG_0001.CR2"
    size_t subfolders_left = 0;         // subfolders not entered (without -r)
};

bool WalkFolder(const std::string& folder, const std::string& output, bool recursive,
                FolderWalk& walk, std::string& error) {
    FileIdentity out_id;
    const bool has_out = IdentityOf(output, out_id);
    auto is_output = [&](const fs::path& dir) {
        FileIdentity id;
        return has_out && IdentityOf(dir.string(), id) && id == out_id;
    };
    std::vector<std::pair<std::string, std::string>> found;  // relative, full
    std::error_code ec;
    const fs::path root(folder);
    // Paths as the user spelt the folder, with "/" below it.
    const std::string prefix = EndsWithSeparator(folder) ? folder : folder + "/";
    auto take = [&](const fs::directory_entry& entry) {
        std::error_code e;
        if (entry.is_regular_file(e)) {
            std::string relative = entry.path().lexically_relative(root).generic_string();
            found.emplace_back(relative, prefix + relative);
            return false;
        }
        return entry.is_directory(e);
    };
    if (recursive) {
        fs::recursive_directory_iterator it(root, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            if (take(*it) && is_output(it->path())) it.disable_recursion_pending();
        }
    } else {
        for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
            if (take(*it) && !is_output(it->path())) ++walk.subfolders_left;
        }
    }
    if (ec) {
        error = "cannot list " + folder + ": " + ec.message();
        return false;
    }
    std::sort(found.begin(), found.end());
    for (auto& [relative, full] : found) {
        walk.relative.push_back(std::move(relative));
        walk.files.push_back(std::move(full));
    }
    return true;
}

// "12 .txt, 3 .xmp, 1 without extension": the files left out, counted by extension (in any
// case), most first.
std::string CountByExtension(const std::vector<std::string>& files) {
    std::map<std::string, size_t> counts;
    for (const std::string& file : files) {
        std::string ext = fs::path(file).extension().string();
        for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        ++counts[ext];
    }
    std::vector<std::pair<size_t, std::string>> order;
    for (const auto& [ext, n] : counts) order.emplace_back(n, ext);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::string text;
    for (const auto& [n, ext] : order) {
        if (!text.empty()) text += ", ";
        text += std::to_string(n) + " " + (ext.empty() ? "without extension" : ext);
    }
    return text;
}

}  // namespace

int RunThumbs(const HostOptions& options) {
    const std::string& folder = options.files[0];
    std::error_code ec;
    if (!fs::is_directory(fs::path(folder), ec)) {
        Fail("thumbs: " + folder + " is not a folder");
        return kExitFailure;
    }
    const std::string out_folder =
        EndsWithSeparator(options.output) ? options.output : options.output + "/";
    FolderWalk walk;
    std::string error;
    if (!WalkFolder(folder, options.output, options.recursive, walk, error)) {
        Fail("thumbs: " + error);
        return kExitFailure;
    }
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
    // The pictures: the files that a plug-in (the one of --plugin, if given) accepts. A file
    // that cannot be read is named with the system's reason; one that no plug-in takes is
    // left out.
    HostOptions any = options;
    any.plugin_name.clear();
    std::vector<DecodeJob> jobs;
    std::map<std::string, std::vector<HostPlugin*>> candidates;
    std::vector<std::string> left_out;
    size_t unreadable = 0;
    for (size_t i = 0; i < walk.files.size(); ++i) {
        const std::string& file = walk.files[i];
        const std::string why = WhyUnreadable(file);
        if (!why.empty()) {
            Fail("thumbs " + file + ": cannot read it: " + why);
            ++unreadable;
            continue;
        }
        std::string unused;
        std::vector<HostPlugin*> found = CandidatePlugins(plugins, any, file, unused);
        if (only) {
            const bool accepts = std::find(found.begin(), found.end(), only) != found.end();
            found.assign(accepts ? 1 : 0, only);
        }
        if (found.empty()) {
            left_out.push_back(file);
            continue;
        }
        jobs.push_back(
            {file,
             out_folder + walk.relative[i] + (format == OutputFormat::Bmp ? ".bmp" : ".png"),
             format,
             {},
             {}});
        candidates[file] = std::move(found);
    }
    if (options.verbose) {
        const std::string why = only ? only->name + " does not take it" : "no plug-in takes it";
        for (const std::string& file : left_out) {
            std::printf("left out: %s (%s)\n", file.c_str(), why.c_str());
        }
    }
    if (!left_out.empty()) {
        std::printf("%zu file%s of %s accepted by %s, left out: %s%s\n", left_out.size(),
                    left_out.size() == 1 ? "" : "s", folder.c_str(),
                    only ? only->name.c_str() : "no plug-in", CountByExtension(left_out).c_str(),
                    options.verbose ? "" : " (-v names them)");
    }
    if (walk.subfolders_left > 0) {
        std::printf("%zu subfolder%s of %s left out (-r goes into them)\n", walk.subfolders_left,
                    walk.subfolders_left == 1 ? "" : "s", folder.c_str());
    }
    if (jobs.empty() && unreadable == 0) {
        Fail("thumbs: no file of " + folder + " is accepted by " +
             (only ? only->name : "any plug-in (loaded: " + plugins.Names() + ")"));
        return kExitFailure;
    }
    // Whole names keep the files of one stem apart; names that differ only in case are given
    // a number where the output folder does not tell case apart. Nothing replaces another.
    ResolveClashes(jobs, FolderIgnoresCase(out_folder), true, error);
    if (!CheckOverwrites(options, IdentitiesOf(walk.files), jobs, error)) {
        Fail("thumbs: " + error);
        return kExitUsage;
    }
    std::set<std::string> folders = {out_folder};
    for (const DecodeJob& job : jobs) folders.insert(fs::path(job.output).parent_path().string());
    for (const std::string& f : folders) {
        if (!MakeOutputFolder(f, "thumbs")) return kExitFailure;
    }
    return RunJobs(
        jobs, "thumbs", "thumbnails of", JobThreads(options),
        [&](const DecodeJob& job, std::string& summary, std::string& why) {
            return ThumbOne(options, candidates.at(job.input), job, summary, why);
        },
        unreadable);
}
