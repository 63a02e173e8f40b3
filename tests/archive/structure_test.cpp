// The structural findings qvr test reports and the viewer marks, each from
// an archive damaged one way.
#include "qvr/structure.h"

#include "test_archives.h"

namespace qvr::test {
namespace {

// Two entries "x" and "y" of ten bytes: entry 1's fixed fields follow entry 0's 11 bytes.
constexpr std::size_t SecondOffsetAt = HeaderSize + EntrySize(1) + EntryDataOffsetOffset(1);
constexpr std::size_t DataStart = HeaderSize + 2 * EntrySize(1);

std::vector<std::uint8_t> TwoEntries() { return Build({{Bytes("x"), Filled(10, 1)}, {Bytes("y"), Filled(10, 2)}}); }

std::vector<StructureFinding> Findings(const std::vector<std::uint8_t>& file) {
    OpenedArchive opened;
    EXPECT_EQ(OpenArchiveView(file, 0, opened), OpenStatus::Success);
    return FindStructureProblems(opened, file.size());
}

TEST(Structure, EachDamageIsFoundOnce) {
    auto overlap = TwoEntries();
    StoreU32(std::span(overlap).subspan(SecondOffsetAt).first<4>(), DataStart + 5);
    auto inside = TwoEntries();
    StoreU32(std::span(inside).subspan(SecondOffsetAt).first<4>(), HeaderSize + 3);
    auto pastEnd = TwoEntries();
    pastEnd.erase(pastEnd.end() - 4, pastEnd.end());
    auto cutShort = TwoEntries();
    StoreU16(std::span(cutShort).subspan(EntryCountOffset).first<2>(), 3);

    const struct {
        const char* what;
        std::vector<std::uint8_t> file;
        StructureFault fault;
        std::uint32_t index, other;
        std::uint64_t begin, end;
    } cases[] = {
        {"overlap", overlap, StructureFault::DataOverlap, 1, 0, DataStart + 5, DataStart + 15},
        {"inside the directory", inside, StructureFault::DataInsideDirectory, 1, 0, HeaderSize + 3, HeaderSize + 13},
        {"past the end", pastEnd, StructureFault::DataPastEnd, 1, 0, DataStart + 10, DataStart + 20},
        {"directory cut short", cutShort, StructureFault::DirectoryCutShort, 2, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const auto found = Findings(c.file);
        ASSERT_GE(found.size(), 1u) << c.what;
        EXPECT_EQ(found[0].fault, c.fault) << c.what;
        EXPECT_EQ(found[0].index, c.index) << c.what;
        EXPECT_EQ(found[0].other, c.other) << c.what;
        EXPECT_EQ(found[0].begin, c.begin) << c.what;
        EXPECT_EQ(found[0].end, c.end) << c.what;
    }
    EXPECT_TRUE(Findings(TwoEntries()).empty());
}

TEST(Structure, DataInsideTheDirectoryAlsoOverlapsItsNeighbour) {
    // Entry 1's data start inside the directory and run into entry 0's.
    auto file = TwoEntries();
    StoreU32(std::span(file).subspan(SecondOffsetAt).first<4>(), DataStart - 2);
    const auto found = Findings(file);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].fault, StructureFault::DataInsideDirectory);
    // By place, entry 1's data come first, and entry 0's start inside them.
    EXPECT_EQ(found[1].fault, StructureFault::DataOverlap);
    EXPECT_EQ(found[1].index, 0u);
    EXPECT_EQ(found[1].other, 1u);
}

TEST(Structure, APastEndFindingSaysWhereItsEntryLies) {
    auto file = Build({{Bytes("first"), Filled(4, 1)}, {Bytes("second"), Filled(4, 2)}});
    file.erase(file.end() - 1, file.end());
    OpenedArchive opened;
    ASSERT_EQ(OpenArchiveView(file, 0, opened), OpenStatus::Success);
    const auto found = FindStructureProblems(opened, file.size());
    ASSERT_EQ(found.size(), 1u);
    DirectoryCursor cursor{opened.directory, found[0].entryAt, found[0].index};
    Entry entry;
    ASSERT_TRUE(ReadNextEntry(cursor, entry));
    EXPECT_EQ(std::string(entry.NameBytes().begin(), entry.NameBytes().end()), "second");
}

}  // namespace
}  // namespace qvr::test
