// Win32 platform services: GlobalAlloc movable memory, CreateFile/ReadFile for the file head, a
// read-only file mapping, the ANSI code page for names, and LoadLibrary for hosts.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

// ReadFile and WriteFile take 32-bit counts; larger transfers go in pieces.
constexpr size_t kMaxTransfer = 1u << 30;

HANDLE ToHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }

std::wstring CodePageToWide(const char* text, size_t length) {
    std::wstring out;
    if (length == 0 || length > static_cast<size_t>(INT32_MAX)) return out;
    const int n = static_cast<int>(length);
    int wide_len = ::MultiByteToWideChar(CP_ACP, 0, text, n, nullptr, 0);
    if (wide_len <= 0) return out;
    out.resize(static_cast<size_t>(wide_len));
    wide_len = ::MultiByteToWideChar(CP_ACP, 0, text, n, &out[0], wide_len);
    out.resize(wide_len > 0 ? static_cast<size_t>(wide_len) : 0);
    return out;
}

// The message of a system error code, without the trailing line break.
std::string ErrorText(DWORD code) {
    char* text = nullptr;
    DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = n && text ? std::string(text, n) : std::string();
    if (text) ::LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    if (message.empty()) message = "system error";
    return message + " (error " + std::to_string(code) + ")";
}

bool EndsWithNoCase(const std::string& name, const std::string& suffix) {
    if (name.size() < suffix.size()) return false;
    const size_t start = name.size() - suffix.size();
    for (size_t i = 0; i < suffix.size(); ++i) {
        auto a = static_cast<unsigned char>(name[start + i]);
        auto b = static_cast<unsigned char>(suffix[i]);
        if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

}  // namespace

SpiHandle MemAlloc(size_t size, bool zero_init) {
    // A zero-byte movable block would be a discarded handle that cannot be locked; ask for one
    // byte so that every block can be locked, as on POSIX.
    const size_t n = size == 0 ? 1 : size;
    const UINT flags = GMEM_MOVEABLE | (zero_init ? GMEM_ZEROINIT : 0u);
    HGLOBAL handle = ::GlobalAlloc(flags, n);
    if (handle && !zero_init) {
        // GlobalSize may report more than was asked; that slack is zeroed so that a caller who
        // copies a whole block never copies undefined bytes.
        const size_t usable = ::GlobalSize(handle);
        if (usable > n) {
            if (void* p = ::GlobalLock(handle)) {
                std::memset(static_cast<char*>(p) + n, 0, usable - n);
                ::GlobalUnlock(handle);
            }
        }
    }
    return handle;
}

void* MemLock(SpiHandle handle) { return handle ? ::GlobalLock(handle) : nullptr; }

void MemUnlock(SpiHandle handle) {
    if (handle) ::GlobalUnlock(handle);
}

size_t MemSize(SpiHandle handle) { return handle ? ::GlobalSize(handle) : 0; }

void MemFree(SpiHandle handle) {
    if (handle) ::GlobalFree(handle);
}

size_t ReadFileHead(const char* ansi_name, void* buffer, size_t capacity) {
    if (!ansi_name || !buffer) return 0;
    HANDLE file =
        ::CreateFileA(ansi_name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    size_t got = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    while (got < capacity) {
        const DWORD want = static_cast<DWORD>(std::min(capacity - got, kMaxTransfer));
        DWORD n = 0;
        if (!::ReadFile(file, out + got, want, &n, nullptr) || n == 0) break;
        got += n;
    }
    ::CloseHandle(file);
    return got;
}

std::wstring AnsiToWide(const char* ansi) {
    if (!ansi) return {};
    return CodePageToWide(ansi, std::strlen(ansi));
}

std::string WideToNative(const std::wstring& wide) {
    std::string out;
    if (wide.empty() || wide.size() > static_cast<size_t>(INT32_MAX)) return out;
    const int n = static_cast<int>(wide.size());
    int len = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    if (len <= 0) return out;
    out.resize(static_cast<size_t>(len));
    len = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), n, &out[0], len, nullptr, nullptr);
    out.resize(len > 0 ? static_cast<size_t>(len) : 0);
    return out;
}

bool FileView::Open(const wchar_t* name) {
    Close();
    if (!name) return false;
    HANDLE file =
        ::CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD high = 0;
    DWORD low = ::GetFileSize(file, &high);
    uint64_t size = 0;
    if (!(low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR)) {
        size = (static_cast<uint64_t>(high) << 32) | low;
    }
    // An empty file cannot be mapped; a file larger than the address space cannot be viewed whole.
    if (size > 0 && size <= SIZE_MAX) {
        HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping) {
            void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
            if (view) {
                m_data = static_cast<const uint8_t*>(view);
                m_size = size;
            }
            ::CloseHandle(mapping);  // the view keeps the data reachable
        }
    }
    ::CloseHandle(file);
    return m_data != nullptr;
}

void FileView::Close() {
    if (m_data) ::UnmapViewOfFile(m_data);
    m_data = nullptr;
    m_size = 0;
}

bool OutputFile::Create(const wchar_t* name) {
    Close();
    if (!name) return false;
    HANDLE file = ::CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    m_handle = reinterpret_cast<intptr_t>(file);
    return true;
}

bool OutputFile::Write(const void* data, size_t size) {
    if (m_handle == kInvalid) return false;
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const DWORD want = static_cast<DWORD>(std::min(size, kMaxTransfer));
        DWORD n = 0;
        if (!::WriteFile(ToHandle(m_handle), p, want, &n, nullptr) || n == 0) return false;
        p += n;
        size -= n;
    }
    return true;
}

bool OutputFile::Close() {
    if (m_handle == kInvalid) return true;
    const BOOL ok = ::CloseHandle(ToHandle(m_handle));
    m_handle = kInvalid;
    return ok != 0;
}

bool RemoveFile(const wchar_t* name) { return name && ::DeleteFileW(name) != 0; }

bool Module::Open(const std::string& path) {
    Close();
    m_error.clear();
    const std::wstring wide = CodePageToWide(path.data(), path.size());
    if (wide.empty()) {
        m_error = "cannot load module: empty or unconvertible path";
        return false;
    }
    // A module that cannot load is reported to the caller, not in a message box.
    DWORD old_mode = 0;
    const BOOL mode_set =
        ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode);
    HMODULE module = ::LoadLibraryW(wide.c_str());
    const DWORD error = module ? 0 : ::GetLastError();
    if (mode_set) ::SetThreadErrorMode(old_mode, nullptr);
    if (!module) {
        m_error = path + ": " + ErrorText(error);
        return false;
    }
    m_handle = module;
    return true;
}

void Module::Close() {
    if (m_handle) ::FreeLibrary(static_cast<HMODULE>(m_handle));
    m_handle = nullptr;
}

void* Module::Symbol(const char* name) const {
    if (!m_handle || !name) return nullptr;
    FARPROC proc = ::GetProcAddress(static_cast<HMODULE>(m_handle), name);
    void* address = nullptr;
    static_assert(sizeof address == sizeof proc, "code and data pointers have one width");
    std::memcpy(&address, &proc, sizeof address);
    return address;
}

const char* ModuleSuffix() { return ".dll"; }

std::string ExecutableDir() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD capacity = static_cast<DWORD>(path.size());
        const DWORD n = ::GetModuleFileNameW(nullptr, &path[0], capacity);
        if (n == 0) return ".";
        if (n < capacity) {
            path.resize(n);
            break;
        }
        if (path.size() >= 32768) return ".";
        path.resize(path.size() * 2);
    }
    const size_t sep = path.find_last_of(L"\\/");
    if (sep == std::wstring::npos) return ".";
    // Keep the separator of a drive root ("C:\") so that the result still names a folder.
    const size_t keep = (sep == 2 && path[1] == L':') ? sep + 1 : sep;
    return WideToNative(path.substr(0, keep));
}

bool ListFiles(const std::string& dir, const std::string& suffix, std::vector<std::string>& out) {
    out.clear();
    std::string pattern = dir.empty() ? std::string(".") : dir;
    if (pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW(AnsiToWide(pattern.c_str()).c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        // An existing but empty folder still lists fine; only a missing one is an error.
        return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::string name = WideToNative(entry.cFileName);
        // Windows file names ignore case: "BMPSRC.DLL" is a module too.
        if (!name.empty() && EndsWithNoCase(name, suffix)) out.push_back(name);
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    std::sort(out.begin(), out.end());
    return true;
}

bool StderrIsTerminal() {
    // _isatty is also true for the NUL device; only a console takes progress output.
    DWORD mode = 0;
    return ::_isatty(2) != 0 && ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace platform
