#include "archive_source.h"

#include "memory_bounds.h"

namespace axqvr {

ResultCode ToResultCode(qvr::OpenStatus status) noexcept {
    switch (status) {
        case qvr::OpenStatus::Success: return ResultCode::Success;
        case qvr::OpenStatus::UnrecognisedFormat: return ResultCode::UnrecognisedFormat;
        // Hosts know a directory that cannot be had as a memory error,
        // whether the archive or the machine is at fault.
        case qvr::OpenStatus::DamagedDirectory: return ResultCode::MemoryError;
        case qvr::OpenStatus::OutOfMemory: return ResultCode::MemoryError;
    }
    return ResultCode::MemoryError;
}

ResultCode OpenSource(const char* source, std::int32_t length, std::uint32_t inputKind, OpenedSource& out) {
    // No source at all reads like one that cannot be read.
    if (inputKind == static_cast<std::uint32_t>(InputKind::Memory)) {
        if (source == nullptr) return ResultCode::UnrecognisedFormat;
        return ToResultCode(qvr::OpenArchiveImage(BoundedImage(source, length), out.archive));
    }
    if (source == nullptr) return ResultCode::OpenFailed;
    out.file.emplace(OpenArchiveForReading(source));
    if (!out.file->Valid()) return ResultCode::OpenFailed;
    // No archive can begin before the file does.
    if (length < 0) return ResultCode::UnrecognisedFormat;
    Win32FileSource bytes(out.file->Get(), 0);
    return ToResultCode(qvr::OpenArchiveFile(bytes, static_cast<std::uint64_t>(length), out.archive));
}

}  // namespace axqvr
