// The structural findings qvr test reports and the viewer marks, each from
// an archive damaged one way.
#include "qvr/structure.h"

#include <algorithm>
#include <string>

#include "qvr/window_walk.h"

#include "test_archives.h"

namespace qvr::test {
namespace {

// Two entries "x" and "y" of ten bytes: entry 1's fixed fields follow entry 0's 11 bytes.
constexpr std::size_t SecondOffsetAt = HeaderSize + EntrySize(1) + EntryDataOffsetOffset(1);
constexpr std::size_t DataStart = HeaderSize + 2 * EntrySize(1);

std::vector<std::uint8_t> TwoEntries() { return Build({{Bytes("x"), Filled(10, 1)}, {Bytes("y"), Filled(10, 2)}}); }

bool SameFinding(const StructureFinding& a, const StructureFinding& b) {
    return a.fault == b.fault && a.index == b.index && a.other == b.other && a.begin == b.begin && a.end == b.end &&
           a.entryAt == b.entryAt;
}

// The findings over the directory in memory; walked through a window they
// are the same.
std::vector<StructureFinding> Findings(const std::vector<std::uint8_t>& file) {
    OpenedArchive opened;
    EXPECT_EQ(OpenArchiveView(file, 0, opened), OpenStatus::Success);
    auto found = FindStructureProblems(opened, file.size());
    SpanByteSource source(file);
    std::vector<std::uint8_t> window(WindowWalk::MinWindow);
    EXPECT_TRUE(std::ranges::equal(FindStructureProblems(source, 0, window, file.size()), found, SameFinding));
    // A larger window whose first read holds only the head block.
    std::vector<std::uint8_t> larger(4096);
    EXPECT_TRUE(std::ranges::equal(FindStructureProblems(source, 0, larger, file.size(), 0), found, SameFinding));
    return found;
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

// Entries "x", "y" and "z" of ten bytes each, laid out in directory order.
std::vector<std::uint8_t> ThreeEntries() {
    return Build({{Bytes("x"), Filled(10, 1)}, {Bytes("y"), Filled(10, 2)}, {Bytes("z"), Filled(10, 3)}});
}
constexpr std::size_t ThreeDataStart = HeaderSize + 3 * EntrySize(1);
void MoveData(std::vector<std::uint8_t>& file, std::size_t entry, std::uint32_t offset) {
    StoreU32(std::span(file).subspan(HeaderSize + entry * EntrySize(1) + EntryDataOffsetOffset(1)).first<4>(), offset);
}

TEST(Structure, OverlapsAreFoundByPlaceWhateverTheDirectoryOrder) {
    // Swapped, but apart: sound.
    auto swapped = ThreeEntries();
    MoveData(swapped, 0, ThreeDataStart + 10);
    MoveData(swapped, 1, ThreeDataStart);
    EXPECT_TRUE(Findings(swapped).empty());

    // Entry 1 runs into entry 0 while the data are still in order; entry 2
    // then starts where entry 0 does. By place: 0, 2, 1; each overlap once.
    auto file = ThreeEntries();
    MoveData(file, 1, ThreeDataStart + 5);
    MoveData(file, 2, ThreeDataStart);
    const auto found = Findings(file);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].fault, StructureFault::DataOverlap);
    EXPECT_EQ(found[0].index, 2u);
    EXPECT_EQ(found[0].other, 0u);
    EXPECT_EQ(found[0].begin, ThreeDataStart);
    EXPECT_EQ(found[1].fault, StructureFault::DataOverlap);
    EXPECT_EQ(found[1].index, 1u);
    EXPECT_EQ(found[1].other, 0u);
    EXPECT_EQ(found[1].end, ThreeDataStart + 15);
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

// A directory many times the window: the walks refill it, and every kind of
// finding far into the directory is the same as over the directory in memory.
TEST(Structure, AWindowSmallerThanTheDirectoryFindsTheSame) {
    const auto nameOf = [](std::size_t i) { return "entry" + std::to_string(i); };
    std::vector<WriterEntry> entries;
    for (std::size_t i = 0; i < 400; ++i) entries.push_back({Bytes(nameOf(i)), Filled(3, 1)});
    auto file = Build(entries);
    const auto dataOffsetOf = [&](std::size_t i) {
        std::size_t at = HeaderSize;
        for (std::size_t k = 0; k < i; ++k) at += EntrySize(nameOf(k).size());
        return std::span(file).subspan(at + EntryDataOffsetOffset(nameOf(i).size()));
    };
    const std::uint32_t tenth = LoadU32(dataOffsetOf(10).first<4>());
    StoreU32(dataOffsetOf(250).first<4>(), tenth + 1);  // out of order, into entry 10's data
    StoreU32(dataOffsetOf(300).first<4>(), HeaderSize + 20);  // inside the directory
    file.erase(file.end() - 2, file.end());  // the last entry's data run past the end
    const auto found = Findings(file);
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[0].fault, StructureFault::DataPastEnd);
    EXPECT_EQ(found[0].index, 399u);
    EXPECT_EQ(found[1].fault, StructureFault::DataInsideDirectory);
    EXPECT_EQ(found[1].index, 300u);
    EXPECT_EQ(found[2].fault, StructureFault::DataOverlap);
    EXPECT_EQ(found[3].fault, StructureFault::DataOverlap);
}

}  // namespace
}  // namespace qvr::test
