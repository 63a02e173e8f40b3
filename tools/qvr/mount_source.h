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

#include "mount_tree.h"
#include "platform.h"

namespace qvr::cli {

struct SourceRead {
    std::size_t size = 0;  // bytes placed; 0 at or past the entry's end
    int error = 0;         // an errno value, or 0
};

class MountSource {
public:
    // Takes over the opened archive and notes what it is now, by the
    // descriptor and by `path` (absolute: the server leaves the folder it
    // was started in).
    static std::optional<MountSource> Take(InputFile file, std::filesystem::path path, std::string& error);

    // Up to `into.size()` bytes of `file`'s entry from `offset`, descrambled.
    // Bytes the archive does not hold are an error (EIO), never zeros:
    // where the archive ended inside this entry already when it was
    // mounted (CutShort), the bytes before that end come first and a read
    // from there on fails; any other shortfall fails the whole read. So
    // does any read after the archive changed (Unchanged).
    SourceRead Read(const MountNode& file, std::uint64_t offset, std::span<std::uint8_t> into);

    // True when the archive, as mounted, ends inside this entry's data.
    bool CutShort(const MountNode& file) const noexcept;

    // True while the file at the path is still the one mounted and has not
    // been written to since. The descriptor alone would keep serving a
    // replaced or deleted archive's old bytes, and a file rewritten in place
    // would serve new bytes under the old directory; so both are checked:
    // the path must still lead to the same device and inode, and the held
    // file must keep its size, modification time and change time (which
    // every write moves and no program can set back).
    bool Unchanged() const;

    // The archive's modification time when mounted: every node shows it.
    const struct timespec& ModificationTime() const noexcept { return mounted_.st_mtim; }

private:
    MountSource(InputFile file, std::filesystem::path path, const struct stat& mounted)
        : file_(std::move(file)), path_(std::move(path)), mounted_(mounted) {}
    InputFile file_;
    std::filesystem::path path_;
    struct stat mounted_;
};

}  // namespace qvr::cli
