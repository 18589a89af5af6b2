#include "PluginSet.h"

#include "platform/platform.h"

namespace {

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

}  // namespace

bool PluginSet::Load(const std::string& dir, std::string& error) {
    m_plugins.clear();
    m_failures.clear();
    const std::string suffix = platform::ModuleSuffix();
    std::vector<std::string> files;
    if (!platform::ListFiles(dir, suffix, files)) {
        error = "cannot read the plug-in folder " + dir;
        return false;
    }
    for (const std::string& file : files) {
        auto plugin = std::make_unique<HostPlugin>();
        std::string why;
        if (!plugin->module.Load(dir + "/" + file, why)) {
            m_failures.push_back(file + ": " + why);
            continue;
        }
        plugin->file_name = file;
        plugin->name = file.substr(0, file.size() - suffix.size());
        for (int i = 0; i < 4; ++i) plugin->info[i] = plugin->module.Info(i);
        plugin->family = FamilyFromTypeName(plugin->info[3]);
        m_plugins.push_back(std::move(plugin));
    }
    if (m_plugins.empty()) {
        error = files.empty() ? "no plug-in modules (*" + suffix + ") in " + dir
                              : "no plug-in in " + dir + " could be loaded";
        return false;
    }
    return true;
}

HostPlugin* PluginSet::Find(const std::string& name) const {
    const std::string wanted = Lower(name);
    for (const auto& plugin : m_plugins) {
        if (Lower(plugin->name) == wanted || Lower(plugin->file_name) == wanted) {
            return plugin.get();
        }
    }
    return nullptr;
}

std::string PluginSet::Names() const {
    std::string names;
    for (const auto& plugin : m_plugins) {
        if (!names.empty()) names += ", ";
        names += plugin->name;
    }
    return names;
}

std::string DefaultPluginDir() { return platform::ExecutableDir() + "/plugins"; }
