// The archive a change works on, on Windows: opened without following a
// reparse point, a read-only archive refused, an exclusive LockFileEx held
// until the change is ready to take its place. Windows replaces no file
// that is open, so the lock is let go just before the replacement; the
// name is checked again after that, so a change made in between is never
// overwritten.
#include <windows.h>

#include <fmt/format.h>

#include "platform/platform.h"

namespace qvr::cli {
namespace {

namespace fs = std::filesystem;

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// The lock covers one byte far past any archive's end: other programs
// reading the archive are never stopped by it, only other changes.
constexpr DWORD LockOffsetHigh = 0x7FFFFFFF;

}  // namespace

Result<ChangeTarget::Candidate, ChangeTarget::Refused> ChangeTarget::OpenCandidate(const Folder& folder,
                                                                                   const fs::path& leaf) {
    const fs::path full = folder.Path() / leaf;
    const DWORD attrs = GetFileAttributesW(full.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY)) {
        return Refused{Refusal::NotWritable, "it is read-only; not changed"};
    }
    File file(CreateFileW(full.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.Valid()) {
        const DWORD why = GetLastError();
        const Refusal refusal = why == ERROR_ACCESS_DENIED || why == ERROR_WRITE_PROTECT ? Refusal::NotWritable
                                : why == ERROR_SHARING_VIOLATION                      ? Refusal::Busy
                                                                                       : Refusal::Failed;
        return Refused{refusal, refusal == Refusal::NotWritable ? std::string("it may not be written; not changed")
                                                                : "cannot open: " + LastSystemError()};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.Get(), &info)) return Refused{Refusal::Failed, LastSystemError()};
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return Refused{Refusal::NotAFile, "not a file"};
    return Candidate{std::move(file), IdentityOf(info)};
}

Result<bool> ChangeTarget::Lock(const File& file, bool wait) {
    OVERLAPPED at{};
    at.OffsetHigh = LockOffsetHigh;
    if (LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY), 0, 1, 0, &at))
        return true;
    const DWORD why = GetLastError();
    if (why == ERROR_LOCK_VIOLATION && !wait) return false;
    return Fail(LastSystemError());
}

std::uint64_t ChangeTarget::NameCount(const File& file) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(file.Get(), &info) ? info.nNumberOfLinks : 1;
}

Result<InputFile> ChangeTarget::Read() const {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), file_.Get(), GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return Fail(LastSystemError());
    return InputFile::Adopt(File(copy));
}

// The new file takes the folder's inherited permissions, as every file
// made there does; there are no owner bits to carry over.
std::string ChangeTarget::KeepOwnership(TempOutput&) const { return {}; }

Result<CommitStatus> ChangeTarget::Replace(TempOutput& replacement) {
    file_ = File();
    return replacement.Commit(leaf_, CommitRules{true, true, identity_});
}

}  // namespace qvr::cli
