#include "SPI_GIF.h"

#include <cstring>

#include "ByteReader.h"
#include "GifFile.h"

namespace {

const PluginInfoTable kInfo = {{"00IN", "GIF to DIB image plug-in", "*.gif", "GIF"}};

SPI_GIF g_plugin;

}  // namespace

SPI_BASE& ThePlugin() { return g_plugin; }

int32_t SPI_GIF::GetPluginInfo(int32_t index, char* buffer, int32_t length) {
    return CopyPluginInfo(kInfo, index, buffer, length);
}

int32_t SPI_GIF::IsSupported(const char* file_name, SpiHeadWord head_or_handle) {
    const Head head(file_name, head_or_handle);
    const uint8_t* p = head.Data();
    if (std::memcmp(p, "GIF8", 4) != 0) return 0;
    return (p[4] == '7' || p[4] == '9') && p[5] == 'a' ? 1 : 0;
}

// The information handle carries the comment text found before the first image.
int32_t SPI_GIF::GetPictureInfo(const char* buffer, SpiLength length, uint32_t flag,
                                PictureInfoRecord* info) {
    GifFile file;
    return RunGetPictureInfo(file, buffer, length, flag, info, InfoHandle::HandOver);
}

// The request block's value at byte 48 chooses the image; 0 is the first.
int32_t SPI_GIF::GetPicture(const char* buffer, SpiLength length, uint32_t flag,
                            SpiHandle* info_slot, SpiHandle* bits_slot, ProgressCallback,
                            SpiUserData user_data) {
    if (!info_slot) return SPI_NOT_IMPLEMENTED;
    const bool split = PrepareSlots(info_slot, bits_slot);
    GifFile file;
    if (const PictureRequestBlock* block = RequestBlock(user_data)) {
        file.SetImageIndex(ByteReader::LoadI32LE(reinterpret_cast<const uint8_t*>(block) +
                                                 offsetof(PictureRequestBlock, field48)));
    }
    return RunGetPicture(file, buffer, length, flag, info_slot, bits_slot, split);
}
