// A mount tree served through the kernel's FUSE interface (libfuse3, its
// low-level API: node numbers are tree nodes, so no path is ever resolved
// twice). Linux only.
#pragma once

#include <filesystem>
#include <string>

#include "commands/exit_status.h"
#include "commands/report.h"
#include "mount/source.h"
#include "mount/tree.h"

namespace qvr::cli {

struct ServeOptions {
    std::filesystem::path mountPoint;  // absolute
    std::string source;                // what findmnt shows as the source: the archive
    bool foreground = false;
};

// Mounts `tree` read-only at the mount point and serves it, on several
// threads, until it is unmounted or, in the foreground, interrupted. In the
// background the calling process exits with status 0 as soon as the mount
// is in place, and a child serves on. Whatever fails once the mount is in
// place unmounts it again. Returns an ExitStatus.
int ServeMount(const MountTree& tree, MountSource& source, const ServeOptions& options, Reporter& reporter);

}  // namespace qvr::cli
