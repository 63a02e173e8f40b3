// The archive a change works on, on POSIX: the folder held open, the file
// opened in it without following a link, an flock held from loading until
// the new archive has taken its name.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <fmt/format.h>

#include "platform.h"

namespace qvr::cli {
namespace {

namespace fs = std::filesystem;

FileIdentity IdentityOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// The file and the folder it is in, links in the archive's own name
// followed once, here; from now on the folder is reached only through its
// open handle.
struct Place {
    fs::path folder;
    fs::path leaf;
};

std::optional<Place> Resolve(const fs::path& archive, std::string& error) {
    std::error_code ec;
    fs::path target = archive;
    if (fs::is_symlink(archive, ec)) {
        target = fs::canonical(archive, ec);
        if (ec) {
            error = "cannot follow the link: " + ec.message();
            return std::nullopt;
        }
    }
    if (!target.has_filename()) {
        error = "not a file";
        return std::nullopt;
    }
    return Place{target.has_parent_path() ? target.parent_path() : fs::path("."), target.filename()};
}

// Opens the file for writing, which is what is refused on a read-only or
// immutable archive, as the change would be; the lock is taken on it.
int OpenInFolder(int dir, const fs::path& leaf, ChangeTarget::Refusal& refusal, std::string& error) {
    const int fd = openat(dir, leaf.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) return fd;
    const int why = errno;
    struct stat st {};
    const bool exists = fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (why == EACCES || why == EPERM || why == EROFS || why == ETXTBSY) {
        refusal = ChangeTarget::Refusal::NotWritable;
        error = why == EPERM ? "it may not be written (immutable or append-only); not changed"
                             : fmt::format("it may not be written ({}); not changed", std::strerror(why));
    } else if (why == ELOOP || (exists && S_ISLNK(st.st_mode))) {
        refusal = ChangeTarget::Refusal::NotAFile;
        error = "it became a symbolic link while being opened; not changed";
    } else if (why == EISDIR || (exists && !S_ISREG(st.st_mode))) {
        refusal = ChangeTarget::Refusal::NotAFile;
        error = "not a file";
    } else {
        refusal = ChangeTarget::Refusal::Failed;
        error = "cannot open: " + std::string(std::strerror(why));
    }
    return -1;
}

}  // namespace

ChangeTarget::ChangeTarget(ChangeTarget&&) noexcept = default;
ChangeTarget::~ChangeTarget() = default;

ChangeTarget::Opened ChangeTarget::Open(const fs::path& archive, bool wait, bool breakLinks,
                                        const std::function<void()>& onWait) {
    Opened out;
    const auto place = Resolve(archive, out.error);
    if (!place) return out;
    auto folder = Folder::OpenRoot(place->folder, false, out.error);
    if (!folder) {
        out.error = "cannot open its folder: " + out.error;
        return out;
    }
    const int dir = folder->handle_->Get();
    bool waited = false;
    // A change that finished while this one waited has put a new file under
    // the name: the lock on the old one is worth nothing, so take the new one.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        File file(OpenInFolder(dir, place->leaf, out.refusal, out.error));
        if (!file.Valid()) return out;
        struct stat st {};
        if (fstat(file.Get(), &st) != 0) {
            out.error = LastSystemError();
            return out;
        }
        if (!S_ISREG(st.st_mode)) {
            out.refusal = Refusal::NotAFile;
            out.error = "not a file";
            return out;
        }
        if (flock(file.Get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK) {
                out.error = "cannot lock it: " + LastSystemError();
                return out;
            }
            if (!wait) {
                out.refusal = Refusal::Busy;
                out.error = "another qvr is changing it (--no-wait); not changed";
                return out;
            }
            if (!waited && onWait) onWait();
            waited = true;
            int r;
            while ((r = flock(file.Get(), LOCK_EX)) != 0 && errno == EINTR) {
            }
            if (r != 0) {
                out.error = "cannot lock it: " + LastSystemError();
                return out;
            }
        }
        if (folder->IdentityOf(place->leaf) != IdentityOf(st)) continue;
        if (fstat(file.Get(), &st) != 0) {
            out.error = LastSystemError();
            return out;
        }
        if (st.st_nlink > 1 && !breakLinks) {
            out.refusal = Refusal::HardLinks;
            out.error = fmt::format("it has {} other names (hard links), which would keep the old archive; not "
                                    "changed (--break-links changes this name only)",
                                    st.st_nlink - 1);
            return out;
        }
        ChangeTarget target;
        target.folder_ = std::move(*folder);
        target.leaf_ = place->leaf;
        target.file_ = std::move(file);
        target.identity_ = IdentityOf(st);
        out.target.emplace(std::move(target));
        return out;
    }
    out.error = "it keeps being replaced; not changed";
    return out;
}

std::optional<InputFile> ChangeTarget::Read(std::string& error) const {
    File copy(fcntl(file_.Get(), F_DUPFD_CLOEXEC, 0));
    if (!copy.Valid()) {
        error = LastSystemError();
        return std::nullopt;
    }
    // Opened without blocking (a FIFO swapped in must not hang the open);
    // reads from here on should wait as usual.
    fcntl(copy.Get(), F_SETFL, fcntl(copy.Get(), F_GETFL) & ~O_NONBLOCK);
    return InputFile::Adopt(std::move(copy), error);
}

std::optional<TempOutput> ChangeTarget::CreateReplacement(std::string& error) const {
    return folder_->CreateTemp(error);
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

CommitStatus ChangeTarget::Replace(TempOutput& replacement, std::string& error) {
    const auto status = replacement.Commit(leaf_, CommitRules{true, true, identity_}, error);
    // The lock goes with the old file, only once the new one has its name.
    file_ = File();
    return status;
}

}  // namespace qvr::cli
