#include "plugin_api.h"

#include <gtest/gtest.h>

#include <type_traits>

#include <windows.h>

namespace axqvr::test {
namespace {

struct Exports {
    HMODULE module = nullptr;
    GetPluginInfoFn getPluginInfo = nullptr;
    IsSupportedFn isSupported = nullptr;
    GetArchiveInfoFn getArchiveInfo = nullptr;
    GetFileInfoFn getFileInfo = nullptr;
    GetFileFn getFile = nullptr;
};

Exports& Loaded() {
    static Exports exports;
    return exports;
}

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn& out, std::string& error) {
    FARPROC address = GetProcAddress(module, name);
    if (address == nullptr) {
        error = std::string("the plug-in exports no ") + name;
        return false;
    }
    out = reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
    return true;
}

#if defined(__i386__)
template <typename T>
std::uint32_t Word(T value) {
    if constexpr (std::is_pointer_v<T>) return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(value));
    else return static_cast<std::uint32_t>(value);
}

template <typename... Args>
std::int32_t CallChecked(const void* function, const char* name, Args... args) {
    const std::uint32_t words[] = {Word(args)...};
    std::int32_t stackOffset = 0;
    const std::uint32_t result = CallMeasuringStack(function, words, sizeof...(Args), stackOffset);
    EXPECT_EQ(stackOffset, 0) << name << " did not remove exactly " << 4 * sizeof...(Args)
                              << " bytes of arguments";
    return static_cast<std::int32_t>(result);
}

template <typename Fn>
const void* Address(Fn function) {
    return reinterpret_cast<const void*>(function);
}
#endif

}  // namespace

bool LoadPlugin(const std::string& path, std::string& error) {
    Exports& e = Loaded();
    e.module = LoadLibraryA(path.c_str());
    if (e.module == nullptr) {
        error = "LoadLibrary failed for " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    return Resolve(e.module, "GetPluginInfo", e.getPluginInfo, error) &&
           Resolve(e.module, "IsSupported", e.isSupported, error) &&
           Resolve(e.module, "GetArchiveInfo", e.getArchiveInfo, error) &&
           Resolve(e.module, "GetFileInfo", e.getFileInfo, error) &&
           Resolve(e.module, "GetFile", e.getFile, error);
}

#if defined(__i386__)
std::uint32_t CallMeasuringStack(const void* function, const std::uint32_t* args, std::uint32_t count,
                                 std::int32_t& stackOffset) {
    std::uint32_t result = 0;
    std::uint32_t counter = count;
    // EDI keeps the stack pointer from before the pushes (the callee must
    // preserve it); the pushes go last argument first. Afterwards ECX holds
    // the difference, and ESP is put back whatever the callee did.
    asm volatile(
        "movl %%esp, %%edi\n\t"
        "1:\n\t"
        "testl %%ecx, %%ecx\n\t"
        "jz 2f\n\t"
        "pushl -4(%%esi,%%ecx,4)\n\t"
        "decl %%ecx\n\t"
        "jmp 1b\n\t"
        "2:\n\t"
        "call *%%ebx\n\t"
        "movl %%esp, %%ecx\n\t"
        "subl %%edi, %%ecx\n\t"
        "movl %%edi, %%esp\n\t"
        : "=a"(result), "+c"(counter)
        : "S"(args), "b"(function)
        : "edx", "edi", "memory", "cc");
    stackOffset = static_cast<std::int32_t>(counter);
    return result;
}

const void* ExportAddress(const char* name) {
    return reinterpret_cast<const void*>(GetProcAddress(Loaded().module, name));
}

std::int32_t CallGetPluginInfo(std::int32_t infoNo, char* buf, std::int32_t bufLen) {
    return CallChecked(Address(Loaded().getPluginInfo), "GetPluginInfo", infoNo, buf, bufLen);
}
std::int32_t CallIsSupported(const char* candidateName, std::uintptr_t candidate) {
    return CallChecked(Address(Loaded().isSupported), "IsSupported", candidateName, candidate);
}
ResultCode CallGetArchiveInfo(const char* source, std::int32_t length, std::uint32_t flags,
                              LocalHandle* listingHandleOut) {
    return static_cast<ResultCode>(CallChecked(Address(Loaded().getArchiveInfo), "GetArchiveInfo", source, length,
                                               flags, listingHandleOut));
}
ResultCode CallGetFileInfo(const char* source, std::int32_t length, const char* entryName, std::uint32_t flags,
                           FileInfoRecord* record) {
    return static_cast<ResultCode>(CallChecked(Address(Loaded().getFileInfo), "GetFileInfo", source, length,
                                               entryName, flags, record));
}
ResultCode CallGetFile(const char* source, std::int32_t length, LocalHandle* dest, std::uint32_t flags) {
    // The progress callback is never called and its data never read: pass
    // values that would show if they were.
    return static_cast<ResultCode>(CallChecked(Address(Loaded().getFile), "GetFile", source, length, dest, flags,
                                               std::uint32_t{0xDEAD0001}, std::uint32_t{0xDEAD0002}));
}
#else
std::int32_t CallGetPluginInfo(std::int32_t infoNo, char* buf, std::int32_t bufLen) {
    return Loaded().getPluginInfo(infoNo, buf, bufLen);
}
std::int32_t CallIsSupported(const char* candidateName, std::uintptr_t candidate) {
    return Loaded().isSupported(candidateName, candidate);
}
ResultCode CallGetArchiveInfo(const char* source, std::int32_t length, std::uint32_t flags,
                              LocalHandle* listingHandleOut) {
    return static_cast<ResultCode>(Loaded().getArchiveInfo(source, length, flags, listingHandleOut));
}
ResultCode CallGetFileInfo(const char* source, std::int32_t length, const char* entryName, std::uint32_t flags,
                           FileInfoRecord* record) {
    return static_cast<ResultCode>(Loaded().getFileInfo(source, length, entryName, flags, record));
}
ResultCode CallGetFile(const char* source, std::int32_t length, LocalHandle* dest, std::uint32_t flags) {
    return static_cast<ResultCode>(Loaded().getFile(source, length, dest, flags,
                                                    reinterpret_cast<ProgressCallback>(std::uintptr_t{0xDEAD0001}),
                                                    std::intptr_t{0xDEAD0002}));
}
#endif

}  // namespace axqvr::test
