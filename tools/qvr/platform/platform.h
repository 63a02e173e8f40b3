// The few file-system operations the tool needs, for POSIX and for Windows:
// reading an archive at offsets, copying entry data between files, and
// writing outputs under temporary names inside folders that are opened
// without following symbolic links.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "qvr/open.h"
#include "result.h"

namespace qvr::cli {

#ifdef _WIN32
using NativeHandle = void*;
#else
using NativeHandle = int;
#endif

// A path as the system spells it (bytes here, UTF-16 on Windows): what
// gathering keeps for each of many thousands of inputs, where a
// std::filesystem::path would also keep its parsed components.
using NativePath = std::filesystem::path::string_type;

class SourceFolder;

// The last system error, as text for a message.
std::string LastSystemError();

// Owns one open file or folder handle.
class File {
public:
    File() noexcept;
    explicit File(NativeHandle h) noexcept : h_(h) {}
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    bool Valid() const noexcept;
    NativeHandle Get() const noexcept { return h_; }
    // Gives up ownership without closing.
    NativeHandle Release() noexcept {
        const NativeHandle h = h_;
        h_ = File().h_;
        return h;
    }

private:
    NativeHandle h_;
};

// A file opened for reading, as the archive core's byte source.
class InputFile final : public ByteSource {
public:
    static Result<InputFile> Open(const std::filesystem::path& path);
    // A file to pack: never blocks (a FIFO put in a file's place cannot stop
    // the run), and without `followLinks` a link as the last step is
    // refused ("is a symbolic link").
    static Result<InputFile> OpenToPack(const std::filesystem::path& path, bool followLinks);
    // The same for the name `leaf` in `folder`, looked up from the open folder.
    static Result<InputFile> OpenToPack(const SourceFolder& folder, const NativePath& leaf, bool followLinks);
    // Its size as the system says it now (a file being written grows).
    std::optional<std::uint64_t> CurrentSize() const noexcept;
    // Takes an open file (its size and identity read from it).
    static Result<InputFile> Adopt(File file);
    // Standard input: used in place when it is a file, otherwise copied
    // into a temporary file that is gone when closed (entries are read at
    // their offsets, which a pipe cannot give). Refuses a terminal.
    static Result<InputFile> SpoolStandardInput();
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) override;
    // One read at `offset`: fewer bytes than asked at the end of the file,
    // and rarely before it (then ReadAt the rest). Asking one byte past the
    // expected size tells, in the same call, that a file has grown.
    std::size_t ReadOnceAt(std::uint64_t offset, std::span<std::uint8_t> into);
    std::uint64_t Size() const noexcept { return size_; }
    // Size() is 0 for what is not a regular file (a device, a pipe): unknown.
    std::optional<std::uint64_t> KnownSize() const noexcept override {
        return size_ > 0 ? std::optional(size_) : std::nullopt;
    }
    NativeHandle Handle() const noexcept { return file_.Get(); }
    // Device and inode (POSIX) or volume and index (Windows), to recognise the same file.
    std::pair<std::uint64_t, std::uint64_t> Identity() const noexcept { return identity_; }

private:
    File file_;
    std::uint64_t size_ = 0;
    std::pair<std::uint64_t, std::uint64_t> identity_{};
};

// Writes all of `bytes`.
Done WriteAll(NativeHandle to, std::span<const std::uint8_t> bytes);

// Copies `size` bytes of `from` starting at `offset` to the current end of
// `to`, XORing the first 50 with the content mask (which both scrambles and
// descrambles). `toIsStream` says the target is not a regular file. Returns
// the bytes written; fewer than `size` means the source ended early.
Result<std::uint64_t> CopyMasked(const InputFile& from, std::uint64_t offset, std::uint64_t size, NativeHandle to,
                                 bool toIsStream);

// Copies `size` bytes of `from` starting at `offset` to the current end of
// `to`, a regular file, exactly as they are (an entry's stored data moved
// from one archive into another); by the kernel where it can. Returns the
// bytes written; fewer than `size` means the source ended early.
Result<std::uint64_t> CopyStored(const InputFile& from, std::uint64_t offset, std::uint64_t size, NativeHandle to);

// Starts writing the file's changed pages to the disk without waiting for
// them (a later sync then has less to wait for); nothing where the system
// has no such call.
void StartWriteOut(NativeHandle file) noexcept;

NativeHandle StandardOutput() noexcept;

// What a name inside a folder is, without following a symbolic link.
enum class NodeKind { Missing, File, Folder, Link, Other };

class TempOutput;
struct TempPlace;

// The permission bits of an output while it is written. Private: its
// owner's alone until it is committed, as a new archive is. Usual: a file
// that cannot be reached until committed (where the system makes files
// without a name) has the bits of any new file from the start, which saves
// a call per extracted file; a named one is private all the same.
enum class TempBits { Private, Usual };

// A folder opened so that nothing beneath it is reached through a symbolic
// link: every descent refuses a link.
class Folder {
public:
    // The target folder itself; the user chose it, so a link to it is fine.
    static Result<Folder> OpenRoot(const std::filesystem::path& path, bool create);
    // The folder `relative` beneath this one, created as needed.
    Result<Folder> Descend(const std::filesystem::path& relative) const;
    NodeKind Probe(const std::filesystem::path& leaf) const;
    // What the name leads to (not through a link): its identity, if any.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> IdentityOf(const std::filesystem::path& leaf) const;
    Result<TempOutput> CreateTemp(TempBits bits = TempBits::Private) const;
    std::filesystem::path Path() const { return path_; }

private:
    friend class TempOutput;
    // A ".qvr-PID-N.part" file, registered for removal on interrupt (shared.cpp).
    Result<TempOutput> CreateNamedTemp() const;
    // Per system: where `name` lies in this folder, for the registry.
    TempPlace PlaceOf(const std::string& name) const;
    // Per system: creates `name` here, new and private; `taken` when the
    // name exists already.
    File CreateNew(const std::string& name, bool& taken) const;
    friend class ChangeTarget;
    std::shared_ptr<const File> handle_;  // POSIX: the open folder; Windows: unused
    std::filesystem::path path_;          // for messages, and on Windows for every operation
};

// Placed: the output has its name; Exists: the name was taken and not to
// be replaced; Changed: the name no longer leads to the file that was to be
// replaced. A failure is the Result's.
enum class CommitStatus { Placed, Exists, Changed };

// Why a Changed commit did not happen, in words.
inline constexpr const char* NameChangedText = "the name leads to another file now";

using FileIdentity = std::pair<std::uint64_t, std::uint64_t>;

// A folder whose files are gathered, then packed: each name in it is
// looked up from the open folder instead of walking its whole path again.
// Links on the way to it are followed (the user named the path).
class SourceFolder {
public:
    static Result<SourceFolder> Open(const NativePath& path);
    // The folder `leaf` in this one, through a link too, named `path`
    // (in messages, and at the start of its files' paths).
    Result<SourceFolder> Enter(const NativePath& leaf, NativePath path) const;

    // What a name here is. With `followLinks` a link is looked through:
    // `kind` is what it leads to, Missing when it leads nowhere, and `link`
    // is set where the kind alone does not say enough (Missing, Other).
    // Without, a link is Link. A failure is the system's reason.
    struct Node {
        NodeKind kind = NodeKind::Missing;
        bool link = false;
        std::uint64_t size = 0;  // a file's
        FileIdentity identity{};
    };
    Result<Node> Look(const NativePath& leaf, bool followLinks) const;
    // Fails, with the reason, when this process may not read the file `leaf`.
    Done CheckReadable(const NativePath& leaf) const;
    // The names it holds, "." and ".." left out, in no particular order.
    Result<std::vector<NativePath>> List() const;

    FileIdentity Identity() const noexcept { return identity_; }
    const NativePath& Path() const noexcept { return path_; }

private:
    friend class InputFile;
    File handle_;  // POSIX: the open folder; Windows: unused
    NativePath path_;
    FileIdentity identity_{};
};

// How a finished output takes its name.
struct CommitRules {
    bool overwrite = false;
    // Written out to the disk before it takes the name, and the folder
    // after, so that a power cut leaves the old file or the new one whole.
    bool durable = false;
    // The name must still lead (not through a link) to this file, the one
    // being replaced; otherwise nothing is replaced and the status is Changed.
    std::optional<FileIdentity> replaces;
};

// A new file in a folder that takes its final name only when complete.
// Where the system can, it has no name at all until then (a kill leaves
// nothing); elsewhere it is a private ".qvr-PID-N.part" file, removed if it
// is never committed, and by a later run if its process is gone.
class TempOutput {
public:
    TempOutput(TempOutput&& other) noexcept;
    TempOutput& operator=(TempOutput&&) = delete;
    TempOutput(const TempOutput&) = delete;
    TempOutput& operator=(const TempOutput&) = delete;
    ~TempOutput();

    NativeHandle Handle() const noexcept { return file_.Get(); }
    // Closes the file and renames it to `leaf`; with `overwrite` false an
    // existing file of that name is kept and the status is Exists.
    Result<CommitStatus> Commit(const std::filesystem::path& leaf, bool overwrite) {
        return Commit(leaf, CommitRules{overwrite, false, std::nullopt});
    }
    Result<CommitStatus> Commit(const std::filesystem::path& leaf, const CommitRules& rules);
    void Discard() noexcept;

private:
    friend class Folder;
    friend class ChangeTarget;
    TempOutput(Folder folder, File file, std::string name, int slot) noexcept;
    // Per system: removes the file by its temporary name, if it has one.
    void RemoveName() noexcept;
    // Done with: nothing to remove any more.
    void Settle() noexcept;
    // Gives the anonymous file the name `name_` (registered for removal).
    Done LinkTemporaryName();
    Folder folder_;
    File file_;
    std::string name_;  // empty while the file has no name
    int slot_ = -1;
    bool open_ = true;
    std::optional<std::uint32_t> mode_;  // permission bits given when committed; default: as a new file
    bool usualBits_ = false;             // made with a new file's bits: nothing to give when committed
};

// The archive that add, delete or rename changes. Its name is resolved once
// (a link to it stays a link; its target is what changes), its folder held
// open and the file opened in it, never through another link. An exclusive
// lock keeps other changes out until the new archive is in place, and the
// name is checked again just before it is replaced, so a second writer, or
// someone swapping the name for a link, can never make a change land on
// another file or be lost.
class ChangeTarget {
public:
    enum class Refusal {
        Busy,         // another change holds it, and not waiting was asked for
        HardLinks,    // other names lead to the same file
        NotWritable,  // no write permission, read-only or immutable
        NotAFile,     // a folder, a device, a link that leads nowhere
        Failed,       // could not be opened
    };
    // Why there is no target: the kind, and the words for people.
    struct Refused {
        Refusal why;
        std::string message;
    };
    // `onWait` is called once if another change holds the archive and this
    // one waits for it.
    static Result<ChangeTarget, Refused> Open(const std::filesystem::path& archive, bool wait, bool breakLinks,
                                              const std::function<void()>& onWait);
    ChangeTarget(ChangeTarget&&) noexcept;
    ~ChangeTarget();

    // The archive as loaded, to be read (a second handle on the locked file).
    Result<InputFile> Read() const;
    // A private new file beside the archive for the changed archive.
    Result<TempOutput> CreateReplacement() const;
    // Gives `replacement` the archive's owner, group and permission bits.
    // What could not be kept, said as a sentence; empty when all was.
    std::string KeepOwnership(TempOutput& replacement) const;
    // Puts `replacement` in the archive's place: durably, and only while the
    // name still leads to the file that was loaded (otherwise Changed).
    Result<CommitStatus> Replace(TempOutput& replacement);

private:
    ChangeTarget() = default;
    // What each system does its own way (change_target_posix.cpp,
    // change_target_win32.cpp); the rest is change_target.cpp.
    struct Candidate {
        File file;
        FileIdentity identity{};
    };
    // Opens `leaf` in `folder` for writing (what a read-only archive
    // refuses), never through a link; a regular file only.
    static Result<Candidate, Refused> OpenCandidate(const Folder& folder, const std::filesystem::path& leaf);
    // Takes the change lock on `file`: true when held, false when another
    // change holds it (only when not waiting).
    static Result<bool> Lock(const File& file, bool wait);
    static std::uint64_t NameCount(const File& file);  // hard links, this name included
    std::optional<Folder> folder_;
    std::filesystem::path leaf_;
    File file_;  // locked until the change is in place or abandoned
    FileIdentity identity_{};
};


// Removes temporary outputs still open when the process is interrupted (Ctrl-C, SIGTERM).
void InstallInterruptCleanup();

// The identity of a file or folder (links followed), as InputFile::Identity
// gives it; to find a folder met again through a link.
std::optional<std::pair<std::uint64_t, std::uint64_t>> NodeIdentity(const std::filesystem::path& path);

// A command-line argument as UTF-8, to compare with names converted by
// --encoding: Windows gives arguments in the ANSI code page.
std::string ArgumentAsUtf8(const std::string& argument);

// With QVR_STOP_AT=STEP in the environment, the process stops itself
// (SIGSTOP) when it reaches STEP, so that a test can change the files around
// it at exactly that point and then let it go on (POSIX; nothing elsewhere).
// Steps: "loaded" (a change has its archive), "gathered" (create and add
// have their inputs), "written" (the changed archive is complete).
void PauseAtForTests(const char* step) noexcept;

bool IsTerminal(NativeHandle h) noexcept;
bool StderrIsTerminal() noexcept;

}  // namespace qvr::cli
