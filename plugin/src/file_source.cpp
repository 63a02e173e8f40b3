#include "file_source.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "qvr/format.h"

namespace axqvr {
namespace {

// ReadFile takes a 32-bit count; larger reads go in pieces.
constexpr std::size_t ReadPiece = std::size_t{1} << 30;

// Views begin at multiples of the allocation granularity, 64 KiB on every
// Windows version.
constexpr std::uint64_t ViewAlignment = 0x10000;

// An opener reads no further than the header and the longest directory an
// entry count allows.
constexpr std::uint64_t HeadAndDirectoryReach = qvr::HeaderSize + qvr::MaxEntryCount * qvr::MaxEntrySize;
static_assert(ViewAlignment + HeadAndDirectoryReach < std::numeric_limits<std::uint32_t>::max(),
              "a view's size fits every size_t");

}  // namespace

FileView::FileView(HANDLE file, std::uint64_t archiveOffset) noexcept {
    LARGE_INTEGER fileSize{};
    if (!GetFileSizeEx(file, &fileSize) || fileSize.QuadPart <= 0) return;
    const auto size = static_cast<std::uint64_t>(fileSize.QuadPart);
    if (archiveOffset >= size) return;

    const std::uint64_t base = archiveOffset - archiveOffset % ViewAlignment;
    const std::uint64_t end = std::min(size, archiveOffset + HeadAndDirectoryReach);

    mapping_ = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping_ == nullptr) return;
    const void* view = MapViewOfFile(mapping_, FILE_MAP_READ, static_cast<DWORD>(base >> 32),
                                     static_cast<DWORD>(base), static_cast<SIZE_T>(end - base));
    if (view == nullptr) {
        CloseHandle(mapping_);
        mapping_ = nullptr;
        return;
    }
    view_ = static_cast<const std::uint8_t*>(view);
    size_ = static_cast<std::size_t>(end - base);
    archiveOffset_ = archiveOffset - base;
}

FileView::~FileView() {
    if (view_ != nullptr) UnmapViewOfFile(view_);
    if (mapping_ != nullptr) CloseHandle(mapping_);
}

HANDLE OpenArchiveForReading(const char* path) noexcept {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::size_t Win32FileSource::ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) noexcept {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max())) return 0;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) return 0;

    std::size_t total = 0;
    while (total < into.size()) {
        const auto want = static_cast<DWORD>(std::min(into.size() - total, ReadPiece));
        DWORD got = 0;
        if (!ReadFile(file_, into.data() + total, want, &got, nullptr) || got == 0) break;
        total += got;
    }
    return total;
}

}  // namespace axqvr
