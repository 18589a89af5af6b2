// The video plug-in: offers MP4, AVI, MPEG, Matroska and M4V files to the host as pictures, one
// frame of the first video stream through DswFile; a request block chooses the time.
#pragma once

#include "SPI_BASE.h"

class DswFile;

class SPI_DSW : public SPI_BASE {
public:
    int32_t GetPluginInfo(int32_t index, char* buffer, int32_t length) override;
    int32_t IsSupported(const char* file_name, SpiHeadWord head_or_handle) override;
    int32_t GetPictureInfo(const char* buffer, SpiLength length, uint32_t flag,
                           PictureInfoRecord* info) override;
    int32_t GetPicture(const char* buffer, SpiLength length, uint32_t flag, SpiHandle* info_slot,
                       SpiHandle* bits_slot, ProgressCallback progress,
                       SpiUserData user_data) override;
    // The key frame at or before 10 % of the stream's length (DswFile::DswPreviewQuery), in
    // GetPicture's forms and with its results.
    int32_t GetPreview(const char* buffer, SpiLength length, uint32_t flag, SpiHandle* info_slot,
                       SpiHandle* bits_slot, ProgressCallback progress,
                       SpiUserData user_data) override;

private:
    static int32_t HandOut(DswFile& file, const char* buffer, bool split, SpiHandle* info_slot,
                           SpiHandle* bits_slot);
};
