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
#include "platform/temp_registry.h"
#include "qvr/scramble.h"

namespace qvr::cli {
namespace {

constexpr std::size_t CopyBuffer = std::size_t{1} << 20;

BOOL WINAPI OnConsoleEvent(DWORD) {
    RemoveRegisteredTemporaries();
    return FALSE;  // let the default handler end the process
}

FileIdentity IdentityOfInfo(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
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

Result<InputFile> InputFile::Open(const std::filesystem::path& path) {
    File f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.Valid()) return Fail(LastSystemError());
    return Adopt(std::move(f));
}

Result<InputFile> InputFile::OpenToPack(const std::filesystem::path& path, bool followLinks) {
    File f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       followLinks ? FILE_ATTRIBUTE_NORMAL : FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!f.Valid()) return Fail(LastSystemError());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!followLinks && GetFileInformationByHandle(f.Get(), &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return Fail("is a symbolic link");
    return Adopt(std::move(f));
}

Result<InputFile> InputFile::OpenToPack(const SourceFolder& folder, const NativePath& leaf, bool followLinks) {
    return OpenToPack(std::filesystem::path(folder.Path()) / leaf, followLinks);
}

// Windows has no lookup from an open folder: each name is reached by its
// whole path, with the file system library's calls.
Result<SourceFolder> SourceFolder::Open(const NativePath& path) {
    std::error_code ec;
    if (!std::filesystem::is_directory(path, ec)) return Fail(ec ? ec.message() : std::string("not a folder"));
    const auto identity = NodeIdentity(path);
    if (!identity) return Fail(LastSystemError());
    SourceFolder folder;
    folder.path_ = path;
    folder.identity_ = *identity;
    return folder;
}

Result<SourceFolder> SourceFolder::Enter(const NativePath&, NativePath path) const { return Open(path); }

Result<SourceFolder::Node> SourceFolder::Look(const NativePath& leaf, bool followLinks) const {
    const auto path = std::filesystem::path(path_) / leaf;
    std::error_code ec;
    const auto own = std::filesystem::symlink_status(path, ec);
    if (ec) return Fail(ec.message());
    Node node;
    node.link = std::filesystem::is_symlink(own);
    if (node.link && !followLinks) {
        node.kind = NodeKind::Link;
        return node;
    }
    const auto target = node.link ? std::filesystem::status(path, ec) : own;
    if (ec || !std::filesystem::exists(target)) return node;  // a link to nothing
    if (std::filesystem::is_directory(target)) {
        node.kind = NodeKind::Folder;
        if (const auto identity = NodeIdentity(path)) node.identity = *identity;
    } else if (std::filesystem::is_regular_file(target)) {
        // Opened to learn its identity, which also tells it can be read.
        auto in = InputFile::OpenToPack(path, followLinks);
        if (!in) return in.failure();
        node.kind = NodeKind::File;
        node.size = in->Size();
        node.identity = in->Identity();
    } else {
        node.kind = NodeKind::Other;
    }
    return node;
}

Done SourceFolder::CheckReadable(const NativePath&) const { return {}; }  // Look opened it

Result<std::vector<NativePath>> SourceFolder::List() const {
    std::error_code ec;
    std::vector<NativePath> names;
    for (std::filesystem::directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().native());
    if (ec) return Fail(ec.message());
    return names;
}

std::optional<std::uint64_t> InputFile::CurrentSize() const noexcept {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.Get(), &size)) return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
}

Result<InputFile> InputFile::Adopt(File f) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(f.Get(), &info)) return Fail(LastSystemError());
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Fail("is a folder");
    InputFile in;
    in.file_ = std::move(f);
    in.size_ = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    in.identity_ = IdentityOfInfo(info);
    return in;
}

Result<InputFile> InputFile::SpoolStandardInput() {
    const HANDLE stdIn = GetStdHandle(STD_INPUT_HANDLE);
    const DWORD type = GetFileType(stdIn);
    if (type == FILE_TYPE_CHAR) return Fail("it is a console; give an archive's name, or send one through a pipe");
    InputFile in;
    BY_HANDLE_FILE_INFORMATION info{};
    if (type == FILE_TYPE_DISK) {
        // A redirected file is read in place, at its own offsets.
        HANDLE copy = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), stdIn, GetCurrentProcess(), &copy, 0, FALSE,
                             DUPLICATE_SAME_ACCESS) ||
            !GetFileInformationByHandle(copy, &info)) {
            Failure why{LastSystemError()};
            if (copy) CloseHandle(copy);
            return why;
        }
        in.file_ = File(copy);
        in.size_ = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
        in.identity_ = IdentityOfInfo(info);
        return in;
    }
    wchar_t folder[MAX_PATH + 1] = {};
    wchar_t name[MAX_PATH + 1] = {};
    if (!GetTempPathW(MAX_PATH + 1, folder) || !GetTempFileNameW(folder, L"qvr", 0, name))
        return Fail("cannot make a temporary file: " + LastSystemError());
    // Deleted when closed, whatever ends the run.
    File spool(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY, nullptr));
    DeleteFileW(name);
    if (!spool.Valid()) return Fail("cannot make a temporary file: " + LastSystemError());
    const auto total = SpoolStandardInputTo(spool.Get());
    if (!total) return total.failure();
    if (!GetFileInformationByHandle(spool.Get(), &info)) return Fail(LastSystemError());
    in.file_ = std::move(spool);
    in.size_ = *total;
    in.identity_ = IdentityOfInfo(info);
    return in;
}

Result<std::size_t> ReadStandardInput(std::span<std::uint8_t> into) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(into.size(), 1u << 30));
    if (::ReadFile(GetStdHandle(STD_INPUT_HANDLE), into.data(), want, &got, nullptr)) return std::size_t{got};
    if (GetLastError() == ERROR_BROKEN_PIPE) return std::size_t{0};  // the writer has finished
    return Fail(LastSystemError());
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

std::size_t InputFile::ReadOnceAt(std::uint64_t offset, std::span<std::uint8_t> into) { return ReadAt(offset, into); }

Done WriteAll(NativeHandle to, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!WriteFile(to, bytes.data(), want, &n, nullptr) || n == 0) return Fail(LastSystemError());
        bytes = bytes.subspan(n);
    }
    return {};
}

namespace {

// Through memory, one buffer at a time; `mask` descrambles the first
// bytes (they all lie in the first buffer).
Result<std::uint64_t> CopyThroughBuffer(const InputFile& from, std::uint64_t offset, std::uint64_t size,
                                        NativeHandle to, bool mask) {
    auto& buffer = ThreadBuffer(CopyBuffer);
    // ReadAt does not change the file; the cast only meets the byte-source interface.
    auto& source = const_cast<InputFile&>(from);
    std::uint64_t done = 0;
    while (done < size) {
        const auto chunk = std::span(buffer).first(static_cast<std::size_t>(std::min<std::uint64_t>(size - done, buffer.size())));
        const std::size_t got = source.ReadAt(offset + done, chunk);
        if (got < chunk.size() && done == 0 && mask) return std::uint64_t{0};  // never write part of an entry that is not there
        const auto part = chunk.first(got);
        if (done == 0 && mask) DescrambleContent(part);
        if (auto written = WriteAll(to, part); !written) return written.failure();
        done += got;
        if (got < chunk.size()) return done;
    }
    return done;
}

}  // namespace

Result<std::uint64_t> CopyMasked(const InputFile& from, std::uint64_t offset, std::uint64_t size, NativeHandle to,
                                 bool) {
    return CopyThroughBuffer(from, offset, size, to, true);
}

Result<std::uint64_t> CopyStored(const InputFile& from, std::uint64_t offset, std::uint64_t size, NativeHandle to) {
    return CopyThroughBuffer(from, offset, size, to, false);
}

void StartWriteOut(NativeHandle) noexcept {}

NativeHandle StandardOutput() noexcept { return GetStdHandle(STD_OUTPUT_HANDLE); }

Result<Folder> Folder::OpenRoot(const std::filesystem::path& path, bool create) {
    std::error_code ec;
    if (create && (std::filesystem::create_directories(path, ec), ec)) return Fail(ec.message());
    const DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) return Fail(LastSystemError());
    if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) return Fail("not a folder");
    Folder folder;
    folder.path_ = std::filesystem::absolute(path, ec);
    if (ec) folder.path_ = path;
    return folder;
}

Result<Folder> Folder::Descend(const std::filesystem::path& relative) const {
    Folder at = *this;
    for (const auto& part : relative) {
        const auto next = at.path_ / part;
        DWORD attrs = GetFileAttributesW(next.c_str());
        if (attrs == INVALID_FILE_ATTRIBUTES) {
            if (!CreateDirectoryW(next.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                return Fail("cannot create folder " + next.string() + ": " + LastSystemError());
            }
            attrs = GetFileAttributesW(next.c_str());
        }
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
            return Fail(next.string() + ": is a symbolic link or junction; not followed");
        }
        if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
            return Fail(next.string() + ": exists and is not a folder");
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

// Files here are made with a name, so they stay private until committed.
Result<TempOutput> Folder::CreateTemp(TempBits) const { return CreateNamedTemp(); }

TempPlace Folder::PlaceOf(const std::string& name) const {
    TempPlace place;
    const auto full = TempPath(path_, name);
    const auto& w = full.native();
    if (w.size() < std::size(place.path)) std::wmemcpy(place.path, w.c_str(), w.size() + 1);
    return place;
}

File Folder::CreateNew(const std::string& name, bool& taken) const {
    File f(CreateFileW(TempPath(path_, name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr));
    taken = !f.Valid() && GetLastError() == ERROR_FILE_EXISTS;
    return f;
}

void RemoveTemporary(const TempPlace& place) noexcept { DeleteFileW(place.path); }

long ProcessId() noexcept { return static_cast<long>(GetCurrentProcessId()); }

void TempOutput::RemoveName() noexcept { DeleteFileW(TempPath(folder_.path_, name_).c_str()); }

// Every temporary file has a name here; there is nothing to link.
Done TempOutput::LinkTemporaryName() { return {}; }

std::optional<FileIdentity> Folder::IdentityOf(const std::filesystem::path& leaf) const {
    File f(CreateFileW((path_ / leaf).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!f.Valid() || !GetFileInformationByHandle(f.Get(), &info)) return std::nullopt;
    return IdentityOfInfo(info);
}

Result<CommitStatus> TempOutput::Commit(const std::filesystem::path& leaf, const CommitRules& rules) {
    auto failed = [&] {
        Failure why{LastSystemError()};
        Discard();
        return why;
    };
    if (rules.durable && !FlushFileBuffers(file_.Get())) return failed();
    if (!CloseHandle(file_.Release())) return failed();
    const auto from = TempPath(folder_.path_, name_);
    const auto to = folder_.path_ / leaf;
    if (rules.replaces && folder_.IdentityOf(leaf) != rules.replaces) {
        Discard();
        return CommitStatus::Changed;
    }
    DWORD flags = rules.overwrite ? MOVEFILE_REPLACE_EXISTING : 0;
    if (rules.durable) flags |= MOVEFILE_WRITE_THROUGH;
    if (!MoveFileExW(from.c_str(), to.c_str(), flags)) {
        const DWORD why = GetLastError();
        Failure failure = failed();
        if (why == ERROR_ALREADY_EXISTS || why == ERROR_FILE_EXISTS) return CommitStatus::Exists;
        return failure;
    }
    Settle();
    return CommitStatus::Placed;
}

void InstallInterruptCleanup() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

std::optional<std::pair<std::uint64_t, std::uint64_t>> NodeIdentity(const std::filesystem::path& path) {
    // Backup semantics open folders as well as files.
    File f(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!f.Valid() || !GetFileInformationByHandle(f.Get(), &info)) return std::nullopt;
    return IdentityOfInfo(info);
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
