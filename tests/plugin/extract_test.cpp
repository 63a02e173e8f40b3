// GetFile: every entry, from files and from memory, to memory and to disk.
#include <cstring>

#include "support.h"

namespace axqvr::test {
namespace {

// Extracts entry `index` to memory; on Success returns the block's bytes.
ResultCode ExtractToMemory(const char* source, std::int32_t length, std::uint32_t flags, Bytes& out) {
    ReceivedBlock block;
    const ResultCode r = CallGetFile(source, length, block.Slot(), flags);
    if (r == ResultCode::Success) {
        EXPECT_TRUE(block.Unlocked());
        out = block.Contents();
        EXPECT_EQ(out.size(), block.Size());
    } else {
        EXPECT_EQ(block.Handle(), nullptr) << "a failed call stored a handle";
    }
    return r;
}

TEST(GetFile, DeliversEveryEntryToMemoryFromFileAndImage) {
    const auto entries = VariedEntries();
    const Bytes archive = Build(entries);
    WriteFileBytes("varied.qvr", archive);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto index = static_cast<std::int32_t>(i);
        Bytes fromFile;
        Bytes fromImage;
        // An image source points `index` bytes past the image's first byte.
        const char* source = AsSource(archive.data() + i);
        if (entries[i].content.empty()) {
            // No host can lock a zero-byte movable block.
            EXPECT_EQ(ExtractToMemory("varied.qvr", index, FileSource(), fromFile), ResultCode::MemoryError);
            EXPECT_EQ(ExtractToMemory(source, -7, MemorySource(), fromImage), ResultCode::MemoryError);
            continue;
        }
        ASSERT_EQ(ExtractToMemory("varied.qvr", index, FileSource(), fromFile), ResultCode::Success) << i;
        EXPECT_EQ(fromFile, entries[i].content) << i;
        ASSERT_EQ(ExtractToMemory(source, -7, MemorySource(), fromImage), ResultCode::Success) << i;
        EXPECT_EQ(fromImage, entries[i].content) << i;
    }
}

TEST(GetFile, WritesEntriesToDiskUnderTheirNames) {
    const std::vector<qvr::WriterEntry> entries = {
        {Text("first.bin"), Pattern(700, 1)},
        {Text("sub\\second.txt"), Text("into an existing folder")},
        {Text("sub/third.txt"), Text("either separator")},
        {Text("nothing.dat"), {}},
        {Text("no-such-folder\\x.txt"), Text("cannot be created")},
    };
    const Bytes archive = Build(entries);
    WriteFileBytes("disk.qvr", archive);
    CreateDirectoryA("sub", nullptr);
    WriteFileBytes("first.bin", Bytes(5000, 'o'));  // an older file is replaced

    for (const std::uint32_t kind : {0u, 1u}) {
        for (std::size_t i = 0; i < 4; ++i) {
            const char* source = kind == 0 ? "disk.qvr" : AsSource(archive.data() + i);
            const std::string name(entries[i].name.begin(), entries[i].name.end());
            ReceivedBlock block;
            ASSERT_EQ(CallGetFile(source, static_cast<std::int32_t>(i), block.Slot(), kind | 0x80),
                      ResultCode::Success)
                << name;
            EXPECT_EQ(ReadFileBytes(name), entries[i].content) << name;
            EXPECT_EQ(block.Contents(), Bytes(200, 0));  // the block left in the slot
            EXPECT_TRUE(block.Unlocked());
            RemoveFile(name);
        }
        LocalHandle slot = Untouched();
        const char* source = kind == 0 ? "disk.qvr" : AsSource(archive.data() + 4);
        EXPECT_EQ(CallGetFile(source, 4, &slot, kind), ResultCode::Unsupported);
        EXPECT_EQ(slot, Untouched());
    }
}

TEST(GetFile, OutputKindTwoToSevenIsRefusedAfterExtraction) {
    const Bytes archive = Build(VariedEntries());
    WriteFileBytes("varied.qvr", archive);
    for (std::uint32_t out = 2; out <= 7; ++out) {
        LocalHandle slot = Untouched();
        EXPECT_EQ(CallGetFile("varied.qvr", 0, &slot, out << 8), ResultCode::Unsupported);
        EXPECT_EQ(slot, Untouched());
        // Extraction comes first: its failures win.
        EXPECT_EQ(CallGetFile("varied.qvr", 100, &slot, out << 8), ResultCode::EntryNotFound);
        EXPECT_EQ(CallGetFile(AsSource(archive.data()), 0, &slot, 1 | (out << 8)), ResultCode::Unsupported);
        EXPECT_EQ(slot, Untouched());
    }
}

TEST(GetFile, IndexesOutsideTheDirectoryAreNotFound) {
    const auto entries = VariedEntries();
    const Bytes archive = Build(entries);
    WriteFileBytes("varied.qvr", archive);
    const auto count = static_cast<std::int32_t>(entries.size());
    for (const std::int32_t index : {-1, count, count + 1, 0x7FFFFFFF, static_cast<std::int32_t>(0x80000000)}) {
        LocalHandle slot = Untouched();
        EXPECT_EQ(CallGetFile("varied.qvr", index, &slot, FileSource()), ResultCode::EntryNotFound) << index;
        EXPECT_EQ(slot, Untouched());
    }
    LocalHandle slot = Untouched();
    EXPECT_EQ(CallGetFile(AsSource(archive.data() + count), 0, &slot, MemorySource()), ResultCode::EntryNotFound);
    const Bytes empty = Build({});
    EXPECT_EQ(CallGetFile(AsSource(empty.data()), 0, &slot, MemorySource()), ResultCode::EntryNotFound);
    EXPECT_EQ(slot, Untouched());
}

TEST(GetFile, ReadsTheHeaderAtTheStartOfTheFile) {
    const Bytes archive = Build(VariedEntries());
    Bytes file(1000, 'x');
    file.insert(file.end(), archive.begin(), archive.end());
    WriteFileBytes("inside.bin", file);
    LocalHandle slot = Untouched();
    EXPECT_EQ(CallGetFile("inside.bin", 0, &slot, FileSource()), ResultCode::UnrecognisedFormat);
    EXPECT_EQ(slot, Untouched());
}

TEST(GetFile, AFileEndingInsideTheEntryIsNotSuccess) {
    const auto entries = VariedEntries();
    const Bytes archive = Build(entries);
    const auto core = CoreEntries(archive);
    // Cut inside the last non-empty entry (the 5000-byte one).
    const std::size_t cut = core[7].dataOffset + 4000;
    WriteFileBytes("cut.qvr", std::span(archive).first(cut));
    RemoveFile("ze");
    LocalHandle slot = Untouched();
    EXPECT_EQ(CallGetFile("cut.qvr", 7, &slot, FileSource()), ResultCode::EntryNotFound);
    EXPECT_EQ(CallGetFile("cut.qvr", 7, &slot, FileSource(OutputKind::Disk)), ResultCode::EntryNotFound);
    EXPECT_EQ(slot, Untouched());
    EXPECT_FALSE(FileExists("ze"));
    Bytes earlier;
    EXPECT_EQ(ExtractToMemory("cut.qvr", 6, FileSource(), earlier), ResultCode::Success);
    EXPECT_EQ(earlier, entries[6].content);
}

TEST(GetFile, AHugeClaimRunningPastTheImageIsRefused) {
    Bytes archive = Build({{Text("huge"), Text("only a few bytes are really here")}});
    // Claims 4 GiB - 16 bytes of data.
    qvr::StoreU32(std::span(archive).subspan(qvr::HeaderSize + qvr::EntryDataSizeOffset(4)).first<4>(), 0xFFFFFFF0u);
    LocalHandle slot = Untouched();
    EXPECT_EQ(CallGetFile(AsSource(archive.data()), 0, &slot, MemorySource()), ResultCode::EntryNotFound);
    EXPECT_EQ(slot, Untouched());
}

TEST(GetFile, ImagesAreReadOnlyWhereMemoryExists) {
    const auto entries = VariedEntries();
    const Bytes archive = Build(entries);
    const auto core = CoreEntries(archive);
    GuardedMemory memory(4, 1);
    // The image ends 10 bytes into entry 7's data.
    const std::uint8_t* image = memory.PlaceAtEnd(std::span(archive).first(core[7].dataOffset + 10));
    LocalHandle slot = Untouched();
    EXPECT_EQ(CallGetFile(AsSource(image + 7), 0, &slot, MemorySource()), ResultCode::EntryNotFound);
    EXPECT_EQ(slot, Untouched());
    Bytes earlier;
    EXPECT_EQ(ExtractToMemory(AsSource(image + 6), 0, MemorySource(), earlier), ResultCode::Success);
    EXPECT_EQ(earlier, entries[6].content);

    // No "QVR" before the source within readable memory: the search stops there.
    GuardedMemory bare(2, 0);
    std::memset(bare.Begin(), 'x', 2 * PageSize());
    EXPECT_EQ(CallGetFile(AsSource(bare.Begin() + 100), 0, &slot, MemorySource()), ResultCode::UnrecognisedFormat);
    // Nor within 65535 steps back, although the memory goes on.
    GuardedMemory wide(20, 0);
    std::memcpy(wide.Begin(), archive.data(), archive.size());
    std::memset(wide.Begin() + archive.size(), 'x', 20 * PageSize() - archive.size());
    EXPECT_EQ(CallGetFile(AsSource(wide.Begin() + 65536), 0, &slot, MemorySource()),
              ResultCode::UnrecognisedFormat);
    EXPECT_EQ(CallGetFile(AsSource(wide.End() - 1), 0, &slot, MemorySource()), ResultCode::UnrecognisedFormat);
    EXPECT_EQ(slot, Untouched());
    // 65535 steps back is still within reach (and then no such entry).
    EXPECT_EQ(CallGetFile(AsSource(wide.Begin() + 65535), 0, &slot, MemorySource()), ResultCode::EntryNotFound);
}

TEST(GetFile, TheSearchStopsAtTheNearestWholeArchiveHead) {
    // Plain content bytes from 50 on are stored as they are.
    Bytes content(200, 'c');
    std::memcpy(content.data() + 100, "QVR", 3);
    std::memcpy(content.data() + 150, "QVRd\0", 5);
    const Bytes bytes = Build({{Text("a"), content}, {Text("b"), Text("second")}});
    const auto core = CoreEntries(bytes);
    const std::size_t letters = core[0].dataOffset + 100, head = core[0].dataOffset + 150;
    GuardedMemory memory(1, 1);
    const std::uint8_t* archive = memory.PlaceAtEnd(bytes);
    LocalHandle slot = Untouched();
    // Past "QVR" alone the search goes on to the image's start: an index
    // that far is no entry of its two.
    EXPECT_EQ(CallGetFile(AsSource(archive + letters + 1), 0, &slot, MemorySource()),
              ResultCode::EntryNotFound);
    // A whole head inside the content is taken for an image, whose first
    // entry ("c" as its name length) runs past the end of readable memory.
    EXPECT_EQ(CallGetFile(AsSource(archive + head + 1), 0, &slot, MemorySource()),
              ResultCode::EntryNotFound);
    EXPECT_EQ(slot, Untouched());
}

TEST(GetFile, ExtractsTheLastOfSixtyFiveThousandFiveHundredAndThirtyFiveEntries) {
    std::vector<qvr::WriterEntry> entries(65535);
    for (std::size_t i = 0; i < entries.size(); ++i) entries[i].name = Numbered("f", i);
    entries.back().content = Pattern(80, 5);
    entries.front().content = Pattern(3, 9);
    const Bytes archive = Build(entries);
    WriteFileBytes("many.qvr", archive);
    Bytes last;
    ASSERT_EQ(ExtractToMemory("many.qvr", 65534, FileSource(), last), ResultCode::Success);
    EXPECT_EQ(last, entries.back().content);
    ASSERT_EQ(ExtractToMemory(AsSource(archive.data() + 65534), 0, MemorySource(), last), ResultCode::Success);
    EXPECT_EQ(last, entries.back().content);
    Bytes first;
    ASSERT_EQ(ExtractToMemory(AsSource(archive.data()), 0, MemorySource(), first), ResultCode::Success);
    EXPECT_EQ(first, entries.front().content);
    RemoveFile("many.qvr");
}

}  // namespace
}  // namespace axqvr::test
