// qvr test: checks the whole structure and names every problem with the
// entry's index.
#include <algorithm>

#include <fmt/format.h>

#include "commands.h"
#include "common.h"
#include "placement.h"

namespace qvr::cli {
namespace {

struct Extent {
    std::uint64_t begin;
    std::uint64_t end;
    std::uint32_t index;
};

}  // namespace

int Test(const TestOptions& options) {
    Reporter reporter(ArchiveLabel(options.archive));
    auto loaded = LoadArchive(options.archive, options.common.encoding, reporter);
    if (!loaded) return ExitBadUsage;
    const NameCodec* codec = &loaded->codec;
    const auto& opened = loaded->opened;
    const std::uint64_t fileSize = loaded->file.Size();
    const std::uint32_t count = opened.header.entryCount;

    std::uint64_t directoryEnd = HeaderSize;
    if (count > 0) {
        const auto first = PeekEntry(opened.Begin());
        if (!first) {
            reporter.Failed("the file ends inside the first directory entry");
        } else {
            directoryEnd = first->dataOffset;
            if (directoryEnd > fileSize)
                reporter.Failed(fmt::format("the directory should run to byte {}, but the file has {} bytes",
                                            directoryEnd, fileSize));
        }
    }

    std::vector<Extent> extents;
    Placer placer(*codec);
    std::uint64_t duplicates = 0;
    std::string firstDuplicate;
    auto cursor = opened.Begin();
    Entry entry;
    std::uint32_t walked = 0;
    for (; walked < count; ++walked) {
        if (!ReadNextEntry(cursor, entry)) {
            reporter.Failed(fmt::format("entry {}: runs past the end of the directory; {} of {} entries readable",
                                        walked, walked, count));
            break;
        }
        const auto label = NameForMessage(entry.NameBytes(), *codec);
        const std::uint64_t begin = entry.dataOffset;
        const std::uint64_t end = begin + entry.dataSize;
        if (end > fileSize)
            reporter.EntryFailed(entry.index, label,
                                 fmt::format("data run to byte {}, past the end of the file ({} bytes)", end, fileSize));
        if (entry.dataSize > 0) extents.push_back({begin, end, entry.index});

        const auto text = codec->ToUtf8(entry.NameBytes());
        if (!text) {
            reporter.EntryFailed(entry.index, label, "name is not valid " + options.common.encoding);
            continue;
        }
        // Judged as extraction places names, so that test fails wherever
        // extracting into an empty folder would.
        const auto place = placer.Add(entry.index, *text);
        switch (place.outcome) {
        case Placing::Placed:
            break;
        case Placing::Refused:
            reporter.EntryFailed(entry.index, label, "name would be refused on extraction: " + place.reason);
            break;
        case Placing::Duplicate:
            if (duplicates++ == 0)
                firstDuplicate = fmt::format("entry {} '{}' repeats entry {}", entry.index, label, place.earlier);
            break;
        case Placing::Clash:
            reporter.EntryFailed(entry.index, label, place.reason + "; extraction would skip it");
            break;
        }
    }
    if (duplicates > 0)
        reporter.Failed(fmt::format("{} the name of an earlier entry ({}); extraction keeps the first of each name",
                                    duplicates == 1 ? "1 entry repeats" : fmt::format("{} entries repeat", duplicates),
                                    firstDuplicate));

    // Data may lie anywhere after the entries themselves, even inside the
    // extent the first entry declares; they must not overlap header or entries.
    const std::uint64_t entriesEnd = HeaderSize + cursor.offset;
    for (const auto& e : extents)
        if (e.begin < entriesEnd)
            reporter.Failed(fmt::format("entry {}: data at byte {} overlap the header or the directory entries", e.index,
                                        e.begin));

    std::sort(extents.begin(), extents.end(),
              [](const Extent& a, const Extent& b) { return a.begin != b.begin ? a.begin < b.begin : a.index < b.index; });
    // Each extent is compared with the furthest-reaching one before it.
    std::size_t reach = 0;
    for (std::size_t i = 1; i < extents.size(); ++i) {
        if (extents[i].begin < extents[reach].end)
            reporter.Failed(fmt::format("entry {}: data at bytes {} to {} overlap those of entry {}", extents[i].index,
                                        extents[i].begin, extents[i].end - 1, extents[reach].index));
        if (extents[i].end > extents[reach].end) reach = i;
    }

    if (reporter.AnyFailed()) {
        if (!options.common.quiet)
            std::fputs(fmt::format("{}: {}, {}\n", ArchiveLabel(options.archive), Count(count, "entry", "entries"),
                                   Count(reporter.Failures(), "problem", "problems"))
                           .c_str(),
                       stdout);
        return ExitSomeFailed;
    }
    if (!options.common.quiet)
        std::fputs(fmt::format("{}: {}, sound\n", ArchiveLabel(options.archive), Count(count, "entry", "entries")).c_str(),
                   stdout);
    return ExitSuccess;
}

}  // namespace qvr::cli
