// The plug-in as the tests reach it: loaded with LoadLibrary like any host
// loads it, and called through GetProcAddress. On 32-bit every call goes
// through a thunk that compares the stack pointer before and after, so an
// export that removes the wrong number of argument bytes fails the test.
#pragma once

#include <cstdint>
#include <string>

#include "axqvr/contract.h"

namespace axqvr::test {

// Loads the DLL once; false (with a message) when it or an export is missing.
bool LoadPlugin(const std::string& path, std::string& error);

std::int32_t CallGetPluginInfo(std::int32_t infoNo, char* buf, std::int32_t bufLen);
std::int32_t CallIsSupported(const char* candidateName, std::uintptr_t candidate);
ResultCode CallGetArchiveInfo(const char* source, std::int32_t length, std::uint32_t flags,
                              LocalHandle* listingHandleOut);
ResultCode CallGetFileInfo(const char* source, std::int32_t length, const char* entryName, std::uint32_t flags,
                           FileInfoRecord* record);
ResultCode CallGetFile(const char* source, std::int32_t length, LocalHandle* dest, std::uint32_t flags);

#if defined(__i386__)
// Calls a stdcall function with `count` 32-bit arguments and reports how
// far the stack pointer ended up from where it was: 0 when the callee
// removed exactly what was pushed.
std::uint32_t CallMeasuringStack(const void* function, const std::uint32_t* args, std::uint32_t count,
                                 std::int32_t& stackOffset);
const void* ExportAddress(const char* name);
#endif

}  // namespace axqvr::test
