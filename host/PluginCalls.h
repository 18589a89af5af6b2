// The calls that every zemhost command makes: loading the plug-ins, opening an input, choosing
// the plug-ins that take it, and asking one of them for its information or its picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "HostOptions.h"
#include "PluginSet.h"
#include "ReceivedDib.h"
#include "platform/platform.h"
#include "plugin_abi.h"

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSkipped = 3;  // nothing failed, but outputs that exist were left alone

// "zemhost: MESSAGE" on standard error; Warn adds "warning: ".
void Fail(const std::string& message);
void Warn(const std::string& message);

// Loads the plug-ins of --plugins DIR or of the folder beside the executable; modules that do
// not load are reported and skipped.
bool LoadPlugins(const HostOptions& options, PluginSet& plugins, std::string& dir);

// Why a file cannot be opened for reading, in the system's words ("permission denied"), or
// empty when it can.
std::string WhyUnreadable(const std::string& path);

// A file that a command reads: it must exist, be a regular file, be readable and not empty.
bool CheckInputFile(const std::string& path, std::string& error);

// The first 2048 bytes of a file from `offset` on, zero-padded, as IsSupported expects them.
bool ReadHead(const std::string& path, uint64_t offset, std::vector<uint8_t>& head);
SpiHeadWord HeadWord(const std::vector<uint8_t>& head);

// The source of a picture request: the file's name with an offset, or its bytes in memory.
class PictureSource {
public:
    bool Open(const std::string& path, const HostOptions& options, std::string& error);
    const char* Buffer() const {
        return m_memory ? reinterpret_cast<const char*>(m_view.Data() + m_offset) : m_path.c_str();
    }
    SpiLength Length() const {
        return static_cast<SpiLength>(m_memory ? m_view.Size() - m_offset : m_offset);
    }
    uint32_t Flag() const { return m_memory ? SPI_SRC_MEMORY : SPI_SRC_FILE; }
    const std::string& Path() const { return m_path; }
    uint64_t Offset() const { return m_offset; }

private:
    std::string m_path;
    uint64_t m_offset = 0;
    bool m_memory = false;
    platform::FileView m_view;
};

// The plug-ins that accept a file, best first: the one named by --plugin alone, else every
// plug-in that accepts it (by its head, else by the file), the video plug-in first for clips
// and the multi-format one for pictures. When none does, a plug-in whose file filter names the
// file's extension ("*.dib") is offered: its picture read decides. Empty, with a message, when
// nothing takes the file.
std::vector<HostPlugin*> CandidatePlugins(const PluginSet& plugins, const HostOptions& options,
                                          const std::string& path, std::string& error);

// Which export a request goes to: GetPicture, or GetPreview (same arguments, same handles).
enum class Export { Picture, Preview };

// Asks the plug-in for the picture (or its preview); the DIB's handles are adopted whatever the
// result.
int32_t RequestPicture(const HostPlugin& plugin, const PictureSource& source,
                       PictureRequestBlock* block, bool split, ReceivedDib& dib,
                       Export which = Export::Picture);

// Adds the picture options (bits 8 and 9) above the type in byte 56 for the multi-format
// plug-in, making the block for them when the request has none; others are left alone.
void AddPictureOptions(uint32_t picture_options, const HostPlugin& plugin,
                       PictureRequestBlock& block, bool& has_block);

// A picture asked of the plug-ins that accept a file, best first: the first one's answer
// stands, except that a video plug-in that gives nothing (-1: its media framework reads no
// frame, or it has no preview) leaves the clip to the next one that accepts it.
struct Reading {
    int32_t code = SPI_NOT_IMPLEMENTED;
    const HostPlugin* plugin = nullptr;
    PictureRequestBlock block{};  // as the plug-in left it (imgsrc writes the type back)
    bool has_block = false;
};

Reading RequestFromCandidates(const std::vector<HostPlugin*>& candidates,
                              const PictureSource& source, const PictureRequestBlock* request,
                              bool split, Export which, bool quiet, ReceivedDib& dib,
                              uint32_t picture_options = 0);

// What GetPictureInfo answered, with the comment handle already read and freed.
struct InfoReading {
    int32_t code = SPI_INTERNAL_ERROR;
    PictureInfoRecord record{};
    bool has_comment = false;
    std::string comment;

    template <typename T>
    T Field(size_t offset) const {
        T value;
        std::memcpy(&value, reinterpret_cast<const uint8_t*>(&record) + offset, sizeof value);
        return value;
    }
    // The type code (low 8 bits) and the picture options imgsrc honoured (bits 8 and 9).
    uint32_t ImageType() const { return RawType() & 0xFF; }
    uint32_t HonouredOptions() const { return RawType() & 0x300; }
    uint32_t RawType() const { return Field<uint32_t>(offsetof(PictureInfoRecord, imageType)); }
    uint32_t FrameCount() const { return Field<uint32_t>(offsetof(PictureInfoRecord, frameCount)); }
    double StreamLength() const { return Field<double>(offsetof(PictureInfoRecord, streamLength)); }
};

// `picture_options` (bits 8 and 9) go above the type in byte 106 for the multi-format plug-in.
InfoReading ReadInfo(const HostPlugin& plugin, const PictureSource& source,
                     std::optional<int32_t> type, uint32_t picture_options = 0);

// The multi-format plug-in's name of an image type ("PNG"), or "type N".
std::string TypeLabel(uint32_t type);
// The same with its article: "a PNG", "an ICO".
std::string ATypeLabel(uint32_t type);
