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
#include "qvr/scramble.h"

namespace qvr::cli {
namespace {

constexpr int NoHandle = -1;

// Entries up to this size are read with one pread and written with one write.
constexpr std::size_t SmallCopy = std::size_t{64} << 10;
constexpr std::size_t CopyBuffer = std::size_t{1} << 20;

// Temporary outputs open at this moment, for the interrupt handler. A slot is
// claimed with a compare-exchange; the handler reads only plain bytes.
struct TempSlot {
    std::atomic<int> state{0};  // 0 free, 1 filling, 2 live
    int folder = -1;
    char name[64] = {};
};
// Enough for every extraction thread and the main thread at once.
constexpr int SlotCount = 128;
std::array<TempSlot, SlotCount> tempSlots;

int ClaimSlot(int folder, const std::string& name) {
    if (name.size() >= sizeof(TempSlot::name)) return -1;
    for (int i = 0; i < SlotCount; ++i) {
        auto& s = tempSlots[static_cast<std::size_t>(i)];
        int expected = 0;
        if (s.state.compare_exchange_strong(expected, 1)) {
            s.folder = folder;
            std::memcpy(s.name, name.c_str(), name.size() + 1);
            s.state.store(2);
            return i;
        }
    }
    return -1;
}

void FreeSlot(int slot) {
    if (slot >= 0) tempSlots[static_cast<std::size_t>(slot)].state.store(0);
}

extern "C" void OnInterrupt(int sig) {
    for (auto& s : tempSlots)
        if (s.state.load() == 2) unlinkat(s.folder, s.name, 0);
    signal(sig, SIG_DFL);
    raise(sig);
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

std::vector<std::uint8_t>& ThreadBuffer(std::size_t size) {
    thread_local std::vector<std::uint8_t> buffer;
    if (buffer.size() < size) buffer.resize(size);
    return buffer;
}

void ApplyMask(std::span<std::uint8_t> bytes) { DescrambleContent(bytes); }

// Copies bytes as they are, by the kernel where it can (copy_file_range
// between files, sendfile to a stream), else through memory. Returns the
// bytes written; fewer with an empty `error`: the source ended early.
std::uint64_t CopyBytes(int src, std::uint64_t offset, std::uint64_t size, int to, bool toIsStream,
                        std::string& error) {
    std::uint64_t done = 0;
    off_t at = static_cast<off_t>(offset);
    while (done < size) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, std::uint64_t{1} << 30));
        const ssize_t r = toIsStream ? sendfile(to, src, &at, want) : copy_file_range(src, &at, to, nullptr, want, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                      errno == EBADF))
            break;  // not between these two: copy through memory
        if (r < 0) {
            error = std::strerror(errno);
            return done;
        }
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
        if (!ReadExactly(src, offset + done, chunk, got)) {
            error = std::strerror(errno);
            return done;
        }
        if (!WriteAll(to, chunk.first(got), error)) return done;
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

std::optional<InputFile> InputFile::Open(const std::filesystem::path& path, std::string& error) {
    File f(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!f.Valid()) {
        error = LastSystemError();
        return std::nullopt;
    }
    return Adopt(std::move(f), error);
}

std::optional<InputFile> InputFile::OpenToPack(const std::filesystem::path& path, bool followLinks,
                                               std::string& error) {
    File f(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW)));
    if (!f.Valid()) {
        error = errno == ELOOP && !followLinks ? std::string("is a symbolic link") : LastSystemError();
        return std::nullopt;
    }
    fcntl(f.Get(), F_SETFL, fcntl(f.Get(), F_GETFL) & ~O_NONBLOCK);
    return Adopt(std::move(f), error);
}

std::optional<std::uint64_t> InputFile::CurrentSize() const noexcept {
    struct stat st {};
    if (fstat(file_.Get(), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

std::optional<InputFile> InputFile::Adopt(File f, std::string& error) {
    struct stat st {};
    if (fstat(f.Get(), &st) != 0) {
        error = LastSystemError();
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "is a folder";
        return std::nullopt;
    }
    InputFile in;
    in.file_ = std::move(f);
    in.size_ = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    in.identity_ = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    return in;
}

std::optional<InputFile> InputFile::SpoolStandardInput(std::string& error) {
    if (isatty(STDIN_FILENO) == 1) {
        error = "it is a terminal; give an archive's name, or send one through a pipe";
        return std::nullopt;
    }
    struct stat st {};
    if (fstat(STDIN_FILENO, &st) != 0) {
        error = LastSystemError();
        return std::nullopt;
    }
    InputFile in;
    if (S_ISREG(st.st_mode)) {
        // A redirected file is read in place, at its own offsets.
        in.file_ = File(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
        if (!in.file_.Valid()) {
            error = LastSystemError();
            return std::nullopt;
        }
        in.size_ = static_cast<std::uint64_t>(st.st_size);
        in.identity_ = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
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
    if (!spool.Valid()) {
        error = "cannot make a temporary file in " + folder + ": " + LastSystemError();
        return std::nullopt;
    }
    auto& buffer = ThreadBuffer(CopyBuffer);
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t r = read(STDIN_FILENO, buffer.data(), buffer.size());
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            error = LastSystemError();
            return std::nullopt;
        }
        if (r == 0) break;
        if (!WriteAll(spool.Get(), std::span(buffer).first(static_cast<std::size_t>(r)), error)) {
            error = "cannot keep it in a temporary file: " + error;
            return std::nullopt;
        }
        total += static_cast<std::uint64_t>(r);
    }
    if (fstat(spool.Get(), &st) != 0) {
        error = LastSystemError();
        return std::nullopt;
    }
    in.file_ = std::move(spool);
    in.size_ = total;
    in.identity_ = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    return in;
}

std::size_t InputFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) {
    std::size_t got = 0;
    ReadExactly(file_.Get(), offset, into, got);
    return got;
}

bool WriteAll(NativeHandle to, std::span<const std::uint8_t> bytes, std::string& error) {
    while (!bytes.empty()) {
        const ssize_t w = write(to, bytes.data(), bytes.size());
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            error = LastSystemError();
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(w));
    }
    return true;
}

std::uint64_t CopyMasked(const InputFile& from, std::uint64_t offset, std::uint64_t size, NativeHandle to,
                         bool toIsStream, std::string& error) {
    const int src = from.Handle();
    // Small entries: one read, one write.
    if (size <= SmallCopy) {
        auto& buffer = ThreadBuffer(SmallCopy);
        const auto chunk = std::span(buffer).first(static_cast<std::size_t>(size));
        std::size_t got = 0;
        if (!ReadExactly(src, offset, chunk, got)) {
            error = LastSystemError();
            return 0;
        }
        if (got < chunk.size()) return 0;  // the source ends early: write nothing
        ApplyMask(chunk);
        return WriteAll(to, chunk, error) ? size : 0;
    }

    // The scrambled head goes through memory; the rest is copied by the kernel.
    std::array<std::uint8_t, ScrambledContentSize> head{};
    std::size_t got = 0;
    if (!ReadExactly(src, offset, head, got)) {
        error = LastSystemError();
        return 0;
    }
    if (got < head.size()) return 0;
    ApplyMask(head);
    if (!WriteAll(to, head, error)) return 0;

    return head.size() + CopyBytes(src, offset + head.size(), size - head.size(), to, toIsStream, error);
}

std::uint64_t CopyStored(const InputFile& from, std::uint64_t offset, std::uint64_t size, NativeHandle to,
                         std::string& error) {
    return CopyBytes(from.Handle(), offset, size, to, false, error);
}

void StartWriteOut(NativeHandle file) noexcept { sync_file_range(file, 0, 0, SYNC_FILE_RANGE_WRITE); }

NativeHandle StandardOutput() noexcept { return STDOUT_FILENO; }

std::optional<Folder> Folder::OpenRoot(const std::filesystem::path& path, bool create, std::string& error) {
    std::error_code ec;
    if (create && (std::filesystem::create_directories(path, ec), ec)) {
        error = ec.message();
        return std::nullopt;
    }
    File f(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!f.Valid()) {
        error = LastSystemError();
        return std::nullopt;
    }
    Folder folder;
    folder.handle_ = std::make_shared<const File>(std::move(f));
    folder.path_ = path;
    return folder;
}

std::optional<Folder> Folder::Descend(const std::filesystem::path& relative, std::string& error) const {
    Folder at = *this;
    for (const auto& part : relative) {
        const int parent = at.handle_->Get();
        if (mkdirat(parent, part.c_str(), 0777) != 0 && errno != EEXIST) {
            error = "cannot create folder " + (at.path_ / part).string() + ": " + LastSystemError();
            return std::nullopt;
        }
        File f(openat(parent, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!f.Valid()) {
            const std::string why = LastSystemError();
            struct stat st {};
            const bool isLink = fstatat(parent, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
            const bool isOther = !isLink && fstatat(parent, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                 !S_ISDIR(st.st_mode);
            error = (at.path_ / part).string() + (isLink    ? ": is a symbolic link; not followed"
                                                  : isOther ? ": exists and is not a folder"
                                                            : ": " + why);
            return std::nullopt;
        }
        Folder next;
        next.handle_ = std::make_shared<const File>(std::move(f));
        next.path_ = at.path_ / part;
        at = std::move(next);
    }
    return at;
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

std::string TemporaryName() {
    static std::atomic<unsigned> counter{0};
    // Asked once: extracting many small files makes a name per file.
    static const long pid = static_cast<long>(getpid());
    char name[64];
    std::snprintf(name, sizeof name, ".qvr-%ld-%u.part", pid, counter.fetch_add(1));
    return name;
}

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

std::optional<TempOutput> Folder::CreateTemp(std::string& error) const {
    const int dir = handle_->Get();
    // No name, so nobody else can open it and a kill leaves nothing. 0600
    // until it is complete; the final bits are given as it takes its name.
    File anonymous(openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (anonymous.Valid()) return TempOutput(*this, std::move(anonymous), std::string(), -1);
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
        error = "cannot create a file in " + path_.string() + ": " + LastSystemError();
        return std::nullopt;
    }
    RemoveStaleTemporaries(dir);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = TemporaryName();
        // The name is registered for removal before the file exists, so a
        // signal between the two cannot leave it behind.
        const int slot = ClaimSlot(dir, name);
        File f(openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (f.Valid()) {
            // Held for its life: a later run removes only unlocked leftovers.
            flock(f.Get(), LOCK_EX | LOCK_NB);
            return TempOutput(*this, std::move(f), name, slot);
        }
        const int openError = errno;
        FreeSlot(slot);
        errno = openError;
        if (errno != EEXIST) break;
    }
    error = "cannot create a file in " + path_.string() + ": " + LastSystemError();
    return std::nullopt;
}

TempOutput::TempOutput(Folder folder, File file, std::string name, int slot) noexcept
    : folder_(std::move(folder)), file_(std::move(file)), name_(std::move(name)), slot_(slot) {}

TempOutput::TempOutput(TempOutput&& other) noexcept
    : folder_(std::move(other.folder_)), file_(std::move(other.file_)), name_(std::move(other.name_)),
      slot_(other.slot_), open_(other.open_), mode_(other.mode_) {
    other.open_ = false;
    other.slot_ = -1;
}

TempOutput::~TempOutput() { Discard(); }

void TempOutput::Discard() noexcept {
    if (!open_) return;
    open_ = false;
    file_ = File();
    if (!name_.empty()) unlinkat(folder_.handle_->Get(), name_.c_str(), 0);
    FreeSlot(slot_);
    slot_ = -1;
}

bool TempOutput::LinkTemporaryName(std::string& error) {
    const int dir = folder_.handle_->Get();
    for (int attempt = 0; attempt < 100; ++attempt) {
        name_ = TemporaryName();
        slot_ = ClaimSlot(dir, name_);
        if (LinkAnonymous(file_.Get(), dir, name_.c_str())) return true;
        const int why = errno;
        FreeSlot(slot_);
        slot_ = -1;
        name_.clear();
        errno = why;
        if (why != EEXIST) break;
    }
    error = LastSystemError();
    return false;
}

CommitStatus TempOutput::Commit(const std::filesystem::path& leaf, const CommitRules& rules, std::string& error) {
    const int dir = folder_.handle_->Get();
    auto failed = [&](CommitStatus status) {
        error = status == CommitStatus::Changed ? std::string("the name leads to another file now") : LastSystemError();
        Discard();
        return status;
    };
    const auto mode = mode_.value_or(0666 & ~processUmask);
    if (fchmod(file_.Get(), static_cast<mode_t>(mode)) != 0) return failed(CommitStatus::Failed);
    if (rules.durable && fsync(file_.Get()) != 0) return failed(CommitStatus::Failed);
    if (name_.empty() && !rules.overwrite) {
        // Linking refuses an existing name by itself, atomically.
        if (!LinkAnonymous(file_.Get(), dir, leaf.c_str()))
            return failed(errno == EEXIST ? CommitStatus::Exists : CommitStatus::Failed);
    } else {
        // Replacing takes a rename, which needs a name to rename from.
        if (name_.empty() && !LinkTemporaryName(error)) {
            Discard();
            return CommitStatus::Failed;
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
        if (r != 0) return failed(errno == EEXIST ? CommitStatus::Exists : CommitStatus::Failed);
    }
    open_ = false;
    FreeSlot(slot_);
    slot_ = -1;
    file_ = File();
    // The new name itself must survive a power cut too.
    if (rules.durable && fsync(dir) != 0) {
        error = "written, but its folder could not be synced: " + LastSystemError();
        return CommitStatus::Failed;
    }
    return CommitStatus::Done;
}

void InstallInterruptCleanup() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, OnInterrupt);
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> NodeIdentity(const std::filesystem::path& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return std::pair{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
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
