// A plug-in DLL loaded at run time, with its five exports looked up by name.
#pragma once

#include <string>

#include <windows.h>

#include "axqvr/contract.h"

namespace qvrhost {

class PluginLibrary {
public:
    // Loads `path`; on failure Loaded() is false and Error() says why.
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    bool Loaded() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

    axqvr::GetPluginInfoFn getPluginInfo = nullptr;
    axqvr::IsSupportedFn isSupported = nullptr;
    axqvr::GetArchiveInfoFn getArchiveInfo = nullptr;
    axqvr::GetFileInfoFn getFileInfo = nullptr;
    axqvr::GetFileFn getFile = nullptr;

private:
    HMODULE module_ = nullptr;
    std::string error_;
};

// The name of a result code, for messages.
const char* ResultName(std::int32_t code);

}  // namespace qvrhost
