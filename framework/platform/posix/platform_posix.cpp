// POSIX platform services: malloc-backed movable memory, open/read/mmap file access and a
// lossless byte <-> wide name conversion.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

// Whole decoded pictures are written once from end to end; with 4 KB pages, faulting their
// pages in costs more than the copy that fills them. Blocks this large are always fresh
// mappings of their own (above the allocator's largest mmap threshold), so asking for huge
// pages over their aligned interior affects nothing else. The contents are unchanged; it is a
// hint that the kernel may ignore.
void AdviseHugePages(void* p, size_t n) {
    constexpr size_t kMinBlock = size_t{32} << 20;
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    if (n < kMinBlock) return;
    const auto start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (start + n) & ~(kHugePage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace

SpiHandle MemAlloc(size_t size, bool zero_init) {
    // A zero-byte request still yields a distinct block, as GlobalAlloc does.
    size_t n = size == 0 ? 1 : size;
    void* p = zero_init ? std::calloc(1, n) : std::malloc(n);
    // MemSize reports the usable size, which may exceed the request; that slack is zeroed so
    // that a caller who copies a whole block never copies undefined bytes.
    if (p && !zero_init) {
        size_t usable = malloc_usable_size(p);
        if (usable > n) std::memset(static_cast<char*>(p) + n, 0, usable - n);
    }
    if (p) AdviseHugePages(p, n);
    return p;
}

void* MemLock(SpiHandle handle) { return handle; }

void MemUnlock(SpiHandle) {}

size_t MemSize(SpiHandle handle) { return handle ? malloc_usable_size(handle) : 0; }

void MemFree(SpiHandle handle) { std::free(handle); }

namespace {

int OpenRetry(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Decodes one UTF-8 sequence at s (n bytes available); returns its length, or 0 when invalid.
size_t DecodeUtf8(const unsigned char* s, size_t n, uint32_t& out) {
    unsigned char c = s[0];
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
        out = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07u;
    } else {
        return 0;
    }
    if (len > n) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (s[i] & 0x3Fu);
    }
    // Reject overlong forms, surrogates and values past U+10FFFF so that they round-trip as bytes.
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    out = cp;
    return len;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

size_t ReadFileHead(const char* ansi_name, void* buffer, size_t capacity) {
    if (!ansi_name || !buffer) return 0;
    int fd = OpenRetry(ansi_name, O_RDONLY);
    if (fd < 0) return 0;
    size_t got = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    while (got < capacity) {
        ssize_t n = ::read(fd, out + got, capacity - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    return got;
}

std::wstring AnsiToWide(const char* ansi) {
    std::wstring out;
    if (!ansi) return out;
    const auto* s = reinterpret_cast<const unsigned char*>(ansi);
    size_t n = std::strlen(ansi);
    for (size_t i = 0; i < n;) {
        uint32_t cp;
        size_t len = DecodeUtf8(s + i, n - i, cp);
        if (len == 0) {
            out += static_cast<wchar_t>(0xDC00 + s[i]);
            ++i;
        } else {
            out += static_cast<wchar_t>(cp);
            i += len;
        }
    }
    return out;
}

std::string WideToNative(const std::wstring& wide) {
    std::string out;
    for (wchar_t wc : wide) {
        auto cp = static_cast<uint32_t>(wc);
        if (cp >= 0xDC80 && cp <= 0xDCFF) {
            out += static_cast<char>(cp - 0xDC00);
        } else if (cp <= 0x10FFFF) {
            AppendUtf8(out, cp);
        }
    }
    return out;
}

bool FileView::Open(const wchar_t* name) {
    Close();
    if (!name) return false;
    std::string path = WideToNative(name);
    int fd = OpenRetry(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
              static_cast<uint64_t>(st.st_size) <= SIZE_MAX;
    if (ok) {
        void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (p != MAP_FAILED) {
            m_data = static_cast<const uint8_t*>(p);
            m_size = static_cast<uint64_t>(st.st_size);
        }
    }
    ::close(fd);  // the mapping keeps the data reachable
    return m_data != nullptr;
}

void FileView::Close() {
    if (m_data) ::munmap(const_cast<uint8_t*>(m_data), static_cast<size_t>(m_size));
    m_data = nullptr;
    m_size = 0;
}

bool OutputFile::Create(const wchar_t* name) {
    Close();
    if (!name) return false;
    std::string path = WideToNative(name);
    int fd = OpenRetry(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return false;
    m_handle = fd;
    return true;
}

bool OutputFile::Write(const void* data, size_t size) {
    if (m_handle == kInvalid) return false;
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        ssize_t n = ::write(static_cast<int>(m_handle), p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool OutputFile::Close() {
    if (m_handle == kInvalid) return true;
    int rc = ::close(static_cast<int>(m_handle));
    m_handle = kInvalid;
    return rc == 0;
}

bool RemoveFile(const wchar_t* name) {
    if (!name) return false;
    return ::unlink(WideToNative(name).c_str()) == 0;
}

bool Module::Open(const std::string& path) {
    Close();
    m_handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        const char* err = ::dlerror();
        m_error = err ? err : "cannot load module";
    }
    return m_handle != nullptr;
}

void Module::Close() {
    if (m_handle) ::dlclose(m_handle);
    m_handle = nullptr;
}

void* Module::Symbol(const char* name) const {
    return m_handle ? ::dlsym(m_handle, name) : nullptr;
}

const char* ModuleSuffix() { return ".so"; }

std::string ExecutableDir() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

bool ListFiles(const std::string& dir, const std::string& suffix, std::vector<std::string>& out) {
    out.clear();
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    while (struct dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        struct stat st;
        if (::stat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            out.push_back(name);
        }
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return true;
}

bool StderrIsTerminal() { return ::isatty(2) == 1; }

}  // namespace platform
