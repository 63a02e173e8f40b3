// The five exports. Each catches everything: no exception may reach a host,
// and every failure leaves as one of the result codes.
#include <type_traits>

#include "plugin.h"

namespace {

std::int32_t Code(axqvr::ResultCode r) noexcept { return static_cast<std::int32_t>(r); }

}  // namespace

extern "C" {

std::int32_t __stdcall GetPluginInfo(std::int32_t infoNo, char* buf, std::int32_t bufLen) {
    return axqvr::CopyInfoString(infoNo, buf, bufLen);
}

std::int32_t __stdcall IsSupported(const char* /*candidateName*/, std::uintptr_t candidate) {
    return axqvr::ProbeCandidate(candidate);
}

std::int32_t __stdcall GetArchiveInfo(const char* source, std::int32_t length, std::uint32_t flags,
                                      axqvr::LocalHandle* listingHandleOut) {
    try {
        return Code(axqvr::ListArchive(source, length, flags, listingHandleOut));
    } catch (...) {
        return Code(axqvr::ResultCode::MemoryError);
    }
}

std::int32_t __stdcall GetFileInfo(const char* source, std::int32_t length, const char* entryName,
                                   std::uint32_t flags, axqvr::FileInfoRecord* record) {
    try {
        return Code(axqvr::LookUpEntry(source, length, entryName, flags, record));
    } catch (...) {
        return Code(axqvr::ResultCode::MemoryError);
    }
}

std::int32_t __stdcall GetFile(const char* source, std::int32_t length, axqvr::LocalHandle* dest,
                               std::uint32_t flags, axqvr::ProgressCallback /*progressCallback*/,
                               std::intptr_t /*callbackData*/) {
    try {
        return Code(axqvr::ExtractEntry(source, length, dest, flags));
    } catch (...) {
        return Code(axqvr::ResultCode::MemoryError);
    }
}

}  // extern "C"

// The exports have exactly the types that hosts call them through.
static_assert(std::is_same_v<decltype(&GetPluginInfo), axqvr::GetPluginInfoFn>);
static_assert(std::is_same_v<decltype(&IsSupported), axqvr::IsSupportedFn>);
static_assert(std::is_same_v<decltype(&GetArchiveInfo), axqvr::GetArchiveInfoFn>);
static_assert(std::is_same_v<decltype(&GetFileInfo), axqvr::GetFileInfoFn>);
static_assert(std::is_same_v<decltype(&GetFile), axqvr::GetFileFn>);
