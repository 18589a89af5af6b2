#include "SPI_BMP.h"

#include "BmpFile.h"
#include "ByteReader.h"

namespace {

const PluginInfoTable kInfo = {{"00IN", "BMP to DIB image plug-in", "*.bmp;*.dib", "BMP"}};

SPI_BMP g_plugin;

}  // namespace

SPI_BASE& ThePlugin() { return g_plugin; }

int32_t SPI_BMP::GetPluginInfo(int32_t index, char* buffer, int32_t length) {
    return CopyPluginInfo(kInfo, index, buffer, length);
}

// Takes BMP files with a 40-byte BITMAPINFOHEADER and a bit count Windows knows.
int32_t SPI_BMP::IsSupported(const char* file_name, SpiHeadWord head_or_handle) {
    const Head head(file_name, head_or_handle);
    const uint8_t* p = head.Data();
    if (p[0] != 'B' || p[1] != 'M') return 0;
    if (ByteReader::LoadU32LE(p + 14) != kInfoHeaderSize) return 0;
    switch (ByteReader::LoadU16LE(p + 28)) {
        case 0:
        case 1:
        case 4:
        case 8:
        case 16:
        case 24:
        case 32:
            return 1;
        default:
            return 0;
    }
}

int32_t SPI_BMP::GetPictureInfo(const char* buffer, SpiLength length, uint32_t flag,
                                PictureInfoRecord* info) {
    BmpFile file;
    return RunGetPictureInfo(file, buffer, length, flag, info, InfoHandle::Untouched);
}

// The user data is not read: bitmaps have nothing to choose.
int32_t SPI_BMP::GetPicture(const char* buffer, SpiLength length, uint32_t flag,
                            SpiHandle* info_slot, SpiHandle* bits_slot, ProgressCallback,
                            SpiUserData) {
    if (!info_slot) return SPI_NOT_IMPLEMENTED;
    const bool split = PrepareSlots(info_slot, bits_slot);
    BmpFile file;
    return RunGetPicture(file, buffer, length, flag, info_slot, bits_slot, split);
}
