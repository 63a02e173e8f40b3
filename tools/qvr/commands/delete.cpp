// qvr delete: the entries selected as extract selects them go; the rest
// keep their stored bytes and order, moved up over the deleted ones.
#include <fmt/format.h>

#include "commands/commands.h"
#include "commands/options.h"
#include "commands/rewrite.h"
#include "names/names.h"
#include "names/selection.h"

namespace qvr::cli {

Finish SetUpDelete(CLI::App& command, DeleteOptions& options) {
    AddPositional(command, "ARCHIVE", options.archive, "The archive to change");
    AddSelection(command, options.select, "delete", "");
    AddIndices(command, options.select.indices, "delete");
    AddExcludes(command, options.select.excludes);
    AddFlag(command, "-v,--verbose", options.verbose, "Name each entry deleted");
    AddChangeOptions(command, options.change);
    AddCommon(command, options.common);
    SetFooter(command, R"(Examples:
  qvr delete data.qvr readme.txt
  qvr delete data.qvr 'sound\*.wav' old
  qvr delete data.qvr --index 3            the entry at place 3 alone
  qvr delete data.qvr sound --exclude '*.ogg'

Entries are selected as extract selects them: an exact name, a folder, or a
pattern; every entry selected goes, repeated names included. A NAME that
selects nothing is an error (exit status 1) and the archive is left as it
was. The rest keep their stored bytes and order; the changed archive takes
the old one's place only when complete.)");
    return [&options](AfterDashes& rest) -> Done {
        if (auto archive = rest.Archive(options.archive); !archive) return archive;
        rest.AppendTo(options.select.names);
        return {};
    };
}

int Delete(const DeleteOptions& options) {
    Reporter reporter(ArchiveLabel(options.archive));
    if (options.select.names.empty() && options.select.indices.empty()) {
        reporter.Say("name the entries to delete");
        return ExitBadUsage;
    }
    auto old = LoadForChange(options.archive, options.common, options.change, reporter);
    if (!old) return old.failure().status;
    const NameCodec& codec = old->codec;
    EntryFilter selection(options.select, codec);
    // The kept entries stay where they are, moved up over the deleted ones:
    // one list of the directory's size, whatever the archive holds.
    auto entries = KeptEntries(*old);
    Bytes converted;
    auto textOf = [&](const NewEntry& entry) -> std::span<const std::uint8_t> {
        if (!codec.Converts()) return entry.name;
        converted = TextOf(entry.name, codec);
        return converted;
    };
    std::vector<bool> may(entries.size(), true);
    if (selection.NeedsNames())
        for (std::size_t e = 0; e < entries.size(); ++e)
            may[e] = selection.MaySelect(static_cast<std::uint32_t>(e), textOf(entries[e]));
    std::vector<std::string> deleted;
    std::size_t kept = 0;
    for (std::size_t e = 0; e < entries.size(); ++e) {
        if (may[e] && selection.Selects(static_cast<std::uint32_t>(e), textOf(entries[e])))
            deleted.push_back(NameForMessage(entries[e].name, codec));
        else if (kept++ != e)
            entries[kept - 1] = std::move(entries[e]);
    }
    entries.resize(kept);
    // All or nothing: one argument that names nothing leaves the archive as it is.
    const auto misses = selection.Misses();
    for (const auto& miss : misses) reporter.Failed(miss);
    if (!misses.empty()) {
        reporter.Say("nothing deleted");
        return ExitSomeFailed;
    }
    if (!ReplaceArchive(*old, entries, reporter)) return ExitSomeFailed;
    if (options.verbose)
        for (const auto& name : deleted) Echo(name, false);
    if (!options.common.quiet && StderrIsTerminal())
        reporter.Say(fmt::format("deleted {}", Count(deleted.size(), "entry", "entries")));
    return ExitSuccess;
}

}  // namespace qvr::cli
