#include "mount/source.h"

#include <algorithm>
#include <cerrno>

#include "qvr/scramble.h"

namespace qvr::cli {
namespace {

bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

Result<MountSource> MountSource::Take(InputFile file) {
    struct stat st {};
    if (fstat(file.Handle(), &st) != 0) return Fail(LastSystemError());
    return MountSource(std::move(file), st);
}

bool MountSource::CutShort(const MountNode& file) const noexcept {
    return std::uint64_t{file.dataOffset} + file.dataSize > static_cast<std::uint64_t>(mounted_.st_size);
}

bool MountSource::Unchanged() const {
    struct stat now {};
    return fstat(file_.Handle(), &now) == 0 && now.st_size == mounted_.st_size &&
           SameTime(now.st_mtim, mounted_.st_mtim);
}

SourceRead MountSource::Read(const MountNode& file, std::uint64_t offset, std::span<std::uint8_t> into) {
    if (offset >= file.dataSize) return {};
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), file.dataSize - offset));
    const std::size_t got = file_.ReadAt(std::uint64_t{file.dataOffset} + offset, into.first(want));
    // Checked after the read: a writer moves the times before its bytes
    // can be read, so bytes read before an unchanged check are the
    // mounted archive's own.
    if (!Unchanged()) return {0, EIO};
    if (got < want && (got == 0 || !CutShort(file))) return {0, EIO};
    for (std::uint64_t i = offset; i < std::min<std::uint64_t>(offset + got, ScrambledContentSize); ++i)
        into[i - offset] ^= ContentMask(i);
    return {got, 0};
}

}  // namespace qvr::cli
