#include "FileIdentity.h"

#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

bool IdentityOf(const std::string& path, FileIdentity& id) {
#if defined(_WIN32)
    // No access asked: a file that cannot be read still has its identity; folders need the
    // backup flag to be opened at all.
    const HANDLE file = CreateFileW(platform::AnsiToWide(path.c_str()).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    if (!ok) return false;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return true;
#else
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    id.volume = static_cast<uint64_t>(st.st_dev);
    id.index = static_cast<uint64_t>(st.st_ino);
    return true;
#endif
}
