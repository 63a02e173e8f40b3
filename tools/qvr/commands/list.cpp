// qvr list: names, a long table, or JSON, from one walk of the directory.
#include <cstdio>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "commands/commands.h"
#include "commands/open_archive.h"
#include "commands/options.h"
#include "commands/progress.h"
#include "commands/report.h"
#include "names/names.h"
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

// Column widths for -l, and how many entries lie whole in the directory:
// a first, name-free pass.
struct Columns {
    std::size_t index = 0, size = 4, offset = 6;
    std::uint32_t readable = 0;
};

Columns MeasureColumns(const OpenedArchive& opened) {
    const std::uint32_t count = opened.header.entryCount;
    Columns columns;
    columns.index = Digits(count);
    auto cursor = opened.Begin();
    while (columns.readable < count) {
        const auto stored = PeekEntry(cursor);
        if (!stored) break;
        columns.size = std::max(columns.size, Digits(stored->dataSize));
        columns.offset = std::max(columns.offset, Digits(stored->dataOffset));
        SkipEntry(cursor);
        ++columns.readable;
    }
    return columns;
}

// One entry as listed: a JSON item (after `first` or not), a row of the
// table, or its name (escaped for a `terminal`). `convertFailed`: its name is not in the codec's
// encoding, and is shown as bytes.
void AppendEntry(std::string& out, const Entry& entry, const ListOptions& options, const Columns& columns,
                 const NameCodec& codec, bool terminal, bool first, bool& convertFailed) {
    const auto name = entry.NameBytes();
    if (options.json) {
        nlohmann::json item;
        item["index"] = entry.index;
        // JSON is UTF-8 whatever the code page of the names.
        item["name"] = codec.LossyUtf8(name);
        if (codec.Converts() && !codec.ToUtf8(name)) convertFailed = true;
        item["nameHex"] = Hex(name);
        item["size"] = entry.dataSize;
        item["offset"] = entry.dataOffset;
        out += first ? "\n  " : ",\n  ";
        out += item.dump();
    } else if (options.longFormat) {
        out += fmt::format("{:>{}}  {:>{}}  {:>{}}  {}\n", entry.index, columns.index, entry.dataSize, columns.size,
                           entry.dataOffset, columns.offset, ListedName(name, codec, terminal, convertFailed));
    } else {
        out += ListedName(name, codec, terminal, convertFailed);
        out += '\n';
    }
}

}  // namespace

Finish SetUpList(CLI::App& command, ListOptions& options) {
    AddPositional(command, "ARCHIVE", options.archive, "The archive ('-': standard input)");
    AddSelection(command, options.select, "list", "; all when none");
    AddExcludes(command, options.select.excludes);
    AddFlag(command, "-l,--long", options.longFormat, "Index, size and data offset in columns, and a total line");
    AddFlag(command, "--json", options.json,
                     "A JSON array of {index, name, nameHex, size, offset}; names are always valid UTF-8 "
                     "(bytes that are not become U+FFFD; nameHex keeps the stored bytes)");
    AddCommon(command, options.common);
    SetFooter(command, R"(Examples:
  qvr list data.qvr
  qvr list -l data.qvr
  qvr list --json --encoding CP932 data.qvr > names.json
  qvr list data.qvr --exclude '*.bak' sound
  curl -s https://example.org/data.qvr | qvr list -l -

Control bytes in names are shown as \xNN escapes when the output is a terminal.)");
    return [&options](AfterDashes& rest) -> Done {
        if (auto archive = rest.Archive(options.archive); !archive) return archive;
        rest.AppendTo(options.select.names);
        return {};
    };
}

int List(const ListOptions& options) {
    Reporter reporter(ArchiveLabel(options.archive));
    auto loaded = LoadArchive(options.archive, options.common.encoding, reporter, TalkOf(options.common.quiet));
    if (!loaded) return ExitBadUsage;
    const NameCodec* codec = &loaded->codec;
    const auto& opened = loaded->opened;
    const std::uint32_t count = opened.header.entryCount;
    const bool terminal = IsTerminal(StandardOutput());
    const Columns columns = MeasureColumns(opened);
    const std::uint32_t readable = columns.readable;

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
        out += fmt::format("{:>{}}  {:>{}}  {:>{}}  {}\n", "#", columns.index, "size", columns.size, "offset",
                           columns.offset, "name");
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
        AppendEntry(out, entry, options, columns, *codec, terminal, listed == 0, convertFailed);
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
