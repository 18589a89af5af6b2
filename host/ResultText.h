// Plain-language text for the result codes that the plug-ins return.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The plug-ins that give result codes meanings of their own, told apart by information
// string 3 (the file type name).
enum class PluginFamily { Generic, Gif, MultiFormat, Video, Avi };

PluginFamily FamilyFromTypeName(const std::string& type_name);

// One sentence, ending with the numeric code: "the GIF data ended early (code 2)".
std::string DescribeResult(int32_t code, PluginFamily family);

// The multi-format plug-in's name for an image type code ("PNG"), or null for an unknown code.
const char* ImageTypeName(uint32_t type);

// The image type code for a name, in any case ("jpeg", "JPG", "tif", "jxl"), or none.
std::optional<uint32_t> ImageTypeFromName(const std::string& name);
