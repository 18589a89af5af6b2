#include "PluginModule.h"

namespace {

template <class Fn>
bool Resolve(const platform::Module& module, const char* name, Fn& out, std::string& error) {
    out = reinterpret_cast<Fn>(module.Symbol(name));
    if (!out) error = std::string("missing export ") + name;
    return out != nullptr;
}

}  // namespace

bool PluginModule::Load(const std::string& path, std::string& error) {
    Unload();
    if (!m_module.Open(path)) {
        error = m_module.Error();
        return false;
    }
    m_path = path;
    if (Resolve(m_module, "GetPluginInfo", GetPluginInfo, error) &&
        Resolve(m_module, "IsSupported", IsSupported, error) &&
        Resolve(m_module, "GetPictureInfo", GetPictureInfo, error) &&
        Resolve(m_module, "GetPicture", GetPicture, error) &&
        Resolve(m_module, "GetPreview", GetPreview, error)) {
        return true;
    }
    Unload();
    return false;
}

void PluginModule::Unload() {
    GetPluginInfo = nullptr;
    IsSupported = nullptr;
    GetPictureInfo = nullptr;
    GetPicture = nullptr;
    GetPreview = nullptr;
    m_module.Close();
    m_path.clear();
}

std::string PluginModule::Info(int index) const {
    char buf[1024];
    if (!GetPluginInfo) return {};
    int32_t n = GetPluginInfo(index, buf, static_cast<int32_t>(sizeof buf));
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}
