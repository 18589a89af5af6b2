#include "SPI_DSW.h"

#include <string>

#include "ByteReader.h"
#include "DswFile.h"
#include "PatternMatch.h"
#include "platform/platform.h"

namespace {

const PluginInfoTable kInfo = {
    {"00IN", "Video frame plug-in", "*.mp4;*.avi;*.mpg;*.mkv;*.m4v", "DirectShow"}};

// dshowsrc's own result for a source that is not a named file.
constexpr int32_t kNotAFile = 1;

SPI_DSW g_plugin;

}  // namespace

SPI_BASE& ThePlugin() { return g_plugin; }

int32_t SPI_DSW::GetPluginInfo(int32_t index, char* buffer, int32_t length) {
    return CopyPluginInfo(kInfo, index, buffer, length);
}

// With the file's first bytes at hand the name decides (the bytes are not looked at); without
// them the media detector opens the file, whatever its name.
int32_t SPI_DSW::IsSupported(const char* file_name, SpiHeadWord head_or_handle) {
    if (!file_name) return 0;
    const std::wstring name = platform::AnsiToWide(file_name);
    if ((head_or_handle >> 16) != 0) {
        const std::wstring list = platform::AnsiToWide(kInfo.entries[2]);
        return MatchPatternList(name.c_str(), list.c_str(), L';') ? 1 : 0;
    }
    DswFile file;
    file.SetFileSource(name.c_str(), 0);
    return file.ReadInfoFromFile() == SPI_OK ? 1 : 0;
}

// The record gets the stream's length at 94 and its compression code at 102; the colour depth
// stays 0. The file offset is not used: the detector opens the named file as a whole.
int32_t SPI_DSW::GetPictureInfo(const char* buffer, SpiLength, uint32_t flag,
                                PictureInfoRecord* info) {
    if (!info) return SPI_NOT_IMPLEMENTED;
    info->left = 0;
    info->top = 0;
    info->xDensity = 0;
    info->yDensity = 0;
    info->colorDepth = 0;
    info->streamLength = 0.0;
    if ((flag & SPI_SRC_MASK) != SPI_SRC_FILE) return kNotAFile;
    DswFile file;
    int32_t result = SPI_NOT_IMPLEMENTED;
    if (buffer) {
        const std::wstring name = platform::AnsiToWide(buffer);
        file.SetFileSource(name.c_str(), 0);
        result = file.ReadInfoFromFile();
    }
    info->width = file.Width();
    info->height = file.Height();
    info->codec = file.VideoCompression();
    info->streamLength = file.StreamLength();
    return result;
}

// Reads the frame that `file` is set up for and hands it out in one handle or two. A split that
// cannot get its memory hands out nothing and says so.
int32_t SPI_DSW::HandOut(DswFile& file, const char* buffer, bool split, SpiHandle* info_slot,
                SpiHandle* bits_slot) {
    const std::wstring name = platform::AnsiToWide(buffer);
    file.SetFileSource(name.c_str(), 0);
    const int32_t result = file.ReadPictureFromFile();
    const SpiHandle dib = file.TakeResultDib();
    if (result != SPI_OK || !dib) return result;
    if (!split) {
        *info_slot = dib;
        return SPI_OK;
    }
    // The bits block runs to the end of the frame block, spare tail included.
    return SplitPackedDib(dib, info_slot, bits_slot) == SPI_OK ? SPI_OK : SPI_NOT_IMPLEMENTED;
}

// The request block's value at byte 52 chooses the time (DswFile::FramePositionToTime).
int32_t SPI_DSW::GetPicture(const char* buffer, SpiLength, uint32_t flag, SpiHandle* info_slot,
                            SpiHandle* bits_slot, ProgressCallback, SpiUserData user_data) {
    if (!info_slot) return SPI_NOT_IMPLEMENTED;
    const bool split = PrepareSlots(info_slot, bits_slot);
    if ((flag & SPI_SRC_MASK) != SPI_SRC_FILE) return kNotAFile;
    if (!buffer) return SPI_NOT_IMPLEMENTED;
    DswFile file;
    if (const PictureRequestBlock* block = RequestBlock(user_data)) {
        file.SetFramePosition(ByteReader::LoadI32LE(reinterpret_cast<const uint8_t*>(block) +
                                                    offsetof(PictureRequestBlock, field52)));
    }
    return HandOut(file, buffer, split, info_slot, bits_slot);
}

// No request block: the preview's time is fixed.
int32_t SPI_DSW::GetPreview(const char* buffer, SpiLength, uint32_t flag, SpiHandle* info_slot,
                            SpiHandle* bits_slot, ProgressCallback, SpiUserData) {
    if (!info_slot) return SPI_NOT_IMPLEMENTED;
    const bool split = PrepareSlots(info_slot, bits_slot);
    if ((flag & SPI_SRC_MASK) != SPI_SRC_FILE) return kNotAFile;
    if (!buffer) return SPI_NOT_IMPLEMENTED;
    DswFile file;
    file.SetPreview(true);
    return HandOut(file, buffer, split, info_slot, bits_slot);
}
