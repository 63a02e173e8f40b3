#include "qvr/structure.h"

#include <algorithm>

#include "qvr/directory.h"

namespace qvr {
namespace {

struct Extent {
    std::uint64_t begin;
    std::uint64_t end;
    std::uint32_t index;
};

}  // namespace

std::vector<StructureFinding> FindStructureProblems(const OpenedArchive& opened, std::uint64_t fileSize) {
    std::vector<StructureFinding> found;
    const std::uint32_t count = opened.header.entryCount;

    if (count > 0) {
        const auto first = PeekEntry(opened.Begin());
        if (!first)
            found.push_back({.fault = StructureFault::FirstEntryCut});
        else if (first->dataOffset > fileSize)
            found.push_back({.fault = StructureFault::DirectoryPastEnd, .end = first->dataOffset});
    }

    std::vector<Extent> extents;
    auto cursor = opened.Begin();
    for (std::uint32_t walked = 0; walked < count; ++walked) {
        const auto entry = PeekEntry(cursor);
        if (!entry) {
            found.push_back({.fault = StructureFault::DirectoryCutShort, .index = walked, .entryAt = cursor.offset});
            break;
        }
        const std::uint64_t begin = entry->dataOffset;
        const std::uint64_t end = begin + entry->dataSize;
        if (end > fileSize)
            found.push_back({.fault = StructureFault::DataPastEnd, .index = walked, .begin = begin, .end = end,
                             .entryAt = cursor.offset});
        if (entry->dataSize > 0) extents.push_back({begin, end, walked});
        SkipEntry(cursor);
    }

    // Data may lie anywhere after the entries themselves, even inside the
    // extent the first entry declares; they must not overlap header or entries.
    const std::uint64_t entriesEnd = HeaderSize + cursor.offset;
    for (const auto& e : extents)
        if (e.begin < entriesEnd)
            found.push_back({.fault = StructureFault::DataInsideDirectory, .index = e.index, .begin = e.begin,
                             .end = e.end});

    // A writer lays data out in directory order, so the sort is seldom needed.
    const auto byPlace = [](const Extent& a, const Extent& b) {
        return a.begin != b.begin ? a.begin < b.begin : a.index < b.index;
    };
    if (!std::is_sorted(extents.begin(), extents.end(), byPlace)) std::sort(extents.begin(), extents.end(), byPlace);
    // Each extent is compared with the furthest-reaching one before it.
    std::size_t reach = 0;
    for (std::size_t i = 1; i < extents.size(); ++i) {
        if (extents[i].begin < extents[reach].end)
            found.push_back({.fault = StructureFault::DataOverlap, .index = extents[i].index,
                             .other = extents[reach].index, .begin = extents[i].begin, .end = extents[i].end});
        if (extents[i].end > extents[reach].end) reach = i;
    }
    return found;
}

}  // namespace qvr
