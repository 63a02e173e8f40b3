// Archive files on disk: opening them as the host contract says, and
// reading them through the archive core's byte-source interface.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include <windows.h>

#include "qvr/open.h"

namespace axqvr {

// An open file handle, closed on every path.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle) noexcept : handle_(handle) {}
    ~FileHandle() {
        if (Valid()) CloseHandle(handle_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool Valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE Get() const noexcept { return handle_; }

private:
    HANDLE handle_;
};

// Opens an archive for reading: GENERIC_READ, shared for reading only,
// existing files only. Invalid when CreateFileA fails.
HANDLE OpenArchiveForReading(const char* path) noexcept;

// Reads at 64-bit positions, so data at and beyond 2 GiB come from where
// they really are. A failed seek or read ends the bytes that exist.
// A read that starts where the last one ended needs no seek: under Wine
// a seek costs about as much as reading 32 KiB, and a directory is read
// piece after piece.
class Win32FileSource final : public qvr::ByteSource {
public:
    // `file` is at `position` (a handle just opened is at 0), or at no
    // known place.
    explicit Win32FileSource(HANDLE file, std::optional<std::uint64_t> position = std::nullopt) noexcept
        : file_(file), position_(position) {}
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) noexcept override;

private:
    HANDLE file_;
    std::optional<std::uint64_t> position_;
};

}  // namespace axqvr
