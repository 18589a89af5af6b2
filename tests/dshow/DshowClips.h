// The clips that the dshowsrc suites share, written once per test program into a temporary
// folder: every container and codec the plug-in offers, audio ahead of video, a stream without a
// length, sizes whose rows need padding.
#pragma once

#include <cstdint>
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

// The positions at which the Windows suite compares its frames with the stand-in's, each with
// the time it selects in a 4-second clip and the frame showing then.
struct WinePosition {
    int32_t position;
    double seconds;
    int frame;
};
inline constexpr WinePosition kWinePositions[] = {
    {0, 0.0, 0},   {1, 1.0, 10},    {3, 3.0, 30},    {4, 4.0, 39},   {5, 2.0, 20},
    {-1, 0.04, 0}, {-37, 1.48, 14}, {-63, 2.52, 25}, {-99, 3.96, 39}, {-100, 4.0, 39},
    {-101, 2.0, 20},
};

}  // namespace cliptest
