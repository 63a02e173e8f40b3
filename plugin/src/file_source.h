// Archive files on disk: opening them as the host contract says, and
// reading them through the archive core's byte-source interface.
#pragma once

#include <cstdint>
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

// A read-only mapping of the part of a file that an archive's head and
// directory can occupy, from `archiveOffset` on. A walk then touches only
// the pages it passes over, instead of reading the whole directory first.
// Empty when the file cannot be mapped (an empty file, a device, no address
// space) or holds nothing from `archiveOffset` on; callers then read it.
class FileView {
public:
    FileView(HANDLE file, std::uint64_t archiveOffset) noexcept;
    ~FileView();
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;

    bool Valid() const noexcept { return view_ != nullptr; }
    // The mapped bytes; they begin at a mapping boundary at or before the
    // archive's first byte.
    std::span<const std::uint8_t> Bytes() const noexcept { return {view_, size_}; }
    // Where the archive's first byte lies within Bytes().
    std::uint64_t ArchiveOffset() const noexcept { return archiveOffset_; }

private:
    HANDLE mapping_ = nullptr;
    const std::uint8_t* view_ = nullptr;
    std::size_t size_ = 0;
    std::uint64_t archiveOffset_ = 0;
};

// Reads at 64-bit positions, so data at and beyond 2 GiB come from where
// they really are. A failed seek or read ends the bytes that exist.
class Win32FileSource final : public qvr::ByteSource {
public:
    explicit Win32FileSource(HANDLE file) noexcept : file_(file) {}
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) noexcept override;

private:
    HANDLE file_;
};

}  // namespace axqvr
