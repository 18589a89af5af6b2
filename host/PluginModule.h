// A plug-in module loaded the way a viewer loads it: the library by path, the five exports by
// name. Used by zemhost and by the tests that drive the built modules.
#pragma once

#include <string>

#include "plugin_abi.h"
#include "platform/platform.h"

class PluginModule {
public:
    // Loads the module and resolves all five exports; false (with a message) otherwise.
    bool Load(const std::string& path, std::string& error);
    void Unload();
    bool IsLoaded() const { return m_module.IsOpen(); }
    const std::string& Path() const { return m_path; }

    GetPluginInfoFn GetPluginInfo = nullptr;
    IsSupportedFn IsSupported = nullptr;
    GetPictureInfoFn GetPictureInfo = nullptr;
    GetPictureFn GetPicture = nullptr;
    GetPreviewFn GetPreview = nullptr;

    // Entry `index` of the plug-in's information table, as a string.
    std::string Info(int index) const;

private:
    platform::Module m_module;
    std::string m_path;
};
