#include "StagedFile.h"

#include <filesystem>
#include <system_error>
#include <utility>

StagedFile::StagedFile(std::string target)
    : m_target(std::move(target)), m_temp(m_target + ".zemhost-partial") {}

bool StagedFile::Open(std::string& error) {
    Discard();
    if (!m_file.Create(platform::AnsiToWide(m_temp.c_str()).c_str())) {
        error = "cannot write " + m_target + ": " + WhyNotWritable();
        return false;
    }
    m_created = true;
    return true;
}

bool StagedFile::Write(const void* data, size_t size) {
    return m_created && m_file.Write(data, size);
}

bool StagedFile::Commit(std::string& error) {
    if (!m_created) {
        error = "no output file is open";
        return false;
    }
    if (!m_file.Close()) {
        error = "cannot finish writing " + m_target + " (disk full?)";
        Discard();
        return false;
    }
    std::error_code ec;
    std::filesystem::rename(std::filesystem::path(m_temp), std::filesystem::path(m_target), ec);
    if (ec) {
        error = "cannot write " + m_target + ": " + ec.message();
        Discard();
        return false;
    }
    m_created = false;
    return true;
}

// The output's own fault, in terms of the folder the user named: the file is written beside
// its target under a temporary name, which the user never gave and need not see.
std::string StagedFile::WhyNotWritable() const {
    namespace fs = std::filesystem;
    fs::path folder = fs::path(m_target).parent_path();
    if (folder.empty()) folder = ".";
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (!fs::exists(status)) return "the folder " + folder.string() + " does not exist";
    if (!fs::is_directory(status)) return folder.string() + " is not a folder";
    return "the folder " + folder.string() +
           " cannot be written (permissions, or a read-only disk)";
}

void StagedFile::Discard() {
    if (!m_created) return;
    m_file.Close();
    platform::RemoveFile(platform::AnsiToWide(m_temp.c_str()).c_str());
    m_created = false;
}
