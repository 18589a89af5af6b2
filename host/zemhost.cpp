// zemhost: the command-line host. It loads the plug-ins of a folder the way a viewer does and
// drives their five exports: lists them, asks which ones take a file, reads picture information
// and decodes pictures into PNG or BMP files. Each command lives in a unit of its own.
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "Commands.h"
#include "HostOptions.h"
#include "PluginCalls.h"
#include "PngWriter.h"
#include "platform/com.h"

namespace {

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
