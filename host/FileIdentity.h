// The identity of a file, whatever name or link it is reached by: its volume and file index on
// Windows, its device and inode elsewhere. Read once per file into a set, it tells in constant
// time whether an output is one of the inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>

struct FileIdentity {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const FileIdentity& other) const {
        return volume == other.volume && index == other.index;
    }
};

struct FileIdentityHash {
    size_t operator()(const FileIdentity& id) const {
        return static_cast<size_t>(id.index * 0x9E3779B97F4A7C15ull ^ id.volume);
    }
};

// False when the file does not exist or cannot be asked.
bool IdentityOf(const std::string& path, FileIdentity& id);

using FileIdentitySet = std::unordered_set<FileIdentity, FileIdentityHash>;
