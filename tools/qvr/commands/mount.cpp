// qvr mount and qvr unmount: the archive is opened, checked and laid out as
// a tree before anything is mounted, so an archive that cannot be read is
// refused with nothing mounted; unmount takes away qvr's mounts and no other.
#include <malloc.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include "commands/commands.h"
#include "commands/open_archive.h"
#include "commands/options.h"
#include "commands/report.h"
#include "mount/fuse.h"
#include "mount/mountinfo.h"
#include "commands/structure.h"

extern char** environ;

namespace qvr::cli {
namespace {

namespace fs = std::filesystem;

// The file system type findmnt shows for a qvr mount.
constexpr std::string_view MountType = "fuse.qvr";

void ReportLeftOut(const BuiltTree& built, const ArchiveHeader& header, bool quiet, Reporter& reporter) {
    if (!quiet)
        for (const auto& left : built.leftOut)
            reporter.Say(fmt::format("entry {} '{}': not shown: {}", left.index, left.name, left.reason));
    else if (!built.leftOut.empty())
        reporter.Say(fmt::format("{} not shown (without -q each is named)",
                                 Count(built.leftOut.size(), "entry", "entries")));
    if (const DirectoryWalk walk{header.entryCount, built.walked}; !walk.Complete())
        reporter.Say(fmt::format("damaged: {}; the {} from there on are not shown", WhereDirectoryEnds(walk),
                                 Count(walk.Unread(), "entry", "entries")));
}

// The type of the file system mounted last at `path`, or "" when none is.
std::string MountedType(const fs::path& path) {
    const auto mounted = MountAt(path);
    return mounted ? mounted->type : std::string();
}

// Why a folder may not take a mount, or "": a mount over another would stack
// them, and one over files would hide them.
std::string MountPointRefusal(const fs::path& folder, bool nonempty) {
    if (const auto type = MountedType(folder); !type.empty())
        return fmt::format("already a mount point ({}); qvr unmount it first", type);
    std::error_code ec;
    if (!nonempty && fs::directory_iterator(folder, ec) != fs::directory_iterator())
        return "not empty: the mount would hide what is in it (--nonempty mounts there anyway)";
    return {};
}

// A mount point as mountinfo names it. A dead FUSE mount cannot be looked
// at, so then the path is only made absolute.
fs::path MountPointPath(const fs::path& given) {
    std::error_code ec;
    auto path = fs::canonical(given, ec);
    return ec ? fs::absolute(given).lexically_normal() : path;
}

// Root unmounts directly; anyone else through fusermount3, which lets
// people take away only their own mounts.
int RemoveMount(const fs::path& path, Reporter& reporter) {
    if (geteuid() == 0) {
        if (umount2(path.c_str(), UMOUNT_NOFOLLOW) == 0) return ExitSuccess;
        reporter.Say(errno == EBUSY ? "busy: a program is still using files or folders in it; not unmounted"
                                    : "cannot unmount: " + LastSystemError());
        return ExitSomeFailed;
    }
    const char* argv[] = {"fusermount3", "-u", "--", path.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "fusermount3", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        reporter.Say("cannot run fusermount3 (Debian's fuse3 package installs it)");
        return ExitSomeFailed;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ExitSuccess : ExitSomeFailed;
}

}  // namespace

Finish SetUpMount(CLI::App& command, MountOptions& options) {
    AddPositional(command, "ARCHIVE", options.archive, "The archive (a file)");
    AddPositional(command, "DIR", options.mountPoint, "The folder to mount it on");
    AddFlag(command, "-f,--foreground", options.foreground,
                     "Serve in the foreground until unmounted or interrupted (Ctrl-C unmounts); by default qvr "
                     "returns once the mount is ready and serves in the background");
    AddFlag(command, "--nonempty", options.nonempty,
                     "Mount over a folder that holds files (hidden while mounted); by default refused");
    AddCommon(command, options.common);
    SetFooter(command, R"(Examples:
  qvr mount data.qvr ~/data                 ls ~/data; open its files with
                                            any program
  qvr mount --encoding CP932 data.qvr ~/data
  qvr unmount ~/data

The folder shows exactly what extract would write, where it would write it:
names are decoded and split into folders as extract does them, names that
extraction refuses are left out, and of entries that share a path the first
is shown; each entry left out is named on standard error with its index.
Files are read-only (0444, folders 0555), owned by whoever mounted, with the
archive's modification time. Reads come straight from the archive; nothing is
extracted. Where a damaged archive ends inside an entry's data, reading that
part fails (EIO). The mount serves the file it opened: replaced by a change
(qvr add), moved or removed, it is served whole as it was; only a change of
its size or modification time (a write in place, touch) makes reads fail
(EIO) until it is mounted again. DIR must be empty (--nonempty allows files)
and not a mount point already. Exit status 2 and nothing mounted when ARCHIVE
is not a QVR archive; 1 when the mount fails or DIR is refused.)");
    return [&options](AfterDashes& rest) -> Done {
        std::string archive = options.archive.string(), point = options.mountPoint.string();
        if (auto taken = rest.Exactly({&archive, &point}, "ARCHIVE DIR"); !taken) return taken;
        options.archive = archive;
        options.mountPoint = point;
        return {};
    };
}

int Mount(const MountOptions& options) {
    Reporter reporter(ArchiveLabel(options.archive));
    if (IsStandardStream(options.archive)) {
        reporter.Say("a mount reads the archive for as long as it is mounted; give a file");
        return ExitBadUsage;
    }
    std::error_code ec;
    if (!fs::is_directory(options.mountPoint, ec)) {
        reporter.Say(fmt::format("{}: not a folder", options.mountPoint.string()));
        return ExitBadUsage;
    }
    const fs::path mountPoint = fs::canonical(options.mountPoint, ec);
    if (ec) {
        reporter.Say(fmt::format("cannot find {}: {}", options.mountPoint.string(), ec.message()));
        return ExitBadUsage;
    }
    if (const auto why = MountPointRefusal(mountPoint, options.nonempty); !why.empty()) {
        reporter.Say(fmt::format("{}: {}; nothing mounted", options.mountPoint.string(), why));
        return ExitSomeFailed;
    }
    // What findmnt shows as the mount's source.
    const fs::path archivePath = fs::absolute(options.archive, ec);
    if (ec) {
        reporter.Say("cannot find: " + ec.message());
        return ExitBadUsage;
    }
    // The directory is walked through a window, never held whole: once to
    // guess the names' encoding, once to build the tree, once for data
    // past the end of the file.
    auto loaded = LoadArchiveHead(options.archive, options.common.encoding, reporter, TalkOf(options.common.quiet));
    if (!loaded) return ExitBadUsage;
    const BuiltTree built = [&] {
        auto walk = loaded->Walk();
        return BuildMountTree(walk, loaded->header.entryCount, loaded->codec);
    }();
    ReportLeftOut(built, loaded->header, options.common.quiet, reporter);
    if (const auto warning = PastEndWarning(*loaded); !warning.empty())
        reporter.Say(warning + "; reading them stops there with an error (EIO)");

    // Serving needs the tree and the file, not the window: let it go, and
    // the builder's working memory with it.
    loaded->window.reset();
    auto source = MountSource::Take(std::move(loaded->file));
    if (!source) {
        reporter.Say("cannot read: " + source.error());
        return ExitBadUsage;
    }
    malloc_trim(0);
    return ServeMount(built.tree, *source, {mountPoint, archivePath.string(), options.foreground}, reporter);
}

Finish SetUpUnmount(CLI::App& command, UnmountOptions& options) {
    AddPositional(command, "DIR", options.mountPoint, "The folder an archive is mounted on");
    AddQuiet(command, options.common);
    SetFooter(command, R"(Examples:
  qvr unmount ~/data

Only qvr's own mounts are taken away (as root directly, otherwise through
fusermount3). A mount still in use by some program stays; exit status 1.)");
    return [&options](AfterDashes& rest) -> Done {
        std::string point = options.mountPoint.string();
        if (auto taken = rest.Exactly({&point}, "DIR"); !taken) return taken;
        options.mountPoint = point;
        return {};
    };
}

int Unmount(const UnmountOptions& options) {
    Reporter reporter(options.mountPoint.string());
    const fs::path path = MountPointPath(options.mountPoint);
    const std::string type = MountedType(path);
    if (type.empty()) {
        reporter.Say("nothing is mounted there");
        return ExitBadUsage;
    }
    if (type != MountType) {
        reporter.Say(fmt::format("not a qvr mount ({}); left alone", type));
        return ExitBadUsage;
    }
    return RemoveMount(path, reporter);
}

}  // namespace qvr::cli
