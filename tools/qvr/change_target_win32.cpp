// The archive a change works on, on Windows: opened without following a
// reparse point, a read-only archive refused, an exclusive LockFileEx held
// until the change is ready to take its place. Windows replaces no file
// that is open, so the lock is let go just before the replacement; the
// name is checked again after that, so a change made in between is never
// overwritten.
#include <windows.h>

#include <fmt/format.h>

#include "platform.h"

namespace qvr::cli {
namespace {

namespace fs = std::filesystem;

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// The lock covers one byte far past any archive's end: other programs
// reading the archive are never stopped by it, only other changes.
constexpr DWORD LockOffsetHigh = 0x7FFFFFFF;

bool Lock(HANDLE h, bool wait) {
    OVERLAPPED at{};
    at.OffsetHigh = LockOffsetHigh;
    return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY), 0, 1, 0, &at) != 0;
}

}  // namespace

ChangeTarget::ChangeTarget(ChangeTarget&&) noexcept = default;
ChangeTarget::~ChangeTarget() = default;

ChangeTarget::Opened ChangeTarget::Open(const fs::path& archive, bool wait, bool breakLinks,
                                        const std::function<void()>& onWait) {
    Opened out;
    std::error_code ec;
    fs::path target = archive;
    if (fs::is_symlink(archive, ec)) {
        target = fs::canonical(archive, ec);
        if (ec) {
            out.error = "cannot follow the link: " + ec.message();
            return out;
        }
    }
    auto folder = Folder::OpenRoot(target.has_parent_path() ? target.parent_path() : fs::path("."), false, out.error);
    if (!folder) {
        out.error = "cannot open its folder: " + out.error;
        return out;
    }
    const fs::path full = folder->Path() / target.filename();
    const DWORD attrs = GetFileAttributesW(full.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY)) {
        out.refusal = Refusal::NotWritable;
        out.error = "it is read-only; not changed";
        return out;
    }
    bool waited = false;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        File file(CreateFileW(full.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file.Valid()) {
            const DWORD why = GetLastError();
            out.refusal = why == ERROR_ACCESS_DENIED || why == ERROR_WRITE_PROTECT ? Refusal::NotWritable
                          : why == ERROR_SHARING_VIOLATION                      ? Refusal::Busy
                                                                                 : Refusal::Failed;
            out.error = out.refusal == Refusal::NotWritable ? "it may not be written; not changed"
                                                             : "cannot open: " + LastSystemError();
            return out;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!GetFileInformationByHandle(file.Get(), &info)) {
            out.error = LastSystemError();
            return out;
        }
        if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
            out.refusal = Refusal::NotAFile;
            out.error = "not a file";
            return out;
        }
        if (!Lock(file.Get(), false)) {
            if (!wait) {
                out.refusal = Refusal::Busy;
                out.error = "another qvr is changing it (--no-wait); not changed";
                return out;
            }
            if (!waited && onWait) onWait();
            waited = true;
            if (!Lock(file.Get(), true)) {
                out.error = "cannot lock it: " + LastSystemError();
                return out;
            }
        }
        if (folder->IdentityOf(target.filename()) != IdentityOf(info)) continue;
        if (info.nNumberOfLinks > 1 && !breakLinks) {
            out.refusal = Refusal::HardLinks;
            out.error = fmt::format("it has {} other names (hard links), which would keep the old archive; not "
                                    "changed (--break-links changes this name only)",
                                    info.nNumberOfLinks - 1);
            return out;
        }
        ChangeTarget candidate;
        candidate.folder_ = std::move(*folder);
        candidate.leaf_ = target.filename();
        candidate.file_ = std::move(file);
        candidate.identity_ = IdentityOf(info);
        out.target.emplace(std::move(candidate));
        return out;
    }
    out.error = "it keeps being replaced; not changed";
    return out;
}

std::optional<InputFile> ChangeTarget::Read(std::string& error) const {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), file_.Get(), GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        error = LastSystemError();
        return std::nullopt;
    }
    return InputFile::Adopt(File(copy), error);
}

std::optional<TempOutput> ChangeTarget::CreateReplacement(std::string& error) const {
    return folder_->CreateTemp(error);
}

// The new file takes the folder's inherited permissions, as every file
// made there does; there are no owner bits to carry over.
std::string ChangeTarget::KeepOwnership(TempOutput&) const { return {}; }

CommitStatus ChangeTarget::Replace(TempOutput& replacement, std::string& error) {
    file_ = File();
    return replacement.Commit(leaf_, CommitRules{true, true, identity_}, error);
}

}  // namespace qvr::cli
