#include "structure.h"

#include <algorithm>

#include <fmt/format.h>

namespace qvr::cli {
namespace {

struct Extent {
    std::uint64_t begin;
    std::uint64_t end;
    std::uint32_t index;
};

bool RunsPastEnd(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) { return offset + size > fileSize; }

}  // namespace

std::uint32_t EntriesPastEnd(const LoadedArchive& loaded) {
    const std::uint64_t fileSize = loaded.file.Size();
    std::uint32_t past = 0;
    auto cursor = loaded.opened.Begin();
    for (std::uint32_t walked = 0; walked < loaded.opened.header.entryCount; ++walked) {
        const auto entry = PeekEntry(cursor);
        if (!entry || !SkipEntry(cursor)) break;
        if (RunsPastEnd(entry->dataOffset, entry->dataSize, fileSize)) ++past;
    }
    return past;
}

std::string PastEndWarning(const LoadedArchive& loaded) {
    const std::uint32_t past = EntriesPastEnd(loaded);
    if (past == 0) return {};
    return fmt::format("damaged: {} of {} {} data that run past the end of the file (qvr test names {})", past,
                       Count(loaded.opened.header.entryCount, "entry", "entries"), past == 1 ? "has" : "have",
                       past == 1 ? "it" : "them");
}

std::vector<std::string> StructureProblems(const LoadedArchive& loaded) {
    std::vector<std::string> problems;
    const auto& opened = loaded.opened;
    const std::uint64_t fileSize = loaded.file.Size();
    const std::uint32_t count = opened.header.entryCount;

    if (count > 0) {
        const auto first = PeekEntry(opened.Begin());
        if (!first)
            problems.push_back("the file ends inside the first directory entry");
        else if (first->dataOffset > fileSize)
            problems.push_back(fmt::format("the directory should run to byte {}, but the file has {} bytes",
                                           first->dataOffset, fileSize));
    }

    std::vector<Extent> extents;
    auto cursor = opened.Begin();
    Entry entry;
    for (std::uint32_t walked = 0; walked < count; ++walked) {
        if (!ReadNextEntry(cursor, entry)) {
            problems.push_back(fmt::format("entry {}: runs past the end of the directory; {} of {} entries readable",
                                           walked, walked, count));
            break;
        }
        const std::uint64_t begin = entry.dataOffset;
        const std::uint64_t end = begin + entry.dataSize;
        if (RunsPastEnd(begin, entry.dataSize, fileSize))
            problems.push_back(fmt::format("entry {} '{}': data run to byte {}, past the end of the file ({} bytes)",
                                           entry.index, NameForMessage(entry.NameBytes(), loaded.codec), end,
                                           fileSize));
        if (entry.dataSize > 0) extents.push_back({begin, end, entry.index});
    }

    // Data may lie anywhere after the entries themselves, even inside the
    // extent the first entry declares; they must not overlap header or entries.
    const std::uint64_t entriesEnd = HeaderSize + cursor.offset;
    for (const auto& e : extents)
        if (e.begin < entriesEnd)
            problems.push_back(
                fmt::format("entry {}: data at byte {} overlap the header or the directory entries", e.index, e.begin));

    // A writer lays data out in directory order, so the sort is seldom needed.
    const auto byPlace = [](const Extent& a, const Extent& b) {
        return a.begin != b.begin ? a.begin < b.begin : a.index < b.index;
    };
    if (!std::is_sorted(extents.begin(), extents.end(), byPlace)) std::sort(extents.begin(), extents.end(), byPlace);
    // Each extent is compared with the furthest-reaching one before it.
    std::size_t reach = 0;
    for (std::size_t i = 1; i < extents.size(); ++i) {
        if (extents[i].begin < extents[reach].end)
            problems.push_back(fmt::format("entry {}: data at bytes {} to {} overlap those of entry {}",
                                           extents[i].index, extents[i].begin, extents[i].end - 1,
                                           extents[reach].index));
        if (extents[i].end > extents[reach].end) reach = i;
    }
    return problems;
}

}  // namespace qvr::cli
