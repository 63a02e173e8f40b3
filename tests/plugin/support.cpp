#include "support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace axqvr {

void PrintTo(ResultCode code, std::ostream* out) {
    static constexpr const char* Names[] = {"Success",     "Unsupported", "UnrecognisedFormat", "EntryNotFound",
                                            "AllocFailed", "MemoryError", "OpenFailed"};
    const auto value = static_cast<std::int32_t>(code);
    if (value >= 0 && value < 7) *out << Names[value];
    else *out << "ResultCode(" << value << ")";
}

namespace test {

// Where the bundled samples are; main sets it from --samples=DIR.
std::string& SamplesDirectory() {
    static std::string dir;
    return dir;
}

Bytes Text(std::string_view s) { return {s.begin(), s.end()}; }

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 8));
    return v;
}

Bytes Numbered(const char* prefix, std::size_t n) {
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%s%u", prefix, static_cast<unsigned>(n));
    return Bytes(text, text + length);
}

Bytes Build(const std::vector<qvr::WriterEntry>& entries) {
    auto written = qvr::WriteArchive(entries);
    EXPECT_TRUE(written.ok()) << written.error;
    return std::move(written.bytes);
}

std::vector<qvr::WriterEntry> VariedEntries() {
    std::vector<qvr::WriterEntry> entries;
    entries.push_back({Text("readme.txt"), Text("A short plain text.")});
    entries.push_back({{}, Pattern(1, 3)});                           // no name at all
    entries.push_back({Text("exactly50.bin"), Pattern(50, 7)});
    entries.push_back({Text("Mixed.Case.DAT"), Pattern(51, 11)});
    entries.push_back({Text("forty-nine"), Pattern(49, 17)});
    entries.push_back({Bytes(199, 'n'), Pattern(300, 19)});           // fills fileName
    entries.push_back({Bytes(255, 'm'), Pattern(2, 23)});             // cut to 199 bytes
    entries.push_back({Bytes{'z', 'e', 0, 'r', 'o'}, Pattern(5000, 29)});  // name ends at the zero byte
    entries.push_back({Text("empty"), {}});
    return entries;
}

void WriteFileBytes(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RemoveFile(const std::string& path) { DeleteFileA(path.c_str()); }

ReceivedBlock::~ReceivedBlock() {
    if (handle_ != nullptr && handle_ != Untouched()) LocalFree(handle_);
}

std::size_t ReceivedBlock::Size() const { return LocalSize(handle_); }

bool ReceivedBlock::Unlocked() const { return (LocalFlags(handle_) & LMEM_LOCKCOUNT) == 0; }

Bytes ReceivedBlock::Contents() const {
    const auto* p = static_cast<const std::uint8_t*>(LocalLock(handle_));
    if (p == nullptr) return {};
    Bytes bytes(p, p + Size());
    LocalUnlock(handle_);
    return bytes;
}

std::vector<FileInfoRecord> ReceivedBlock::Records() const {
    const Bytes bytes = Contents();
    std::vector<FileInfoRecord> records(bytes.size() / sizeof(FileInfoRecord));
    std::memcpy(records.data(), bytes.data(), records.size() * sizeof(FileInfoRecord));
    return records;
}

FileInfoRecord ExpectedRecord(const qvr::Entry& entry, std::uint32_t index) {
    FileInfoRecord r{};
    std::memcpy(r.methodTag.data(), "QVRd", 5);
    r.position = index;
    r.storedSize = entry.dataSize;
    r.extractedSize = entry.dataSize;
    const auto name = entry.NameText();
    std::copy_n(name.begin(), std::min<std::size_t>(name.size(), 199), r.fileName.begin());
    return r;
}

std::vector<qvr::Entry> CoreEntries(std::span<const std::uint8_t> image) {
    qvr::OpenedArchive archive;
    EXPECT_EQ(qvr::OpenArchiveImage(image, archive), qvr::OpenStatus::Success);
    std::vector<qvr::Entry> entries;
    auto cursor = archive.Begin();
    for (std::uint32_t i = 0; i < archive.header.entryCount; ++i) {
        qvr::Entry e;
        if (!qvr::ReadNextEntry(cursor, e)) break;
        entries.push_back(e);
    }
    return entries;
}

::testing::AssertionResult SameRecord(const FileInfoRecord& actual, const FileInfoRecord& expected) {
    if (std::memcmp(&actual, &expected, sizeof actual) == 0) return ::testing::AssertionSuccess();
    const auto* a = reinterpret_cast<const std::uint8_t*>(&actual);
    const auto* e = reinterpret_cast<const std::uint8_t*>(&expected);
    std::size_t i = 0;
    while (a[i] == e[i]) ++i;
    return ::testing::AssertionFailure() << "records differ first at byte " << i << ": "
                                         << static_cast<int>(a[i]) << " instead of " << static_cast<int>(e[i])
                                         << " (position " << actual.position << ", name \""
                                         << actual.fileName.data() << "\")";
}

std::size_t PageSize() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwPageSize;
}

GuardedMemory::GuardedMemory(std::size_t committedPages, std::size_t reservedPages)
    : committed_(committedPages * PageSize()) {
    const std::size_t total = (1 + committedPages + reservedPages) * PageSize();
    reservation_ = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, total, MEM_RESERVE, PAGE_NOACCESS));
    EXPECT_NE(reservation_, nullptr);
    base_ = reservation_ + PageSize();
    if (reservation_ != nullptr && committed_ > 0) {
        EXPECT_NE(VirtualAlloc(base_, committed_, MEM_COMMIT, PAGE_READWRITE), nullptr);
    }
}

GuardedMemory::~GuardedMemory() {
    if (reservation_ != nullptr) VirtualFree(reservation_, 0, MEM_RELEASE);
}

std::uint8_t* GuardedMemory::PlaceAtEnd(std::span<const std::uint8_t> bytes) const {
    std::uint8_t* at = End() - bytes.size();
    std::copy(bytes.begin(), bytes.end(), at);
    return at;
}

}  // namespace test
}  // namespace axqvr
