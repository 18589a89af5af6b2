#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>
#endif

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

#if defined(_WIN32)
long TableHandleCount() {
    struct Entry {
        void* object;
        ULONG_PTR process;
        ULONG_PTR value;
        ULONG access;
        USHORT back_trace;
        USHORT type;
        ULONG attributes;
        ULONG reserved;
    };
    struct Table {
        ULONG_PTR count;
        ULONG_PTR reserved;
        Entry entries[1];
    };
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    constexpr ULONG kExtendedHandleInformation = 64;
    constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004u);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return -1;
    std::vector<unsigned char> buffer(size_t{1} << 16);
    LONG status = kLengthMismatch;
    while (status == kLengthMismatch && buffer.size() <= (size_t{1} << 28)) {
        ULONG needed = 0;
        status = query(kExtendedHandleInformation, buffer.data(),
                       static_cast<ULONG>(buffer.size()), &needed);
        if (status == kLengthMismatch) buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return -1;
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    const ULONG_PTR self = GetCurrentProcessId();
    long count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) count += table->entries[i].process == self;
    return count;
}

long ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    long count = 0;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == self;
    }
    CloseHandle(snapshot);
    return count;
}
#endif

}  // namespace testing_support
