// zemhost decode: one picture, frame or page into a PNG or BMP file, or a batch into a folder.
#include <string>
#include <vector>

#include "BatchRunner.h"
#include "Commands.h"
#include "DibHelpers.h"
#include "FailureText.h"
#include "OutputPlan.h"
#include "OverwritePolicy.h"
#include "PluginCalls.h"

namespace {

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
    const Reading r =
        RequestFromCandidates(candidates, source, has_request ? &request : nullptr, options.split,
                              which, false, dib, PictureOptionBits(options));
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
    WarnUnusedOptions(options, *plugin, source, static_cast<uint32_t>(r.block.field56) & 0xFF);
    if (!SaveDib(job, options, plugin->name, dib.Data(), dib.Size(), true, error)) return false;
    summary = job.input + " -> " + job.output + ": " + (options.preview ? "preview " : "") +
              std::to_string(m.width) + " x " + std::to_string(m.abs_height) + ", " +
              std::to_string(m.bit_count) + "-bit DIB via " + plugin->name +
              (dib.WasSplit() ? " (two handles)" : "");
    if (has_request && plugin->family == PluginFamily::MultiFormat) {
        summary += ", image type " + std::to_string(r.block.field56 & 0xFF);
    }
    return true;
}

}  // namespace

int RunDecode(const HostOptions& options) {
    std::vector<DecodeJob> jobs;
    bool make_folder = false;
    std::string error;
    if (!PlanOutputs(options, jobs, make_folder, error)) {
        Fail("decode: " + error);
        return kExitUsage;
    }
    // Outputs that two inputs would share refuse the batch: which of the two is wanted is the
    // user's choice. Whole names tell apart the files of one stem.
    const bool ignore_case = jobs.size() > 1 && FolderIgnoresCase(options.output);
    std::string clashes;
    const bool unique = ResolveClashes(jobs, ignore_case, false, clashes);
    if (!unique && options.name_style == NameStyle::Stem) {
        std::vector<DecodeJob> full = jobs;
        HostOptions whole = options;
        whole.name_style = NameStyle::Full;
        bool unused = false;
        std::string still;
        if (PlanOutputs(whole, full, unused, still) &&
            ResolveClashes(full, ignore_case, false, still)) {
            clashes +=
                "\n  --name full names each output after the whole input name "
                "(photo.jpg.png), as thumbs does, and keeps these apart";
        }
    }
    if (!unique) {
        Fail("decode: " + clashes);
        return kExitUsage;
    }
    if (!CheckOverwrites(options, IdentitiesOf(options.files), jobs, error)) {
        Fail("decode: " + error);
        return kExitUsage;
    }
    if (!CheckOutputFormat(options, jobs[0].format, "decode")) return kExitFailure;
    PluginSet plugins;
    std::string dir;
    if (!LoadPlugins(options, plugins, dir)) return kExitFailure;
    if (make_folder && !MakeOutputFolder(options.output, "decode")) return kExitFailure;
    return RunJobs(jobs, "decode", "decoded", 1,
                   [&](const DecodeJob& job, std::string& summary, std::string& why) {
                       return DecodeOne(plugins, options, job, summary, why);
                   });
}
