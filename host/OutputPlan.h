// Output planning for decode and thumbs: the name of each output, and outputs that two inputs
// would share, compared as the output folder's file system compares names.
#pragma once

#include <string>
#include <vector>

#include "HostOptions.h"

struct DecodeJob {
    std::string input;
    std::string output;
    OutputFormat format = OutputFormat::Png;
    std::string skip;  // why the output is left alone; empty: write it
    std::string note;  // said with the result: why the output has another name than expected
};

bool EndsWithSeparator(const std::string& path);

// The name of an input's output in a folder: "photo.png" by its stem, "photo.jpg.png" by its
// whole name.
std::string OutputFileName(const std::string& input, NameStyle style, OutputFormat format);

// Whether names in `folder` compare without regard to case: always on Windows; elsewhere as the
// folder (or the nearest one above it that exists, where it would be made) shows when asked for
// a name it holds spelt in the other case.
bool FolderIgnoresCase(const std::string& folder);

// The key under which the file system files `path`: absolute, normalised, and case-folded when
// `ignore_case`. Two outputs of one key are one file.
std::string NameKey(const std::string& path, bool ignore_case);

// Works out decode's output of each input. A folder target (an existing folder, or a name
// ending in a separator) takes one file per input, named by --name; a file target takes one
// input. `make_folder` tells that the folder must be made.
bool PlanOutputs(const HostOptions& options, std::vector<DecodeJob>& jobs, bool& make_folder,
                 std::string& error);

// Finds outputs that two jobs would share, with names compared as `ignore_case` says. With
// `rename`, the later job of each such pair is given a free name ("a.JPG (2).png") and a note
// saying so; without it every clash is listed in `error` and false is returned.
bool ResolveClashes(std::vector<DecodeJob>& jobs, bool ignore_case, bool rename,
                    std::string& error);
