// zemhost plugins and zemhost probe: the plug-ins of the folder, and which of them take a file.
#include <cstdio>

#include "Commands.h"
#include "PluginCalls.h"

namespace {

std::string Acceptance(const HostPlugin& plugin, int32_t value) {
    // The multi-format plug-in answers with the image type it recognised.
    if (value == 1) return plugin.name;
    return plugin.name + " (" + std::to_string(value) + ")";
}

}  // namespace

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
