// The clips that the dshowsrc suites share, written once per test program into a temporary
// folder: every container and codec the plug-in offers, audio ahead of video, a stream without a
// length, sizes whose rows need padding.
#pragma once

#include <string>
#include <vector>

#include "ClipMaker.h"

namespace cliptest {

struct NamedClip {
    const char* name;  // file name, extension included
    ClipSpec want;
    const char* four_cc;  // the compression code the information read reports
};

// The clips of the suites; all but "no-length.mkv" report a length of 4 seconds.
const std::vector<NamedClip>& StandardClips();

// Writes them all into `dir`; false with the reason when one cannot be written.
bool WriteStandardClips(const std::string& dir, std::string& error);

// The folder holding them (made on first use); empty when a clip could not be written, with the
// reason in `error`.
const std::string& ClipDir(std::string* error = nullptr);

inline std::string ClipPath(const char* name) { return ClipDir() + "/" + name; }

}  // namespace cliptest
