#include "mount/fuse_library.h"

#include <dlfcn.h>

namespace qvr::cli {
namespace {

// The name of the library the 3.x interface has always been in.
constexpr const char* LibraryName = "libfuse3.so.3";

struct Loaded {
    FuseLibrary functions;
    std::string error;  // empty once every function was found
};

Loaded Load() {
    Loaded loaded;
    // RTLD_NOW: a missing function shows now, not as a crash in the middle of
    // a request; RTLD_LOCAL keeps its names out of later lookups.
    void* handle = dlopen(LibraryName, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        loaded.error = std::string("mount needs libfuse3 (") + (why ? why : LibraryName) +
                       "); install the fuse3 package";
        return loaded;
    }
    bool complete = true;
#define QVR_FUSE_RESOLVE(member, symbol)                                                           \
    if (complete) {                                                                                \
        loaded.functions.member = reinterpret_cast<decltype(&::symbol)>(dlsym(handle, #symbol));   \
        if (!loaded.functions.member) {                                                            \
            loaded.error = std::string("mount needs libfuse3 3.12 or later: ") + LibraryName +     \
                           " has no " #symbol;                                                     \
            complete = false;                                                                      \
        }                                                                                          \
    }
    QVR_FUSE_FUNCTIONS(QVR_FUSE_RESOLVE)
#undef QVR_FUSE_RESOLVE
    if (complete) {
        // Built with symbol versions the 3.12 loop is fuse_session_loop_mt at
        // FUSE_3.12 (older versions keep the name with other arguments);
        // built without, it has a name of its own.
        void* loop = dlvsym(handle, "fuse_session_loop_mt", "FUSE_3.12");
        if (!loop) loop = dlsym(handle, "fuse_session_loop_mt_312");
        loaded.functions.session_loop_mt = reinterpret_cast<decltype(loaded.functions.session_loop_mt)>(loop);
        if (!loop) loaded.error = std::string("mount needs libfuse3 3.12 or later: ") + LibraryName + " is older";
    }
    // The handle stays open: the functions are used until the process ends.
    return loaded;
}

}  // namespace

const FuseLibrary* LoadFuseLibrary(std::string& error) {
    static const Loaded loaded = Load();
    if (!loaded.error.empty()) {
        error = loaded.error;
        return nullptr;
    }
    return &loaded.functions;
}

}  // namespace qvr::cli
