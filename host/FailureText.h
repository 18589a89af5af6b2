// What zemhost says when a request fails or does not do what the user asked, in the user's
// words rather than as a bare result code.
#pragma once

#include <cstdint>
#include <string>

#include "HostOptions.h"
#include "PluginCalls.h"

// Why a request failed, from the result code and what else the plug-in tells about the file:
// a frame or page beyond the last, a file cut short, a file of another type than --type asks
// for, a variant that the plug-in does not read (unsupported) or data it cannot decode
// (damaged), a time past the end of a clip.
std::string ExplainFailure(int32_t code, const HostPlugin& plugin, const PictureSource& source,
                           const HostOptions& options);

// Warns of request options that the plug-in that answered does not read, and of a --position
// past the end of a clip, so that a user who asked for a frame or a scale learns that the
// output is not what was asked for.
void WarnUnusedOptions(const HostOptions& options, const HostPlugin& plugin,
                       const PictureSource& source, uint32_t type_found);
