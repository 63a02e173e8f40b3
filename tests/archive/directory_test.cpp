#include <gtest/gtest.h>

#include "qvr/directory.h"
#include "test_archives.h"

namespace qvr {
namespace {

using test::Bytes;

// The entry layout as literal numbers, so that the named offsets cannot
// drift from the bytes other readers expect: with a 5-byte name the data
// size lies at byte 7, the data offset at byte 11, and the next entry
// begins at byte 15.
static_assert(EntryNameLengthOffset == 1 && EntryNameOffset == 2);
static_assert(EntryDataSizeOffset(5) == 7 && EntryDataOffsetOffset(5) == 11 && EntrySize(5) == 15);
static_assert(EntrySize(0) == 10 && EntrySize(MaxNameLength) == 265);

TEST(Directory, TwoEntriesOfFiveAndSevenByteNames) {
    const std::vector<WriterEntry> entries = {{Bytes("alpha"), Bytes("1")}, {Bytes("bravo.x"), Bytes("22")}};
    const auto image = test::Build(entries);
    OpenedArchive archive;
    ASSERT_EQ(OpenArchiveImage(image, archive), OpenStatus::Success);

    auto cursor = archive.Begin();
    Entry first;
    ASSERT_TRUE(ReadNextEntry(cursor, first));
    EXPECT_EQ(first.dataOffset, 66u);  // 34 + 15 + 17: data follow the directory
    EXPECT_EQ(cursor.offset, 15u);     // the second entry begins 15 bytes in
    Entry second;
    ASSERT_TRUE(ReadNextEntry(cursor, second));
    EXPECT_EQ(std::string(second.NameText().begin(), second.NameText().end()), "bravo.x");
    EXPECT_EQ(second.index, 1u);
    EXPECT_EQ(second.dataOffset, 67u);
    EXPECT_EQ(second.dataSize, 2u);
    EXPECT_EQ(cursor.offset, 32u);
}

TEST(Directory, EmptyNameStillTakesTenBytes) {
    const std::vector<WriterEntry> entries = {{{}, Bytes("a")}, {Bytes("next"), Bytes("b")}};
    const auto image = test::Build(entries);
    OpenedArchive archive;
    ASSERT_EQ(OpenArchiveImage(image, archive), OpenStatus::Success);
    const auto walked = test::WalkAll(archive);
    ASSERT_EQ(walked.size(), 2u);
    EXPECT_EQ(walked[0].nameLength, 0);
    EXPECT_TRUE(walked[0].NameText().empty());
    EXPECT_EQ(std::string(walked[1].NameText().begin(), walked[1].NameText().end()), "next");
}

TEST(Directory, NameTextEndsAtTheFirstZeroByte) {
    std::vector<std::uint8_t> name = {'a', 'b', 0, 'c'};
    const auto image = test::Build({{name, Bytes("x")}});
    OpenedArchive archive;
    ASSERT_EQ(OpenArchiveImage(image, archive), OpenStatus::Success);
    const auto walked = test::WalkAll(archive);
    ASSERT_EQ(walked.size(), 1u);
    EXPECT_EQ(walked[0].nameLength, 4);
    EXPECT_EQ(walked[0].NameText().size(), 2u);
    EXPECT_TRUE(std::equal(name.begin(), name.end(), walked[0].NameBytes().begin()));
}

TEST(Directory, EntryRunningPastTheEndIsRefusedAndCursorStays) {
    // Every prefix of one 13-byte entry, as a whole directory, is refused.
    const auto image = test::Build({{Bytes("abc"), Bytes("x")}});
    const auto entryBytes = std::span(image).subspan(HeaderSize, 13);
    for (std::size_t n = 0; n < entryBytes.size(); ++n) {
        const std::vector<std::uint8_t> cut(entryBytes.begin(), entryBytes.begin() + static_cast<std::ptrdiff_t>(n));
        DirectoryCursor cursor{cut, 0, 0};
        Entry e;
        e.dataSize = 1234;
        EXPECT_FALSE(ReadNextEntry(cursor, e)) << n;
        EXPECT_FALSE(SkipEntry(cursor)) << n;
        EXPECT_EQ(cursor.offset, 0u);
        EXPECT_EQ(cursor.index, 0u);
        EXPECT_EQ(e.dataSize, 1234u);  // refused entries leave the output alone
    }
    const std::vector<std::uint8_t> whole(entryBytes.begin(), entryBytes.end());
    DirectoryCursor cursor{whole, 0, 0};
    EXPECT_TRUE(SkipEntry(cursor));
    EXPECT_EQ(cursor.offset, 13u);
}

TEST(Directory, NameLengthPointingPastTheEndIsRefused) {
    auto image = test::Build({{Bytes("abc"), Bytes("x")}});
    image[HeaderSize + EntryNameLengthOffset] = 255;  // the name now runs past the image
    const std::vector<std::uint8_t> exact(image.begin(), image.end());
    OpenedArchive archive;
    ASSERT_EQ(OpenArchiveImage(exact, archive), OpenStatus::Success);
    EXPECT_TRUE(test::WalkAll(archive).empty());
}

TEST(Directory, SkipAndReadAgreeOnEveryEntry) {
    std::vector<WriterEntry> entries;
    for (int i = 0; i < 40; ++i) entries.push_back({test::Filled(static_cast<std::size_t>(i * 6), 1), test::Filled(3, 2)});
    const auto image = test::Build(entries);
    OpenedArchive archive;
    ASSERT_EQ(OpenArchiveImage(image, archive), OpenStatus::Success);
    for (std::uint32_t target = 0; target < entries.size(); target += 7) {
        auto skipped = archive.Begin();
        for (std::uint32_t i = 0; i < target; ++i) ASSERT_TRUE(SkipEntry(skipped));
        Entry viaSkip;
        ASSERT_TRUE(ReadNextEntry(skipped, viaSkip));
        auto walked = test::WalkAll(archive);
        EXPECT_EQ(viaSkip.index, target);
        EXPECT_EQ(viaSkip.dataOffset, walked[target].dataOffset);
        EXPECT_EQ(viaSkip.name, walked[target].name);
    }
}

TEST(Directory, SkippingManyAgreesWithSkippingOneByOne) {
    std::vector<WriterEntry> entries;
    for (int i = 0; i < 30; ++i) entries.push_back({test::Filled(static_cast<std::size_t>(i * 9 % 256), 4), {}});
    const auto image = test::Build(entries);
    const auto directory = std::span(image).subspan(HeaderSize);
    // Whole and cut directories, every count up to past the last entry.
    for (const std::size_t cutBy : {std::size_t{0}, std::size_t{1}, std::size_t{9}, std::size_t{200}}) {
        const auto view = directory.first(directory.size() - cutBy);
        for (std::uint32_t count = 0; count <= 32; ++count) {
            DirectoryCursor one{view, 0, 0};
            bool oneByOne = true;
            for (std::uint32_t i = 0; i < count && oneByOne; ++i) oneByOne = SkipEntry(one);
            DirectoryCursor many{view, 0, 0};
            EXPECT_EQ(SkipEntries(many, count), oneByOne) << cutBy << " " << count;
            EXPECT_EQ(many.offset, one.offset) << cutBy << " " << count;
            EXPECT_EQ(many.index, one.index) << cutBy << " " << count;
        }
    }
    // A cursor already past the end passes nothing.
    DirectoryCursor beyond{directory.first(5), 7, 3};
    EXPECT_FALSE(SkipEntries(beyond, 1));
    EXPECT_EQ(beyond.offset, 7u);
    EXPECT_EQ(beyond.index, 3u);
    EXPECT_TRUE(SkipEntries(beyond, 0));
}

// Long skips run a guessed walk beside the true one; whatever the lengths
// spell, the result is the one-by-one walk's. Raw directories, so that
// name bytes can be anything a misplaced walk might take for a length.
TEST(Directory, LongSkipsAgreeWithSkippingOneByOne) {
    struct Shape {
        const char* what;
        std::uint8_t (*nameLength)(std::uint32_t i);
        std::uint8_t nameByte;
    } const shapes[] = {
        {"uniform 25-byte entries", [](std::uint32_t) -> std::uint8_t { return 15; }, 'n'},
        {"lengths all over", [](std::uint32_t i) { return static_cast<std::uint8_t>(i * 2654435761u >> 24); }, 'x'},
        {"empty names", [](std::uint32_t) -> std::uint8_t { return 0; }, 0},
        {"names of zero bytes", [](std::uint32_t i) { return static_cast<std::uint8_t>(i % 7); }, 0},
        {"names of 0xFF bytes", [](std::uint32_t i) { return static_cast<std::uint8_t>(3 + i % 5); }, 0xFF},
    };
    constexpr std::uint32_t Count = 6000;
    for (const Shape& shape : shapes) {
        std::vector<std::uint8_t> directory;
        for (std::uint32_t i = 0; i < Count; ++i) {
            const std::uint8_t length = shape.nameLength(i);
            directory.push_back(static_cast<std::uint8_t>(i));
            directory.push_back(length);
            directory.insert(directory.end(), length, shape.nameByte);
            directory.insert(directory.end(), 8, static_cast<std::uint8_t>(i * 31));
        }
        for (const std::size_t cutBy : {std::size_t{0}, std::size_t{3}}) {
            const auto view = std::span<const std::uint8_t>(directory).first(directory.size() - cutBy);
            for (const std::uint32_t from : {0u, 7u}) {
                DirectoryCursor start{view, 0, 0};
                ASSERT_TRUE(SkipEntries(start, from));
                for (const std::uint32_t count : {255u, 256u, 257u, 1000u, 2999u, 5000u, Count - from - 1, Count - from,
                                                  Count + 10}) {
                    DirectoryCursor one = start;
                    bool oneByOne = true;
                    for (std::uint32_t i = 0; i < count && oneByOne; ++i) oneByOne = SkipEntry(one);
                    DirectoryCursor many = start;
                    EXPECT_EQ(SkipEntries(many, count), oneByOne) << shape.what << " " << cutBy << " " << count;
                    EXPECT_EQ(many.offset, one.offset) << shape.what << " " << cutBy << " " << count;
                    EXPECT_EQ(many.index, one.index) << shape.what << " " << cutBy << " " << count;
                }
            }
        }
    }
}

TEST(Directory, AWalkSaysWhereTheDirectoryEnds) {
    const DirectoryWalk whole{3, 3};
    EXPECT_TRUE(whole.Complete());
    EXPECT_EQ(whole.Unread(), 0u);
    EXPECT_EQ(WhereDirectoryEnds(whole), "");
    const DirectoryWalk cut{7, 5};
    EXPECT_FALSE(cut.Complete());
    EXPECT_EQ(cut.Unread(), 2u);
    EXPECT_EQ(WhereDirectoryEnds(cut), "the directory ends inside entry 5");
    EXPECT_EQ(WhereDirectoryEnds(DirectoryWalk{1, 0}), "the directory ends inside entry 0");
}

}  // namespace
}  // namespace qvr
