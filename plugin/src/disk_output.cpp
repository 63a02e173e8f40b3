#include "disk_output.h"

#include <algorithm>
#include <array>
#include <string_view>

#include <windows.h>

#include "entry_name.h"
#include "qvr/ascii.h"

namespace axqvr {
namespace {

// What GetFile leaves in the host's slot after writing an entry to disk.
constexpr std::size_t DiskOutputBlockSize = 200;

// A temporary name that exists already (a leftover of a process that was
// killed, or another thread's) is passed over for the next one.
constexpr unsigned TemporaryNameAttempts = 16;

using Path = std::array<char, MAX_PATH>;

bool SameLetters(std::string_view a, std::string_view b) noexcept {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) { return qvr::AsciiLower(x) == qvr::AsciiLower(y); });
}

void AppendHex(std::uint32_t value, char*& out) noexcept {
    for (int shift = 28; shift >= 0; shift -= 4) *out++ = "0123456789abcdef"[(value >> shift) & 0xF];
}

// "~axqvr" with the process, the thread and the attempt, in the target's
// own folder, so that the final rename stays on one volume. The process
// and the thread keep apart the calls that may run at once.
bool TemporaryNameFor(std::string_view target, unsigned attempt, Path& out) noexcept {
    const std::size_t cut = target.find_last_of("\\/");
    const std::string_view folder = cut == std::string_view::npos ? std::string_view{} : target.substr(0, cut + 1);
    constexpr std::string_view prefix = "~axqvr", suffix = ".tmp";
    if (folder.size() + prefix.size() + 3 * 9 + suffix.size() + 1 > out.size()) return false;
    char* p = std::copy(folder.begin(), folder.end(), out.begin());
    p = std::copy(prefix.begin(), prefix.end(), p);
    AppendHex(GetCurrentProcessId(), p);
    *p++ = '-';
    AppendHex(GetCurrentThreadId(), p);
    *p++ = '-';
    AppendHex(attempt, p);
    p = std::copy(suffix.begin(), suffix.end(), p);
    *p = '\0';
    // An entry may itself be named like a temporary file: never write over it.
    return !SameLetters(std::string_view(out.data()), target);
}

// A file this call created under a temporary name. Unless it was renamed
// to its final name, it is deleted when this goes.
class TemporaryFile {
public:
    TemporaryFile() = default;
    ~TemporaryFile() {
        Close();
        if (created_) DeleteFileA(path_.data());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Creates a new, empty file beside `target`; never opens one that exists.
    bool CreateBeside(const char* target) noexcept {
        for (unsigned attempt = 0; attempt < TemporaryNameAttempts; ++attempt) {
            if (!TemporaryNameFor(target, attempt, path_)) continue;
            file_ = CreateFileA(path_.data(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file_ != INVALID_HANDLE_VALUE) {
                created_ = true;
                return true;
            }
            if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return false;
        }
        return false;
    }

    bool Write(std::span<const std::uint8_t> bytes) noexcept {
        DWORD written = 0;
        return bytes.empty() || (WriteFile(file_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                                 written == bytes.size());
    }

    // Closes the file and gives it the name `target` in one step, replacing
    // any file of that name.
    bool RenameTo(const char* target) noexcept {
        Close();
        if (!MoveFileExA(path_.data(), target, MOVEFILE_REPLACE_EXISTING)) return false;
        created_ = false;
        return true;
    }

private:
    void Close() noexcept {
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }

    HANDLE file_ = INVALID_HANDLE_VALUE;
    Path path_{};
    bool created_ = false;
};

}  // namespace

bool WriteEntryFile(const EntryName& name, HostBlock& slot, std::uint32_t size) noexcept {
    HostBlock content = std::move(slot);
    if (!IsSafeEntryName(name.data())) return false;

    TemporaryFile file;
    if (!file.CreateBeside(name.data()) || !file.Write(content.Bytes().first(size))) return false;
    content.Release();
    // The block for the host is had before the target is touched, so that
    // its failure too leaves the target as it was.
    HostBlock done;
    if (done.AllocateLocked(DiskOutputBlockSize) != ResultCode::Success) return false;
    std::fill(done.Bytes().begin(), done.Bytes().end(), std::uint8_t{0});
    if (!file.RenameTo(name.data())) return false;
    slot = std::move(done);
    return true;
}

}  // namespace axqvr
