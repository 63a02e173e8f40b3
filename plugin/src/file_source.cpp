#include "file_source.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace axqvr {
namespace {

// ReadFile takes a 32-bit count; larger reads go in pieces.
constexpr std::size_t ReadPiece = std::size_t{1} << 30;

}  // namespace

HANDLE OpenArchiveForReading(const char* path) noexcept {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::size_t Win32FileSource::ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) noexcept {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max())) return 0;
    if (position_ != offset) {
        position_.reset();
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(offset);
        if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) return 0;
    }

    std::size_t total = 0;
    bool failed = false;
    while (total < into.size()) {
        const auto want = static_cast<DWORD>(std::min(into.size() - total, ReadPiece));
        DWORD got = 0;
        failed = !ReadFile(file_, into.data() + total, want, &got, nullptr);
        if (failed || got == 0) break;
        total += got;
    }
    // After a failed read the handle's place is not known.
    if (failed) position_.reset();
    else position_ = offset + total;
    return total;
}

}  // namespace axqvr
