// Windows file operations: positioned reads with OVERLAPPED offsets, copies
// through a buffer, and folders that are never entered through a symbolic
// link or junction (any reparse point is refused).
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "names/names.h"
#include "platform/platform.h"
#include "qvr/scramble.h"

namespace qvr::cli {
namespace {

constexpr std::size_t CopyBuffer = std::size_t{1} << 20;

struct TempSlot {
    std::atomic<int> state{0};  // 0 free, 1 filling, 2 live
    wchar_t path[1024] = {};
};
// Enough for every extraction thread and the main thread at once.
constexpr int SlotCount = 128;
std::array<TempSlot, SlotCount> tempSlots;

int ClaimSlot(const std::filesystem::path& path) {
    const auto& w = path.native();
    if (w.size() >= std::size(TempSlot{}.path)) return -1;
    for (int i = 0; i < SlotCount; ++i) {
        auto& s = tempSlots[static_cast<std::size_t>(i)];
        int expected = 0;
        if (s.state.compare_exchange_strong(expected, 1)) {
            std::wmemcpy(s.path, w.c_str(), w.size() + 1);
            s.state.store(2);
            return i;
        }
    }
    return -1;
}

void FreeSlot(int slot) {
    if (slot >= 0) tempSlots[static_cast<std::size_t>(slot)].state.store(0);
}

BOOL WINAPI OnConsoleEvent(DWORD) {
    for (auto& s : tempSlots)
        if (s.state.load() == 2) DeleteFileW(s.path);
    return FALSE;  // let the default handler end the process
}

std::vector<std::uint8_t>& ThreadBuffer() {
    thread_local std::vector<std::uint8_t> buffer(CopyBuffer);
    return buffer;
}

std::filesystem::path TempPath(const std::filesystem::path& folder, const std::string& name) {
    return folder / std::filesystem::path(std::wstring(name.begin(), name.end()));
}

}  // namespace

std::string LastSystemError() {
    const DWORD code = GetLastError();
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string message = n && text ? std::string(text, n) : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

File::File() noexcept : h_(INVALID_HANDLE_VALUE) {}
File::File(File&& other) noexcept : h_(other.h_) { other.h_ = INVALID_HANDLE_VALUE; }
File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (Valid()) CloseHandle(h_);
        h_ = other.h_;
        other.h_ = INVALID_HANDLE_VALUE;
    }
    return *this;
}
File::~File() {
    if (Valid()) CloseHandle(h_);
}
bool File::Valid() const noexcept { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }

std::optional<InputFile> InputFile::Open(const std::filesystem::path& path, std::string& error) {
    File f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.Valid()) {
        error = LastSystemError();
        return std::nullopt;
    }
    return Adopt(std::move(f), error);
}

std::optional<InputFile> InputFile::OpenToPack(const std::filesystem::path& path, bool followLinks,
                                               std::string& error) {
    File f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       followLinks ? FILE_ATTRIBUTE_NORMAL : FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!f.Valid()) {
        error = LastSystemError();
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!followLinks && GetFileInformationByHandle(f.Get(), &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        error = "is a symbolic link";
        return std::nullopt;
    }
    return Adopt(std::move(f), error);
}

std::optional<std::uint64_t> InputFile::CurrentSize() const noexcept {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.Get(), &size)) return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::optional<InputFile> InputFile::Adopt(File f, std::string& error) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(f.Get(), &info)) {
        error = LastSystemError();
        return std::nullopt;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = "is a folder";
        return std::nullopt;
    }
    InputFile in;
    in.file_ = std::move(f);
    in.size_ = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    in.identity_ = {info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    return in;
}

std::optional<InputFile> InputFile::SpoolStandardInput(std::string& error) {
    const HANDLE stdIn = GetStdHandle(STD_INPUT_HANDLE);
    const DWORD type = GetFileType(stdIn);
    if (type == FILE_TYPE_CHAR) {
        error = "it is a console; give an archive's name, or send one through a pipe";
        return std::nullopt;
    }
    InputFile in;
    BY_HANDLE_FILE_INFORMATION info{};
    if (type == FILE_TYPE_DISK) {
        // A redirected file is read in place, at its own offsets.
        HANDLE copy = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), stdIn, GetCurrentProcess(), &copy, 0, FALSE,
                             DUPLICATE_SAME_ACCESS) ||
            !GetFileInformationByHandle(copy, &info)) {
            error = LastSystemError();
            if (copy) CloseHandle(copy);
            return std::nullopt;
        }
        in.file_ = File(copy);
        in.size_ = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
        in.identity_ = {info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
        return in;
    }
    wchar_t folder[MAX_PATH + 1] = {};
    wchar_t name[MAX_PATH + 1] = {};
    if (!GetTempPathW(MAX_PATH + 1, folder) || !GetTempFileNameW(folder, L"qvr", 0, name)) {
        error = "cannot make a temporary file: " + LastSystemError();
        return std::nullopt;
    }
    // Deleted when closed, whatever ends the run.
    File spool(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY, nullptr));
    DeleteFileW(name);
    if (!spool.Valid()) {
        error = "cannot make a temporary file: " + LastSystemError();
        return std::nullopt;
    }
    auto& buffer = ThreadBuffer();
    std::uint64_t total = 0;
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(stdIn, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            if (GetLastError() == ERROR_BROKEN_PIPE) break;  // the writer has finished
            error = LastSystemError();
            return std::nullopt;
        }
        if (got == 0) break;
        if (!WriteAll(spool.Get(), std::span(buffer).first(got), error)) {
            error = "cannot keep it in a temporary file: " + error;
            return std::nullopt;
        }
        total += got;
    }
    if (!GetFileInformationByHandle(spool.Get(), &info)) {
        error = LastSystemError();
        return std::nullopt;
    }
    in.file_ = std::move(spool);
    in.size_ = total;
    in.identity_ = {info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    return in;
}

std::size_t InputFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) {
    std::size_t got = 0;
    while (got < into.size()) {
        OVERLAPPED at{};
        const std::uint64_t pos = offset + got;
        at.Offset = static_cast<DWORD>(pos);
        at.OffsetHigh = static_cast<DWORD>(pos >> 32);
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(into.size() - got, 1u << 30));
        if (!::ReadFile(file_.Get(), into.data() + got, want, &n, &at) || n == 0) break;
        got += n;
    }
    return got;
}

bool WriteAll(NativeHandle to, std::span<const std::uint8_t> bytes, std::string& error) {
    while (!bytes.empty()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!WriteFile(to, bytes.data(), want, &n, nullptr) || n == 0) {
            error = LastSystemError();
            return false;
        }
        bytes = bytes.subspan(n);
    }
    return true;
}

namespace {

// Through memory, one buffer at a time; `mask` descrambles the first
// bytes (they all lie in the first buffer).
std::uint64_t CopyThroughBuffer(const InputFile& from, std::uint64_t offset, std::uint64_t size, NativeHandle to,
                                bool mask, std::string& error) {
    auto& buffer = ThreadBuffer();
    // ReadAt does not change the file; the cast only meets the byte-source interface.
    auto& source = const_cast<InputFile&>(from);
    std::uint64_t done = 0;
    while (done < size) {
        const auto chunk = std::span(buffer).first(static_cast<std::size_t>(std::min<std::uint64_t>(size - done, buffer.size())));
        const std::size_t got = source.ReadAt(offset + done, chunk);
        if (got < chunk.size() && done == 0 && mask) return 0;  // never write part of an entry that is not there
        const auto part = chunk.first(got);
        if (done == 0 && mask) DescrambleContent(part);
        if (!WriteAll(to, part, error)) return done;
        done += got;
        if (got < chunk.size()) return done;
    }
    return done;
}

}  // namespace

std::uint64_t CopyMasked(const InputFile& from, std::uint64_t offset, std::uint64_t size, NativeHandle to, bool,
                         std::string& error) {
    return CopyThroughBuffer(from, offset, size, to, true, error);
}

std::uint64_t CopyStored(const InputFile& from, std::uint64_t offset, std::uint64_t size, NativeHandle to,
                         std::string& error) {
    return CopyThroughBuffer(from, offset, size, to, false, error);
}

void StartWriteOut(NativeHandle) noexcept {}

NativeHandle StandardOutput() noexcept { return GetStdHandle(STD_OUTPUT_HANDLE); }

std::optional<Folder> Folder::OpenRoot(const std::filesystem::path& path, bool create, std::string& error) {
    std::error_code ec;
    if (create && (std::filesystem::create_directories(path, ec), ec)) {
        error = ec.message();
        return std::nullopt;
    }
    const DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        error = LastSystemError();
        return std::nullopt;
    }
    if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        error = "not a folder";
        return std::nullopt;
    }
    Folder folder;
    folder.path_ = std::filesystem::absolute(path, ec);
    if (ec) folder.path_ = path;
    return folder;
}

std::optional<Folder> Folder::Descend(const std::filesystem::path& relative, std::string& error) const {
    Folder at = *this;
    for (const auto& part : relative) {
        const auto next = at.path_ / part;
        DWORD attrs = GetFileAttributesW(next.c_str());
        if (attrs == INVALID_FILE_ATTRIBUTES) {
            if (!CreateDirectoryW(next.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                error = "cannot create folder " + next.string() + ": " + LastSystemError();
                return std::nullopt;
            }
            attrs = GetFileAttributesW(next.c_str());
        }
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
            error = next.string() + ": is a symbolic link or junction; not followed";
            return std::nullopt;
        }
        if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
            error = next.string() + ": exists and is not a folder";
            return std::nullopt;
        }
        at.path_ = next;
    }
    return at;
}

NodeKind Folder::Probe(const std::filesystem::path& leaf) const {
    const DWORD attrs = GetFileAttributesW((path_ / leaf).c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) return NodeKind::Missing;
    if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return NodeKind::Link;
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) return NodeKind::Folder;
    return NodeKind::File;
}

std::optional<TempOutput> Folder::CreateTemp(std::string& error) const {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, ".qvr-%lu-%u.part", GetCurrentProcessId(), counter.fetch_add(1));
        const auto full = TempPath(path_, name);
        // Registered for removal before it exists: an interrupt between the
        // two cannot leave it behind.
        const int slot = ClaimSlot(full);
        File f(CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (f.Valid()) return TempOutput(*this, std::move(f), name, slot);
        const DWORD openError = GetLastError();
        FreeSlot(slot);
        SetLastError(openError);
        if (openError != ERROR_FILE_EXISTS) break;
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
    DeleteFileW(TempPath(folder_.path_, name_).c_str());
    FreeSlot(slot_);
    slot_ = -1;
}

// Every temporary file has a name here; there is nothing to link.
bool TempOutput::LinkTemporaryName(std::string&) { return true; }

std::optional<FileIdentity> Folder::IdentityOf(const std::filesystem::path& leaf) const {
    File f(CreateFileW((path_ / leaf).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!f.Valid() || !GetFileInformationByHandle(f.Get(), &info)) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

CommitStatus TempOutput::Commit(const std::filesystem::path& leaf, const CommitRules& rules, std::string& error) {
    if (rules.durable && !FlushFileBuffers(file_.Get())) {
        error = LastSystemError();
        Discard();
        return CommitStatus::Failed;
    }
    if (!CloseHandle(file_.Release())) {
        error = LastSystemError();
        Discard();
        return CommitStatus::Failed;
    }
    const auto from = TempPath(folder_.path_, name_);
    const auto to = folder_.path_ / leaf;
    if (rules.replaces && folder_.IdentityOf(leaf) != rules.replaces) {
        error = "the name leads to another file now";
        Discard();
        return CommitStatus::Changed;
    }
    DWORD flags = rules.overwrite ? MOVEFILE_REPLACE_EXISTING : 0;
    if (rules.durable) flags |= MOVEFILE_WRITE_THROUGH;
    if (!MoveFileExW(from.c_str(), to.c_str(), flags)) {
        const DWORD why = GetLastError();
        error = LastSystemError();
        Discard();
        return why == ERROR_ALREADY_EXISTS || why == ERROR_FILE_EXISTS ? CommitStatus::Exists : CommitStatus::Failed;
    }
    open_ = false;
    FreeSlot(slot_);
    slot_ = -1;
    return CommitStatus::Done;
}

void InstallInterruptCleanup() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

std::optional<std::pair<std::uint64_t, std::uint64_t>> NodeIdentity(const std::filesystem::path& path) {
    // Backup semantics open folders as well as files.
    File f(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!f.Valid() || !GetFileInformationByHandle(f.Get(), &info)) return std::nullopt;
    return std::pair<std::uint64_t, std::uint64_t>{
        info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// The command line and stored names are both in the ANSI code page here.
NameCharacters SystemNameCharacters() {
    static const NameCharacters characters = [] {
        NameCharacters c;
        const UINT codePage = GetACP();
        c.utf8 = codePage == CP_UTF8;
        CPINFO info{};
        if (!c.utf8 && GetCPInfo(codePage, &info))
            c.lead = LeadBytes::FromRangePairs(std::span<const std::uint8_t>(info.LeadByte, MAX_LEADBYTES));
        return c;
    }();
    return characters;
}

std::string ArgumentAsUtf8(const std::string& argument) {
    if (argument.empty() || GetACP() == CP_UTF8) return argument;
    const int wideLength = MultiByteToWideChar(CP_ACP, 0, argument.data(), static_cast<int>(argument.size()), nullptr, 0);
    if (wideLength <= 0) return argument;
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_ACP, 0, argument.data(), static_cast<int>(argument.size()), wide.data(), wideLength);
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, out.data(), length, nullptr, nullptr);
    return out;
}

void PauseAtForTests(const char*) noexcept {}

bool IsTerminal(NativeHandle h) noexcept { return GetFileType(h) == FILE_TYPE_CHAR; }
bool StderrIsTerminal() noexcept { return IsTerminal(GetStdHandle(STD_ERROR_HANDLE)); }

}  // namespace qvr::cli
