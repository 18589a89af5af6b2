// The GIF plug-in: recognises GIF87a and GIF89a streams and returns one of their images as a
// packed DIB through GifFile; a request block chooses the image.
#pragma once

#include "SPI_BASE.h"

class SPI_GIF : public SPI_BASE {
public:
    int32_t GetPluginInfo(int32_t index, char* buffer, int32_t length) override;
    int32_t IsSupported(const char* file_name, SpiHeadWord head_or_handle) override;
    int32_t GetPictureInfo(const char* buffer, SpiLength length, uint32_t flag,
                           PictureInfoRecord* info) override;
    int32_t GetPicture(const char* buffer, SpiLength length, uint32_t flag, SpiHandle* info_slot,
                       SpiHandle* bits_slot, ProgressCallback progress,
                       SpiUserData user_data) override;
};
