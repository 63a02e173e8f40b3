// qvr test: checks the whole structure and names every problem with the
// entry's index.
#include <algorithm>
#include <unordered_map>

#include <fmt/format.h>

#include "commands.h"
#include "common.h"
#include "safe_path.h"

namespace qvr::cli {
namespace {

struct Extent {
    std::uint64_t begin;
    std::uint64_t end;
    std::uint32_t index;
};

}  // namespace

int Test(const TestOptions& options) {
    Reporter reporter(options.archive.string());
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
    std::unordered_map<std::string, std::uint32_t> seen;
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
        if (const auto why = RefusalReason(*text); !why.empty()) {
            reporter.EntryFailed(entry.index, label, "name would be refused on extraction: " + why);
            continue;
        }
        const auto key = SafeRelativePath(*text)->generic_string();
        if (const auto [it, added] = seen.try_emplace(key, entry.index); !added && !options.common.quiet)
            reporter.Say(fmt::format("entry {} '{}': warning: same name as entry {}; extraction keeps one", entry.index,
                                     label, it->second));
    }

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
            std::fputs(fmt::format("{}: {} entries, {} problems\n", options.archive.string(), count, reporter.Failures())
                           .c_str(),
                       stdout);
        return ExitSomeFailed;
    }
    if (!options.common.quiet)
        std::fputs(fmt::format("{}: {} entries, sound\n", options.archive.string(), count).c_str(), stdout);
    return ExitSuccess;
}

}  // namespace qvr::cli
