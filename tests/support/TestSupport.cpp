#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/platform.h"

#ifndef ZEM_TEST_PLUGIN_DIR
#define ZEM_TEST_PLUGIN_DIR "."
#endif
#ifndef ZEM_TEST_CORPUS_DIR
#define ZEM_TEST_CORPUS_DIR ""
#endif

namespace testing_support {

namespace fs = std::filesystem;

std::string PluginDir() {
    if (const char* env = std::getenv("ZEM_PLUGIN_DIR")) return env;
    return ZEM_TEST_PLUGIN_DIR;
}

std::string PluginPath(const char* name) {
    return PluginDir() + "/" + name + platform::ModuleSuffix();
}

std::string CorpusDir() {
    std::string dir = ZEM_TEST_CORPUS_DIR;
    if (const char* env = std::getenv("ZEM_CORPUS_DIR")) dir = env;
    std::error_code ec;
    if (dir.empty() || !fs::is_directory(dir, ec)) return {};
    return dir;
}

std::string MakeTempDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path p = fs::temp_directory_path() / ("zemtest-" + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(p, ec)) return p.string();
    }
    return {};
}

void RemoveTree(const std::string& dir) {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

std::vector<uint8_t> HandleBytes(SpiHandle handle) {
    std::vector<uint8_t> bytes;
    if (!handle) return bytes;
    size_t n = platform::MemSize(handle);
    auto* p = static_cast<const uint8_t*>(platform::MemLock(handle));
    if (p) bytes.assign(p, p + n);
    platform::MemUnlock(handle);
    return bytes;
}

void FreeHandle(SpiHandle handle) {
    if (handle) platform::MemFree(handle);
}

LoadedPlugin::LoadedPlugin(const char* name) { ok = module.Load(PluginPath(name), error); }

}  // namespace testing_support
