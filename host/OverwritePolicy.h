// What decode and thumbs may write over: never an input, never a read-only file or one that is
// not a plain file, an existing output only with --force.
#pragma once

#include <string>
#include <vector>

#include "FileIdentity.h"
#include "HostOptions.h"
#include "OutputPlan.h"

// The identities of `inputs` (files that cannot be asked are left out: they are not there).
FileIdentitySet IdentitiesOf(const std::vector<std::string>& inputs);

// Checks every output before anything is written, at one look-up each. Outputs that are one of
// the inputs (by identity: a hard link or another spelling counts) are all listed in `error`:
// the whole batch is then refused. An output that exists is skipped without --force; a
// read-only one, or one that is not a plain file, always.
bool CheckOverwrites(const HostOptions& options, const FileIdentitySet& inputs,
                     std::vector<DecodeJob>& jobs, std::string& error);
