#include "archive_source.h"

#include "memory_bounds.h"

namespace axqvr {

ResultCode ToResultCode(qvr::OpenStatus status) noexcept {
    switch (status) {
        case qvr::OpenStatus::Success: return ResultCode::Success;
        case qvr::OpenStatus::UnrecognisedFormat: return ResultCode::UnrecognisedFormat;
        case qvr::OpenStatus::MemoryError: return ResultCode::MemoryError;
    }
    return ResultCode::MemoryError;
}

ResultCode OpenArchiveInFile(HANDLE file, std::uint64_t archiveOffset, OpenedFileArchive& out) {
    // The literal build (axqvr_literal) always reads the whole directory; it
    // exists only so that benchmarks can measure the view against it.
#ifndef AXQVR_LITERAL_WALK
    out.view.emplace(file, archiveOffset);
    if (out.view->Valid())
        return ToResultCode(qvr::OpenArchiveView(out.view->Bytes(), out.view->ArchiveOffset(), out.archive));
    out.view.reset();
#endif
    Win32FileSource bytes(file);
    return ToResultCode(qvr::OpenArchiveFile(bytes, archiveOffset, out.archive));
}

ResultCode OpenSource(const char* source, std::int32_t length, std::uint32_t inputKind, OpenedSource& out) {
    if (inputKind == static_cast<std::uint32_t>(InputKind::Memory))
        return ToResultCode(qvr::OpenArchiveImage(BoundedImage(source, length), out.opened.archive));

    out.file.emplace(OpenArchiveForReading(source));
    if (!out.file->Valid()) return ResultCode::OpenFailed;
    // No archive can begin before the file does.
    if (length < 0) return ResultCode::UnrecognisedFormat;
    return OpenArchiveInFile(out.file->Get(), static_cast<std::uint64_t>(length), out.opened);
}

}  // namespace axqvr
