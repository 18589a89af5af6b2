#include "SPI_AVI.h"

#include <cstring>

#include "AviFile.h"
#include "ByteReader.h"

namespace {

const PluginInfoTable kInfo = {{"00IN", "AVI frame plug-in", "*.avi", "AVI"}};

SPI_AVI g_plugin;

}  // namespace

SPI_BASE& ThePlugin() { return g_plugin; }

int32_t SPI_AVI::GetPluginInfo(int32_t index, char* buffer, int32_t length) {
    return CopyPluginInfo(kInfo, index, buffer, length);
}

// "RIFF" and "AVI" at byte 8; the RIFF size and the byte after "AVI" are not examined.
int32_t SPI_AVI::IsSupported(const char* file_name, SpiHeadWord head_or_handle) {
    const Head head(file_name, head_or_handle);
    const uint8_t* p = head.Data();
    return std::memcmp(p, "RIFF", 4) == 0 && std::memcmp(p + 8, "AVI", 3) == 0 ? 1 : 0;
}

// The information handle stays null: AVI files carry nothing for it.
int32_t SPI_AVI::GetPictureInfo(const char* buffer, SpiLength length, uint32_t flag,
                                PictureInfoRecord* info) {
    AviFile file;
    return RunGetPictureInfo(file, buffer, length, flag, info, InfoHandle::HandOver);
}

// The request block's value at byte 52 chooses the frame position.
int32_t SPI_AVI::GetPicture(const char* buffer, SpiLength length, uint32_t flag,
                            SpiHandle* info_slot, SpiHandle* bits_slot, ProgressCallback,
                            SpiUserData user_data) {
    if (!info_slot) return SPI_NOT_IMPLEMENTED;
    const bool split = PrepareSlots(info_slot, bits_slot);
    AviFile file;
    if (const PictureRequestBlock* block = RequestBlock(user_data)) {
        file.SetFramePosition(ByteReader::LoadI32LE(reinterpret_cast<const uint8_t*>(block) +
                                                    offsetof(PictureRequestBlock, field52)));
    }
    return RunGetPicture(file, buffer, length, flag, info_slot, bits_slot, split);
}

// The preview is the key frame at or before 10 per cent of the stream, whole size; the request
// block's position does not apply to it.
int32_t SPI_AVI::GetPreview(const char* buffer, SpiLength length, uint32_t flag,
                            SpiHandle* info_slot, SpiHandle* bits_slot, ProgressCallback,
                            SpiUserData) {
    if (!info_slot) return SPI_NOT_IMPLEMENTED;
    const bool split = PrepareSlots(info_slot, bits_slot);
    AviFile file;
    file.SetPreview(true);
    return RunGetPicture(file, buffer, length, flag, info_slot, bits_slot, split);
}
