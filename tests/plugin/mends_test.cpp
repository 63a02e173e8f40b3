// Where the plug-in is stricter than a plain reading of its contract would
// make it: disk output stays inside the current directory and never
// destroys the file it replaces, data offsets from 2 GiB on are read from
// where they are, and a file must hold an entry before a block is
// allocated for it.
#include <algorithm>
#include <cstring>

#include "support.h"

namespace axqvr::test {
namespace {

TEST(DiskOutput, NamesThatReachOutsideTheCurrentDirectoryAreRefused) {
    const char* mustNotAppear[] = {"up.txt",   "x.txt",          "inner\\stream.txt", "inner\\stream.txt:hidden",
                                   "inner\\C", "inner\\drive.txt"};
    for (const char* path : mustNotAppear) RemoveFile(path);
    CreateDirectoryA("inner", nullptr);
    SetCurrentDirectoryA("inner");
    const char* unsafe[] = {
        "\\rooted.txt",  "/rooted.txt",    "C:drive.txt", "C:\\drive.txt", "stream.txt:hidden",
        "\\\\server\\share\\unc.txt",      "//server/share/unc.txt",     "..\\up.txt",
        "../up.txt",     "sub\\..\\..\\up.txt", "sub/../x.txt", "..",       ".. \\up.txt",
        "...\\up.txt",   "sub\\..",
    };
    std::vector<qvr::WriterEntry> entries;
    for (const char* name : unsafe) entries.push_back({Text(name), Text("must not be written anywhere")});
    const Bytes archive = Build(entries);
    WriteFileBytes("unsafe.qvr", archive);
    CreateDirectoryA("sub", nullptr);

    for (std::size_t i = 0; i < entries.size(); ++i) {
        for (const std::uint32_t kind : {0u, 1u}) {
            LocalHandle slot = Untouched();
            const char* source = kind == 0 ? "unsafe.qvr" : AsSource(archive.data() + i);
            EXPECT_EQ(CallGetFile(source, static_cast<std::int32_t>(i), &slot, kind), ResultCode::Unsupported)
                << unsafe[i];
            EXPECT_EQ(slot, Untouched()) << unsafe[i];
        }
    }
    SetCurrentDirectoryA("..");
    for (const char* path : mustNotAppear) EXPECT_FALSE(FileExists(path)) << path;
    // A plain name next to them is written as ever.
    const Bytes plain = Build({{Text("plain.txt"), Text("fine")}});
    LocalHandle slot = Untouched();
    EXPECT_EQ(CallGetFile(AsSource(plain.data()), 0, &slot, MemorySource(OutputKind::Disk)), ResultCode::Success);
    EXPECT_EQ(ReadFileBytes("plain.txt"), Text("fine"));
    LocalFree(slot);
}

// Whatever "~axqvr" temporary files lie in `folder`.
std::vector<std::string> TemporaryFilesIn(const std::string& folder) {
    std::vector<std::string> found;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((folder + "~axqvr*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return found;
    do found.push_back(data.cFileName);
    while (FindNextFileA(search, &data));
    FindClose(search);
    return found;
}

// Disk output that cannot replace its target leaves the old file byte for
// byte, and no temporary file beside it.
TEST(DiskOutput, AFailedReplacementLeavesTheOldFileAndNoTemporary) {
    CreateDirectoryA("keep", nullptr);
    CreateDirectoryA("keep\\folder.txt", nullptr);
    const Bytes old = Text("the notes as they were");
    struct Case {
        const char* name;
        const char* why;
        bool holdOpen;  // another program holds the target open, without sharing its deletion
    } const cases[] = {
        {"keep\\notes.txt", "the target is open elsewhere", true},
        {"keep\\folder.txt", "the target is a folder", false},
        {"keep\\missing\\notes.txt", "the folder does not exist", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        if (c.holdOpen) WriteFileBytes(c.name, old);
        HANDLE held = c.holdOpen ? CreateFileA(c.name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr)
                                 : INVALID_HANDLE_VALUE;
        const Bytes archive = Build({{Text(c.name), Pattern(5000, 9)}});
        WriteFileBytes("replace.qvr", archive);
        for (const auto& [source, flags] : {std::pair{"replace.qvr", FileSource(OutputKind::Disk)},
                                            std::pair{AsSource(archive.data()), MemorySource(OutputKind::Disk)}}) {
            LocalHandle slot = Untouched();
            EXPECT_EQ(CallGetFile(source, 0, &slot, flags), ResultCode::Unsupported);
            EXPECT_EQ(slot, Untouched());
        }
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        if (c.holdOpen) {
            EXPECT_EQ(ReadFileBytes(c.name), old);
        }
        EXPECT_EQ(TemporaryFilesIn("keep\\"), std::vector<std::string>{});
    }
    // Once the target is free, the same call replaces it and leaves nothing else.
    const Bytes archive = Build({{Text("keep\\notes.txt"), Pattern(5000, 9)}});
    ReceivedBlock block;
    ASSERT_EQ(CallGetFile(AsSource(archive.data()), 0, block.Slot(), MemorySource(OutputKind::Disk)),
              ResultCode::Success);
    EXPECT_EQ(ReadFileBytes("keep\\notes.txt"), Pattern(5000, 9));
    EXPECT_EQ(TemporaryFilesIn("keep\\"), std::vector<std::string>{});
}

TEST(DiskOutput, AnEmptyEntryGivesAnEmptyFile) {
    const Bytes archive = Build({{Text("empty.out"), {}}});
    WriteFileBytes("empty.qvr", archive);
    WriteFileBytes("empty.out", Text("older contents"));
    ReceivedBlock block;
    ASSERT_EQ(CallGetFile("empty.qvr", 0, block.Slot(), FileSource(OutputKind::Disk)), ResultCode::Success);
    EXPECT_TRUE(FileExists("empty.out"));
    EXPECT_TRUE(ReadFileBytes("empty.out").empty());
    EXPECT_EQ(block.Contents(), Bytes(200, 0));
}

// A sparse file with an archive at its start whose only entry lies `at`
// bytes into the file.
void WriteArchiveWithDataAt(const char* path, std::uint64_t at, std::span<const std::uint8_t> content) {
    Bytes head = Build({{Text("far.bin"), Bytes(content.begin(), content.end())}});
    head.resize(head.size() - content.size());  // header and directory only
    qvr::StoreU32(std::span(head).subspan(qvr::HeaderSize + qvr::EntryDataOffsetOffset(7)).first<4>(),
                  static_cast<std::uint32_t>(at));  // after the 7-byte name
    Bytes stored(content.begin(), content.end());
    qvr::ScrambleContent(stored);

    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, head.data(), static_cast<DWORD>(head.size()), &written, nullptr));
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(at);
    EXPECT_TRUE(SetFilePointerEx(file, position, nullptr, FILE_BEGIN));
    EXPECT_TRUE(WriteFile(file, stored.data(), static_cast<DWORD>(stored.size()), &written, nullptr));
    CloseHandle(file);
}

TEST(FileSource, DataFromTwoGibibytesOnAreReadWhereTheyLie) {
    const Bytes content = Pattern(300, 77);
    for (const std::uint64_t at : {0x80000000ull, 0xFFFFF000ull}) {
        WriteArchiveWithDataAt("far.qvr", at, content);
        ReceivedBlock block;
        ASSERT_EQ(CallGetFile("far.qvr", 0, block.Slot(), FileSource()), ResultCode::Success) << at;
        EXPECT_EQ(block.Contents(), content) << at;
        FileInfoRecord record{};
        ASSERT_EQ(CallGetFileInfo("far.qvr", 0, "far.bin", FileSource(), &record), ResultCode::Success);
        EXPECT_EQ(record.extractedSize, content.size());
        RemoveFile("far.qvr");
    }
}

// GetFile to memory, from the archive file or from its image in memory.
ResultCode Extract(const char* source, std::int32_t length, std::uint32_t flags, Bytes& out) {
    ReceivedBlock block;
    const ResultCode r = CallGetFile(source, length, block.Slot(), flags);
    out = r == ResultCode::Success ? block.Contents() : Bytes{};
    return r;
}

// Names, sizes and offsets in a directory can spell "QVR"; the search for
// the image start passes over every "QVR" that is not a whole archive head.
TEST(MemorySource, ImageSearchPassesOverLettersThatAreNoArchiveHead) {
    // "file5v0.jpg" scrambles to bytes that hold "QVR" at image offset 40.
    std::vector<qvr::WriterEntry> afterName = {{Text("file5v0.jpg"), Pattern(700, 1)}};
    for (std::size_t i = 0; i < 60; ++i) afterName.push_back({Numbered("more", i), Pattern(64 + i, 2)});
    // A size field of 0x525651 ("QVR" little-endian) and an offset after it.
    std::vector<qvr::WriterEntry> inSize = {{Text("a"), Pattern(10, 3)}, {Text("b"), Pattern(0x525651, 4)}};
    for (std::size_t i = 0; i < 60; ++i) inSize.push_back({Numbered("c", i), Pattern(20, 5)});
    struct Case {
        const char* what;
        std::vector<qvr::WriterEntry> entries;
        bool lettersInHeader;  // header bytes 5 to 7, which carry no meaning, hold "QVR" too
    } const cases[] = {
        {"a scrambled name", afterName, false},
        {"a size field", inSize, false},
        {"the header's own spare bytes", afterName, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes archive = Build(c.entries);
        if (c.lettersInHeader) std::memcpy(archive.data() + 5, "QVR", 3);
        const auto letters = std::search(archive.begin() + 1, archive.end(), "QVR", "QVR" + 3);
        ASSERT_LT(letters - archive.begin(), static_cast<std::ptrdiff_t>(c.entries.size())) << "no letters to pass";
        WriteFileBytes("letters.qvr", archive);
        for (std::size_t i = 0; i < c.entries.size(); ++i) {
            Bytes fromFile, fromImage;
            ASSERT_EQ(Extract("letters.qvr", static_cast<std::int32_t>(i), FileSource(), fromFile),
                      ResultCode::Success);
            ASSERT_EQ(Extract(AsSource(archive.data() + i), 0, MemorySource(), fromImage), ResultCode::Success) << i;
            EXPECT_EQ(fromImage, fromFile) << i;
        }
    }
    // Letters with no archive head before them, down to unreadable memory, find nothing.
    const GuardedMemory memory(1, 1);
    std::memcpy(memory.Begin() + 2, "QVRdx", 5);
    std::memcpy(memory.Begin() + 20, "QVR", 3);
    Bytes out;
    EXPECT_EQ(Extract(AsSource(memory.Begin() + 40), 0, MemorySource(), out), ResultCode::UnrecognisedFormat);
}

// A pointer the export would write or read through is checked before any
// work: the call answers at once, with nothing opened, allocated or written.
TEST(NullPointers, AreRefusedBeforeAnyWork) {
    const Bytes archive = Build({{Text("null-dest.txt"), Text("never written")}});
    WriteFileBytes("nulls.qvr", archive);
    const char* image = AsSource(archive.data());
    LocalHandle slot = Untouched();
    FileInfoRecord record{};
    struct Case {
        const char* what;
        ResultCode got;
        ResultCode expected;
    } const cases[] = {
        {"listing, no handle out", CallGetArchiveInfo("nulls.qvr", 0, FileSource(), nullptr), ResultCode::MemoryError},
        {"listing from memory, no handle out", CallGetArchiveInfo(image, 0, MemorySource(), nullptr),
         ResultCode::MemoryError},
        {"lookup, no record", CallGetFileInfo("nulls.qvr", 0, "null-dest.txt", FileSource(), nullptr),
         ResultCode::MemoryError},
        {"lookup, no name", CallGetFileInfo(image, 0, nullptr, MemorySource(), &record), ResultCode::MemoryError},
        {"extraction to disk, no slot", CallGetFile("nulls.qvr", 0, nullptr, FileSource(OutputKind::Disk)),
         ResultCode::MemoryError},
        {"extraction from memory, no slot", CallGetFile(image, 0, nullptr, MemorySource(OutputKind::Disk)),
         ResultCode::MemoryError},
        {"listing, no path", CallGetArchiveInfo(nullptr, 0, FileSource(), &slot), ResultCode::OpenFailed},
        {"lookup, no path", CallGetFileInfo(nullptr, 0, "x", FileSource(), &record), ResultCode::OpenFailed},
        {"extraction, no path", CallGetFile(nullptr, 0, &slot, FileSource()), ResultCode::OpenFailed},
        {"listing, no image", CallGetArchiveInfo(nullptr, 0, MemorySource(), &slot), ResultCode::UnrecognisedFormat},
        {"lookup, no image", CallGetFileInfo(nullptr, 0, "x", MemorySource(), &record),
         ResultCode::UnrecognisedFormat},
        {"extraction, no image", CallGetFile(nullptr, 0, &slot, MemorySource()), ResultCode::UnrecognisedFormat},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.expected) << c.what;
    EXPECT_EQ(slot, Untouched());
    EXPECT_EQ(record.methodTag[0], 0) << "the record was written";
    EXPECT_FALSE(FileExists("null-dest.txt"));
    EXPECT_EQ(CallGetPluginInfo(0, nullptr, 100), 0);
}

// A file whose only entry claims `claimed` bytes at `at` (its directory
// ends at 53), and which really is `fileSize` bytes long (sparse beyond
// what is written).
void WriteClaimingArchive(const char* path, std::uint32_t at, std::uint32_t claimed, std::uint64_t fileSize) {
    Bytes head = Build({{Text("claim.bin"), {}}});
    const std::size_t nameLength = 9;
    qvr::StoreU32(std::span(head).subspan(qvr::HeaderSize + qvr::EntryDataSizeOffset(nameLength)).first<4>(), claimed);
    qvr::StoreU32(std::span(head).subspan(qvr::HeaderSize + qvr::EntryDataOffsetOffset(nameLength)).first<4>(), at);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, head.data(), static_cast<DWORD>(head.size()), &written, nullptr));
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(fileSize);
    EXPECT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(file));
    CloseHandle(file);
}

// The file's size is checked against the entry before its block is
// allocated: a claim the file cannot hold costs nothing and is
// EntryNotFound, whatever its size; AllocFailed is left for an entry the
// file really holds.
TEST(FileSource, AnEntryMustLieInTheFileBeforeItsBlockIsAllocated) {
    struct Case {
        const char* what;
        std::uint32_t at;
        std::uint32_t claimed;
        std::uint64_t fileSize;
        ResultCode expected;
        bool only32Bit;  // only a 32-bit process surely cannot have a block this large
    } const cases[] = {
        {"a 4 GiB claim in a 60-byte file", 53, 0xFFFFFFF0u, 60, ResultCode::EntryNotFound, false},
        {"one byte short", 53, 100, 152, ResultCode::EntryNotFound, false},
        {"an empty entry past the end", 200, 0, 60, ResultCode::EntryNotFound, false},
        {"exactly held", 53, 100, 153, ResultCode::Success, false},
        {"a sparse file that holds 3.75 GiB", 53, 0xF0000000u, 53 + 0xF0000000ull, ResultCode::AllocFailed, true},
    };
    for (const Case& c : cases) {
        if (c.only32Bit && sizeof(void*) != 4) continue;
        WriteClaimingArchive("claim.qvr", c.at, c.claimed, c.fileSize);
        ReceivedBlock block;
        EXPECT_EQ(CallGetFile("claim.qvr", 0, block.Slot(), FileSource()), c.expected) << c.what;
        RemoveFile("claim.qvr");
    }
}

}  // namespace
}  // namespace axqvr::test
