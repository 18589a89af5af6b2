// The five exports of every plug-in module. Each forwards to the module's one plug-in object and
// lets no exception reach the host.
#include "AbiGuard.h"
#include "SPI_BASE.h"
#include "plugin_abi.h"

extern "C" {

PLUGIN_EXPORT int32_t PLUGIN_API GetPluginInfo(int32_t index, char* buffer, int32_t length) {
    return AbiGuard([&] { return ThePlugin().GetPluginInfo(index, buffer, length); });
}

PLUGIN_EXPORT int32_t PLUGIN_API IsSupported(const char* file_name, SpiHeadWord head_or_handle) {
    return AbiGuard([&] { return ThePlugin().IsSupported(file_name, head_or_handle); });
}

PLUGIN_EXPORT int32_t PLUGIN_API GetPictureInfo(const char* buffer, SpiLength length,
                                                uint32_t flag, PictureInfoRecord* info) {
    return AbiGuard([&] { return ThePlugin().GetPictureInfo(buffer, length, flag, info); });
}

PLUGIN_EXPORT int32_t PLUGIN_API GetPicture(const char* buffer, SpiLength length, uint32_t flag,
                                            SpiHandle* info_slot, SpiHandle* bits_slot,
                                            ProgressCallback progress, SpiUserData user_data) {
    return AbiGuard([&] {
        return ThePlugin().GetPicture(buffer, length, flag, info_slot, bits_slot, progress,
                                      user_data);
    });
}

PLUGIN_EXPORT int32_t PLUGIN_API GetPreview(const char* buffer, SpiLength length, uint32_t flag,
                                            SpiHandle* info_slot, SpiHandle* bits_slot,
                                            ProgressCallback progress, SpiUserData user_data) {
    return AbiGuard([&] {
        return ThePlugin().GetPreview(buffer, length, flag, info_slot, bits_slot, progress,
                                      user_data);
    });
}

}  // extern "C"
