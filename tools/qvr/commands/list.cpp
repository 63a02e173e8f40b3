// qvr list: names, a long table, or JSON, from one walk of the directory.
#include <cstdio>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "commands/commands.h"
#include "commands/common.h"
#include "names/selection.h"
#include "commands/structure.h"

namespace qvr::cli {
namespace {

constexpr std::size_t FlushAt = std::size_t{64} << 10;

void Flush(std::string& out) {
    std::fwrite(out.data(), 1, out.size(), stdout);
    out.clear();
}

// The name as listed: converted when asked, escaped for a terminal.
std::string ListedName(std::span<const std::uint8_t> stored, const NameCodec& codec, bool terminal,
                       bool& convertFailed) {
    auto text = codec.ToUtf8(stored);
    if (!text) {
        convertFailed = true;
        return DisplayName(stored, true);
    }
    return DisplayName(*text, terminal);
}

std::size_t Digits(std::uint64_t v) { return fmt::formatted_size("{}", v); }

}  // namespace

int List(const ListOptions& options) {
    Reporter reporter(ArchiveLabel(options.archive));
    auto loaded = LoadArchive(options.archive, options.common.encoding, reporter, TalkOf(options.common.quiet));
    if (!loaded) return ExitBadUsage;
    const NameCodec* codec = &loaded->codec;
    const auto& opened = loaded->opened;
    const std::uint32_t count = opened.header.entryCount;
    const bool terminal = IsTerminal(StandardOutput());

    // Column widths for -l come from a first, name-free pass.
    std::size_t indexWidth = Digits(count), sizeWidth = 4, offsetWidth = 6;
    std::uint32_t readable = 0;
    {
        auto cursor = opened.Begin();
        while (readable < count) {
            const auto stored = PeekEntry(cursor);
            if (!stored) break;
            sizeWidth = std::max(sizeWidth, Digits(stored->dataSize));
            offsetWidth = std::max(offsetWidth, Digits(stored->dataOffset));
            SkipEntry(cursor);
            ++readable;
        }
    }

    // Selection sees names as extraction does: converted when an encoding is given.
    EntryFilter selection(options.select, *codec);
    NameText names(*codec);
    auto selectionName = [&](std::span<const std::uint8_t> stored) { return names.Of(stored); };
    Entry entry;
    // Every name is offered before the first is chosen; the entries no
    // argument can choose are not looked at again.
    std::vector<bool> may(readable, true);
    if (selection.NeedsNames()) {
        auto cursor = opened.Begin();
        for (std::uint32_t i = 0; i < readable && ReadNextEntry(cursor, entry); ++i)
            may[i] = selection.MaySelect(entry.index, selectionName(entry.NameBytes()));
    }

    std::string out;
    out.reserve(FlushAt + 1024);
    if (options.longFormat && !options.json)
        out += fmt::format("{:>{}}  {:>{}}  {:>{}}  {}\n", "#", indexWidth, "size", sizeWidth, "offset",
                           offsetWidth, "name");
    if (options.json) out += "[";

    std::uint64_t totalBytes = 0;
    std::uint32_t listed = 0;
    auto cursor = opened.Begin();
    for (std::uint32_t i = 0; i < readable; ++i) {
        ReadNextEntry(cursor, entry);
        const auto name = entry.NameBytes();
        if (!may[i] || !selection.Selects(entry.index, selectionName(name))) continue;
        totalBytes += entry.dataSize;
        bool convertFailed = false;
        if (options.json) {
            nlohmann::json item;
            item["index"] = entry.index;
            // JSON is UTF-8 whatever the code page of the names.
            item["name"] = codec->LossyUtf8(name);
            if (codec->Converts() && !codec->ToUtf8(name)) convertFailed = true;
            item["nameHex"] = Hex(name);
            item["size"] = entry.dataSize;
            item["offset"] = entry.dataOffset;
            out += listed == 0 ? "\n  " : ",\n  ";
            out += item.dump();
        } else if (options.longFormat) {
            out += fmt::format("{:>{}}  {:>{}}  {:>{}}  {}\n", entry.index, indexWidth, entry.dataSize, sizeWidth,
                               entry.dataOffset, offsetWidth, ListedName(name, *codec, terminal, convertFailed));
        } else {
            out += ListedName(name, *codec, terminal, convertFailed);
            out += '\n';
        }
        if (convertFailed)
            reporter.EntryFailed(entry.index, DisplayName(name, true),
                                 "name is not valid " + codec->Name() + "; shown as bytes");
        ++listed;
        if (out.size() >= FlushAt) Flush(out);
    }
    if (options.json) out += listed == 0 ? "]\n" : "\n]\n";
    if (options.longFormat && !options.json && !options.common.quiet)
        out += fmt::format("{}, {}\n", Count(listed, "entry", "entries"), Count(totalBytes, "byte", "bytes"));
    Flush(out);
    std::fflush(stdout);

    for (const auto& miss : selection.Misses()) reporter.Failed(miss);
    if (const DirectoryWalk walk{count, readable}; !walk.Complete())
        reporter.Failed(fmt::format("damaged: {}; {} of {} entries listed", WhereDirectoryEnds(walk), readable, count));
    // Listed all the same, as the viewer does, but never as if whole.
    if (const auto warning = PastEndWarning(*loaded); !warning.empty()) reporter.Failed(warning);
    return reporter.AnyFailed() ? ExitSomeFailed : ExitSuccess;
}

}  // namespace qvr::cli
