// Where the plug-in is stricter than a plain reading of its contract would
// make it: disk output stays inside the current directory, a failed write
// is a failure, and data offsets from 2 GiB on are read from where they are.
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

// The suite's CTest command links "disk-full" in the scratch directory to
// a device that refuses every write with "no space left".
bool DiskFullDeviceLinked() {
    HANDLE device = CreateFileA("disk-full", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    CloseHandle(device);
    return true;
}

TEST(DiskOutput, AFailedWriteIsNotSuccess) {
    if (!DiskFullDeviceLinked()) GTEST_SKIP() << "no disk-full device linked into the scratch directory";
    const Bytes archive = Build({{Text("disk-full"), Pattern(4096, 3)}});
    WriteFileBytes("full.qvr", archive);
    for (const auto& [source, flags] : {std::pair{"full.qvr", FileSource(OutputKind::Disk)},
                                        std::pair{AsSource(archive.data()), MemorySource(OutputKind::Disk)}}) {
        LocalHandle slot = Untouched();
        EXPECT_EQ(CallGetFile(source, 0, &slot, flags), ResultCode::Unsupported);
        EXPECT_EQ(slot, Untouched());
    }
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
    qvr::StoreU32(std::span(head).subspan(34 + 2 + 7 + 4).first<4>(), static_cast<std::uint32_t>(at));
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

}  // namespace
}  // namespace axqvr::test
