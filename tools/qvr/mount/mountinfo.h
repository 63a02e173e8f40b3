// What the kernel says is mounted where, from /proc/self/mountinfo: the
// one reader of that file for mounting, unmounting and the mount's own
// tuning. Linux only.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qvr::cli {

struct MountRecord {
    std::string device;  // "MAJOR:MINOR", as /sys/class/bdi names a mount's own
    std::string type;    // "ext4", "fuse.qvr", ...
};

// The mount placed last at `path` (absolute, without symbolic links), the
// one that shows there; nothing when none is.
std::optional<MountRecord> MountAt(const std::filesystem::path& path);

// One line of mountinfo, read as MountAt reads it, for `path`; exposed for
// tests. Paths there write space, tab, newline and backslash as a backslash
// and three octal digits.
std::optional<MountRecord> MountRecordOf(std::string_view line, const std::filesystem::path& path);

}  // namespace qvr::cli
