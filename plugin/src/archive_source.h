// Opening the archive an export names, from either kind of source.
#pragma once

#include <cstdint>
#include <optional>

#include "axqvr/contract.h"
#include "file_source.h"
#include "qvr/open.h"

namespace axqvr {

// The one place where what the archive core says of an archive becomes
// what a host is told.
ResultCode ToResultCode(qvr::OpenStatus status) noexcept;

// A file archive's handle, closed when this goes; empty for a memory source.
struct OpenedSource {
    std::optional<FileHandle> file;
    qvr::OpenedArchive archive;
};

// InputKind 0: opens the file at `source` and the archive `length` bytes
// into it. InputKind 1: the image at `source`, bounded by the readable
// memory there and by a positive `length`. The caller has checked the kind.
ResultCode OpenSource(const char* source, std::int32_t length, std::uint32_t inputKind, OpenedSource& out);

}  // namespace axqvr
