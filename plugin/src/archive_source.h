// Opening the archive an export names, from either kind of source.
#pragma once

#include <cstdint>
#include <optional>

#include "axqvr/contract.h"
#include "file_source.h"
#include "qvr/open.h"

namespace axqvr {

ResultCode ToResultCode(qvr::OpenStatus status) noexcept;

// An archive opened in a file: the view its directory may lie in, when the
// file could be mapped. The view outlives the archive that points into it.
struct OpenedFileArchive {
    std::optional<FileView> view;
    qvr::OpenedArchive archive;
};

// Opens the archive `archiveOffset` bytes into the open file: through a
// view of the file where it can be mapped, otherwise by reading the
// directory. Both give the same results; the view reads only what a walk
// touches.
ResultCode OpenArchiveInFile(HANDLE file, std::uint64_t archiveOffset, OpenedFileArchive& out);

// A file archive's handle, closed when this goes; empty for a memory source.
struct OpenedSource {
    std::optional<FileHandle> file;
    OpenedFileArchive opened;
    const qvr::OpenedArchive& Archive() const noexcept { return opened.archive; }
};

// InputKind 0: opens the file at `source` and the archive `length` bytes
// into it. InputKind 1: the image at `source`, bounded by the readable
// memory there and by a positive `length`. The caller has checked the kind.
ResultCode OpenSource(const char* source, std::int32_t length, std::uint32_t inputKind, OpenedSource& out);

}  // namespace axqvr
