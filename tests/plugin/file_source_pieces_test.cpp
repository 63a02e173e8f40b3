// GetFile reads a file's directory in pieces, only as far as the entry it
// wants; listings read it whole. These are the shapes where the two could
// part: files too short for a first piece, devices, archives that begin
// deep inside a file, and directories the file does not hold whole.
#include <cstring>
#include <string>

#include "support.h"

namespace axqvr::test {
namespace {

// Every file-source export on `path`, expecting the same code from each,
// with the host's slots left alone.
void ExpectEveryExportRefuses(const char* path, std::int32_t entry, ResultCode expected) {
    LocalHandle listing = Untouched();
    EXPECT_EQ(CallGetArchiveInfo(path, 0, FileSource(), &listing), expected) << path;
    EXPECT_EQ(listing, Untouched()) << path;
    FileInfoRecord record{};
    EXPECT_EQ(CallGetFileInfo(path, 0, "a", FileSource(), &record), expected) << path;
    LocalHandle slot = Untouched();
    EXPECT_EQ(CallGetFile(path, entry, &slot, FileSource()), expected) << path;
    EXPECT_EQ(slot, Untouched()) << path;
}

TEST(FileSourcePieces, AnEmptyFileIsNoArchive) {
    WriteFileBytes("empty.qvr", {});
    ExpectEveryExportRefuses("empty.qvr", 0, ResultCode::UnrecognisedFormat);
}

TEST(FileSourcePieces, ADeviceReadsAsEmpty) {
    HANDLE device = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no null device here";
    CloseHandle(device);
    ExpectEveryExportRefuses("NUL", 0, ResultCode::UnrecognisedFormat);
}

TEST(FileSourcePieces, AFileEndingInsideTheHeadIsNoArchive) {
    const Bytes archive = Build({{Text("a"), Text("1")}});
    WriteFileBytes("head-only.qvr", Bytes(archive.begin(), archive.begin() + 20));
    ExpectEveryExportRefuses("head-only.qvr", 0, ResultCode::UnrecognisedFormat);
}

TEST(FileSourcePieces, AnArchiveFarIntoAFileListsAsItsOwnFile) {
    // The archive begins around and beyond the size of GetFile's first read.
    const Bytes archive = Build(VariedEntries());
    for (const std::int32_t at : {65536 - 34, 65536, 70000}) {
        Bytes file(static_cast<std::size_t>(at), 'Q');
        file.insert(file.end(), archive.begin(), archive.end());
        WriteFileBytes("far-inside.bin", file);
        ReceivedBlock inside;
        ASSERT_EQ(CallGetArchiveInfo("far-inside.bin", at, FileSource(), inside.Slot()), ResultCode::Success) << at;
        ReceivedBlock image;
        ASSERT_EQ(CallGetArchiveInfo(AsSource(archive.data()), 0, MemorySource(), image.Slot()), ResultCode::Success);
        EXPECT_EQ(inside.Contents(), image.Contents()) << at;
        FileInfoRecord record{};
        EXPECT_EQ(CallGetFileInfo("far-inside.bin", at, "empty", FileSource(), &record), ResultCode::Success);
        EXPECT_EQ(record.position, 8u);
        // Past the file's end there is no archive.
        LocalHandle slot = Untouched();
        EXPECT_EQ(CallGetArchiveInfo("far-inside.bin", static_cast<std::int32_t>(file.size()), FileSource(), &slot),
                  ResultCode::UnrecognisedFormat);
        EXPECT_EQ(CallGetArchiveInfo("far-inside.bin", 0x7FFFFFFF, FileSource(), &slot),
                  ResultCode::UnrecognisedFormat);
        EXPECT_EQ(slot, Untouched());
    }
}

// Header, then entries: "a" whose data would lie far past the file's end
// (so the directory's extent does too), "b" with 60 bytes of data right
// after it, then a third entry cut short by the file's end.
Bytes ExtentPastTheEnd() {
    Bytes file(qvr::HeaderSize, 0);
    std::memcpy(file.data(), qvr::ArchiveMagic.data(), qvr::ArchiveMagic.size());
    qvr::StoreU16(std::span(file).subspan(qvr::EntryCountOffset).first<2>(), 3);
    const auto entry = [&file](std::uint8_t name, std::uint32_t size, std::uint32_t offset) {
        Bytes e(qvr::EntrySize(1), 0);
        e[qvr::EntryNameLengthOffset] = 1;
        e[qvr::EntryNameOffset] = static_cast<std::uint8_t>(name ^ qvr::NameKey[0]);
        qvr::StoreU32(std::span(e).subspan(qvr::EntryDataSizeOffset(1)).first<4>(), size);
        qvr::StoreU32(std::span(e).subspan(qvr::EntryDataOffsetOffset(1)).first<4>(), offset);
        file.insert(file.end(), e.begin(), e.end());
    };
    const auto dataAt = static_cast<std::uint32_t>(qvr::HeaderSize + 2 * qvr::EntrySize(1));
    entry('a', 1, 0x7FFFFF00);
    entry('b', 60, dataAt);
    Bytes data = Pattern(60, 5);
    data[1] = 200;  // read as the third entry, its name runs past the file's end
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

TEST(FileSourcePieces, ADirectoryExtentPastTheFileEndStopsWhereTheFileDoes) {
    const Bytes file = ExtentPastTheEnd();
    WriteFileBytes("extent-past-end.qvr", file);

    ReceivedBlock b;
    ASSERT_EQ(CallGetFile("extent-past-end.qvr", 1, b.Slot(), FileSource()), ResultCode::Success);
    Bytes expected(file.end() - 60, file.end());
    qvr::DescrambleContent(expected);
    EXPECT_EQ(b.Contents(), expected);

    // "a" lies past the end of the file; the third entry is cut short.
    for (const std::int32_t entry : {0, 2, 3}) {
        LocalHandle slot = Untouched();
        EXPECT_EQ(CallGetFile("extent-past-end.qvr", entry, &slot, FileSource()), ResultCode::EntryNotFound) << entry;
        EXPECT_EQ(slot, Untouched()) << entry;
    }
    FileInfoRecord record{};
    ASSERT_EQ(CallGetFileInfo("extent-past-end.qvr", 0, "b", FileSource(), &record), ResultCode::Success);
    EXPECT_EQ(record.position, 1u);
    EXPECT_EQ(record.extractedSize, 60u);
    EXPECT_EQ(CallGetFileInfo("extent-past-end.qvr", 0, "c", FileSource(), &record), ResultCode::EntryNotFound);
    LocalHandle listing = Untouched();
    EXPECT_EQ(CallGetArchiveInfo("extent-past-end.qvr", 0, FileSource(), &listing), ResultCode::EntryNotFound);
    EXPECT_EQ(listing, Untouched());
}

TEST(FileSourcePieces, EveryEntryOnEitherSideOfTheFirstReadsEndComesWhole) {
    // About 100 KiB of directory: the first read ends inside it, and inside
    // some entry, so later entries need a second read.
    std::vector<qvr::WriterEntry> entries;
    for (std::size_t i = 0; i < 2000; ++i) {
        const std::string name = "folder\\a-name-of-some-forty-bytes-" + std::to_string(i);
        entries.push_back({Text(name), Pattern(1 + i % 97, static_cast<std::uint8_t>(i))});
    }
    const Bytes archive = Build(entries);
    ASSERT_GT(archive.size(), std::size_t{100} << 10);
    WriteFileBytes("two-pieces.qvr", archive);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        ReceivedBlock block;
        ASSERT_EQ(CallGetFile("two-pieces.qvr", static_cast<std::int32_t>(i), block.Slot(), FileSource()),
                  ResultCode::Success)
            << i;
        ASSERT_EQ(block.Contents(), entries[i].content) << i;
    }
    LocalHandle slot = Untouched();
    EXPECT_EQ(CallGetFile("two-pieces.qvr", 2000, &slot, FileSource()), ResultCode::EntryNotFound);
    EXPECT_EQ(slot, Untouched());
}

}  // namespace
}  // namespace axqvr::test
