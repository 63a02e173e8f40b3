// Runs a plug-in suite against one DLL: by default AXQVR.SPI next to this
// program, or the one named by --plugin=PATH. Files the tests make go to a
// scratch directory under the current one (--scratch=DIR), which becomes the
// current one, so whatever a call leaves on disk can be found there.
// --samples=DIR names the bundled samples.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <windows.h>

#include "plugin_api.h"
#include "support.h"

namespace {

std::string BesideThisProgram(const char* name) {
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    const auto slash = dir.find_last_of("\\/");
    dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
    return dir + name;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::string plugin = BesideThisProgram("AXQVR.SPI");
    std::string scratch = "plugin-scratch";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--plugin=", 0) == 0) plugin = arg.substr(9);
        else if (arg.rfind("--scratch=", 0) == 0) scratch = arg.substr(10);
        else if (arg.rfind("--samples=", 0) == 0) axqvr::test::SamplesDirectory() = arg.substr(10);
    }
    std::string error;
    if (!axqvr::test::LoadPlugin(plugin, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    CreateDirectoryA(scratch.c_str(), nullptr);
    if (!SetCurrentDirectoryA(scratch.c_str())) {
        std::fprintf(stderr, "cannot enter the scratch directory %s\n", scratch.c_str());
        return 2;
    }
    return RUN_ALL_TESTS();
}
