#include "qvr/structure.h"

#include <algorithm>

#include "qvr/directory.h"
#include "qvr/window_walk.h"

namespace qvr {
namespace {

struct Extent {
    std::uint64_t begin;
    std::uint64_t end;
    std::uint32_t index;
};

// Where the data of extents met in order of place (by first byte, then by
// entry) overlap: each is compared with the furthest-reaching one before it.
class OverlapScan {
public:
    void Add(const Extent& e, std::vector<StructureFinding>& found) {
        if (any_ && e.begin < reach_.end)
            found.push_back({.fault = StructureFault::DataOverlap, .index = e.index, .other = reach_.index,
                             .begin = e.begin, .end = e.end});
        if (!any_ || e.end > reach_.end) reach_ = e;
        any_ = true;
    }

private:
    Extent reach_{};
    bool any_ = false;
};

// A walk over an opened archive's directory in memory, as WindowWalk walks
// one through a window, so that one check serves both.
class CursorWalk {
public:
    explicit CursorWalk(const OpenedArchive& opened) : header_(opened.header), cursor_(opened.Begin()) {}
    const ArchiveHeader& Header() const noexcept { return header_; }
    std::optional<DirectoryEntry> Peek() const { return PeekEntry(cursor_); }
    void Pass() { SkipEntry(cursor_); }
    std::uint64_t Offset() const noexcept { return cursor_.offset; }

private:
    ArchiveHeader header_;
    DirectoryCursor cursor_;
};

// Calls `use` with the data extent of each of the first `walked` entries
// that has data, in directory order, on a walk `newWalk` starts.
template <typename NewWalk, typename Use>
void ForEachExtent(NewWalk newWalk, std::uint32_t walked, Use use) {
    auto walk = newWalk();
    for (std::uint32_t i = 0; i < walked; ++i) {
        const auto entry = walk.Peek();
        if (!entry) break;
        if (entry->dataSize > 0) use(Extent{entry->dataOffset, std::uint64_t{entry->dataOffset} + entry->dataSize, i});
        walk.Pass();
    }
}

// The check, over walks from the first entry that `newWalk` starts: one
// walk, and a second only where data lie inside the directory or out of order.
template <typename NewWalk>
std::vector<StructureFinding> FindProblems(NewWalk newWalk, std::uint64_t fileSize) {
    std::vector<StructureFinding> found;
    auto walk = newWalk();
    const std::uint32_t count = walk.Header().entryCount;

    if (count > 0) {
        const auto first = walk.Peek();
        if (!first)
            found.push_back({.fault = StructureFault::FirstEntryCut});
        else if (first->dataOffset > fileSize)
            found.push_back({.fault = StructureFault::DirectoryPastEnd, .end = first->dataOffset});
    }

    // A writer lays data out in directory order, and then the walk meets the
    // extents in order of place and finds overlaps as it goes; no table of
    // them is kept unless an extent comes before the one met last.
    std::vector<StructureFinding> overlaps;
    OverlapScan scan;
    bool inOrder = true;
    std::uint64_t lastBegin = 0;
    std::uint64_t lowest = UINT64_MAX;  // the first byte of any data
    std::uint32_t walked = 0;
    for (; walked < count; ++walked) {
        const auto entry = walk.Peek();
        const auto entryAt = static_cast<std::size_t>(walk.Offset());
        if (!entry) {
            found.push_back({.fault = StructureFault::DirectoryCutShort, .index = walked, .entryAt = entryAt});
            break;
        }
        const std::uint64_t begin = entry->dataOffset;
        const std::uint64_t end = begin + entry->dataSize;
        if (end > fileSize)
            found.push_back({.fault = StructureFault::DataPastEnd, .index = walked, .begin = begin, .end = end,
                             .entryAt = entryAt});
        if (entry->dataSize > 0) {
            inOrder = inOrder && begin >= lastBegin;
            if (inOrder) scan.Add({begin, end, walked}, overlaps);
            lastBegin = begin;
            lowest = std::min(lowest, begin);
        }
        walk.Pass();
    }

    // Data may lie anywhere after the entries themselves, even inside the
    // extent the first entry declares; they must not overlap header or entries.
    const std::uint64_t entriesEnd = HeaderSize + walk.Offset();
    if (lowest < entriesEnd)
        ForEachExtent(newWalk, walked, [&](const Extent& e) {
            if (e.begin < entriesEnd)
                found.push_back({.fault = StructureFault::DataInsideDirectory, .index = e.index, .begin = e.begin,
                                 .end = e.end});
        });

    if (!inOrder) {
        overlaps.clear();  // those of the extents met before the order broke, found again below
        std::vector<Extent> extents;
        ForEachExtent(newWalk, walked, [&](const Extent& e) { extents.push_back(e); });
        std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) {
            return a.begin != b.begin ? a.begin < b.begin : a.index < b.index;
        });
        OverlapScan sorted;
        for (const auto& e : extents) sorted.Add(e, overlaps);
    }
    found.insert(found.end(), overlaps.begin(), overlaps.end());
    return found;
}

}  // namespace

std::vector<StructureFinding> FindStructureProblems(const OpenedArchive& opened, std::uint64_t fileSize) {
    return FindProblems([&] { return CursorWalk(opened); }, fileSize);
}

std::vector<StructureFinding> FindStructureProblems(ByteSource& source, std::uint64_t archiveOffset,
                                                    std::span<std::uint8_t> window, std::uint64_t fileSize,
                                                    std::size_t firstRead) {
    return FindProblems([&] { return WindowWalk(source, archiveOffset, window, firstRead); }, fileSize);
}

}  // namespace qvr
