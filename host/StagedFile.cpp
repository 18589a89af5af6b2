#include "StagedFile.h"

#include <filesystem>
#include <system_error>
#include <utility>

StagedFile::StagedFile(std::string target)
    : m_target(std::move(target)), m_temp(m_target + ".zemhost-partial") {}

bool StagedFile::Open(std::string& error) {
    Discard();
    if (!m_file.Create(platform::AnsiToWide(m_temp.c_str()).c_str())) {
        error = "cannot create " + m_temp + " (is its folder there and writable?)";
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
        error = "cannot finish writing " + m_temp;
        Discard();
        return false;
    }
    std::error_code ec;
    std::filesystem::rename(std::filesystem::path(m_temp), std::filesystem::path(m_target), ec);
    if (ec) {
        error = "cannot move " + m_temp + " onto " + m_target + ": " + ec.message();
        Discard();
        return false;
    }
    m_created = false;
    return true;
}

void StagedFile::Discard() {
    if (!m_created) return;
    m_file.Close();
    platform::RemoveFile(platform::AnsiToWide(m_temp.c_str()).c_str());
    m_created = false;
}
