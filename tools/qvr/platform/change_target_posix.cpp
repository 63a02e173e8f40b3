// The archive a change works on, on POSIX: the file opened in its held
// folder with O_NOFOLLOW, an flock held from loading until the new archive
// has taken its name, and the owner, group and mode carried over.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <fmt/format.h>

#include "platform/platform.h"

namespace qvr::cli {
namespace {

namespace fs = std::filesystem;

FileIdentity IdentityOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Opens the file for writing, which is what is refused on a read-only or
// immutable archive, as the change would be; the lock is taken on it.
Result<File, ChangeTarget::Refused> OpenInFolder(int dir, const fs::path& leaf) {
    using Refusal = ChangeTarget::Refusal;
    using Refused = ChangeTarget::Refused;
    File file(openat(dir, leaf.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.Valid()) return file;
    const int why = errno;
    struct stat st {};
    const bool exists = fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (why == EACCES || why == EPERM || why == EROFS || why == ETXTBSY) {
        return Refused{Refusal::NotWritable,
                       why == EPERM ? "it may not be written (immutable or append-only); not changed"
                                    : fmt::format("it may not be written ({}); not changed", std::strerror(why))};
    }
    if (why == ELOOP || (exists && S_ISLNK(st.st_mode))) {
        return Refused{Refusal::NotAFile, "it became a symbolic link while being opened; not changed"};
    }
    if (why == EISDIR || (exists && !S_ISREG(st.st_mode))) return Refused{Refusal::NotAFile, "not a file"};
    return Refused{Refusal::Failed, "cannot open: " + std::string(std::strerror(why))};
}

}  // namespace

Result<ChangeTarget::Candidate, ChangeTarget::Refused> ChangeTarget::OpenCandidate(const Folder& folder,
                                                                                   const fs::path& leaf) {
    auto opened = OpenInFolder(folder.handle_->Get(), leaf);
    if (!opened) return opened.failure();
    File file = std::move(*opened);
    struct stat st {};
    if (fstat(file.Get(), &st) != 0) return Refused{Refusal::Failed, LastSystemError()};
    if (!S_ISREG(st.st_mode)) return Refused{Refusal::NotAFile, "not a file"};
    return Candidate{std::move(file), IdentityOf(st)};
}

Result<bool> ChangeTarget::Lock(const File& file, bool wait) {
    int r;
    while ((r = flock(file.Get(), LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
    }
    if (r == 0) return true;
    if (errno == EWOULDBLOCK && !wait) return false;
    return Fail(LastSystemError());
}

std::uint64_t ChangeTarget::NameCount(const File& file) {
    struct stat st {};
    return fstat(file.Get(), &st) == 0 ? static_cast<std::uint64_t>(st.st_nlink) : 1;
}

Result<InputFile> ChangeTarget::Read() const {
    File copy(fcntl(file_.Get(), F_DUPFD_CLOEXEC, 0));
    if (!copy.Valid()) return Fail(LastSystemError());
    // Opened without blocking (a FIFO swapped in must not hang the open);
    // reads from here on should wait as usual.
    fcntl(copy.Get(), F_SETFL, fcntl(copy.Get(), F_GETFL) & ~O_NONBLOCK);
    return InputFile::Adopt(std::move(copy));
}

std::string ChangeTarget::KeepOwnership(TempOutput& replacement) const {
    struct stat st {};
    if (fstat(file_.Get(), &st) != 0) return "its owner and permissions could not be read: " + LastSystemError();
    const int fd = replacement.file_.Get();
    bool ownerKept = fchown(fd, st.st_uid, st.st_gid) == 0;
    bool groupKept = ownerKept;
    if (!ownerKept) {
        // Only root gives a file away; a member of the group may keep it.
        groupKept = fchown(fd, static_cast<uid_t>(-1), st.st_gid) == 0;
        ownerKept = st.st_uid == geteuid();
        struct stat made {};
        if (fstat(fd, &made) == 0) groupKept = made.st_gid == st.st_gid;
    }
    std::uint32_t mode = st.st_mode & 07777;
    std::string said;
    if (!ownerKept || !groupKept) {
        said = fmt::format("its {} could not be kept (the changed archive belongs to {}:{}, not {}:{})",
                           !ownerKept && !groupKept ? "owner and group" : !ownerKept ? "owner" : "group", geteuid(),
                           getegid(), st.st_uid, st.st_gid);
        // Set-id bits on a file whose bytes someone else chose would hand
        // that someone the new owner's rights.
        if (mode & (S_ISUID | S_ISGID)) said += "; its set-user-id and set-group-id bits were dropped";
        mode &= ~static_cast<std::uint32_t>(S_ISUID | S_ISGID);
    }
    replacement.mode_ = mode;
    return said;
}

Result<CommitStatus> ChangeTarget::Replace(TempOutput& replacement) {
    auto status = replacement.Commit(leaf_, CommitRules{true, true, identity_});
    // The lock goes with the old file, only once the new one has its name.
    file_ = File();
    return status;
}

}  // namespace qvr::cli
