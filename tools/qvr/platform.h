// The few file-system operations the tool needs, for POSIX and for Windows:
// reading an archive at offsets, copying entry data between files, and
// writing outputs under temporary names inside folders that are opened
// without following symbolic links.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "qvr/open.h"

namespace qvr::cli {

#ifdef _WIN32
using NativeHandle = void*;
#else
using NativeHandle = int;
#endif

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
    static std::optional<InputFile> Open(const std::filesystem::path& path, std::string& error);
    // Standard input: used in place when it is a file, otherwise copied
    // into a temporary file that is gone when closed (entries are read at
    // their offsets, which a pipe cannot give). Refuses a terminal.
    static std::optional<InputFile> SpoolStandardInput(std::string& error);
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) override;
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

// Writes all of `bytes`; false with a message on failure.
bool WriteAll(NativeHandle to, std::span<const std::uint8_t> bytes, std::string& error);

// Copies `size` bytes of `from` starting at `offset` to the current end of
// `to`, XORing the first 50 with the content mask (which both scrambles and
// descrambles). `toIsStream` says the target is not a regular file. Returns
// the bytes written; fewer than `size` with an empty `error` means the
// source ended early.
std::uint64_t CopyMasked(const InputFile& from, std::uint64_t offset, std::uint64_t size, NativeHandle to,
                         bool toIsStream, std::string& error);

// Copies `size` bytes of `from` starting at `offset` to the current end of
// `to`, a regular file, exactly as they are (an entry's stored data moved
// from one archive into another); by the kernel where it can. Returns the
// bytes written; fewer than `size` with an empty `error` means the source
// ended early.
std::uint64_t CopyStored(const InputFile& from, std::uint64_t offset, std::uint64_t size, NativeHandle to,
                         std::string& error);

NativeHandle StandardOutput() noexcept;

// What a name inside a folder is, without following a symbolic link.
enum class NodeKind { Missing, File, Folder, Link, Other };

class TempOutput;

// A folder opened so that nothing beneath it is reached through a symbolic
// link: every descent refuses a link.
class Folder {
public:
    // The target folder itself; the user chose it, so a link to it is fine.
    static std::optional<Folder> OpenRoot(const std::filesystem::path& path, bool create, std::string& error);
    // The folder `relative` beneath this one, created as needed.
    std::optional<Folder> Descend(const std::filesystem::path& relative, std::string& error) const;
    NodeKind Probe(const std::filesystem::path& leaf) const;
    std::optional<TempOutput> CreateTemp(std::string& error) const;
    std::filesystem::path Path() const { return path_; }

private:
    friend class TempOutput;
    std::shared_ptr<const File> handle_;  // POSIX: the open folder; Windows: unused
    std::filesystem::path path_;          // for messages, and on Windows for every operation
};

enum class CommitStatus { Done, Exists, Failed };

// A new file under a temporary name in a folder, renamed to its final name
// only when complete; removed if it is never committed.
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
    CommitStatus Commit(const std::filesystem::path& leaf, bool overwrite, std::string& error);
    // Gives the file the permission bits of `model` (POSIX; Windows has
    // none to copy), so that a replaced archive stays as private as it was.
    void TakePermissionsOf(const InputFile& model) noexcept;
    void Discard() noexcept;

private:
    friend class Folder;
    TempOutput(Folder folder, File file, std::string name, int slot) noexcept;
    Folder folder_;
    File file_;
    std::string name_;
    int slot_ = -1;
    bool open_ = true;
};

// Removes temporary outputs still open when the process is interrupted (Ctrl-C, SIGTERM).
void InstallInterruptCleanup();

// The identity of a file or folder (links followed), as InputFile::Identity
// gives it; to find a folder met again through a link.
std::optional<std::pair<std::uint64_t, std::uint64_t>> NodeIdentity(const std::filesystem::path& path);

// A command-line argument as UTF-8, to compare with names converted by
// --encoding: Windows gives arguments in the ANSI code page.
std::string ArgumentAsUtf8(const std::string& argument);

bool IsTerminal(NativeHandle h) noexcept;
bool StderrIsTerminal() noexcept;

}  // namespace qvr::cli
