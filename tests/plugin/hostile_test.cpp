// Damaged archives from strangers, through every export that reads an
// archive, from a file and from memory, to memory and to disk: the host
// gets one of the seven result codes, exactly what the archive core reads
// on every Success, and no file anywhere but in its current directory.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>

#include "core_expectations.h"
#include "damaged_archives.h"
#include "support.h"

namespace axqvr::test {
namespace {

std::size_t callsMade = 0;

bool IsResultCode(ResultCode code) {
    const auto value = static_cast<std::int32_t>(code);
    return value >= 0 && value <= 6;
}

// A component the system opens as a device whatever its extension.
bool NamesDevice(std::string component) {
    component = component.substr(0, component.find('.'));
    while (!component.empty() && component.back() == ' ') component.pop_back();
    for (char& c : component) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* device : {"con", "prn", "aux", "nul", "conin$", "conout$"})
        if (component == device) return true;
    const auto last = component.size() == 4 ? static_cast<unsigned char>(component[3]) : 0;
    return (component.rfind("com", 0) == 0 || component.rfind("lpt", 0) == 0) && component.size() == 4 &&
           ((last >= '0' && last <= '9') || last == 0xB9 || last == 0xB2 || last == 0xB3);
}

// The rule disk output keeps: such a name is refused before any file is made.
bool RefusedOnDisk(const std::string& name) {
    if (name.empty() || name[0] == '\\' || name[0] == '/') return true;
    if (name.find(':') != std::string::npos) return true;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != '\\' && name[i] != '/') continue;
        const std::string component = name.substr(start, i - start);
        // The system drops trailing dots and spaces: ". ." and "..." climb like "..".
        const bool onlyDotsAndSpaces = component.find_first_not_of(". ") == std::string::npos;
        if (onlyDotsAndSpaces && std::count(component.begin(), component.end(), '.') >= 2) return true;
        if (NamesDevice(component)) return true;
        start = i + 1;
    }
    return false;
}

// A name that any file system takes: disk output of it must succeed.
bool PlainName(const std::string& name) {
    const std::string rest = name.rfind("sub\\", 0) == 0 ? name.substr(4) : name;
    if (rest.empty() || rest.back() == '.') return false;
    return std::all_of(rest.begin(), rest.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
    });
}

std::wstring Wide(const std::string& s) {
    const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
    return out;
}

std::string Narrow(const std::wstring& s) {
    std::string out;
    for (const wchar_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

// Where a path names, whatever its length (names fill up to 199 bytes).
std::string FullPath(const std::string& path) {
    std::wstring full(32768, L'\0');
    const DWORD n = GetFullPathNameW(Wide(path).c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    return n > 0 && n < full.size() ? Narrow(full.substr(0, n)) : std::string();
}

// Everything under `dir`, as paths relative to it; `skip` is left out with all it holds.
void ListTree(const std::wstring& dir, const std::wstring& prefix, const std::wstring& skip,
              std::set<std::wstring>& out) {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring relative = prefix + name;
        if (relative == skip) continue;
        out.insert(relative);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ListTree(dir + L"\\" + name, relative + L"\\", skip, out);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}


// Memory whose last readable byte is followed by a page that cannot be
// read: an image placed at the end faults on the first byte read past it.
class GuardedRegion {
public:
    explicit GuardedRegion(std::size_t readableBytes) {
        const std::size_t page = PageSize();
        readable_ = (readableBytes + page - 1) / page * page;
        base_ = static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, readable_ + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        guarded_ = base_ != nullptr && VirtualProtect(base_ + readable_, page, PAGE_NOACCESS, &old);
    }
    ~GuardedRegion() {
        if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
    }
    GuardedRegion(const GuardedRegion&) = delete;
    GuardedRegion& operator=(const GuardedRegion&) = delete;

    bool Ready() const { return guarded_; }
    std::span<std::uint8_t> Readable() const { return {base_, readable_}; }
    // Clears the region (so nothing of an earlier image is found by a
    // search) and places `bytes` to end at the guard page.
    std::uint8_t* PlaceAtEnd(std::span<const std::uint8_t> bytes) const {
        std::memset(base_, 0, readable_);
        std::uint8_t* at = base_ + readable_ - bytes.size();
        std::copy(bytes.begin(), bytes.end(), at);
        return at;
    }

private:
    std::uint8_t* base_ = nullptr;
    std::size_t readable_ = 0;
    bool guarded_ = false;
};

::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    std::size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
    return ::testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size()
                                         << ", first difference at byte " << i;
}

class HostileRun {
public:
    HostileRun(const std::string& archivePath, const GuardedRegion& memory)
        : archivePath_(archivePath), memory_(memory) {}

    void Drive(const Bytes& archive) {
        archive_ = &archive;
        WriteFileBytes(archivePath_, archive);
        image_ = memory_.PlaceAtEnd(archive);
        Probe();
        List();
        LookUp();
        Extract();
    }

private:
    const char* Image() const { return AsSource(image_); }

    void Probe() {
        const Bytes& a = *archive_;
        const bool isArchive = qvr::CheckArchiveHeader(std::span(a).first(std::min<std::size_t>(a.size(), 2048)));
        ++callsMade;
        EXPECT_EQ(CallIsSupported("hostile.qvr", reinterpret_cast<std::uintptr_t>(image_)), isArchive ? 1 : 0);
        HANDLE file = CreateFileA(archivePath_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        ++callsMade;
        EXPECT_EQ(CallIsSupported("hostile.qvr", reinterpret_cast<std::uintptr_t>(file)), isArchive ? 1 : 0);
        CloseHandle(file);
    }

    void CheckListing(const char* what, const char* source, std::int32_t length, std::uint32_t flags,
                      const ExpectedListing& expected) {
        SCOPED_TRACE(what);
        LocalHandle slot = Untouched();
        ++callsMade;
        const ResultCode r = CallGetArchiveInfo(source, length, flags, &slot);
        ASSERT_TRUE(IsResultCode(r)) << static_cast<std::int32_t>(r);
        EXPECT_EQ(r, expected.code);
        if (r != ResultCode::Success) {
            EXPECT_EQ(slot, Untouched());
            return;
        }
        ReceivedBlock block;
        *block.Slot() = slot;
        EXPECT_TRUE(block.Unlocked());
        if (expected.code == ResultCode::Success) {
            EXPECT_TRUE(SameBytes(block.Contents(), expected.block));
        }
    }

    void List() {
        const Bytes& a = *archive_;
        CheckListing("list the file", archivePath_.c_str(), 0, FileSource(), ListFile(a, 0));
        CheckListing("list the image", Image(), 0, MemorySource(), ListImage(a));
        // A positive length bounds the image: what lies past it does not exist.
        if (a.size() >= 2) {
            const auto half = static_cast<std::int32_t>(a.size() / 2);
            CheckListing("list the image's first half", Image(), half, MemorySource(),
                         ListImage(std::span(a).first(static_cast<std::size_t>(half))));
        }
    }

    void CheckLookup(const char* what, const char* source, std::int32_t length, std::uint32_t inputKind,
                     const std::string& name, bool ignoreCase, const ExpectedLookup& expected) {
        SCOPED_TRACE(std::string(what) + " \"" + name + "\"");
        FileInfoRecord record{};
        ++callsMade;
        const ResultCode r =
            CallGetFileInfo(source, length, name.c_str(), inputKind | (ignoreCase ? IgnoreCaseFlag : 0), &record);
        ASSERT_TRUE(IsResultCode(r)) << static_cast<std::int32_t>(r);
        EXPECT_EQ(r, expected.code);
        if (r == expected.code) {
            EXPECT_TRUE(SameRecord(record, expected.touched ? expected.record : FileInfoRecord{}));
        }
    }

    void LookUp() {
        const Bytes& a = *archive_;
        // Names to look for: the first and last entry the image lists, and one that is nowhere.
        std::vector<std::pair<std::string, bool>> names = {{"readme.txt", false}, {"no such entry", false}};
        const ExpectedListing listed = ListImage(a);
        if (listed.code == ResultCode::Success && listed.block.size() > sizeof(FileInfoRecord)) {
            FileInfoRecord first{};
            FileInfoRecord last{};
            std::memcpy(&first, listed.block.data(), sizeof first);
            std::memcpy(&last, listed.block.data() + listed.block.size() - 2 * sizeof last, sizeof last);
            names[0] = {first.fileName.data(), false};
            std::string upper = last.fileName.data();
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            names.push_back({upper, true});
        }
        for (const auto& [name, ignoreCase] : names) {
            CheckLookup("look up in the file", archivePath_.c_str(), 0, 0, name, ignoreCase,
                        LookUpInFile(a, 0, name.c_str(), ignoreCase));
            CheckLookup("look up in the image", Image(), static_cast<std::int32_t>(a.size()), 1, name, ignoreCase,
                        LookUpInImage(a, name.c_str(), ignoreCase));
        }
    }

    // One GetFile call, both output kinds, judged against the extraction the core gives.
    void CheckExtraction(const std::string& what, const char* source, std::int32_t length, std::uint32_t inputKind,
                         const ExpectedExtraction& expected) {
        for (const OutputKind out : {OutputKind::Memory, OutputKind::Disk}) {
            SCOPED_TRACE(what + (out == OutputKind::Memory ? " to memory" : " to disk"));
            LocalHandle slot = Untouched();
            ++callsMade;
            const ResultCode r = CallGetFile(source, length, &slot, inputKind | (static_cast<std::uint32_t>(out) << 8));
            ASSERT_TRUE(IsResultCode(r)) << static_cast<std::int32_t>(r);
            if (r != ResultCode::Success) {
                EXPECT_EQ(slot, Untouched()) << "a failed call wrote the slot";
            }

            if (expected.code != ResultCode::Success) {
                EXPECT_EQ(r, expected.code);
                continue;
            }
            if (out == OutputKind::Memory) {
                // No host can lock a zero-byte movable block.
                EXPECT_EQ(r, expected.content.empty() ? ResultCode::MemoryError : ResultCode::Success);
                if (r != ResultCode::Success) continue;
                ReceivedBlock block;
                *block.Slot() = slot;
                EXPECT_TRUE(block.Unlocked());
                EXPECT_TRUE(SameBytes(block.Contents(), expected.content));
                continue;
            }
            if (RefusedOnDisk(expected.name)) {
                EXPECT_EQ(r, ResultCode::Unsupported) << "disk output of \"" << expected.name << "\"";
                continue;
            }
            if (PlainName(expected.name)) {
                EXPECT_EQ(r, ResultCode::Success) << "\"" << expected.name << "\"";
            } else {
                EXPECT_TRUE(r == ResultCode::Success || r == ResultCode::Unsupported) << static_cast<std::int32_t>(r);
            }
            if (r != ResultCode::Success) continue;
            ReceivedBlock block;
            *block.Slot() = slot;
            EXPECT_TRUE(block.Unlocked());
            EXPECT_EQ(block.Contents(), Bytes(200, 0));
            const std::string written = FullPath(expected.name);
            EXPECT_EQ(written.rfind(FullPath(".") + "\\", 0), 0u) << "written to " << written;
            EXPECT_TRUE(SameBytes(ReadFileBytes(expected.name), expected.content)) << expected.name;
            DeleteFileA(expected.name.c_str());
        }
    }

    void Extract() {
        const Bytes& a = *archive_;
        // The entries the header announces: the first few, the last, and just past it.
        const std::int32_t count = a.size() >= qvr::HeaderSize
                                       ? qvr::LoadU16(std::span(a).subspan(qvr::EntryCountOffset).first<2>())
                                       : 0;
        std::set<std::int32_t> indexes = {-1, 0, 1, 2, count - 1, count, count + 1};
        for (const std::int32_t index : indexes) {
            CheckExtraction("file entry " + std::to_string(index), archivePath_.c_str(), index, 0,
                            ExtractFromFile(a, index));
            // A memory source points `index` bytes past the image's first byte, up
            // to the first byte that cannot be read.
            if (index < 0 || static_cast<std::size_t>(index) > a.size()) continue;
            const auto readable = memory_.Readable();
            const std::size_t at = static_cast<std::size_t>(image_ - readable.data()) + static_cast<std::size_t>(index);
            CheckExtraction("image entry " + std::to_string(index), AsSource(image_ + index), -1, 1,
                            ExtractFromMemory(readable, at));
        }
    }

    std::string archivePath_;
    const GuardedRegion& memory_;
    const Bytes* archive_ = nullptr;
    const std::uint8_t* image_ = nullptr;
};

// Where a name that climbs or roots itself would land: every folder from
// the current one up to its drive's root, and the roots of C: and Z:.
std::vector<std::string> EscapeTargets() {
    std::vector<std::string> folders;
    std::string dir = FullPath(".");
    while (true) {
        folders.push_back(dir);
        const auto slash = dir.find_last_of('\\');
        if (slash == std::string::npos || slash + 1 == dir.size()) break;
        dir = slash == 2 ? dir.substr(0, 3) : dir.substr(0, slash);
    }
    folders.push_back("C:\\");
    folders.push_back("Z:\\");
    std::vector<std::string> targets;
    for (const auto& folder : folders) {
        const std::string base = folder.back() == '\\' ? folder : folder + "\\";
        for (int n = 1; n <= 40; ++n) targets.push_back(base + "qvr-escape-" + std::to_string(n));
    }
    return targets;
}

TEST(HostileArchives, EveryExportAnswersDamagedArchivesSafely) {
    const auto archives = DamagedArchives();
    EXPECT_GE(archives.size(), 500u);
    std::size_t largest = 0;
    for (const auto& a : archives) largest = std::max(largest, a.bytes.size());

    // The calls run in "jail"; the archive lies beside it, in "hostile".
    CreateDirectoryA("hostile", nullptr);
    const std::string outer = FullPath("hostile");
    const std::string jail = outer + "\\jail";
    CreateDirectoryA(jail.c_str(), nullptr);
    CreateDirectoryA((jail + "\\sub").c_str(), nullptr);
    WriteFileBytes(outer + "\\beside.txt", Text("the folder around the current one"));
    const std::string archivePath = outer + "\\hostile.qvr";
    WriteFileBytes(archivePath, Text("placeholder"));
    std::set<std::wstring> outerBefore;
    ListTree(Wide(outer), L"", L"jail", outerBefore);

    const auto escapes = EscapeTargets();
    for (const auto& target : escapes) ASSERT_FALSE(FileExists(target)) << target << " exists before the test";

    // The search back for "QVR" may read 65535 bytes before an image.
    GuardedRegion memory(largest + 65536 + 16);
    ASSERT_TRUE(memory.Ready());

    const std::string home = FullPath(".");
    ASSERT_TRUE(SetCurrentDirectoryA(jail.c_str()));
    HostileRun run(archivePath, memory);
    const DWORD started = GetTickCount();
    const auto* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    int failingArchives = 0;
    for (const auto& archive : archives) {
        const int partsBefore = result->total_part_count();
        SCOPED_TRACE(archive.what);
        // Where the damage alone decides the answer, the expectations that
        // every call is judged against must give it.
        if (archive.fileOpening) {
            EXPECT_EQ(ListFile(archive.bytes, 0).code, *archive.fileOpening);
        }
        if (archive.imageOpening) {
            EXPECT_EQ(ListImage(archive.bytes).code, *archive.imageOpening);
        }
        run.Drive(archive.bytes);

        // Whatever a call left behind: nothing around the current folder, nothing in it.
        std::set<std::wstring> outerAfter;
        ListTree(Wide(outer), L"", L"jail", outerAfter);
        EXPECT_EQ(outerAfter, outerBefore) << "a file appeared or vanished beside the current folder";
        std::set<std::wstring> left;
        ListTree(Wide(jail), L"", L"sub", left);
        ListTree(Wide(jail + "\\sub"), L"sub\\", L"", left);
        for (const auto& name : left) {
            ADD_FAILURE() << "left in the current folder: " << Narrow(name);
            DeleteFileW((Wide(jail) + L"\\" + name).c_str());
        }
        // A few broken archives explain the rest; stop before thousands of messages.
        if (result->total_part_count() != partsBefore && ++failingArchives == 20) {
            ADD_FAILURE() << "stopped after 20 archives that failed";
            break;
        }
    }
    const DWORD elapsed = GetTickCount() - started;
    SetCurrentDirectoryA(home.c_str());
    for (const auto& target : escapes) EXPECT_FALSE(FileExists(target)) << target << " was written";

    std::printf("[ figures  ] %u damaged archives, %u calls, %lu ms\n", static_cast<unsigned>(archives.size()),
                static_cast<unsigned>(callsMade), static_cast<unsigned long>(elapsed));
    RecordProperty("archives", static_cast<int>(archives.size()));
    RecordProperty("calls", static_cast<int>(callsMade));
}

}  // namespace
}  // namespace axqvr::test
