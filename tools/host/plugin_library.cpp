#include "plugin_library.h"

namespace qvrhost {
namespace {

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn& out, std::string& error) {
    FARPROC address = GetProcAddress(module, name);
    if (address == nullptr) {
        if (error.empty()) error = std::string("the plug-in has no export named ") + name;
        return;
    }
    out = reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

}  // namespace

PluginLibrary::PluginLibrary(const std::string& path) {
    module_ = LoadLibraryA(path.c_str());
    if (module_ == nullptr) {
        error_ = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return;
    }
    Resolve(module_, "GetPluginInfo", getPluginInfo, error_);
    Resolve(module_, "IsSupported", isSupported, error_);
    Resolve(module_, "GetArchiveInfo", getArchiveInfo, error_);
    Resolve(module_, "GetFileInfo", getFileInfo, error_);
    Resolve(module_, "GetFile", getFile, error_);
}

PluginLibrary::~PluginLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
}

const char* ResultName(std::int32_t code) {
    static constexpr const char* Names[] = {"Success",     "Unsupported", "UnrecognisedFormat", "EntryNotFound",
                                            "AllocFailed", "MemoryError", "OpenFailed"};
    return code >= 0 && code < 7 ? Names[code] : "an unknown result code";
}

}  // namespace qvrhost
