#include "OverwritePolicy.h"

#include <filesystem>

namespace fs = std::filesystem;

FileIdentitySet IdentitiesOf(const std::vector<std::string>& inputs) {
    FileIdentitySet set;
    set.reserve(inputs.size() * 2);
    for (const std::string& input : inputs) {
        FileIdentity id;
        if (IdentityOf(input, id)) set.insert(id);
    }
    return set;
}

bool CheckOverwrites(const HostOptions& options, const FileIdentitySet& inputs,
                     std::vector<DecodeJob>& jobs, std::string& error) {
    std::string problems;
    for (DecodeJob& job : jobs) {
        std::error_code ec;
        const fs::file_status status = fs::status(fs::path(job.output), ec);
        if (!fs::exists(status)) continue;
        FileIdentity id;
        if (IdentityOf(job.output, id) && inputs.count(id) != 0) {
            problems += "\n  " + job.output + " is an input file; it is never written over";
        } else if (!fs::is_regular_file(status)) {
            job.skip = job.output + " exists and is not a plain file; left alone";
        } else if ((status.permissions() & fs::perms::owner_write) == fs::perms::none) {
            job.skip = job.output + " is read-only; left alone (make it writable to replace it)";
        } else if (!options.force) {
            job.skip = job.output + " exists; left alone (--force or -y replaces it)";
        }
    }
    if (problems.empty()) return true;
    error = "nothing written:" + problems;
    return false;
}
