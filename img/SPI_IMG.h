// The multi-format plug-in: recognises pictures by signature or by name and returns one frame
// through ImgFile; the request block chooses scale, frame and type, and learns the type back.
#pragma once

#include "SPI_BASE.h"

class SPI_IMG : public SPI_BASE {
public:
    static constexpr int kFormatSlots = 64;
    struct FormatEntry {
        const char* patterns;  // ";"-separated wildcard patterns
        const char* name;
    };

    SPI_IMG();
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

    const FormatEntry& Format(int i) const { return m_formatTable[i]; }

private:
    int32_t Read(const char* buffer, SpiLength length, uint32_t flag, SpiHandle* info_slot,
                 SpiHandle* bits_slot, SpiUserData user_data, bool preview);

    FormatEntry m_formatTable[kFormatSlots] = {};
};
