// The plug-ins of one folder, loaded as a viewer loads them, in file-name order.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "PluginModule.h"
#include "ResultText.h"

struct HostPlugin {
    std::string name;       // the module's file name without its suffix: "bmpsrc"
    std::string file_name;  // "bmpsrc.so"
    std::string info[4];    // the four information strings
    PluginFamily family = PluginFamily::Generic;
    PluginModule module;
};

class PluginSet {
public:
    // Loads every module in `dir`. False, with a message, when the folder cannot be read or no
    // module in it loads; modules that fail to load are listed in Failures() either way.
    [[nodiscard]] bool Load(const std::string& dir, std::string& error);

    const std::vector<std::unique_ptr<HostPlugin>>& Plugins() const { return m_plugins; }
    // "file name: reason" for each module that could not be loaded.
    const std::vector<std::string>& Failures() const { return m_failures; }
    // The plug-in called `name` (with or without the suffix, in any case), or null.
    HostPlugin* Find(const std::string& name) const;
    // The names of the loaded plug-ins, separated by ", ".
    std::string Names() const;

private:
    std::vector<std::unique_ptr<HostPlugin>> m_plugins;
    std::vector<std::string> m_failures;
};

// The "plugins" folder beside the running executable.
std::string DefaultPluginDir();
