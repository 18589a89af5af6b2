// The commands of zemhost, one unit each; each returns the process's exit status.
#pragma once

#include "HostOptions.h"

int RunPlugins(const HostOptions& options);  // ProbeCommand.cpp
int RunProbe(const HostOptions& options);    // ProbeCommand.cpp
int RunInfo(const HostOptions& options);     // InfoCommand.cpp
int RunDecode(const HostOptions& options);   // DecodeCommand.cpp
int RunThumbs(const HostOptions& options);   // ThumbsCommand.cpp
