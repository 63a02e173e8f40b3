#include <gtest/gtest.h>

#include <memory>

#include "qvr/open.h"
#include "test_archives.h"

namespace qvr {
namespace {

using test::Bytes;

// A source that remembers every read, to show which bytes an opener asked for.
class RecordingSource final : public ByteSource {
public:
    explicit RecordingSource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) override {
        reads.push_back({offset, into.size()});
        return SpanByteSource(bytes_).ReadAt(offset, into);
    }
    std::vector<std::pair<std::uint64_t, std::size_t>> reads;

private:
    std::vector<std::uint8_t> bytes_;
};

std::vector<WriterEntry> ThreeEntries() {
    return {{Bytes("one.txt"), Bytes("first")}, {Bytes("two"), test::Filled(120, 9)}, {Bytes("3"), {}}};
}

TEST(OpenFile, ReadsHeadBlockThenExactlyTheDirectory) {
    const auto entries = ThreeEntries();
    RecordingSource source(test::Build(entries));
    OpenedArchive archive;
    ASSERT_EQ(OpenArchiveFile(source, 0, archive), OpenStatus::Success);
    EXPECT_EQ(archive.header.entryCount, 3);
    const std::size_t directorySize = test::EntryAt(entries, 3) - HeaderSize;
    ASSERT_EQ(source.reads.size(), 2u);
    EXPECT_EQ(source.reads[0], (std::pair<std::uint64_t, std::size_t>{0, HeadBlockSize}));
    EXPECT_EQ(source.reads[1], (std::pair<std::uint64_t, std::size_t>{HeaderSize, directorySize}));
    EXPECT_EQ(archive.directory.size(), directorySize);
    EXPECT_EQ(test::WalkAll(archive).size(), 3u);
}

TEST(OpenFile, ArchiveInsideALargerFile) {
    const auto entries = ThreeEntries();
    const auto archiveBytes = test::Build(entries);
    std::vector<std::uint8_t> file(1000 + archiveBytes.size() + 500, 'V');
    std::fill_n(file.begin(), 1000, 'Q');
    std::copy(archiveBytes.begin(), archiveBytes.end(), file.begin() + 1000);
    RecordingSource source(file);

    OpenedArchive archive;
    ASSERT_EQ(OpenArchiveFile(source, 1000, archive), OpenStatus::Success);
    EXPECT_EQ(source.reads[0].first, 1000u);
    EXPECT_EQ(source.reads[1].first, 1034u);
    const auto walked = test::WalkAll(archive);
    ASSERT_EQ(walked.size(), 3u);

    OpenedArchive alone;
    SpanByteSource plain(archiveBytes);
    ASSERT_EQ(OpenArchiveFile(plain, 0, alone), OpenStatus::Success);
    const auto expected = test::WalkAll(alone);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(walked[i].dataOffset, expected[i].dataOffset);  // still counted from the archive
        EXPECT_EQ(walked[i].name, expected[i].name);
    }
    EXPECT_EQ(OpenArchiveFile(source, 999, archive), OpenStatus::UnrecognisedFormat);
}

TEST(OpenFile, SmallArchiveOpensFromAShortHeadRead) {
    const auto bytes = test::Build({{Bytes("a"), Bytes("b")}});
    ASSERT_LT(bytes.size(), HeadBlockSize);
    SpanByteSource source(bytes);
    OpenedArchive archive;
    ASSERT_EQ(OpenArchiveFile(source, 0, archive), OpenStatus::Success);
    ASSERT_EQ(test::WalkAll(archive).size(), 1u);
}

TEST(OpenFile, EntryCountIsUnsignedAndZeroMeansEmpty) {
    auto bytes = test::Build({});
    ASSERT_EQ(bytes.size(), HeaderSize);
    SpanByteSource empty(bytes);
    OpenedArchive archive;
    ASSERT_EQ(OpenArchiveFile(empty, 0, archive), OpenStatus::Success);
    EXPECT_EQ(archive.header.entryCount, 0);
    EXPECT_TRUE(archive.directory.empty());

    bytes[32] = 0xFF;
    bytes[33] = 0xFF;
    SpanByteSource full(bytes);
    ASSERT_EQ(OpenArchiveFile(full, 0, archive), OpenStatus::Success);
    EXPECT_EQ(archive.header.entryCount, 65535);
    EXPECT_TRUE(test::WalkAll(archive).empty());  // announced, but nothing there to read
}

TEST(OpenFile, RefusesWhatIsNotAnArchive) {
    OpenedArchive archive;
    const std::vector<std::vector<std::uint8_t>> candidates = {
        {}, Bytes("QVR"), Bytes("QVRd"), {'q', 'v', 'r', 'd', 0}, {'Q', 'V', 'R', 'd', 1}, Bytes("PK not this")};
    for (const auto& bytes : candidates) {
        SpanByteSource source(bytes);
        EXPECT_EQ(OpenArchiveFile(source, 0, archive), OpenStatus::UnrecognisedFormat);
    }
    // The magic alone, with no entry count after it.
    std::vector<std::uint8_t> magicOnly(ArchiveMagic.begin(), ArchiveMagic.end());
    SpanByteSource source(magicOnly);
    EXPECT_EQ(OpenArchiveFile(source, 0, archive), OpenStatus::UnrecognisedFormat);
}

TEST(OpenFile, FirstDataOffsetBelowTheHeaderIsADamagedDirectory) {
    auto bytes = test::Build({{Bytes("abc"), Bytes("x")}});
    StoreU32(std::span(bytes).subspan(HeaderSize + EntryDataOffsetOffset(3)).first<4>(), 33);
    SpanByteSource source(bytes);
    OpenedArchive archive;
    EXPECT_EQ(OpenArchiveFile(source, 0, archive), OpenStatus::DamagedDirectory);

    StoreU32(std::span(bytes).subspan(HeaderSize + EntryDataOffsetOffset(3)).first<4>(), 34);  // an empty directory
    ASSERT_EQ(OpenArchiveFile(source, 0, archive), OpenStatus::Success);
    EXPECT_TRUE(test::WalkAll(archive).empty());
}

TEST(OpenFile, CountBeyondTheDirectoryStopsTheWalk) {
    const auto entries = ThreeEntries();
    auto bytes = test::Build(entries);
    bytes[32] = 4;  // one entry more than the directory holds
    SpanByteSource source(bytes);
    OpenedArchive archive;
    ASSERT_EQ(OpenArchiveFile(source, 0, archive), OpenStatus::Success);
    auto cursor = archive.Begin();
    Entry e;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(ReadNextEntry(cursor, e));
    EXPECT_FALSE(ReadNextEntry(cursor, e));  // the fourth would lie in the data
}

TEST(OpenFile, FileEndingInsideTheDirectory) {
    const auto entries = ThreeEntries();
    const auto bytes = test::Build(entries);
    const std::size_t secondEntryEnd = test::EntryAt(entries, 2);
    for (std::size_t end = HeaderSize; end < test::EntryAt(entries, 3); ++end) {
        const std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(end));
        SpanByteSource source(cut);
        OpenedArchive archive;
        ASSERT_EQ(OpenArchiveFile(source, 0, archive), OpenStatus::Success) << end;
        EXPECT_LE(archive.directory.size(), end - HeaderSize);
        const std::size_t walked = test::WalkAll(archive).size();
        EXPECT_EQ(walked, end >= secondEntryEnd ? 2u : (end >= test::EntryAt(entries, 1) ? 1u : 0u)) << end;
    }
}

TEST(OpenFile, ForgedExtentCostsOnlyWhatExists) {
    auto bytes = test::Build({{Bytes("abc"), Bytes("x")}});
    StoreU32(std::span(bytes).subspan(HeaderSize + EntryDataOffsetOffset(3)).first<4>(), 0xFFFFFFF0u);
    SpanByteSource source(bytes);
    OpenedArchive archive;
    ASSERT_EQ(OpenArchiveFile(source, 0, archive), OpenStatus::Success);
    EXPECT_LE(archive.directoryBuffer.capacity(), bytes.size());
    EXPECT_EQ(test::WalkAll(archive).size(), 1u);
}

TEST(OpenImage, ViewsTheImageInPlace) {
    const auto bytes = test::Build(ThreeEntries());
    OpenedArchive archive;
    ASSERT_EQ(OpenArchiveImage(bytes, archive), OpenStatus::Success);
    EXPECT_EQ(archive.directory.data(), bytes.data() + HeaderSize);
    EXPECT_TRUE(archive.directoryBuffer.empty());
    EXPECT_EQ(OpenArchiveImage(std::span(bytes).first(33), archive), OpenStatus::UnrecognisedFormat);
    EXPECT_EQ(OpenArchiveImage(std::span(bytes).subspan(1), archive), OpenStatus::UnrecognisedFormat);
}

TEST(OpenImage, EntryDataMustLieInsideTheImage) {
    const std::vector<std::uint8_t> image(100);
    EXPECT_TRUE(EntryData(image, 0, 100));
    EXPECT_TRUE(EntryData(image, 100, 0));
    EXPECT_FALSE(EntryData(image, 99, 2));
    EXPECT_FALSE(EntryData(image, 101, 0));
    EXPECT_FALSE(EntryData(image, 1, 0xFFFFFFFFu));  // no wrap-around
}

}  // namespace
}  // namespace qvr

namespace qvr {
namespace {

// A mapped file must open exactly as a read one does, however it is cut or forged.
TEST(OpenView, AgreesWithOpenFileOnEveryCutAndOffset) {
    const std::vector<WriterEntry> entries = {{test::Bytes("one.txt"), test::Bytes("first")},
                                              {test::Bytes("two"), test::Filled(120, 9)}};
    auto bytes = test::Build(entries);
    std::vector<std::uint8_t> file(7 + bytes.size(), 'x');
    std::copy(bytes.begin(), bytes.end(), file.begin() + 7);

    for (std::size_t end = 0; end <= file.size(); ++end) {
        const std::vector<std::uint8_t> cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(end));
        for (const std::uint64_t offset : {0u, 7u, 8u}) {
            SpanByteSource source(cut);
            OpenedArchive read, viewed;
            const auto readStatus = OpenArchiveFile(source, offset, read);
            ASSERT_EQ(OpenArchiveView(cut, offset, viewed), readStatus) << end << " " << offset;
            if (readStatus != OpenStatus::Success) continue;
            EXPECT_EQ(viewed.header.entryCount, read.header.entryCount);
            EXPECT_TRUE(std::equal(viewed.directory.begin(), viewed.directory.end(), read.directory.begin(),
                                   read.directory.end()))
                << end << " " << offset;
        }
    }
    OpenedArchive viewed;
    EXPECT_EQ(OpenArchiveView(file, file.size() + 1, viewed), OpenStatus::UnrecognisedFormat);
}

}  // namespace
}  // namespace qvr

namespace qvr {
namespace {

// What OpenArchiveFile and a walk to `index` give, for ReadEntryAt to match.
struct WalkResult {
    OpenStatus status = OpenStatus::Success;
    std::optional<Entry> entry;
};

WalkResult OpenAndWalk(std::span<const std::uint8_t> file, std::uint64_t offset, std::uint32_t index) {
    SpanByteSource source(file);
    OpenedArchive archive;
    WalkResult result;
    result.status = OpenArchiveFile(source, offset, archive);
    if (result.status != OpenStatus::Success || index >= archive.header.entryCount) return result;
    auto cursor = archive.Begin();
    Entry e;
    for (std::uint32_t i = 0; i <= index; ++i)
        if (!ReadNextEntry(cursor, e)) return result;
    result.entry = e;
    return result;
}

::testing::AssertionResult SameResult(std::span<const std::uint8_t> file, std::uint64_t offset, std::uint32_t index) {
    const WalkResult expected = OpenAndWalk(file, offset, index);
    SpanByteSource source(file);
    std::optional<Entry> entry;
    const OpenStatus status = ReadEntryAt(source, offset, index, entry);
    if (status != expected.status) return ::testing::AssertionFailure() << "status differs at index " << index;
    if (entry.has_value() != expected.entry.has_value())
        return ::testing::AssertionFailure() << "found one and not the other at index " << index;
    if (entry && (entry->index != expected.entry->index || entry->name != expected.entry->name ||
                  entry->nameLength != expected.entry->nameLength || entry->dataSize != expected.entry->dataSize ||
                  entry->dataOffset != expected.entry->dataOffset))
        return ::testing::AssertionFailure() << "entries differ at index " << index;
    return ::testing::AssertionSuccess();
}

TEST(ReadEntryAt, AgreesWithOpenAndWalkOnEveryCutAndOffset) {
    const auto bytes = test::Build(ThreeEntries());
    std::vector<std::uint8_t> file(7 + bytes.size(), 'x');
    std::copy(bytes.begin(), bytes.end(), file.begin() + 7);
    for (std::size_t end = 0; end <= file.size(); ++end) {
        const auto cut = std::span<const std::uint8_t>(file).first(end);
        for (const std::uint64_t offset : {0u, 7u, 8u, 1000u})
            for (std::uint32_t index = 0; index < 5; ++index)
                EXPECT_TRUE(SameResult(cut, offset, index)) << "end " << end << " offset " << offset;
    }
    SpanByteSource source(file);
    std::optional<Entry> entry;
    EXPECT_EQ(ReadEntryAt(source, 7, 0xFFFFFFFFu, entry), OpenStatus::Success);
    EXPECT_FALSE(entry.has_value());
}

// Names of every length, so entries end at every position of a piece.
std::vector<WriterEntry> ManyEntries(std::size_t count) {
    std::vector<WriterEntry> entries(count);
    for (std::size_t i = 0; i < count; ++i) entries[i].name = test::Filled((i * 7) % 256, static_cast<std::uint8_t>(i));
    return entries;
}

// Opens and walks once, then asks ReadEntryAt for every `stride`th index
// and the one after it.
void ExpectAgreementAlongTheDirectory(std::span<const std::uint8_t> file, std::uint32_t count, std::uint32_t stride) {
    SpanByteSource source(file);
    OpenedArchive archive;
    ASSERT_EQ(OpenArchiveFile(source, 0, archive), OpenStatus::Success);
    const auto walked = test::WalkAll(archive);
    for (std::uint32_t index = 0; index <= count; index += (index % stride == 0 ? 1 : stride - index % stride)) {
        std::optional<Entry> entry;
        ASSERT_EQ(ReadEntryAt(source, 0, index, entry), OpenStatus::Success) << index;
        ASSERT_EQ(entry.has_value(), index < walked.size()) << index;
        if (!entry) continue;
        EXPECT_EQ(entry->index, walked[index].index);
        EXPECT_EQ(entry->name, walked[index].name) << index;
        EXPECT_EQ(entry->dataOffset, walked[index].dataOffset) << index;
        EXPECT_EQ(entry->dataSize, walked[index].dataSize) << index;
    }
}

TEST(ReadEntryAt, DirectoriesLongerThanSeveralPiecesAgreeAlongTheWay) {
    // About 640 KiB of directory: many pieces.
    const auto entries = ManyEntries(5000);
    const auto bytes = test::Build(entries);
    ASSERT_GT(bytes.size(), std::size_t{600} << 10);
    ExpectAgreementAlongTheDirectory(bytes, 5000, 5);
    // Files that end inside the directory, in the first piece and in later ones.
    for (const std::size_t end : {std::size_t{40000}, std::size_t{65536 + 34}, std::size_t{65536 + 300},
                                  std::size_t{400000}})
        ExpectAgreementAlongTheDirectory(std::span<const std::uint8_t>(bytes).first(end), 5000, 11);
}

TEST(ReadEntryAt, ReadsOnlyAsFarAsTheEntry) {
    const auto bytes = test::Build(ManyEntries(5000));
    RecordingSource near(bytes);
    std::optional<Entry> entry;
    ASSERT_EQ(ReadEntryAt(near, 0, 3, entry), OpenStatus::Success);
    ASSERT_TRUE(entry.has_value());
    ASSERT_EQ(near.reads.size(), 1u);
    EXPECT_LE(near.reads[0].second, std::size_t{64} << 10);

    RecordingSource far(bytes);
    ASSERT_EQ(ReadEntryAt(far, 0, 4999, entry), OpenStatus::Success);
    ASSERT_TRUE(entry.has_value());
    std::size_t read = 0;
    for (const auto& r : far.reads) read += r.second;
    EXPECT_LE(read, test::EntryAt(ManyEntries(5000), 5000) + (std::size_t{1} << 10));
}

TEST(ReadEntryAt, ForgedExtentStopsWhereTheFileDoes) {
    auto bytes = test::Build({{Bytes("abc"), Bytes("x")}, {Bytes("de"), Bytes("y")}});
    StoreU32(std::span(bytes).subspan(HeaderSize + EntryDataOffsetOffset(3)).first<4>(), 0xFFFFFFF0u);
    for (std::uint32_t index = 0; index < 3; ++index) EXPECT_TRUE(SameResult(bytes, 0, index));
    // The first entry's data begin inside the header: no directory.
    StoreU32(std::span(bytes).subspan(HeaderSize + EntryDataOffsetOffset(3)).first<4>(), 20);
    EXPECT_TRUE(SameResult(bytes, 0, 0));
}

}  // namespace
}  // namespace qvr
