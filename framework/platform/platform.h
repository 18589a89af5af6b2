// Operating-system services used by the plug-ins and hosts. One implementation per OS lives in
// posix/ and win32/; nothing outside this folder includes OS headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plugin_abi.h"

namespace platform {

// Movable memory, as handed to hosts. MemAlloc returns null when memory is exhausted.
SpiHandle MemAlloc(size_t size, bool zero_init);
void* MemLock(SpiHandle handle);
void MemUnlock(SpiHandle handle);
size_t MemSize(SpiHandle handle);  // at least what was asked for; may be more
void MemFree(SpiHandle handle);

// Reads up to `capacity` bytes from the start of the file named by an ANSI string. Returns the
// number of bytes read; 0 when the file cannot be opened.
size_t ReadFileHead(const char* ansi_name, void* buffer, size_t capacity);

// ANSI (the system code page) to wide text. On POSIX the bytes are decoded as UTF-8 and every byte
// that is not valid UTF-8 maps to U+DC80..U+DCFF, so WideToNative gives the original bytes back.
std::wstring AnsiToWide(const char* ansi);
std::string WideToNative(const std::wstring& wide);

// A read-only view of a whole file. An empty file cannot be mapped.
class FileView {
public:
    FileView() = default;
    ~FileView() { Close(); }
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;

    bool Open(const wchar_t* name);  // false when the file cannot be opened, sized or mapped
    void Close();
    const uint8_t* Data() const { return m_data; }
    uint64_t Size() const { return m_size; }

private:
    const uint8_t* m_data = nullptr;
    uint64_t m_size = 0;
};

// A file written from scratch: created, or truncated when it exists.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { Close(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool Create(const wchar_t* name);
    bool Write(const void* data, size_t size);
    bool Close();  // false when flushing or closing failed
    bool IsOpen() const { return m_handle != kInvalid; }

private:
    static constexpr intptr_t kInvalid = -1;
    intptr_t m_handle = kInvalid;
};

bool RemoveFile(const wchar_t* name);

// Host-side services (zemhost and the tests): loading plug-in modules and finding them.
class Module {
public:
    Module() = default;
    ~Module() { Close(); }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // `path` is in the native encoding (UTF-8 on POSIX, the ANSI code page on Windows).
    bool Open(const std::string& path);
    void Close();
    void* Symbol(const char* name) const;
    bool IsOpen() const { return m_handle != nullptr; }
    const std::string& Error() const { return m_error; }

private:
    void* m_handle = nullptr;
    std::string m_error;
};

// The module file suffix of this platform: ".so" or ".dll".
const char* ModuleSuffix();
// The folder holding the running executable, without a trailing separator.
std::string ExecutableDir();
// The names (not paths) of the regular files in `dir` that end with `suffix`, sorted.
bool ListFiles(const std::string& dir, const std::string& suffix, std::vector<std::string>& out);
// True when standard error is a terminal (for progress display).
bool StderrIsTerminal();

}  // namespace platform
