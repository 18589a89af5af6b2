// Helpers shared by the test suites: where the built plug-ins and the public corpus are, loading
// a plug-in as a host does, reading handles and files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "PluginModule.h"
#include "plugin_abi.h"

namespace testing_support {

// The folder of the built plug-ins (ZEM_PLUGIN_DIR in the environment overrides the build's).
std::string PluginDir();
// The module file of plug-in `name` ("bmpsrc"), with the platform's suffix.
std::string PluginPath(const char* name);
// ../shared/corpus beside the repository, or ZEM_CORPUS_DIR; empty when there is none.
std::string CorpusDir();
// A fresh folder for files a test writes; removed by the caller's TempDir.
std::string MakeTempDir();
void RemoveTree(const std::string& dir);

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out);
bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& data);

// The bytes of a movable block (its whole reported size).
std::vector<uint8_t> HandleBytes(SpiHandle handle);
void FreeHandle(SpiHandle handle);

#if defined(_WIN32)
// The handles of this process in the system's handle table (SystemExtendedHandleInformation),
// for systems whose GetProcessHandleCount gives no count (Wine answers 0); -1 when unknown.
long TableHandleCount();
// The threads of this process; -1 when unknown.
long ThreadCount();
#endif

// A plug-in loaded through its module file; the test fails when it cannot be loaded.
struct LoadedPlugin {
    explicit LoadedPlugin(const char* name);
    PluginModule module;
    std::string error;
    bool ok = false;
};

}  // namespace testing_support

// Skips the current test with a clear message when the public corpus is not beside the clone.
#define ZEM_REQUIRE_CORPUS(dir_var)                                                        \
    const std::string dir_var = ::testing_support::CorpusDir();                            \
    if (dir_var.empty()) {                                                                 \
        GTEST_SKIP() << "no ../shared/corpus beside this clone; corpus tests skipped";     \
    }
