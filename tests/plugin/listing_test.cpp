// GetArchiveInfo and GetFileInfo, from files and from memory, against the
// archive core's own reading of the same archives.
#include <algorithm>
#include <cstring>

#include "support.h"

namespace axqvr::test {
namespace {

// Lists through the plug-in; on Success checks the block's shape.
std::vector<FileInfoRecord> List(const char* source, std::int32_t length, std::uint32_t flags) {
    ReceivedBlock block;
    const ResultCode r = CallGetArchiveInfo(source, length, flags, block.Slot());
    EXPECT_EQ(r, ResultCode::Success);
    if (r != ResultCode::Success) return {};
    EXPECT_TRUE(block.Unlocked());
    EXPECT_EQ(block.Size() % sizeof(FileInfoRecord), 0u);
    return block.Records();
}

void ExpectListingMatchesCore(const std::vector<FileInfoRecord>& listing, std::span<const std::uint8_t> image) {
    const auto entries = CoreEntries(image);
    ASSERT_EQ(listing.size(), entries.size() + 1);
    for (std::uint32_t i = 0; i < entries.size(); ++i)
        EXPECT_TRUE(SameRecord(listing[i], ExpectedRecord(entries[i], i))) << "record " << i;
    EXPECT_TRUE(SameRecord(listing.back(), FileInfoRecord{})) << "the terminator";
}

TEST(GetArchiveInfo, ListsFilesAndImagesAsTheCoreReadsThem) {
    const Bytes archive = Build(VariedEntries());
    WriteFileBytes("varied.qvr", archive);
    ExpectListingMatchesCore(List("varied.qvr", 0, FileSource()), archive);
    ExpectListingMatchesCore(List(AsSource(archive.data()), 0, MemorySource()), archive);

    // Spot checks of what the core's walk gives, so both cannot be wrong together.
    const auto listing = List("varied.qvr", 0, FileSource());
    ASSERT_EQ(listing.size(), 10u);
    EXPECT_STREQ(listing[0].fileName.data(), "readme.txt");
    EXPECT_EQ(listing[0].extractedSize, 19u);
    EXPECT_STREQ(listing[1].fileName.data(), "");
    EXPECT_EQ(std::string(listing[5].fileName.data()), std::string(199, 'n'));
    EXPECT_EQ(std::string(listing[6].fileName.data()), std::string(199, 'm'));
    EXPECT_STREQ(listing[7].fileName.data(), "ze");
    EXPECT_EQ(listing[8].position, 8u);
    EXPECT_EQ(listing[9].methodTag[0], 0);
}

TEST(GetArchiveInfo, AnArchiveInsideALargerFileListsAsItsOwnFile) {
    const Bytes archive = Build(VariedEntries());
    Bytes file(1000, 'Q');
    file.insert(file.end(), archive.begin(), archive.end());
    file.insert(file.end(), 3000, 'R');
    WriteFileBytes("inside.bin", file);
    WriteFileBytes("alone.qvr", archive);
    const auto inside = List("inside.bin", 1000, FileSource());
    const auto alone = List("alone.qvr", 0, FileSource());
    ASSERT_EQ(inside.size(), alone.size());
    EXPECT_EQ(std::memcmp(inside.data(), alone.data(), inside.size() * sizeof(FileInfoRecord)), 0);
    ExpectListingMatchesCore(inside, archive);

    FileInfoRecord record{};
    EXPECT_EQ(CallGetFileInfo("inside.bin", 1000, "empty", FileSource(), &record), ResultCode::Success);
    EXPECT_EQ(record.position, 8u);
    // The offset is where the archive begins; elsewhere there is none.
    ReceivedBlock block;
    EXPECT_EQ(CallGetArchiveInfo("inside.bin", 0, FileSource(), block.Slot()), ResultCode::UnrecognisedFormat);
    EXPECT_EQ(CallGetArchiveInfo("inside.bin", 999, FileSource(), block.Slot()), ResultCode::UnrecognisedFormat);
    EXPECT_EQ(CallGetArchiveInfo("inside.bin", -1, FileSource(), block.Slot()), ResultCode::UnrecognisedFormat);
    EXPECT_EQ(block.Handle(), nullptr);
}

TEST(GetArchiveInfo, AnArchiveWithoutEntriesGivesTheTerminatorAlone) {
    const Bytes archive = Build({});
    WriteFileBytes("empty.qvr", archive);
    for (const auto& [source, flags] : {std::pair{"empty.qvr", FileSource()},
                                        std::pair{AsSource(archive.data()), MemorySource()}}) {
        ReceivedBlock block;
        ASSERT_EQ(CallGetArchiveInfo(source, 0, flags, block.Slot()), ResultCode::Success);
        EXPECT_EQ(block.Contents(), Bytes(428, 0));
        FileInfoRecord record;
        std::memset(&record, 0xAB, sizeof record);
        EXPECT_EQ(CallGetFileInfo(source, 0, "", flags, &record), ResultCode::EntryNotFound);
        EXPECT_EQ(record.position, 0xABABABABu);  // untouched
    }
}

TEST(GetArchiveInfo, SixtyFiveThousandFiveHundredAndThirtyFiveEntries) {
    std::vector<qvr::WriterEntry> entries(65535);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].name = Numbered("e", i);
        entries[i].content = Pattern(i % 3, static_cast<std::uint8_t>(i));
    }
    const Bytes archive = Build(entries);
    WriteFileBytes("many.qvr", archive);
    for (const auto& [source, flags] : {std::pair{"many.qvr", FileSource()},
                                        std::pair{AsSource(archive.data()), MemorySource()}}) {
        ReceivedBlock block;
        ASSERT_EQ(CallGetArchiveInfo(source, 0, flags, block.Slot()), ResultCode::Success);
        EXPECT_EQ(block.Size(), 28049408u);
        ExpectListingMatchesCore(block.Records(), archive);

        FileInfoRecord record{};
        ASSERT_EQ(CallGetFileInfo(source, 0, "e65534", flags, &record), ResultCode::Success);
        EXPECT_EQ(record.position, 65534u);
    }
    RemoveFile("many.qvr");
}

TEST(GetArchiveInfo, FlagBitsItDoesNotReadChangeNothing) {
    const Bytes archive = Build(VariedEntries());
    WriteFileBytes("varied.qvr", archive);
    const auto plain = List("varied.qvr", 0, 0);
    for (const std::uint32_t extra : {0x80u, 0x700u, 0x78u, 0xFFFFF878u}) {
        const auto listed = List("varied.qvr", 0, extra);
        ASSERT_EQ(listed.size(), plain.size()) << extra;
        EXPECT_EQ(std::memcmp(listed.data(), plain.data(), plain.size() * sizeof(FileInfoRecord)), 0) << extra;
        const auto fromMemory = List(AsSource(archive.data()), 0, extra | 1);
        ASSERT_EQ(fromMemory.size(), plain.size()) << extra;
        EXPECT_EQ(std::memcmp(fromMemory.data(), plain.data(), plain.size() * sizeof(FileInfoRecord)), 0);
    }
}

TEST(ArchiveExports, InputKindTwoToSevenTouchesNothing) {
    const Bytes archive = Build(VariedEntries());
    WriteFileBytes("varied.qvr", archive);
    for (std::uint32_t kind = 2; kind <= 7; ++kind) {
        // Neither the missing file nor the pointers are looked at.
        LocalHandle handle = Untouched();
        EXPECT_EQ(CallGetArchiveInfo("no such file", 0, kind, &handle), ResultCode::Unsupported);
        EXPECT_EQ(handle, Untouched());
        FileInfoRecord record;
        std::memset(&record, 0xCD, sizeof record);
        EXPECT_EQ(CallGetFileInfo("varied.qvr", 0, "readme.txt", kind, &record), ResultCode::Unsupported);
        EXPECT_EQ(record.methodTag[0], 0xCD);
        LocalHandle slot = Untouched();
        EXPECT_EQ(CallGetFile("varied.qvr", 0, &slot, kind | 0x100), ResultCode::Unsupported);
        EXPECT_EQ(slot, Untouched());
    }
}

// A file that another handle holds open for writing.
class HeldForWriting {
public:
    explicit HeldForWriting(const char* path) {
        handle_ = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE);
    }
    ~HeldForWriting() { CloseHandle(handle_); }

private:
    HANDLE handle_;
};

TEST(ArchiveExports, FileSourceFailures) {
    const Bytes archive = Build(VariedEntries());
    WriteFileBytes("varied.qvr", archive);
    WriteFileBytes("not-an-archive.txt", Text("QVRD and some text that is not an archive"));
    // The count promises more entries than the directory holds.
    Bytes overcounted = Build({{Text("a"), Text("1")}, {Text("b"), Text("2")}});
    overcounted[32] = 3;
    WriteFileBytes("overcounted.qvr", overcounted);
    // The first entry's data would begin inside the header: no directory.
    Bytes noDirectory = Build({{Text("a"), Text("1")}});
    qvr::StoreU32(std::span(noDirectory).subspan(qvr::HeaderSize + qvr::EntryDataOffsetOffset(1)).first<4>(), 20);
    WriteFileBytes("no-directory.qvr", noDirectory);

    struct Case {
        const char* path;
        ResultCode expected;
    };
    const Case cases[] = {{"missing.qvr", ResultCode::OpenFailed},
                          {"not-an-archive.txt", ResultCode::UnrecognisedFormat},
                          {"overcounted.qvr", ResultCode::EntryNotFound},
                          {"no-directory.qvr", ResultCode::MemoryError}};
    for (const auto& c : cases) {
        LocalHandle handle = Untouched();
        EXPECT_EQ(CallGetArchiveInfo(c.path, 0, FileSource(), &handle), c.expected) << c.path;
        EXPECT_EQ(handle, Untouched()) << c.path;
        FileInfoRecord record{};
        EXPECT_EQ(CallGetFileInfo(c.path, 0, "no such name", FileSource(), &record), c.expected) << c.path;
        LocalHandle slot = Untouched();
        EXPECT_EQ(CallGetFile(c.path, 2, &slot, FileSource()), c.expected) << c.path;
        EXPECT_EQ(slot, Untouched()) << c.path;
    }

    HeldForWriting held("varied.qvr");
    LocalHandle handle = Untouched();
    EXPECT_EQ(CallGetArchiveInfo("varied.qvr", 0, FileSource(), &handle), ResultCode::OpenFailed);
    EXPECT_EQ(handle, Untouched());
    FileInfoRecord record{};
    EXPECT_EQ(CallGetFileInfo("varied.qvr", 0, "readme.txt", FileSource(), &record), ResultCode::OpenFailed);
    EXPECT_EQ(CallGetFile("varied.qvr", 0, &handle, FileSource()), ResultCode::OpenFailed);
    EXPECT_EQ(handle, Untouched());
}

TEST(ArchiveExports, MemorySourceFailures) {
    const Bytes text = Text("QVRD and some text that is not an archive, long enough to be read");
    LocalHandle handle = Untouched();
    EXPECT_EQ(CallGetArchiveInfo(AsSource(text.data()), 0, MemorySource(), &handle),
              ResultCode::UnrecognisedFormat);
    FileInfoRecord record{};
    EXPECT_EQ(CallGetFileInfo(AsSource(text.data()), 0, "x", MemorySource(), &record),
              ResultCode::UnrecognisedFormat);

    Bytes overcounted = Build({{Text("a"), Text("1")}, {Text("b"), Text("2")}});
    overcounted[32] = 0xFF;
    overcounted[33] = 0xFF;
    GuardedMemory memory(1, 1);
    const std::uint8_t* image = memory.PlaceAtEnd(overcounted);
    EXPECT_EQ(CallGetArchiveInfo(AsSource(image), 0, MemorySource(), &handle), ResultCode::EntryNotFound);
    EXPECT_EQ(handle, Untouched());
    EXPECT_EQ(CallGetFileInfo(AsSource(image), 0, "x", MemorySource(), &record), ResultCode::EntryNotFound);
    EXPECT_EQ(record.position, 1u);  // the last entry that could be examined
}

TEST(ArchiveExports, MemoryImagesAreBoundedByLengthAndByReadableMemory) {
    const Bytes archive = Build(VariedEntries());
    const auto whole = List(AsSource(archive.data()), static_cast<std::int32_t>(archive.size()), MemorySource());
    for (const std::int32_t length : {0, -1, -100000, 0x7FFFFFFF}) {
        const auto listed = List(AsSource(archive.data()), length, MemorySource());
        ASSERT_EQ(listed.size(), whole.size()) << length;
        EXPECT_EQ(std::memcmp(listed.data(), whole.data(), whole.size() * sizeof(FileInfoRecord)), 0) << length;
    }

    // A positive length that ends inside the directory bounds the walk.
    const std::size_t directoryEnd = CoreEntries(archive).front().dataOffset;
    LocalHandle handle = Untouched();
    EXPECT_EQ(CallGetArchiveInfo(AsSource(archive.data()), static_cast<std::int32_t>(directoryEnd - 1),
                                 MemorySource(), &handle),
              ResultCode::EntryNotFound);
    EXPECT_EQ(CallGetArchiveInfo(AsSource(archive.data()), 20, MemorySource(), &handle),
              ResultCode::UnrecognisedFormat);  // not even the whole header
    EXPECT_EQ(handle, Untouched());

    // An image whose directory runs into memory that does not exist.
    GuardedMemory memory(1, 1);
    const std::uint8_t* image = memory.PlaceAtEnd(std::span(archive).first(directoryEnd - 3));
    EXPECT_EQ(CallGetArchiveInfo(AsSource(image), 0, MemorySource(), &handle), ResultCode::EntryNotFound);
    FileInfoRecord record{};
    EXPECT_EQ(CallGetFileInfo(AsSource(image), 0, "no such name", MemorySource(), &record),
              ResultCode::EntryNotFound);
    EXPECT_EQ(handle, Untouched());
}

TEST(GetFileInfo, FindsTheFirstMatchByExactOrCaseBlindName) {
    const std::vector<qvr::WriterEntry> entries = {
        {Text("Alpha.TXT"), Text("1")},
        {Text("beta"), Text("22")},
        {Text("alpha.txt"), Text("333")},
        {Text("beta"), Text("4444")},  // a second entry of the same name
        {Bytes{0x82, 'A', 'x'}, Text("5")},  // second byte of a double-byte character in A-Z
        {Bytes{0xC4, 'x'}, Text("6")},
    };
    const Bytes archive = Build(entries);
    WriteFileBytes("names.qvr", archive);
    const auto core = CoreEntries(archive);

    struct Case {
        const char* wanted;
        std::uint32_t flags;
        ResultCode expected;
        std::uint32_t index;
    };
    const Case cases[] = {
        {"Alpha.TXT", 0, ResultCode::Success, 0},
        {"alpha.txt", 0, ResultCode::Success, 2},
        {"ALPHA.txt", 0, ResultCode::EntryNotFound, 5},
        {"ALPHA.txt", 0x80, ResultCode::Success, 0},
        {"beta", 0, ResultCode::Success, 1},
        {"BETA", 0x80, ResultCode::Success, 1},
        {"bet", 0x80, ResultCode::EntryNotFound, 5},     // a prefix of a name
        {"betas", 0x80, ResultCode::EntryNotFound, 5},   // a name as a prefix
        {"\x82" "ax", 0x80, ResultCode::Success, 4},
        {"\x82" "ax", 0, ResultCode::EntryNotFound, 5},
        {"\xE4x", 0x80, ResultCode::EntryNotFound, 5},   // bytes from 0x80 up never fold
        {"", 0x80, ResultCode::EntryNotFound, 5},
    };
    for (const auto& [source, kind] : {std::pair{"names.qvr", 0u}, std::pair{AsSource(archive.data()), 1u}}) {
        for (const auto& c : cases) {
            FileInfoRecord record;
            std::memset(&record, 0xEE, sizeof record);
            // Bits the lookup does not read change nothing.
            EXPECT_EQ(CallGetFileInfo(source, 0, c.wanted, c.flags | kind | 0x778, &record), c.expected)
                << c.wanted << " " << c.flags;
            // The record is filled in place: what the walk does not write keeps the host's bytes.
            FileInfoRecord expected = ExpectedRecord(core[c.index], c.index);
            std::memset(expected.methodTag.data() + 5, 0xEE, 3);
            std::memset(expected.path.data() + 1, 0xEE, expected.path.size() - 1);
            EXPECT_TRUE(SameRecord(record, expected)) << c.wanted << " " << c.flags;
        }
    }
}

}  // namespace
}  // namespace axqvr::test
