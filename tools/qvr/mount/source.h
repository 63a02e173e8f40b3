// The bytes of a mounted archive's entries, read straight from the archive
// file at their offsets (pread on one descriptor, so any number of threads
// may read at once) and descrambled on the way. POSIX only.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "mount/tree.h"
#include "platform/platform.h"

namespace qvr::cli {

struct SourceRead {
    std::size_t size = 0;  // bytes placed; 0 at or past the entry's end
    int error = 0;         // an errno value, or 0
};

class MountSource {
public:
    // Takes over the opened archive and notes its size and modification time.
    static Result<MountSource> Take(InputFile file);

    // Up to `into.size()` bytes of `file`'s entry from `offset`, descrambled.
    // Bytes the archive does not hold are an error (EIO), never zeros:
    // where the archive ended inside this entry already when it was
    // mounted (CutShort), the bytes before that end come first and a read
    // from there on fails; any other shortfall fails the whole read. So
    // does any read after the archive changed (Unchanged).
    SourceRead Read(const MountNode& file, std::uint64_t offset, std::span<std::uint8_t> into);

    // True when the archive, as mounted, ends inside this entry's data.
    bool CutShort(const MountNode& file) const noexcept;

    // True while the file opened has kept its size and modification time,
    // which every write moves: its bytes are then the ones the tree was
    // built from. The path is not looked at: an archive replaced by a
    // change (a new file renamed over it) or removed is still open here and
    // is served whole, and chmod, ln or mv there and back change nothing
    // that is read. Only a file rewritten in place would serve new bytes
    // under the old directory.
    bool Unchanged() const;

    // The archive file, for replies the kernel reads from it directly.
    int Handle() const noexcept { return file_.Handle(); }

    // The archive's modification time when mounted: every node shows it.
    const struct timespec& ModificationTime() const noexcept { return mounted_.st_mtim; }

private:
    MountSource(InputFile file, const struct stat& mounted) : file_(std::move(file)), mounted_(mounted) {}
    InputFile file_;
    struct stat mounted_;
};

}  // namespace qvr::cli
