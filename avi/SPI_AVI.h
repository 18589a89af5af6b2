// The AVI plug-in: recognises AVI files and returns a key frame of the first video stream
// through AviFile.
#pragma once

#include "SPI_BASE.h"

class SPI_AVI : public SPI_BASE {
public:
    int32_t GetPluginInfo(int32_t index, char* buffer, int32_t length) override;
    int32_t IsSupported(const char* file_name, SpiHeadWord head_or_handle) override;
    int32_t GetPictureInfo(const char* buffer, SpiLength length, uint32_t flag,
                           PictureInfoRecord* info) override;
    int32_t GetPicture(const char* buffer, SpiLength length, uint32_t flag, SpiHandle* info_slot,
                       SpiHandle* bits_slot, ProgressCallback progress,
                       SpiUserData user_data) override;
    int32_t GetPreview(const char* buffer, SpiLength length, uint32_t flag, SpiHandle* info_slot,
                       SpiHandle* bits_slot, ProgressCallback progress,
                       SpiUserData user_data) override;
};
