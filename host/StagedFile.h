// An output file written under a temporary name beside its target and moved onto the target
// only once it is complete: a failed write leaves no file behind and spoils no existing one.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

class StagedFile {
public:
    explicit StagedFile(std::string target);
    ~StagedFile() { Discard(); }
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    [[nodiscard]] bool Open(std::string& error);
    // False when the bytes could not be written; the caller then discards the file.
    [[nodiscard]] bool Write(const void* data, size_t size);
    // Closes the temporary file and moves it onto the target.
    [[nodiscard]] bool Commit(std::string& error);
    // Closes and removes the temporary file, unless it was committed.
    void Discard();

    const std::string& Target() const { return m_target; }

private:
    std::string WhyNotWritable() const;

    std::string m_target;
    std::string m_temp;
    platform::OutputFile m_file;
    bool m_created = false;
};
