// POSIX file operations: positioned reads, in-kernel copies, and folders
// reached with O_NOFOLLOW so no symbolic link is ever written through.
#include <fcntl.h>
#include <dirent.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "names/names.h"
#include "platform/platform.h"
#include "platform/temp_registry.h"
#include "qvr/scramble.h"

namespace qvr::cli {
namespace {

constexpr int NoHandle = -1;

// Entries up to this size are read with one pread and written with one write.
constexpr std::size_t SmallCopy = std::size_t{64} << 10;
constexpr std::size_t CopyBuffer = std::size_t{1} << 20;

extern "C" void OnInterrupt(int sig) {
    RemoveRegisteredTemporaries();
    signal(sig, SIG_DFL);
    raise(sig);
}

FileIdentity IdentityOfStat(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool ReadExactly(int fd, std::uint64_t offset, std::span<std::uint8_t> into, std::size_t& got) {
    got = 0;
    while (got < into.size()) {
        const ssize_t r = pread(fd, into.data() + got, into.size() - got, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return r == 0;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

void ApplyMask(std::span<std::uint8_t> bytes) { DescrambleContent(bytes); }

// Copies bytes as they are, by the kernel where it can, else through
// memory. Between files copy_file_range comes first (a file system may
// share or copy the blocks itself); where it refuses, as between two file
// systems, sendfile still copies each page once inside the kernel, where a
// copy through memory copies it twice. Returns the bytes written; fewer:
// the source ended early.
Result<std::uint64_t> CopyBytes(int src, std::uint64_t offset, std::uint64_t size, int to, bool toIsStream) {
    std::uint64_t done = 0;
    off_t at = static_cast<off_t>(offset);
    bool useSendfile = toIsStream;
    while (done < size) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, std::uint64_t{1} << 30));
        const ssize_t r = useSendfile ? sendfile(to, src, &at, want) : copy_file_range(src, &at, to, nullptr, want, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                      errno == EBADF)) {
            if (useSendfile) break;  // not between these two: copy through memory
            useSendfile = true;
            continue;
        }
        if (r < 0) return Fail(std::strerror(errno));
        if (r == 0) return done;  // the source ends early
        done += static_cast<std::uint64_t>(r);
    }
    // The buffer is made (and its megabyte touched) only when the kernel
    // could not copy everything: one entry to standard output would
    // otherwise spend more on it than on its bytes.
    if (done == size) return done;
    auto& buffer = ThreadBuffer(CopyBuffer);
    std::size_t got = 0;
    while (done < size) {
        const auto chunk = std::span(buffer).first(
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, buffer.size())));
        if (!ReadExactly(src, offset + done, chunk, got)) return Fail(std::strerror(errno));
        if (auto written = WriteAll(to, chunk.first(got)); !written) return written.failure();
        done += got;
        if (got < chunk.size()) return done;
    }
    return done;
}

}  // namespace

std::string LastSystemError() { return std::strerror(errno); }

File::File() noexcept : h_(NoHandle) {}
File::File(File&& other) noexcept : h_(other.h_) { other.h_ = NoHandle; }
File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (h_ != NoHandle) close(h_);
        h_ = other.h_;
        other.h_ = NoHandle;
    }
    return *this;
}
File::~File() {
    if (h_ != NoHandle) close(h_);
}
bool File::Valid() const noexcept { return h_ != NoHandle; }

Result<InputFile> InputFile::Open(const std::filesystem::path& path) {
    File f(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!f.Valid()) return Fail(LastSystemError());
    return Adopt(std::move(f));
}

namespace {

// Opened without blocking, so that a FIFO put in a file's place cannot stop
// the run. The flag changes nothing for a regular file, so only what is
// not one has it taken off.
Result<InputFile> OpenToPackAt(int folder, const char* path, bool followLinks) {
    File f(openat(folder, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW)));
    if (!f.Valid())
        return Fail(errno == ELOOP && !followLinks ? std::string("is a symbolic link") : LastSystemError());
    const int fd = f.Get();
    auto in = InputFile::Adopt(std::move(f));
    if (in && in->Size() == 0) fcntl(fd, F_SETFL, 0);
    return in;
}

}  // namespace

Result<InputFile> InputFile::OpenToPack(const std::filesystem::path& path, bool followLinks) {
    return OpenToPackAt(AT_FDCWD, path.c_str(), followLinks);
}

Result<InputFile> InputFile::OpenToPack(const SourceFolder& folder, const NativePath& leaf, bool followLinks) {
    return OpenToPackAt(folder.handle_.Get(), leaf.c_str(), followLinks);
}

std::optional<std::uint64_t> InputFile::CurrentSize() const noexcept {
    struct stat st {};
    if (fstat(file_.Get(), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

Result<InputFile> InputFile::Adopt(File f) {
    struct stat st {};
    if (fstat(f.Get(), &st) != 0) return Fail(LastSystemError());
    if (S_ISDIR(st.st_mode)) return Fail("is a folder");
    InputFile in;
    in.file_ = std::move(f);
    in.size_ = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    in.identity_ = IdentityOfStat(st);
    return in;
}

Result<InputFile> InputFile::SpoolStandardInput() {
    if (isatty(STDIN_FILENO) == 1) return Fail("it is a terminal; give an archive's name, or send one through a pipe");
    struct stat st {};
    if (fstat(STDIN_FILENO, &st) != 0) return Fail(LastSystemError());
    InputFile in;
    if (S_ISREG(st.st_mode)) {
        // A redirected file is read in place, at its own offsets.
        in.file_ = File(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
        if (!in.file_.Valid()) return Fail(LastSystemError());
        in.size_ = static_cast<std::uint64_t>(st.st_size);
        in.identity_ = IdentityOfStat(st);
        return in;
    }
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = tmp && *tmp ? tmp : "/tmp";
    // A file without a name is gone when closed, whatever ends the run.
    File spool(open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!spool.Valid()) {
        std::string templ = folder + "/.qvr-stdin-XXXXXX";
        spool = File(mkostemp(templ.data(), O_CLOEXEC));
        if (spool.Valid()) unlink(templ.c_str());
    }
    if (!spool.Valid()) return Fail("cannot make a temporary file in " + folder + ": " + LastSystemError());
    const auto total = SpoolStandardInputTo(spool.Get());
    if (!total) return total.failure();
    if (fstat(spool.Get(), &st) != 0) return Fail(LastSystemError());
    in.file_ = std::move(spool);
    in.size_ = *total;
    in.identity_ = IdentityOfStat(st);
    return in;
}

Result<std::size_t> ReadStandardInput(std::span<std::uint8_t> into) {
    for (;;) {
        const ssize_t r = read(STDIN_FILENO, into.data(), into.size());
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return Fail(LastSystemError());
        return static_cast<std::size_t>(r);
    }
}

std::size_t InputFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) {
    std::size_t got = 0;
    ReadExactly(file_.Get(), offset, into, got);
    return got;
}

std::size_t InputFile::ReadOnceAt(std::uint64_t offset, std::span<std::uint8_t> into) {
    for (;;) {
        const ssize_t r = pread(file_.Get(), into.data(), into.size(), static_cast<off_t>(offset));
        if (r < 0 && errno == EINTR) continue;
        return r < 0 ? 0 : static_cast<std::size_t>(r);
    }
}

Done WriteAll(NativeHandle to, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t w = write(to, bytes.data(), bytes.size());
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return Fail(LastSystemError());
        bytes = bytes.subspan(static_cast<std::size_t>(w));
    }
    return {};
}

Result<std::uint64_t> CopyMasked(const InputFile& from, std::uint64_t offset, std::uint64_t size, NativeHandle to,
                                 bool toIsStream) {
    const int src = from.Handle();
    // Small entries: one read, one write.
    if (size <= SmallCopy) {
        auto& buffer = ThreadBuffer(SmallCopy);
        const auto chunk = std::span(buffer).first(static_cast<std::size_t>(size));
        std::size_t got = 0;
        if (!ReadExactly(src, offset, chunk, got)) return Fail(LastSystemError());
        if (got < chunk.size()) return std::uint64_t{0};  // the source ends early: write nothing
        ApplyMask(chunk);
        if (auto written = WriteAll(to, chunk); !written) return written.failure();
        return size;
    }

    // The scrambled head goes through memory; the rest is copied by the kernel.
    std::array<std::uint8_t, ScrambledContentSize> head{};
    std::size_t got = 0;
    if (!ReadExactly(src, offset, head, got)) return Fail(LastSystemError());
    if (got < head.size()) return std::uint64_t{0};
    ApplyMask(head);
    if (auto written = WriteAll(to, head); !written) return written.failure();

    const auto rest = CopyBytes(src, offset + head.size(), size - head.size(), to, toIsStream);
    if (!rest) return rest;
    return head.size() + *rest;
}

Result<std::uint64_t> CopyStored(const InputFile& from, std::uint64_t offset, std::uint64_t size, NativeHandle to) {
    return CopyBytes(from.Handle(), offset, size, to, false);
}

void StartWriteOut(NativeHandle file) noexcept { sync_file_range(file, 0, 0, SYNC_FILE_RANGE_WRITE); }

NativeHandle StandardOutput() noexcept { return STDOUT_FILENO; }

Result<Folder> Folder::OpenRoot(const std::filesystem::path& path, bool create) {
    std::error_code ec;
    if (create && (std::filesystem::create_directories(path, ec), ec)) return Fail(ec.message());
    File f(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!f.Valid()) return Fail(LastSystemError());
    Folder folder;
    folder.handle_ = std::make_shared<const File>(std::move(f));
    folder.path_ = path;
    return folder;
}

Result<Folder> Folder::Descend(const std::filesystem::path& relative) const {
    Folder at = *this;
    for (const auto& part : relative) {
        const int parent = at.handle_->Get();
        if (mkdirat(parent, part.c_str(), 0777) != 0 && errno != EEXIST)
            return Fail("cannot create folder " + (at.path_ / part).string() + ": " + LastSystemError());
        File f(openat(parent, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!f.Valid()) {
            const std::string why = LastSystemError();
            struct stat st {};
            const bool isLink = fstatat(parent, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
            const bool isOther = !isLink && fstatat(parent, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                 !S_ISDIR(st.st_mode);
            return Fail((at.path_ / part).string() + (isLink    ? ": is a symbolic link; not followed"
                                                      : isOther ? ": exists and is not a folder"
                                                                : ": " + why));
        }
        Folder next;
        next.handle_ = std::make_shared<const File>(std::move(f));
        next.path_ = at.path_ / part;
        at = std::move(next);
    }
    return at;
}

namespace {

NodeKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) return NodeKind::File;
    if (S_ISDIR(mode)) return NodeKind::Folder;
    if (S_ISLNK(mode)) return NodeKind::Link;
    return NodeKind::Other;
}

}  // namespace

Result<SourceFolder> SourceFolder::Open(const NativePath& path) {
    SourceFolder folder;
    folder.path_ = path;
    folder.handle_ = File(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!folder.handle_.Valid() || fstat(folder.handle_.Get(), &st) != 0) return Fail(LastSystemError());
    folder.identity_ = IdentityOfStat(st);
    return folder;
}

Result<SourceFolder> SourceFolder::Enter(const NativePath& leaf, NativePath path) const {
    SourceFolder folder;
    folder.path_ = std::move(path);
    folder.handle_ = File(openat(handle_.Get(), leaf.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!folder.handle_.Valid() || fstat(folder.handle_.Get(), &st) != 0) return Fail(LastSystemError());
    folder.identity_ = IdentityOfStat(st);
    return folder;
}

Result<SourceFolder::Node> SourceFolder::Look(const NativePath& leaf, bool followLinks) const {
    struct stat st {};
    const int dir = handle_.Get();
    Node node;
    if (fstatat(dir, leaf.c_str(), &st, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        // Whether it is a link that leads nowhere needs asking about the
        // name itself; only here, and for what is neither file nor folder.
        const int why = errno;
        if (!followLinks || fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
            errno = why;
            return Fail(LastSystemError());
        }
        node.link = true;
        return node;
    }
    node.kind = KindOf(st.st_mode);
    node.size = static_cast<std::uint64_t>(st.st_size);
    node.identity = IdentityOfStat(st);
    if (node.kind == NodeKind::Other && followLinks) {
        struct stat own {};
        node.link = fstatat(dir, leaf.c_str(), &own, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(own.st_mode);
    }
    return node;
}

Done SourceFolder::CheckReadable(const NativePath& leaf) const {
    if (faccessat(handle_.Get(), leaf.c_str(), R_OK, AT_EACCESS) != 0) return Fail(LastSystemError());
    return {};
}

Result<std::vector<NativePath>> SourceFolder::List() const {
    // The listing reads through a handle of its own: the folder's stays put.
    const int scanFd = openat(handle_.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (scanFd < 0) return Fail(LastSystemError());
    DIR* dir = fdopendir(scanFd);
    if (!dir) {
        Failure why{LastSystemError()};
        close(scanFd);
        return why;
    }
    std::vector<NativePath> names;
    errno = 0;
    while (const dirent* e = readdir(dir)) {
        const char* name = e->d_name;
        if (!(name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))) names.emplace_back(name);
        errno = 0;
    }
    const int why = errno;
    closedir(dir);
    if (why != 0) {
        errno = why;
        return Fail(LastSystemError());
    }
    return names;
}

NodeKind Folder::Probe(const std::filesystem::path& leaf) const {
    struct stat st {};
    if (fstatat(handle_->Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return NodeKind::Missing;
    if (S_ISREG(st.st_mode)) return NodeKind::File;
    if (S_ISDIR(st.st_mode)) return NodeKind::Folder;
    if (S_ISLNK(st.st_mode)) return NodeKind::Link;
    return NodeKind::Other;
}

namespace {

// The process's file-creation mask, read once before any thread starts:
// asking for it means changing it for a moment.
const mode_t processUmask = [] {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}();

// Gives an anonymous (O_TMPFILE) file a name in `dir`; fails with EEXIST
// when the name is taken, never replacing it.
bool LinkAnonymous(int fd, int dir, const char* name) {
    // Only a process allowed to open any file by its descriptor may link an
    // empty path; everyone may link through /proc.
    if (linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0) return true;
    if (errno == EEXIST) return false;
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, proc, dir, name, AT_SYMLINK_FOLLOW) == 0;
}

// ".qvr-PID-N.part": the PID, or 0 for any other name.
long TemporaryOwner(const char* name) {
    long pid = 0;
    unsigned n = 0;
    int end = 0;
    if (std::sscanf(name, ".qvr-%ld-%u.part%n", &pid, &n, &end) != 2 || name[end] != '\0') return 0;
    return pid;
}

// Where files cannot be made without a name, a run killed outright leaves
// its ".qvr-PID-N.part" behind. A later run in the same folder removes those
// whose process is gone and which no process holds locked (a live writer
// always holds its own), so a process in another PID namespace is safe too.
void RemoveStaleTemporaries(int dirFd) {
    static std::mutex doneMutex;
    static std::vector<FileIdentity> done;
    struct stat st {};
    if (fstat(dirFd, &st) != 0) return;
    {
        const std::lock_guard lock(doneMutex);
        const FileIdentity id{st.st_dev, st.st_ino};
        if (std::find(done.begin(), done.end(), id) != done.end()) return;
        done.push_back(id);
    }
    const int scanFd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (scanFd < 0) return;
    DIR* dir = fdopendir(scanFd);
    if (!dir) {
        close(scanFd);
        return;
    }
    while (const dirent* e = readdir(dir)) {
        const long pid = TemporaryOwner(e->d_name);
        if (pid <= 0 || pid == static_cast<long>(getpid())) continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        File f(openat(dirFd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!f.Valid() || fstat(f.Get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (flock(f.Get(), LOCK_EX | LOCK_NB) != 0) continue;
        unlinkat(dirFd, e->d_name, 0);
    }
    closedir(dir);
}

}  // namespace

std::optional<FileIdentity> Folder::IdentityOf(const std::filesystem::path& leaf) const {
    struct stat st {};
    if (fstatat(handle_->Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino};
}

Result<TempOutput> Folder::CreateTemp(TempBits bits) const {
    const int dir = handle_->Get();
    // No name, so nobody else can open it and a kill leaves nothing. 0600
    // until it is complete, unless the usual bits (0666 less the umask, which
    // the kernel applies) are asked for: then they are given now.
    const bool usual = bits == TempBits::Usual;
    File anonymous(openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, usual ? 0666 : 0600));
    if (anonymous.Valid()) {
        TempOutput made(*this, std::move(anonymous), std::string(), -1);
        made.usualBits_ = usual;
        return made;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT)
        return Fail("cannot create a file in " + path_.string() + ": " + LastSystemError());
    RemoveStaleTemporaries(dir);
    return CreateNamedTemp();
}

TempPlace Folder::PlaceOf(const std::string& name) const {
    TempPlace place;
    if (name.size() >= sizeof place.name) return place;
    place.folder = handle_->Get();
    std::memcpy(place.name, name.c_str(), name.size() + 1);
    return place;
}

File Folder::CreateNew(const std::string& name, bool& taken) const {
    File f(openat(handle_->Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    taken = !f.Valid() && errno == EEXIST;
    // Held for its life: a later run removes only unlocked leftovers.
    if (f.Valid()) flock(f.Get(), LOCK_EX | LOCK_NB);
    return f;
}

void RemoveTemporary(const TempPlace& place) noexcept { unlinkat(place.folder, place.name, 0); }

long ProcessId() noexcept { return static_cast<long>(getpid()); }

void TempOutput::RemoveName() noexcept {
    if (!name_.empty()) unlinkat(folder_.handle_->Get(), name_.c_str(), 0);
}

Done TempOutput::LinkTemporaryName() {
    const int dir = folder_.handle_->Get();
    for (int attempt = 0; attempt < 100; ++attempt) {
        name_ = TemporaryName();
        slot_ = ClaimSlot(folder_.PlaceOf(name_));
        if (LinkAnonymous(file_.Get(), dir, name_.c_str())) return {};
        const int why = errno;
        FreeSlot(slot_);
        slot_ = -1;
        name_.clear();
        errno = why;
        if (why != EEXIST) break;
    }
    return Fail(LastSystemError());
}

Result<CommitStatus> TempOutput::Commit(const std::filesystem::path& leaf, const CommitRules& rules) {
    const int dir = folder_.handle_->Get();
    // Exists and Changed are outcomes; anything else is the system's error.
    auto failed = [&](std::optional<CommitStatus> status) -> Result<CommitStatus> {
        Failure why{LastSystemError()};
        Discard();
        if (status) return *status;
        return why;
    };
    if (mode_ || !usualBits_) {
        const auto mode = mode_.value_or(0666 & ~processUmask);
        if (fchmod(file_.Get(), static_cast<mode_t>(mode)) != 0) return failed(std::nullopt);
    }
    if (rules.durable && fsync(file_.Get()) != 0) return failed(std::nullopt);
    if (name_.empty() && !rules.overwrite) {
        // Linking refuses an existing name by itself, atomically.
        if (!LinkAnonymous(file_.Get(), dir, leaf.c_str()))
            return failed(errno == EEXIST ? std::optional(CommitStatus::Exists) : std::nullopt);
    } else {
        // Replacing takes a rename, which needs a name to rename from.
        if (name_.empty()) {
            if (auto linked = LinkTemporaryName(); !linked) {
                Discard();
                return linked.failure();
            }
        }
        if (rules.replaces && folder_.IdentityOf(leaf) != rules.replaces) return failed(CommitStatus::Changed);
        int r = 0;
        if (rules.overwrite) {
            r = renameat(dir, name_.c_str(), dir, leaf.c_str());
        } else {
            // Atomic "rename unless the name exists"; where the file system
            // lacks it, a hard link gives the same guarantee.
            r = renameat2(dir, name_.c_str(), dir, leaf.c_str(), RENAME_NOREPLACE);
            if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
                r = linkat(dir, name_.c_str(), dir, leaf.c_str(), 0);
                if (r == 0) unlinkat(dir, name_.c_str(), 0);
            }
        }
        if (r != 0) return failed(errno == EEXIST ? std::optional(CommitStatus::Exists) : std::nullopt);
    }
    Settle();
    file_ = File();
    // The new name itself must survive a power cut too.
    if (rules.durable && fsync(dir) != 0)
        return Fail("written, but its folder could not be synced: " + LastSystemError());
    return CommitStatus::Placed;
}

void InstallInterruptCleanup() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, OnInterrupt);
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> NodeIdentity(const std::filesystem::path& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return IdentityOfStat(st);
}

// Linux names and command lines are taken as UTF-8 (names in another
// encoding are converted first, with --encoding).
NameCharacters SystemNameCharacters() { return NameCharacters{}; }

std::string ArgumentAsUtf8(const std::string& argument) { return argument; }

void PauseAtForTests(const char* step) noexcept {
    static const char* const at = std::getenv("QVR_STOP_AT");
    if (at && std::strcmp(at, step) == 0) raise(SIGSTOP);
}

bool IsTerminal(NativeHandle h) noexcept { return isatty(h) == 1; }
bool StderrIsTerminal() noexcept { return isatty(STDERR_FILENO) == 1; }

}  // namespace qvr::cli
